#!/usr/bin/env bash
# Builds the benchmark program and runs it under Wine in a throwaway prefix,
# with the local release server serving the product's release archive (the
# demo release unless the build names a real one).
# Every figure it prints is a ratio or rate measured side by side in that run.
# Usage: tools/bench.sh [--repeat N] [measurement...]     e.g. tools/bench.sh hash-file extract
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$PELORIN_ROOT/tools/wine.sh"
source "$PELORIN_ROOT/tools/server.sh"

"$PELORIN_ROOT/tools/setup.sh"
server_setup_ca
"$PELORIN_ROOT/tools/build.sh"
bench=$PELORIN_BUILD/tools/bench/pelorin_bench.exe
[ -f "$bench" ] || die "no $bench: the build has no tools/bench folder (add_subdirectory(tools/bench))"
archive=$(sed -n 's/^PELORIN_RELEASE_ARCHIVE:[A-Z]*=//p' "$PELORIN_BUILD/CMakeCache.txt")
[ -n "$archive" ] || archive=$PELORIN_BUILD/releases/product/Pelorin-Windows-0.5.0-win-x64.zip
[ -f "$archive" ] || die "no product release archive at $archive"

trap 'server_stop; wine_cleanup' EXIT
wine_throwaway_prefix
note "running the benchmarks in $WINEPREFIX"
wine_start_services
server_trust_ca "$PELORIN_BUILD/tools/test_ca/pelorin_add_root_cert.exe"
# On a port the system picks, so that a test run of the same build can go on
# beside it; the benchmark program reads PELORIN_SERVER_PORT.
server_start "$archive"
# Other work on the machine shows in the spread of the per-run ratios.
note "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
"$PELORIN_ROOT/tools/wine-run.sh" "$bench" "$@"
