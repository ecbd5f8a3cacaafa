"""The board check: which of our variants a board names, in each type 1 and
type 2 structure of the SMBIOS table its Linux reads, and which one its TPM
attests. Reads only what Linux exports (or copies of it) and what tpm2-tools
reads; changes nothing.

The event log is read by event_log.py, not tpm2_eventlog: a board's Linux
image may lack tpm2-tools, and the reader names the offset where a log is cut
short or holds a digest its header does not list (the tpm label checks it
against tpm2_eventlog on a real log)."""

import argparse
import hashlib
import json
import os
import subprocess
import sys

from . import boards, dumpfile, event_log, measurement

SYSFS_TABLES = "/sys/firmware/dmi/tables"
SYSFS_LOG = "/sys/kernel/security/tpm0/binary_bios_measurements"
SYSFS_TPM = "/sys/class/tpm/tpm0"
EVENT_TYPES = {event_log.HANDOFF_TABLES: "EV_EFI_HANDOFF_TABLES", event_log.HANDOFF_TABLES2: "EV_EFI_HANDOFF_TABLES2"}


class Unreadable(Exception):
    """What the check needs and cannot read; the message says which and why."""


# ---- Reading ----------------------------------------------------------------

def _read_file(path, what):
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except OSError as error:
        raise Unreadable("%s: %s" % (what, error))


def read_table(dmi_dir=None, dump_path=None):
    """(dump, where it came from): a dmidecode --dump-bin file, or the entry
    point and table Linux exports (dmi_dir, default /sys/firmware/dmi/tables)."""
    try:
        if dump_path:
            return dumpfile.parse(_read_file(dump_path, "the SMBIOS dump")), dump_path
        folder = dmi_dir or SYSFS_TABLES
        entry_point = _read_file(os.path.join(folder, "smbios_entry_point"), "the SMBIOS entry point")
        table = _read_file(os.path.join(folder, "DMI"), "the SMBIOS table")
        return dumpfile.from_tables(entry_point, table), folder
    except dumpfile.DumpError as error:
        raise Unreadable("the SMBIOS table: %s" % error)


def _pcr1_from_sysfs(bank):
    try:
        with open(os.path.join(SYSFS_TPM, "pcr-%s" % bank, "1")) as handle:
            return handle.read().strip().lower()
    except OSError:
        return None


def _pcr1_from_tpm2_pcrread(bank):
    try:
        run = subprocess.run(["tpm2_pcrread", "%s:1" % bank], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    for line in run.stdout.splitlines() if run.returncode == 0 else []:
        key, _, value = line.partition(":")
        if key.strip() == "1" and value.strip().lower().startswith("0x"):
            return value.strip()[2:].lower()
    return None


def read_live_pcr1(banks):
    """({bank: hex} of the TPM's PCR1, how it was read) for the banks Linux's
    sysfs or tpm2_pcrread gives; ({}, None) when neither does."""
    values, how = {}, set()
    for bank in banks:
        for reader, name in ((_pcr1_from_sysfs, "sysfs"), (_pcr1_from_tpm2_pcrread, "tpm2_pcrread")):
            value = reader(bank)
            if value:
                values[bank] = value
                how.add(name)
                break
    return values, " and ".join(sorted(how)) or None


def parse_pcr1(texts):
    """{bank: hex} from --pcr1 values, each BANK:HEX or HEX (sha256)."""
    values = {}
    for text in texts:
        bank, _, value = text.rpartition(":")
        bank = bank or "sha256"
        try:
            digest = bytes.fromhex(value.strip().removeprefix("0x"))
        except ValueError:
            raise Unreadable("--pcr1 %r: not a hex digest" % text)
        if bank not in event_log.ALGORITHMS.values() or len(digest) != hashlib.new(bank).digest_size:
            raise Unreadable("--pcr1 %r: not a %s digest" % (text, bank or "known bank's"))
        values[bank] = digest.hex()
    return values


# ---- Findings -----------------------------------------------------------------

def _structure_finding(structure):
    name = boards.product_name(structure)
    return {"type": structure[0], "handle": boards.handle_of(structure), "product_name": name,
            "code": boards.code_of(name)}


def _bank_digests(table, version, banks):
    data = measurement.filtered_table(table, version)
    return {bank: hashlib.new(bank, data).hexdigest() for bank in banks}


def _attested(logged, dump, board, before, measures_table_read):
    """Which variant's table the logged digests are EDK II's measurement of:
    {"code": N or None, "what": text}, or None when none of them. The table
    read comes first (`measures_table_read`: its digests are the logged ones):
    where the driver would change nothing in it, every variant's table is
    that table, and it is `board`'s (None: no one of ours)."""
    def matches(table, version):
        return _bank_digests(table, version, logged) == logged

    if measures_table_read:
        if board is None:
            return {"code": None, "what": "the table Linux reads, which names no one variant of ours"}
        return {"code": board, "what": "code %d's table (%s)" % (board, boards.BOARD_NAMES[board])}
    for code in sorted(boards.BOARD_NAMES):
        if matches(boards.variant_table(dump, code), dump.major_minor):
            return {"code": code, "what": "code %d's table (%s)" % (code, boards.BOARD_NAMES[code])}
    if before and matches(before.table, before.major_minor):
        return {"code": None, "what": "the table before the driver ran (the --before table)"}
    return None


def measured_findings(log, dump, board, before, tpm_pcr1):
    """What the event log says about PCR1 and the SMBIOS table; Unreadable
    for a log that is not whole."""
    try:
        events = event_log.read_log(log)
        algorithms = sorted({a for e in events if e.pcr == 1 for a in e.digests if a in event_log.ALGORITHMS})
        replayed = {event_log.ALGORITHMS[a]: event_log.replay(events, 1, a).hex() for a in algorithms}
        smbios = event_log.smbios_events(events)
    except event_log.LogError as error:
        raise Unreadable("the event log: %s" % error)
    compared = sorted(set(replayed) & set(tpm_pcr1))
    found = {"events": len(events), "pcr1_replayed": replayed, "pcr1_tpm": tpm_pcr1 or None,
             "pcr1_agrees": all(replayed[b] == tpm_pcr1[b] for b in compared) if compared else None,
             "smbios_events": len(smbios), "event": None, "table_read": None, "measures_table_read": None,
             "attests": None, "caveats": measurement.caveats(dump.table, dump.major_minor)}
    if len(smbios) != 1:
        return found
    event = smbios[0]
    logged = {event_log.ALGORITHMS[a]: d.hex() for a, d in event.digests.items() if a in event_log.ALGORITHMS}
    found["event"] = {"offset": event.offset, "type": EVENT_TYPES[event.type], "digests": logged,
                      "banks_not_checked": sorted("%#06x" % a for a in event.digests if a not in event_log.ALGORITHMS)}
    found["table_read"] = _bank_digests(dump.table, dump.major_minor, logged)
    found["measures_table_read"] = bool(logged) and found["table_read"] == logged
    found["attests"] = _attested(logged, dump, board, before, found["measures_table_read"]) if logged else None
    return found


def findings(dump, source, log=None, log_source=None, tpm_pcr1=None, pcr1_source=None, before=None):
    """Everything the check found, as one JSON-ready dictionary."""
    structures = [_structure_finding(s) for s in boards.renamed(dump)]
    names = {s["product_name"] for s in structures}
    agree = len(names) == 1
    code = structures[0]["code"] if agree and structures else None
    return {
        "table": {"source": source, "smbios": dump.version, "entry_point": "3.0" if dump.is_3_0 else "2.x",
                  "structures": len(dump.structures)},
        "structures": structures,
        "names_agree": agree,
        "board": None if code is None else {"code": code, "name": boards.BOARD_NAMES[code]},
        "event_log": log_source,
        "pcr1_source": pcr1_source,
        "measured": None if log is None else measured_findings(log, dump, code, before, tpm_pcr1 or {}),
    }


# ---- Verdict ----------------------------------------------------------------

def _shown(name):
    return "(no string)" if name is None else name


def _named(name, code):
    return "%s (%s)" % (_shown(name), "none of ours" if code is None else "code %d" % code)


def differences(found, expect_code=None):
    """What differs from a board of `expect_code`'s variant (None: from a
    board that names one variant and attests the table it shows), one
    phrase each; [] when nothing does."""
    wanted = boards.BOARD_NAMES.get(expect_code)
    lines = []
    if not found["structures"]:
        lines.append("the table holds no type 1 or type 2 structure")
    if expect_code is None:
        if found["structures"] and not found["names_agree"]:
            lines.append("the structures name " + ", ".join(
                "type %d 0x%04X %s" % (s["type"], s["handle"], _named(s["product_name"], s["code"]))
                for s in found["structures"]))
        elif found["structures"] and found["board"] is None:
            lines.append("the table names %s" % _named(found["structures"][0]["product_name"], None))
    else:
        for s in found["structures"]:
            if s["code"] != expect_code and (wanted is not None or s["code"] is not None):
                lines.append("type %d 0x%04X names %s" % (s["type"], s["handle"],
                                                           _named(s["product_name"], s["code"])))
    measured = found["measured"]
    if measured is None:
        return lines
    if measured["pcr1_agrees"] is False:
        lines.append("replaying the event log gives PCR1 %s, the TPM's is %s" % (
            measured["pcr1_replayed"], measured["pcr1_tpm"]))
    if measured["smbios_events"] != 1:
        lines.append("the event log holds %d SMBIOS events (EV_EFI_HANDOFF_TABLES in PCR1), not one%s" % (
            measured["smbios_events"], ": the TPM attests no table" if not measured["smbios_events"] else ""))
        return lines
    attests = measured["attests"]
    said = attests["what"] if attests else "a table that is none of our variants' of this board"
    if expect_code is not None and (attests is None or attests["code"] != (expect_code if wanted else None)):
        lines.append("the TPM attests %s" % said)
    elif not measured["measures_table_read"]:
        lines.append("the TPM attests %s, not the table Linux reads" % said)
    return lines


def verdict(found, expect_code=None):
    """(exit status 0 or 1, the one line that says so)."""
    wanted = boards.BOARD_NAMES.get(expect_code)
    if expect_code is None:
        what = "the board"
    elif wanted is None:
        what = "code %d (no board of ours: the table as the firmware made it)" % expect_code
    else:
        what = "code %d (%s)" % (expect_code, wanted)
    lines = differences(found, expect_code)
    if lines:
        return 1, "MISMATCH: %s: %s" % (what, "; ".join(lines))
    attested = ", as the TPM attests" if found["measured"] else " (no event log: the TPM is not checked)"
    if expect_code is not None and wanted is None:
        return 0, "PASS: %s: no structure names one of our boards%s" % (what, attested)
    return 0, "PASS: %s: every type 1 and type 2 structure names %s%s" % (
        what, wanted or found["board"]["name"], attested)


# ---- Output -------------------------------------------------------------------

def print_text(found):
    table = found["table"]
    print("SMBIOS %s (%s entry point), %d structures, from %s" % (
        table["smbios"], table["entry_point"], table["structures"], table["source"]))
    print("%-4s  %-6s  %-22s  %s" % ("Type", "Handle", "Product name", "Board"))
    for s in found["structures"]:
        print("%4d  0x%04X  %-22s  %s" % (s["type"], s["handle"], _shown(s["product_name"]),
                                          "none of ours" if s["code"] is None else "code %d" % s["code"]))
    if found["board"]:
        print("Type 1 and type 2 agree: board %s, strap code %d." % (found["board"]["name"], found["board"]["code"]))
    elif found["names_agree"] and found["structures"]:
        print("Type 1 and type 2 agree on a name that is none of our boards'.")
    elif found["structures"]:
        print("Type 1 and type 2 do not agree.")
    measured = found["measured"]
    if measured is None:
        print("No event log (no TPM, or none given): the TPM's attestation is not checked.")
        return
    print()
    print("Event log %s: %d events" % (found["event_log"], measured["events"]))
    for bank, value in measured["pcr1_replayed"].items():
        tpm = (measured["pcr1_tpm"] or {}).get(bank)
        print("PCR1 %s replayed %s%s" % (bank, value, "" if tpm is None else
                                         ", the TPM's (%s) %s" % (found["pcr1_source"],
                                                                  "agrees" if tpm == value else "is " + tpm)))
    if not measured["pcr1_tpm"]:
        print("The TPM's PCR1 was not read (no TPM here, or give --pcr1).")
    event = measured["event"]
    if event is None:
        print("SMBIOS events (EV_EFI_HANDOFF_TABLES in PCR1): %d, expected one." % measured["smbios_events"])
        return
    print("SMBIOS event at offset %#x (%s):" % (event["offset"], event["type"]))
    for bank, value in event["digests"].items():
        print("  %s %s  %s" % (bank, value, "= EDK II's measurement of the table Linux reads"
                               if measured["table_read"][bank] == value else
                               "!= the table Linux reads (%s)" % measured["table_read"][bank]))
    for bank in event["banks_not_checked"]:
        print("  algorithm %s: not checked (no hash for it here)" % bank)
    attests = measured["attests"]
    print("The TPM attests %s." % (attests["what"] if attests else
                                   "none of our variants' tables of this board"))
    for line in measured["caveats"]:
        print("note: " + line)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="board-check", description="Which of our board variants this board names in its SMBIOS table "
        "(type 1 and type 2 product names) and, with an event log, which one its TPM attests. "
        "Exit 0: consistent (with --expect-code, that variant); 1: something differs (one line says what); "
        "2: something needed cannot be read.")
    parser.add_argument("--dmi", metavar="DIR", help="a copy of /sys/firmware/dmi/tables (smbios_entry_point, DMI)")
    parser.add_argument("--dump", metavar="FILE", help="the table as dmidecode --dump-bin writes it")
    parser.add_argument("--event-log", metavar="FILE", help="a copy of " + SYSFS_LOG)
    parser.add_argument("--pcr1", action="append", default=[], metavar="[BANK:]HEX",
                        help="the TPM's PCR1 as read on the board (default bank sha256)")
    parser.add_argument("--before", metavar="FILE",
                        help="the board's table without the driver (dmidecode --dump-bin), to name it when attested")
    parser.add_argument("--expect-code", type=int, choices=boards.STRAP_CODES, metavar="N",
                        help="pass only for strap code N's variant, in every structure and, with a TPM, attested")
    parser.add_argument("--json", action="store_true", help="print the findings as one JSON object")
    args = parser.parse_args(argv)
    if args.dmi and args.dump:
        parser.error("--dmi or --dump, not both")
    live = not (args.dmi or args.dump)
    try:
        dump, source = read_table(args.dmi, args.dump)
        before = read_table(dump_path=args.before)[0] if args.before else None
        log_path = args.event_log or (SYSFS_LOG if live and os.path.exists(SYSFS_TPM) else None)
        log = _read_file(log_path, "the TPM's event log" + (" (as root, with securityfs mounted)" if live else "")) \
            if log_path else None
        tpm_pcr1, pcr1_source = (parse_pcr1(args.pcr1), "given") if args.pcr1 else ({}, None)
        if live and log is not None and not tpm_pcr1:
            tpm_pcr1, pcr1_source = read_live_pcr1(b for b in ("sha1", "sha256", "sha384", "sha512"))
        found = findings(dump, source, log, log_path, tpm_pcr1, pcr1_source, before)
    except Unreadable as error:
        line = "board-check: cannot read %s" % error
        if args.json:
            print(json.dumps({"error": str(error), "exit": 2}))
        print(line, file=sys.stderr)
        return 2
    status, line = verdict(found, args.expect_code)
    found["verdict"] = {"expect_code": args.expect_code, "exit": status, "line": line}
    if args.json:
        print(json.dumps(found, indent=1))
    else:
        print_text(found)
        print()
        print(line)
    return status
