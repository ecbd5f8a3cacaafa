"""FFS sections: the typed, 4-byte-aligned pieces inside a file."""

import dataclasses
import struct

from pi.layout import LayoutError, align, guid_bytes, guid_text, need, read, read_u24, u24

# Section types used here.
COMPRESSION = 0x01
GUID_DEFINED = 0x02
PE32 = 0x10
DXE_DEPEX = 0x13
VERSION = 0x14
USER_INTERFACE = 0x15
FIRMWARE_VOLUME_IMAGE = 0x17
RAW = 0x19

EXTENDED_SIZE = 0xFFFFFF  # the 24-bit size that says a 32-bit size follows the header

# Dependency expression opcodes.
DEPEX_PUSH = 0x02
DEPEX_AND = 0x03
DEPEX_TRUE = 0x06
DEPEX_END = 0x08


@dataclasses.dataclass
class Section:
    type: int
    body: bytes          # everything after the common header
    offset: int = 0      # where it was found, relative to the buffer parsed
    header: int = 4      # 8 when the size was in the extended field

    def pack(self):
        size = 4 + len(self.body)
        if size >= EXTENDED_SIZE:
            return u24(EXTENDED_SIZE) + bytes([self.type]) + struct.pack("<I", size + 4) + self.body
        return u24(size) + bytes([self.type]) + self.body


def parse_section(buffer, offset, end, what="section"):
    """The section at `offset`, which must end at or before `end`."""
    need(buffer, offset, 4, what + " header", end)
    size = read_u24(buffer, offset, what + " size")
    kind = buffer[offset + 3]
    header = 4
    if size == EXTENDED_SIZE:
        header = 8
        (size,) = read(buffer, offset + 4, "<I", what + " extended size", end)
    if size < header:
        raise LayoutError("%s at offset %#x: size %#x is smaller than its header" % (what, offset, size))
    need(buffer, offset, size, what + " (type %#x)" % kind, end)
    return Section(kind, bytes(buffer[offset + header:offset + size]), offset, header), size


def parse_sections(buffer, start=0, end=None, what="section"):
    """Every section from `start` to `end`, each at a 4-byte boundary
    relative to `start`."""
    end = len(buffer) if end is None else end
    sections = []
    offset = start
    while offset < end:
        section, size = parse_section(buffer, offset, end, what)
        sections.append(section)
        offset = start + align(offset - start + size, 4)
    return sections


def pack_sections(sections):
    """The sections laid out one after another, each at a 4-byte boundary;
    padding between them is zero."""
    out = bytearray()
    for section in sections:
        out += bytes(align(len(out), 4) - len(out))
        out += section.pack()
    return bytes(out)


@dataclasses.dataclass
class GuidDefined:
    guid: str
    attributes: int
    header_extra: bytes  # bytes between the attributes and the data, kept as found
    data: bytes


def parse_guid_defined(section):
    """The fields of a GUID-defined section; its DataOffset counts from the
    section's first byte, header included."""
    if section.type != GUID_DEFINED:
        raise LayoutError("section at offset %#x is type %#x, not GUID-defined"
                          % (section.offset, section.type))
    body, header = section.body, section.header
    need(body, 0, 20, "GUID-defined section header")
    data_offset, attributes = struct.unpack_from("<HH", body, 16)
    if data_offset < header + 20 or data_offset - header > len(body):
        raise LayoutError("GUID-defined section at offset %#x: data offset %#x outside its %#x bytes"
                          % (section.offset, data_offset, len(body) + header))
    return GuidDefined(guid_text(body[:16]), attributes, body[20:data_offset - header],
                       body[data_offset - header:])


def guid_defined_section(fields):
    data_offset = 24 + len(fields.header_extra)
    body = (guid_bytes(fields.guid) + struct.pack("<HH", data_offset, fields.attributes)
            + fields.header_extra + fields.data)
    if 4 + len(body) >= EXTENDED_SIZE:
        raise LayoutError("GUID-defined section of %#x bytes needs an extended header" % len(body))
    return Section(GUID_DEFINED, body)


def user_interface_section(name):
    return Section(USER_INTERFACE, name.encode("utf-16-le") + b"\0\0")


def user_interface_name(section):
    text = section.body.decode("utf-16-le", errors="replace")
    return text[:-1] if text.endswith("\0") else text


def dependency_expression(guids):
    """A DXE dependency expression: TRUE without GUIDs, else all of the
    protocols named must be installed."""
    if not guids:
        return bytes([DEPEX_TRUE, DEPEX_END])
    code = bytearray()
    for index, guid in enumerate(guids):
        code += bytes([DEPEX_PUSH]) + guid_bytes(guid)
        if index:
            code.append(DEPEX_AND)
    code.append(DEPEX_END)
    return bytes(code)


def depex_guids(code):
    """The protocol GUIDs of an expression dependency_expression writes, in
    order ([] for TRUE); LayoutError for any other expression."""
    guids = []
    offset = 0
    while offset + 17 <= len(code) and code[offset] == DEPEX_PUSH:
        guids.append(guid_text(code[offset + 1:offset + 17]))
        offset += 17 + (1 if len(guids) > 1 else 0)  # every GUID after the first is ANDed
    if dependency_expression(guids) != bytes(code):
        raise LayoutError("dependency expression %s is neither TRUE nor all of some protocols" % bytes(code).hex())
    return guids


def depex_section(guids):
    return Section(DXE_DEPEX, dependency_expression(guids))
