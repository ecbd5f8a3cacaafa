#!/usr/bin/env python3
"""Boots the flash image the way a target board boots (no Shell: the DXE
core dispatches the driver from the firmware volume, OVMF's boot manager
starts Linux) and prints what Linux read as the machine's identity, next to
a boot of the same image without the driver's file. Both boots run side by
side. Dumps, serial logs and the flash image stay in the output folder."""

import argparse
import concurrent.futures
import datetime
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot  # noqa: E402
import demo  # noqa: E402
import firmware_test  # noqa: E402
import flash_boot  # noqa: E402
import linux_guest  # noqa: E402
import smbios_dump  # noqa: E402


def boot_and_dump(plan, flash, guest, folder, name):
    """One boot; returns (result, path of the table Linux handed back)."""
    result = flash_boot.run(plan, flash, guest, os.path.join(folder, name))
    dump = os.path.join(folder, name + ".bin")
    shutil.copyfile(flash_boot.save_dump(result), dump)
    shutil.copyfile(result.serial_log, os.path.join(folder, name + ".serial.log"))
    decoded = subprocess.run(["dmidecode", "--from-dump", dump], capture_output=True, text=True)
    with open(os.path.join(folder, name + ".dmidecode.txt"), "w") as handle:
        handle.write(decoded.stdout + decoded.stderr)
    return result, dump


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--flash-dir", required=True, help="folder of the built flash images")
    parser.add_argument("--guest", required=True, help="folder of the prepared Linux guest")
    parser.add_argument("--out", help="output folder (default: out/demo-<time> in the project)")
    parser.add_argument("--code", type=int, default=4, choices=range(16))
    parser.add_argument("--entry-point", type=int, choices=(32, 64), default=64)
    parser.add_argument("--noise", action="store_true", help="set every non-strap bit of both ports")
    args = parser.parse_args()

    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    folder = os.path.abspath(args.out or os.path.join(root, "out", "demo-%s-code%d" % (stamp, args.code)))
    os.makedirs(folder, exist_ok=True)
    flash = os.path.join(folder, "flash.fd")
    shutil.copyfile(os.path.join(args.flash_dir, "driver.fd"), flash)
    plan = boot.BootPlan(code=args.code, noise=args.noise, entry_point=args.entry_point, timeout=180)
    low, high = boot.strap_bytes(args.code, args.noise)
    name = firmware_test.BOARD_NAMES.get(args.code)
    print("Booting the flash image with strap code %d (port 0x%04X reads 0x%02X, port 0x%04X reads 0x%02X),"
          % (args.code, boot.STRAP_PORT_LOW, low, boot.STRAP_PORT_HIGH, high))
    print("and beside it the same image without the driver's file: no Shell, Linux started by OVMF", flush=True)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        runs = {key: pool.submit(boot_and_dump, plan, image, args.guest, folder, key) for key, image in
                (("before", os.path.join(args.flash_dir, "no-driver.fd")), ("after", flash))}
        try:
            (_, before_path), (result, after_path) = runs["before"].result(), runs["after"].result()
        except (linux_guest.ReportError, FileNotFoundError) as error:
            print("A boot did not hand the table back (%s); logs in %s" % (error, folder))
            return 1
    before, after = smbios_dump.read(before_path), smbios_dump.read(after_path)

    print()
    print("Strap code %d  ->  board name %s" % (args.code, name if name else "(none: the table stays as it was)"))
    probes = before.end_of_table.handle + 1
    reads = len(firmware_test.strap_reads(result.trace_log)) - 2  # the trigger's two marker reads
    print("SMBIOS %s entry point; boot took %.0f s; the driver read the straps %d times (%d probes)"
          % ("3.0" if after.anchor == "_SM3_" else "2.x", result.seconds, reads, probes))
    print()
    names_ok = demo.print_products(before, after, name)
    print()
    linux_ok = demo.print_linux(result.serial_log, before, name)
    print()
    linux_ok = demo.print_hardware_ids(before_path, after_path) and linux_ok
    print()
    print("Output folder: %s" % folder)
    print("  flash.fd (the flash image booted), before.bin, after.bin (the tables Linux handed back),")
    print("  before/after .dmidecode.txt and .serial.log")
    return demo.verdict(names_ok, linux_ok)


if __name__ == "__main__":
    sys.exit(main())
