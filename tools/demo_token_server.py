#!/usr/bin/python3
"""The demonstration's OAuth 2.0 provider: a token endpoint over TLS and an SMTP server with
STARTTLS that signs in only with the endpoint's access tokens (XOAUTH2, OAUTHBEARER), both on
free ports of 127.0.0.1 (tools/smtppeer/token_peer.py with --smtp, steered here).

  demo_token_server.py --certs DIR --client-secret TEXT --port-file FILE --log FILE

Writes "<token port> <smtp port>" into --port-file once both listen, and one line per sign-in
and per message taken into --log (mechanism, user, outcome, recipients; never a token). Runs
until it is killed.
"""
import argparse
import os
import socket
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--certs", required=True)
    parser.add_argument("--client-secret", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    peer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "smtppeer", "token_peer.py")
    subprocess.Popen([sys.executable, peer, "--control", str(listener.getsockname()[1]), "--certs", args.certs,
                      "--smtp", "--client-secret", args.client_secret])
    control, _ = listener.accept()
    with control.makefile("r", encoding="utf-8") as lines, open(args.log, "w", buffering=1) as log:
        for line in lines:
            words = line.split()
            if words[:1] == ["PORT"] and len(words) >= 4:
                with open(args.port_file + ".new", "w") as f:
                    f.write("%s %s\n" % (words[1], words[3]))
                os.replace(args.port_file + ".new", args.port_file)
            elif words[:1] == ["AUTH"] and len(words) >= 5:
                log.write("AUTH %s user %s: %s\n" % (words[1], words[2], words[4]))
            elif words[:1] == ["MSG"] and len(words) >= 4:
                log.write("MSG through %s to %s\n" % (words[1], words[3]))


if __name__ == "__main__":
    main()
