#!/usr/bin/env python3
"""Checks a flash image with an independent reader, UEFIExtract (Debian's
uefitool-cli): it must parse the image without a single message (it prints
one for every checksum or structure fault it meets) and list each expected
file as a DXE driver under its GUID with its name.

  check_flash.py IMAGE GUID=NAME [GUID=NAME ...]"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

ROW = re.compile(r"^\s*File\s+\|\s*DXE driver\s*\|.*\|\s*-+\s*([0-9A-F-]{36})\s*\|\s*(\S+)\s*$")


def dxe_drivers(report):
    """(GUID, name) of every DXE driver row in UEFIExtract's report."""
    return [match.groups() for match in map(ROW.match, report.splitlines()) if match]


def check(image, expected):
    with tempfile.TemporaryDirectory(prefix="check-flash-") as folder:
        copy = os.path.join(folder, "flash.fd")  # the report is written beside the image
        shutil.copyfile(image, copy)
        run = subprocess.run(["UEFIExtract", copy, "report"], capture_output=True, text=True)
        with open(copy + ".report.txt", errors="replace") as handle:
            report = handle.read()
    problems = []
    messages = (run.stdout + run.stderr).strip()
    if run.returncode != 0 or messages:
        problems.append("UEFIExtract (status %d) reported:\n%s" % (run.returncode, messages))
    rows = dxe_drivers(report)
    for guid, name in expected:
        found = [row for row in rows if row[0] == guid]
        if found != [(guid, name)]:
            problems.append("expected one DXE driver %s named %s, found %r" % (guid, name, found))
    return rows, problems


def main():
    if len(sys.argv) < 3 or any("=" not in arg for arg in sys.argv[2:]):
        print(__doc__, file=sys.stderr)
        return 2
    expected = []
    for arg in sys.argv[2:]:
        guid, name = arg.split("=", 1)
        expected.append((guid.upper(), name))
    rows, problems = check(sys.argv[1], expected)
    for guid, name in rows:
        if any(guid == wanted for wanted, _ in expected):
            print("UEFIExtract lists: DXE driver %s %s" % (guid, name))
    if problems:
        print("FAIL: " + "\n      ".join(problems))
        return 1
    print("PASS: %s parses without a message; %d DXE drivers, ours among them" % (sys.argv[1], len(rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
