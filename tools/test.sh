#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the Windows programs run
# under Wine in a throwaway prefix (with Xvfb when there is no display).
# Usage: tools/test.sh [ctest arguments...]     e.g. tools/test.sh -R paths
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$PELORIN_ROOT/tools/wine.sh"
source "$PELORIN_ROOT/tools/server.sh"

"$PELORIN_ROOT/tools/setup.sh"
server_setup_ca
"$PELORIN_ROOT/tools/build.sh"

trap 'server_stop; wine_cleanup' EXIT
wine_start_display
wine_throwaway_prefix
note "running the tests in $WINEPREFIX"
wine_start_services
server_trust_ca "$PELORIN_BUILD/tools/test_ca/pelorin_add_root_cert.exe"
# The release server serves the small fixture release by default; a test can
# ask for any other archive below the releases folder.
# It listens on the port this build downloads from.
server_start "$PELORIN_BUILD/releases/small/Pelorin-Windows-0.5.0-win-x64.zip" "$PELORIN_BUILD/releases" \
    "$(cat "$PELORIN_BUILD/release-server-port.txt")"
cd "$PELORIN_BUILD"
ctest --output-on-failure --timeout 900 "$@"
