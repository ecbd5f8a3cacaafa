#!/usr/bin/env python3
"""One firmware test of a flash image: a boot with no Shell, the driver and
the stand-ins dispatched from the firmware volume, Linux started by OVMF's
own boot manager. The table Linux hands back is compared by handle with the
one a boot of the image without the driver's file handed back (--baseline),
must hold its handles in the baseline's order (a write keeps each structure
where it stands), and is read by `dmidecode --from-dump`; Linux's own report
and QEMU's trace of the strap ports are checked as in the Shell-path tests.

scripts/board-check then runs over the table Linux handed back, as a
factory line runs it (board_check_run.py): it must name the code's board
where the driver renamed every structure and none of ours where it did not.

With --watch-registers the driver's device-register accesses are recorded
as in the Shell-path tests: one write-back per run of the handler.

With --table DUMP QEMU is given a real machine's structures instead of the
testbed's strings (one -smbios file= each). The published table must hold
each of them unchanged by handle, and a rewrite must leave what the preview
(--preview, smbios_preview) makes of the baseline's table, entry point and
structures by handle, with no dmidecode complaint the baseline did not draw.

Scenarios (each names which image --image must be):
  rewrite           by-handle service, trigger at End-of-DXE, driver
  trigger-at-entry  by-handle service, trigger installed in its entry point, driver:
                    the installation comes before the driver is armed, so
                    nothing may run
  no-driver         by-handle service, trigger at End-of-DXE: the baseline itself,
                    which must hold QEMU's strings and see no strap read
  planted           by-handle service, trigger at End-of-DXE, a driver build with a pool
                    overrun: a guarded DEBUG firmware must stop on it with a
                    page fault in that image (--debug-firmware)
  no-service        driver and trigger at End-of-DXE on stock OVMF, without
                    the by-handle service: the driver calls through what
                    SmbiosDxe's record holds at byte 96, and the firmware must
                    stop with an invalid-opcode dump before Linux starts

With --firmware-version V the table's BIOS Information must name firmware
version V, so a boot on another base than the one meant fails.

With --debug-firmware GUID the image is a DEBUG firmware: its DEBUG port is
kept in debug.log, and every boot must be free of ASSERTs and of CPU
exception dumps, and show the DXE core loading file GUID where the
image holds it, at the image's own base (no relocation).
"""

import argparse
import os
import sys

PAGE_FAULT = 0x0E
BIOS_INFORMATION = 0
BIOS_VERSION_OFFSET = 5
INVALID_OPCODE = (0x06, "#UD - Invalid Opcode")
# What the serial console shows once OVMF has started the Linux guest.
LINUX_STARTED = ("EFI stub:", "Linux version")

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "preview"))
import board_check_run  # noqa: E402
import boot  # noqa: E402
import check_firmware  # noqa: E402
import firmware_log  # noqa: E402
import firmware_test as checks  # noqa: E402
import flash_boot  # noqa: E402
import linux_guest  # noqa: E402
import smbios_dump  # noqa: E402
from firmware_test import Failure, expect  # noqa: E402


def check_debug_firmware(scenario, result, guid):
    """The DEBUG firmware's own verdict on the boot; for the planted overrun,
    the page fault in the planted image."""
    debug = firmware_log.read(os.path.join(result.folder, "debug.log"))
    serial = firmware_log.read(result.serial_log)
    expect(not firmware_log.asserts(debug), "the firmware ASSERTed: %s" % firmware_log.asserts(debug)[:3])
    loaded = firmware_log.loaded_files(debug).get(guid)
    if scenario == "no-driver":
        expect(loaded is None, "the DXE core loaded file %s, which this image must not hold" % guid)
    else:
        expect(loaded is not None, "the DEBUG log shows no 'Loading driver %s'" % guid)
        expect(not loaded.preferred_base_refused,
               "the loader could not place file %s at its preferred base and relocated it" % guid)
    faults = firmware_log.exceptions(serial)
    if scenario != "planted":
        expect(not faults, "the firmware dumped a CPU exception: %s" % faults)
        return
    expect(result.exit_code not in boot.TIMED_OUT_STATUSES and faults[:1] == [(PAGE_FAULT, "#PF - Page-Fault")],
           "no page-fault dump on the serial port (exceptions: %s)" % faults)
    blamed = firmware_log.faulting_image(serial)
    expect(blamed == (loaded.base, loaded.entry_point),
           "the dump blames the image at %s, the planted driver was loaded at %#x (entry %#x)"
           % (blamed, loaded.base, loaded.entry_point))


def check_stopped_without_service(result):
    """The measured hang docs/integration.md quotes: an invalid-opcode dump that names an image,
    the firmware stopped there (not by the timeout), and no Linux."""
    serial = firmware_log.read(result.serial_log)
    faults = firmware_log.exceptions(serial)
    expect(result.exit_code not in boot.TIMED_OUT_STATUSES and faults[:1] == [INVALID_OPCODE],
           "no invalid-opcode dump on the serial port (exceptions: %s)" % faults)
    expect(firmware_log.faulting_image(serial) is not None, "the dump names no image")
    started = [text for text in LINUX_STARTED if text in serial]
    expect(not started, "Linux started after all: the serial log shows %s" % started)


def check_firmware_version(table, version):
    """OVMF names its own build in BIOS Information's BIOS Version."""
    versions = [s.referenced(BIOS_VERSION_OFFSET) for s in table.structures if s.type == BIOS_INFORMATION]
    expect(versions == [version.encode()],
           "BIOS Information names firmware version %r, expected %r: another base image booted" % (versions, version))


def check_published(before, table_path):
    """Every structure of the real table but its End-of-Table, as OVMF published it."""
    published = before.by_handle()
    for handle, structure in smbios_dump.read(table_path).by_handle().items():
        if structure.type != smbios_dump.END_OF_TABLE:
            expect(handle in published and published[handle].raw == structure.raw,
                   "the published table does not hold 0x%04X (type %d) as %s has it"
                   % (handle, structure.type, table_path))


def check_as_previewed(plan, result, baseline_path, program):
    problems = check_firmware.differences(check_firmware.preview_of(baseline_path, plan.code, program),
                                          check_firmware.dumpfile.read(result.files["after.bin"]))
    expect(not problems, "the table differs from the preview of the baseline's: " + "; ".join(problems))
    checks.check_no_new_complaints(baseline_path, result.files["after.bin"])


def check(plan, scenario, result, baseline_path, preview_program=None, firmware_version=None, board_check=True):
    """Every check of a boot to Linux; returns the code's board name where
    the driver renamed the table, None elsewhere.
    `board_check` False leaves scripts/board-check to the caller (the
    measured boots run it with the event log)."""
    expect(not result.timed_out, "boot timed out after %d s" % plan.timeout)
    expect(result.exit_code == 0, "QEMU exited with status %d (the guest powers off)" % result.exit_code)
    try:
        report = linux_guest.read_report(result.serial_log)
        flash_boot.save_dump(result)
    except linux_guest.ReportError as error:
        raise Failure("Linux handed nothing back: %s" % error)
    after = smbios_dump.read(result.files["after.bin"])
    anchor = "_SM3_" if plan.entry_point == 64 else "_SM_"
    expect(after.anchor == anchor, "Linux's table carries %s, expected %s" % (after.anchor, anchor))
    if firmware_version:
        check_firmware_version(after, firmware_version)
    # The no-driver boot is the baseline itself: its table is the "before".
    before = after
    if scenario != "no-driver":
        before = smbios_dump.read(baseline_path)
        expect(before.anchor == anchor, "baseline %s carries %s, expected %s"
               % (baseline_path, before.anchor, anchor))
    if plan.smbios_table:
        check_published(before, plan.smbios_table)
    else:
        checks.check_testbed_table(before)

    name = checks.BOARD_NAMES.get(plan.code) if scenario == "rewrite" else None
    products = checks.dmidecode_products(result.files["after.bin"], plan.entry_point)
    if plan.smbios_table and scenario != "no-driver":
        check_as_previewed(plan, result, baseline_path, preview_program)
    elif name is not None:
        checks.check_renamed(before, after, name)
        for kind, names in products.items():
            expect(names == [name], "dmidecode shows %s Product Name %r, expected [%r]" % (kind, names, name))
    elif scenario != "no-driver":
        checks.check_unchanged(before, after)
        expect(products == checks.dmidecode_products(baseline_path, plan.entry_point),
               "dmidecode sees other product names than in the baseline: %r" % products)
    if scenario != "no-driver":
        checks.check_same_order(before, after)
    checks.check_linux_report(report, before, name)
    if board_check:
        status, found = board_check_run.run(result.folder, result.files["after.bin"], plan.code)
        board_check_run.check_status(status, board_check_run.table_status(
            found, result.files["after.bin"], plan.code, scenario == "rewrite"), found)
    walks = 1 if scenario == "rewrite" else 0
    reads = checks.strap_reads(result.trace_log)
    checks.check_strap_reads(reads, plan, walks, before.end_of_table.handle)
    if plan.watch:
        checks.check_register_accesses(result.accesses, scenario, walks, len(reads))
    return name


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--image", required=True, help="the flash image to boot")
    parser.add_argument("--guest", required=True, help="folder of the prepared Linux guest")
    parser.add_argument("--out", required=True, help="folder for the logs and the dump")
    parser.add_argument("--scenario", choices=("rewrite", "trigger-at-entry", "no-driver", "planted", "no-service"),
                        default="rewrite")
    parser.add_argument("--baseline", help="after.bin of the no-driver boot with the same entry point")
    parser.add_argument("--code", type=int, required=True, choices=range(16))
    parser.add_argument("--entry-point", type=int, choices=(32, 64), default=64)
    parser.add_argument("--noise", action="store_true", help="set every non-strap bit of both ports")
    parser.add_argument("--watch-registers", action="store_true",
                        help="record the device-register accesses through QEMU's GDB stub")
    parser.add_argument("--table", help="a real machine's dump whose structures QEMU is given")
    parser.add_argument("--preview", help="smbios_preview, to compare a --table rewrite with")
    parser.add_argument("--timeout", type=int, default=180)
    parser.add_argument("--debug-firmware", metavar="GUID",
                        help="a DEBUG firmware holding (or, for no-driver, not holding) driver file GUID")
    parser.add_argument("--firmware-version", help="the firmware build BIOS Information must name")
    parser.add_argument("--vars", default=boot.OVMF_VARS, help="the variable store each boot starts from")
    parser.add_argument("--memory", type=int, default=256, help="guest memory in MiB")
    parser.add_argument("--keep", action="store_true", help="keep the trace after a pass")
    args = parser.parse_args()
    if args.scenario not in ("no-driver", "planted", "no-service") and not args.baseline:
        parser.error("--baseline is needed to compare the table")
    if args.scenario == "planted" and not args.debug_firmware:
        parser.error("the planted overrun is caught only by a DEBUG firmware's guard (--debug-firmware)")
    if args.table and args.scenario != "no-driver" and not args.preview:
        parser.error("--preview is needed to compare a --table rewrite")
    plan = boot.BootPlan(code=args.code, noise=args.noise, entry_point=args.entry_point,
                         timeout=args.timeout, watch=dict(checks.PRESENTED) if args.watch_registers else {},
                         memory=args.memory, vars_template=args.vars,
                         smbios_table=args.table and os.path.abspath(args.table))
    out = os.path.abspath(args.out)
    planted = args.scenario == "planted"
    stops = planted or args.scenario == "no-service"
    result = flash_boot.run(plan, args.image, args.guest, out, debug_log=bool(args.debug_firmware),
                            stop_after=firmware_log.FAULTING_IMAGE_MARK if stops else None)
    try:
        if args.debug_firmware:
            check_debug_firmware(args.scenario, result, args.debug_firmware)
        if args.scenario == "no-service":
            check_stopped_without_service(result)
        name = None if stops else check(plan, args.scenario, result, args.baseline, args.preview,
                                            args.firmware_version)
    except (Failure, smbios_dump.DumpError, check_firmware.dumpfile.DumpError) as failure:
        print("FAIL: %s\n  boot took %.1f s; logs in %s" % (failure, result.seconds, out))
        return 1
    if not args.keep:
        os.remove(result.trace_log)  # a passing boot's full strap trace says nothing new
    if planted:
        print("PASS: the guarded firmware stopped on the planted overrun with a page fault in the "
              "planted driver; boot took %.1f s" % result.seconds)
        return 0
    if args.scenario == "no-service":
        base, entry_point = firmware_log.faulting_image(firmware_log.read(result.serial_log))
        print("PASS: without the by-handle service the firmware stopped with %s in the image at %#x "
              "(entry point %#x), and Linux did not start; boot took %.1f s"
              % (INVALID_OPCODE[1], base, entry_point, result.seconds))
        return 0
    print("PASS: code %d (%s), %s, entry point %d%s%s%s, no Shell%s%s; Linux agrees; boot took %.1f s"
          % (args.code, name or "table unchanged", args.scenario, args.entry_point,
             ", noisy straps" if args.noise else "",
             "" if args.scenario == "no-driver" else ", handles in the baseline's order",
             ", table %s%s" % (os.path.basename(args.table), "" if args.scenario == "no-driver" else
                               ", equal to its preview by handle") if args.table else "",
             ", firmware %s" % args.firmware_version if args.firmware_version else "",
             "; DEBUG firmware: no ASSERT, no exception" if args.debug_firmware else "", result.seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
