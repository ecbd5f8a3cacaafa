#!/usr/bin/env python3
"""Boots the flash image the way a target board boots (no Shell: the DXE
core dispatches the driver from the firmware volume, OVMF's boot manager
starts Linux) and prints what Linux read as the machine's identity, next to
a boot of the same image without the driver's file. Both boots run side by
side. Dumps, serial logs and the flash image stay in the output folder.

With --cache DIR the "before" is kept there, keyed by what its table depends
on (before_key), and a later demo of the same image under the same QEMU
options reuses it and boots once."""

import argparse
import concurrent.futures
import datetime
import hashlib
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
    result = flash_boot.run(plan, flash, guest, os.path.join(folder, name), trace_firmware_only=True)
    dump = os.path.join(folder, name + ".bin")
    shutil.copyfile(flash_boot.save_dump(result), dump)
    shutil.copyfile(result.serial_log, os.path.join(folder, name + ".serial.log"))
    decoded = subprocess.run(["dmidecode", "--from-dump", dump], capture_output=True, text=True)
    with open(os.path.join(folder, name + ".dmidecode.txt"), "w") as handle:
        handle.write(decoded.stdout + decoded.stderr)
    return result, dump


BEFORE_FILES = ("before.bin", "before.serial.log", "before.dmidecode.txt")


def _file_digest(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def before_key(plan, image, guest):
    """The hash of what the table of a boot without the driver depends on:
    the image's bytes, the variable store it starts from, the guest's kernel
    and initramfs, QEMU's version and the options that shape the machine and
    its table (q35 under TCG, the entry point, memory, the SMBIOS structures
    QEMU is given, the kernel's arguments). The straps are not among them: no
    driver reads them."""
    qemu = subprocess.run(["qemu-system-x86_64", "--version"], capture_output=True, text=True, check=True).stdout
    options = boot.machine_options(plan, "IMAGE", "FOLDER") + boot.smbios_options(plan, "FOLDER") + \
        [_file_digest(word) if os.path.isfile(word) else word for word in flash_boot.guest_options(guest)]
    parts = [_file_digest(image), _file_digest(plan.vars_template), qemu] + options
    return hashlib.sha256("\0".join(parts).encode()).hexdigest()[:32]  # the folder's name: 128 bits


def reuse_before(cached, folder):
    """Copies a kept "before" into `folder`; its boot time (text), or None when none is kept."""
    try:
        for name in BEFORE_FILES:
            shutil.copyfile(os.path.join(cached, name), os.path.join(folder, name))
        with open(os.path.join(cached, "booted.txt")) as handle:
            return handle.read().strip()
    except FileNotFoundError:
        return None


def keep_before(cached, folder):
    """Keeps this demo's "before" under `cached`, whole or not at all."""
    partial = "%s.partial-%d" % (cached, os.getpid())
    os.makedirs(partial, exist_ok=True)
    for name in BEFORE_FILES:
        shutil.copyfile(os.path.join(folder, name), os.path.join(partial, name))
    with open(os.path.join(partial, "booted.txt"), "w") as handle:
        handle.write(datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S") + "\n")
    shutil.rmtree(cached, ignore_errors=True)
    os.replace(partial, cached)


def boot_both(plan, images, guest, folder, cached):
    """(result of the boot with the driver, path of the "before" table, path
    of the "after" table, where the "before" came from): the boot with the
    driver, and beside it the one without unless `cached` keeps its table."""
    booted = reuse_before(cached, folder) if cached else None
    if booted:
        result, after_path = boot_and_dump(plan, images["after"], guest, folder, "after")
        origin = "reused from %s, booted %s from the same image bytes and QEMU options" % (
            os.path.relpath(cached), booted)
        return result, os.path.join(folder, "before.bin"), after_path, origin
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        runs = {key: pool.submit(boot_and_dump, plan, image, guest, folder, key) for key, image in images.items()}
        (_, before_path), (result, after_path) = runs["before"].result(), runs["after"].result()
    origin = "booted now"
    if cached:
        keep_before(cached, folder)
        origin += " (kept in %s for the next demo of this image)" % os.path.relpath(cached)
    return result, before_path, after_path, origin


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--flash-dir", required=True, help="folder of the built flash images")
    parser.add_argument("--guest", required=True, help="folder of the prepared Linux guest")
    parser.add_argument("--out", help="output folder (default: out/demo-<time> in the project)")
    parser.add_argument("--code", type=int, default=4, choices=range(16))
    parser.add_argument("--entry-point", type=int, choices=(32, 64), default=64)
    parser.add_argument("--noise", action="store_true", help="set every non-strap bit of both ports")
    parser.add_argument("--cache", help="folder that keeps the \"before\" of an unchanged image between demos")
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
    print("and for the \"before\" the same image without the driver's file: no Shell, Linux started by OVMF",
          flush=True)
    images = {"before": os.path.join(args.flash_dir, "no-driver.fd"), "after": flash}
    try:
        cached = args.cache and os.path.join(args.cache, before_key(plan, images["before"], args.guest))
        result, before_path, after_path, origin = boot_both(plan, images, args.guest, folder, cached)
    except (linux_guest.ReportError, FileNotFoundError) as error:
        print("A boot did not hand the table back (%s); logs in %s" % (error, folder))
        return 1
    before, after = smbios_dump.read(before_path), smbios_dump.read(after_path)

    print()
    print("Strap code %d  ->  board name %s" % (args.code, name if name else "(none: the table stays as it was)"))
    probes = before.end_of_table.handle + 1
    reads = firmware_test.strap_read_count(result.trace_log) - 2  # the trigger's two marker reads
    print("SMBIOS %s entry point; boot took %.0f s; the driver read the straps %d times (%d probes)"
          % ("3.0" if after.anchor == "_SM3_" else "2.x", result.seconds, reads, probes))
    print("The \"before\": %s" % origin)
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
