"""scripts/board-check over what a boot's guest handed back (the table as
dmidecode --dump-bin wrote it, and with a TPM the event log and PCR1), run
as a factory line runs it, after the boot: its findings stay in the run
folder (board-check.json), and its verdict must be what the boot proved."""

import json
import os
import subprocess
import sys

import smbios_dump
from firmware_test import BOARD_NAMES, PRODUCT_NAME_OFFSET, expect

BOARD_CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "board-check")
FINDINGS_FILE = "board-check.json"


def run(folder, dump, code, event_log=None, pcr1=None, before=None):
    """(exit status, findings) of board-check --expect-code `code` --json over
    the boot's files; keeps the findings in `folder`."""
    command = [sys.executable, BOARD_CHECK, "--dump", dump, "--expect-code", str(code), "--json"]
    command += ["--event-log", event_log] if event_log else []
    command += ["--pcr1", "sha256:" + pcr1] if pcr1 else []
    command += ["--before", before] if before else []
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    expect(done.returncode in (0, 1), "board-check exited %d: %s" % (done.returncode, done.stderr.strip()))
    with open(os.path.join(folder, FINDINGS_FILE), "w") as handle:
        handle.write(done.stdout)
    return done.returncode, json.loads(done.stdout)


def table_status(findings, dump, code, renamed):
    """The exit status the table alone calls for, once its findings are
    checked: the product names must be those the testbed's own reader finds
    in `dump`; with the driver run (`renamed`) and code's name in every
    structure, that board and 0; where a structure kept another name, 1;
    without a rename (no driver, or a code without a name) no structure may
    name one of our boards: 0 for a code without a name, 1 for a named one."""
    products = [(s.type, s.handle, (s.referenced(PRODUCT_NAME_OFFSET) or b"").decode("latin-1"))
                for s in smbios_dump.read(dump).structures if s.type in (1, 2)]
    seen = [(s["type"], s["handle"], s["product_name"] or "") for s in findings["structures"]]
    expect(seen == products, "board-check reads the product names %s, the testbed's reader %s" % (seen, products))
    name = BOARD_NAMES.get(code) if renamed else None
    if name is not None and all(product == name for *_, product in products):
        expect(findings["board"] == {"code": code, "name": name},
               "board-check names the board %s, the boot gave every structure %r" % (findings["board"], name))
        wanted = 0
    elif name is not None:
        wanted = 1
    else:
        expect(all(s["code"] is None for s in findings["structures"]),
               "board-check names one of our boards in a table the driver did not rename: %s"
               % findings["structures"])
        wanted = 1 if code in BOARD_NAMES else 0
    return wanted


def check_status(status, wanted, findings):
    expect(status == wanted, "board-check exited %d, expected %d: %s" % (status, wanted, findings["verdict"]["line"]))
