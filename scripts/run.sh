#!/usr/bin/env bash
# The main job: set up the environment, then run ornivex.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ORNIVEX_ROOT"
exec "$VENV/bin/python" -m ornivex "$@"
