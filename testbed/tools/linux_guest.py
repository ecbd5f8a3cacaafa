"""The Linux guest as the last step of a testbed boot: Debian's cloud kernel
started from the UEFI Shell through its EFI stub, with the initramfs of
../linux (built by ../linux/prepare), which prints what Linux reads as the
machine's identity and powers the machine off.

The report is read with ../linux/read-dmi, and compared with what the dumps
taken by the firmware say Linux must see."""

import base64
import binascii
import os
import subprocess

LINUX_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "linux")
PREPARE = os.path.join(LINUX_DIR, "prepare")
READ_DMI = os.path.join(LINUX_DIR, "read-dmi")

# The Shell runs it from fs0:, the boot volume, so the EFI stub finds
# \initrd.img beside the kernel. The guest powers off: no later step runs.
# panic=-1: a guest that panics resets at once, which ends QEMU (-no-reboot)
# rather than leaving it to the timeout.
KERNEL_STEP = "vmlinuz console=ttyS0 initrd=\\initrd.img rdinit=/init panic=-1"
GUEST_FILES = ("vmlinuz", "initrd.img")
# The same command line when the firmware's own boot manager starts the
# kernel given to QEMU with -kernel and -initrd.
KERNEL_ARGUMENTS = "console=ttyS0 rdinit=/init panic=-1"
DISK_MEGABYTES = 64  # the kernel and initramfs together take about 16 MB

# Report keys and where Linux takes each from: (structure type, string
# offset in the formatted area).
SYSFS_SOURCES = {
    "product_name": (1, 5),
    "board_name": (2, 5),
    "sys_vendor": (1, 4),
    "board_vendor": (2, 4),
    "product_version": (1, 6),
}
DMIDECODE_SOURCES = {
    "dmidecode.system-product-name": 1,
    "dmidecode.baseboard-product-name": 2,
}
REPORT_KEYS = tuple(SYSFS_SOURCES) + tuple(DMIDECODE_SOURCES)


class ReportError(Exception):
    pass


def prepare(folder):
    """Builds (or finds cached) vmlinuz and initrd.img in `folder`; returns
    {name on the boot disk: host path}."""
    subprocess.run([PREPARE, folder], check=True, stdout=subprocess.DEVNULL)
    return guest_files(folder)


def guest_files(folder):
    files = {name: os.path.join(folder, name) for name in GUEST_FILES}
    missing = [path for path in files.values() if not os.path.isfile(path)]
    if missing:
        raise FileNotFoundError("Linux guest not prepared (run %s %s): missing %s"
                                % (PREPARE, folder, ", ".join(missing)))
    return files


def read_report(serial_log):
    """The guest's report as {key: [values in the guest's order]}; raises
    ReportError with read-dmi's reason if the log holds no sound report."""
    result = subprocess.run([READ_DMI, serial_log], capture_output=True, text=True, errors="replace")
    if result.returncode != 0:
        raise ReportError(result.stderr.strip() or "read-dmi failed with status %d" % result.returncode)
    report = {}
    for line in result.stdout.splitlines():
        key, _, value = line.partition("=")
        report.setdefault(key, []).append(value)
    return report


def read_block(serial_log, name, what):
    """The lines between @@<name>-BEGIN@@ and @@<name>-END@@; raises
    ReportError unless the log holds exactly one such block, free of the
    guest's error= lines. `what` names the block in the messages."""
    begin, end = "@@%s-BEGIN@@" % name, "@@%s-END@@" % name
    with open(serial_log, "rb") as handle:
        lines = handle.read().decode("latin-1").replace("\r", "").split("\n")
    if lines.count(begin) != 1 or lines.count(end) != 1 or lines.index(begin) > lines.index(end):
        raise ReportError("%d starts and %d ends of %s in the log, expected one each"
                          % (lines.count(begin), lines.count(end), what))
    body = lines[lines.index(begin) + 1:lines.index(end)]
    if any(line.startswith("error=") for line in body):
        raise ReportError("the guest could not give %s: %s" % (what, " ".join(body)))
    return body


def read_base64(serial_log, name, what):
    try:
        return base64.b64decode("".join(read_block(serial_log, name, what)), validate=True)
    except binascii.Error as error:
        raise ReportError("%s is not base64: %s" % (what, error))


def read_dump(serial_log):
    """The table the guest handed back, in the layout of `dmidecode
    --dump-bin`; raises ReportError unless the log holds exactly one whole
    dump."""
    return read_base64(serial_log, "DMI-DUMP", "the dump")


# The keys that carry the product names, which the driver's rewrite changes.
RENAMED_KEYS = ("product_name", "board_name", "dmidecode.system-product-name",
                "dmidecode.baseboard-product-name")


def expected_report(dump, name=None):
    """What Linux must report when it boots on the table of `dump` as the
    driver leaves it for `name`: the strings the structures reference, with
    `name` (if any) as system and board product name. A single type 1 and a
    single type 2 structure, so each key has exactly one value."""
    by_type = {}
    for structure in dump.structures:
        by_type.setdefault(structure.type, []).append(structure)
    for kind in (1, 2):
        if len(by_type.get(kind, [])) != 1:
            raise ReportError("the table holds %d type %d structures, expected one"
                              % (len(by_type.get(kind, [])), kind))
    expected = {}
    for key, (kind, offset) in SYSFS_SOURCES.items():
        value = by_type[kind][0].referenced(offset)
        if value is None:
            raise ReportError("type %d has no string at offset %d for %s" % (kind, offset, key))
        expected[key] = [value.decode("latin-1")]
    for key, kind in DMIDECODE_SOURCES.items():
        expected[key] = expected["product_name" if kind == 1 else "board_name"]
    if name is not None:
        for key in RENAMED_KEYS:
            expected[key] = [name]
    return expected


def compare(report, expected):
    """The keys whose values differ, as (key, got, wanted); empty if the
    report is exactly the expected one (no key missing, none extra)."""
    differences = []
    for key in sorted(set(report) | set(expected), key=key_order):
        got, wanted = report.get(key), expected.get(key)
        if got != wanted:
            differences.append((key, got, wanted))
    return differences


def key_order(key):
    return (REPORT_KEYS.index(key) if key in REPORT_KEYS else len(REPORT_KEYS), key)
