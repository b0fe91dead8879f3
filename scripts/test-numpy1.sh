#!/usr/bin/env bash
# The test suite once more with NumPy 1.x loaded at run time (the extension
# modules are still built against NumPy 2 headers).  Needs CPython 3.11 or
# 3.12, for which NumPy 1.26 wheels exist; skips itself when neither is found.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORNIVEX_NUMPY1_VENV:-$ROOT/.venv-numpy1}"

PYTHON=""
for candidate in python3.12 python3.11 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 \
                 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.11*/bin/python3.11; do
    candidate="$(command -v "$candidate" 2>/dev/null || true)"
    if [ -n "$candidate" ] && "$candidate" -c 'import sys' 2>/dev/null; then PYTHON="$candidate"; break; fi
done
if [ -z "$PYTHON" ]; then
    echo "ornivex: no CPython 3.11/3.12 found; NumPy 1.x run skipped" >&2
    exit 0
fi

[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
echo "ornivex: NumPy 1.x run with $("$VENV/bin/python" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
"$VENV/bin/python" -m pip install -q --upgrade pip >&2
"$VENV/bin/python" -m pip install -q "numpy<2" >&2
"$VENV/bin/python" -m pip install -q "$ROOT[test]" "numpy<2" >&2
cd "$ROOT"
exec "$VENV/bin/python" -m pytest -q "$@"
