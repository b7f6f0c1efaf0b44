#!/usr/bin/python3
"""A real SMTP server for the demonstration: aiosmtpd on a free port of 127.0.0.1 (or on
--port) with AUTH PLAIN and LOGIN over plain TCP, or, with --starttls DIR, with STARTTLS
required before AUTH and mail (the certificates of tools/smtppeer/test_certs.py in DIR).
Writes its port to --port-file and stores every message it accepts in --store as NNN.eml (the
content as received, after dot-unstuffing) with NNN.txt (TLS, who authenticated, the
envelope, and the sender, subject and attachment names as a mail reader shows them, decoded
by Python's email package). Runs until it is terminated.
"""
import argparse
import asyncio
import email
import email.policy
import os
import signal
import ssl

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def shown(content):
    """The sender, subject and attachment names as a mail reader shows them."""
    try:
        message = email.message_from_bytes(content, policy=email.policy.default)
        lines = ["From: %s" % message.get("From", ""), "Subject: %s" % message.get("Subject", "")]
        for part in message.iter_attachments():
            lines.append("Attachment: %s" % (part.get_filename() or "(no name)"))
        return "".join(line.replace("\r", " ").replace("\n", " ") + "\n" for line in lines)
    except Exception as error:  # a message the reader cannot take is shown as such
        return "Unreadable message: %s\n" % error


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--store", required=True)
    parser.add_argument("--login", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--starttls", metavar="CERTS")
    args = parser.parse_args()
    os.makedirs(args.store, exist_ok=True)
    expected = (args.login.encode(), args.password.encode())

    def authenticator(server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword) and (auth_data.login, auth_data.password) == expected:
            session.demo_mechanism = mechanism
            return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)

    class Store:
        count = 0

        async def handle_DATA(self, server, session, envelope):
            Store.count += 1
            base = os.path.join(args.store, "%03d" % Store.count)
            with open(base + ".eml", "wb") as f:
                f.write(envelope.original_content)
            with open(base + ".txt", "w") as f:
                login = session.auth_data.login.decode() if session.authenticated else "(not authenticated)"
                if session.ssl:
                    f.write("TLS: %s %s\n" % (session.ssl["ssl_object"].version(), session.ssl["cipher"][0]))
                else:
                    f.write("TLS: none\n")
                f.write("AUTH %s as %s\nMAIL FROM:<%s>\nRCPT TO:%s\n" % (
                    getattr(session, "demo_mechanism", "-"), login, envelope.mail_from,
                    ", ".join("<%s>" % r for r in envelope.rcpt_tos)))
                f.write(shown(envelope.original_content))
            return "250 OK stored as %03d" % Store.count

    context = None
    if args.starttls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(args.starttls, "server.pem"), os.path.join(args.starttls, "server.key"))

    async def serve():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(
            lambda: SMTP(Store(), hostname="mail.demo.test", authenticator=authenticator, tls_context=context,
                         require_starttls=context is not None, auth_require_tls=context is not None),
            "127.0.0.1", args.port)
        with open(args.port_file, "w") as f:
            f.write(str(server.sockets[0].getsockname()[1]))
        stop = loop.create_future()
        loop.add_signal_handler(signal.SIGTERM, stop.set_result, None)
        loop.add_signal_handler(signal.SIGINT, stop.set_result, None)
        await stop
        server.close()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
