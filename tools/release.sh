#!/usr/bin/env bash
# Builds a release of the setup program, checks it and signs it: one command.
#
#   tools/release.sh [--out DIR] [--archive ZIP] [--download-host HOST] [--web-host HOST] [--reuse-builds]
#
# 1. Builds the release configuration twice from scratch: once from this work
#    tree, once from a copy of its files in another folder, each in a build
#    folder of its own under $PELORIN_RELEASE_WORK (default build-release/).
# 2. Refuses to go on unless both unsigned executables are byte-identical.
# 3. Checks that the licence notices in the program cover everything the link
#    put into it (tools/release/check_notices.py).
# 4. Signs with Authenticode, SHA-256, through tools/release/sign.sh: the
#    certificate from PELORIN_SIGN_PKCS12 and PELORIN_SIGN_PASSWORD(_FILE), an
#    RFC 3161 timestamp from PELORIN_SIGN_TIMESTAMP_URL if set; without a
#    certificate, with the throwaway TEST signer (never for distribution).
#    `osslsigncode verify` must accept the result, and removing the signature
#    must give back the unsigned bytes.
# 5. Asks WinVerifyTrust under Wine, in a throwaway prefix that trusts the test
#    root, and prints what it says.
# 6. Writes the output folder (default $PELORIN_RELEASE_WORK/out):
#    Pelorin-Setup-0.5.0.exe (signed), build-info.txt and SHA256SUMS.
#
# Without options the release is built for the demo release archive and the
# build's default hosts. --reuse-builds skips step 1 and takes the two build
# folders of the previous run as they are (to sign again without building).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$PELORIN_ROOT/tools/wine.sh"

started=$SECONDS
work=${PELORIN_RELEASE_WORK:-$PELORIN_ROOT/build-release}
out='' archive='' download_host='' web_host='' reuse=false
while [ $# -gt 0 ]; do
    case $1 in
        --out) out=${2:?--out needs a folder}; shift 2 ;;
        --archive) archive=${2:?--archive needs a file}; shift 2 ;;
        --download-host) download_host=${2:?--download-host needs a host}; shift 2 ;;
        --web-host) web_host=${2:?--web-host needs a host}; shift 2 ;;
        --reuse-builds) reuse=true; shift ;;
        *) die "usage: tools/release.sh [--out DIR] [--archive ZIP] [--download-host HOST] [--web-host HOST] [--reuse-builds]" ;;
    esac
done
mkdir -p "$work"
work=$(cd "$work" && pwd)
out=${out:-$work/out}
program=Pelorin-Setup-0.5.0.exe
first=$work/first
second_source=$work/second/source
second=$work/second/build/of/another/depth
signing_real=false
[ -z "${PELORIN_SIGN_PKCS12:-}" ] || signing_real=true

"$PELORIN_ROOT/tools/setup.sh"

# --- 1. two builds -------------------------------------------------------------
commit=$(git -C "$PELORIN_ROOT" rev-parse HEAD 2>/dev/null) || die "$PELORIN_ROOT is no git checkout"
changes=$(git -C "$PELORIN_ROOT" status --porcelain --untracked-files=normal)
if [ -n "$changes" ] && $signing_real; then
    die "the work tree has uncommitted changes; a release is signed only from a clean checkout"
fi

if ! $reuse; then
    settings=(-DPELORIN_RELEASE_BUILD=ON)
    [ -z "$download_host" ] || settings+=("-DPELORIN_PRODUCT_HOST=$download_host")
    [ -z "$web_host" ] || settings+=("-DPELORIN_PRODUCT_WEB_HOST=$web_host")
    if [ -n "$archive" ]; then
        [ -f "$archive" ] || die "no release archive $archive"
        settings+=("-DPELORIN_RELEASE_ARCHIVE=$(realpath "$archive")")
    fi
    build_release() { # label source build targets...
        local label=$1 source=$2 build=$3 t0=$SECONDS
        shift 3
        note "building the release configuration ($label) in $build"
        cmake -S "$source" -B "$build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release \
            -DPELORIN_MINIZ_DIR="$PELORIN_CACHE/miniz" "${settings[@]}" >"$build.log" 2>&1 \
            && cmake --build "$build" -j "$(nproc)" --target "$@" >>"$build.log" 2>&1 \
            || { tail -n 30 "$build.log" >&2; die "the $label build failed (log: $build.log)"; }
        echo "   built in $((SECONDS - t0)) s"
    }
    rm -rf "$first" "$first.log" "$work/second" "$work/commit.txt"
    mkdir -p "$first" "$second_source" "$second"
    # The second build compiles a copy of the same files from another folder.
    git -C "$PELORIN_ROOT" ls-files -z --cached --others --exclude-standard \
        | (cd "$PELORIN_ROOT" && tar --null --ignore-failed-read -T - -cf - 2>/dev/null) \
        | tar -xf - -C "$second_source"
    build_release "first" "$PELORIN_ROOT" "$first" pelorin_setup pelorin_verify_trust pelorin_add_root_cert
    build_release "second, from a copy of the sources" "$second_source" "$second" pelorin_setup
    printf '%s\n%s\n' "$commit" "$([ -z "$changes" ] && echo clean || echo changed)" > "$work/commit.txt"
fi
[ -f "$work/commit.txt" ] || die "no builds to reuse in $work"
{ read -r built_commit; read -r built_state; } < "$work/commit.txt"

# --- 2. reproducibility -----------------------------------------------------------
one=$first/$program two=$second/$program
[ -f "$one" ] && [ -f "$two" ] || die "the builds left no $program"
digest_one=$(sha256sum "$one" | cut -d' ' -f1)
digest_two=$(sha256sum "$two" | cut -d' ' -f1)
note "unsigned $program: $digest_one (first build), $digest_two (second build)"
if ! cmp -s "$one" "$two"; then
    echo "first differing bytes (offset, first build, second build, octal):" >&2
    cmp -l "$one" "$two" 2>/dev/null | head -n 10 >&2 || true
    die "the two builds differ: the release is not reproducible, and is not signed"
fi

# --- 3. licence notices ---------------------------------------------------------------
note "checking the licence notices against the link"
python3 "$PELORIN_ROOT/tools/release/check_notices.py" --exe "$one" --map "$first/${program%.exe}.map" \
    --build "$first" --source "$PELORIN_ROOT" || die "the licence notices are incomplete; not signed"

# --- 4. signing -------------------------------------------------------------------------
cache_value() { # build name
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}
web_host=$(cache_value "$first" PELORIN_PRODUCT_WEB_HOST)
download_host=$(cache_value "$first" PELORIN_PRODUCT_HOST)
mkdir -p "$out"
rm -f "$out/$program" "$out/SHA256SUMS" "$out/build-info.txt"
signed=$work/$program.signed
sign_options=(--url "https://$web_host")
if $signing_real; then
    note "signing with the certificate in PELORIN_SIGN_PKCS12"
else
    note "signing with the throwaway TEST signer (no certificate given; not for distribution)"
    sign_options+=(--test-signer)
fi
report=$("$PELORIN_ROOT/tools/release/sign.sh" "${sign_options[@]}" "$one" "$signed") || die "signing failed"
grep -E "Subject:|Signature verification|Timestamp Server Signature|Timestamp time|Message digest algorithm  |^Succeeded" \
    <<<"$report" | sed 's/^[[:space:]]*/   /' | awk '!seen[$0]++'
signer=$(grep -m1 "Subject:" <<<"$report" | sed 's/^[[:space:]]*Subject:[[:space:]]*//')
timestamped=no
grep -q "Timestamp Server Signature verification: ok" <<<"$report" && timestamped="yes, RFC 3161 from $PELORIN_SIGN_TIMESTAMP_URL"
stripped=$work/$program.stripped
osslsigncode remove-signature -in "$signed" -out "$stripped" >/dev/null 2>&1 \
    && cmp -s "$stripped" "$one" || die "the signed program holds more changes than its signature"
rm -f "$stripped"

# --- 5. WinVerifyTrust under Wine ----------------------------------------------------------
note "asking WinVerifyTrust under Wine"
PELORIN_XVFB_PID=
trap 'wine_cleanup' EXIT
wine_throwaway_prefix
wine_start_services
trust() {
    "$PELORIN_ROOT/tools/wine-run.sh" "$first/tools/release/pelorin_verify_trust.exe" "Z:${signed//\//\\}" </dev/null
}
before=$(trust) && before_status=0 || before_status=$?
if ! $signing_real; then
    "$PELORIN_ROOT/tools/wine-run.sh" "$first/tools/test_ca/pelorin_add_root_cert.exe" \
        "Z:${PELORIN_CACHE//\//\\}\\test-signer\\TEST-ONLY-root.der" </dev/null >/dev/null \
        || die "cannot trust the test root in $WINEPREFIX"
    echo "   before the test root was trusted: ${before//$'\n'/; }"
fi
after=$(trust) && after_status=0 || after_status=$?
echo "   ${after//$'\n'/; }"
[ "$after_status" -eq 0 ] || die "WinVerifyTrust does not trust the signed program"
if ! $signing_real && [ "$before_status" -eq 0 ]; then
    echo "   note: this Wine trusted the signature before its root was: its WinVerifyTrust checks the"
    echo "   file's digest and the signature, not the chain to a trusted root; osslsigncode verify did that"
fi
wine_cleanup
trap - EXIT

# --- 6. the output folder ------------------------------------------------------------------------
mv "$signed" "$out/$program"
archive_path=$(cache_value "$first" PELORIN_RELEASE_ARCHIVE)
if [ -n "$archive_path" ]; then
    archive_kind="given release archive"
else
    archive_path=$first/releases/product/Pelorin-Windows-0.5.0-win-x64.zip
    archive_kind="demo release generated by tools/release/make_release.py"
fi
compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$first"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -n 1)
[ -x "$compiler" ] || die "cannot tell the compiler of $first"
package_version() { dpkg-query -W -f='${Package} ${Version}' "$1" 2>/dev/null || echo "$1 (not installed)"; }
{
    echo "Pelorin Setup 0.5.0, $program"
    echo "commit: $built_commit$([ "$built_state" = clean ] || echo ' (with uncommitted changes)')"
    echo "compiler: $("$compiler" --version | head -n 1); $(package_version g++-mingw-w64-x86-64-posix)," \
         "$(package_version mingw-w64-x86-64-dev), $(package_version binutils-mingw-w64-x86-64)"
    echo "release archive: $(basename "$archive_path"), $(stat -c %s "$archive_path") bytes," \
         "SHA-256 $(sha256sum "$archive_path" | cut -d' ' -f1) ($archive_kind)"
    echo "download host: $download_host; web host: $web_host"
    echo "unsigned program SHA-256: $digest_one (two builds from different folders, byte-identical)"
    if $signing_real; then
        echo "signed by: $signer"
    else
        echo "signed by: $signer -- a throwaway TEST certificate: NOT FOR DISTRIBUTION"
    fi
    echo "timestamp: $timestamped"
} > "$out/build-info.txt"
(cd "$out" && sha256sum "$program" build-info.txt > SHA256SUMS)

note "release in $out:"
sed 's/^/   /' "$out/SHA256SUMS"
sed 's/^/   /' "$out/build-info.txt"
note "tools/release.sh took $((SECONDS - started)) s"
