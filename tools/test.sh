#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the Windows programs run
# under Wine in a throwaway prefix (with Xvfb when there is no display).
# Usage: tools/test.sh [ctest arguments...]     e.g. tools/test.sh -R paths
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$PELORIN_ROOT/tools/wine.sh"

"$PELORIN_ROOT/tools/setup.sh"
"$PELORIN_ROOT/tools/build.sh"

trap wine_cleanup EXIT
wine_start_display
wine_throwaway_prefix
note "running the tests in $WINEPREFIX"
wine_start_services
cd "$PELORIN_BUILD"
ctest --output-on-failure --timeout 900 "$@"
