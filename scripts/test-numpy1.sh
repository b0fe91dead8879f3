#!/usr/bin/env bash
# The test suite once more on CPython 3.11, the oldest Python supported, with
# NumPy 1.x loaded at run time (the extension modules are still built against
# NumPy 2 headers); skips itself when no 3.11 is found.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORNIVEX_NUMPY1_VENV:-$ROOT/.venv-numpy1}"

source "$ROOT/scripts/find_python.sh"
PYTHON="$(find_python 11)" || PYTHON=""
if [ -z "$PYTHON" ]; then
    echo "ornivex: no CPython 3.11 found; NumPy 1.x run skipped" >&2
    exit 0
fi

# An environment left from a run on another Python is made anew.
if [ -x "$VENV/bin/python" ] && ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
    rm -rf "$VENV"
fi
[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
echo "ornivex: NumPy 1.x run with $("$VENV/bin/python" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
"$VENV/bin/python" -m pip install -q --upgrade pip >&2
"$VENV/bin/python" -m pip install -q "numpy<2" >&2
# pyarrow 26 and newer need NumPy 2 at run time (the command names this pin when it meets one).
"$VENV/bin/python" -m pip install -q "$ROOT[test]" "numpy<2" "pyarrow<26" >&2
cd "$ROOT"
# The static checks of the stubs (mypy, stubtest) are the main run's: they do not
# depend on the NumPy loaded at run time.
exec "$VENV/bin/python" -m pytest -q -n auto --maxprocesses=4 --dist loadgroup --ignore=tests/test_stubs.py "$@"
