"""The flash image builder on a small image of OVMF's shape (and once on
OVMF itself): files added read back byte for byte, everything else stays,
and each refusal leaves no output."""

import os
import random
import subprocess
import sys
import tempfile
import unittest

import boot
import flash_image
from pi.ffs import FILETYPE_DRIVER, FILETYPE_DXE_CORE, FILETYPE_FIRMWARE_VOLUME_IMAGE, FfsFile
from pi.layout import LayoutError
from pi.sections import FIRMWARE_VOLUME_IMAGE, PE32, RAW, GuidDefined, Section, guid_defined_section, pack_sections
from pi.volume import empty_volume, parse_volume

CORE_GUID = "D6A2CB7F-6A18-4E2F-B43B-9920A733700A"
OUTER_FILE_GUID = "9E21FD93-9C72-4C15-8C4B-E77F1DB2D792"
DRIVER_GUID = "26AFE604-97C0-44FF-9901-C2F2BE305137"
TAIL = b"reset vector volume" * 100  # what follows the outer volume must stay


def driver(name=DRIVER_GUID, payload=b"MZ" + bytes(300)):
    return FfsFile(name, FILETYPE_DRIVER, pack_sections([Section(PE32, payload)]))


def small_flash(dxe_length=0x8000, outer_length=0x10000, lzma_guid=flash_image.LZMA_GUID):
    core = FfsFile(CORE_GUID, FILETYPE_DXE_CORE, pack_sections([Section(RAW, b"core" * 64)]))
    dxe = parse_volume(empty_volume(dxe_length)).with_files_added([core])
    inner = pack_sections([Section(RAW, bytes(8)), Section(FIRMWARE_VOLUME_IMAGE, empty_volume(0x2000)),
                           Section(FIRMWARE_VOLUME_IMAGE, dxe)])
    guided = guid_defined_section(GuidDefined(lzma_guid, 1, b"", flash_image.compress(inner)))
    outer_file = FfsFile(OUTER_FILE_GUID, FILETYPE_FIRMWARE_VOLUME_IMAGE, pack_sections([guided]))
    return parse_volume(empty_volume(outer_length)).with_files_added([outer_file]) + TAIL


class FlashImageTest(unittest.TestCase):
    def test_added_files_read_back_and_the_rest_stays(self):
        image = small_flash()
        before = flash_image.open_flash(image)
        rebuilt, _ = flash_image.add_files(image, [driver()])
        self.assertEqual(len(rebuilt), len(image))
        self.assertEqual(rebuilt[-len(TAIL):], TAIL)
        after = flash_image.open_flash(rebuilt)
        self.assertEqual(after.dxe.file_named(DRIVER_GUID).pack(), driver().pack())
        self.assertEqual(after.dxe.files[0], before.dxe.files[0])
        self.assertEqual(after.inner_sections[1], before.inner_sections[1])   # the PEI volume
        self.assertEqual(int.from_bytes(after.guided.data[5:13], "little"), len(after.inner))
        self.assertEqual(after.dxe.length, before.dxe.length)
        # Without files: the same volumes, recompressed.
        same, _ = flash_image.add_files(image, [])
        self.assertEqual(flash_image.open_flash(same).inner, before.inner)

    def test_refusals(self):
        noise = random.Random(7).randbytes(0x5000)   # does not compress
        cases = {
            "unknown layout": (parse_volume(empty_volume(0x10000)).pack() + TAIL, [driver()]),
            "unknown layout: no single LZMA": (small_flash(lzma_guid=CORE_GUID), [driver()]),
            "no room": (small_flash(dxe_length=0x1000), [driver(payload=bytes(0x1000))]),
            "already in the volume": (small_flash(), [driver(CORE_GUID)]),
            "no longer fits": (small_flash(outer_length=0x2000, dxe_length=0x8000), [driver(payload=noise)]),
        }
        for message, (image, files) in cases.items():
            with self.subTest(message), self.assertRaisesRegex(LayoutError, message):
                flash_image.add_files(image, files)

    def test_command_writes_only_a_whole_image(self):
        with tempfile.TemporaryDirectory() as folder:
            base, ffs, out = (os.path.join(folder, name) for name in ("base.fd", "d.ffs", "out.fd"))
            with open(base, "wb") as handle:
                handle.write(small_flash())
            with open(ffs, "wb") as handle:
                handle.write(driver(CORE_GUID).pack())
            command = [sys.executable, flash_image.__file__, "--base", base, "--out", out, ffs]
            refused = subprocess.run(command, capture_output=True, text=True)
            self.assertEqual(refused.returncode, 1)
            self.assertIn("already in the volume", refused.stderr)
            self.assertEqual(sorted(os.listdir(folder)), ["base.fd", "d.ffs"])  # not even a partial file
            with open(ffs, "wb") as handle:
                handle.write(driver().pack())
            subprocess.run(command, check=True, capture_output=True)
            self.assertEqual(os.path.getsize(out), os.path.getsize(base))
            self.assertEqual(sorted(os.listdir(folder)), ["base.fd", "d.ffs", "out.fd"])

    @unittest.skipUnless(os.path.exists(boot.OVMF_CODE), "OVMF not installed")
    def test_ovmf_layout(self):
        with open(boot.OVMF_CODE, "rb") as handle:
            image = handle.read()
        flash = flash_image.open_flash(image)
        self.assertEqual((flash.outer.length, flash.dxe.length), (0x348000, 0xC00000))
        rebuilt, _ = flash_image.add_files(image, [driver()])
        self.assertEqual(len(rebuilt), len(image))
        self.assertEqual(flash_image.open_flash(rebuilt).dxe.file_named(DRIVER_GUID).pack(), driver().pack())


if __name__ == "__main__":
    unittest.main()
