#!/usr/bin/env python3
"""Checks of the Wine prefix the test programs run in, through the target's runner
(scripts/wine-run or scripts/wine-run32).

  check_prefix.py services RUNNER   one service manager serves the prefix, and it starts RpcSs
                                    when asked (a second manager locks the service database,
                                    and every first window then waits for RpcSs)
  check_prefix.py output RUNNER     a program that makes a window, run while another program of
                                    the prefix lives, leaves its output pipe when it ends (a
                                    desktop started as its child would hold the pipe open for
                                    as long as the other program runs)
  check_prefix.py configuration RUNNER
                                    the prefix holds no service configuration of its own (the
                                    delivery service opens its key when its module loads, before
                                    a test program redirects the registry to its private key, so
                                    a key left by a hand-run console tool would take the tests'
                                    deliveries elsewhere)

Wine programs write to files here, never into a pipe, except the one whose pipe is checked.
"""
import os
import select
import subprocess
import sys
import tempfile
import time

# Far above what a program that makes a window takes; far below the other program's life.
PIPE_LIMIT = 20
HOLDER_END = 30
MAIL_KEY = r"HKLM\Software\Quillet\Pennark\Kiosk\Mail"


def fail(message):
    print("FAILED: " + message, file=sys.stderr)
    sys.exit(1)


def run(runner, args, out):
    """Runs a Wine program with its output in the file out; returns its exit status."""
    with open(out, "wb") as f:
        return subprocess.run([runner, *args], stdin=subprocess.DEVNULL, stdout=f,
                              stderr=subprocess.STDOUT).returncode


def text(path):
    with open(path, "rb") as f:
        return f.read().decode("latin-1").replace("\r", "")


def processes(prefix, command):
    """The processes of the prefix whose command line starts with command."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("latin-1")
        except OSError:
            continue
        if ("WINEPREFIX=" + prefix).encode() in environ and \
                cmdline.lower().startswith(command.lower()):
            found.append(int(pid))
    return found


def check_services(runner, prefix, work):
    managers = processes(prefix, r"C:\windows\system32\services.exe")
    if len(managers) != 1:
        fail("%d service managers in %s (one expected)" % (len(managers), prefix))
    run(runner, ["net", "start", "rpcss"], os.path.join(work, "start"))
    run(runner, ["sc", "query", "rpcss"], os.path.join(work, "query"))
    if "RUNNING" not in text(os.path.join(work, "query")):
        fail("RpcSs does not start in %s:\n%s%s" % (prefix, text(os.path.join(work, "start")),
                                                   text(os.path.join(work, "query"))))


def check_output(runner, prefix, work):
    # Another program of the prefix that lives until its input ends: cmd waiting for a line.
    up = os.path.join(work, "holder")
    with open(up, "wb") as out:
        holder = subprocess.Popen([runner, "cmd", "/c", "echo up& set /p _="],
                                  stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 30
        while "up" not in text(up):
            if holder.poll() is not None or time.monotonic() > deadline:
                fail("the other program did not start: " + text(up))
            time.sleep(0.1)
        # rundll32 with nothing to run makes a window and ends.
        start = time.monotonic()
        probe = subprocess.Popen([runner, "rundll32.exe"], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        while True:
            left = start + PIPE_LIMIT - time.monotonic()
            if left <= 0 or not select.select([probe.stdout], [], [], left)[0]:
                fail("the output pipe of a program that made a window stayed open %d s"
                     % PIPE_LIMIT)
            if not os.read(probe.stdout.fileno(), 4096):
                break
        probe.wait()
    finally:
        holder.stdin.close()
        try:
            holder.wait(timeout=HOLDER_END)
        except subprocess.TimeoutExpired:
            holder.kill()


def check_configuration(runner, prefix, work):
    out = os.path.join(work, "query")
    if run(runner, ["reg", "query", MAIL_KEY], out) == 0:
        fail("%s holds %s, which the tests' delivery service would read instead of their own "
             "keys: it was left by a console tool run without PENNARK_REGISTRY_ROOT. Remove it "
             "with: scripts/wine-run reg delete 'HKLM\\%s' /f (scripts/wine-run32 for the win32 "
             "prefix)\n%s" % (prefix, MAIL_KEY, MAIL_KEY[5:], text(out)))


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in CHECKS:
        print(__doc__, file=sys.stderr)
        return 2
    check, runner = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as work:
        # The prefix as its programs see it; the runner brings it up first when it is down.
        run(runner, ["cmd", "/c", "echo %WINEPREFIX%"], os.path.join(work, "prefix"))
        prefix = text(os.path.join(work, "prefix")).strip()
        if not os.path.isdir(prefix):
            fail("no prefix reported: %r" % prefix)
        CHECKS[check](runner, prefix, work)
    return 0


CHECKS = {"services": check_services, "output": check_output, "configuration": check_configuration}

if __name__ == "__main__":
    sys.exit(main())
