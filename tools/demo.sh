#!/usr/bin/env bash
# The demo: installs what it needs, builds, starts the local release server
# with the demo release, and runs the setup engine through the demo driver in
# a throwaway Wine prefix: fresh install, re-registration, what is on disk,
# verified launch, refusal while the application runs, uninstall.
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
wine_start_services
server_trust_ca "$PELORIN_BUILD/tools/test_ca/pelorin_add_root_cert.exe" >/dev/null
server_start "$PELORIN_BUILD/releases/product/Pelorin-Windows-0.5.0-win-x64.zip" "" \
    "$(cat "$PELORIN_BUILD/release-server-port.txt")"
note "running the demo in $WINEPREFIX"
"$PELORIN_ROOT/tools/wine-run.sh" "$PELORIN_BUILD/tools/demo/pelorin_demo.exe"
