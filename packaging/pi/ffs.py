"""FFS files: a 24-byte header (name, checksums, type, attributes, size,
state) and a body of sections, in a volume of the FFS2 file system."""

import dataclasses

from pi.layout import LayoutError, checksum8, guid_bytes, guid_text, need, read_u24, sum8, u24
from pi.sections import pack_sections, parse_sections

HEADER_SIZE = 24

# File types used here.
FILETYPE_RAW = 0x01
FILETYPE_FREEFORM = 0x02
FILETYPE_DXE_CORE = 0x05
FILETYPE_DRIVER = 0x07
FILETYPE_APPLICATION = 0x09
FILETYPE_FIRMWARE_VOLUME_IMAGE = 0x0B
FILETYPE_PAD = 0xF0

# Attributes.
ATTRIB_LARGE_FILE = 0x01
ATTRIB_DATA_ALIGNMENT_2 = 0x02
ATTRIB_DATA_ALIGNMENT = 0x38
ATTRIB_CHECKSUM = 0x40
FIXED_CHECKSUM = 0xAA  # the file checksum when the data is not summed

# State bits, as set; a volume with erase polarity 1 stores them inverted.
STATE_HEADER_CONSTRUCTION = 0x01
STATE_HEADER_VALID = 0x02
STATE_DATA_VALID = 0x04
STATE_DELETED = 0x10
STATE_COMPLETE = STATE_HEADER_CONSTRUCTION | STATE_HEADER_VALID | STATE_DATA_VALID


@dataclasses.dataclass
class FfsFile:
    name: str                  # GUID in registry form
    type: int
    body: bytes                # everything after the header
    attributes: int = 0
    state: int = STATE_COMPLETE
    offset: int = 0            # where it was found in its volume

    @property
    def deleted(self):
        return bool(self.state & STATE_DELETED)

    @property
    def size(self):
        return HEADER_SIZE + len(self.body)

    def sections(self):
        return parse_sections(self.body, what="section of file %s" % self.name)

    def pack(self, erase_polarity=1):
        if self.attributes & ATTRIB_LARGE_FILE or self.size >= 0xFFFFFF:
            raise LayoutError("file %s: %#x bytes needs a large-file header, which an FFS2 volume lacks"
                              % (self.name, self.size))
        file_checksum = checksum8(self.body) if self.attributes & ATTRIB_CHECKSUM else FIXED_CHECKSUM
        # The header checksum treats the file checksum and the state as zero.
        header = bytearray(guid_bytes(self.name) + bytes([0, 0, self.type, self.attributes])
                           + u24(self.size) + b"\0")
        header[16] = checksum8(header)
        header[17] = file_checksum
        header[23] = self.state ^ 0xFF if erase_polarity else self.state
        return bytes(header) + self.body


def driver_file(name, sections, file_type=FILETYPE_DRIVER):
    return FfsFile(name, file_type, pack_sections(sections))


def parse_file(volume, offset, end, erase_polarity):
    """The file whose header is at `offset`, checked whole: it must end by
    `end`, both checksums must hold and its state must be a complete file."""
    need(volume, offset, HEADER_SIZE, "file header", end)
    header = volume[offset:offset + HEADER_SIZE]
    name = guid_text(header[:16])
    kind, attributes = header[18], header[19]
    size = read_u24(header, 20, "file size")
    where = "file %s at offset %#x" % (name, offset)
    if attributes & ATTRIB_LARGE_FILE:
        raise LayoutError("%s: large-file header in an FFS2 volume" % where)
    if size < HEADER_SIZE:
        raise LayoutError("%s: size %#x is smaller than its header" % (where, size))
    need(volume, offset, size, where, end)
    state = header[23] ^ 0xFF if erase_polarity else header[23]
    if state & STATE_COMPLETE != STATE_COMPLETE:
        raise LayoutError("%s: state %#04x is not a complete file" % (where, header[23]))
    unsummed = header[:17] + b"\0" + header[18:23] + b"\0"
    if sum8(unsummed):
        raise LayoutError("%s: header checksum %#04x is wrong" % (where, header[16]))
    body = bytes(volume[offset + HEADER_SIZE:offset + size])
    if attributes & ATTRIB_CHECKSUM:
        if sum8(body + header[17:18]):
            raise LayoutError("%s: file checksum %#04x is wrong" % (where, header[17]))
    elif header[17] != FIXED_CHECKSUM:
        raise LayoutError("%s: file checksum %#04x without the checksum attribute" % (where, header[17]))
    return FfsFile(name, kind, body, attributes, state, offset)


def has_data_alignment(attributes):
    """Whether the file's data must sit at a boundary above the 8 bytes
    every file header starts at, so the file cannot simply be moved."""
    return bool(attributes & (ATTRIB_DATA_ALIGNMENT | ATTRIB_DATA_ALIGNMENT_2))
