#!/usr/bin/env bash
# Runs the test suite against an installed distribution, never the source tree:
#   bash scripts/test-wheel.sh dist/ornivex-VERSION-cp313-...whl [pytest args]
#   bash scripts/test-wheel.sh dist/ornivex-VERSION.tar.gz        [pytest args]
# A fresh venv (with the Python of the wheel's tag) gets the distribution and the
# test dependencies from the package index; the tests run from a copy outside the
# repository, so that only the installed ornivex can be imported.  A wheel is
# installed and tested with no compiler: gcc, g++, cc, c++ and cmake fail if
# anything calls them.  An sdist is built on the way in, as pip builds it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/find_python.sh"
[ $# -ge 1 ] && [ -f "$1" ] || { echo "usage: test-wheel.sh DIST_FILE [pytest args]" >&2; exit 2; }
PACKAGE="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
shift

WORK="$(mktemp -d "${TMPDIR:-/tmp}/ornivex-test-wheel.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
install_options=()
case "$PACKAGE" in
    *.whl)
        minor="$(basename "$PACKAGE" | sed -nE 's/.*-cp3([0-9]+)-.*/\1/p')"
        PYTHON="$(python_of_minor "$minor")" || { echo "test-wheel: no CPython 3.$minor found" >&2; exit 1; }
        install_options=(--only-binary=:all:)
        mkdir "$WORK/no-compiler"
        for tool in gcc g++ cc c++ cmake; do
            printf '#!/bin/sh\necho "test-wheel: %s called, but no compiler may be used" >&2\nexit 1\n' "$tool" \
                > "$WORK/no-compiler/$tool"
            chmod +x "$WORK/no-compiler/$tool"
        done
        export PATH="$WORK/no-compiler:$PATH" CC=/bin/false CXX=/bin/false
        ;;
    *.tar.gz)
        PYTHON="$(find_python)" || { echo "test-wheel: no Python >= 3.11 found" >&2; exit 1; } ;;
    *) echo "test-wheel: $PACKAGE is neither a wheel nor an sdist" >&2; exit 2 ;;
esac

"$PYTHON" -m venv "$WORK/venv"
PY="$WORK/venv/bin/python"
echo "test-wheel: $(basename "$PACKAGE") with $("$PY" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
"$PY" -m pip install -q --upgrade pip >&2
"$PY" -m pip install -q "${install_options[@]}" "$PACKAGE[test]" >&2

# The tests, beside nothing of the repository.  The native route tests compile
# the C++ headers, which a distribution does not ship: they are the source
# tree's (scripts/test.sh).
cp -r "$ROOT/tests" "$WORK/tests"
cp "$ROOT/pyproject.toml" "$WORK/"  # pytest's settings; nothing is built from it here
rm -rf "$WORK/tests/native" "$WORK/tests/test_lane_widths.py"
cd "$WORK"
"$PY" - <<'PYEOF'
import ornivex, pathlib, sys
where = pathlib.Path(ornivex.__file__).resolve()
assert "site-packages" in where.parts, where
print(f"test-wheel: ornivex {ornivex.__version__} from {where.parent}", file=sys.stderr)
PYEOF
"$PY" -m pytest -q -p no:cacheprovider -n auto --maxprocesses=4 --dist loadgroup "$@"
