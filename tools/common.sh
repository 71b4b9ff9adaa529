# Shared settings of the development scripts; sourced, not run.
# shellcheck shell=bash

PELORIN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Downloads and the initialised Wine template live outside the work tree, so a
# fresh clone on the same machine reuses them.
PELORIN_CACHE=${PELORIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pelorin-setup}
PELORIN_BUILD=${PELORIN_BUILD:-$PELORIN_ROOT/build}

die() {
    echo "error: $*" >&2
    exit 1
}

note() {
    echo "== $*"
}
