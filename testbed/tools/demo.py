#!/usr/bin/env python3
"""Boots OVMF once with the driver for one strap code and prints, for each
type 1 and type 2 structure, its handle and product name before and after.
The serial log, both dumps and their dmidecode decodings stay in the output
folder.

With --linux GUEST_DIR the boot ends by starting the Linux guest prepared
there (testbed/linux/prepare) from the Shell, and what Linux reads (sysfs and
its own dmidecode) is shown next to what the table held before the run.

Extra Shell steps after the driver has run (e.g. starting a kernel) can be
added with --then, and files put on the boot disk with --file NAME=PATH."""

import argparse
import datetime
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot  # noqa: E402
import firmware_test  # noqa: E402
import linux_guest  # noqa: E402
import smbios_dump  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "preview"))
import preview  # noqa: E402


def product_rows(before, after):
    old, new = before.by_handle(), after.by_handle()
    rows = []
    for structure in before.structures:
        if structure.type in (1, 2):
            changed = new.get(structure.handle)
            rows.append((structure.type, structure.handle,
                         _text(structure.referenced(firmware_test.PRODUCT_NAME_OFFSET)),
                         _text(changed.referenced(firmware_test.PRODUCT_NAME_OFFSET)) if changed else "(gone)"))
    return rows


def print_products(before, after, name):
    """Prints each type 1 and type 2 product name before and after; True if
    every one after is `name` (or, without a name, as it was)."""
    rows = product_rows(before, after)
    print("%-4s  %-6s  %-22s  %s" % ("Type", "Handle", "Product name before", "Product name after"))
    for kind, handle, old, new in rows:
        print("%4d  0x%04X  %-22s  %s" % (kind, handle, old, new))
    return bool(rows) and [new for *_, new in rows] == [name if name else old for _, _, old, _ in rows]


def verdict(names_ok, linux_ok):
    if not names_ok:
        print("The product names after the run are not the expected ones.")
    return 0 if names_ok and linux_ok else 1


def _text(value):
    return "(none)" if value is None else value.decode("latin-1")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--efi-dir", required=True)
    parser.add_argument("--out", help="output folder (default: out/demo-<time> in the project)")
    parser.add_argument("--code", type=int, default=4, choices=range(16))
    parser.add_argument("--entry-point", type=int, choices=(32, 64), default=64)
    parser.add_argument("--noise", action="store_true", help="set every non-strap bit of both ports")
    parser.add_argument("--then", action="append", default=[], metavar="STEP",
                        help="a Shell step to run after the driver, before the reset")
    parser.add_argument("--file", action="append", default=[], metavar="NAME=PATH",
                        help="a file to put on the boot disk")
    parser.add_argument("--linux", metavar="GUEST_DIR",
                        help="end the boot with the Linux guest prepared in GUEST_DIR")
    args = parser.parse_args()

    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    folder = os.path.abspath(args.out or os.path.join(root, "out", "demo-%s-code%d" % (stamp, args.code)))
    extra_files = dict(item.split("=", 1) for item in args.file)
    steps = boot.standard_steps(args.then)
    if args.linux:
        extra_files.update(linux_guest.guest_files(os.path.abspath(args.linux)))
        steps.append(linux_guest.KERNEL_STEP)
    plan = boot.BootPlan(code=args.code, noise=args.noise, entry_point=args.entry_point,
                         steps=steps, extra_files=extra_files,
                         disk_megabytes=linux_guest.DISK_MEGABYTES if args.linux else 8)
    low, high = boot.strap_bytes(args.code, args.noise)
    name = firmware_test.BOARD_NAMES.get(args.code)
    print("Booting OVMF (q35, TCG) with strap code %d: port 0x%04X reads 0x%02X, port 0x%04X reads 0x%02X"
          % (args.code, boot.STRAP_PORT_LOW, low, boot.STRAP_PORT_HIGH, high), flush=True)
    result = boot.run(plan, os.path.abspath(args.efi_dir), folder)

    missing = [n for n in plan.results if n not in result.files]
    if result.timed_out or missing:
        print("The boot did not complete (%s); see %s" %
              ("timed out" if result.timed_out else "no " + ", ".join(missing), result.serial_log))
        return 1
    for dump in plan.results:
        decoded = subprocess.run(["dmidecode", "--from-dump", result.files[dump]], capture_output=True, text=True)
        with open(os.path.join(folder, dump.replace(".bin", ".dmidecode.txt")), "w") as handle:
            handle.write(decoded.stdout + decoded.stderr)
    before = smbios_dump.read(result.files["before.bin"])
    after = smbios_dump.read(result.files["after.bin"])

    print()
    print("Strap code %d  ->  board name %s" % (args.code, name if name else "(none: the table stays as it was)"))
    print("SMBIOS %s entry point; boot took %.0f s" % ("3.0" if after.anchor == "_SM3_" else "2.x", result.seconds))
    print()
    names_ok = print_products(before, after, name)
    linux_ok = True
    if args.linux:
        print()
        linux_ok = print_linux(result.serial_log, before, name)
        print()
        linux_ok = print_hardware_ids(result.files["before.bin"], result.files["after.bin"]) and linux_ok
    print()
    print("Output folder: %s" % folder)
    print("  serial.log, before.bin, after.bin, before.dmidecode.txt, after.dmidecode.txt, trace.log")
    return verdict(names_ok, linux_ok)


def print_hardware_ids(before_path, after_path):
    """fwupd's hardware IDs for the table the booted variant published, next to those before."""
    try:
        before_ids = preview.hwids.for_dump(preview.dumpfile.read(before_path))
        after_ids = preview.hwids.for_dump(preview.dumpfile.read(after_path))
    except (preview.dumpfile.DumpError, preview.hwids.HardwareIdError) as error:
        print("Hardware IDs: %s" % error)
        return False
    preview.print_id_changes(before_ids, after_ids)
    return True


def print_linux(serial_log, before, name):
    """What the Linux guest read, next to what the table held before the run;
    False if the guest's report is missing or not the expected one."""
    try:
        report = linux_guest.read_report(serial_log)
    except linux_guest.ReportError as error:
        print("Linux: no report from the guest (%s)" % error)
        return False
    try:
        original = linux_guest.expected_report(before)
        wanted = linux_guest.expected_report(before, name)
    except linux_guest.ReportError as error:
        print("Linux: %s" % error)
        return False
    print("What Linux reads after the driver ran (/sys/class/dmi/id and dmidecode in the guest)")
    print("%-34s  %-22s  %s" % ("Key", "Table before", "Linux after"))
    for key in sorted(set(report) | set(wanted), key=linux_guest.key_order):
        print("%-34s  %-22s  %s" % (key, " / ".join(original.get(key, ["-"])),
                                    " / ".join(report.get(key, ["(missing)"]))))
    if linux_guest.compare(report, wanted):
        print("Linux does not report the expected names, vendors and version.")
        return False
    return True


if __name__ == "__main__":
    sys.exit(main())
