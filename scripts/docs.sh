#!/usr/bin/env bash
# Builds the documentation site into site/ with mkdocs (warnings are errors:
# a broken link or a reference to a missing name fails the build).  The API
# reference is read from the sources and stubs without importing ornivex, so
# neither a build of the extension modules nor the optional dependencies are
# needed.  The tools (the "docs" extra) live in their own venv, build/docs-venv,
# installed again only when pyproject.toml changes.
#   extra arguments   passed to mkdocs build (e.g. --site-dir DIR)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORNIVEX_DOCS_VENV:-$ROOT/build/docs-venv}"
source "$ROOT/scripts/find_python.sh"

stamp="$(sha256sum < "$ROOT/pyproject.toml" | cut -d' ' -f1)"
if [ ! -x "$VENV/bin/mkdocs" ] || [ "$(cat "$VENV/.ornivex-docs" 2>/dev/null)" != "$stamp" ]; then
    if [ ! -x "$VENV/bin/python" ]; then
        PYTHON="$(find_python)" || { echo "docs: no Python >= 3.11 found" >&2; exit 1; }
        "$PYTHON" -m venv "$VENV"
    fi
    "$VENV/bin/python" - "$ROOT/pyproject.toml" > "$VENV/requirements.txt" <<'PYEOF'
import sys, tomllib
print("\n".join(tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["docs"]))
PYEOF
    "$VENV/bin/python" -m pip install -q -r "$VENV/requirements.txt" >&2
    echo "$stamp" > "$VENV/.ornivex-docs"
fi
cd "$ROOT"
export NO_MKDOCS_2_WARNING=1
exec "$VENV/bin/mkdocs" build --strict "$@"
