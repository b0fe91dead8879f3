#!/usr/bin/env bash
# Creates (or reuses) the project's virtual environment in .venv and installs
# ornivex into it, building the extension modules.  Sourced by the other
# scripts; prints which Python it chose.
set -euo pipefail

ORNIVEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORNIVEX_VENV:-$ORNIVEX_ROOT/.venv}"

version_ok() {  # true for Python >= 3.11
    "$1" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null
}

find_python() {
    # CPython 3.13 first: on PATH, then installed by pyenv.
    local candidate
    for candidate in "$(command -v python3.13 2>/dev/null || true)" \
                     "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] && "$candidate" -c 'import sys' 2>/dev/null; then
            echo "$candidate"; return
        fi
    done
    # Otherwise the newest Python >= 3.11 we can find.
    local best="" best_version=0 version
    for candidate in python3.12 python3.11 python3 \
                     "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[1-9]*/bin/python3; do
        candidate="$(command -v "$candidate" 2>/dev/null || true)"
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        version_ok "$candidate" || continue
        version="$("$candidate" -c 'import sys; print(sys.version_info[0] * 100 + sys.version_info[1])')"
        if [ "$version" -gt "$best_version" ]; then best="$candidate"; best_version="$version"; fi
    done
    [ -n "$best" ] || { echo "ornivex needs Python >= 3.11; none found" >&2; exit 1; }
    echo "$best"
}

if [ ! -x "$VENV/bin/python" ]; then
    PYTHON="$(find_python)"
    echo "ornivex: creating $VENV with $("$PYTHON" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
    "$PYTHON" -m venv "$VENV"
fi
echo "ornivex: using $("$VENV/bin/python" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2

"$VENV/bin/python" -m pip install -q --upgrade pip >&2
"$VENV/bin/python" -m pip install -q "$ORNIVEX_ROOT[${ORNIVEX_EXTRAS:-test}]" >&2
