#!/usr/bin/env bash
# Runs a Windows program under Wine, but only inside a throwaway prefix made by
# the test harness (tools/test.sh); never in a developer's own Wine profile.
set -euo pipefail
case "${WINEPREFIX:-}" in
    */pelorin-prefix.*) ;;
    *) echo "wine-run: no throwaway prefix; run the tests through tools/test.sh" >&2; exit 2 ;;
esac
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$@"
