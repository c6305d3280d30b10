#!/usr/bin/env bash
# Builds the reference server and the test suite's native programs with
# ThreadSanitizer (QUELT_TSAN=ON) into build/f-tsan, then runs, all under it:
#   - the hybrid client's runtime check (tests/runtime_check.cpp);
#   - producer and consumer threads of one process on one mapping of a
#     region, pushing and popping its queue and taking and giving back pool
#     slots (shm_ring_probe threads);
#   - the reference server under the load of fuzz/multiprocess_load.py, whose
#     client processes use an uninstrumented quelt_sdk (a ThreadSanitizer
#     runtime cannot be loaded into a running interpreter): the one that
#     $PYTHON (default python3) imports, e.g. PYTHONPATH=build/dev.
#
#   PYTHONPATH=$PWD/build/dev fuzz/run_tsan.sh
#
# Every report, from any of these processes, is written to
# build/f-tsan/sanitizer-logs/; the script fails when a check fails or when
# any report was written.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QUELT_TSAN_BUILD:-build/f-tsan}
python=${PYTHON:-python3}
if ! "$python" -c "import quelt_sdk" 2>/dev/null; then
    echo "run_tsan: $python cannot import quelt_sdk (set PYTHONPATH to a build, or PYTHON)" >&2
    exit 1
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELT_TSAN=ON -DQUELT_BENCH=OFF \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" --target quelt-refserver shm_ring_probe runtime_check

logs=$PWD/$build/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 log_path=$logs/tsan"

status=0
check() {
    local name=$1
    shift
    local started=$SECONDS
    if timeout --kill-after=10 "${QUELT_TSAN_TIMEOUT:-600}" "$@"; then
        echo "run_tsan: $name passed in $((SECONDS - started)) s"
    else
        echo "run_tsan: $name FAILED" >&2
        status=1
    fi
}

check "runtime check" "$build/tests/runtime_check"
check "queue and slots across threads" \
    bash -c "[ \"\$('$build/tests/shm_ring_probe' threads quelt-tsan-threads-$$ 4 10000)\" = ok ]"
QUELT_REFSERVER=$PWD/$build/server/quelt-refserver check "server under load" \
    "$python" fuzz/multiprocess_load.py --requests "${QUELT_TSAN_LOAD_REQUESTS:-10000}" --socket-workers 2

reports=$(find "$logs" -type f | wc -l)
if [ "$reports" -ne 0 ]; then
    echo "run_tsan: $reports ThreadSanitizer report(s):" >&2
    for report in "$logs"/*; do
        echo "---- $report" >&2
        head -60 "$report" >&2
    done
    exit 1
fi
echo "run_tsan: 0 ThreadSanitizer reports"
exit $status
