#!/usr/bin/python3
"""Reads a delivered message as a recipient's software does, for MessageReadersTest.
  read_delivered.py CASE OUT
CASE holds lines "key base64-value": message (the delivered bytes), and the texts the host
gave in windows-1251: from, address, to, subject, text, filename, type, data, date. OUT gets
lines "key base64-value" (texts in windows-1251, as the test's own literals are), written whole at once (a temporary name, then a
rename), since the test under Wine cannot wait for this process otherwise:
  defects     every defect Python's email package (default policy) notes, one per line
  subject, from_name, from_address, filename, parts, text (the decoded text part, bytes),
  attachment (the decoded attachment, bytes), headers (the top-level field names)
  spam_ours, spam_python   SpamAssassin's score (local tests) of the message and of the same
              message composed by Python's email package, each with one Received line from
              an outside address on top
  rules_ours  the rules that fired on the message
(SpamAssassin is left out when CASE has the key nospam.)
The name= parameter of an attachment's Content-Type carries encoded words in a quoted
string for readers without RFC 2231; Python notes that form ("encoded word inside quoted
string") on that one header, and it is left out of defects.
"""
import base64
import email
import email.policy
import email.utils
import os
import subprocess
import sys
import tempfile
from email.headerregistry import Address
from email.message import EmailMessage

RECEIVED = ("Received: from mail.outside.example (mail.outside.example [93.184.216.34])\r\n"
            "\tby mx.provider.example (Postfix) with ESMTPS id 4Ab2Cd3Ef\r\n"
            "\tfor <a@provider.example>; {date}\r\n")
NAME_FORM = ("encoded word inside quoted string", "missing trailing whitespace after encoded-word")


def read_case(path):
    case = {}
    with open(path, "rb") as f:
        for line in f.read().splitlines():
            key, _, value = line.decode("ascii").partition(" ")
            case[key] = base64.b64decode(value)
    return case


def text(case, key):
    return case.get(key, b"").decode("cp1251")


def spam_score(message, home):
    """SpamAssassin's score and rules, local tests only, no Bayes, nothing of the machine's."""
    env = dict(os.environ, HOME=home)
    result = subprocess.run(["spamassassin", "-L", "-p", os.path.join(home, "prefs"),
                             "--cf=use_bayes 0", "--cf=bayes_auto_learn 0", "--cf=use_auto_whitelist 0"],
                            input=message, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, check=True)
    scored = email.message_from_bytes(result.stdout, policy=email.policy.compat32)
    status = " ".join(str(scored.get("X-Spam-Status", "")).split())
    score = status.split("score=")[1].split()[0] if "score=" in status else "?"
    # The list of rules may be folded after any comma; it ends before the next field.
    rules = status.split("tests=")[1] if "tests=" in status else ""
    rules = "".join(rules.split(" autolearn=")[0].split(" version=")[0].split())
    return score, rules


def python_composed(case):
    """The same message as Python's email package composes it."""
    m = EmailMessage()
    m["From"] = Address(display_name=text(case, "from"), addr_spec=text(case, "address"))
    m["To"] = text(case, "to")
    m["Subject"] = text(case, "subject")
    m["Date"] = text(case, "date")
    m["Message-ID"] = email.utils.make_msgid(domain=text(case, "address").rpartition("@")[2])
    m.set_content(text(case, "text"))
    if case.get("filename"):
        maintype, _, subtype = text(case, "type").partition("/")
        m.add_attachment(case["data"], maintype=maintype, subtype=subtype, filename=text(case, "filename"))
    return m.as_bytes(policy=email.policy.SMTP)


def main():
    case = read_case(sys.argv[1])
    raw = case["message"]
    m = email.message_from_bytes(raw, policy=email.policy.default)
    out = {}
    defects = []
    parts = list(m.walk())
    for part in parts:
        defects += [type(d).__name__ + ": " + str(d) for d in part.defects]
        for name, value in part.items():
            for d in getattr(value, "defects", ()):
                if name.lower() == "content-type" and part is not m and str(d) in NAME_FORM:
                    continue
                defects.append(name + ": " + type(d).__name__ + ": " + str(d))
    out["defects"] = "\n".join(defects)
    out["subject"] = str(m["subject"] or "")
    sender = m["from"].addresses[0] if m["from"] and m["from"].addresses else None
    out["from_name"] = sender.display_name if sender else ""
    out["from_address"] = sender.addr_spec if sender else ""
    leaves = [p for p in parts if not p.is_multipart()]
    out["parts"] = str(len(leaves))
    out["headers"] = " ".join(name for name in m.keys())
    out["filename"] = "/".join(p.get_filename() or "" for p in leaves[1:])
    out["text"] = leaves[0].get_payload(decode=True) if leaves else b""
    out["attachment"] = leaves[1].get_payload(decode=True) if len(leaves) > 1 else b""
    if "nospam" not in case:
        with tempfile.TemporaryDirectory() as home:
            received = RECEIVED.format(date=text(case, "date")).encode("ascii")
            out["spam_ours"], out["rules_ours"] = spam_score(received + raw, home)
            out["spam_python"], _ = spam_score(received + python_composed(case), home)
    target = sys.argv[2]
    with open(target + ".part", "wb") as f:
        for key, value in out.items():
            data = value if isinstance(value, bytes) else value.encode("cp1251", "replace")
            f.write(key.encode("ascii") + b" " + base64.b64encode(data) + b"\n")
    os.replace(target + ".part", target)


if __name__ == "__main__":
    try:
        main()
    except Exception as error:  # the test shows it
        with open(sys.argv[2], "wb") as f:
            f.write(b"error " + base64.b64encode(repr(error).encode("utf-8")) + b"\n")
