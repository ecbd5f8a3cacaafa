#!/usr/bin/env python3
"""One Secure Boot boot: the shipping configuration of a board. OVMF built
with Secure Boot and its variable store behind SMM (q35 with SMM, the flash
writable only from SMM), Microsoft's keys enrolled and Secure Boot on (a
fresh copy of the variable store per boot), and Debian's signed chain on a
FAT ESP on virtio-blk (signed_chain.py): shim, signed by Microsoft's UEFI
CA, starts GRUB, signed by Debian, which starts Debian's signed cloud
kernel with the guest's initramfs. No -kernel: OVMF's boot manager starts
\\EFI\\BOOT\\BOOTX64.EFI as it would on a board.

Checks, besides those of the flash boots (flash_test.py: names, Linux's
report, the strap trace, the table against the baseline's):
- the kernel's EFI stub says Secure Boot is enabled, and the SecureBoot
  variable the guest reads through efivarfs is 1;
- with --tpm (a software TPM, the image holding EDK II's SMBIOS measurement
  module): PCR1's SMBIOS event is the table Linux reads and the preview's
  reference value (tpm_test.py), and the event log, read by tpm2_eventlog,
  holds in PCR7 the SecureBoot variable measured as 1.

Scenarios (each names which image --image must be, and which --esp):
  rewrite    service, strap mark, trigger at End-of-DXE, driver; signed ESP
  no-driver  service, strap mark, trigger at End-of-DXE; signed ESP (the baseline)
  unsigned   any of them; the ESP whose BOOTX64.EFI nobody signed: passes
             only when the firmware's boot manager reports the load refused
             (Access Denied) and nothing of shim, GRUB or Linux runs."""

import argparse
import os
import re
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "preview"))
sys.path.insert(0, os.path.join(HERE, "..", ".."))
import boot  # noqa: E402
import firmware_log  # noqa: E402
import firmware_test as checks  # noqa: E402
import flash_boot  # noqa: E402
import flash_test  # noqa: E402
import linux_guest  # noqa: E402
import preview  # noqa: E402
import smbios_dump  # noqa: E402
import software_tpm  # noqa: E402
import tpm_test  # noqa: E402
from boardcheck import dumpfile  # noqa: E402
from firmware_test import Failure, expect  # noqa: E402

OVMF_VARS_MS = "/usr/share/OVMF/OVMF_VARS_4M.ms.fd"
SECURE_BOOT_STUB = "EFI stub: UEFI Secure Boot is enabled."
# OVMF's boot manager when LoadImage of a boot option fails verification.
REFUSED = re.compile(r"BdsDxe: failed to load (Boot[0-9A-F]{4} \"[^\"]*\" from \S+): Access Denied")
# What shows once the signed chain runs: GRUB's or the kernel's first words.
CHAIN_STARTED = ("EFI stub:", "Linux version", "GRUB", "shim")


# The Secure Boot build keeps its variable store behind SMM: the machine has
# SMM, and only SMM code may write the flash.
SECURE_MACHINE = ("-machine", "smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on")


def run(plan, flash, esp, folder, stop_after=None, devices=()):
    """Boots `flash` from `esp` on a machine with SMM, as flash_boot.run
    boots a flash image; `stop_after` ends the boot once the serial log
    holds that text."""
    medium = ["-drive", "if=virtio,format=raw,readonly=on,file=" + os.path.abspath(esp)]
    return flash_boot.run(plan, flash, None, folder, stop_after=stop_after,
                          devices=list(SECURE_MACHINE) + list(devices), medium=medium)


def check_secure_boot_on(result):
    """The kernel's stub saw Secure Boot enabled, and the guest read the
    SecureBoot variable as 1; returns the variable's value as the guest gave it."""
    serial = firmware_log.read(result.serial_log)
    expect(SECURE_BOOT_STUB in serial, "the kernel did not print %r" % SECURE_BOOT_STUB)
    try:
        value = linux_guest.read_block(result.serial_log, "EFI-SECUREBOOT", "the SecureBoot variable")
    except linux_guest.ReportError as error:
        raise Failure("the guest's SecureBoot variable: %s" % error)
    expect(value == ["01"], "the guest reads the SecureBoot variable as %r, expected ['01']" % value)
    return value[0]


def check_refused(result):
    """The boot manager refused the unsigned loader, and nothing it would
    have started ran; returns the refusal's line."""
    serial = firmware_log.read(result.serial_log)
    refused = REFUSED.search(serial)
    expect(refused is not None and not result.timed_out,
           "no refusal of the unsigned loader on the serial console (timed out: %s)" % result.timed_out)
    started = [text for text in CHAIN_STARTED if text in serial]
    expect(not started, "the unsigned loader's boot went on: the serial log shows %s" % started)
    return refused.group(0)


def pcr7_events(log_path):
    """PCR7's events as tpm2_eventlog reads the log: [(event type, variable
    name or None, variable data in hex or None)], in log order."""
    shown = subprocess.run(["tpm2_eventlog", log_path], capture_output=True, text=True, errors="replace")
    if shown.returncode != 0:
        raise Failure("tpm2_eventlog could not read %s: %s" % (log_path, shown.stderr.strip()[-400:]))
    events = []
    for block in re.split(r"\n- EventNum:", shown.stdout):
        if not re.search(r"\n\s*PCRIndex: 7\n", block):
            continue
        kind = re.search(r"EventType: (\S+)", block)
        name = re.search(r"UnicodeName: (\S+)", block)
        data = re.search(r"VariableData: \"?([0-9a-fA-F]*)\"?", block)
        events.append((kind and kind.group(1), name and name.group(1), data and data.group(1).lower()))
    return events


def check_pcr7(result):
    """PCR7 opens with the Secure Boot configuration, SecureBoot = 1 first,
    and holds the authorities that verified the loaders; returns what the
    PASS line says of it."""
    events = pcr7_events(os.path.join(result.folder, tpm_test.LOG_FILE))
    config = [(name, data) for kind, name, data in events if kind == "EV_EFI_VARIABLE_DRIVER_CONFIG"]
    authorities = [name for kind, name, _ in events if kind == "EV_EFI_VARIABLE_AUTHORITY"]
    expect(config[:1] == [("SecureBoot", "01")],
           "PCR7's EV_EFI_VARIABLE_DRIVER_CONFIG events, as tpm2_eventlog reads them, begin %s; expected "
           "SecureBoot = 01 first" % [(name, (data or "")[:16]) for name, data in config[:2]])
    expect(authorities, "PCR7 holds no EV_EFI_VARIABLE_AUTHORITY event: no image was verified")
    return "PCR7 (tpm2_eventlog): EV_EFI_VARIABLE_DRIVER_CONFIG SecureBoot=01, then %s; EV_EFI_VARIABLE_AUTHORITY %s" \
        % (", ".join(name for name, _ in config[1:]), ", ".join(authorities))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--image", required=True, help="the flash image to boot (OVMF with SMM and Secure Boot)")
    parser.add_argument("--esp", required=True, help="the ESP image (signed_chain.py)")
    parser.add_argument("--out", required=True, help="folder for the logs and the dump")
    parser.add_argument("--scenario", choices=("rewrite", "no-driver", "unsigned"), default="rewrite")
    parser.add_argument("--code", type=int, required=True, choices=range(16))
    parser.add_argument("--baseline", help="after.bin of the Secure Boot boot without the driver")
    parser.add_argument("--tpm", action="store_true", help="boot with a software TPM and check PCR1 and PCR7")
    parser.add_argument("--preview", help="smbios_preview, for PCR1's reference value (--tpm)")
    parser.add_argument("--vars", default=OVMF_VARS_MS, help="the variable store each boot starts from")
    parser.add_argument("--timeout", type=int, default=240)
    # 256 MiB, as the other boots have, is too little here: the kernel that
    # GRUB starts stops right after its stub's first line.
    parser.add_argument("--memory", type=int, default=512, help="guest memory in MiB")
    args = parser.parse_args()
    if args.scenario == "rewrite" and not args.baseline:
        parser.error("--baseline is needed to compare the table")
    if args.tpm and (args.scenario == "unsigned" or not args.preview):
        parser.error("--tpm needs --preview and a scenario that boots Linux")
    plan = boot.BootPlan(code=args.code, timeout=args.timeout, vars_template=args.vars, memory=args.memory)
    out = os.path.abspath(args.out)
    # A test runner's TERM ends the boot through the finally blocks, swtpm with it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("secure_boot_test: terminated"))
    refusal = args.scenario == "unsigned"
    stop_after = "BdsDxe: failed to load" if refusal else None
    try:
        if args.tpm:
            with software_tpm.started(out + ".tpm") as devices:
                result = run(plan, args.image, args.esp, out, devices=devices)
        else:
            result = run(plan, args.image, args.esp, out, stop_after=stop_after)
    except software_tpm.TpmError as error:
        print("FAIL: no TPM for the boot: %s" % error)
        return 1
    try:
        if refusal:
            line = check_refused(result)
            print("PASS: Secure Boot refused the unsigned loader: %s; Linux did not start; boot took %.1f s"
                  % (line, result.seconds))
            return 0
        if args.tpm:
            said = tpm_test.check(args, plan, result)
            said += "; " + check_pcr7(result)
        else:
            flash_test.check(plan, args.scenario, result, args.baseline)
            said = "Linux agrees"
        value = check_secure_boot_on(result)
    except (Failure, smbios_dump.DumpError, dumpfile.DumpError, preview.PreviewError) as failure:
        print("FAIL: %s\n  boot took %.1f s; logs in %s" % (failure, result.seconds, out))
        return 1
    os.remove(result.trace_log)
    print("PASS: code %d (%s), %s, Secure Boot on (the stub says so, SecureBoot=%s in efivarfs), SMM, "
          "signed chain; %s; boot took %.1f s"
          % (args.code, checks.BOARD_NAMES.get(args.code) if args.scenario == "rewrite" else "table unchanged",
             args.scenario, value, said, result.seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
