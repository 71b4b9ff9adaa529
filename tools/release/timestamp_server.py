#!/usr/bin/env python3
"""A TEST RFC 3161 time-stamping server on loopback, for the release tests:
answers each POSTed time-stamp request with `openssl ts -reply`, signed by
the test signer's time-stamping certificate.

    timestamp_server.py --signer DIR --port-file FILE [--parent-pid PID]

Listens on 127.0.0.1 at a port the system picks and writes it to FILE. Stops
when the parent process is gone (checked every second) or on SIGTERM.
"""
import argparse
import http.server
import os
import subprocess
import tempfile
import threading
import time

CONFIG = """\
[tsa]
default_tsa = test_tsa
[test_tsa]
serial = {serial}
crypto_device = builtin
signer_cert = {signer}/TEST-ONLY-tsa.crt
certs = {signer}/TEST-ONLY-tsa.crt
signer_key = {signer}/TEST-ONLY-tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def make_handler(work, config):
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (the name http.server calls)
            length = int(self.headers.get("Content-Length", "0"))
            query = self.rfile.read(length) if 0 < length <= 65536 else b""
            with lock:
                request = os.path.join(work, "request.tsq")
                reply = os.path.join(work, "reply.tsr")
                with open(request, "wb") as f:
                    f.write(query)
                done = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", request,
                                       "-out", reply], capture_output=True)
                body = open(reply, "rb").read() if done.returncode == 0 else b""
            if not body:
                self.send_error(400, "not a time-stamp request")
                return
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signer", required=True, help="folder made by make_test_signer.sh")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--parent-pid", type=int)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="pelorin-tsa.") as work:
        config = os.path.join(work, "tsa.cnf")
        serial = os.path.join(work, "serial")
        with open(serial, "w") as f:
            f.write("01\n")
        with open(config, "w") as f:
            f.write(CONFIG.format(serial=serial, signer=os.path.abspath(args.signer)))
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(work, config))
        with open(args.port_file + ".new", "w") as f:
            f.write(f"{server.server_address[1]}\n")
        os.replace(args.port_file + ".new", args.port_file)
        if args.parent_pid:
            def watch():
                while True:
                    time.sleep(1)
                    try:
                        os.kill(args.parent_pid, 0)
                    except OSError:
                        server.shutdown()
                        return
            threading.Thread(target=watch, daemon=True).start()
        try:
            server.serve_forever()
        finally:
            server.server_close()


if __name__ == "__main__":
    main()
