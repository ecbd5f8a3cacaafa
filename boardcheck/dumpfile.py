"""SMBIOS dumps as `dmidecode --dump-bin` writes them: the entry point at the
start of a 32-byte area, its table address set to 32, the structure table
after it. Reading refuses what the preview could not rewrite faithfully;
building a dump for a new table fixes the entry point up for it. A table
whose structures end with the bytes it is given but hold no End-of-Table
structure (as before SMBIOS 2.2, or a dump cut short between structures) is
taken: the driver walks such a table up to the last handle."""

import dataclasses
import struct

TABLE_OFFSET = 32
END_OF_TABLE = 127
LAST_HANDLE = 0xFFFF     # where the driver's walk stops without End-of-Table


class DumpError(Exception):
    pass


@dataclasses.dataclass
class Dump:
    area: bytes          # the 32 bytes before the table, entry point first
    table: bytes         # the structures, through End-of-Table when there is one
    structures: list     # each structure's bytes, strings and closing zero pair included

    @property
    def end_of_table(self):
        """The End-of-Table structure's handle, or None when the table has none."""
        last = self.structures[-1] if self.structures else b"\0"
        return handle_of(last) if type_of(last) == END_OF_TABLE else None

    @property
    def probes(self):
        """The handles the driver's walk probes: 0 through End-of-Table, or every handle."""
        return (LAST_HANDLE if self.end_of_table is None else self.end_of_table) + 1

    @property
    def version(self):
        if self.is_3_0:
            return "%d.%d.%d" % tuple(self.area[7:10])
        return "%d.%d" % (self.area[6], self.area[7])

    @property
    def major_minor(self):
        """(major, minor): the SMBIOS version the entry point gives, as the firmware's table service reports it."""
        return tuple(self.area[7:9]) if self.is_3_0 else tuple(self.area[6:8])

    @property
    def is_3_0(self):
        return self.area.startswith(b"_SM3_")

    @property
    def entry_point(self):
        return self.area[:self.area[6] if self.is_3_0 else self.area[5]]

    def describe(self):
        return "SMBIOS %s, %s entry point, %d structures, table %d bytes" % (
            self.version, "3.0" if self.is_3_0 else "2.x", len(self.structures), len(self.table))


def type_of(structure):
    return structure[0]


def handle_of(structure):
    return struct.unpack_from("<H", structure, 2)[0]


def split(table):
    """The structures of `table` up to and including End-of-Table, or all of
    them when the table ends between structures without one."""
    structures, offset = [], 0
    while offset < len(table):
        if offset + 4 > len(table) or table[offset + 1] < 4:
            raise DumpError("the structure at table offset %d overruns the table or has a Length below 4"
                            % offset)
        end = table.find(b"\0\0", offset + table[offset + 1])
        if end < 0:
            raise DumpError("the structure at table offset %d (type %d) overruns the table: no closing "
                            "zero pair" % (offset, table[offset]))
        structures.append(bytes(table[offset:end + 2]))
        offset = end + 2
        if type_of(structures[-1]) == END_OF_TABLE:
            break
    return structures


def _checksum_ok(data):
    return sum(data) % 256 == 0


def _table_bounds(data):
    """(table length the entry point gives, whether it is exact) after checking the entry point."""
    if data[:5] == b"_SM3_":
        length = data[6]
        if not 0x18 <= length <= TABLE_OFFSET or not _checksum_ok(data[:length]):
            raise DumpError("the 3.0 entry point's length or checksum is wrong")
        limit, address = struct.unpack_from("<IQ", data, 0x0C)
        exact = False        # a maximum: the table may end before it
    elif data[:4] == b"_SM_":
        length = data[5]
        if not 0x1E <= length <= TABLE_OFFSET or not _checksum_ok(data[:length]):  # 0x1E: early 2.1 tables
            raise DumpError("the 2.x entry point's length or checksum is wrong")
        if data[0x10:0x15] != b"_DMI_" or not _checksum_ok(data[0x10:0x1F]):
            raise DumpError("the 2.x entry point's _DMI_ part or its checksum is wrong")
        limit, address = struct.unpack_from("<HI", data, 0x16)
        exact = True
    else:
        raise DumpError("not an SMBIOS dump: no _SM_ or _SM3_ entry point at its start")
    if address != TABLE_OFFSET:
        raise DumpError("the entry point places the table at %#x, not at 32 as dmidecode --dump-bin does"
                        % address)
    return limit, exact


def parse(data):
    if len(data) < TABLE_OFFSET:
        raise DumpError("not an SMBIOS dump: %d bytes, shorter than the entry point's area" % len(data))
    limit, exact = _table_bounds(data)
    held = len(data) - TABLE_OFFSET
    if held < limit and exact:
        raise DumpError("truncated: the entry point gives a table of %d bytes, the file holds %d" % (limit, held))
    if held > limit:
        raise DumpError("the file goes on after the %d-byte table the entry point gives (%d more bytes)"
                        % (limit, held - limit))
    # A 3.0 entry point gives only a maximum; dumps taken through Linux hold the
    # table up to End-of-Table, so a shorter file is truncated only if a
    # structure runs past its end.
    try:
        structures = split(data[TABLE_OFFSET:])
    except DumpError as error:
        if held < limit:
            raise DumpError("truncated: the file holds %d of the up to %d table bytes the entry point gives, "
                            "and %s" % (held, limit, error))
        raise
    if not structures:
        raise DumpError("the table holds no structure")
    size = sum(len(s) for s in structures)
    if exact and size != limit:
        raise DumpError("the entry point gives a table of %d bytes, its structures end at %d" % (limit, size))
    if not data.startswith(b"_SM3_") and struct.unpack_from("<H", data, 0x1C)[0] != len(structures):
        raise DumpError("the entry point counts %d structures, the table has %d"
                        % (struct.unpack_from("<H", data, 0x1C)[0], len(structures)))
    handles = [handle_of(s) for s in structures]
    if len(set(handles)) != len(handles):
        raise DumpError("a handle appears twice in the table")
    return Dump(bytes(data[:TABLE_OFFSET]), bytes(data[TABLE_OFFSET:TABLE_OFFSET + size]), structures)


def read(path):
    with open(path, "rb") as handle:
        return parse(handle.read())


def from_tables(entry_point, table):
    """The dump of what Linux exports in /sys/firmware/dmi/tables: the entry
    point as the firmware published it (smbios_entry_point) and the table
    (DMI). The entry point's table address is set to 32 (and its checksums
    fixed) as dmidecode --dump-bin does; everything else is checked as in
    parse."""
    if len(entry_point) > TABLE_OFFSET:
        raise DumpError("the entry point is %d bytes, more than an SMBIOS entry point's %d"
                        % (len(entry_point), TABLE_OFFSET))
    area = bytearray(entry_point) + bytes(TABLE_OFFSET - len(entry_point))
    # The firmware's own checksums first: the copy's are recomputed below.
    parts = [(0, area[6])] if area.startswith(b"_SM3_") else [(0, area[5]), (0x10, 0x1F)]
    if not all(_checksum_ok(entry_point[start:end]) for start, end in parts):
        raise DumpError("the entry point's checksum is wrong")
    if area.startswith(b"_SM3_") and len(entry_point) >= 0x18:
        struct.pack_into("<Q", area, 0x10, TABLE_OFFSET)
        _set_checksum(area, 5, 0, min(area[6], TABLE_OFFSET))
    elif area.startswith(b"_SM_") and len(entry_point) >= 0x1F:
        struct.pack_into("<I", area, 0x18, TABLE_OFFSET)
        _set_checksum(area, 0x15, 0x10, 0x1F)
        _set_checksum(area, 4, 0, min(area[5], TABLE_OFFSET))
    return parse(bytes(area) + bytes(table))


def _set_checksum(area, at, start, end):
    area[at] = 0
    area[at] = -sum(area[start:end]) % 256


def build(dump, table):
    """The dump's entry point fixed up for `table` (lengths and checksums), then the table."""
    area = bytearray(dump.area)
    structures = split(table)
    if dump.is_3_0:
        struct.pack_into("<I", area, 0x0C, len(table))
        _set_checksum(area, 5, 0, area[6])
    else:
        if len(table) > 0xFFFF:
            raise DumpError("a %d-byte table does not fit a 2.x entry point" % len(table))
        struct.pack_into("<H", area, 0x08, max(len(s) for s in structures))
        struct.pack_into("<H", area, 0x16, len(table))
        struct.pack_into("<H", area, 0x1C, len(structures))
        _set_checksum(area, 0x15, 0x10, 0x1F)
        _set_checksum(area, 4, 0, area[5])
    return bytes(area) + bytes(table)
