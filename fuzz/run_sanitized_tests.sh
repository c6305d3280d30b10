#!/usr/bin/env bash
# Builds the extension and the reference server with AddressSanitizer and
# UndefinedBehaviorSanitizer (QUELT_SANITIZE=ON) into build/f-asan, then runs
# pytest against that build with the sanitizer runtime preloaded into the
# (uninstrumented) interpreter.
#
#   fuzz/run_sanitized_tests.sh                  # the whole suite
#   fuzz/run_sanitized_tests.sh tests/test_x.py -k case   # pytest arguments
#
# The run is bounded by QUELT_ASAN_TIMEOUT seconds (default 1800), so a hang
# under the slower instrumented code fails the run instead of stalling it.
# Every sanitizer report, from the test process or from any process it starts
# (servers, hostile helpers), is written to build/f-asan/sanitizer-logs/; the
# script fails when pytest fails or when any report was written. Leak
# detection is off: CPython keeps objects alive at exit on purpose.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QUELT_ASAN_BUILD:-build/f-asan}
python=${PYTHON:-python3}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELT_SANITIZE=ON -DQUELT_BENCH=OFF >/dev/null
cmake --build "$build"

asan_runtime=$(g++ -print-file-name=libasan.so)
logs=$PWD/$build/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"

# With no arguments: the whole suite. fuzz/sanitizer_site (first on the path)
# leaves address-space caps (RLIMIT_AS) unapplied: ASan reserves terabytes of
# shadow address space, so a cap would only break the sanitizer itself.
if [ $# -eq 0 ]; then
    set -- tests
fi

set +e
LD_PRELOAD=$asan_runtime \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:log_path=$logs/asan \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan \
PYTHONPATH=$PWD/fuzz/sanitizer_site:$PWD/$build:$PWD/server${PYTHONPATH:+:$PYTHONPATH} \
QUELT_REFSERVER=$PWD/$build/server/quelt-refserver \
QUELT_UNDER_SANITIZER=1 PYTHONUNBUFFERED=1 \
    timeout --kill-after=30 "${QUELT_ASAN_TIMEOUT:-1800}" \
    "$python" -m pytest "$@" -q -p no:cacheprovider
status=$?
set -e

reports=$(find "$logs" -type f | wc -l)
if [ "$reports" -ne 0 ]; then
    echo "run_sanitized_tests: $reports sanitizer report(s):" >&2
    for report in "$logs"/*; do
        echo "---- $report" >&2
        head -40 "$report" >&2
    done
    exit 1
fi
echo "run_sanitized_tests: pytest status $status, 0 sanitizer reports"
exit $status
