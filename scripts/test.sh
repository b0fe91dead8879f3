#!/usr/bin/env bash
# The test suite: set up the environment, then run pytest on the installed package,
# spread over the cores (at most four worker processes; tests marked xdist_group share one).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ORNIVEX_ROOT"
exec "$VENV/bin/python" -m pytest -q -n auto --maxprocesses=4 --dist loadgroup "$@"
