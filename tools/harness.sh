# The common start of the test run, the demo and the benchmarks; sourced.
# shellcheck shell=bash
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$PELORIN_ROOT/tools/wine.sh"
source "$PELORIN_ROOT/tools/server.sh"

# harness_start ARCHIVE [BODIES_DIR]: installs what is missing, builds, and
# starts a display (if needed), a throwaway Wine prefix that trusts the test CA,
# and the release server serving ARCHIVE on the port this build downloads
# from. Everything is stopped and removed when the calling shell exits.
harness_start() {
    local archive=$1 bodies=${2:-}
    "$PELORIN_ROOT/tools/setup.sh"
    server_setup_ca
    "$PELORIN_ROOT/tools/build.sh"
    trap 'server_stop; wine_cleanup' EXIT
    wine_start_display
    wine_throwaway_prefix
    wine_start_services
    wine_prepare_desktop
    server_trust_ca "$PELORIN_BUILD/tools/test_ca/pelorin_add_root_cert.exe" >/dev/null
    server_start "$archive" "$bodies" "$(cat "$PELORIN_BUILD/release-server-port.txt")"
}
