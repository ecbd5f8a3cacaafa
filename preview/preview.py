#!/usr/bin/env python3
"""Shows what the driver will do to a board's SMBIOS table before it is
flashed: runs the driver's own trigger notification (smbios_preview, the
image's sources built for the host) over the structures of a dump taken
with `dmidecode --dump-bin`, writes the table as the driver leaves it in the
same format, and prints the product names and fwupd's hardware IDs before and
after. Without --code it does this for every strap code that has a board
name."""

import argparse
import datetime
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dumpfile  # noqa: E402
import fields  # noqa: E402
import hwids  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RENAMED_TYPES = (1, 2)


class PreviewError(Exception):
    pass


def board_names(program):
    lines = _run(program, ["--names"]).decode().split()
    return {int(code): name for code, name in zip(lines[::2], lines[1::2])}


def _run(program, arguments, data=b""):
    run = subprocess.run([program] + arguments, input=data, capture_output=True)
    if run.returncode != 0:
        raise PreviewError(run.stderr.decode(errors="replace").strip() or "smbios_preview failed")
    return run.stdout


def rewrite(program, dump, code):
    """The dump as the driver leaves it with the straps presenting `code`."""
    after = dumpfile.build(dump, _run(program, [str(code)], dump.table))
    return after, dumpfile.parse(after)


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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("dump", help="an SMBIOS dump as dmidecode --dump-bin writes it")
    parser.add_argument("--code", type=int, choices=range(16), help="one strap code (default: every named code)")
    parser.add_argument("--out", help="folder for the after-dumps, codeN.bin (default: out/preview-<time>)")
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "preview", "smbios_preview"))
    args = parser.parse_args()
    try:
        before = dumpfile.read(args.dump)
    except (OSError, dumpfile.DumpError) as error:
        print("preview: %s: %s" % (args.dump, error), file=sys.stderr)
        return 2
    try:
        names = board_names(args.program)
        codes = [args.code] if args.code is not None else sorted(names)
        before_ids = hwids.for_dump(before)
        results, files = {}, {}
        for code in codes:
            files[code], after = rewrite(args.program, before, code)
            results[code] = (after, hwids.for_dump(after))
    except (OSError, PreviewError, dumpfile.DumpError, hwids.HardwareIdError) as error:
        print("preview: %s" % error, file=sys.stderr)
        return 1

    folder = os.path.abspath(args.out or os.path.join(
        ROOT, "out", "preview-" + datetime.datetime.now().strftime("%Y%m%d-%H%M%S")))
    os.makedirs(folder, exist_ok=True)
    for code, data in files.items():
        with open(os.path.join(folder, "code%d.bin" % code), "wb") as handle:
            handle.write(data)

    print("Dump %s: %s" % (args.dump, before.describe()))
    print()
    print_fields(before)
    print()
    if args.code is not None:
        after, ids = results[args.code]
        print_one_code(before, after, args.code, names.get(args.code), before_ids, ids)
    else:
        print_all_codes(before, results, names, before_ids)
    print()
    print("After-dumps (dmidecode --from-dump reads them): %s/%s" % (
        folder, "code%d.bin" % codes[0] if len(codes) == 1 else "code{%s}.bin" % ",".join(map(str, codes))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
