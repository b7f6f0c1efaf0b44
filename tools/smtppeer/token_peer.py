#!/usr/bin/python3
"""An OAuth 2.0 token endpoint for the tests of the service's token client: Python's
http.server over TLS on a free port of 127.0.0.1, with server.pem and server.key from the
certificate directory (test_certs.py).

  token_peer.py --control PORT --certs DIR

It connects to 127.0.0.1:PORT, writes "PORT <n>" on that connection and serves until the
connection closes. Clients and grants it knows:

  client_credentials  client_id kiosk-client, client_secret CLIENT_SECRET
  refresh_token       the refresh token it gave last (RT-1 at first); each use gives a new one
                      and the old one is then refused (invalid_grant)

A wrong client is invalid_client (401), a wrong refresh token invalid_grant (400), a body
that is not a form invalid_request (400). Access tokens are AT-1, AT-2, ... in the order
given. The path chooses how the answer comes:

  /token    expires_in 3600, Content-Length
  /short    expires_in 30
  /chunked  Transfer-Encoding: chunked, in small chunks
  /close    no length: the body ends when the connection closes
  /html     502 with an HTML page
  /huge     a JSON answer of 70000 bytes
  /echo     400 invalid_request whose description repeats the client secret and refresh token
  /silent   no answer at all
"""
import argparse
import json
import os
import socket
import ssl
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CLIENT_ID = "kiosk-client"
CLIENT_SECRET = "cl&secret=+% \u043f"  # characters that must be percent-encoded, one as UTF-8


class Endpoint:
    def __init__(self):
        self.lock = threading.Lock()
        self.issued = 0
        self.refresh = "RT-1"

    def answer(self, path, form):
        """(status, JSON object) for one request."""
        grant = form.get("grant_type")
        with self.lock:
            if grant == "client_credentials":
                if form.get("client_id") != CLIENT_ID or form.get("client_secret") != CLIENT_SECRET:
                    return 401, {"error": "invalid_client", "error_description": "Client authentication failed"}
                rotated = None
            elif grant == "refresh_token":
                if form.get("client_id") != CLIENT_ID:
                    return 401, {"error": "invalid_client", "error_description": "Client authentication failed"}
                if form.get("refresh_token") != self.refresh:
                    return 400, {"error": "invalid_grant", "error_description": "The refresh token is invalid or expired"}
                self.refresh = "RT-%d" % (int(self.refresh[3:]) + 1)
                rotated = self.refresh
            else:
                return 400, {"error": "unsupported_grant_type"}
            self.issued += 1
            body = {"access_token": "AT-%d" % self.issued, "token_type": "Bearer",
                    "expires_in": 30 if path == "/short" else 3600, "ext": {"nested": [1, 2.5e1, None, True]}}
            if form.get("scope"):
                body["scope"] = form["scope"]
            if rotated:
                body["refresh_token"] = rotated
            if path == "/huge":
                body["padding"] = "x" * 70000
            return 200, body


ENDPOINT = Endpoint()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        length = int(self.headers.get("Content-Length", "0"))
        raw = self.rfile.read(length).decode("ascii", "replace")
        if path == "/silent":
            time.sleep(60)
            return
        try:
            if self.headers.get("Content-Type") != "application/x-www-form-urlencoded" or not self.headers.get("Host"):
                raise ValueError("not a form")
            pairs = urllib.parse.parse_qsl(raw, strict_parsing=True, keep_blank_values=True, errors="strict")
            form = dict(pairs)
            if len(form) != len(pairs):
                raise ValueError("a field twice")
            if path == "/echo":
                status, body = 400, {"error": "invalid_request", "error_description":
                                     "bad %s and %s" % (form.get("client_secret"), form.get("refresh_token"))}
            else:
                status, body = ENDPOINT.answer(path, form)
        except ValueError:
            status, body = 400, {"error": "invalid_request"}
        if path == "/html":
            self.send(502, b"<html><body>Bad gateway</body></html>", "text/html")
        else:
            self.send(status, json.dumps(body).encode("utf-8"), "application/json")

    def send(self, status, data, kind):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Cache-Control", "no-store")
        path = urllib.parse.urlsplit(self.path).path
        if path == "/chunked":
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for at in range(0, len(data), 7):
                piece = data[at:at + 7]
                self.wfile.write(b"%x;ext=1\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\nX-Trailer: done\r\n\r\n")
        elif path == "/close":
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--control", type=int, required=True)
    parser.add_argument("--certs", required=True)
    args = parser.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(args.certs, "server.pem"), os.path.join(args.certs, "server.key"))
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    control = socket.create_connection(("127.0.0.1", args.control))
    control.sendall(b"PORT %d\n" % server.server_address[1])
    while control.recv(1024):
        pass
    os._exit(0)


if __name__ == "__main__":
    main()
