"""Round trips of the firmware-volume records and every refusal, checked
against the layout the PI specification gives, not against the builder."""

import importlib.machinery
import importlib.util
import os
import struct
import unittest

from pi.ffs import ATTRIB_CHECKSUM, FILETYPE_DRIVER, FfsFile, parse_file
from pi.layout import LayoutError, guid_bytes
from pi.sections import DXE_DEPEX, PE32, USER_INTERFACE, user_interface_name
from pi.volume import empty_volume, parse_volume

HERE = os.path.dirname(os.path.abspath(__file__))
loader = importlib.machinery.SourceFileLoader("make_ffs", os.path.join(HERE, "make-ffs"))
make_ffs = importlib.util.module_from_spec(importlib.util.spec_from_loader("make_ffs", loader))
loader.exec_module(make_ffs)

FILE_GUID = "26AFE604-97C0-44FF-9901-C2F2BE305137"
OTHER_GUID = "7C916904-83D7-41C4-8A5E-85CDE4D8324A"
PROTOCOL_GUID = "03583FF6-CB36-4940-947E-B9B39F4AFAF7"


def pe_image(subsystem=11, size=0x300):
    """A PE32+ header for x64 with `subsystem`, padded with a pattern."""
    image = bytearray(size)
    image[:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x80)
    struct.pack_into("<4sH", image, 0x80, b"PE\0\0", 0x8664)
    struct.pack_into("<H", image, 0x80 + 24, 0x20B)
    struct.pack_into("<H", image, 0x80 + 24 + 68, subsystem)
    for index in range(0x200, size):
        image[index] = index & 0xFF
    return bytes(image)


def as_file(data):
    return parse_file(data, 0, len(data), 1)


class FirmwareFileTest(unittest.TestCase):
    def test_driver_file_has_the_layout_the_dispatcher_reads(self):
        image = pe_image()
        data = make_ffs.build(FILE_GUID, "SmbiosBoardName", image)
        # Header as the PI specification lays it down, read by hand.
        self.assertEqual(data[:16], guid_bytes(FILE_GUID))
        self.assertEqual(data[18], FILETYPE_DRIVER)
        self.assertEqual(data[19], 0)                            # no attributes
        self.assertEqual(int.from_bytes(data[20:23], "little"), len(data))
        self.assertEqual(data[23], 0xF8)                         # complete, polarity 1
        self.assertEqual(data[17], 0xAA)                         # data not summed
        self.assertEqual((sum(data[:24]) - data[17] - data[23]) & 0xFF, 0)
        # Sections: depex TRUE END, the image at a 4-byte boundary, the name.
        self.assertEqual(data[24:30], bytes([6, 0, 0, DXE_DEPEX, 0x06, 0x08]))
        self.assertEqual(data[32:36], (len(image) + 4).to_bytes(3, "little") + bytes([PE32]))
        self.assertEqual(data[36:36 + len(image)], image)
        sections = as_file(data).sections()
        self.assertEqual([s.type for s in sections], [DXE_DEPEX, PE32, USER_INTERFACE])
        self.assertEqual(user_interface_name(sections[2]), "SmbiosBoardName")

    def test_dependencies_and_applications(self):
        data = make_ffs.build(FILE_GUID, "Adapter", pe_image(), [PROTOCOL_GUID])
        depex = as_file(data).sections()[0].body
        self.assertEqual(depex, bytes([0x02]) + guid_bytes(PROTOCOL_GUID) + bytes([0x08]))
        two = as_file(make_ffs.build(FILE_GUID, "A", pe_image(), [PROTOCOL_GUID, OTHER_GUID])).sections()[0].body
        self.assertEqual(two[17:], bytes([0x02]) + guid_bytes(OTHER_GUID) + bytes([0x03, 0x08]))
        application = make_ffs.build(FILE_GUID, "App", pe_image(subsystem=10))
        self.assertEqual(application[18], 0x09)
        self.assertNotIn(DXE_DEPEX, [s.type for s in as_file(application).sections()])
        with self.assertRaises(LayoutError):
            make_ffs.build(FILE_GUID, "App", pe_image(subsystem=10), [PROTOCOL_GUID])
        for bad in (b"not an image", pe_image(subsystem=3), pe_image()[:0x90]):
            with self.assertRaises(LayoutError):
                make_ffs.build(FILE_GUID, "X", bad)

    def test_summed_file_and_polarity_zero_round_trip(self):
        ffs = FfsFile(FILE_GUID, FILETYPE_DRIVER, b"\x01\x02\x03\x04" * 5, ATTRIB_CHECKSUM)
        for polarity in (0, 1):
            data = ffs.pack(polarity)
            self.assertEqual(sum(data[24:]) + data[17] & 0xFF, 0)
            back = parse_file(data, 0, len(data), polarity)
            self.assertEqual(back.pack(polarity), data)

    def test_refuses_damaged_files(self):
        good = make_ffs.build(FILE_GUID, "SmbiosBoardName", pe_image())
        summed = FfsFile(FILE_GUID, FILETYPE_DRIVER, b"\x10" * 12, ATTRIB_CHECKSUM).pack()
        damage = {
            "header checksum": (good, 16),          # one header byte changed
            "state": (good, 23),                    # no longer a complete file
            "file checksum": (summed, 30),          # summed data changed
            "fixed checksum": (good, 17),           # 0xAA expected
        }
        for what, (data, offset) in damage.items():
            broken = bytearray(data)
            broken[offset] ^= 0x04
            with self.subTest(what), self.assertRaises(LayoutError):
                parse_file(bytes(broken), 0, len(broken), 1)
        with self.assertRaisesRegex(LayoutError, "needs"):
            parse_file(good[:-1], 0, len(good) - 1, 1)  # size runs past its parent


class VolumeTest(unittest.TestCase):
    def volume_with(self, *files, length=0x4000):
        return parse_volume(empty_volume(length)).with_files_added(list(files))

    def test_files_added_parse_back_to_the_same_bytes(self):
        first = make_ffs.build(FILE_GUID, "One", pe_image(size=0x301))   # odd size: next file is padded
        second = make_ffs.build(OTHER_GUID, "Two", pe_image())
        data = self.volume_with(as_file(first), as_file(second))
        volume = parse_volume(data)
        self.assertEqual([f.name for f in volume.files], [FILE_GUID, OTHER_GUID])
        self.assertEqual(volume.files[1].offset % 8, 0)
        self.assertEqual(data[volume.files[0].offset:volume.files[0].offset + len(first)], first)
        self.assertEqual(volume.file_named(OTHER_GUID).pack(), second)
        self.assertEqual(volume.pack(), data)
        self.assertEqual(set(data[volume.free_offset:]), {0xFF})

    def test_refuses_duplicates_no_room_and_damaged_volumes(self):
        ffs = as_file(make_ffs.build(FILE_GUID, "One", pe_image()))
        with self.assertRaisesRegex(LayoutError, "already in the volume"):
            parse_volume(self.volume_with(ffs)).with_files_added([ffs])
        with self.assertRaisesRegex(LayoutError, "no room"):
            self.volume_with(as_file(make_ffs.build(FILE_GUID, "Big", pe_image(size=0x1000))), length=0x1000)
        header_damaged = bytearray(empty_volume(0x1000))
        header_damaged[0x30] ^= 1
        stray = bytearray(empty_volume(0x1000))
        stray[0x800] = 0
        truncated = empty_volume(0x2000)[:0x1000]
        for what, data in (("checksum", header_damaged), ("free space", stray), ("length", truncated),
                           ("signature", bytes(0x1000))):
            with self.subTest(what), self.assertRaises(LayoutError):
                parse_volume(bytes(data))


if __name__ == "__main__":
    unittest.main()
