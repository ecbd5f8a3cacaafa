"""Firmware volumes of the FFS2 file system: header, extended header, files
at 8-byte boundaries, then erased free space to the volume's end."""

import dataclasses
import struct

from pi.ffs import HEADER_SIZE, has_data_alignment, parse_file
from pi.layout import LayoutError, align, guid_bytes, guid_text, need, read, sum16

SIGNATURE = b"_FVH"
FFS2_GUID = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
ATTRIB_ERASE_POLARITY = 0x00000800
REVISION = 2


@dataclasses.dataclass
class Volume:
    prefix: bytes      # header, extended header and padding up to the first file
    length: int
    erase_polarity: int
    files: list
    free_offset: int   # first byte of the erased space after the last file

    @property
    def erased(self):
        return 0xFF if self.erase_polarity else 0x00

    def free_bytes(self):
        return self.length - self.free_offset

    def file_named(self, name):
        return next((f for f in self.files if f.name == name and not f.deleted), None)

    def pack(self, files=None):
        """The volume with `files` (by default its own) laid out from the
        first file offset, as new bytes of the volume's length."""
        files = self.files if files is None else files
        out = bytearray(self.prefix)
        for ffs in files:
            start = align(len(out), 8)
            if has_data_alignment(ffs.attributes) and start != ffs.offset:
                raise LayoutError("file %s needs its data aligned and would move from %#x to %#x"
                                  % (ffs.name, ffs.offset, start))
            out += bytes([self.erased]) * (start - len(out))
            out += ffs.pack(self.erase_polarity)
        if len(out) > self.length:
            raise LayoutError("no room: the files need %#x bytes, the volume holds %#x"
                              % (len(out), self.length))
        out += bytes([self.erased]) * (self.length - len(out))
        return bytes(out)

    def with_files_added(self, new_files):
        """The volume's bytes with `new_files` after its own; refuses a name
        that is already present."""
        names = [f.name for f in self.files if not f.deleted]
        for ffs in new_files:
            if ffs.name in names:
                raise LayoutError("file %s is already in the volume" % ffs.name)
            names.append(ffs.name)
        return self.pack(self.files + list(new_files))


def parse_volume(buffer, what="firmware volume"):
    """The volume that starts at buffer[0], checked whole: header and its
    checksum, block map, extended header, every file and the free space."""
    need(buffer, 0, 56, what + " header")
    length, signature, attributes, header_length, _, ext_offset, _, revision = read(
        buffer, 32, "<Q4sIHHHBB", what + " header")
    if signature != SIGNATURE:
        raise LayoutError("%s: no _FVH signature at offset 0x28" % what)
    if revision != REVISION or guid_text(buffer[16:32]) != FFS2_GUID:
        raise LayoutError("%s: not an FFS2 volume (file system %s, revision %d)"
                          % (what, guid_text(buffer[16:32]), revision))
    need(buffer, 0, length, what)
    need(buffer, 0, header_length, what + " header")
    if header_length < 64 or sum16(buffer[:header_length]):
        raise LayoutError("%s: header checksum wrong or header length %#x too short" % (what, header_length))
    check_block_map(buffer, header_length, length, what)
    first = header_length
    if ext_offset:
        (ext_size,) = read(buffer, ext_offset + 16, "<I", what + " extended header", length)
        if ext_size < 20:
            raise LayoutError("%s: extended header size %#x too short" % (what, ext_size))
        need(buffer, ext_offset, ext_size, what + " extended header", length)
        first = ext_offset + ext_size
    first = align(first, 8)
    polarity = 1 if attributes & ATTRIB_ERASE_POLARITY else 0
    files, free = parse_files(buffer[:length], first, polarity)
    return Volume(bytes(buffer[:first]), length, polarity, files, free)


def check_block_map(buffer, header_length, length, what):
    covered, offset = 0, 56
    while True:
        blocks, size = read(buffer, offset, "<II", what + " block map", header_length)
        offset += 8
        if not blocks and not size:
            break
        covered += blocks * size
    if covered != length:
        raise LayoutError("%s: block map covers %#x bytes, the volume is %#x" % (what, covered, length))


def parse_files(volume, first, polarity):
    erased = 0xFF if polarity else 0x00
    files, offset = [], first
    while offset + HEADER_SIZE <= len(volume):
        if volume[offset:offset + HEADER_SIZE] == bytes([erased]) * HEADER_SIZE:
            break
        ffs = parse_file(volume, offset, len(volume), polarity)
        files.append(ffs)
        offset = align(offset + ffs.size, 8)
    free = min(offset, len(volume))
    rest = bytes(volume[free:])
    unerased = len(rest) - len(rest.lstrip(bytes([erased])))
    if unerased != len(rest):
        raise LayoutError("data at offset %#x in the free space after the last file" % (free + unerased))
    return files, free


def empty_volume(length, block_size=0x1000, erase_polarity=1):
    """The bytes of an FFS2 volume of `length` with no file: header (one run
    of blocks in its map), checksum, and erased space."""
    if length % block_size or length < 0x48:
        raise LayoutError("volume length %#x is not a whole number of %#x-byte blocks" % (length, block_size))
    attributes = 0x0004FEFF & ~ATTRIB_ERASE_POLARITY | (ATTRIB_ERASE_POLARITY if erase_polarity else 0)
    header = bytearray(bytes(16) + guid_bytes(FFS2_GUID)
                       + struct.pack("<Q4sIHHHBB", length, SIGNATURE, attributes, 0x48, 0, 0, 0, REVISION)
                       + struct.pack("<IIII", length // block_size, block_size, 0, 0))
    struct.pack_into("<H", header, 50, (0x10000 - sum16(header)) & 0xFFFF)
    return bytes(header) + bytes([0xFF if erase_polarity else 0]) * (length - len(header))
