#!/usr/bin/env bash
# Creates (or reuses) the project's virtual environment in .venv and installs
# ornivex into it, building the extension modules.  Sourced by the other
# scripts; prints which Python it chose.
set -euo pipefail

ORNIVEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORNIVEX_VENV:-$ORNIVEX_ROOT/.venv}"

source "$ORNIVEX_ROOT/scripts/find_python.sh"

if [ ! -x "$VENV/bin/python" ]; then
    PYTHON="$(find_python)" || { echo "ornivex needs Python >= 3.11; none found" >&2; exit 1; }
    echo "ornivex: creating $VENV with $("$PYTHON" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
    "$PYTHON" -m venv "$VENV"
fi
echo "ornivex: using $("$VENV/bin/python" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2

"$VENV/bin/python" -m pip install -q --upgrade pip >&2
"$VENV/bin/python" -m pip install -q "$ORNIVEX_ROOT[${ORNIVEX_EXTRAS:-test}]" >&2
