#!/usr/bin/python3
"""A real SMTP peer on 127.0.0.1 for the tests and benchmarks of the SMTP client.

Started by a Windows program under Wine (which runs Unix programs detached, without a
process handle), so it is steered through one TCP control connection instead:

  host_peer.py --control PORT aiosmtpd [--login L --password P] [--usual-login]
               [--auth-required] [--no-plain]
  host_peer.py --control PORT smtp-sink

It connects to 127.0.0.1:PORT, starts the SMTP server on a free port of 127.0.0.1, writes
"PORT <n>" on the control connection and, for aiosmtpd, one line per delivered message:

  MSG <mechanism> <login> <mail from> <recipients joined by ","> <content>

each field base64-encoded ("-" for none). It stops, with the server, when the control
connection closes, and after --lifetime seconds at the latest.
"""
import argparse
import asyncio
import base64
import logging
import signal
import socket
import subprocess
import warnings


def b64(data):
    if data is None:
        return "-"
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    return base64.b64encode(data).decode("ascii") or "="


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def wait_for_close(reader, lifetime):
    try:
        await asyncio.wait_for(reader.read(), timeout=lifetime)
    except (asyncio.TimeoutError, ConnectionError):
        pass  # a reset is a close too: the test left reports it never read


async def run_aiosmtpd(args, reader, writer):
    from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, MISSING

    expected = (args.login.encode(), args.password.encode())

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = isinstance(auth_data, LoginPassword) and (auth_data.login, auth_data.password) == expected
        if ok:
            session.peer_mechanism = mechanism
            return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            fields = [
                b64(getattr(session, "peer_mechanism", None)),
                b64(session.auth_data.login if session.authenticated else None),
                b64(envelope.mail_from),
                b64(",".join(envelope.rcpt_tos)),
                b64(envelope.original_content),
            ]
            try:
                writer.write(("MSG " + " ".join(fields) + "\n").encode("ascii"))
                await writer.drain()
            except ConnectionError:
                pass
            return "250 OK"

    class UsualLoginHandler(Handler):
        # AUTH LOGIN with the challenges most servers send.
        async def auth_LOGIN(self, server, args_):
            login = await server.challenge_auth("Username:")
            if login is MISSING:
                return AuthResult(success=False, handled=True)
            password = await server.challenge_auth("Password:")
            if password is MISSING:
                return AuthResult(success=False, handled=True)
            return server._authenticate("LOGIN", LoginPassword(login, password))

    handler = UsualLoginHandler() if args.usual_login else Handler()
    excluded = ["PLAIN"] if args.no_plain else []
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="peer.test", authenticator=authenticator, auth_require_tls=False,
                     auth_required=args.auth_required, auth_exclude_mechanism=excluded),
        "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    writer.write(f"PORT {port}\n".encode("ascii"))
    await writer.drain()
    await wait_for_close(reader, args.lifetime)
    server.close()


async def run_sink(args, reader, writer):
    port = free_port()
    sink = subprocess.Popen(["/usr/sbin/smtp-sink", "-c", "-u", "nobody", f"127.0.0.1:{port}", "256"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    try:
        for _ in range(100):  # until it listens
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                await asyncio.sleep(0.05)
        writer.write(f"PORT {port}\n".encode("ascii"))
        await writer.drain()
        await wait_for_close(reader, args.lifetime)
    finally:
        sink.send_signal(signal.SIGTERM)
        try:
            sink.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sink.kill()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--control", type=int, required=True)
    parser.add_argument("--lifetime", type=float, default=300)
    parser.add_argument("--login", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--usual-login", action="store_true")
    parser.add_argument("--auth-required", action="store_true")
    parser.add_argument("--no-plain", action="store_true")
    parser.add_argument("server", choices=["aiosmtpd", "smtp-sink"])
    args = parser.parse_args()
    reader, writer = await asyncio.open_connection("127.0.0.1", args.control)
    if args.server == "aiosmtpd":
        await run_aiosmtpd(args, reader, writer)
    else:
        await run_sink(args, reader, writer)
    try:
        writer.close()
    except ConnectionError:
        pass


if __name__ == "__main__":
    # aiosmtpd warns about AUTH without TLS and deprecated names: expected here, and noise.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    asyncio.run(main())
