#!/usr/bin/env python3
"""The local release server of the tests and the demo.

HTTPS on 127.0.0.1 with a certificate of the test CA (tools/test_ca). It serves
a release archive at the download path and, when a test asks for it, answers
that path the wrong way so that the downloader's handling of each fault can be
tested against a real WinHTTP client.

    server.py --cert server.crt --key server.key --archive ARCHIVE
              --port-file FILE [--port PORT] [--bodies DIR] [--parent-pid PID]
              [--lifetime SECONDS] [--stall-cap SECONDS] [--verbose]

The port (chosen by the system unless --port is given) is written to
--port-file once the server listens. The server stops by itself when the process --parent-pid is gone or
after --lifetime seconds.

Control requests (on the same server; every answer is 200 "ok" or JSON, or 400
with the reason):

    GET /control?mode=MODE[&body=NAME][&bytes=N][&offset=N][&extra=N][&hold=S]
        Sets how the following download requests are answered, until the next
        control request (missing parameters take their defaults, so
        "/control?mode=normal" resets everything), and clears the request log.
        body:   a file under --bodies, by its relative name; default: --archive
        bytes:  body bytes sent before "truncate" closes and "stall" stalls
                (default: half the body)
        offset: the byte "corrupt-byte" changes (default: the middle one)
        extra:  bytes "extra-bytes" sends beyond the body (default 65536)
        hold:   seconds "stall" holds the connection (default --stall-cap)
    GET /control/last-request   the last download request, as JSON (null if none):
                                method, path, version, request_line, headers
                                ([name, value] pairs in order), head (the request
                                line and header lines exactly as received),
                                tls_version, index (counts from 1 since start)
    GET /control/last-request?format=head
                                just its head, as received (empty if none)
    GET /control/requests       every download request since the last control
                                request, as a JSON list
    GET /control/modes          the modes and what they send, as JSON

Control requests are not recorded.
Every other request is a download request and is recorded (request line,
headers in the order received, TLS version). The archive is served at
DOWNLOAD_PATH and, always normally, at REDIRECT_TARGET_PATH (where the
redirect modes point, so a client that follows a redirect would succeed);
other paths get 404. The modes of the download path are listed in MODES.
"""

import argparse
import json
import os
import select
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DOWNLOAD_PATH = "/downloads/windows/0.5.0/Pelorin-Windows-0.5.0-win-x64.zip"
REDIRECT_TARGET_PATH = "/downloads/windows/0.5.0/moved/Pelorin-Windows-0.5.0-win-x64.zip"

MODES = {
    "normal": "200 with the exact Content-Length and the body",
    "redirect-301": "301 with a Location on this server",
    "redirect-302": "302 likewise",
    "redirect-303": "303 likewise",
    "redirect-307": "307 likewise",
    "redirect-308": "308 likewise",
    "status-404": "404 with a short text body",
    "status-500": "500 with a short text body",
    "status-503": "503 with a short text body",
    "chunked": "200, Transfer-Encoding: chunked, no Content-Length",
    "no-length": "200, no Content-Length; the body ends when the connection closes",
    "length-short": "200, Content-Length one less than the body; that many bytes are sent",
    "length-long": "200, Content-Length one more than the body; the body, then close",
    "length-suffix": "200, Content-Length of the body's length plus 'x' ('123x'); the body, then close",
    "length-text": "200, Content-Length 'unknown'; the body, then close",
    "extra-bytes": "200, exact Content-Length, then 'extra' more bytes on the same connection, then close",
    "corrupt-byte": "200, exact Content-Length, the byte at 'offset' inverted",
    "truncate": "200, exact Content-Length, 'bytes' bytes of the body, then close",
    "stall": "200, exact Content-Length, 'bytes' bytes, then nothing for 'hold' seconds "
             "or until the client goes away; then close",
}

SEND_BLOCK = 256 * 1024
DEFAULT_EXTRA = 65536


class Settings:
    """What the next download requests get; replaced as a whole by /control."""

    def __init__(self, mode="normal", body_name=None, body=b"", prefix=None,
                 offset=None, extra=DEFAULT_EXTRA, hold=None):
        self.mode = mode
        self.body_name = body_name
        self.body = body
        self.prefix = prefix
        self.offset = offset
        self.extra = extra
        self.hold = hold

    def describe(self):
        return {"mode": self.mode, "body": self.body_name, "body_length": len(self.body),
                "bytes": self.prefix, "offset": self.offset, "extra": self.extra,
                "hold": self.hold}


class ControlError(Exception):
    pass


class ReleaseServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True  # a fixed port is free again at once; never shared on Linux

    def __init__(self, args, tls):
        super().__init__(("127.0.0.1", args.port), Handler)
        self.tls = tls
        self.verbose = args.verbose
        self.stall_cap = args.stall_cap
        self.bodies_dir = os.path.realpath(args.bodies) if args.bodies else None
        self.archive_name = os.path.basename(args.archive)
        with open(args.archive, "rb") as f:
            self.archive = f.read()
        self.body_cache = {}
        self.lock = threading.Lock()
        self.settings = Settings(body_name=self.archive_name, body=self.archive)
        self.requests = []
        self.request_count = 0
        self.stopping = threading.Event()

    def server_bind(self):
        # No name lookup of the address (HTTPServer's would ask the resolver).
        if self.allow_reuse_address:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.socket.bind(self.server_address)
        self.server_address = self.socket.getsockname()
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        # A client that goes away mid-answer is part of the tests, not an error.
        if self.verbose:
            super().handle_error(request, client_address)

    def body_named(self, name):
        if not name:
            return self.archive_name, self.archive
        if self.bodies_dir is None:
            raise ControlError("no bodies folder was given to the server")
        path = os.path.realpath(os.path.join(self.bodies_dir, name))
        if os.path.isabs(name) or os.path.commonpath([path, self.bodies_dir]) != self.bodies_dir:
            raise ControlError(f"body name outside the bodies folder: {name}")
        with self.lock:
            if name in self.body_cache:
                return name, self.body_cache[name]
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise ControlError(f"cannot read body {name}: {e.strerror}") from None
        with self.lock:
            self.body_cache[name] = data
        return name, data

    def configure(self, query):
        params = urllib.parse.parse_qs(query, keep_blank_values=True, strict_parsing=False)
        known = {"mode", "body", "bytes", "offset", "extra", "hold"}
        unknown = set(params) - known
        if unknown:
            raise ControlError("unknown parameter: " + ", ".join(sorted(unknown)))
        one = {k: v[-1] for k, v in params.items()}
        mode = one.get("mode", "normal")
        if mode not in MODES:
            raise ControlError(f"unknown mode: {mode}")
        name, body = self.body_named(one.get("body"))

        def number(key, low, high):
            if key not in one:
                return None
            text = one[key]
            if not text.isdigit() or not low <= int(text) <= high:
                raise ControlError(f"{key} must be a number from {low} to {high}")
            return int(text)

        settings = Settings(mode=mode, body_name=name, body=body,
                            prefix=number("bytes", 0, len(body)),
                            offset=number("offset", 0, max(len(body) - 1, 0)),
                            hold=number("hold", 0, 3600))
        extra = number("extra", 1, 64 << 20)
        if extra is not None:
            settings.extra = extra
        if mode == "corrupt-byte" and not body:
            raise ControlError("corrupt-byte needs a body of at least one byte")
        with self.lock:
            self.settings = settings
            self.requests = []
        return settings

    def record(self, entry):
        with self.lock:
            self.request_count += 1
            entry["index"] = self.request_count
            self.requests.append(entry)

    def note(self, text):
        if self.verbose:
            sys.stderr.write(f"release-server: {text}\n")


class RecordingReader:
    """Keeps the lines read through readline(), that is, the request head."""

    def __init__(self, raw):
        self.raw = raw
        self.lines = []

    def readline(self, limit=-1):
        line = self.raw.readline(limit)
        self.lines.append(line)
        return line

    def __getattr__(self, name):
        return getattr(self.raw, name)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60  # an idle kept-alive connection, or a TLS handshake that never ends

    def setup(self):
        self.request.settimeout(self.timeout)
        self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()
        self.rfile = RecordingReader(self.rfile)

    def version_string(self):
        return "PelorinReleaseServer/1"

    def handle_one_request(self):
        self.rfile.lines = []
        super().handle_one_request()

    def handle(self):
        try:
            super().handle()
        except OSError:  # includes TLS errors, resets and timeouts
            self.close_connection = True

    def log_message(self, format, *args):
        self.server.note(format % args)

    # --- answers -------------------------------------------------------------

    def send_text(self, status, text, content_type="text/plain; charset=utf-8"):
        self.send_data(status, text.encode("utf-8"), content_type)

    def send_data(self, status, data, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def send_json(self, value):
        self.send_text(200, json.dumps(value) + "\n", "application/json")

    def send_bytes(self, data):
        view = memoryview(data)
        for start in range(0, len(view), SEND_BLOCK):
            if self.server.stopping.is_set():
                raise ConnectionAbortedError("the server is stopping")
            self.wfile.write(view[start:start + SEND_BLOCK])

    def start_body(self, content_length, chunked=False):
        self.send_response(200)
        self.send_header("Content-Type", "application/zip")
        if content_length is not None:
            self.send_header("Content-Length", content_length)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()

    def close_after(self):
        self.send_header("Connection", "close")
        self.close_connection = True

    # --- requests ------------------------------------------------------------

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/control":
            try:
                settings = self.server.configure(url.query)
            except ControlError as e:
                self.send_text(400, f"{e}\n")
                return
            self.log_message("control: %s", settings.describe())
            self.send_text(200, "ok\n")
        elif url.path == "/control/last-request":
            with self.server.lock:
                last = self.server.requests[-1] if self.server.requests else None
            if url.query == "format=head":
                head = last["head"].encode("latin-1") if last else b""
                self.send_data(200, head, "text/plain; charset=iso-8859-1")
            else:
                self.send_json(last)
        elif url.path == "/control/requests":
            with self.server.lock:
                log = list(self.server.requests)
            self.send_json(log)
        elif url.path == "/control/modes":
            self.send_json(MODES)
        else:
            self.download()

    def do_other(self):
        self.download()

    do_HEAD = do_POST = do_PUT = do_DELETE = do_OPTIONS = do_PATCH = do_other

    def download(self):
        self.server.record({
            "method": self.command,
            "path": self.path,
            "version": self.request_version,
            "request_line": self.requestline,
            "headers": [[name, value] for name, value in self.headers.items()],
            "head": b"".join(self.rfile.lines).decode("latin-1"),
            "tls_version": self.request.version(),
        })
        # A request body is never expected; drop one so the connection stays in step.
        length = self.headers.get("Content-Length", "0")
        if length.isdigit() and int(length) > 0:
            self.rfile.read(int(length))
        with self.server.lock:
            settings = self.server.settings
        if self.command != "GET":
            self.close_connection = True
            self.send_text(405, "only GET\n")
        elif self.path == REDIRECT_TARGET_PATH:
            self.answer(Settings(body_name=settings.body_name, body=settings.body))
        elif self.path == DOWNLOAD_PATH:
            self.answer(settings)
        else:
            self.send_text(404, "not found\n")

    def answer(self, s):
        body = s.body
        size = len(body)
        prefix = size // 2 if s.prefix is None else s.prefix
        mode = s.mode
        if mode == "normal":
            self.start_body(str(size))
            self.send_bytes(body)
        elif mode.startswith("redirect-"):
            host = self.headers.get("Host") or "127.0.0.1:%d" % self.server.server_address[1]
            self.send_response(int(mode.split("-")[1]))
            self.send_header("Location", f"https://{host}{REDIRECT_TARGET_PATH}")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif mode.startswith("status-"):
            self.send_text(int(mode.split("-")[1]), "the release server was told to fail\n")
        elif mode == "chunked":
            self.start_body(None, chunked=True)
            for start in range(0, size, SEND_BLOCK):
                piece = body[start:start + SEND_BLOCK]
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
        elif mode == "length-short":
            self.start_body(str(size - 1) if size else "0")
            self.send_bytes(body[:max(size - 1, 0)])
        elif mode in ("no-length", "length-long", "length-suffix", "length-text"):
            value = {"no-length": None, "length-long": str(size + 1),
                     "length-suffix": f"{size}x", "length-text": "unknown"}[mode]
            self.send_response(200)
            self.send_header("Content-Type", "application/zip")
            if value is not None:
                self.send_header("Content-Length", value)
            self.close_after()
            self.end_headers()
            self.send_bytes(body)
        elif mode == "extra-bytes":
            self.start_body(str(size))
            self.send_bytes(body + bytes((i * 7 + 1) & 0xFF for i in range(s.extra)))
            self.close_connection = True
        elif mode == "corrupt-byte":
            changed = bytearray(body)
            offset = size // 2 if s.offset is None else s.offset
            changed[offset] ^= 0xFF
            self.start_body(str(size))
            self.send_bytes(changed)
        elif mode == "truncate":
            self.start_body(str(size))
            self.send_bytes(body[:prefix])
            self.close_connection = True
        elif mode == "stall":
            self.start_body(str(size))
            self.send_bytes(body[:prefix])
            self.wfile.flush()
            self.hold(self.server.stall_cap if s.hold is None else s.hold)
            self.close_connection = True
        else:  # configure() admits only known modes
            raise AssertionError(mode)

    def hold(self, seconds):
        """Sends nothing until the client closes, the time is up or the server stops."""
        deadline = time.monotonic() + seconds
        raw = self.request
        while not self.server.stopping.is_set():
            left = deadline - time.monotonic()
            if left <= 0:
                return
            readable, _, _ = select.select([raw], [], [], min(left, 0.5))
            if readable:
                try:
                    if not raw.recv(4096):
                        return  # the client closed its side
                except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
                    continue
                except OSError:
                    return


def parent_gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (OSError, IndexError):
        return False


def watch(server, parent_pid, lifetime):
    end = time.monotonic() + lifetime
    while not server.stopping.is_set():
        if time.monotonic() >= end:
            server.note("stopping: lifetime over")
            break
        if parent_pid and parent_gone(parent_pid):
            server.note("stopping: parent process gone")
            break
        time.sleep(0.2)
    server.stopping.set()
    server.shutdown()


def main(argv=None):
    parser = argparse.ArgumentParser(description="HTTPS release server for the tests, on 127.0.0.1.")
    parser.add_argument("--cert", required=True, help="server certificate (PEM)")
    parser.add_argument("--key", required=True, help="server private key (PEM)")
    parser.add_argument("--archive", required=True, help="the body served by default")
    parser.add_argument("--bodies", help="folder of other bodies a test may select by name")
    parser.add_argument("--port", type=int, default=0, help="port to listen on; 0 (default): one the system picks")
    parser.add_argument("--port-file", required=True, help="file to write the port into once listening")
    parser.add_argument("--parent-pid", type=int, default=0, help="stop when this process is gone")
    parser.add_argument("--lifetime", type=float, default=3 * 3600, help="stop after this many seconds")
    parser.add_argument("--stall-cap", type=float, default=180,
                        help="longest time a stalled answer holds its connection, in seconds")
    parser.add_argument("--verbose", action="store_true", help="log every request to standard error")
    args = parser.parse_args(argv)

    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.minimum_version = ssl.TLSVersion.TLSv1_2
    tls.load_cert_chain(args.cert, args.key)

    server = ReleaseServer(args, tls)
    port = server.server_address[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(f"{port}\n")
    os.replace(tmp, args.port_file)
    server.note(f"listening on 127.0.0.1:{port}")

    threading.Thread(target=watch, args=(server, args.parent_pid, args.lifetime), daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
