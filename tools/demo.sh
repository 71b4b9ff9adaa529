#!/usr/bin/env bash
# The demo: installs what it needs, builds, starts the local release server
# with the demo release, and runs the setup engine through the demo driver in
# a throwaway Wine prefix: fresh install, re-registration, what is on disk,
# verified launch, refusal while the application runs, uninstall.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/harness.sh"

harness_start "$PELORIN_BUILD/releases/product/Pelorin-Windows-0.5.0-win-x64.zip"
note "running the demo in $WINEPREFIX"
"$PELORIN_ROOT/tools/wine-run.sh" "$PELORIN_BUILD/tools/demo/pelorin_demo.exe"
