"""Reads a binary SMBIOS table dump (entry point in the first 32 bytes, table
address 32, structures after it), independently of the firmware's code."""

import dataclasses
import struct

TABLE_OFFSET = 32
END_OF_TABLE = 127


class DumpError(Exception):
    pass


@dataclasses.dataclass
class Structure:
    type: int
    handle: int
    raw: bytes           # the whole structure, strings and closing zero pair included

    @property
    def length(self):
        return self.raw[1]

    @property
    def formatted(self):
        return self.raw[:self.length]

    @property
    def strings(self):
        area = self.raw[self.length:-2]
        if not area or area == b"\0":
            return []
        return area.split(b"\0")

    def string(self, number):
        """String `number` (from 1); None for 0 or a number past the set."""
        strings = self.strings
        return strings[number - 1] if 0 < number <= len(strings) else None

    def referenced(self, offset):
        """The string that the formatted-area byte at `offset` refers to."""
        return self.string(self.raw[offset]) if offset < self.length else None


@dataclasses.dataclass
class Dump:
    anchor: str          # "_SM_" or "_SM3_"
    version: tuple
    structures: list

    def by_handle(self):
        table = {}
        for structure in self.structures:
            if structure.handle in table:
                raise DumpError("handle 0x%04X appears twice" % structure.handle)
            table[structure.handle] = structure
        return table

    @property
    def end_of_table(self):
        return self.structures[-1]


def _checksum_ok(data):
    return sum(data) % 256 == 0


def parse(data):
    if len(data) < TABLE_OFFSET:
        raise DumpError("dump shorter than its entry point area")
    if data[:5] == b"_SM3_":
        length = data[6]
        if not _checksum_ok(data[:length]):
            raise DumpError("3.0 entry point checksum")
        limit, address = struct.unpack_from("<IQ", data, 12)
        anchor, version = "_SM3_", (data[7], data[8])
    elif data[:4] == b"_SM_":
        length = data[5]
        if not _checksum_ok(data[:length]) or data[16:21] != b"_DMI_" or not _checksum_ok(data[16:31]):
            raise DumpError("2.x entry point checksum")
        limit, address = struct.unpack_from("<HI", data, 22)
        anchor, version = "_SM_", (data[6], data[7])
    else:
        raise DumpError("no SMBIOS anchor")
    if address != TABLE_OFFSET:
        raise DumpError("table address %#x, not %d" % (address, TABLE_OFFSET))
    table = data[TABLE_OFFSET:TABLE_OFFSET + limit]
    structures = []
    offset = 0
    while True:
        if offset + 4 > len(table):
            raise DumpError("table ends without End-of-Table")
        kind, length, handle = struct.unpack_from("<BBH", table, offset)
        if length < 4:
            raise DumpError("structure at %d has Length %d" % (offset, length))
        end = table.find(b"\0\0", offset + length)
        if end < 0:
            raise DumpError("structure at %d has no closing zero pair" % offset)
        structures.append(Structure(kind, handle, bytes(table[offset:end + 2])))
        offset = end + 2
        if kind == END_OF_TABLE:
            return Dump(anchor, version, structures)


def read(path):
    with open(path, "rb") as handle:
        return parse(handle.read())
