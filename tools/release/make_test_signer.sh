#!/usr/bin/env bash
# Makes THROWAWAY TEST signing material, for runs without a real certificate:
#   tools/release/make_test_signer.sh DIR
# DIR (outside the work tree) then holds
#   TEST-ONLY-root.crt          a test root CA (PEM), "Pelorin Setup TEST ROOT - not trusted anywhere"
#   TEST-ONLY-root.der          the same certificate, DER (for a Wine prefix's ROOT store)
#   TEST-ONLY-code-signing.p12  a code-signing certificate issued by that root, with its key
#   TEST-ONLY-password.txt      the PKCS#12 password (test material, so it is no secret)
#   TEST-ONLY-tsa.crt / .key    a time-stamping authority certificate of the same root
# Nothing here is fit to sign a release: no user's system trusts the root.
# Does nothing while a complete, valid set exists; RSA 3072, SHA-256, 30 days.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

recipe_version=1
days=30
dir=${1:?usage: make_test_signer.sh DIR}

complete() { # folder
    local d=$1
    holds_recipe "$d" "$recipe_version" TEST-ONLY-root.crt TEST-ONLY-root.der TEST-ONLY-code-signing.p12 \
        TEST-ONLY-password.txt TEST-ONLY-tsa.crt TEST-ONLY-tsa.key || return 1
    openssl x509 -in "$d/TEST-ONLY-root.crt" -noout -checkend 86400 >/dev/null 2>&1 || return 1
    openssl x509 -in "$d/TEST-ONLY-tsa.crt" -noout -checkend 86400 >/dev/null 2>&1 || return 1
    openssl pkcs12 -in "$d/TEST-ONLY-code-signing.p12" -passin "file:$d/TEST-ONLY-password.txt" \
        -clcerts -nokeys 2>/dev/null | openssl x509 -noout -checkend 86400 >/dev/null 2>&1
}

make_set() { # in the fresh folder
    cat > root.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = root_ext
[dn]
CN = Pelorin Setup TEST ROOT - not trusted anywhere
O = Pelorin Setup TEST material
[root_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF
    cat > leaf.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Pelorin Setup TEST
[signing_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out root.key
    openssl req -new -x509 -sha256 -days "$days" -key root.key -config root.cnf -out TEST-ONLY-root.crt
    openssl x509 -in TEST-ONLY-root.crt -outform DER -out TEST-ONLY-root.der
    issue() { # name extension subject
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$1.key"
        openssl req -new -sha256 -key "$1.key" -config leaf.cnf -subj "$3" -out "$1.csr"
        openssl x509 -req -sha256 -days "$days" -in "$1.csr" -CA TEST-ONLY-root.crt -CAkey root.key \
            -set_serial "0x$(openssl rand -hex 16)" -extfile leaf.cnf -extensions "$2" -out "$1.crt"
        rm -f "$1.csr"
    }
    issue signing signing_ext "/CN=Pelorin Setup TEST code signing - not for release/O=Pelorin Setup TEST material"
    issue TEST-ONLY-tsa tsa_ext "/CN=Pelorin Setup TEST time stamping - not for release/O=Pelorin Setup TEST material"
    openssl rand -hex 12 > TEST-ONLY-password.txt
    openssl pkcs12 -export -inkey signing.key -in signing.crt -certfile TEST-ONLY-root.crt \
        -name "Pelorin Setup TEST code signing" -passout file:TEST-ONLY-password.txt -out TEST-ONLY-code-signing.p12
    rm -f signing.key signing.crt root.key root.cnf leaf.cnf
    chmod 600 TEST-ONLY-code-signing.p12 TEST-ONLY-password.txt TEST-ONLY-tsa.key
    echo "$recipe_version" > .recipe-version
}

make_folder_once "$dir" complete make_set
