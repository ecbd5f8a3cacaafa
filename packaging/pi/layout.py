"""Byte-level helpers shared by the firmware-volume records."""

import os
import struct
import uuid


class LayoutError(ValueError):
    """Bytes that do not hold the structure they should; the message names
    the structure and the offset where it went wrong."""


def need(buffer, offset, size, what, end=None):
    """Refuses unless `size` bytes at `offset` lie inside `buffer` (or
    before `end`, where the structure's parent ends first)."""
    end = len(buffer) if end is None else min(end, len(buffer))
    if offset < 0 or size < 0 or offset + size > end:
        raise LayoutError("%s at offset %#x: needs %#x bytes, only %#x there"
                          % (what, offset, size, max(0, end - offset)))


def read(buffer, offset, form, what, end=None):
    """Unpacks `form` (little-endian struct format) at `offset`, in bounds."""
    need(buffer, offset, struct.calcsize(form), what, end)
    return struct.unpack_from(form, buffer, offset)


def read_u24(buffer, offset, what):
    low, high = read(buffer, offset, "<HB", what)
    return low | high << 16


def u24(value):
    if not 0 <= value <= 0xFFFFFF:
        raise LayoutError("size %#x does not fit a 24-bit field" % value)
    return struct.pack("<HB", value & 0xFFFF, value >> 16)


def align(value, alignment):
    return (value + alignment - 1) & ~(alignment - 1)


def sum8(data):
    return sum(data) & 0xFF


def checksum8(data):
    """The byte that makes `data` plus itself sum to zero."""
    return (0x100 - sum8(data)) & 0xFF


def sum16(data):
    if len(data) % 2:
        raise LayoutError("16-bit checksum over an odd length %#x" % len(data))
    return sum(struct.unpack("<%dH" % (len(data) // 2), data)) & 0xFFFF


def guid_bytes(text):
    """A GUID in registry form ("8C8CE578-8A3D-...") in its stored layout
    (first three fields little-endian)."""
    return uuid.UUID(text).bytes_le


def guid_text(data):
    return str(uuid.UUID(bytes_le=bytes(data))).upper()


def write_whole(path, data):
    """Writes `data` to `path` through a temporary file renamed over it, so
    the path never holds a partial file."""
    temporary = "%s.partial-%d" % (path, os.getpid())
    try:
        with open(temporary, "wb") as handle:
            handle.write(data)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
