#!/usr/bin/env bash
# Creates (or reuses) the project's virtual environment in .venv and installs
# ornivex into it, building the extension modules.  Sourced by the other
# scripts; prints which Python it uses.
#
# It installs only what is out of date, so that a second call is quick and needs
# no package index:
#   - the dependencies (build and run-time ones and the extras), when the venv is
#     new, its Python changed, pyproject.toml changed or other extras are asked for;
#   - ornivex itself, when any file under src/, CMakeLists.txt or pyproject.toml
#     changed.  This step builds against the venv's own NumPy and CMake, without
#     build isolation and without the package index, so it works offline and its
#     CMake build (build/) is incremental.
# What was installed is recorded as hashes of those files in $VENV/.ornivex-*;
# files are hashed rather than asked of git, so a source tarball works the same.
#
#   ORNIVEX_VENV     the environment (default: .venv in the repository)
#   ORNIVEX_EXTRAS   the extras installed with it (default: test)
#   ORNIVEX_PYTHON   the Python to use; a venv made with another one is made anew
set -euo pipefail

ORNIVEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORNIVEX_VENV:-$ORNIVEX_ROOT/.venv}"
ORNIVEX_EXTRAS="${ORNIVEX_EXTRAS:-test}"

source "$ORNIVEX_ROOT/scripts/find_python.sh"

# Prints "executable version base-prefix" of a Python, or fails if it does not run.
python_identity() {
    "$1" -c 'import sys; print(sys.executable, sys.version.split()[0], sys.base_prefix)' 2>/dev/null
}

# A hash of the files that decide the built package: every file under src/
# (not caches or in-place builds), CMakeLists.txt and pyproject.toml.
source_hash() {
    (cd "$ORNIVEX_ROOT" &&
     find src CMakeLists.txt pyproject.toml -type f \
          ! -name '*.pyc' ! -name '*.so' ! -path '*/__pycache__/*' ! -path '*.egg-info/*' -print0 |
     LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

venv_identity=""
[ -x "$VENV/bin/python" ] && venv_identity="$(python_identity "$VENV/bin/python" || true)"
if [ -n "${ORNIVEX_PYTHON:-}" ] && [ -n "$venv_identity" ]; then
    chosen_prefix="$("$ORNIVEX_PYTHON" -c 'import sys; print(sys.base_prefix)')" ||
        { echo "ornivex: ORNIVEX_PYTHON=$ORNIVEX_PYTHON does not run" >&2; exit 1; }
    [ "${venv_identity##* }" = "$chosen_prefix" ] || venv_identity=""
fi
if [ -z "$venv_identity" ]; then
    # Missing, or made by a Python that is gone or not the chosen one.
    PYTHON="${ORNIVEX_PYTHON:-$(find_python)}" ||
        { echo "ornivex needs Python >= 3.11; none found" >&2; exit 1; }
    echo "ornivex: creating $VENV with $(python_identity "$PYTHON" | cut -d' ' -f1,2)" >&2
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip >&2 ||
        echo "ornivex: pip not upgraded (package index unreachable?); going on with the venv's own" >&2
    venv_identity="$(python_identity "$VENV/bin/python")"
fi
echo "ornivex: using ${venv_identity% *}" >&2

deps_stamp="$(printf '%s\n%s\n' "$venv_identity" "$ORNIVEX_EXTRAS" |
              cat - "$ORNIVEX_ROOT/pyproject.toml" | sha256sum | cut -d' ' -f1)"
package_stamp="$deps_stamp-$(source_hash)"

if [ "$(cat "$VENV/.ornivex-package" 2>/dev/null)" != "$package_stamp" ]; then
    # One installer at a time per venv; a second one waits, then finds it done.
    exec {ornivex_lock}>"$VENV/.ornivex-lock"
    flock "$ornivex_lock"
fi
if [ "$(cat "$VENV/.ornivex-package" 2>/dev/null)" != "$package_stamp" ]; then
    if [ "$(cat "$VENV/.ornivex-deps" 2>/dev/null)" != "$deps_stamp" ]; then
        echo "ornivex: installing the dependencies (extras: $ORNIVEX_EXTRAS)" >&2
        # The build requirements, the dependencies and the extras, as pyproject.toml
        # lists them, plus CMake and Ninja for the build without isolation.
        "$VENV/bin/python" - "$ORNIVEX_ROOT/pyproject.toml" "$ORNIVEX_EXTRAS" \
            > "$VENV/.ornivex-requirements.txt" <<'EOF'
import sys, tomllib
project = tomllib.load(open(sys.argv[1], "rb"))
wanted = project["build-system"]["requires"] + ["cmake>=3.20", "ninja"] + project["project"]["dependencies"]
extras = project["project"].get("optional-dependencies", {})
for extra in filter(None, sys.argv[2].split(",")):
    wanted += extras[extra.strip()]
print("\n".join(wanted))
EOF
        "$VENV/bin/python" -m pip install -q -r "$VENV/.ornivex-requirements.txt" >&2
        echo "$deps_stamp" > "$VENV/.ornivex-deps"
    fi
    echo "ornivex: building and installing ornivex" >&2
    "$VENV/bin/python" -m pip install -q --no-index --no-build-isolation --no-deps "$ORNIVEX_ROOT" >&2
    echo "$package_stamp" > "$VENV/.ornivex-package"
    exec {ornivex_lock}>&-
fi
