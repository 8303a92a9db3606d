#!/usr/bin/python3
"""A small HTTP(S) server whose answers are scripted, for tests that need exact behaviour.

The script (JSON) maps request targets to routes:
  {"routes": {"/repo/a": {"responses": [RESPONSE, ...], "auth": AUTH}},
   "proxy_auth": {"users": {"name": "password"}}}
A request target is looked up as sent (an absolute URI when the server is used as a
proxy), then by its path and query alone. Responses are used in order; the last repeats.
RESPONSE: {"status": 200, "headers": {...}, "body": "text", "close_mid_body": false,
           "close_without_response": false}
  hostile variants: "body_file": path (binary body read from a file), "content_length": N
  (sent instead of the real length; the connection is closed after the body),
  "endless": true (no length, the body repeated until the client goes away),
  "never_answer": true (the request is read, nothing is ever sent),
  "trickle": seconds (the body is sent one byte at a time with that pause),
  "trickle_headers": seconds (the status line and headers are sent that way, then the body).
A route may also hold "fresh": RESPONSE, the answer to requests that carry
"Cache-Control: no-cache" (a cache on the way answers the others from its store).
AUTH: {"type": "basic" | "digest", "realm": "r", "users": {"name": "password"}}
Every request is appended to the log file as one line of tab-separated fields:
connection number, target, user name sent to the server (or "-"), user name sent to the
proxy (or "-"), and the User-Agent, Cache-Control and Pragma headers (or "-").
"""
import argparse
import base64
import errno
import hashlib
import http.server
import itertools
import json
import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse

NONCE = "8f1c2b7e0d3a4c5b9e6f"


class State:
    def __init__(self, script, log_path):
        self.script = script
        self.log_path = log_path
        self.lock = threading.Lock()
        self.counters = {}
        self.conn_ids = itertools.count(1)

    def log(self, entry):
        fields = [str(entry["conn"]), entry["path"], entry.get("user") or "-", entry.get("proxy_user") or "-"]
        for name in ("User-Agent", "Cache-Control", "Pragma"):
            fields.append(entry["headers"].get(name) or "-")
        with self.lock:
            with open(self.log_path, "a") as f:
                f.write("\t".join(f.replace("\t", " ") for f in fields) + "\n")

    def next_response(self, key, responses):
        with self.lock:
            n = self.counters.get(key, 0)
            self.counters[key] = n + 1
        return responses[min(n, len(responses) - 1)]


def parse_digest(value):
    params = {}
    for part in split_params(value):
        if "=" in part:
            k, v = part.split("=", 1)
            params[k.strip().lower()] = v.strip().strip('"')
    return params


def split_params(value):
    parts, cur, quoted = [], "", False
    for ch in value:
        if ch == '"':
            quoted = not quoted
        if ch == "," and not quoted:
            parts.append(cur)
            cur = ""
        else:
            cur += ch
    if cur:
        parts.append(cur)
    return parts


def md5(text):
    return hashlib.md5(text.encode("latin-1")).hexdigest()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        super().setup()
        self.conn_id = next(self.server.state.conn_ids)

    def find_route(self):
        routes = self.server.state.script.get("routes", {})
        if self.path in routes:
            return self.path, routes[self.path]
        parsed = urllib.parse.urlsplit(self.path)
        local = parsed.path + ("?" + parsed.query if parsed.query else "")
        if local in routes:
            return local, routes[local]
        return None, None

    def check_basic(self, header, users):
        if not header or not header.startswith("Basic "):
            return False, None
        try:
            user, _, password = base64.b64decode(header[6:]).decode("latin-1").partition(":")
        except Exception:
            return False, None
        return users.get(user) == password, user

    def check_digest(self, header, auth):
        if not header or not header.startswith("Digest "):
            return False, None
        p = parse_digest(header[7:])
        user = p.get("username")
        password = auth["users"].get(user)
        if password is None or p.get("realm") != auth.get("realm", ""):
            return False, user
        ha1 = md5("%s:%s:%s" % (user, p.get("realm"), password))
        ha2 = md5("%s:%s" % (self.command, p.get("uri")))
        if p.get("qop"):
            expected = md5("%s:%s:%s:%s:%s:%s" % (ha1, p.get("nonce"), p.get("nc"), p.get("cnonce"), p.get("qop"), ha2))
        else:
            expected = md5("%s:%s:%s" % (ha1, p.get("nonce"), ha2))
        return expected == p.get("response"), user

    def send_plain(self, status, body=b"", headers=None):
        self.send_response(status)
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        state = self.server.state
        entry = {"conn": self.conn_id, "method": "GET", "path": self.path,
                 "headers": {k: v for k, v in self.headers.items()}, "user": None}
        proxy_auth = state.script.get("proxy_auth")
        if proxy_auth:
            ok, user = self.check_basic(self.headers.get("Proxy-Authorization"), proxy_auth["users"])
            entry["proxy_user"] = user
            if not ok:
                state.log(entry)
                self.send_plain(407, b"proxy authentication required",
                                {"Proxy-Authenticate": 'Basic realm="proxy"'})
                return
        key, route = self.find_route()
        if route is None:
            state.log(entry)
            self.send_plain(404, b"not found")
            return
        auth = route.get("auth")
        if auth:
            realm = auth.get("realm", "")
            if auth["type"] == "basic":
                ok, user = self.check_basic(self.headers.get("Authorization"), auth["users"])
                challenge = 'Basic realm="%s"' % realm
            else:
                ok, user = self.check_digest(self.headers.get("Authorization"), auth)
                challenge = 'Digest realm="%s", nonce="%s", algorithm=MD5, qop="auth"' % (realm, NONCE)
            entry["user"] = user
            if not ok:
                state.log(entry)
                self.send_plain(401, b"unauthorized", {"WWW-Authenticate": challenge})
                return
        state.log(entry)
        if "fresh" in route and self.headers.get("Cache-Control") == "no-cache":
            response = route["fresh"]
        else:
            response = state.next_response(key, route["responses"])
        if response.get("close_without_response"):
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if response.get("never_answer"):
            self.close_connection = True
            while True:
                time.sleep(1)
        if "body_file" in response:
            with open(response["body_file"], "rb") as f:
                body = f.read()
        else:
            body = response.get("body", "").encode("latin-1")
        if "trickle_headers" in response:
            head = "HTTP/1.1 %d X\r\nContent-Length: %d\r\n" % (response.get("status", 200), len(body))
            head += "".join("%s: %s\r\n" % item for item in response.get("headers", {}).items()) + "\r\n"
            self.close_connection = True
            for i in range(len(head)):
                self.wfile.write(head[i:i + 1].encode("latin-1"))
                self.wfile.flush()
                time.sleep(response["trickle_headers"])
            self.wfile.write(body)
            return
        if response.get("endless"):
            self.send_response(response.get("status", 200))
            for k, v in response.get("headers", {}).items():
                self.send_header(k, v)
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            chunk = (body or b"x") * max(1, 65536 // max(1, len(body)))
            while True:
                self.wfile.write(chunk)
        if "content_length" in response or "trickle" in response:
            self.send_response(response.get("status", 200))
            for k, v in response.get("headers", {}).items():
                self.send_header(k, v)
            self.send_header("Content-Length", str(response.get("content_length", len(body))))
            self.end_headers()
            self.wfile.flush()
            self.close_connection = True
            if "trickle" in response:
                for i in range(len(body)):
                    self.wfile.write(body[i:i + 1])
                    self.wfile.flush()
                    time.sleep(response["trickle"])
            else:
                self.wfile.write(body)
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.send_response(response.get("status", 200))
        for k, v in response.get("headers", {}).items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if response.get("close_mid_body"):
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.wfile.write(body)


class Server:
    def __init__(self, sock, state, tls_context):
        self.sock = sock
        self.state = state
        self.tls_context = tls_context

    def serve(self):
        while True:
            try:
                conn, addr = self.sock.accept()
            except OSError as e:
                # A socket handed over bound but not yet listening: wait until it listens.
                if e.errno == errno.EINVAL:
                    time.sleep(0.01)
                    continue
                raise
            threading.Thread(target=self.handle, args=(conn, addr), daemon=True).start()

    def handle(self, conn, addr):
        try:
            if self.tls_context:
                conn = self.tls_context.wrap_socket(conn, server_side=True)
            Handler(conn, addr, self)
        except Exception:
            pass
        finally:
            try:
                conn.close()
            except Exception:
                pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--fd", type=int, help="inherited bound socket; serve once it listens")
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--script", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    args = ap.parse_args()

    with open(args.script) as f:
        script = json.load(f)
    open(args.log, "a").close()
    if args.fd is not None:
        sock = socket.socket(fileno=args.fd)
    else:
        family = socket.AF_INET6 if ":" in args.bind else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((args.bind, args.port))
        sock.listen(64)
    tls_context = None
    if args.tls_cert:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(args.tls_cert, args.tls_key)
    port = sock.getsockname()[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.rename(tmp, args.port_file)
    Server(sock, State(script, args.log), tls_context).serve()


if __name__ == "__main__":
    main()
