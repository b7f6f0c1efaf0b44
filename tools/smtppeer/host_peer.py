#!/usr/bin/python3
"""A real SMTP peer on 127.0.0.1 for the tests and benchmarks of the SMTP client.

Started by a Windows program under Wine (which runs Unix programs detached, without a
process handle), so it is steered through one TCP control connection instead:

  host_peer.py --control PORT aiosmtpd [--login L --password P] [--usual-login]
               [--auth-required] [--no-plain]
               [--tls starttls|implicit --certs DIR [--cert NAME] [--require-tls]]
  host_peer.py --control PORT smtp-sink
  host_peer.py --control PORT postfix --certs DIR --login L --password P [--size-limit N]
               [--no-8bitmime] [--no-chunking] [--no-size] [--plain]
               [--refuse ADDR]... [--defer-once ADDR]...
  host_peer.py --control PORT delay --rtt MS --to PORT
  host_peer.py --control PORT certs --certs DIR

It connects to 127.0.0.1:PORT, starts the SMTP server on a free port of 127.0.0.1, writes
"PORT <n>" on the control connection and, for aiosmtpd and postfix, one line per delivered
message:

  MSG <mechanism> <login> <mail from> <recipients joined by ","> <content>

each field base64-encoded ("-" for none). It stops, with the server, when the control
connection closes, and after --lifetime seconds at the latest.

TLS: the certificates are those of test_certs.py in DIR (made there when missing); --cert
names the server's certificate (server, wrong-name, unknown or one of the weak ones). With starttls the server
offers STARTTLS; --require-tls then refuses everything but EHLO, STARTTLS, NOOP and QUIT
before TLS, and AUTH is offered only inside TLS. With implicit the server speaks TLS from
the first byte.

postfix: a private instance of Postfix (its master, smtpd, tlsmgr, anvil, trivial-rewrite
and postlogd, in a directory of its own, never the system's mail service) set up for
submission: STARTTLS required, AUTH (PLAIN, LOGIN) only inside TLS from a sasldb made with
saslpasswd2, relaying only for an authenticated client. Its smtpd hands every transaction
to an aiosmtpd of the peer's own (smtpd_proxy_filter), which reports it; the content then
begins with the Received: header that smtpd adds. Needs root, as Postfix does. --plain
neither offers nor requires STARTTLS and offers AUTH in plain text (no --certs needed); --no-8bitmime,
--no-chunking and --no-size take those keywords out of the EHLO reply
(smtpd_discard_ehlo_keywords). --refuse ADDR has RCPT TO:<ADDR> refused for good (554, by
check_recipient_access from a texthash map); --defer-once ADDR has it refused for now (450)
the first time, by a policy service that the peer serves itself, and accepted after. Only the
recipients smtpd accepted reach the peer's aiosmtpd, so a MSG names only those.

delay: a relay from a free port of 127.0.0.1 to 127.0.0.1:--to that holds every byte, in
each direction, and each connection request and close, for half of --rtt milliseconds: a
slow link for the SMTP client. On the control connection it writes "OPEN <n>" when client
connection n arrives and "TURN <n>" each time the traffic of connection n turns from the
client to the server: the first bytes from the server after the client's (the connection
request counts as the client's), that is a round trip the client waited for.

certs: makes the certificates in DIR and writes "DONE" (or "ERROR <text>").
"""
import argparse
import asyncio
import base64
import logging
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_certs  # noqa: E402


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


def certificates(args):
    """The certificate set in --certs, made there first when missing."""
    if not os.path.exists(os.path.join(args.certs, "unknown.pem")):
        test_certs.make_certificates(args.certs)
    return args.certs


def tls_context(args):
    d = certificates(args)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if args.cert in test_certs.WEAK_NAMES:
        context.set_ciphers(test_certs.WEAK_SECURITY_LEVEL)
    context.load_cert_chain(os.path.join(d, args.cert + ".pem"), os.path.join(d, args.cert + ".key"))
    return context


def message_fields(mechanism, login, envelope):
    return [b64(mechanism), b64(login), b64(envelope.mail_from), b64(",".join(envelope.rcpt_tos)),
            b64(envelope.original_content)]


async def report(writer, fields):
    try:
        writer.write(("MSG " + " ".join(fields) + "\n").encode("ascii"))
        await writer.drain()
    except ConnectionError:
        pass


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
            await report(writer, message_fields(getattr(session, "peer_mechanism", None),
                                                session.auth_data.login if session.authenticated else None,
                                                envelope))
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
    context = tls_context(args) if args.tls else None
    starttls = args.tls == "starttls"
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="peer.test", authenticator=authenticator,
                     auth_require_tls=starttls and args.require_tls, auth_required=args.auth_required,
                     auth_exclude_mechanism=excluded, tls_context=context if starttls else None,
                     require_starttls=starttls and args.require_tls),
        "127.0.0.1", 0, ssl=context if args.tls == "implicit" else None)
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


POSTFIX = "/usr/lib/postfix/sbin"

MAIN_CF = """compatibility_level = 3.6
queue_directory = {root}/queue
data_directory = {root}/data
myhostname = relay.test
mydestination =
local_recipient_maps =
relay_recipient_maps =
maillog_file_prefixes = {root}
maillog_file = {root}/maillog
notify_classes =
message_size_limit = {size_limit}
smtpd_discard_ehlo_keywords = {discard}
smtpd_banner = $myhostname ESMTP private test instance
smtpd_tls_security_level = {tls_level}
smtpd_tls_auth_only = {tls_auth_only}
smtpd_tls_cert_file = {certs}/server.pem
smtpd_tls_key_file = {certs}/server.key
smtpd_tls_session_cache_database =
smtpd_tls_loglevel = 1
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
smtpd_sasl_local_domain = relay.test
smtpd_sasl_authenticated_header = yes
cyrus_sasl_config_path = {root}/conf
smtpd_relay_restrictions = permit_sasl_authenticated, reject
smtpd_recipient_restrictions = {recipient_checks} permit_sasl_authenticated, reject
smtpd_reject_unlisted_recipient = no
smtpd_reject_unlisted_sender = no
smtpd_client_connection_count_limit = 0
smtpd_client_connection_rate_limit = 0
smtpd_proxy_filter = 127.0.0.1:{capture}
"""

MASTER_CF = """127.0.0.1:{port} inet n - n - - smtpd
tlsmgr unix - - n 1000? 1 tlsmgr
anvil unix - - n - 1 anvil
rewrite unix - - n - - trivial-rewrite
postlog unix-dgram n - n - 1 postlogd
"""

# Debian's Cyrus SASL reads smtpd.conf from the "sasl" folder of cyrus_sasl_config_path.
SASL_CONF = """pwcheck_method: auxprop
auxprop_plugin: sasldb
mech_list: PLAIN LOGIN
sasldb_path: {root}/sasldb2
"""


async def serve_policy(defer_once):
    """A Postfix policy service (access policy delegation): "450" for each address of
    defer_once the first time it is asked about it, "DUNNO" (no opinion) otherwise."""
    deferred = set()

    async def answer(policy_reader, policy_writer):
        request = {}
        try:
            while True:
                line = await policy_reader.readline()
                if not line:
                    return
                line = line.decode("utf-8", "replace").rstrip("\r\n")
                if line:
                    name, _, value = line.partition("=")
                    request[name] = value
                    continue
                recipient = request.get("recipient", "").lower()
                request = {}
                action = "DUNNO"
                if recipient in defer_once and recipient not in deferred:
                    deferred.add(recipient)
                    action = "450 4.2.0 try again later"
                policy_writer.write(f"action={action}\n\n".encode("ascii"))
                await policy_writer.drain()
        except ConnectionError:
            pass
        finally:
            policy_writer.close()

    return await asyncio.start_server(answer, "127.0.0.1", 0)


async def run_postfix(args, reader, writer):
    from aiosmtpd.smtp import SMTP
    if os.geteuid() != 0:
        writer.write(b"ERROR a private Postfix instance needs root\n")
        await writer.drain()
        return
    certs = "" if args.plain else certificates(args)  # no TLS: no certificates

    class Capture:
        async def handle_DATA(self, server, session, envelope):
            await report(writer, message_fields(None, None, envelope))
            return "250 OK"

    loop = asyncio.get_running_loop()
    capture = await loop.create_server(lambda: SMTP(Capture(), hostname="capture.test"), "127.0.0.1", 0)
    policy = await serve_policy({a.lower() for a in args.defer_once}) if args.defer_once else None
    root = tempfile.mkdtemp(prefix="postvane-postfix-")
    os.chmod(root, 0o755)  # the daemons, once they are the mail owner, look inside
    master = None
    try:
        port = free_port()
        checks = ""
        if args.refuse:
            checks += f"check_recipient_access texthash:{root}/conf/refused,"
        if policy:
            checks += f" check_policy_service inet:127.0.0.1:{policy.sockets[0].getsockname()[1]},"
        values = dict(root=root, certs=certs, capture=capture.sockets[0].getsockname()[1], port=port,
                      size_limit=args.size_limit, recipient_checks=checks,
                      discard=", ".join(k for k, off in (("8bitmime", args.no_8bitmime),
                                                         ("chunking", args.no_chunking),
                                                         ("size", args.no_size)) if off),
                      tls_level="none" if args.plain else "encrypt", tls_auth_only="no" if args.plain else "yes")
        for sub in ("conf/sasl", "queue/pid", "queue/public", "queue/private", "data"):
            os.makedirs(os.path.join(root, sub))
        # The daemons drop to the mail owner: what they open later must be theirs.
        for sub in ("data", "queue/public", "queue/private"):
            shutil.chown(os.path.join(root, sub), user="postfix")
        with open(os.path.join(root, "conf/main.cf"), "w") as f:
            f.write(MAIN_CF.format(**values))
        with open(os.path.join(root, "conf/master.cf"), "w") as f:
            f.write(MASTER_CF.format(**values))
        with open(os.path.join(root, "conf/sasl/smtpd.conf"), "w") as f:
            f.write(SASL_CONF.format(**values))
        with open(os.path.join(root, "conf/refused"), "w") as f:
            f.writelines(f"{address} REJECT\n" for address in args.refuse)
        sasldb = os.path.join(root, "sasldb2")
        subprocess.run(["/usr/sbin/saslpasswd2", "-f", sasldb, "-c", "-p", "-u", "relay.test", args.login],
                       input=args.password.encode(), check=True)
        shutil.chown(sasldb, user="postfix")
        master = subprocess.Popen([POSTFIX + "/master", "-c", os.path.join(root, "conf"), "-d"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        listening = False
        for _ in range(200):  # until smtpd listens
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                listening = True
                break
            except OSError:
                if master.poll() is not None:
                    break
                await asyncio.sleep(0.05)
        if not listening:
            log = ""
            if os.path.exists(os.path.join(root, "maillog")):
                with open(os.path.join(root, "maillog"), errors="replace") as f:
                    log = " | ".join(f.read().splitlines()[-3:])
            writer.write(f"ERROR Postfix did not start: {log}\n".encode("utf-8", "replace"))
            await writer.drain()
            return
        writer.write(f"PORT {port}\n".encode("ascii"))
        await writer.drain()
        await wait_for_close(reader, args.lifetime)
    finally:
        if master:
            master.send_signal(signal.SIGTERM)
            try:
                master.wait(timeout=10)
            except subprocess.TimeoutExpired:
                master.kill()
        capture.close()
        if policy:
            policy.close()
        shutil.rmtree(root, ignore_errors=True)


async def run_delay(args, reader, writer):
    loop = asyncio.get_running_loop()
    half = args.rtt / 2000.0
    count = [0]

    def note(text):
        writer.write((text + "\n").encode("ascii"))  # loopback: the reader keeps up

    async def pump(source, queue, side, turns):
        # Reads one direction, stamping each block with the time it may go on; b"" is the close.
        try:
            while True:
                data = await source.read(65536)
                turns(side, data)
                queue.put_nowait((loop.time() + half, data))
                if not data:
                    return
        except ConnectionError:
            queue.put_nowait((loop.time() + half, None))

    async def deliver(queue, target):
        # Passes each block on once it is due: b"" half-closes, None (a reset) closes.
        while True:
            due, data = await queue.get()
            if due > loop.time():
                await asyncio.sleep(due - loop.time())
            if not data:
                if data is None or not target.can_write_eof():
                    target.close()
                else:
                    target.write_eof()
                return
            target.write(data)
            await target.drain()

    async def relay(client_reader, client_writer):
        count[0] += 1
        n = count[0]
        note(f"OPEN {n}")
        last = ["client"]  # the connection request is the client's first flight

        def turns(side, data):
            if data and side == "server" and last[0] == "client":
                note(f"TURN {n}")
            if data:
                last[0] = side

        to_server, to_client = asyncio.Queue(), asyncio.Queue()
        # The client's bytes are stamped as they come, even before the server is reached.
        from_client = asyncio.ensure_future(pump(client_reader, to_server, "client", turns))
        tasks = [from_client]
        try:
            await asyncio.sleep(half)  # the connection request crosses the link
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.to)
            tasks += [asyncio.ensure_future(pump(server_reader, to_client, "server", turns)),
                      asyncio.ensure_future(deliver(to_server, server_writer)),
                      asyncio.ensure_future(deliver(to_client, client_writer))]
            await asyncio.gather(*tasks[1:])
            server_writer.close()
        except (ConnectionError, OSError):
            pass
        finally:
            for task in tasks:
                task.cancel()
            client_writer.close()

    server = await asyncio.start_server(relay, "127.0.0.1", 0)
    writer.write(f"PORT {server.sockets[0].getsockname()[1]}\n".encode("ascii"))
    await writer.drain()
    await wait_for_close(reader, args.lifetime)
    server.close()


async def run_certs(args, reader, writer):
    try:
        test_certs.make_certificates(args.certs)
        writer.write(b"DONE\n")
    except Exception as error:  # reported to the test, which shows it
        writer.write(("ERROR " + str(error).replace("\n", " ") + "\n").encode("utf-8", "replace"))
    await writer.drain()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--control", type=int, required=True)
    parser.add_argument("--lifetime", type=float, default=300)
    parser.add_argument("--login", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--usual-login", action="store_true")
    parser.add_argument("--auth-required", action="store_true")
    parser.add_argument("--no-plain", action="store_true")
    parser.add_argument("--tls", choices=["starttls", "implicit"])
    parser.add_argument("--certs")
    parser.add_argument("--cert", default="server", choices=["server", "wrong-name", "unknown", *test_certs.WEAK_NAMES])
    parser.add_argument("--require-tls", action="store_true")
    parser.add_argument("--size-limit", type=int, default=10240000)
    parser.add_argument("--no-8bitmime", action="store_true")  # postfix: 8BITMIME not offered
    parser.add_argument("--no-chunking", action="store_true")  # postfix: CHUNKING not offered
    parser.add_argument("--no-size", action="store_true")  # postfix: SIZE not offered
    parser.add_argument("--plain", action="store_true")  # postfix: no STARTTLS, AUTH in plain text
    parser.add_argument("--refuse", action="append", default=[])  # postfix: RCPT TO refused, 554
    parser.add_argument("--defer-once", action="append", default=[])  # postfix: 450 the first time
    parser.add_argument("--rtt", type=float, default=0)  # delay: the round trip in milliseconds
    parser.add_argument("--to", type=int)  # delay: the port relayed to
    parser.add_argument("server", choices=["aiosmtpd", "smtp-sink", "postfix", "delay", "certs"])
    args = parser.parse_args()
    reader, writer = await asyncio.open_connection("127.0.0.1", args.control)
    run = {"aiosmtpd": run_aiosmtpd, "smtp-sink": run_sink, "postfix": run_postfix, "delay": run_delay,
           "certs": run_certs}
    await run[args.server](args, reader, writer)
    try:
        writer.close()
    except ConnectionError:
        pass


if __name__ == "__main__":
    # aiosmtpd warns about AUTH without TLS and deprecated names: expected here, and noise.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    asyncio.run(main())
