#!/usr/bin/env python3
"""Checks built Windows binaries from their PE headers, read with MinGW's objdump.

    check_binary.py OBJDUMP exports DLL NAME[=DECORATED] ...
        every NAME is exported; with =DECORATED the decorated name is exported too and
        both names lead to one entry (the same RVA).
    check_binary.py OBJDUMP imports [--allow RUNTIME.dll ...] PATH ...
        no binary imports a runtime DLL of the compiler that Windows does not have, but the
        allowed ones, and those only when they lie beside the binary (shipped with it).
        A directory PATH stands for every *.dll and *.exe in it.

Exits 0 when every check holds, 1 with one line per failure, 2 when a binary cannot be read.
"""
import glob
import os
import re
import subprocess
import sys

# DLLs of the compiler's runtimes: present on the build machine, never on a kiosk.
FOREIGN_RUNTIMES = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread|libssp|libgomp|libatomic)", re.IGNORECASE)


def objdump(tool, path):
    if not os.path.isfile(path):
        print(f"missing binary: {path} (build it first)")
        sys.exit(2)
    try:
        run = subprocess.run([tool, "-p", path], capture_output=True, text=True, check=False)
    except FileNotFoundError:
        print(f"missing tool: {tool}")
        sys.exit(2)
    if run.returncode != 0:
        print(f"{tool} cannot read {path}: {run.stderr.strip()}")
        sys.exit(2)
    return run.stdout


def export_table(dump):
    """Maps every exported name to its RVA."""
    rvas = []   # by position in the export address table
    names = {}  # name -> position
    section = None
    for line in dump.splitlines():
        if line.startswith("Export Address Table -- Ordinal Base"):
            section = "addresses"
            continue
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "names"
            continue
        if section and not line.strip():
            section = None
            continue
        if section == "addresses":
            # "	[   0] +base[   1] 48d0 Export RVA"
            m = re.match(r"\s*\[\s*(\d+)\]\s+\+base\[\s*\d+\]\s+([0-9a-fA-F]+)\s+Export RVA", line)
            if m:
                index = int(m.group(1))
                rvas.extend([None] * (index + 1 - len(rvas)))
                rvas[index] = int(m.group(2), 16)
        elif section == "names":
            # "	[   1] SmtpSendMail@4"
            m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
            if m:
                names[m.group(2)] = int(m.group(1))
    return {name: rvas[i] if i < len(rvas) else None for name, i in names.items()}


def imported_dlls(dump):
    return re.findall(r"^\s*DLL Name:\s*(\S+)", dump, re.MULTILINE)


def check_exports(tool, dll, pairs):
    if not pairs:
        return [f"{dll}: no export named to check"]
    table = export_table(objdump(tool, dll))
    failures = []
    for pair in pairs:
        plain, _, decorated = pair.partition("=")
        for name in filter(None, (plain, decorated)):
            if name not in table:
                failures.append(f"{dll}: '{name}' is not exported")
        if decorated and plain in table and decorated in table and table[plain] != table[decorated]:
            failures.append(f"{dll}: '{plain}' (RVA {table[plain]:#x}) and '{decorated}' "
                            f"(RVA {table[decorated]:#x}) are different entries")
    return failures


def check_imports(tool, args):
    allowed = set()
    paths = []
    while args:
        if args[0] == "--allow" and len(args) > 1:
            allowed.add(args[1].lower())
            args = args[2:]
        else:
            paths.append(args[0])
            args = args[1:]
    binaries = []
    for path in paths:
        if os.path.isdir(path):
            found = sorted(glob.glob(os.path.join(path, "*.dll")) + glob.glob(os.path.join(path, "*.exe")))
            if not found:
                return [f"{path}: no DLL or program to check (build it first)"]
            binaries.extend(found)
        else:
            binaries.append(path)
    failures = []
    for binary in binaries:
        folder = os.path.dirname(binary)
        for dll in imported_dlls(objdump(tool, binary)):
            if not FOREIGN_RUNTIMES.match(dll):
                continue
            if dll.lower() not in allowed:
                failures.append(f"{binary}: imports the runtime DLL {dll}, which Windows does not have")
            elif not any(name.lower() == dll.lower() for name in os.listdir(folder)):
                failures.append(f"{binary}: imports the runtime DLL {dll}, which is not beside it")
    return failures


def main(argv):
    if len(argv) < 4 or argv[2] not in ("exports", "imports"):
        print(__doc__.strip())
        return 2
    tool, mode = argv[1], argv[2]
    failures = check_exports(tool, argv[3], argv[4:]) if mode == "exports" else check_imports(tool, argv[3:])
    for failure in failures:
        print(failure)
    if not failures:
        print("ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
