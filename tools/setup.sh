#!/usr/bin/env bash
# Installs what the build and the tests need; safe to run again and again.
#   - Debian packages: the mingw-w64 cross compiler, Wine, Xvfb, CMake, Ninja,
#     GoogleTest sources, Python 3 and OpenSSL; for the demo and the window
#     tests X input (xdotool), screenshots (ImageMagick) and a font with
#     Cyrillic glyphs (DejaVu); for the fuzz targets (tools/fuzz.sh) clang
#     with its sanitizer and libFuzzer runtimes, and LLVM's symbolizer for
#     readable reports; osslsigncode, which signs and verifies releases
#     (tools/release.sh).
#   - miniz: the single-header ZIP reader, taken from the source package of a
#     Debian suite that ships it, checked against a pinned SHA-256 and kept in
#     the cache folder (third-party source is never committed).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

packages=(
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
    wine wine64 xvfb xauth x11-apps
    xdotool imagemagick fonts-dejavu-core
    cmake ninja-build googletest python3 openssl ca-certificates dpkg-dev xz-utils
    clang libclang-rt-dev llvm
    osslsigncode git
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    note "installing Debian packages: ${missing[*]}"
    as_root apt-get update -q >/dev/null || die "apt-get update failed"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null \
        || die "apt-get install failed for: ${missing[*]}"
fi

# --- miniz -------------------------------------------------------------------
miniz_sha256=bba5c196415bda01b460d2dd8be779189bb228c2802b5b61dd20eae5c3921b06
miniz_suite=trixie
miniz_source_package=assimp
miniz_member='*/contrib/zip/src/miniz.h'
miniz_dir=$PELORIN_CACHE/miniz
miniz_header=$miniz_dir/miniz.h

header_ok() {
    [ -f "$miniz_header" ] && [ "$(sha256sum "$miniz_header" | cut -d' ' -f1)" = "$miniz_sha256" ]
}

if ! header_ok; then
    note "obtaining miniz from the Debian source package '$miniz_source_package' ($miniz_suite)"
    # The mirror is whatever this machine's apt already uses.
    mirror=$(grep -h -E '^[[:space:]]*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
                | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
    if [ -z "$mirror" ]; then
        mirror=$(grep -h -E '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
                    | grep -v -E '^[[:space:]]*deb[[:space:]]+\[' | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
    fi
    [ -n "$mirror" ] || die "no Debian mirror found in the apt configuration; cannot fetch miniz"
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/src"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/} $miniz_suite main" > "$work/sources.list"
    apt_private=(-o "Dir::State::Lists=$work/lists" -o "Dir::Etc::SourceList=$work/sources.list"
                 -o "Dir::Etc::SourceParts=/dev/null" -o "Dir::Cache=$work/cache" -o "APT::Sandbox::User=root")
    apt-get "${apt_private[@]}" update -q >"$work/update.log" 2>&1 \
        || die "cannot reach the Debian mirror for the '$miniz_suite' sources (see apt-get update output: $(tail -n 1 "$work/update.log"))"
    (cd "$work/src" && apt-get "${apt_private[@]}" source --download-only "$miniz_source_package" >"$work/source.log" 2>&1) \
        || die "cannot download the '$miniz_source_package' source package from the Debian mirror"
    orig=$(ls "$work"/src/"${miniz_source_package}"_*.orig.tar.* 2>/dev/null | head -n 1)
    [ -n "$orig" ] || die "the '$miniz_source_package' source package has no upstream tarball"
    mkdir -p "$miniz_dir"
    tar -xOf "$orig" --wildcards "$miniz_member" > "$work/miniz.h" 2>/dev/null \
        || die "the '$miniz_source_package' source package holds no miniz.h"
    got=$(sha256sum "$work/miniz.h" | cut -d' ' -f1)
    [ "$got" = "$miniz_sha256" ] || die "miniz.h digest $got differs from the pinned $miniz_sha256"
    mv "$work/miniz.h" "$miniz_header"
fi
header_ok || die "miniz.h in $miniz_dir does not match the pinned digest"
