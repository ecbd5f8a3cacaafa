#!/usr/bin/env python3
"""Builds an OVMF flash image with extra firmware files in its DXE volume.

OVMF's code image starts with the FVMAIN_COMPACT volume: one firmware-volume
image file holding an LZMA-compressed GUID-defined section, which holds the
PEI volume and the DXE volume as firmware-volume-image sections. The files
go into the DXE volume's erased space after its last file; the section is
recompressed and every size and checksum above it rebuilt. The volumes keep
their lengths and the flash image its size.

  flash_image.py --base OVMF_CODE_4M.fd --out FLASH.fd [FILE.ffs ...]

Without files it writes the same image recompressed, the baseline for a
comparison. Bad input gets a message and no output file."""

import argparse
import dataclasses
import lzma
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging"))
from pi.ffs import FILETYPE_DXE_CORE, FILETYPE_FIRMWARE_VOLUME_IMAGE, FfsFile, parse_file  # noqa: E402
from pi.layout import LayoutError, write_whole  # noqa: E402
from pi.sections import (FIRMWARE_VOLUME_IMAGE, GUID_DEFINED, Section, guid_defined_section,  # noqa: E402
                         pack_sections, parse_guid_defined, parse_sections)
from pi.volume import parse_volume  # noqa: E402

LZMA_GUID = "EE4E5898-3914-4259-9D6E-DC7BD79403CF"
LZMA_PROPERTIES = 0x5D            # lc 3, lp 0, pb 2
LZMA_DICTIONARY = 1 << 24
LZMA_HEADER = 13                  # properties, dictionary size, 8-byte uncompressed size


@dataclasses.dataclass
class Flash:
    """The layers of an OVMF code image, outermost first."""
    outer: object           # the FVMAIN_COMPACT volume
    file_index: int         # its firmware-volume-image file
    sections: list          # that file's sections
    section_index: int      # the LZMA section among them
    guided: object          # that section's fields
    inner: bytes            # the decompressed section contents
    inner_sections: list    # the volume-image sections in it (and padding)
    dxe_index: int          # which of them holds the DXE volume
    dxe: object             # the DXE volume


def open_flash(image):
    """Parses every layer down to the DXE volume; LayoutError for anything
    that is not this layout."""
    outer = parse_volume(image, "outer volume")
    images = [i for i, f in enumerate(outer.files) if f.type == FILETYPE_FIRMWARE_VOLUME_IMAGE]
    if len(images) != 1:
        raise LayoutError("unknown layout: %d firmware-volume-image files in the outer volume, expected 1"
                          % len(images))
    sections = outer.files[images[0]].sections()
    guided_sections = [(i, parse_guid_defined(s)) for i, s in enumerate(sections) if s.type == GUID_DEFINED]
    lzma_sections = [(i, fields) for i, fields in guided_sections if fields.guid == LZMA_GUID]
    if len(lzma_sections) != 1:
        raise LayoutError("unknown layout: no single LZMA section in file %s" % outer.files[images[0]].name)
    section_index, guided = lzma_sections[0]
    inner = decompress(guided.data)
    inner_sections = parse_sections(inner, what="section of the decompressed volumes")
    volumes = {i: parse_volume(s.body, "volume in section %d of the compressed section" % i)
               for i, s in enumerate(inner_sections) if s.type == FIRMWARE_VOLUME_IMAGE}
    dxe = [i for i, volume in volumes.items() if any(f.type == FILETYPE_DXE_CORE for f in volume.files)]
    if len(dxe) != 1:
        raise LayoutError("unknown layout: %d volumes with a DXE core in the compressed section" % len(dxe))
    return Flash(outer, images[0], sections, section_index, guided, inner, inner_sections,
                 dxe[0], volumes[dxe[0]])


def decompress(data):
    if len(data) < LZMA_HEADER or data[0] != LZMA_PROPERTIES:
        raise LayoutError("unknown layout: LZMA header %s is not props 0x5D" % data[:LZMA_HEADER].hex())
    (size,) = struct.unpack_from("<Q", data, 5)
    try:
        inner = lzma.decompress(data, format=lzma.FORMAT_ALONE)
    except lzma.LZMAError as error:
        raise LayoutError("LZMA section does not decompress: %s" % error)
    if len(inner) != size:
        raise LayoutError("LZMA section gives %#x bytes, its header says %#x" % (len(inner), size))
    return inner


def compress(inner):
    """LZMA as the firmware's decoder takes it: the same properties and
    dictionary, and the real size in the header (Python writes "unknown")."""
    filters = [{"id": lzma.FILTER_LZMA1, "dict_size": LZMA_DICTIONARY, "lc": 3, "lp": 0, "pb": 2}]
    data = bytearray(lzma.compress(inner, format=lzma.FORMAT_ALONE, filters=filters))
    data[5:LZMA_HEADER] = struct.pack("<Q", len(inner))
    return bytes(data)


def read_ffs(data, what):
    """A firmware file on its own: one complete file, nothing after it."""
    ffs = parse_file(data, 0, len(data), erase_polarity=1)
    if ffs.size != len(data):
        raise LayoutError("%s: %d bytes after the file" % (what, len(data) - ffs.size))
    return FfsFile(ffs.name, ffs.type, ffs.body, ffs.attributes)


def add_files(image, files):
    """A new flash image: `image` with `files` (FfsFile records) appended to
    its DXE volume, every layer rebuilt. Returns (image, compressed size)."""
    flash = open_flash(image)
    dxe = flash.dxe.with_files_added(files)
    inner_sections = list(flash.inner_sections)
    inner_sections[flash.dxe_index] = Section(FIRMWARE_VOLUME_IMAGE, dxe)
    inner = pack_sections(inner_sections)
    if len(inner) != len(flash.inner):
        raise LayoutError("rebuilt volumes are %#x bytes, were %#x" % (len(inner), len(flash.inner)))
    compressed = compress(inner)
    sections = list(flash.sections)
    sections[flash.section_index] = guid_defined_section(dataclasses.replace(flash.guided, data=compressed))
    outer_files = list(flash.outer.files)
    old = outer_files[flash.file_index]
    outer_files[flash.file_index] = FfsFile(old.name, old.type, pack_sections(sections), old.attributes,
                                            old.state, old.offset)
    try:
        outer = flash.outer.pack(outer_files)
    except LayoutError as error:
        raise LayoutError("the recompressed section (%#x bytes) no longer fits: %s" % (len(compressed), error))
    rebuilt = outer + image[len(outer):]
    check_rebuilt(rebuilt, dxe)
    return rebuilt, len(compressed)


def check_rebuilt(image, dxe):
    """Reads the new image back from the top: it must hold exactly the DXE
    volume that was built."""
    if open_flash(image).dxe.pack() != dxe:
        raise LayoutError("the rebuilt image does not read back to the volume built")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", required=True, help="OVMF code image (e.g. OVMF_CODE_4M.fd)")
    parser.add_argument("--out", required=True, help="flash image to write")
    parser.add_argument("files", nargs="*", help="firmware files (.ffs), in volume order")
    args = parser.parse_args()
    try:
        with open(args.base, "rb") as handle:
            image = handle.read()
        files = []
        for path in args.files:
            with open(path, "rb") as handle:
                files.append(read_ffs(handle.read(), path))
        rebuilt, compressed = add_files(image, files)
    except (OSError, LayoutError) as error:
        print("flash_image: %s" % error, file=sys.stderr)
        return 1
    write_whole(args.out, rebuilt)
    print("flash_image: %s: %d file(s) added, compressed section %d bytes"
          % (args.out, len(files), compressed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
