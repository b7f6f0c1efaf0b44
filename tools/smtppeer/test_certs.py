#!/usr/bin/python3
"""Certificates for the TLS tests and the demonstration, made with openssl in a directory:

  root.pem, root.der      a root that a test may trust (install or pin)
  intermediate.pem        a CA below root.pem, as public CAs issue server certificates
  server.pem, server.key  for localhost, 127.0.0.1 and ::1, issued by intermediate.pem;
                          server.pem holds the certificate, then the intermediate
  wrong-name.pem, .key    issued the same way, for wrong.example.test only
  other-root.pem          a root that nothing trusts
  unknown.pem, .key       for localhost, 127.0.0.1 and ::1, issued by other-root.pem

  test_certs.py DIR
"""
import os
import subprocess
import sys

DAYS = "30"


def _run(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def _key(path):
    _run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path)


def _root(d, name, subject):
    key = os.path.join(d, name + ".key")
    _key(key)
    _run("req", "-x509", "-new", "-key", key, "-out", os.path.join(d, name + ".pem"), "-days", DAYS,
         "-subj", subject, "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign")


def _issue(d, name, subject, key, issuer, extensions, serial):
    csr = os.path.join(d, name + ".csr")
    ext = os.path.join(d, name + ".ext")
    _run("req", "-new", "-key", key, "-subj", subject, "-out", csr)
    _write(ext, extensions)
    _run("x509", "-req", "-in", csr, "-CA", os.path.join(d, issuer + ".pem"),
         "-CAkey", os.path.join(d, issuer + ".key"), "-set_serial", str(serial), "-days", DAYS,
         "-extfile", ext, "-out", os.path.join(d, name + ".crt"))
    os.remove(csr)
    os.remove(ext)


SERVER_EXTENSIONS = ("basicConstraints=critical,CA:FALSE\n"
                     "keyUsage=critical,digitalSignature\n"
                     "extendedKeyUsage=serverAuth\n"
                     "subjectKeyIdentifier=hash\n"
                     "authorityKeyIdentifier=keyid\n"
                     "subjectAltName=%s\n")


def make_certificates(d):
    os.makedirs(d, exist_ok=True)
    _root(d, "root", "/O=Postvane Tests/CN=Postvane Test Root")
    _run("x509", "-in", os.path.join(d, "root.pem"), "-outform", "DER", "-out", os.path.join(d, "root.der"))
    _root(d, "other-root", "/O=Somebody Else/CN=Unknown Test Root")

    _key(os.path.join(d, "intermediate.key"))
    _issue(d, "intermediate", "/O=Postvane Tests/CN=Postvane Test Issuer", os.path.join(d, "intermediate.key"),
           "root", "basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n"
           "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n", 2)
    os.rename(os.path.join(d, "intermediate.crt"), os.path.join(d, "intermediate.pem"))

    server_key = os.path.join(d, "server.key")
    _key(server_key)
    local = "DNS:localhost,IP:127.0.0.1,IP:::1"
    cases = [("server", "/CN=localhost", "intermediate", local),
             ("wrong-name", "/CN=wrong.example.test", "intermediate", "DNS:wrong.example.test"),
             ("unknown", "/CN=localhost", "other-root", local)]
    for serial, (name, subject, issuer, names) in enumerate(cases, start=10):
        _issue(d, name, subject, server_key, issuer, SERVER_EXTENSIONS % names, serial)
        with open(os.path.join(d, name + ".crt")) as f:
            chain = f.read()
        if issuer == "intermediate":
            with open(os.path.join(d, "intermediate.pem")) as f:
                chain += f.read()
        _write(os.path.join(d, name + ".pem"), chain)
        os.remove(os.path.join(d, name + ".crt"))
        if name != "server":
            with open(server_key) as f:
                _write(os.path.join(d, name + ".key"), f.read())


if __name__ == "__main__":
    make_certificates(sys.argv[1])
