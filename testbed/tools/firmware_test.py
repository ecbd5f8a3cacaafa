#!/usr/bin/env python3
"""One firmware test: boots OVMF with the driver for one strap code and
checks the outcome with readers independent of the driver: the dump parser
of this folder, `dmidecode --from-dump`, the Shell's `smbiosview` and QEMU's
trace of the strap port reads.

Scenarios:
  rewrite        dump, adapter, driver, trigger, dump (the usual run)
  trigger-first  the trigger is installed before the driver is loaded
  trigger-twice  the trigger is installed twice after the driver is loaded
  adapter-probe  no driver: the adapter's entries are put through bad and good
                 input on the firmware, and the table must end as it began
  register-window  the usual run, and QEMU's memory map taken while the
                 Shell stalls after the trigger must leave the driver's two
                 device-register addresses unassigned on this machine
  no-driver      dumps and smbiosview only: the table must stay as it was
  trigger-withdrawn  the trigger is installed and withdrawn at TPL_NOTIFY, so
                 the driver's notification runs without it, then installed
                 for good: one walk

With --watch-registers every access to the driver's two device registers
(and to the phase mark of trigger-withdrawn) is recorded through QEMU's GDB
stub; reads of the registers are answered with two distinct bytes. Each run
of the handler must read both registers and write them back, A B A, single
bytes, before the walk's first strap read.

With --linux GUEST_DIR the boot ends by starting the Linux guest from the
Shell (after the after-dump); what Linux reports from sysfs and from its own
dmidecode must be the code's name as product and board name (the original
ones for a code without a name or a run without the driver), with the
vendors and the version those of the table before the run.
"""

import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot  # noqa: E402
import linux_guest  # noqa: E402
import smbios_dump  # noqa: E402

# The board names the target boards carry, by strap code; codes not listed
# have no name and must leave the table as it was.
BOARD_NAMES = {0: "KP5VRA-E", 1: "KP5VRC-E", 2: "KP5VRA", 4: "KP5VRA-TE", 6: "KP5VRA-T",
               8: "KP5VRA-E-WDN"}

PRODUCT_NAME_OFFSET = 5  # the Product Name string number in types 1 and 2
PROBE_PORTS = [boot.STRAP_PORT_LOW, boot.STRAP_PORT_LOW, boot.STRAP_PORT_HIGH, boot.STRAP_PORT_HIGH]


# The device registers that the driver reads and writes back on the target.
DEVICE_REGISTERS = (0xF80E1062, 0xF80E10DF)
STALL_STEP = "stall 3000000"
# What a watched boot makes the registers read as: two different bytes, so a
# write-back of the wrong or a stale value shows (the machine itself reads 0).
PRESENTED = {DEVICE_REGISTERS[0]: 0x5A, DEVICE_REGISTERS[1]: 0xA5}
PHASE_MARK = 0xF80E0000  # TestbedTriggerWithdrawn writes its phase here


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def steps_for(scenario):
    if scenario == "rewrite":
        return boot.standard_steps()
    if scenario == "trigger-first":
        return ["straps", "dump before.bin", "smbiosview -t 1", "smbiosview -t 2", "load adapter",
                "trigger", "load driver", "dump after.bin", "smbiosview -t 1", "smbiosview -t 2"]
    if scenario == "trigger-twice":
        steps = boot.standard_steps()
        steps.insert(steps.index("trigger"), "trigger")
        return steps
    if scenario == "adapter-probe":
        return ["straps", "dump before.bin", "smbiosview -t 1", "smbiosview -t 2", "load adapter",
                "probe", "dump after.bin", "smbiosview -t 1", "smbiosview -t 2"]
    if scenario == "register-window":
        steps = boot.standard_steps()
        steps.insert(steps.index("trigger") + 1, STALL_STEP)
        return steps
    if scenario == "trigger-withdrawn":
        return [step if step != "trigger" else "trigger-withdrawn" for step in boot.standard_steps()]
    if scenario == "no-driver":
        return ["straps", "dump before.bin", "smbiosview -t 1", "smbiosview -t 2",
                "dump after.bin", "smbiosview -t 1", "smbiosview -t 2"]
    raise ValueError(scenario)


# ---- the serial log -------------------------------------------------------

ANSI = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]")


def serial_sections(path):
    """The serial log split at the startup script's step markers: a list of
    (step, text printed during it)."""
    with open(path, "rb") as handle:
        text = ANSI.sub("", handle.read().decode("latin-1")).replace("\r", "")
    sections = []
    for part in re.split(r"^testbed-step: ", text, flags=re.M)[1:]:
        step, _, body = part.partition("\n")
        sections.append((step.strip(), body))
    return sections


def smbiosview_products(sections, after):
    """ProductName lines that smbiosview printed for types 1 and 2, before or
    after the driver ran (split at the after-dump)."""
    found = {1: [], 2: []}
    seen_after = False
    for step, body in sections:
        if step.startswith("dump after"):
            seen_after = True
        match = re.match(r"smbiosview -t ([12])$", step)
        if match and seen_after == after:
            found[int(match.group(1))] += re.findall(r"^ProductName: (.*)$", body, flags=re.M)
    return found


# ---- dmidecode -------------------------------------------------------------

def dmidecode_products(path, entry_point):
    result = subprocess.run(["dmidecode", "--from-dump", path], capture_output=True, text=True,
                            errors="replace")
    expect(result.returncode == 0, "dmidecode --from-dump %s failed: %s" % (path, result.stderr))
    version = "SMBIOS 3.0" if entry_point == 64 else "SMBIOS 2."
    expect(version in result.stdout, "dmidecode did not find the %s entry point in %s" % (version, path))
    products = {"System Information": [], "Base Board Information": []}
    for block in result.stdout.split("\n\n"):
        lines = block.strip().splitlines()
        if len(lines) >= 2 and lines[1] in products:
            names = [line.split(":", 1)[1].strip() for line in lines if line.strip().startswith("Product Name:")]
            products[lines[1]] += names
    return products


def dmidecode_complaints(path):
    """What `dmidecode --from-dump` says on stderr about a dump, a line each."""
    result = subprocess.run(["dmidecode", "--from-dump", path], capture_output=True, text=True,
                            errors="replace")
    expect(result.returncode == 0, "dmidecode --from-dump %s failed: %s" % (path, result.stderr))
    return result.stderr.splitlines()


def check_no_new_complaints(before_path, after_path):
    """dmidecode may complain about the after-dump only as often, and about
    what, it complained about the dump before (a firmware quirk stays)."""
    before, new = dmidecode_complaints(before_path), []
    for line in dmidecode_complaints(after_path):
        if line in before:
            before.remove(line)
        else:
            new.append(line)
    expect(not new, "dmidecode complains about %s and not about %s: %s" % (after_path, before_path, new))


# ---- the strap trace --------------------------------------------------------

TRACE_LINE = re.compile(r"memory_region_ops_read .*addr (0x[0-9a-f]+) value (0x[0-9a-f]+) size (\d+) name 'isa-debugcon'")


def strap_reads(path):
    """The reads of the two strap ports, in order; other debug-console ports
    (a DEBUG firmware probes its own at 0x402) are left out."""
    reads = []
    with open(path, errors="replace") as handle:
        for line in handle:
            match = TRACE_LINE.search(line)
            if match and int(match.group(1), 16) in (boot.STRAP_PORT_LOW, boot.STRAP_PORT_HIGH):
                reads.append((int(match.group(1), 16), int(match.group(2), 16), int(match.group(3))))
    return reads


def strap_read_count(path):
    """How many reads of the two strap ports the trace holds: strap_reads's
    number without decoding each line (a walk of 65,280 probes leaves
    261,120 lines), for the demo."""
    pattern = re.compile(rb"memory_region_ops_read .*addr (?:%#x|%#x) value 0x[0-9a-f]+ size \d+ name 'isa-debugcon'"
                         % (boot.STRAP_PORT_LOW, boot.STRAP_PORT_HIGH))
    with open(path, "rb") as handle:
        return len(pattern.findall(handle.read()))


def check_strap_reads(reads, plan, walks, end_of_table_handle):
    """The StrapMark step reads each port once first; after it, each probe
    reads 0x1C0E, 0x1C0E, 0x1C38, 0x1C38, one byte each, for `walks` walks
    over probes 0 to the End-of-Table handle."""
    low, high = boot.strap_bytes(plan.code, plan.noise)
    expect(reads[:2] == [(boot.STRAP_PORT_LOW, low, 1), (boot.STRAP_PORT_HIGH, high, 1)],
           "strap marker reads missing from the trace (is -trace working?): %r" % reads[:2])
    driver_reads = reads[2:]
    probes = walks * (end_of_table_handle + 1)
    expect(len(driver_reads) == 4 * probes,
           "%d strap reads, expected %d (4 per probe, %d walk(s) of %d probes)"
           % (len(driver_reads), 4 * probes, walks, end_of_table_handle + 1))
    value = {boot.STRAP_PORT_LOW: low, boot.STRAP_PORT_HIGH: high}
    for index, (port, read_value, size) in enumerate(driver_reads):
        wanted = PROBE_PORTS[index % 4]
        expect(port == wanted and size == 1 and read_value == value[port],
               "strap read %d (probe %d) was port %#x size %d, expected port %#x size 1"
               % (index, index // 4, port, size, wanted))


# ---- the memory map ----------------------------------------------------------

MTREE_RANGE = re.compile(r"^\s+([0-9a-f]+)-([0-9a-f]+) \(prio (-?\d+), ([^)]*)\): (.*)$")


def system_memory_map(text):
    """The ranges of the flat view that serves the address space "memory"."""
    for view in text.split("FlatView #")[1:]:
        if ' AS "memory", root: system' in view:
            ranges = []
            for line in view.splitlines():
                match = MTREE_RANGE.match(line)
                if match:
                    ranges.append((int(match.group(1), 16), int(match.group(2), 16), match.group(5)))
            return ranges
    raise Failure("no flat view of system memory in the monitor output")


def check_registers_unassigned(monitor_path):
    expect(os.path.exists(monitor_path), "QEMU's monitor was not queried (missing %s)" % monitor_path)
    with open(monitor_path) as handle:
        ranges = system_memory_map(handle.read())
    expect(any(name.startswith("pc.ram") for _, _, name in ranges), "memory map without RAM: %r" % ranges)
    for address in DEVICE_REGISTERS:
        hits = [name for start, end, name in ranges if start <= address <= end]
        expect(not hits, "device register %#x lands in %s on this machine" % (address, hits))


# ---- the device registers ------------------------------------------------------

def write_back_run():
    a, b = DEVICE_REGISTERS
    return [(a, "read", 1, PRESENTED[a]), (b, "read", 1, PRESENTED[b]), (a, "write", 1, PRESENTED[a]),
            (b, "write", 1, PRESENTED[b]), (a, "write", 1, PRESENTED[a])]


def access_listing(entries):
    return "\n  ".join("%s %#x width %d value %s" % (kind, address, width, "??" if value is None else "%#04x" % value)
                       for address, kind, width, value in entries) or "(none)"


def check_register_accesses(accesses, scenario, runs, strap_reads):
    """The recorded accesses must be exactly one write-back per run of the
    handler (for trigger-withdrawn: one in each of its phases, which its marks
    delimit), each before the walk's first strap read, that is right after
    the marker's two reads."""
    expect(accesses is not None, "the register watch failed (see accesses.txt)")
    seen = [(a.address, a.kind, a.width, a.value) for a in accesses]
    if scenario == "trigger-withdrawn":
        marks = [[(PHASE_MARK, "write", 1, phase)] for phase in (1, 2, 3)]
        wanted = marks[0] + write_back_run() + marks[1] + write_back_run() + marks[2]
    else:
        wanted = write_back_run() * runs
    expect(seen == wanted, "register accesses:\n  %s\nexpected:\n  %s"
           % (access_listing(seen), access_listing(wanted)))
    for access in accesses:
        if access.address != PHASE_MARK:
            expect(access.strap_reads_before == 2, "%s: not right after the marker's 2 strap reads"
                   % access.line())
    if scenario == "trigger-withdrawn":
        expect(accesses[-1].strap_reads_before == strap_reads,
               "the walk's strap reads did not all come before the final install returned")


# ---- the table --------------------------------------------------------------

def check_unchanged(before, after):
    old, new = before.by_handle(), after.by_handle()
    expect(len(before.structures) == len(after.structures), "structure count changed")
    expect(sorted(old) == sorted(new), "handles changed: %s" % sorted(set(old) ^ set(new)))
    for handle, structure in old.items():
        expect(new[handle].raw == structure.raw, "structure 0x%04X changed" % handle)


def check_renamed(before, after, name):
    old, new = before.by_handle(), after.by_handle()
    expect(len(before.structures) == len(after.structures), "structure count changed")
    expect(sorted(old) == sorted(new), "handles changed: %s" % sorted(set(old) ^ set(new)))
    expect(after.end_of_table.handle == before.end_of_table.handle, "End-of-Table handle changed")
    renamed = 0
    for handle, structure in old.items():
        changed = new[handle]
        if structure.type not in (1, 2):
            expect(changed.raw == structure.raw, "structure 0x%04X (type %d) changed"
                   % (handle, structure.type))
            continue
        renamed += 1
        expect(changed.formatted == structure.formatted,
               "formatted area of 0x%04X changed" % handle)
        wanted = list(structure.strings)
        wanted[1] = name.encode()
        expect(changed.strings == wanted, "strings of 0x%04X are %r, expected %r"
               % (handle, changed.strings, wanted))
        expect(changed.referenced(PRODUCT_NAME_OFFSET) == name.encode(),
               "Product Name of 0x%04X is not %s" % (handle, name))
    expect(renamed >= 2, "the table held no type 1 and type 2 structures to rename")


def check_same_order(before, after):
    """The handles of `after` in the order `before` has them: a write through
    the by-handle service keeps each structure where it stands."""
    old = [s.handle for s in before.structures]
    new = [s.handle for s in after.structures]
    if new != old:
        at = next((i for i, pair in enumerate(zip(old, new)) if pair[0] != pair[1]), min(len(old), len(new)))
        raise Failure("handles in another order than in the baseline from position %d: %s, baseline %s"
                      % (at, " ".join("0x%04X" % h for h in new[at:at + 4]),
                         " ".join("0x%04X" % h for h in old[at:at + 4])))


def check_testbed_table(before):
    """The table QEMU was asked for: a failure here is the testbed's, not the driver's."""
    products = {s.type: s.referenced(PRODUCT_NAME_OFFSET) for s in before.structures if s.type in (1, 2)}
    expect(products == {1: b"TB-SYS-PRODUCT", 2: b"TB-BOARD-PRODUCT"},
           "before-dump does not hold the testbed's type 1 and 2 strings: %r" % products)
    expect(any(s.type == 11 for s in before.structures), "before-dump lacks the OEM strings")


# ---- what Linux reports ------------------------------------------------------

def check_linux_report(report, before, name):
    """The guest must read the strings of the table before the run, with
    `name` (if any) as product and board name, from sysfs and dmidecode alike."""
    try:
        wanted = linux_guest.expected_report(before, name)
    except linux_guest.ReportError as error:
        raise Failure("no expectation for the guest: %s" % error)
    differences = linux_guest.compare(report, wanted)
    expect(not differences, "Linux reports " + "; ".join(
        "%s %r, expected %r" % difference for difference in differences))


def check(plan, scenario, result, linux=False):
    expect(not result.timed_out, "boot timed out after %d s" % plan.timeout)
    sections = serial_sections(result.serial_log)
    steps = [step for step, _ in sections]
    if linux:
        # The guest powers the machine off, so the script ends at the kernel.
        expect(steps and steps[-1] == linux_guest.KERNEL_STEP,
               "startup script did not reach the kernel; last step: %r" % steps[-1:])
        expect(result.exit_code == 0, "QEMU exited with status %d after the guest" % result.exit_code)
    else:
        expect(steps and steps[-1] == "done", "startup script did not finish; last step: %r" % steps[-1:])
    for name in ("before.bin", "after.bin"):
        expect(name in result.files, "%s was not written to the boot disk" % name)
    before = smbios_dump.read(result.files["before.bin"])
    after = smbios_dump.read(result.files["after.bin"])
    anchor = "_SM3_" if plan.entry_point == 64 else "_SM_"
    expect(before.anchor == anchor and after.anchor == anchor,
           "dumps carry %s/%s, expected %s" % (before.anchor, after.anchor, anchor))
    check_testbed_table(before)
    end_handle = before.end_of_table.handle
    reads = strap_reads(result.trace_log)

    runs_driver = scenario not in ("trigger-first", "adapter-probe", "no-driver")
    name = BOARD_NAMES.get(plan.code) if runs_driver else None
    dmi_before = dmidecode_products(result.files["before.bin"], plan.entry_point)
    dmi_after = dmidecode_products(result.files["after.bin"], plan.entry_point)
    view_after = smbiosview_products(sections, after=True)
    if name is None:
        check_unchanged(before, after)
        expect(dmi_after == dmi_before, "dmidecode sees other product names after")
        expect(view_after == smbiosview_products(sections, after=False) and all(view_after.values()),
               "smbiosview shows other product names after: %r" % view_after)
    else:
        check_renamed(before, after, name)
        for kind, names in dmi_after.items():
            expect(names == [name], "dmidecode shows %s Product Name %r, expected [%r]" % (kind, names, name))
        for kind, names in view_after.items():
            expect(names and all(n == name for n in names),
                   "smbiosview shows type %d ProductName %r, expected %r" % (kind, names, name))
    if scenario == "register-window":
        check_registers_unassigned(os.path.join(result.folder, "monitor.txt"))
    if scenario == "adapter-probe":
        probe = "".join(body for step, body in sections if step == "probe")
        expect("probe: all cases passed" in probe and "probe: FAIL" not in probe,
               "adapter probe failed:\n" + "\n".join(l for l in probe.splitlines() if l.startswith("probe:")))
    if not runs_driver:
        check_strap_reads(reads, plan, walks=0, end_of_table_handle=end_handle)
    else:
        check_strap_reads(reads, plan, walks=1, end_of_table_handle=end_handle)
    if plan.watch:
        check_register_accesses(result.accesses, scenario, 1 if runs_driver else 0, len(reads))
    if linux:
        try:
            report = linux_guest.read_report(result.serial_log)
        except linux_guest.ReportError as error:
            raise Failure("no report from the Linux guest: %s" % error)
        check_linux_report(report, before, name)
    return name


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--efi-dir", required=True, help="folder holding the built .efi images")
    parser.add_argument("--out", required=True, help="folder for the disk, logs and dumps")
    parser.add_argument("--code", type=int, required=True, choices=range(16))
    parser.add_argument("--entry-point", type=int, choices=(32, 64), default=64)
    parser.add_argument("--noise", action="store_true", help="set every non-strap bit of both ports")
    parser.add_argument("--scenario", choices=("rewrite", "trigger-first", "trigger-twice", "register-window",
                                               "adapter-probe", "no-driver", "trigger-withdrawn"),
                        default="rewrite")
    parser.add_argument("--watch-registers", action="store_true",
                        help="record the device-register accesses through QEMU's GDB stub")
    parser.add_argument("--linux", metavar="GUEST_DIR",
                        help="end the boot with the Linux guest prepared in GUEST_DIR")
    parser.add_argument("--timeout", type=int, default=240)
    parser.add_argument("--keep", action="store_true", help="keep the disk image and trace after a pass")
    args = parser.parse_args()
    args.efi_dir, args.out = os.path.abspath(args.efi_dir), os.path.abspath(args.out)

    plan = boot.BootPlan(code=args.code, noise=args.noise, entry_point=args.entry_point,
                         steps=steps_for(args.scenario), timeout=args.timeout)
    if args.scenario == "register-window":
        plan.monitor_query = (STALL_STEP, "info mtree -f")
    if args.watch_registers:
        plan.watch = dict(PRESENTED)
        if args.scenario == "trigger-withdrawn":
            plan.watch[PHASE_MARK] = None
    if args.linux:
        plan.extra_files.update(linux_guest.guest_files(os.path.abspath(args.linux)))
        plan.disk_megabytes = linux_guest.DISK_MEGABYTES
        plan.steps.append(linux_guest.KERNEL_STEP)
    result = boot.run(plan, args.efi_dir, args.out)
    try:
        name = check(plan, args.scenario, result, linux=bool(args.linux))
    except (Failure, smbios_dump.DumpError) as failure:
        print("FAIL: %s\n  boot took %.1f s; logs in %s" % (failure, result.seconds, args.out))
        return 1
    if not args.keep:
        # A passing boot's disk and full strap trace are large and say nothing new.
        for bulky in ("disk.img", "trace.log"):
            os.remove(os.path.join(args.out, bulky))
    print("PASS: code %d (%s), %s, entry point %d%s%s%s; boot took %.1f s"
          % (args.code, name or "table unchanged", args.scenario, args.entry_point,
             ", noisy straps" if args.noise else "", ", Linux agrees" if args.linux else "",
             ", %d register accesses as expected" % len(result.accesses) if plan.watch else "",
             result.seconds))
    for access in result.accesses or []:
        print("  " + access.line())
    return 0


if __name__ == "__main__":
    sys.exit(main())
