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

# holds_recipe FOLDER VERSION FILE...: true when every FILE in FOLDER is there
# and not empty, and FOLDER/.recipe-version says VERSION.
holds_recipe() {
    local folder=$1 version=$2 file
    shift 2
    for file in "$@" .recipe-version; do
        [ -s "$folder/$file" ] || return 1
    done
    [ "$(cat "$folder/.recipe-version")" = "$version" ]
}

# make_folder_once DIR COMPLETE MAKE: makes sure DIR holds a set of files that
# the command COMPLETE (given a folder) accepts. When it does not, MAKE runs in
# a fresh folder beside DIR (its output is shown only if it fails), the new set
# is checked and moved into place. Several runs may race: a complete set that
# another run put in place first is kept.
make_folder_once() {
    local dir=$1 complete=$2 make=$3 parent work
    "$complete" "$dir" && return 0
    parent=$(dirname "$dir")
    mkdir -p "$parent"
    work=$(mktemp -d "$parent/.$(basename "$dir").new.XXXXXX")
    # In the background, so that errexit holds inside MAKE (a condition would lift it).
    (cd "$work" && "$make") >"$work.log" 2>&1 &
    if ! wait $!; then
        cat "$work.log" >&2
        rm -rf "$work" "$work.log"
        echo "error: making $dir failed" >&2
        return 1
    fi
    rm -f "$work.log"
    if ! "$complete" "$work"; then
        rm -rf "$work"
        echo "error: the new set for $dir does not verify" >&2
        return 1
    fi
    if "$complete" "$dir"; then
        rm -rf "$work"
        return 0
    fi
    rm -rf "$dir"
    mv "$work" "$dir" 2>/dev/null || { rm -rf "$work"; "$complete" "$dir"; } \
        || { echo "error: cannot move the new set into $dir" >&2; return 1; }
}
