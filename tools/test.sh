#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the Windows programs run
# under Wine in a throwaway prefix (with Xvfb when there is no display), the
# downloads against the local release server. In CI (CI=true) the fuzz
# targets then run for 60 s each (tools/fuzz.sh).
# Usage: tools/test.sh [ctest arguments...]     e.g. tools/test.sh -R paths
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/harness.sh"

# The server serves the small fixture release by default; a test can ask for
# any other archive below the releases folder.
harness_start "$PELORIN_BUILD/releases/small/Pelorin-Windows-0.5.0-win-x64.zip" "$PELORIN_BUILD/releases"
note "running the tests in $WINEPREFIX"
cd "$PELORIN_BUILD"
ctest --output-on-failure --timeout 900 "$@"

if [ "${CI:-}" = true ]; then
    fuzz_started=$SECONDS
    "$PELORIN_ROOT/tools/fuzz.sh" 60
    note "the fuzz targets took $((SECONDS - fuzz_started)) s (build and runs)"
fi
