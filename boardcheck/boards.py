"""Our board variants and what the driver makes of a table for each.

BOARD_NAMES is the driver's board-name table (smbios/) as the host tests read
it back from the preview's build (smbios_preview --names); a strap code
without a name is not a board we ship, and the driver leaves such a table as
it is.

variant_table is the driver's rewrite as the board check needs it: string 2
of every System Information (type 1) and Baseboard Information (type 2)
structure replaced by the variant's name, where the structure has a second
string, a handle the driver's walk reaches (up to End-of-Table's) and the
result fits the driver's 406-byte working copy (the driver skips any other).
Run over the table Linux reads, it gives the table each variant's firmware
publishes from the same board, whichever variant wrote the table read: the
driver replaces string 2 by position whatever it held."""

import struct

from . import dumpfile

BOARD_NAMES = {0: "KP5VRA-E", 1: "KP5VRC-E", 2: "KP5VRA", 4: "KP5VRA-TE", 6: "KP5VRA-T", 8: "KP5VRA-E-WDN"}
STRAP_CODES = range(16)
RENAMED_TYPES = (1, 2)
PRODUCT_NAME_OFFSET = 5  # the Product Name field (a string number) in types 1 and 2
WORKING_COPY = 406       # the driver's copy of one structure, strings included


def code_of(name):
    """The strap code whose variant is named `name`, or None: none of ours."""
    return next((code for code, board in BOARD_NAMES.items() if board == name), None)


def strings_of(structure):
    """The structure's strings, in order (bytes)."""
    return structure[structure[1]:-1].split(b"\0")[:-1]


def product_name(structure):
    """The string the structure's Product Name field names (latin-1), "" for
    number 0, None when the number names no string or the field lies past
    the structure's Length."""
    if structure[1] <= PRODUCT_NAME_OFFSET:
        return None
    number, strings = structure[PRODUCT_NAME_OFFSET], strings_of(structure)
    if number == 0:
        return ""
    return strings[number - 1].decode("latin-1") if number <= len(strings) else None


def renamed_structure(structure, name):
    """`structure` as the driver leaves it with the variant named `name`."""
    strings = strings_of(structure)
    if structure[0] not in RENAMED_TYPES or len(strings) < 2:
        return structure
    strings[1] = name.encode("latin-1")
    rewritten = structure[:structure[1]] + b"".join(s + b"\0" for s in strings) + b"\0"
    return rewritten if max(len(structure), len(rewritten)) <= WORKING_COPY else structure


def variant_table(dump, code):
    """The table of `dump` as the driver leaves it for strap `code`; the same
    table for a code without a name."""
    name = BOARD_NAMES.get(code)
    if name is None:
        return dump.table
    last = dumpfile.LAST_HANDLE if dump.end_of_table is None else dump.end_of_table  # where the walk stops
    return b"".join(renamed_structure(s, name) if handle_of(s) <= last else s for s in dump.structures)


def handle_of(structure):
    return struct.unpack_from("<H", structure, 2)[0]


def renamed(dump):
    """The dump's type 1 and type 2 structures, in table order."""
    return [s for s in dump.structures if dumpfile.type_of(s) in RENAMED_TYPES]
