# The test CA and the local release server, for the test harness and the demo;
# sourced after common.sh, not run. See tools/release_server/server.py for the
# server's control requests.
# shellcheck shell=bash

PELORIN_TEST_CA=$PELORIN_CACHE/test-ca

# Makes the test CA and the server certificate once per machine (again when
# missing, expiring or from an older recipe).
server_setup_ca() {
    "$PELORIN_ROOT/tools/test_ca/make_test_ca.sh" "$PELORIN_TEST_CA" \
        || die "cannot make the test CA in $PELORIN_TEST_CA"
}

# server_trust_ca ADD_ROOT_CERT_EXE: adds the test CA to the current user's
# ROOT store of the throwaway prefix in $WINEPREFIX.
server_trust_ca() {
    local exe=${1:?usage: server_trust_ca ADD_ROOT_CERT_EXE}
    local der=$PELORIN_TEST_CA/ca.der
    [ -f "$der" ] || die "no test CA; call server_setup_ca first"
    "$PELORIN_ROOT/tools/wine-run.sh" "$exe" "Z:${der//\//\\}" </dev/null >/dev/null \
        || die "cannot add the test CA to the ROOT store of $WINEPREFIX"
}

# server_start ARCHIVE [BODIES_DIR [PORT]]: starts the release server in the
# background serving ARCHIVE (a test may select other files under BODIES_DIR),
# on PORT or one the system picks, and exports PELORIN_SERVER_PORT and
# PELORIN_SERVER_PID once it listens. The server stops by itself when this
# shell is gone.
server_start() {
    local archive=${1:?usage: server_start ARCHIVE [BODIES_DIR [PORT]]} bodies=${2:-} port=${3:-0}
    [ -f "$PELORIN_TEST_CA/server.crt" ] || die "no test CA; call server_setup_ca first"
    server_stop
    PELORIN_SERVER_DIR=$(mktemp -d "${TMPDIR:-/tmp}/pelorin-server.XXXXXX")
    python3 "$PELORIN_ROOT/tools/release_server/server.py" \
        --cert "$PELORIN_TEST_CA/server.crt" --key "$PELORIN_TEST_CA/server.key" \
        --archive "$archive" ${bodies:+--bodies "$bodies"} \
        --port "$port" --port-file "$PELORIN_SERVER_DIR/port" --parent-pid $$ \
        </dev/null >"$PELORIN_SERVER_DIR/log" 2>&1 &
    PELORIN_SERVER_PID=$!
    for _ in $(seq 1 100); do
        [ -s "$PELORIN_SERVER_DIR/port" ] && break
        kill -0 "$PELORIN_SERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$PELORIN_SERVER_DIR/port" ]; then
        cat "$PELORIN_SERVER_DIR/log" >&2
        server_stop
        die "the release server did not start"
    fi
    PELORIN_SERVER_PORT=$(cat "$PELORIN_SERVER_DIR/port")
    export PELORIN_SERVER_PORT PELORIN_SERVER_PID
    note "release server on 127.0.0.1:$PELORIN_SERVER_PORT"
}

server_stop() {
    if [ -n "${PELORIN_SERVER_PID:-}" ]; then
        kill "$PELORIN_SERVER_PID" 2>/dev/null || true
        wait "$PELORIN_SERVER_PID" 2>/dev/null || true
    fi
    if [ -n "${PELORIN_SERVER_DIR:-}" ]; then
        rm -rf "$PELORIN_SERVER_DIR"
    fi
    unset PELORIN_SERVER_PID PELORIN_SERVER_PORT PELORIN_SERVER_DIR
}
