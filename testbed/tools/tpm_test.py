#!/usr/bin/env python3
"""One measured boot: a flash image that holds EDK II's SMBIOS measurement
module, booted with a TPM of its own (swtpm), to Linux, which hands back the
table, PCR1 of the sha256 bank and the firmware's event log (../linux/init).
The boot is first checked as flash_test.py checks it (names, Linux's report,
the strap trace); then:

- replaying the log's PCR1 events gives the PCR1 the TPM reports;
- PCR1 holds one SMBIOS event, and its SHA-256 is that of the table Linux
  reads after the measurement's filter (boardcheck/measurement.py): the TPM
  attests the table the OS sees;
- that digest is the preview's reference value: for the code, of the
  baseline's table (--baseline, the boot without the driver); without the
  driver, of the table as it is;
- scripts/board-check over the table, the log and PCR1 names the variant
  the TPM attests and exits 0 only where that is the code's (check_board_check).

Scenarios (each names which image --image must be):
  rewrite       service, measurement, driver, trigger at End-of-DXE
  no-driver     service, measurement, trigger at End-of-DXE
  late-trigger  service, measurement, driver, trigger at ReadyToBoot after
                the measurement: passes only when the second check fails
                because PCR1 attests the table before the rewrite, with a
                message naming both digests and both product names.

The run folder keeps event-log.bin, pcr1-sha256.txt (the TPM's PCR1) and
measured.txt (the SMBIOS event's SHA-256) for the checks across boots
(test_measured_boots.py), and board-check.json."""

import argparse
import os
import signal
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "preview"))
sys.path.insert(0, os.path.join(HERE, "..", ".."))
import board_check_run  # noqa: E402
import boot  # noqa: E402
import firmware_test as checks  # noqa: E402
import flash_boot  # noqa: E402
import flash_test  # noqa: E402
import linux_guest  # noqa: E402
import preview  # noqa: E402
import smbios_dump  # noqa: E402
import software_tpm  # noqa: E402
from boardcheck import dumpfile, event_log  # noqa: E402
from firmware_test import Failure, expect  # noqa: E402

LOG_FILE, MEASURED_FILE, PCR1_FILE = "event-log.bin", "measured.txt", "pcr1-sha256.txt"


class MeasurementMismatch(Failure):
    """PCR1 attests another table than the one Linux reads."""


def measured_digest(result):
    """The SMBIOS event's SHA-256 (hex), once the log is shown to replay to
    the PCR1 the TPM reports; keeps the log in the run folder."""
    try:
        reported = linux_guest.read_block(result.serial_log, "TPM-PCR1", "PCR1")
        log = linux_guest.read_base64(result.serial_log, "TPM-LOG", "the event log")
        events = event_log.read_log(log)
        replayed = event_log.replay(events, 1).hex()
        smbios = event_log.smbios_events(events)
    except (linux_guest.ReportError, event_log.LogError) as error:
        raise Failure("the TPM's report: %s" % error)
    with open(os.path.join(result.folder, LOG_FILE), "wb") as handle:
        handle.write(log)
    with open(os.path.join(result.folder, PCR1_FILE), "w") as handle:
        handle.write("".join(reported).lower() + "\n")
    expect(len(reported) == 1 and reported[0].lower() == replayed,
           "replaying the log's PCR1 events gives %s, the TPM reports PCR1 %s" % (replayed, reported))
    expect(len(smbios) == 1, "PCR1 holds %d SMBIOS events, expected one" % len(smbios))
    return smbios[0].digests[event_log.SHA256].hex()


def product_names(path):
    """The product names of the dump's type 1 and type 2 structures."""
    return " / ".join("%r" % s.referenced(checks.PRODUCT_NAME_OFFSET).decode("latin-1")
                      for s in smbios_dump.read(path).structures if s.type in (1, 2))


def check_measured_table(digest, table_path, baseline_path):
    """The measured table must be the one Linux reads (filtered as the
    measurement filters it); MeasurementMismatch says which it was instead."""
    seen = preview.digests_of(dumpfile.read(table_path))["sha256"]
    if digest == seen:
        return
    if baseline_path and digest == preview.digests_of(dumpfile.read(baseline_path))["sha256"]:
        measured = "the table as it was before the driver ran, with product names %s" % product_names(baseline_path)
    else:
        measured = "a table this test does not know (neither Linux's nor the one before the driver ran)"
    raise MeasurementMismatch(
        "PCR1 attests another SMBIOS table than the one Linux reads. The SMBIOS event's SHA-256 is %s; the "
        "table Linux reads, with product names (system / board) %s, hashes (after the measurement's filter) to %s. The measured "
        "table is %s. The firmware measured the table before the driver's rewrite: install the trigger before "
        "ReadyToBoot (SmbiosBoardNameTrigger installs it at End-of-DXE)."
        % (digest, product_names(table_path), seen, measured))


def check_reference(digest, scenario, code, table_path, baseline_path, program):
    """The digest must be the preview's reference value for this boot."""
    if scenario == "no-driver":
        wanted = preview.reference_values(program, dumpfile.read(table_path), [])[None]
        what = "for the table as it is"
    else:
        wanted = preview.reference_values(program, dumpfile.read(baseline_path), [code])[code]
        what = "for code %d of the baseline's table" % code
    expect(digest == wanted["sha256"], "the SMBIOS event's SHA-256 is %s, the preview's reference value %s is %s"
           % (digest, what, wanted["sha256"]))


def check_board_check(args, result, digest):
    """scripts/board-check over the table, the event log and PCR1 the guest
    handed back, with the baseline as the table before the driver: it must
    find the log replaying to PCR1 and the event this test found, and name
    the variant attested: the code's for a rewrite, the table Linux reads
    (none of ours) without the driver, the table before the driver after
    the late trigger, with exit 0 only for the rewrite."""
    after = result.files["after.bin"]
    with open(os.path.join(result.folder, PCR1_FILE)) as handle:
        pcr1 = handle.read().strip()
    status, found = board_check_run.run(result.folder, after, args.code, os.path.join(result.folder, LOG_FILE),
                                        pcr1, args.baseline)
    board_check_run.table_status(found, after, args.code, args.scenario != "no-driver")
    measured, line = found["measured"], found["verdict"]["line"]
    expect(measured["pcr1_agrees"] is True and measured["event"]["digests"]["sha256"] == digest,
           "board-check finds PCR1 %s (agrees: %s) and the SMBIOS event %s; this test %s and %s"
           % (measured["pcr1_replayed"], measured["pcr1_agrees"], measured["event"], pcr1, digest))
    attests = measured["attests"] or {}
    wanted = {"rewrite": (args.code, "code %d's table" % args.code, True, 0),
              "no-driver": (None, "the table Linux reads", True, 1),
              "late-trigger": (None, "the table before the driver ran", False, 1)}[args.scenario]
    seen = (attests.get("code"), attests.get("what", ""), measured["measures_table_read"], status)
    expect(seen[0] == wanted[0] and seen[1].startswith(wanted[1]) and seen[2:] == wanted[2:],
           "board-check: attests %r, measures the table read: %s, exit %d; expected %s: %s"
           % (seen[1], seen[2], status, wanted, line))
    return line


def check(args, plan, result):
    """Every check of the boot; returns what the PASS line says."""
    flash_test.check(plan, "no-driver" if args.scenario == "no-driver" else "rewrite", result, args.baseline,
                     board_check=False)
    digest = measured_digest(result)
    with open(os.path.join(result.folder, MEASURED_FILE), "w") as handle:
        handle.write(digest + "\n")
    after = result.files["after.bin"]
    verdict = check_board_check(args, result, digest)
    if args.scenario != "late-trigger":
        check_measured_table(digest, after, args.baseline)
        check_reference(digest, args.scenario, args.code, after, args.baseline, args.preview)
        return "PCR1 replays; SMBIOS SHA-256 %s, the table Linux reads and the preview's value; board-check %s" % (
            digest, verdict)
    try:
        check_measured_table(digest, after, args.baseline)
    except MeasurementMismatch as mismatch:
        text = str(mismatch)
        named = [digest, preview.digests_of(dumpfile.read(after))["sha256"], checks.BOARD_NAMES[args.code],
                 product_names(args.baseline)]
        expect(all(part in text for part in named), "the mismatch's message does not name %s:\n%s"
               % ([part for part in named if part not in text], text))
        return "the late trigger is caught:\n%s\nboard-check %s" % (text, verdict)
    raise Failure("PCR1 attests the table Linux reads (SHA-256 %s), though the trigger came at ReadyToBoot, "
                  "after the measurement" % digest)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--image", required=True, help="the flash image to boot")
    parser.add_argument("--guest", required=True, help="folder of the prepared Linux guest")
    parser.add_argument("--out", required=True, help="folder for the logs, the dump and the event log")
    parser.add_argument("--scenario", choices=("rewrite", "no-driver", "late-trigger"), default="rewrite")
    parser.add_argument("--code", type=int, required=True, choices=sorted(checks.BOARD_NAMES))
    parser.add_argument("--baseline", help="after.bin of the measured boot without the driver")
    parser.add_argument("--preview", required=True, help="smbios_preview, for the reference values")
    parser.add_argument("--timeout", type=int, default=180)
    args = parser.parse_args()
    if args.scenario != "no-driver" and not args.baseline:
        parser.error("--baseline is needed to compare the table")
    plan = boot.BootPlan(code=args.code, timeout=args.timeout)
    out = os.path.abspath(args.out)
    # A test runner's TERM ends the boot through the finally blocks, swtpm with it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("tpm_test: terminated"))
    try:
        with software_tpm.started(out + ".tpm") as devices:
            result = flash_boot.run(plan, args.image, args.guest, out, devices=devices)
    except software_tpm.TpmError as error:
        print("FAIL: no TPM for the boot: %s" % error)
        return 1
    try:
        said = check(args, plan, result)
    except (Failure, smbios_dump.DumpError, dumpfile.DumpError, preview.PreviewError) as failure:
        print("FAIL: %s\n  boot took %.1f s; logs in %s" % (failure, result.seconds, out))
        return 1
    os.remove(result.trace_log)
    print("PASS: code %d, %s, with a TPM, boot took %.1f s: %s" % (args.code, args.scenario, result.seconds, said))
    return 0


if __name__ == "__main__":
    sys.exit(main())
