#!/usr/bin/env python3
"""Checks the preview against the firmware: for a firmware test's run folder
(before.bin and after.bin, dumped around the driver's run on OVMF) the
preview of before.bin with the same strap code must give the same entry
point and, by handle, the same structures as after.bin, and its reference
values for PCR1 must be those of after.bin's table.
Usage: check_firmware.py RUN_DIR CODE --program SMBIOS_PREVIEW"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
import preview  # noqa: E402
from boardcheck import dumpfile, measurement  # noqa: E402


def preview_of(before_path, code, program):
    """The preview's after-dump of `before_path` for `code`, parsed."""
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([sys.executable, os.path.join(HERE, "preview.py"), before_path,
                        "--code", str(code), "--out", out, "--program", program],
                       check=True, stdout=subprocess.DEVNULL)
        return dumpfile.read(os.path.join(out, "code%d.bin" % code))


def differences(previewed, firmware):
    """Where two dumps differ: the entry point, then each handle whose structure differs."""
    problems = []
    if previewed.area != firmware.area:
        problems.append("entry points differ: preview %s, firmware %s" % (previewed.area.hex(), firmware.area.hex()))
    ours = {dumpfile.handle_of(s): s for s in previewed.structures}
    theirs = {dumpfile.handle_of(s): s for s in firmware.structures}
    for handle in sorted(set(ours) | set(theirs)):
        if ours.get(handle) != theirs.get(handle):
            problems.append("handle 0x%04X: preview %r, firmware %r" % (handle, ours.get(handle), theirs.get(handle)))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("run_dir")
    parser.add_argument("code", type=int)
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    firmware = dumpfile.read(os.path.join(args.run_dir, "after.bin"))
    before = os.path.join(args.run_dir, "before.bin")
    problems = differences(preview_of(before, args.code, args.program), firmware)
    reference = preview.reference_values(args.program, dumpfile.read(before), [args.code])[args.code]
    measured = measurement.table_digests(firmware.table, firmware.major_minor)
    if reference != measured:
        problems.append("reference values differ: preview %s, firmware's table %s" % (reference, measured))
    for problem in problems:
        print(problem)
    print("code %d: %s (%d structures by handle, entry point %s)" % (
        args.code, "differs" if problems else "preview equals firmware", len(firmware.structures),
        "3.0" if firmware.is_3_0 else "2.x"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
