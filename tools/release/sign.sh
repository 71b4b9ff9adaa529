#!/usr/bin/env bash
# Signs a Windows executable with Authenticode (SHA-256) and verifies the result.
#   tools/release/sign.sh [--test-signer] [--quiet] [--description TEXT] [--url URL] IN OUT
#
# The certificate comes from the environment, never from the work tree:
#   PELORIN_SIGN_PKCS12          the PKCS#12 file with the code-signing certificate and its key
#   PELORIN_SIGN_PASSWORD        its password, or
#   PELORIN_SIGN_PASSWORD_FILE   a file holding it
#   PELORIN_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamping server (optional; none: no timestamp)
#   PELORIN_SIGN_CA_FILE         trusted roots (PEM) for the check (default: the system's)
# --test-signer signs with the throwaway TEST material in the cache folder
# instead (made on first use by make_test_signer.sh; its root is trusted by
# nothing but our checks); PELORIN_SIGN_PKCS12 must then be unset.
# After signing, `osslsigncode verify` must accept OUT, or OUT is removed and
# the script fails. Prints the verification's report on success (not with --quiet).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

PELORIN_TEST_SIGNER=$PELORIN_CACHE/test-signer

test_signer=false quiet=false description="Pelorin Installer" url=
while [ $# -gt 2 ]; do
    case $1 in
        --test-signer) test_signer=true; shift ;;
        --quiet) quiet=true; shift ;;
        --description) description=$2; shift 2 ;;
        --url) url=$2; shift 2 ;;
        *) die "sign.sh: unknown option $1" ;;
    esac
done
[ $# -eq 2 ] || die "usage: sign.sh [--test-signer] [--quiet] [--description TEXT] [--url URL] IN OUT"
in=$1 out=$2
[ -f "$in" ] || die "sign.sh: no file $in"
command -v osslsigncode >/dev/null || die "osslsigncode is missing (tools/setup.sh installs it)"

if $test_signer; then
    [ -z "${PELORIN_SIGN_PKCS12:-}" ] || die "sign.sh: --test-signer and PELORIN_SIGN_PKCS12 exclude each other"
    "$PELORIN_ROOT/tools/release/make_test_signer.sh" "$PELORIN_TEST_SIGNER" \
        || die "cannot make the test signer in $PELORIN_TEST_SIGNER"
    pkcs12=$PELORIN_TEST_SIGNER/TEST-ONLY-code-signing.p12
    password=$(cat "$PELORIN_TEST_SIGNER/TEST-ONLY-password.txt")
    ca_file=$PELORIN_TEST_SIGNER/TEST-ONLY-root.crt
else
    pkcs12=${PELORIN_SIGN_PKCS12:-}
    [ -n "$pkcs12" ] || die "sign.sh: set PELORIN_SIGN_PKCS12 (or use --test-signer)"
    [ -f "$pkcs12" ] || die "sign.sh: PELORIN_SIGN_PKCS12 names no file: $pkcs12"
    case "$(realpath "$pkcs12")/" in
        "$PELORIN_ROOT"/*) die "sign.sh: the certificate must not live in the work tree ($pkcs12)" ;;
    esac
    if [ -n "${PELORIN_SIGN_PASSWORD:-}" ]; then
        password=$PELORIN_SIGN_PASSWORD
    elif [ -n "${PELORIN_SIGN_PASSWORD_FILE:-}" ]; then
        [ -f "$PELORIN_SIGN_PASSWORD_FILE" ] || die "sign.sh: PELORIN_SIGN_PASSWORD_FILE names no file"
        password=$(cat "$PELORIN_SIGN_PASSWORD_FILE")
    else
        die "sign.sh: set PELORIN_SIGN_PASSWORD or PELORIN_SIGN_PASSWORD_FILE"
    fi
    ca_file=${PELORIN_SIGN_CA_FILE:-}
fi

sign_args=(sign -pkcs12 "$pkcs12" -h sha256 -n "$description")
[ -z "$url" ] || sign_args+=(-i "$url")
# RFC 3161 (-ts), not the older Authenticode timestamp (-t).
[ -z "${PELORIN_SIGN_TIMESTAMP_URL:-}" ] || sign_args+=(-ts "$PELORIN_SIGN_TIMESTAMP_URL")
verify_args=(verify)
[ -z "$ca_file" ] || verify_args+=(-CAfile "$ca_file" -TSA-CAfile "$ca_file")

rm -f "$out"
# The password reaches osslsigncode through a pipe, never its command line.
log=$(printf '%s' "$password" | osslsigncode "${sign_args[@]}" -readpass /dev/stdin -in "$in" -out "$out" 2>&1) \
    || { rm -f "$out"; die "signing $in failed: $log"; }
report=$(osslsigncode "${verify_args[@]}" -in "$out" 2>&1) \
    || { rm -f "$out"; printf '%s\n' "$report" >&2; die "the signature of $out does not verify"; }
if [ -n "${PELORIN_SIGN_TIMESTAMP_URL:-}" ] && ! grep -q "Timestamp Server Signature verification: ok" <<<"$report"; then
    rm -f "$out"
    printf '%s\n' "$report" >&2
    die "the signature of $out carries no verified timestamp from $PELORIN_SIGN_TIMESTAMP_URL"
fi
$quiet || printf '%s\n' "$report"
