#!/usr/bin/python3
"""A small volume for the tests of a full disk: a tmpfs of its own mounted on a directory.

  volume_peer.py --control PORT DIR SIZE

It connects to 127.0.0.1:PORT, mounts a tmpfs of SIZE (mount's size=, e.g. 256k) on DIR (a
Unix path) and writes "MOUNTED" on that connection, or "REFUSED <reason>" when this machine
does not let it mount (no CAP_SYS_ADMIN). It unmounts the volume when the connection closes
or on the line "UMOUNT", which it answers "OK" once the volume is gone, and ends.
"""
import argparse
import socket
import subprocess


def one_line(text):
    return " ".join(text.split()) or "no reason given"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--control", type=int, required=True)
    parser.add_argument("dir")
    parser.add_argument("size")
    args = parser.parse_args()

    control = socket.create_connection(("127.0.0.1", args.control))
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + args.size, "tmpfs", args.dir],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        control.sendall(("REFUSED " + one_line(mounted.stderr) + "\n").encode())
        control.close()
        return
    control.sendall(b"MOUNTED\n")
    received = b""
    while b"UMOUNT" not in received:
        data = control.recv(256)
        if not data:
            break
        received += data
    # A program that still holds a file there must not keep the volume mounted: lazily, then.
    if subprocess.run(["umount", args.dir], capture_output=True).returncode != 0:
        subprocess.run(["umount", "-l", args.dir], capture_output=True)
    try:
        control.sendall(b"OK\n")
    except OSError:
        pass
    control.close()


if __name__ == "__main__":
    main()
