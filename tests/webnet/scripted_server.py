#!/usr/bin/env python3
"""A small HTTP test server with scripted answers, for the webnet tests.

Listens on 127.0.0.1 on a free port, writes the port to DIR/port, and stores every request it
receives byte for byte as DIR/req-N.bin (N counts from 1, in arrival order). Answers by path:

  /ok                     200, body "hello"
  /status/CODE            that status, body "body-CODE"
  /chain/N                302 to /chain/N-1 (N > 0); /chain/0 is 200 "end"
  /perm/N                 the same with 301
  /redirect?LOCATION      302 to LOCATION
  /see-other              303 to /ok
  /auth/USER/PASS/...     401 (Basic realm="R") unless the Authorization header carries
                          USER:PASS, then 200 "secret"
  /raw/NAME               the bytes of DIR/raw/NAME, then close
  /silent                 reads the request and never answers
  /stall                  sends the status line and headers, then nothing
  /echo                   200 with the request as body
  /big/N                  200 with N bytes
  /slow/N                 200, then N bytes one per 50 ms
  /trickle/N              200 announcing N + 100 bytes, N bytes one per 50 ms, then nothing
Anything else: 404.
"""
import base64
import os
import socket
import socketserver
import sys
import threading
import time

DIR = sys.argv[1]
counter_lock = threading.Lock()
counter = [0]


def store(raw):
    with counter_lock:
        counter[0] += 1
        n = counter[0]
    path = os.path.join(DIR, "req-%d.bin" % n)
    with open(path + ".tmp", "wb") as f:
        f.write(raw)
    os.rename(path + ".tmp", path)


def read_request(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                length = int(value.strip())
            except ValueError:
                length = 0
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def response(status, reason, body=b"", headers=()):
    lines = ["HTTP/1.0 %d %s" % (status, reason)]
    lines += ["%s: %s" % h for h in headers]
    lines.append("Content-Length: %d" % len(body))
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


REASONS = {200: "OK", 201: "Created", 204: "No Content", 301: "Moved Permanently",
           302: "Found", 303: "See Other", 304: "Not Modified", 400: "Bad Request",
           401: "Unauthorized", 403: "Forbidden", 404: "Not Found", 500: "Internal Server Error",
           503: "Service Unavailable"}


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        raw = read_request(sock)
        if not raw:
            return
        store(raw)
        line = raw.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split(" ")
        target = parts[1] if len(parts) > 1 else "/"
        if target.startswith("http://"):
            target = "/" + target.split("/", 3)[3] if target.count("/") >= 3 else "/"
        headers = {}
        for h in raw.split(b"\r\n\r\n", 1)[0].split(b"\r\n")[1:]:
            name, _, value = h.decode("latin-1").partition(":")
            headers[name.strip().lower()] = value.strip()
        try:
            self.answer(sock, target, headers, raw)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def answer(self, sock, target, headers, raw):
        path, _, query = target.partition("?")
        seg = path.split("/")
        if path == "/ok":
            sock.sendall(response(200, "OK", b"hello", [("Content-Type", "text/html")]))
        elif path.startswith("/status/"):
            code = int(seg[2])
            body = b"" if code in (204, 304) else b"body-%d" % code
            sock.sendall(response(code, REASONS.get(code, "Whatever"), body))
        elif path.startswith("/chain/") or path.startswith("/perm/"):
            n = int(seg[2])
            if n > 0:
                code = 302 if seg[1] == "chain" else 301
                sock.sendall(response(code, REASONS[code], b"moved",
                                      [("Location", "/%s/%d" % (seg[1], n - 1))]))
            else:
                sock.sendall(response(200, "OK", b"end"))
        elif path == "/redirect":
            sock.sendall(response(302, "Found", b"", [("Location", query)]))
        elif path == "/see-other":
            sock.sendall(response(303, "See Other", b"", [("Location", "/ok")]))
        elif path.startswith("/auth/"):
            want = "Basic " + base64.b64encode(("%s:%s" % (seg[2], seg[3])).encode()).decode()
            if headers.get("authorization") == want:
                sock.sendall(response(200, "OK", b"secret"))
            else:
                sock.sendall(response(401, "Unauthorized", b"denied",
                                      [("WWW-Authenticate", 'Basic realm="R"')]))
        elif path.startswith("/raw/"):
            with open(os.path.join(DIR, "raw", seg[2]), "rb") as f:
                sock.sendall(f.read())
        elif path == "/silent":
            self.hold(sock)
        elif path == "/stall":
            sock.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nabc")
            self.hold(sock)
        elif path == "/echo":
            sock.sendall(response(200, "OK", raw))
        elif path.startswith("/big/"):
            n = int(seg[2])
            sock.sendall(response(200, "OK", b"x" * n))
        elif path.startswith("/trickle/"):
            n = int(seg[2])
            sock.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % (n + 100))
            for _ in range(n):
                time.sleep(0.05)
                sock.sendall(b"t")
            self.hold(sock)
        elif path.startswith("/slow/"):
            n = int(seg[2])
            sock.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % n)
            for _ in range(n):
                time.sleep(0.05)
                sock.sendall(b"s")
        else:
            sock.sendall(response(404, "Not Found", b"missing"))

    @staticmethod
    def hold(sock):
        # Keeps the connection open without a word until the client goes (at most 60 s).
        sock.settimeout(60)
        try:
            while sock.recv(4096):
                pass
        except (socket.timeout, OSError):
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    request_queue_size = 128
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    port = server.server_address[1]
    with open(os.path.join(DIR, "port.tmp"), "w") as f:
        f.write(str(port))
    os.rename(os.path.join(DIR, "port.tmp"), os.path.join(DIR, "port"))
    server.serve_forever()


if __name__ == "__main__":
    main()
