#!/usr/bin/env bash
# Builds the benchmark program and runs it under Wine in a throwaway prefix,
# with the local release server serving the product's release archive (the
# demo release unless the build names a real one).
# Every figure it prints is a ratio or rate measured side by side in that run.
# The measurement "native" runs here, not under Wine: the same job as a fresh
# install done by the system's own tools (curl, sha256sum, unzip), compared
# with the fresh install time that the "install" measurement prints.
# Usage: tools/bench.sh [--repeat N] [measurement...]     e.g. tools/bench.sh hash-file extract
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$PELORIN_ROOT/tools/wine.sh"
source "$PELORIN_ROOT/tools/server.sh"

repeat=7
bench_args=()
names=()
while [ $# -gt 0 ]; do
    case $1 in
        --repeat)
            [ $# -ge 2 ] || die "--repeat needs a number"
            repeat=$2
            bench_args+=(--repeat "$2")
            shift 2
            ;;
        *)
            names+=("$1")
            shift
            ;;
    esac
done
[[ $repeat =~ ^[1-9][0-9]*$ ]] || die "--repeat needs a positive number"

wanted() { # name: true when the run includes that measurement
    [ ${#names[@]} -eq 0 ] && return 0
    local n
    for n in "${names[@]}"; do [ "$n" = "$1" ] && return 0; done
    return 1
}
native=false
if wanted native; then native=true; fi
# The Windows program knows every measurement but "native", which needs the
# install time; without names it runs all of them anyway.
if [ ${#names[@]} -gt 0 ]; then
    for n in "${names[@]}"; do
        [ "$n" = native ] || bench_args+=("$n")
    done
    if $native && ! wanted install; then bench_args+=(install); fi
fi
# The whole operations download from the endpoint compiled into the build: the
# server then listens on the build's port (so no test run of the same build can
# go on beside it). Otherwise on a port the system picks.
port=0
for n in install reregister launch uninstall window native; do
    if wanted "$n"; then port=build; fi
done
for cmd in curl unzip sha256sum; do
    if $native && ! command -v "$cmd" >/dev/null; then
        die "the native baseline needs $cmd (apt-get install -y curl unzip coreutils)"
    fi
done

"$PELORIN_ROOT/tools/setup.sh"
server_setup_ca
"$PELORIN_ROOT/tools/build.sh"
bench=$PELORIN_BUILD/tools/bench/pelorin_bench.exe
[ -f "$bench" ] || die "no $bench: the build has no tools/bench folder (add_subdirectory(tools/bench))"
archive=$(sed -n 's/^PELORIN_RELEASE_ARCHIVE:[A-Z]*=//p' "$PELORIN_BUILD/CMakeCache.txt")
[ -n "$archive" ] || archive=$PELORIN_BUILD/releases/product/Pelorin-Windows-0.5.0-win-x64.zip
[ -f "$archive" ] || die "no product release archive at $archive"
[ "$port" = build ] && port=$(cat "$PELORIN_BUILD/release-server-port.txt")

output=$(mktemp "${TMPDIR:-/tmp}/pelorin-bench-output.XXXXXX")
trap 'server_stop; wine_cleanup; rm -f "$output"' EXIT
# The launched application and the setup window need a display.
if wanted launch || wanted window; then wine_start_display; fi
wine_throwaway_prefix
note "running the benchmarks in $WINEPREFIX"
wine_start_services
wine_prepare_desktop
server_trust_ca "$PELORIN_BUILD/tools/test_ca/pelorin_add_root_cert.exe"
# The benchmark program reads PELORIN_SERVER_PORT.
server_start "$archive" "" "$port"
# Other work on the machine shows in the spread of the per-run ratios.
note "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
"$PELORIN_ROOT/tools/wine-run.sh" "$bench" "${bench_args[@]}" | tee "$output"

$native || exit 0

# bench-value NAME: a figure the benchmark program printed for this script.
bench_value() {
    tr -d '\r' <"$output" | sed -n "s/^bench-value $1 //p" | tail -n 1
}
install_seconds=$(bench_value install-seconds)
download_path=$(bench_value download-path)
[ -n "$install_seconds" ] && [ -n "$download_path" ] || die "the benchmark program printed no install time"
url="https://localhost:$PELORIN_SERVER_PORT$download_path"

# One run of the native job, in a fresh folder beside the Wine prefix; prints
# its seconds. Removing the folder is not timed.
native_once() {
    local dir start end
    dir=$(mktemp -d "${TMPDIR:-/tmp}/pelorin-native.XXXXXX")
    start=$(date +%s%N)
    curl --silent --show-error --fail --cacert "$PELORIN_TEST_CA/ca.crt" -H 'Accept-Encoding: identity' \
        -o "$dir/archive.zip" "$url"
    sha256sum "$dir/archive.zip" >/dev/null
    unzip -q "$dir/archive.zip" -d "$dir/files"
    find "$dir/files" -type f -print0 | xargs -0 sha256sum >/dev/null
    end=$(date +%s%N)
    rm -rf "$dir"
    echo $(((end - start) / 1000))
}
native_once >/dev/null  # warm-up
times=()
for _ in $(seq 1 "$repeat"); do
    times+=("$(native_once)")
done
python3 - "$install_seconds" "${times[@]}" <<'PY'
import statistics, sys
install = float(sys.argv[1])
native = [int(t) / 1e6 for t in sys.argv[2:]]
median = statistics.median(native)
print()
print("native: the same job with the system's own tools, not under Wine: curl of the same URL from")
print("  the same server (the test CA given with --cacert), sha256sum of the archive, unzip into a")
print("  new folder, sha256sum of every extracted file (median of %d runs after a warm-up)" % len(native))
print("  %-44s %9.3f s" % ("native curl + sha256sum + unzip + sha256sum", median))
print("  %-44s %9.3f s" % ("fresh Install (from the install measurement)", install))
print("  %-44s %9.3f    (runs from %.3f to %.3f s; no target)" % ("ratio fresh Install / native", install / median, min(native), max(native)))
PY
