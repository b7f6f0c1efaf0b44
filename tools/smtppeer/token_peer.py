#!/usr/bin/python3
"""An OAuth 2.0 token endpoint for the tests of the service's token client: Python's
http.server over TLS on a free port of 127.0.0.1, with server.pem and server.key from the
certificate directory (test_certs.py).

  token_peer.py --control PORT --certs DIR [--smtp] [--client-secret TEXT]

It connects to 127.0.0.1:PORT, writes "PORT <n>" on that connection ("PORT <n> SMTP <m>"
with --smtp) and serves until the connection closes. Clients and grants it knows:

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

With --smtp it also runs an SMTP server (aiosmtpd) on port m: STARTTLS with the same
certificate, required before anything else, then AUTH XOAUTH2 and OAUTHBEARER of its own
(no PLAIN, no LOGIN) that take only an access token the endpoint gave and that has not
expired. A token it does not take gets the error challenge (334 with Base64 JSON); the client
must answer it with the empty response, and then gets 535. OAUTHBEARER also wants host
127.0.0.1 and the server's own port. Lines on the control connection steer it, each
answered "OK":

  OFFER <mechanisms>   what later sessions offer, comma-separated (at first both)
  EXPIRE               every token given so far has expired
  CLOSING 1|0          after a refused token the server closes the connection

and it reports there:

  AUTH <mechanism> <user> <token> ok|refused|malformed   each AUTH ("-" for a missing field)
  MSG <mechanism> <token> <recipients joined by ",">      each message taken
"""
import argparse
import asyncio
import base64
import binascii
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
        self.expiry = {}  # access token -> when it expires (time.time())

    def valid(self, token):
        with self.lock:
            return self.expiry.get(token, 0) > time.time()

    def expire_all(self):
        with self.lock:
            for token in self.expiry:
                self.expiry[token] = 0

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
            lifetime = 30 if path == "/short" else 3600
            body = {"access_token": "AT-%d" % self.issued, "token_type": "Bearer",
                    "expires_in": lifetime, "ext": {"nested": [1, 2.5e1, None, True]}}
            self.expiry[body["access_token"]] = time.time() + lifetime
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


class Control:
    """The control connection: steering lines in, reports out."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()
        self.offered = {"XOAUTH2", "OAUTHBEARER"}
        self.closing = False

    def report(self, *fields):
        line = " ".join(f if f else "-" for f in fields) + "\n"
        with self.lock:
            try:
                self.sock.sendall(line.encode("utf-8", "replace"))
            except OSError:
                pass

    def serve(self):
        """Obeys steering lines until the connection closes."""
        pending = b""
        while True:
            try:
                data = self.sock.recv(1024)
            except OSError:  # a reset ends the run as a close does
                return
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                words = line.decode("ascii", "replace").split()
                if words[:1] == ["OFFER"]:
                    self.offered = set(words[1].split(",")) if len(words) > 1 else set()
                elif words[:1] == ["EXPIRE"]:
                    ENDPOINT.expire_all()
                elif words[:1] == ["CLOSING"]:
                    self.closing = words[1:] == ["1"]
                self.report("OK")


def parse_xoauth2(text, port):
    """(user, token) of "user=U^Aauth=Bearer T^A^A", or None."""
    if not text.endswith("\x01\x01"):
        return None
    fields = text[:-2].split("\x01")
    if len(fields) != 2 or not fields[0].startswith("user=") or not fields[1].startswith("auth=Bearer "):
        return None
    return fields[0][5:], fields[1][12:]


def parse_oauthbearer(text, port):
    """(user, token) of "n,a=U,^Ahost=H^Aport=P^Aauth=Bearer T^A^A" (RFC 7628), or None."""
    if not text.endswith("\x01\x01") or not text.startswith("n,"):
        return None
    header, _, rest = text[:-2].partition(",\x01")
    parts = header.split(",")
    if len(parts) != 2 or not parts[1].startswith("a="):
        return None
    user = parts[1][2:].replace("=2C", ",").replace("=3D", "=")
    pairs = dict(field.split("=", 1) for field in rest.split("\x01") if "=" in field)
    if pairs.get("host") != "127.0.0.1" or pairs.get("port") != str(port):
        return None
    auth = pairs.get("auth", "")
    if not auth.startswith("Bearer "):
        return None
    return user, auth[7:]


def start_smtp(context, control):
    """The SMTP server on a free port of 127.0.0.1, in a thread of its own; returns the port."""
    import logging
    from aiosmtpd.smtp import SMTP, AuthResult, MISSING

    logging.getLogger("mail.log").setLevel(logging.ERROR)  # aiosmtpd's warnings on its own fields

    mechanisms = ("PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER")
    loop = asyncio.new_event_loop()
    port = [0]

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            mechanism, token = session.auth_data if session.authenticated else (None, None)
            control.report("MSG", mechanism, token, ",".join(envelope.rcpt_tos))
            return "250 OK"

        async def auth_XOAUTH2(self, server, args):
            return await self.sign_in(server, args, "XOAUTH2", parse_xoauth2,
                                      {"status": "401", "schemes": "bearer", "scope": "https://mail.test/"})

        async def auth_OAUTHBEARER(self, server, args):
            return await self.sign_in(server, args, "OAUTHBEARER", parse_oauthbearer,
                                      {"status": "invalid_token", "scope": "mail.send"})

        async def sign_in(self, server, args, mechanism, parse, error):
            if len(args) > 1:
                try:
                    blob = base64.b64decode(args[1], validate=True)
                except binascii.Error:
                    await server.push("501 5.5.2 Can't decode base64")
                    return AuthResult(success=False, handled=True)
            else:
                blob = await server.challenge_auth("")
                if blob is MISSING:
                    return AuthResult(success=False, handled=True)
            parsed = parse(blob.decode("latin-1"), port[0])
            if parsed is None:
                control.report("AUTH", mechanism, None, None, "malformed")
                return AuthResult(success=False, handled=False, message="501 5.5.2 malformed initial response")
            user, token = parsed
            if ENDPOINT.valid(token):
                control.report("AUTH", mechanism, user, token, "ok")
                return AuthResult(success=True, auth_data=(mechanism, token))
            control.report("AUTH", mechanism, user, token, "refused")
            answer = await server.challenge_auth(json.dumps(error))
            if answer is MISSING:
                return AuthResult(success=False, handled=True)
            if answer != b"":
                return AuthResult(success=False, handled=False,
                                  message="535 5.7.8 the error challenge wants the empty response")
            if control.closing:
                await server.push("535 5.7.8 token refused, closing")
                server.transport.close()
                return AuthResult(success=False, handled=True)
            return AuthResult(success=False, handled=False, message="535 5.7.8 token refused")

    def factory():
        return SMTP(Handler(), hostname="peer.test", tls_context=context, require_starttls=True,
                    auth_require_tls=True,
                    auth_exclude_mechanism=[m for m in mechanisms if m not in control.offered])

    async def serve():
        server = await loop.create_server(factory, "127.0.0.1", 0)
        port[0] = server.sockets[0].getsockname()[1]

    loop.run_until_complete(serve())
    threading.Thread(target=loop.run_forever, daemon=True).start()
    return port[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--control", type=int, required=True)
    parser.add_argument("--certs", required=True)
    parser.add_argument("--smtp", action="store_true")
    parser.add_argument("--client-secret", help="the client secret it takes instead of its own")
    args = parser.parse_args()
    if args.client_secret is not None:
        global CLIENT_SECRET
        CLIENT_SECRET = args.client_secret
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(args.certs, "server.pem"), os.path.join(args.certs, "server.key"))
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    control = Control(socket.create_connection(("127.0.0.1", args.control)))
    first = "PORT %d" % server.server_address[1]
    if args.smtp:
        smtp_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        smtp_context.load_cert_chain(os.path.join(args.certs, "server.pem"), os.path.join(args.certs, "server.key"))
        first += " SMTP %d" % start_smtp(smtp_context, control)
    control.report(first)
    control.serve()
    os._exit(0)


if __name__ == "__main__":
    main()
