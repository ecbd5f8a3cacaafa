#!/usr/bin/env python3
"""Shows what the driver will do to a board's SMBIOS table before it is
flashed: runs the driver's own trigger notification (smbios_preview, the
image's sources built for the host) over the structures of a dump taken
with `dmidecode --dump-bin`, writes the table as the driver leaves it in the
same format, and prints the product names and fwupd's hardware IDs before and
after, and each variant's reference value for PCR1: the digests EDK II's
SMBIOS measurement extends for the table as it is and as the driver leaves
it (reference_values gives them to other tools). Without --code it does this
for every strap code that has a board name. It also tells what the walk
costs at boot: the driver probes every handle up to End-of-Table (up to
65535 on a table without one) and reads the straps four times a probe.

With --survey it takes many dumps and prints one row each: the machine, what
string 2 feeds in each System and Baseboard structure and what the driver
does to it, and the walk's cost."""

import argparse
import dataclasses
import datetime
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import fields  # noqa: E402
import hwids  # noqa: E402
from boardcheck import dumpfile, measurement  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RENAMED_TYPES = (1, 2)
PORT_READ_SECONDS = (1e-6, 2e-6)  # a strap port read on a target board, fastest and slowest


class PreviewError(Exception):
    pass


@dataclasses.dataclass
class Walk:
    """What one run of the driver's walk cost, as the preview counted it."""
    probes: int
    port_reads: int

    def boot_time(self):
        """The port reads' time at each of PORT_READ_SECONDS, as "A to B s"."""
        low, high = (self.port_reads * each for each in PORT_READ_SECONDS)
        if high < 0.1:
            return "%.3g to %.3g ms" % (low * 1e3, high * 1e3)
        return "%.2f to %.2f s" % (low, high)

    def describe(self):
        return "%s probes, %s strap port reads: %s of boot time at 1 to 2 µs a port read" % (
            format(self.probes, ","), format(self.port_reads, ","), self.boot_time())


def board_names(program):
    lines = _run(program, ["--names"]).stdout.decode().split()
    return {int(code): name for code, name in zip(lines[::2], lines[1::2])}


def _run(program, arguments, data=b""):
    run = subprocess.run([program] + arguments, input=data, capture_output=True)
    if run.returncode != 0:
        raise PreviewError(run.stderr.decode(errors="replace").strip() or "smbios_preview failed")
    return run


def rewrite(program, dump, code):
    """(after-dump, its parse, Walk): the dump as the driver leaves it with the
    straps presenting `code`, and what the walk cost."""
    run = _run(program, [str(code)], dump.table)
    words = run.stderr.decode(errors="replace").split()
    if len(words) != 3 or words[0] != "walk":
        raise PreviewError("smbios_preview did not report its walk: %r" % run.stderr)
    after = dumpfile.build(dump, run.stdout)
    return after, dumpfile.parse(after), Walk(int(words[1]), int(words[2]))


def digests_of(dump):
    """What EDK II's SMBIOS measurement extends into PCR1 for the dump's table."""
    return measurement.table_digests(dump.table, dump.major_minor)


def reference_values(program, dump, codes):
    """Each variant's reference value for PCR1: {None: digests of the table as
    it is (no driver), code: digests of the table the driver leaves with the
    straps presenting code, ...} for each of `codes`. `dump` is a dump's bytes
    (as `dmidecode --dump-bin` writes them) or a parsed dumpfile.Dump; digests
    are measurement.table_digests's, {"sha256": hex, "sha384": hex}: what EDK
    II's SMBIOS measurement (with its filter) extends into PCR1 of that bank.
    Raises dumpfile.DumpError for bytes that are not a dump and PreviewError
    when the driver's run fails."""
    if isinstance(dump, (bytes, bytearray)):
        dump = dumpfile.parse(dump)
    values = {None: digests_of(dump)}
    for code in codes:
        values[code] = digests_of(rewrite(program, dump, code)[1])
    return values


def print_reference_values(tables, values, names):
    """The reference values, a row per variant (None: the table as it is), and
    where EDK II's own result on one of `tables` would not be defined."""
    print("Reference values for PCR1 (the SMBIOS table's EV_EFI_HANDOFF_TABLES event)")
    print("%-4s  %-12s  %-64s  %s" % ("Code", "Board name", "SHA-256", "SHA-384"))
    for code, digests in values.items():
        label = "%-4s  %-12s" % ("", "before") if code is None else "%4d  %-12s" % (code, names.get(code, "(none)"))
        print("%s  %s  %s" % (label, digests["sha256"], digests["sha384"]))
    print("note: as EDK II's SMBIOS measurement hashes the table, after its filter (serials, asset tags, UUID "
          "blanked); firmware with another filter measures other values")
    for line in dict.fromkeys(c for table, version in tables for c in measurement.caveats(table, version)):
        print("note: " + line)


def walk_of(walks):
    """The one walk of several runs over one table: the straps never change
    where the walk stops."""
    if len(set(map(dataclasses.astuple, walks))) != 1:
        raise PreviewError("the walk cost differs between strap codes: %s" % walks)
    return walks[0]


def describe_walk(dump, walk):
    if dump.end_of_table is None:
        return ["note: the table has no End-of-Table structure (its %s bytes end between structures): the "
                "driver walks it as it is, probing every handle up to %d" % (format(len(dump.table), ","),
                                                                            dumpfile.LAST_HANDLE),
                "Walk without End-of-Table: " + walk.describe()]
    return ["Walk to End-of-Table at 0x%04X: %s" % (dump.end_of_table, walk.describe())]


def renamed(dump):
    return [s for s in dump.structures if s[0] in RENAMED_TYPES]


def print_fields(dump):
    print("What string 2 feeds (the driver replaces string 2, whichever field points at it)")
    print("%-4s  %-6s  %-22s  %s" % ("Type", "Handle", "String 2", "Fields it feeds"))
    warnings = []
    for structure in renamed(dump):
        strings = fields.strings_of(structure)
        fed, warning = fields.assessment(structure)
        second = strings[1].decode("latin-1") if len(strings) > 1 else "-"
        print("%4d  0x%04X  %-22s  %s" % (structure[0], dumpfile.handle_of(structure), second, fed))
        if warning:
            warnings.append("warning: type %d 0x%04X: %s" % (structure[0], dumpfile.handle_of(structure), warning))
    for line in warnings:
        print(line)


def _strings(structure):
    count = len(fields.strings_of(structure))
    return "%d string%s" % (count, "" if count == 1 else "s")


def print_one_code(before, after, code, name, before_ids, after_ids):
    print("Strap code %d  ->  board name %s" % (code, name or "(none: the table stays as it was)"))
    print("%-4s  %-6s  %-22s  %-22s  %s" % ("Type", "Handle", "Product name before", "Product name after",
                                           "Structure"))
    new = {dumpfile.handle_of(s): s for s in after.structures}
    for structure in renamed(before):
        changed = new[dumpfile.handle_of(structure)]
        print("%4d  0x%04X  %-22s  %-22s  %s" % (
            structure[0], dumpfile.handle_of(structure), fields.product_name(structure),
            fields.product_name(changed), "rewritten" if changed != structure else
            "unchanged (%d bytes, %s)" % (len(structure), _strings(structure))))
    print()
    print_id_changes(before_ids, after_ids)


def id_changes(before_ids, after_ids):
    """fwupd's IDs after, split into those that changed, (was, now, kind),
    and those that stayed, (guid, kind)."""
    old = {kind: guid for guid, kind in before_ids}
    moved = [(old.get(f), g, f) for g, f in after_ids if old.get(f) != g]
    kept = [(g, f) for g, f in after_ids if old.get(f) == g]
    return moved, kept


def print_id_changes(before_ids, after_ids):
    """Each of fwupd's IDs after, as it changed or stayed."""
    moved, kept = id_changes(before_ids, after_ids)
    print("Hardware IDs (computed by fwupd: fwupdtool hwids): %d change, %d stay" % (len(moved), len(kept)))
    for was, now, kind in moved:
        print("  change  {%s} -> {%s}  %s" % (was or "(none)", now, kind))
    for guid, kind in kept:
        print("  stay    {%s}  %s" % (guid, kind))


def print_all_codes(before, results, names, before_ids):
    columns = renamed(before)
    print("%-4s  %-12s  " % ("Code", "Board name") + "  ".join(
        "%-18s" % ("0x%04X (type %d)" % (dumpfile.handle_of(s), s[0])) for s in columns) + "  IDs changed")
    print(("%-4s  %-12s  " % ("", "before") + "  ".join("%-18s" % fields.product_name(s) for s in columns)).rstrip())
    for code, (after, ids) in results.items():
        new = {dumpfile.handle_of(s): s for s in after.structures}
        moved = len(id_changes(before_ids, ids)[0])
        print("%4d  %-12s  " % (code, names[code]) + "  ".join(
            "%-18s" % fields.product_name(new[dumpfile.handle_of(s)]) for s in columns) +
            "  %d of %d" % (moved, len(ids)))
    untouched = [s for s in columns if all(s in after.structures for after, _ in results.values())]
    if untouched:
        print("Left as they were for every code: " + ", ".join("0x%04X (type %d, %d bytes, %s)" % (
            dumpfile.handle_of(s), s[0], len(s), _strings(s)) for s in untouched))
    print()
    print_ids_per_code(results, names, before_ids)


def print_ids_per_code(results, names, before_ids):
    print("Hardware IDs per code (computed by fwupd: fwupdtool hwids)")
    stay = [(g, f) for g, f in before_ids if all((g, f) in ids for _, ids in results.values())]
    print("The same for every code (%d):" % len(stay))
    for guid, kind in stay:
        print("  {%s}  %s" % (guid, kind))
    blocks = [("Before (the dump as it is)", before_ids, [])]
    blocks += [("Code %d, %s" % (code, names[code]), ids, id_changes(before_ids, ids)[1])
               for code, (_, ids) in results.items()]
    for title, ids, kept in blocks:
        rest = [(g, f) for g, f in ids if (g, f) not in stay]
        print(title + ":" + ("" if rest else " no others"))
        for guid, kind in rest:
            print("  {%s}  %s%s" % (guid, kind, "  (as before)" if (guid, kind) in kept else ""))


def outcome(structure, renamed_for, names, past_end):
    """(category, text) of what the driver does to a type 1 or 2 structure
    over the named codes: "product" (string 2 is the product field alone),
    "other" (string 2 feeds another field, or more than the product field)
    or "skipped", with why."""
    fed, _ = fields.assessment(structure)
    product = fields.PRODUCT_FIELD[structure[0]][1]
    category = "product" if fed == product else "other"
    renamed = "renamed" if category == "product" else "%s renamed" % fed
    if len(renamed_for) == len(names):
        return category, renamed
    reasons = ["its handle is past End-of-Table's, where the walk stops"] if past_end else sorted(
        {fields.skip_reason(structure, names[code].encode()) or "reason not known"
         for code in names if code not in renamed_for})
    skipped = "skipped: " + "; ".join(reasons)
    if not renamed_for:
        return "skipped", skipped
    return category, "%s for codes %s, %s for the others" % (
        renamed, ", ".join(map(str, sorted(renamed_for))), skipped)


def survey_row(program, path, names):
    """(markdown row, [category of each type 1 and 2 structure], Walk) of one dump."""
    name = os.path.basename(path).replace(".dump.bin", "")
    try:
        dump = dumpfile.read(path)
    except (OSError, dumpfile.DumpError) as error:
        return "| %s | refused: %s | | | | | | |" % (name, str(error).replace("|", "\\|")), [], None
    runs = {code: rewrite(program, dump, code) for code in names}
    walk = walk_of([w for _, _, w in runs.values()])
    system = next((s for s in dump.structures if s[0] == 1), None)
    machine = "%s %s" % (fields.field_string(system, 4), fields.field_string(system, 5)) if system else "(no type 1)"
    cells, categories = [], []
    for structure in renamed(dump):
        handle = dumpfile.handle_of(structure)
        changed = {code for code, (_, after, _) in runs.items()
                   if {dumpfile.handle_of(s): s for s in after.structures}[handle] != structure}
        category, text = outcome(structure, changed, names, handle >= dump.probes)
        categories.append(category)
        second = fields.strings_of(structure)[1:2]
        fed = "string 2 %r feeds %s" % (second[0].decode("latin-1"), fields.assessment(structure)[0]) \
            if second else "no string 2"
        cells.append("%d 0x%04X: %s; %s" % (structure[0], handle, fed, text))
    end = "none" if dump.end_of_table is None else "0x%04X" % dump.end_of_table
    row = "| %s | %s | %s | %s | %s | %s | %s | %s |" % (
        name, machine.replace("|", "\\|"), dump.version,
        "<br>".join(cells) or "none", end, format(walk.probes, ","), format(walk.port_reads, ","),
        walk.boot_time())
    return row, categories, walk


def survey(program, paths):
    """One markdown row per dump, then the counts and the spread of the walk's cost."""
    names = board_names(program)
    print("Each type 1 and 2 structure under the named strap codes %s; boot time at 1 to 2 µs a strap port read."
          % ", ".join(map(str, sorted(names))))
    print()
    print("| Dump | Machine (type 1) | SMBIOS | Type, handle: what string 2 feeds; what the driver does "
          "| End-of-Table | Probes | Port reads | Boot time |")
    print("|---|---|---|---|---|---:|---:|---|")
    categories, walks = [], []
    for path in paths:
        row, kinds, walk = survey_row(program, path, names)
        print(row)
        categories += kinds
        if walk:
            walks.append((walk, os.path.basename(path)))
    print()
    print("%d type 1 and 2 structures in %d dumps: %d get their product field renamed, %d another field "
          "(or more than it), %d are skipped." % (len(categories), len(walks), categories.count("product"),
                                                  categories.count("other"), categories.count("skipped")))
    if len(walks) < len(paths):
        print("%d of %d dumps refused (above)." % (len(paths) - len(walks), len(paths)))
    if not walks:
        return
    (least, first), (most, last) = min(walks, key=lambda w: w[0].probes), max(walks, key=lambda w: w[0].probes)
    print("The walk: from %s probes, %s (%s), to %s probes, %s (%s)." % (
        format(least.probes, ","), least.boot_time(), first, format(most.probes, ","), most.boot_time(), last))


def preview_one(args):
    try:
        before = dumpfile.read(args.dumps[0])
    except (OSError, dumpfile.DumpError) as error:
        print("preview: %s: %s" % (args.dumps[0], error), file=sys.stderr)
        return 2
    try:
        names = board_names(args.program)
        codes = [args.code] if args.code is not None else sorted(names)
        before_ids = hwids.for_dump(before)
        results, files, walks, values = {}, {}, [], {None: digests_of(before)}
        for code in codes:
            files[code], after, walk = rewrite(args.program, before, code)
            results[code] = (after, hwids.for_dump(after))
            values[code] = digests_of(after)
            walks.append(walk)
        walk = walk_of(walks)
    except (OSError, PreviewError, dumpfile.DumpError, hwids.HardwareIdError) as error:
        print("preview: %s" % error, file=sys.stderr)
        return 1

    folder = os.path.abspath(args.out or os.path.join(
        ROOT, "out", "preview-" + datetime.datetime.now().strftime("%Y%m%d-%H%M%S")))
    os.makedirs(folder, exist_ok=True)
    for code, data in files.items():
        with open(os.path.join(folder, "code%d.bin" % code), "wb") as handle:
            handle.write(data)

    print("Dump %s: %s" % (args.dumps[0], before.describe()))
    for line in describe_walk(before, walk):
        print(line)
    print()
    print_fields(before)
    print()
    if args.code is not None:
        after, ids = results[args.code]
        print_one_code(before, after, args.code, names.get(args.code), before_ids, ids)
    else:
        print_all_codes(before, results, names, before_ids)
    print()
    print_reference_values([(d.table, d.major_minor) for d in [before] + [a for a, _ in results.values()]],
                           values, names)
    print()
    print("After-dumps (dmidecode --from-dump reads them): %s/%s" % (
        folder, "code%d.bin" % codes[0] if len(codes) == 1 else "code{%s}.bin" % ",".join(map(str, codes))))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("dumps", nargs="+", metavar="dump",
                        help="an SMBIOS dump as dmidecode --dump-bin writes it (several with --survey)")
    parser.add_argument("--code", type=int, choices=range(16), help="one strap code (default: every named code)")
    parser.add_argument("--out", help="folder for the after-dumps, codeN.bin (default: out/preview-<time>)")
    parser.add_argument("--survey", action="store_true", help="one row per dump; writes no after-dump")
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "preview", "smbios_preview"))
    args = parser.parse_args()
    if not args.survey:
        if len(args.dumps) > 1:
            parser.error("one dump at a time, or --survey")
        return preview_one(args)
    if args.code is not None or args.out:
        parser.error("--survey takes neither --code nor --out")
    try:
        survey(args.program, args.dumps)
    except (OSError, PreviewError, dumpfile.DumpError) as error:
        print("preview: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
