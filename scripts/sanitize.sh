#!/usr/bin/env bash
# The whole test suite, then a long fuzz run, under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
# Builds ornivex with -DORNIVEX_SANITIZE=ON into its own virtual environment
# (build/asan-venv, build tree build/asan) and runs pytest with the ASan runtime
# preloaded into the (uninstrumented) interpreter.  Every sanitizer report is
# written to a log directory, child processes' included; the run fails if any
# report was written or any test failed.
#
#   ORNIVEX_ASAN_VENV       the environment (default: build/asan-venv in the repository)
#   ORNIVEX_FUZZ_EXAMPLES   examples per fuzz test in the long run (default 2000)
#   extra arguments         passed to the first pytest run (e.g. -x, -k ...)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORNIVEX_ASAN_VENV:-$ROOT/build/asan-venv}"
started=$SECONDS

source "$ROOT/scripts/find_python.sh"

if [ ! -x "$VENV/bin/python" ]; then
    PYTHON="$(find_python)" || { echo "sanitize: no Python >= 3.11 found" >&2; exit 1; }
    "$PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
echo "sanitize: $("$PY" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2

# Build requirements and the test extras, then the sanitized build itself.
"$PY" -m pip install -q --upgrade pip >&2
"$PY" - "$ROOT/pyproject.toml" > "$VENV/requirements.txt" <<'EOF'
import sys, tomllib
project = tomllib.load(open(sys.argv[1], "rb"))
print("\n".join(project["build-system"]["requires"] + project["project"]["dependencies"]
                + project["project"]["optional-dependencies"]["test"]))
EOF
"$PY" -m pip install -q -r "$VENV/requirements.txt" >&2
"$PY" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
    -Ccmake.define.ORNIVEX_SANITIZE=ON -Cbuild-dir="$ROOT/build/asan" "$ROOT" >&2
built=$SECONDS

LOGS="$(mktemp -d "${TMPDIR:-/tmp}/ornivex-sanitize.XXXXXX")"
# libstdc++ too: ASan intercepts C++ throws only if it is loaded from the start.
export LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so)"
# The interpreter's own allocations outlive it on purpose: no leak report.
# Allocations too large to satisfy return NULL, so NumPy raises MemoryError.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:log_path=$LOGS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan"
export ORNIVEX_SANITIZED=1  # tests that limit the address space skip themselves

cd "$ROOT"
status=0
# The stubs' static checks run no native code: they are the main run's.  The
# leak tests' call counts measure growth, which the main run does; here they
# only need to reach every path under the sanitizers.
ORNIVEX_LEAK_CALLS="${ORNIVEX_LEAK_CALLS:-2000}" \
    "$PY" -m pytest -q -p no:cacheprovider -n auto --maxprocesses=4 --dist loadgroup --ignore=tests/test_stubs.py "$@" || status=$?
suite=$SECONDS
CASES_FILE="$(mktemp "${TMPDIR:-/tmp}/ornivex-fuzz-cases.XXXXXX")"
ORNIVEX_FUZZ_REPORT="$CASES_FILE" ORNIVEX_FUZZ_EXAMPLES="${ORNIVEX_FUZZ_EXAMPLES:-2000}" \
    "$PY" -m pytest -q -p no:cacheprovider -n auto --maxprocesses=4 --dist loadgroup tests/test_fuzz.py tests/test_hostile_pickles.py || status=$?
fuzzed=$SECONDS
"$PY" - "$CASES_FILE" <<'EOF'
import collections, json, sys
cases = collections.Counter()
for line in open(sys.argv[1]):
    cases.update(json.loads(line)["cases"])
print("sanitize: long fuzz run, cases per entry point:", ", ".join(f"{k} {v}" for k, v in sorted(cases.items())))
EOF
rm -f "$CASES_FILE"

# The tests that ask for 2**40-element arrays leave ASan's note that it
# returned NULL for them; anything else in a log is a report.
REFUSED='^==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes$'
refused=$(cat "$LOGS"/* 2>/dev/null | grep -cE "$REFUSED" || true)
reports=0
for log in "$LOGS"/*; do
    [ -f "$log" ] || continue
    if grep -qvE "$REFUSED" "$log"; then
        reports=$((reports + 1))
        echo "=== $log"
        cat "$log"
    fi
done
echo "sanitize: $refused allocation(s) refused on purpose (MemoryError tests)" >&2
echo "sanitize: build $((built - started)) s, suite $((suite - built)) s, long fuzz run $((fuzzed - suite)) s;" \
     "$reports sanitizer report(s), pytest status $status" >&2
rm -rf "$LOGS"
[ "$reports" -eq 0 ] && [ "$status" -eq 0 ]
