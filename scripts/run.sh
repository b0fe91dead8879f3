#!/usr/bin/env bash
# The main job: set up the environment, then run ornivex.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# In the caller's directory, so that relative paths name the caller's files;
# -P keeps a folder there named ornivex from shadowing the installed package.
exec "$VENV/bin/python" -P -m ornivex "$@"
