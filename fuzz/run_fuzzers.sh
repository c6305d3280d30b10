#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang into build/f-fuzz and runs each
# one for a bounded time, starting from the committed seed corpus.
#
#   fuzz/run_fuzzers.sh                 # every harness, 20 s each (what CI runs)
#   fuzz/run_fuzzers.sh 3600            # a long run: one hour per harness
#   fuzz/run_fuzzers.sh 600 reply_packet base64   # chosen harnesses only
#
# New inputs go to build/f-fuzz/corpus/<harness> (not into the committed seeds);
# crashes are written to build/f-fuzz/findings/ and make the script fail.
# CXX selects the compiler (default: the newest clang++ found).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
build=${QUELT_FUZZ_BUILD:-build/f-fuzz}

# clang 16 or newer: older ones cannot compile libstdc++ 12's std::expected.
if [ -z "${CXX:-}" ]; then
    for candidate in clang++-20 clang++-19 clang++-18 clang++-17 clang++-16; do
        if command -v "$candidate" >/dev/null; then CXX=$candidate; break; fi
    done
fi
if [ -z "${CXX:-}" ]; then
    echo "run_fuzzers: no clang++ 16 or newer (Debian 12: apt-get install clang-16 libclang-rt-16-dev)" >&2
    exit 1
fi

CXX=$CXX cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELT_FUZZ=ON >/dev/null
cmake --build "$build" --target quelt_fuzzers

if [ $# -gt 0 ]; then
    harnesses=("$@")
else
    harnesses=()
    for seeds in fuzz/corpus/*/; do harnesses+=("$(basename "$seeds")"); done
fi

mkdir -p "$build/findings"
status=0
for name in "${harnesses[@]}"; do
    binary=$build/fuzz/fuzz_$name
    if [ ! -x "$binary" ]; then
        echo "== fuzz_$name: not built (its decoder is not in the tree)"
        continue
    fi
    mkdir -p "$build/corpus/$name"
    log=$build/findings/fuzz_$name.log
    # The inputs are small, so no legitimate allocation comes near 128 MiB:
    # a decoder that believes a length field fails here at once.
    if "$binary" "$build/corpus/$name" "fuzz/corpus/$name" \
            -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=128 \
            -artifact_prefix="$build/findings/${name}-" -print_final_stats=1 >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "== fuzz_$name: ${runs:-?} executions in ${seconds}s, no finding"
    else
        status=1
        echo "== fuzz_$name: FINDING (log: $log)"
        grep -E 'ERROR|invariant broken|SUMMARY|Test unit written' "$log" | head -20 || true
    fi
done
exit $status
