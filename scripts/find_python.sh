# Sourced by the other scripts.  find_python [NEWEST]: prints the CPython to
# build with: 3.13 when it is allowed and found (on PATH or installed by
# pyenv), otherwise the newest 3.11 or later found, up to 3.NEWEST when given.
# Fails when none is found.
find_python() {
    local newest="${1:-99}" candidate minor best="" best_minor=0
    for candidate in python3.13 python3.12 python3.11 python3 \
                     "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[1-9]*/bin/python3; do
        candidate="$(command -v "$candidate" 2>/dev/null || true)"
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        minor="$("$candidate" -c 'import sys; print(sys.version_info[1] if sys.version_info[0] == 3 else 0)' \
                 2>/dev/null)" || continue
        [ "$minor" -ge 11 ] && [ "$minor" -le "$newest" ] || continue
        if [ "$minor" -eq 13 ]; then echo "$candidate"; return 0; fi
        if [ "$minor" -gt "$best_minor" ]; then best="$candidate"; best_minor="$minor"; fi
    done
    [ -n "$best" ] && echo "$best"
}

# python_of_minor MINOR: prints the CPython 3.MINOR found (on PATH or installed
# by pyenv), or fails.
python_of_minor() {
    local candidate
    for candidate in "python3.$1" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$1".*/bin/python3; do
        candidate="$(command -v "$candidate" 2>/dev/null || true)"
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != (3, $1))" 2>/dev/null || continue
        echo "$candidate"
        return 0
    done
    return 1
}
