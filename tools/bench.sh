#!/usr/bin/env bash
# Builds the benchmark program and runs it under Wine in a throwaway prefix.
# Every figure it prints is a ratio or rate measured side by side in that run.
# Usage: tools/bench.sh [--repeat N] [measurement...]     e.g. tools/bench.sh hash-file
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$PELORIN_ROOT/tools/wine.sh"

"$PELORIN_ROOT/tools/setup.sh"
"$PELORIN_ROOT/tools/build.sh"
bench=$PELORIN_BUILD/tools/bench/pelorin_bench.exe
[ -f "$bench" ] || die "no $bench: the build has no tools/bench folder (add_subdirectory(tools/bench))"

trap wine_cleanup EXIT
wine_throwaway_prefix
note "running the benchmarks in $WINEPREFIX"
wine_start_services
"$PELORIN_ROOT/tools/wine-run.sh" "$bench" "$@"
