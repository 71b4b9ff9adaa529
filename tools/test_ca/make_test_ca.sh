#!/usr/bin/env bash
# Makes the test certificate authority and the loopback server certificate the
# release server uses, once: does nothing while a complete, valid set exists.
#   tools/test_ca/make_test_ca.sh DIR
# DIR then holds ca.crt (PEM) and ca.der, the CA's key ca.key, and
# server.crt / server.key for "localhost" and 127.0.0.1, signed by that CA.
# RSA 2048, SHA-256, valid for ten years; remade when anything is missing,
# expires within 30 days, no longer verifies, or the recipe version changes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

recipe_version=1
days=3650
dir=${1:?usage: make_test_ca.sh DIR}

complete() { # folder
    local d=$1
    holds_recipe "$d" "$recipe_version" ca.crt ca.der ca.key server.crt server.key || return 1
    openssl x509 -in "$d/ca.crt" -noout -checkend 2592000 >/dev/null 2>&1 || return 1
    openssl x509 -in "$d/server.crt" -noout -checkend 2592000 >/dev/null 2>&1 || return 1
    openssl verify -CAfile "$d/ca.crt" -purpose sslserver "$d/server.crt" >/dev/null 2>&1 || return 1
    # The key must belong to the certificate.
    [ "$(openssl x509 -in "$d/server.crt" -noout -pubkey)" = "$(openssl pkey -in "$d/server.key" -pubout)" ]
}

make_set() { # in the fresh folder
    cat > ca.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca_ext
[dn]
CN = Pelorin Setup Test CA
O = Pelorin Setup tests
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF

    cat > server.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = localhost
O = Pelorin Setup tests
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
# Wine's certificate check compares the host name with the DNS names only, so
# the address is listed as a DNS name as well.
subjectAltName = DNS:localhost, IP:127.0.0.1, DNS:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ca.key
    openssl req -new -x509 -sha256 -days "$days" -key ca.key -config ca.cnf -out ca.crt
    openssl x509 -in ca.crt -outform DER -out ca.der
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out server.key
    openssl req -new -sha256 -key server.key -config server.cnf -out server.csr
    openssl x509 -req -sha256 -days "$days" -in server.csr -CA ca.crt -CAkey ca.key \
        -set_serial "0x$(openssl rand -hex 16)" -extfile server.cnf -extensions server_ext -out server.crt
    rm -f server.csr ca.cnf server.cnf
    chmod 600 ca.key server.key
    echo "$recipe_version" > .recipe-version
}

make_folder_once "$dir" complete make_set
