"""The EDK II platform harness without a build: our include lines land at
OVMF's anchors (and a missing anchor stops it), and a built image must hold
the very images and dependency expressions given."""

import os
import tempfile
import unittest

import edk2_platform
import flash_image
from pi.ffs import FILETYPE_DRIVER, FfsFile
from pi.sections import PE32, Section, dependency_expression, depex_section, pack_sections
from test_flash_image import DRIVER_GUID, small_flash

DSC = """[Components]
  MdeModulePkg/Universal/SmbiosDxe/SmbiosDxe.inf {
    <LibraryClasses>
      NULL|OvmfPkg/Library/SmbiosVersionLib/DetectSmbiosVersionLib.inf
  }
  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf

  MdeModulePkg/Universal/Acpi/AcpiTableDxe/AcpiTableDxe.inf
"""
FDF = """[FV.DXEFV]
INF  MdeModulePkg/Universal/SmbiosDxe/SmbiosDxe.inf
INF  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf
INF  MdeModulePkg/Universal/Acpi/AcpiTableDxe/AcpiTableDxe.inf

[FV.FVMAIN_COMPACT]
FvAlignment        = 16

[Rule.Common.DXE_DRIVER]
  FILE DRIVER = $(NAMED_GUID) {
  }
"""
STRAP_MARK_GUID = "3A4F0B6E-91C2-4D7A-8E35-C06B2F1D9A47"
PLANTED_GUID = "5C8E6F03-2A4B-4E0D-9B61-7F2D3C4A5B10"


def source_tree(folder, dsc=DSC, fdf=FDF):
    os.makedirs(os.path.join(folder, "OvmfPkg"))
    for suffix, text in ((".dsc", dsc), (".fdf", fdf)):
        with open(os.path.join(folder, edk2_platform.PLATFORM + suffix), "w") as handle:
            handle.write(text)
    return folder


def platform(folder, **texts):
    return edk2_platform.platform_files(source_tree(folder, **texts),
                                        edk2_platform.variants(STRAP_MARK_GUID, PLANTED_GUID))


def dxe_volume(fdf):
    """The DXE volume's lines, from its header to the next section."""
    rows = fdf.split("\n")
    start = rows.index("[FV.DXEFV]")
    end = next(index for index in range(start + 1, len(rows)) if rows[index].startswith("["))
    return [row for row in rows[start + 1:end] if row.strip()]


class PlatformFilesTest(unittest.TestCase):
    def test_one_include_per_platform_file_at_the_anchors(self):
        with tempfile.TemporaryDirectory() as folder:
            stock, dsc, fdfs = platform(folder)
        self.assertEqual(stock, DSC)
        rows = dsc.split("\n")
        closing = rows.index("  }")
        ours = rows.index("  !include SmbiosBoardName.dsc.inc")
        producer = rows.index("  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf")
        self.assertLess(closing, producer)
        self.assertLess(producer, ours)
        self.assertEqual(set(fdfs), {"driver", "driver-file", "no-driver", "planted"})
        mark = "FILE DRIVER = %s {" % STRAP_MARK_GUID
        for name, fdf in fdfs.items():
            volume = dxe_volume(fdf)
            ours = [row for row in volume if "SmbiosBoardName" in row]
            self.assertEqual(ours, {"driver": ["!include SmbiosBoardNameInf.fdf.inc"], "no-driver": []}.get(
                name, ["!include SmbiosBoardName.fdf.inc"]), name)
            producer = volume.index("INF  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf")
            self.assertEqual(volume[producer + 1], mark, name)    # every variant marks the strap trace
            if name == "driver":
                self.assertEqual(volume[-1], ours[0])            # its rule closes the volume
            elif ours:
                self.assertLess(volume.index(ours[0]), volume.index(
                    "INF  MdeModulePkg/Universal/Acpi/AcpiTableDxe/AcpiTableDxe.inf"))
            self.assertEqual(("FILE DRIVER = %s {" % PLANTED_GUID) in volume, name == "planted", name)
            self.assertNotIn("[Rule.Common.DXE_DRIVER.BINARY]", fdf)

    def test_a_missing_anchor_stops_with_its_name(self):
        for texts, anchor in (({"dsc": DSC.replace("SmbiosPlatformDxe.inf", "Other.inf")}, "SmbiosPlatformDxe"),
                              ({"fdf": FDF.replace("[FV.FVMAIN_COMPACT]", "[FV.OTHER]")}, "FVMAIN_COMPACT")):
            with tempfile.TemporaryDirectory() as folder:
                with self.assertRaisesRegex(edk2_platform.BuildError, anchor):
                    platform(folder, **texts)


class VolumeCheckTest(unittest.TestCase):
    def test_the_volume_must_hold_the_image_and_depex_given_and_nothing_absent(self):
        payload = b"MZ" + bytes(range(200))
        depex = dependency_expression([])
        file = FfsFile(DRIVER_GUID, FILETYPE_DRIVER, pack_sections([depex_section([]), Section(PE32, payload)]))
        built, _ = flash_image.add_files(small_flash(), [file])
        placed = edk2_platform.Placed(DRIVER_GUID, payload, depex)
        edk2_platform.check_volume(built, [placed], [PLANTED_GUID])
        for held, absent, reason in (
                ([edk2_platform.Placed(DRIVER_GUID, payload[:-1] + b"\1", depex)], [], "image given"),
                ([edk2_platform.Placed(DRIVER_GUID, payload, dependency_expression([PLANTED_GUID]))], [],
                 "dependency expression given"),
                ([], [DRIVER_GUID], "must not"),
                ([edk2_platform.Placed(PLANTED_GUID, payload, depex)], [], "holds 0 files")):
            with self.subTest(reason), self.assertRaisesRegex(edk2_platform.BuildError, reason):
                edk2_platform.check_volume(built, held, absent)


if __name__ == "__main__":
    unittest.main()
