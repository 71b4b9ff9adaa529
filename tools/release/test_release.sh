#!/usr/bin/env bash
# The release pipeline end to end, as the test suite runs it:
#   tools/release/test_release.sh BUILD
# runs tools/release.sh with the TEST signer and a local RFC 3161 time-stamping
# server (work folders under BUILD/release-check), then checks what it made:
# - the script checked the licence notices and asked WinVerifyTrust;
# - the two unsigned programs, built in different folders from different
#   copies of the sources, are byte-identical;
# - SHA256SUMS matches the output folder, build-info.txt names the commit,
#   the compiler and the archive;
# - the signed program passes `osslsigncode verify` with a verified
#   timestamp, and one changed byte makes both osslsigncode and, under Wine,
#   WinVerifyTrust reject it;
# - given two builds that differ, the script refuses and signs nothing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

build=$(cd "${1:?usage: test_release.sh BUILD}" && pwd)
started=$SECONDS
work=$build/release-check
out=$work/out
program=Pelorin-Setup-0.5.0.exe
failures=0
check() { # description command...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

unset PELORIN_SIGN_PKCS12 PELORIN_SIGN_PASSWORD PELORIN_SIGN_PASSWORD_FILE PELORIN_SIGN_CA_FILE
signer=$PELORIN_CACHE/test-signer
"$PELORIN_ROOT/tools/release/make_test_signer.sh" "$signer"

# A time-stamping server on loopback, so that the timestamp path runs too.
tsa=$(mktemp -d "${TMPDIR:-/tmp}/pelorin-tsa.XXXXXX")
python3 "$PELORIN_ROOT/tools/release/timestamp_server.py" --signer "$signer" --port-file "$tsa/port" \
    --parent-pid $$ </dev/null >"$tsa/log" 2>&1 &
tsa_pid=$!
trap 'kill "$tsa_pid" 2>/dev/null || true; wait "$tsa_pid" 2>/dev/null || true; rm -rf "$tsa"' EXIT
for _ in $(seq 1 100); do
    [ -s "$tsa/port" ] && break
    kill -0 "$tsa_pid" 2>/dev/null || break
    sleep 0.1
done
[ -s "$tsa/port" ] || { cat "$tsa/log" >&2; die "the time-stamping server did not start"; }
PELORIN_SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat "$tsa/port")
export PELORIN_SIGN_TIMESTAMP_URL

mkdir -p "$work"
PELORIN_RELEASE_WORK=$work "$PELORIN_ROOT/tools/release.sh" --out "$out" </dev/null 2>&1 | tee "$work/release.log"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || die "tools/release.sh failed with status $status"

check "the script checked the licence notices" grep -q "every notice is in RCDATA 301" "$work/release.log"
check "the script asked WinVerifyTrust" grep -q "^   WinVerifyTrust: trusted" "$work/release.log"

first=$work/first/$program
second=$work/second/build/of/another/depth/$program
check "the two unsigned builds are byte-identical ($(sha256sum "$first" | cut -c1-64))" cmp "$first" "$second"
check "the second build compiled another copy of the sources" \
    grep -q "$work/second/source" "$work/second/build/of/another/depth/CMakeCache.txt"
check "SHA256SUMS matches the output folder" bash -c "cd '$out' && sha256sum --quiet -c SHA256SUMS"
check "SHA256SUMS lists the program" grep -q " $program\$" "$out/SHA256SUMS"
info=$out/build-info.txt
check "build-info.txt names the commit" grep -q "^commit: $(git -C "$PELORIN_ROOT" rev-parse HEAD)" "$info"
check "build-info.txt names the compiler" grep -q "^compiler: x86_64-w64-mingw32-g++" "$info"
check "build-info.txt names the archive" \
    grep -q "^release archive: Pelorin-Windows-0.5.0-win-x64.zip, 67290826 bytes, SHA-256 [0-9a-f]\{64\}" "$info"
check "build-info.txt says the TEST signer is not for distribution" grep -q "NOT FOR DISTRIBUTION" "$info"

verify() { osslsigncode verify -CAfile "$signer/TEST-ONLY-root.crt" -TSA-CAfile "$signer/TEST-ONLY-root.crt" -in "$1"; }
verify "$out/$program" >"$work/verify.txt" 2>&1 && verified=0 || verified=$?
check "osslsigncode verify accepts the signed program" test "$verified" -eq 0
check "the signature is SHA-256" grep -q "Message digest algorithm  : SHA256" "$work/verify.txt"
check "the timestamp verifies" grep -q "Timestamp Server Signature verification: ok" "$work/verify.txt"

# One changed byte, in the middle of the signed image.
changed=$work/changed-$program
cp "$out/$program" "$changed"
size=$(stat -c %s "$changed")
offset=$((size / 2))
byte=$(od -An -tu1 -j "$offset" -N1 "$changed" | tr -d ' ')
printf '%b' "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$changed" bs=1 seek="$offset" conv=notrunc status=none
check "the copy differs in exactly one byte" test "$(cmp -l "$out/$program" "$changed" | wc -l)" -eq 1
verify "$changed" >"$work/verify-changed.txt" 2>&1 && rejected=1 || rejected=0
check "osslsigncode verify rejects one changed byte" test "$rejected" -eq 0
case "${WINEPREFIX:-}" in
    */pelorin-prefix.*)
        trust() { "$PELORIN_ROOT/tools/wine-run.sh" "$build/tools/release/pelorin_verify_trust.exe" "Z:${1//\//\\}" </dev/null; }
        answer=$(trust "$changed") && code=0 || code=$?
        echo "WinVerifyTrust on the changed copy: $answer"
        check "WinVerifyTrust rejects one changed byte" test "$code" -eq 1
        ;;
    *) echo "skipped: WinVerifyTrust on the changed copy (no throwaway Wine prefix; run through tools/test.sh)" ;;
esac

# Two builds that differ: the script stops before signing.
printf 'x' | dd of="$second" bs=1 seek=$(($(stat -c %s "$second") / 3)) conv=notrunc status=none
refused=$work/refused
PELORIN_RELEASE_WORK=$work "$PELORIN_ROOT/tools/release.sh" --reuse-builds --out "$refused" </dev/null \
    >"$work/refused.log" 2>&1 && refusal=1 || refusal=0
check "two different builds are refused" test "$refusal" -eq 0
check "the refusal says why" grep -q "the two builds differ" "$work/refused.log"
check "the refusal signs nothing" test ! -e "$refused/$program"

echo "release pipeline test: $((SECONDS - started)) s"
[ "$failures" -eq 0 ] || die "$failures check(s) failed"
