#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the Windows programs run
# under Wine in a throwaway prefix (with Xvfb when there is no display), the
# downloads against the local release server. In CI (CI=true) the fuzz
# targets run for 60 s each first (tools/fuzz.sh).
# Usage: tools/test.sh [ctest arguments...]     e.g. tools/test.sh -R paths
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/harness.sh"

# The server serves the small fixture release by default; a test can ask for
# any other archive below the releases folder.
harness_start "$PELORIN_BUILD/releases/small/Pelorin-Windows-0.5.0-win-x64.zip" "$PELORIN_BUILD/releases"
# In CI the fuzz targets run first, so that ctest's summary stays the last
# line of the output; a fuzz failure still fails the run.
fuzz_status=0
if [ "${CI:-}" = true ]; then
    fuzz_started=$SECONDS
    "$PELORIN_ROOT/tools/fuzz.sh" 60 || fuzz_status=$?
    note "the fuzz targets took $((SECONDS - fuzz_started)) s (build and runs)"
fi

note "running the tests in $WINEPREFIX"
cd "$PELORIN_BUILD"
ctest_status=0
ctest --output-on-failure --timeout 900 "$@" || ctest_status=$?
if [ "$fuzz_status" -ne 0 ]; then
    echo "error: the fuzz targets failed (see above)" >&2
    exit "$fuzz_status"
fi
exit "$ctest_status"
