#!/usr/bin/env python3
"""Tests of the release server and of the test CA script: what each fault mode
puts on the wire, the control requests and the request record, and that the
server stops by itself.

    python3 -m unittest -v test_server      (from this folder)

The server runs as a subprocess with a CA made for this run in a temporary
folder; the bytes are read from raw TLS sockets, so nothing is smoothed over
by an HTTP client library.
"""

import json
import os
import random
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_CA = os.path.join(HERE, "..", "test_ca", "make_test_ca.sh")
SERVER = os.path.join(HERE, "server.py")
sys.path.insert(0, HERE)

import server as release_server  # noqa: E402

DOWNLOAD = release_server.DOWNLOAD_PATH
MOVED = release_server.REDIRECT_TARGET_PATH
BODY = random.Random(5).randbytes(600_001)  # more than two send blocks, odd length
N = len(BODY)
OTHER = b"another body\n"
NESTED = random.Random(7).randbytes(1000)

state = {}


def make_ca(folder):
    subprocess.run([MAKE_CA, folder], check=True, stdout=subprocess.DEVNULL)


def start_server(extra_args=(), parent_pid=None):
    tmp = state["tmp"]
    port_file = tempfile.mktemp(dir=tmp, suffix=".port")
    ca = state["ca"]
    process = subprocess.Popen(
        [sys.executable, SERVER, "--cert", os.path.join(ca, "server.crt"), "--key", os.path.join(ca, "server.key"),
         "--archive", state["archive"], "--bodies", state["bodies"], "--port-file", port_file,
         "--parent-pid", str(parent_pid or os.getpid()), *extra_args],
        stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not os.path.exists(port_file):
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            raise RuntimeError("the release server did not start")
        time.sleep(0.05)
    with open(port_file) as f:
        return process, int(f.read())


def setUpModule():
    tmp = tempfile.mkdtemp(prefix="release-server-test.")
    state["tmp"] = tmp
    state["ca"] = os.path.join(tmp, "ca")
    make_ca(state["ca"])
    state["archive"] = os.path.join(tmp, "Pelorin-Windows-0.5.0-win-x64.zip")
    with open(state["archive"], "wb") as f:
        f.write(BODY)
    state["bodies"] = os.path.join(tmp, "bodies")
    os.makedirs(os.path.join(state["bodies"], "sub"))
    with open(os.path.join(state["bodies"], "other.bin"), "wb") as f:
        f.write(OTHER)
    with open(os.path.join(state["bodies"], "sub", "nested.bin"), "wb") as f:
        f.write(NESTED)
    with open(os.path.join(tmp, "outside.bin"), "wb") as f:
        f.write(b"not to be served")
    state["server"], state["port"] = start_server()
    state["tls"] = ssl.create_default_context(cafile=os.path.join(state["ca"], "ca.crt"))


def tearDownModule():
    process = state.get("server")
    if process is not None:
        process.kill()
        process.wait()
    shutil.rmtree(state["tmp"], ignore_errors=True)


class Wire:
    """One TLS connection to the server, read byte for byte."""

    def __init__(self, host="localhost", port=None):
        self.port = port or state["port"]
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.sock = state["tls"].wrap_socket(raw, server_hostname=host)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, path, method="GET", headers=None):
        lines = [f"{method} {path} HTTP/1.1", f"Host: localhost:{self.port}"]
        lines += [f"{name}: {value}" for name, value in (headers or [])]
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))

    def _more(self):
        data = self.sock.recv(65536)
        self.buffer += data
        return bool(data)

    def head(self):
        while b"\r\n\r\n" not in self.buffer:
            if not self._more():
                raise EOFError("the connection closed inside the head")
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        version, status = lines[0].split(" ")[:2]
        assert version == "HTTP/1.1", lines[0]
        headers = [tuple(line.split(": ", 1)) for line in lines[1:]]
        return int(status), headers

    def exact(self, count):
        while len(self.buffer) < count:
            if not self._more():
                raise EOFError("the connection closed early")
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def to_eof(self):
        try:
            while self._more():
                pass
        except (ssl.SSLEOFError, ConnectionResetError):
            pass  # a close without TLS close_notify still ends the stream
        data, self.buffer = self.buffer, b""
        return data

    def line(self):
        while b"\r\n" not in self.buffer:
            if not self._more():
                raise EOFError("the connection closed inside a chunk header")
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def chunked(self):
        body = b""
        while True:
            size = int(self.line(), 16)
            body += self.exact(size)
            assert self.exact(2) == b"\r\n"
            if size == 0:
                return body

    def get(self, path, **kwargs):
        self.send(path, **kwargs)
        status, headers = self.head()
        body = self.exact(int(header(headers, "Content-Length")))
        return status, headers, body


def header(headers, name):
    values = [v for k, v in headers if k.lower() == name.lower()]
    return values[0] if len(values) == 1 else (None if not values else values)


def control(query):
    with Wire() as w:
        status, _, body = w.get("/control" + query)
    return status, body.decode()


def set_mode(query):
    status, text = control(query)
    assert status == 200 and text == "ok\n", (status, text)


def last_request():
    with Wire() as w:
        _, _, body = w.get("/control/last-request")
    return json.loads(body)


def logged_requests():
    with Wire() as w:
        _, _, body = w.get("/control/requests")
    return json.loads(body)


def inverted(data, offset):
    changed = bytearray(data)
    changed[offset] ^= 0xFF
    return bytes(changed)


class FaultModes(unittest.TestCase):
    def tearDown(self):
        set_mode("?mode=normal")

    # query, status, Content-Length header (None: absent), body bytes as sent,
    # whether the server closes the connection after the body.
    CASES = [
        ("mode=normal", 200, str(N), BODY, False),
        ("mode=length-short", 200, str(N - 1), BODY[:-1], False),
        ("mode=length-long", 200, str(N + 1), BODY, True),
        ("mode=length-suffix", 200, f"{N}x", BODY, True),
        ("mode=length-text", 200, "unknown", BODY, True),
        ("mode=no-length", 200, None, BODY, True),
        ("mode=extra-bytes&extra=3000", 200, str(N), None, True),
        ("mode=corrupt-byte", 200, str(N), inverted(BODY, N // 2), False),
        ("mode=corrupt-byte&offset=0", 200, str(N), inverted(BODY, 0), False),
        ("mode=corrupt-byte&offset=600000", 200, str(N), inverted(BODY, N - 1), False),
        ("mode=truncate", 200, str(N), BODY[:N // 2], True),
        ("mode=truncate&bytes=0", 200, str(N), b"", True),
        ("mode=truncate&bytes=70000", 200, str(N), BODY[:70000], True),
        ("mode=stall&bytes=1234&hold=1", 200, str(N), BODY[:1234], True),
        ("mode=status-404", 404, None, None, False),
        ("mode=status-500", 500, None, None, False),
        ("mode=normal&body=other.bin", 200, str(len(OTHER)), OTHER, False),
        ("mode=length-short&body=sub/nested.bin", 200, "999", NESTED[:999], False),
    ]

    def test_what_each_mode_sends(self):
        for query, status, length, body, closes in self.CASES:
            with self.subTest(query):
                set_mode("?" + query)
                with Wire() as w:
                    started = time.monotonic()
                    w.send(DOWNLOAD)
                    got_status, headers = w.head()
                    self.assertEqual(got_status, status)
                    self.assertIsNone(header(headers, "Transfer-Encoding"))
                    if status != 200:
                        self.assertGreater(int(header(headers, "Content-Length")), 0)
                        w.exact(int(header(headers, "Content-Length")))
                        continue
                    self.assertEqual(header(headers, "Content-Length"), length)
                    if closes:
                        got = w.to_eof()
                    else:
                        got = w.exact(int(length))
                    if body is None:  # extra-bytes: the body, then more on the same connection
                        self.assertEqual(len(got), N + 3000)
                        self.assertEqual(got[:N], BODY)
                    else:
                        self.assertEqual(len(got), len(body))
                        self.assertTrue(got == body, "the body differs")
                    if "stall" in query:
                        self.assertGreaterEqual(time.monotonic() - started, 1.0)
                    if not closes:
                        # Nothing beyond the body: the next answer on this
                        # connection starts right after it.
                        self.assertEqual(w.get("/control/last-request")[0], 200)

    def test_redirects_point_at_a_copy_on_this_server(self):
        for code in (301, 302, 303, 307, 308):
            with self.subTest(code):
                set_mode(f"?mode=redirect-{code}")
                with Wire() as w:
                    status, headers, _ = w.get(DOWNLOAD)
                    self.assertEqual(status, code)
                    self.assertEqual(header(headers, "Location"), f"https://localhost:{state['port']}{MOVED}")
                    # A client that followed it would get the whole archive.
                    status, _, body = w.get(MOVED)
                    self.assertEqual((status, body == BODY), (200, True))
                self.assertEqual([r["path"] for r in logged_requests()], [DOWNLOAD, MOVED])

    def test_chunked_body_without_length(self):
        set_mode("?mode=chunked")
        with Wire() as w:
            w.send(DOWNLOAD)
            status, headers = w.head()
            self.assertEqual(status, 200)
            self.assertEqual(header(headers, "Transfer-Encoding"), "chunked")
            self.assertIsNone(header(headers, "Content-Length"))
            self.assertTrue(w.chunked() == BODY)
            self.assertEqual(w.get("/control/last-request")[0], 200)

    def test_a_mode_holds_until_changed(self):
        set_mode("?mode=length-short&body=other.bin")
        for _ in range(2):
            with Wire() as w:
                status, headers, body = w.get(DOWNLOAD)
            self.assertEqual((status, body), (200, OTHER[:-1]))
        set_mode("?mode=normal")
        with Wire() as w:
            self.assertTrue(w.get(DOWNLOAD)[2] == BODY)

    def test_other_paths_and_methods(self):
        with Wire() as w:
            self.assertEqual(w.get(DOWNLOAD + "x")[0], 404)
            self.assertEqual(w.get("/")[0], 404)
        with Wire() as w:
            self.assertEqual(w.get(DOWNLOAD, method="DELETE")[0], 405)
        self.assertEqual([(r["method"], r["path"]) for r in logged_requests()][-3:],
                         [("GET", DOWNLOAD + "x"), ("GET", "/"), ("DELETE", DOWNLOAD)])


class StallAndDisconnects(unittest.TestCase):
    def tearDown(self):
        set_mode("?mode=normal")

    def test_server_keeps_serving_while_a_body_stalls(self):
        set_mode("?mode=stall&bytes=100&hold=60")
        stalled = Wire()
        try:
            stalled.send(DOWNLOAD)
            stalled.head()
            self.assertEqual(stalled.exact(100), BODY[:100])
            stalled.sock.settimeout(0.5)
            with self.assertRaises(socket.timeout):
                stalled.exact(101)
            set_mode("?mode=normal")
            with Wire() as w:
                self.assertTrue(w.get(DOWNLOAD)[2] == BODY)
        finally:
            stalled.close()

    def test_a_silent_client_holds_up_no_one(self):
        silent = socket.create_connection(("127.0.0.1", state["port"]), timeout=10)
        try:
            with Wire() as w:
                self.assertEqual(w.get("/control/modes")[0], 200)
        finally:
            silent.close()

    def test_clients_that_leave_mid_body(self):
        for query in ("mode=normal", "mode=chunked", "mode=extra-bytes", "mode=stall&hold=60"):
            with self.subTest(query):
                set_mode("?" + query)
                for abort in (True, False):
                    w = Wire()
                    w.send(DOWNLOAD)
                    w.head()
                    w.exact(10)
                    if abort:  # a reset instead of an orderly close
                        w.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    w.close()
        set_mode("?mode=normal")
        with Wire() as w:
            self.assertTrue(w.get(DOWNLOAD)[2] == BODY)
        self.assertIsNone(state["server"].poll())


class ControlRequests(unittest.TestCase):
    def tearDown(self):
        set_mode("?mode=normal")

    def test_rejected_settings(self):
        for query in ("?mode=bogus", "?mode=", "?mode=normal&colour=red", "?body=missing.bin",
                      "?body=../outside.bin", "?body=" + os.path.join(state["tmp"], "outside.bin"),
                      "?body=sub/../../outside.bin", "?mode=truncate&bytes=600002",
                      "?mode=truncate&bytes=-1", "?mode=stall&hold=x", "?mode=corrupt-byte&offset=600001",
                      "?mode=extra-bytes&extra=0"):
            with self.subTest(query):
                status, text = control(query)
                self.assertEqual(status, 400)
                self.assertTrue(text.strip())

    def test_a_rejected_setting_keeps_the_current_one(self):
        set_mode("?mode=length-short")
        self.assertEqual(control("?mode=bogus")[0], 400)
        with Wire() as w:
            self.assertEqual(header(w.get(DOWNLOAD)[1], "Content-Length"), str(N - 1))

    def test_the_record_of_a_request(self):
        set_mode("?mode=status-404")
        self.assertIsNone(last_request())
        self.assertEqual(logged_requests(), [])
        sent = [("User-Agent", "Pelorin-Setup/1"), ("Accept-Encoding", "identity"), ("X-Empty", ""),
                ("Connection", "Keep-Alive")]
        with Wire(host="127.0.0.1") as w:
            w.get(DOWNLOAD, headers=sent)
            w.get(MOVED, headers=sent[:1])
        log = logged_requests()
        self.assertEqual([r["path"] for r in log], [DOWNLOAD, MOVED])
        self.assertEqual(log[1]["index"], log[0]["index"] + 1)
        first = log[0]
        self.assertEqual(first["method"], "GET")
        self.assertEqual(first["version"], "HTTP/1.1")
        self.assertEqual(first["request_line"], f"GET {DOWNLOAD} HTTP/1.1")
        self.assertEqual(first["headers"], [["Host", f"localhost:{state['port']}"]] + [list(h) for h in sent])
        self.assertEqual(first["head"], f"GET {DOWNLOAD} HTTP/1.1\r\nHost: localhost:{state['port']}\r\n"
                                        "User-Agent: Pelorin-Setup/1\r\nAccept-Encoding: identity\r\n"
                                        "X-Empty: \r\nConnection: Keep-Alive\r\n\r\n")
        self.assertIn(first["tls_version"], ("TLSv1.2", "TLSv1.3"))
        self.assertEqual(last_request(), log[1])
        with Wire() as w:
            _, headers, head = w.get("/control/last-request?format=head")
        self.assertEqual(head.decode("latin-1"), log[1]["head"])
        # Control requests are not recorded, and a new setting clears the log.
        set_mode("?mode=normal")
        self.assertIsNone(last_request())

    def test_certificate_names(self):
        for host in ("localhost", "127.0.0.1"):
            with self.subTest(host), Wire(host=host) as w:
                self.assertEqual(w.get("/control/modes")[0], 200)
        with self.assertRaises(ssl.SSLCertVerificationError):
            Wire(host="example.invalid")


class SelfStop(unittest.TestCase):
    def test_stops_when_the_parent_is_gone_or_the_time_is_up(self):
        for case in ("parent killed", "parent killed, not reaped", "lifetime"):
            with self.subTest(case):
                parent = subprocess.Popen(["sleep", "60"])
                args = ["--lifetime", "1"] if case == "lifetime" else []
                process, port = start_server(args, parent_pid=parent.pid)
                try:
                    # A stalled answer must not hold the server up.
                    stalled = Wire(port=port)
                    stalled.get("/control?mode=stall&hold=600")
                    stalled.send(DOWNLOAD)
                    stalled.head()
                    if case != "lifetime":
                        time.sleep(0.5)
                        self.assertIsNone(process.poll(), "stopped while the parent lives")
                        parent.send_signal(signal.SIGKILL)
                        if case == "parent killed":
                            parent.wait()
                    started = time.monotonic()
                    process.wait(timeout=5)
                    self.assertLess(time.monotonic() - started, 3)
                    stalled.close()
                finally:
                    process.kill()
                    process.wait()
                    parent.kill()
                    parent.wait()


class TestCa(unittest.TestCase):
    def test_made_once_and_again_when_incomplete(self):
        folder = os.path.join(state["tmp"], "ca-again")
        make_ca(folder)
        files = ("ca.crt", "ca.der", "ca.key", "server.crt", "server.key")

        def contents():
            result = {}
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    result[name] = f.read()
            return result

        first = contents()
        make_ca(folder)
        self.assertEqual(contents(), first)
        os.remove(os.path.join(folder, "server.key"))
        make_ca(folder)
        second = contents()
        self.assertNotEqual(second["server.key"], first["server.key"])
        self.assertNotEqual(second["ca.crt"], first["ca.crt"])
        # ca.der is the same certificate as ca.crt.
        self.assertEqual(ssl.DER_cert_to_PEM_cert(second["ca.der"]).strip(), second["ca.crt"].decode().strip())
        # A server certificate of another CA is not kept.
        other = os.path.join(state["tmp"], "ca-other")
        make_ca(other)
        shutil.copy(os.path.join(other, "server.crt"), os.path.join(folder, "server.crt"))
        shutil.copy(os.path.join(other, "server.key"), os.path.join(folder, "server.key"))
        make_ca(folder)
        self.assertNotEqual(contents()["ca.crt"], second["ca.crt"])
        subprocess.run(["openssl", "verify", "-CAfile", os.path.join(folder, "ca.crt"),
                        os.path.join(folder, "server.crt")], check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    unittest.main()
