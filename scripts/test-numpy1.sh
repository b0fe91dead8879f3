#!/usr/bin/env bash
# The test suite once more with NumPy 1.x loaded at run time (the extension
# modules are still built against NumPy 2 headers).  Needs CPython 3.11 or
# 3.12, for which NumPy 1.26 wheels exist; skips itself when neither is found.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORNIVEX_NUMPY1_VENV:-$ROOT/.venv-numpy1}"

source "$ROOT/scripts/find_python.sh"
PYTHON="$(find_python 12)" || PYTHON=""
if [ -z "$PYTHON" ]; then
    echo "ornivex: no CPython 3.11/3.12 found; NumPy 1.x run skipped" >&2
    exit 0
fi

[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
echo "ornivex: NumPy 1.x run with $("$VENV/bin/python" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
"$VENV/bin/python" -m pip install -q --upgrade pip >&2
"$VENV/bin/python" -m pip install -q "numpy<2" >&2
# pyarrow 20 and newer need NumPy 2 at run time.
"$VENV/bin/python" -m pip install -q "$ROOT[test]" "numpy<2" "pyarrow<20" >&2
cd "$ROOT"
# The static checks of the stubs (mypy, stubtest) are the main run's: they do not
# depend on the NumPy loaded at run time.
exec "$VENV/bin/python" -m pytest -q -n auto --maxprocesses=4 --dist loadgroup --ignore=tests/test_stubs.py "$@"
