#!/usr/bin/python3
"""Certificates for the TLS tests and the demonstration, made with openssl in a directory:

  root.pem, root.der      a root that a test may trust (install or pin)
  intermediate.pem        a CA below root.pem, as public CAs issue server certificates
  server.pem, server.key  for localhost, 127.0.0.1 and ::1, issued by intermediate.pem;
                          server.pem holds the certificate, then the intermediate
  wrong-name.pem, .key    issued the same way, for wrong.example.test only
  other-root.pem          a root that nothing trusts
  unknown.pem, .key       for localhost, 127.0.0.1 and ::1, issued by other-root.pem

Certificates too weak to trust, each for localhost, 127.0.0.1 and ::1 and chained up to
root.pem (with their intermediates after them); a TLS server must lower OpenSSL's security
level (WEAK_SECURITY_LEVEL) to use them:
  sha1.pem, .key          signed by intermediate.pem with ECDSA and SHA-1
  md5.pem, .key           signed with RSA and MD5 by rsa-intermediate.pem (RSA, 2048 bits)
  pss-sha1.pem, .key      signed with RSA-PSS and SHA-1 (its default) by rsa-intermediate.pem
  rsa1024.pem, .key       an RSA key of 1024 bits, signed by intermediate.pem with SHA-256
  weak-issuer.pem, .key   signed with SHA-256 by sha1-intermediate.pem, which root.pem signed
                          with SHA-1
and one that is sound below a root whose own signature is old:
  old-root.pem            a root (RSA) signed by itself with SHA-1
  below-old-root.pem, .key  signed by old-root.pem with RSA and SHA-256 (the certificate alone)

  test_certs.py DIR
"""
import base64
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
    pem = os.path.join(d, name + ".pem")
    _key(key)
    for _ in range(20):
        _run("req", "-x509", "-new", "-key", key, "-out", pem, "-days", DAYS,
             "-subj", subject, "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        if _full_signature(pem):
            break


def _der_items(data):
    """The (tag, content) items of a run of DER encodings."""
    items, at = [], 0
    while at < len(data):
        tag, length = data[at], data[at + 1]
        at += 2
        if length & 0x80:
            count = length & 0x7F
            length = int.from_bytes(data[at:at + count], "big")
            at += count
        items.append((tag, data[at:at + length]))
        at += length
    return items


def _full_signature(pem_path):
    """True when both numbers of the certificate's ECDSA signature take their full 32 bytes.

    Wine's crypt32 (8.0) finds a signature whose r or s is shorter invalid, which would make
    about one chain in thirty fail at random; Windows has no such trouble.
    """
    with open(pem_path) as f:
        text = f.read()
    body = text.split("-----BEGIN CERTIFICATE-----")[1].split("-----END CERTIFICATE-----")[0]
    certificate = _der_items(_der_items(base64.b64decode(body))[0][1])
    signature = certificate[2][1][1:]  # the bit string's content after its unused-bits byte
    numbers = _der_items(_der_items(signature)[0][1])
    return all(len(value.lstrip(b"\0")) == 32 for _, value in numbers)


def _issue(d, name, subject, key, issuer, extensions, serial):
    csr = os.path.join(d, name + ".csr")
    ext = os.path.join(d, name + ".ext")
    crt = os.path.join(d, name + ".crt")
    _run("req", "-new", "-key", key, "-subj", subject, "-out", csr)
    _write(ext, extensions)
    for _ in range(20):  # ECDSA signatures differ each time: another one fits
        _run("x509", "-req", "-in", csr, "-CA", os.path.join(d, issuer + ".pem"),
             "-CAkey", os.path.join(d, issuer + ".key"), "-set_serial", str(serial), "-days", DAYS,
             "-extfile", ext, "-out", crt)
        if _full_signature(crt):
            break
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
    _make_weak(d, server_key)


WEAK_NAMES = ("sha1", "md5", "pss-sha1", "rsa1024", "weak-issuer", "below-old-root")
WEAK_SECURITY_LEVEL = "DEFAULT:@SECLEVEL=0"
CA_EXTENSIONS = ("basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n"
                 "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")


def _sign(d, name, subject, key, issuer, extensions, serial, digest, ecdsa, options=()):
    """Like _issue, with the digest (and signature options) given; only an ECDSA issuer needs
    the retries."""
    csr = os.path.join(d, name + ".csr")
    ext = os.path.join(d, name + ".ext")
    crt = os.path.join(d, name + ".crt")
    _run("req", "-new", "-key", key, "-subj", subject, "-out", csr)
    _write(ext, extensions)
    for _ in range(20 if ecdsa else 1):
        _run("x509", "-req", "-in", csr, "-CA", os.path.join(d, issuer + ".pem"),
             "-CAkey", os.path.join(d, issuer + ".key"), "-set_serial", str(serial), "-days", DAYS,
             "-" + digest, *options, "-extfile", ext, "-out", crt)
        if not ecdsa or _full_signature(crt):
            break
    os.remove(csr)
    os.remove(ext)
    with open(crt) as f:
        text = f.read()
    os.remove(crt)
    return text


def _make_weak(d, server_key):
    def read(name):
        with open(os.path.join(d, name)) as f:
            return f.read()

    def rsa_key(name, bits):
        path = os.path.join(d, name + ".key")
        _run("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % bits, "-out", path)
        return path

    sha1_key = os.path.join(d, "sha1-intermediate.key")
    _key(sha1_key)
    _write(os.path.join(d, "sha1-intermediate.pem"),
           _sign(d, "sha1-intermediate", "/O=Postvane Tests/CN=Postvane SHA-1 Issuer", sha1_key, "root",
                 CA_EXTENSIONS, 30, "sha1", True))
    _write(os.path.join(d, "rsa-intermediate.pem"),
           _sign(d, "rsa-intermediate", "/O=Postvane Tests/CN=Postvane RSA Issuer", rsa_key("rsa-intermediate", 2048),
                 "root", CA_EXTENSIONS, 31, "sha256", True))
    local = SERVER_EXTENSIONS % "DNS:localhost,IP:127.0.0.1,IP:::1"
    pss = ("-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:20")
    cases = [("sha1", server_key, "intermediate", "sha1", True, ()),
             ("md5", server_key, "rsa-intermediate", "md5", False, ()),
             ("pss-sha1", server_key, "rsa-intermediate", "sha1", False, pss),
             ("rsa1024", rsa_key("rsa1024", 1024), "intermediate", "sha256", True, ()),
             ("weak-issuer", server_key, "sha1-intermediate", "sha256", True, ())]
    for serial, (name, key, issuer, digest, ecdsa, options) in enumerate(cases, start=40):
        leaf = _sign(d, name, "/CN=localhost", key, issuer, local, serial, digest, ecdsa, options)
        _write(os.path.join(d, name + ".pem"), leaf + read(issuer + ".pem"))
        if key == server_key:
            _write(os.path.join(d, name + ".key"), read("server.key"))

    old_root_key = rsa_key("old-root", 2048)
    _run("req", "-x509", "-new", "-key", old_root_key, "-out", os.path.join(d, "old-root.pem"), "-days", DAYS,
         "-sha1", "-subj", "/O=Postvane Tests/CN=Postvane Old Root",
         "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    _write(os.path.join(d, "below-old-root.pem"),
           _sign(d, "below-old-root", "/CN=localhost", server_key, "old-root", local, 50, "sha256", False))
    _write(os.path.join(d, "below-old-root.key"), read("server.key"))


if __name__ == "__main__":
    make_certificates(sys.argv[1])
