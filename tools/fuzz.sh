#!/usr/bin/env bash
# Builds the fuzz targets natively (clang, libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in their own build folder, writes their seed
# corpora and runs each target for the given time. Exits non-zero when a
# target finds a crash; the input that caused it is kept in the build folder.
# Usage: tools/fuzz.sh [seconds per target, default 60]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || die "usage: tools/fuzz.sh [seconds per target]"
fuzz_build=${PELORIN_FUZZ_BUILD:-$PELORIN_ROOT/build-fuzz}
targets=(archive entry_names paths marker)

"$PELORIN_ROOT/tools/setup.sh"
if [ ! -f "$fuzz_build/CMakeCache.txt" ]; then
    note "configuring $fuzz_build"
    cmake -S "$PELORIN_ROOT/fuzz" -B "$fuzz_build" -G Ninja \
        -DCMAKE_CXX_COMPILER=clang++ \
        -DPELORIN_MINIZ_DIR="$PELORIN_CACHE/miniz" >/dev/null
fi
note "building the fuzz targets"
cmake --build "$fuzz_build" -j "$(nproc)"

failed=()
summary=()
for target in "${targets[@]}"; do
    corpus=$fuzz_build/corpus/$target     # grows from run to run
    crashes=$fuzz_build/crashes/$target
    log=$fuzz_build/logs/$target.log
    mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
    note "fuzzing $target for $seconds s"
    status=0
    "$fuzz_build/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$crashes/" \
        "$corpus" "$fuzz_build/seeds/$target" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    line=$(printf '%-12s %12s executions %8s per second' "$target" "${runs:-?}" "${speed:-?}")
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        line="$line   FAILED (exit $status)"
        echo "---- $target: the end of its log ($log)"
        tail -n 40 "$log"
        echo "---- inputs kept in $crashes:"
        ls -1 "$crashes"
    fi
    summary+=("$line")
done

note "fuzzing summary ($seconds s per target)"
printf '%s\n' "${summary[@]}"
echo "fuzzers: $(( ${#targets[@]} - ${#failed[@]} )) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -gt 0 ]; then
    die "fuzz targets failed: ${failed[*]}"
fi
