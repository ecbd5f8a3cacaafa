"""What EDK II's SMBIOS measurement extends into PCR1. At ReadyToBoot its
SmbiosMeasurementDxe (EDK II 2022.11) copies the published table (the 3.0
one, through End-of-Table, when the SMBIOS service reports version 3 or later
and a 3.0 entry point is published, else the 2.x one, as long as its entry
point says), blanks the fields that tell units of one
model apart (serials, asset tags, part numbers, the UUID, counters) and logs
one event whose digest, in every PCR bank, is the hash of that filtered copy.
The table is the one Linux hands back in /sys/firmware/dmi/tables/DMI: the
structures through End-of-Table.

How the filter treats each structure:
- types in ZEROED_TYPES and every OEM type (FIRST_OEM_TYPE and up): every
  byte after the 4-byte header (type, Length, handle) is zeroed, the string
  set and its closing zero pair included; the size stays.
- types in FILTERED_FIELDS: each field that lies wholly within the header's
  Length is zeroed; a field past the Length is left alone. Before a string
  field's number is zeroed, the string it names is overwritten with as many
  spaces as it has bytes. Number 0 names no string. A number beyond the
  strings present names the last string (EDK II's lookup stops there).
- every other type is measured as it is.

EDK II counts strings as its own walk finds them, and that walk gives up at a
string as long as its limit (STRING_LIMIT_BEFORE_2_7 bytes when the SMBIOS
service reports a version below 2.7; no table reaches the later limits):
from that structure on the table is measured unfiltered. Where EDK II's own
result is not defined (a structure cut off by the table's end or with a
Length below 4, a string field that names a string in a structure without
strings) `caveats` says so and the value here takes the bytes as described
there."""

import collections
import hashlib

STRING, NUMBER = "string", "number"
Field = collections.namedtuple("Field", "offset size kind name")

# The fields blanked per structure type, in the order the filter takes them.
FILTERED_FIELDS = {
    1: [Field(0x07, 1, STRING, "Serial Number"), Field(0x08, 16, NUMBER, "UUID"),
        Field(0x18, 1, NUMBER, "Wake-up Type")],
    2: [Field(0x07, 1, STRING, "Serial Number"), Field(0x0A, 1, STRING, "Location in Chassis")],
    3: [Field(0x07, 1, STRING, "Serial Number"), Field(0x08, 1, STRING, "Asset Tag")],
    4: [Field(0x20, 1, STRING, "Serial Number"), Field(0x21, 1, STRING, "Asset Tag"),
        Field(0x22, 1, STRING, "Part Number"), Field(0x23, 1, NUMBER, "Core Count"),
        Field(0x24, 1, NUMBER, "Core Enabled"), Field(0x25, 1, NUMBER, "Thread Count"),
        Field(0x2A, 2, NUMBER, "Core Count 2"), Field(0x2C, 2, NUMBER, "Core Enabled 2"),
        Field(0x2E, 2, NUMBER, "Thread Count 2"), Field(0x11, 1, NUMBER, "Voltage"),
        Field(0x16, 2, NUMBER, "Current Speed")],
    17: [Field(0x18, 1, STRING, "Serial Number"), Field(0x19, 1, STRING, "Asset Tag"),
         Field(0x1A, 1, STRING, "Part Number")],
    22: [Field(0x07, 1, STRING, "Serial Number"), Field(0x10, 2, NUMBER, "SBDS Serial Number"),
         Field(0x12, 2, NUMBER, "SBDS Manufacture Date")],
    23: [Field(0x05, 2, NUMBER, "Reset Count")],
    27: [Field(0x0C, 2, NUMBER, "Nominal Speed")],
    39: [Field(0x08, 1, STRING, "Serial Number"), Field(0x09, 1, STRING, "Asset Tag Number"),
         Field(0x0A, 1, STRING, "Model Part Number")],
}
# Zeroed after the header: Group Associations, Event Log, 32-Bit Memory Error,
# BIS Entry Point, 64-Bit Memory Error.
ZEROED_TYPES = frozenset({11, 15, 18, 31, 33})
FIRST_OEM_TYPE = 128
HEADER_SIZE = 4
STRING_LIMIT_BEFORE_2_7 = 64
BANKS = ("sha256", "sha384")   # the PCR banks we report

Walked = collections.namedtuple("Walked", "offset size strings")  # strings: [(table offset, length)]
Stop = collections.namedtuple("Stop", "why undefined")  # undefined: EDK II's own result from there is not


def string_limit(version):
    """The string length at which EDK II's walk gives up, for the SMBIOS
    version (major, minor) its table service reports; None: no limit a table
    can reach (2.7 and later, or the version not known)."""
    return STRING_LIMIT_BEFORE_2_7 if version is not None and tuple(version) < (2, 7) else None


def walk(table, version=None):
    """(the structures EDK II's filter walks, [Walked]; the Stop before the
    table's end, or None). Strings are counted as EDK II counts them: a zero
    byte right after the formatted area is passed over when a string follows
    it. Reads nothing past the table."""
    found, offset, limit = [], 0, string_limit(version)
    while offset < len(table):
        if offset + HEADER_SIZE > len(table):
            return found, Stop("the table ends %d bytes into a structure header" % (len(table) - offset), True)
        where = "the structure at table offset %d (type %d)" % (offset, table[offset])
        if table[offset + 1] < HEADER_SIZE:
            return found, Stop(where + " has a Length below 4", True)
        position, strings = offset + table[offset + 1], []
        while True:
            if position + 2 > len(table):
                return found, Stop(where + " runs past the table's end", True)
            if table[position] == 0 and table[position + 1] == 0:
                break
            if table[position] == 0:
                position += 1    # the zero that ends the string before
            end = table.find(b"\0", position, len(table) if limit is None else position + limit)
            if end < 0:
                if limit is None or position + limit > len(table):
                    return found, Stop(where + " runs past the table's end", True)
                return found, Stop(where + " has a string of %d bytes or more" % limit, False)
            strings.append((position, end - position))
            position = end
        found.append(Walked(offset, position + 2 - offset, strings))
        offset = position + 2
    return found, None


def _filter(out, structure):
    """Filters one walked structure of `out` in place; returns the string
    fields that name a string in a structure without strings."""
    start, kind, length = structure.offset, out[structure.offset], out[structure.offset + 1]
    if kind >= FIRST_OEM_TYPE or kind in ZEROED_TYPES:
        out[start + HEADER_SIZE:start + structure.size] = bytes(structure.size - HEADER_SIZE)
        return []
    unnamed = []
    for field in FILTERED_FIELDS.get(kind, []):
        if length < field.offset + field.size:
            continue
        number = out[start + field.offset]
        if field.kind == STRING and number:
            if structure.strings:
                at, size = structure.strings[min(number, len(structure.strings)) - 1]
                out[at:at + size] = b" " * size
            else:
                unnamed.append(field)
        out[start + field.offset:start + field.offset + field.size] = bytes(field.size)
    return unnamed


def _filtered(table, version):
    out = bytearray(table)
    structures, stop = walk(table, version)
    unnamed = [(s, field) for s in structures for field in _filter(out, s)]
    return bytes(out), stop, unnamed


def filtered_table(table, version=None):
    """The table (structures through End-of-Table, as Linux hands it back) as
    EDK II's measurement filter leaves it, for an SMBIOS service reporting
    `version` (major, minor). Same length; from a structure the filter's walk
    cannot take on (see walk) everything is left as it is."""
    return _filtered(table, version)[0]


def table_digests(table, version=None):
    """{"sha256": hex, "sha384": hex}: what EDK II's SMBIOS measurement extends
    into PCR1 of each bank for this table."""
    data = filtered_table(table, version)
    return {bank: hashlib.new(bank, data).hexdigest() for bank in BANKS}


def caveats(table, version=None):
    """Where EDK II's own result on this table is not defined or stops short,
    one line each; [] for a sound table."""
    _, stop, unnamed = _filtered(table, version)
    lines = ["type %d 0x%04X: its %s names string %d, but the structure has no strings: EDK II's filter then "
             "writes through a null pointer (an ASSERT in a DEBUG build); the value assumes only the number is "
             "zeroed" % (table[s.offset], int.from_bytes(table[s.offset + 2:s.offset + 4], "little"), field.name,
                         table[s.offset + field.offset]) for s, field in unnamed]
    if stop and stop.undefined:
        lines.append("%s: EDK II's filter has no defined result from there on (it would read past the structure); "
                     "the value takes those bytes as they are" % stop.why)
    elif stop:
        lines.append("%s: EDK II's filter stops there, and the rest of the table is measured unfiltered" % stop.why)
    return lines
