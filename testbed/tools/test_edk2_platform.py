"""The EDK II platform harness without a build: our lines land at OVMF's
anchors (and a missing anchor stops it), and a built image must hold the very
driver image given."""

import os
import tempfile
import unittest

import edk2_platform
import flash_image
from test_flash_image import DRIVER_GUID, driver, small_flash

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

[Rule.Common.DXE_DRIVER]
  FILE DRIVER = $(NAMED_GUID) {
  }

[Rule.Common.DXE_RUNTIME_DRIVER]
"""
PLANTED_GUID = "5C8E6F03-2A4B-4E0D-9B61-7F2D3C4A5B10"


def source_tree(folder, dsc=DSC, fdf=FDF):
    os.makedirs(os.path.join(folder, "OvmfPkg"))
    for suffix, text in ((".dsc", dsc), (".fdf", fdf)):
        with open(os.path.join(folder, edk2_platform.PLATFORM + suffix), "w") as handle:
            handle.write(text)
    return folder


def platform(folder, **texts):
    layout = edk2_platform.variants(DRIVER_GUID, PLANTED_GUID)
    return edk2_platform.platform_files(source_tree(folder, **texts),
                                        {name: lines for name, (lines, _) in layout.items()})


class PlatformFilesTest(unittest.TestCase):
    def test_modules_follow_the_smbios_producer_outside_its_block(self):
        with tempfile.TemporaryDirectory() as folder:
            dsc, fdfs = platform(folder)
        rows = dsc.split("\n")
        closing = rows.index("  }")
        ours = rows.index("  SmbiosBoardName/SmbiosBoardName.inf")
        producer = rows.index("  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf")
        self.assertGreater(producer, closing)
        self.assertGreater(ours, producer)
        self.assertEqual(set(fdfs), {"driver", "driver-file", "no-driver", "planted"})
        for name, fdf in fdfs.items():
            rule = fdf.index("[Rule.Common.DXE_DRIVER.BINARY]")
            self.assertLess(fdf.index("[Rule.Common.DXE_DRIVER]"), rule)
            self.assertLess(rule, fdf.index("[Rule.Common.DXE_RUNTIME_DRIVER]"))
            self.assertLess(fdf.index("SmbiosPlatformDxe.inf"), fdf.index("SmbiosByHandleService.inf"))
            self.assertLess(fdf.index("SmbiosByHandleService.inf"), fdf.index("AcpiTableDxe.inf"))
            holds = {"INF  SmbiosBoardName/SmbiosBoardName.inf" in fdf,
                     "FILE DRIVER = %s {" % DRIVER_GUID in fdf, "FILE DRIVER = %s {" % PLANTED_GUID in fdf}
            self.assertEqual(holds, {False} if name == "no-driver" else {True, False}, name)

    def test_a_missing_anchor_stops_with_its_name(self):
        for texts, anchor in (({"dsc": DSC.replace("SmbiosPlatformDxe.inf", "Other.inf")}, "SmbiosPlatformDxe"),
                              ({"fdf": FDF.replace("[Rule.Common.DXE_RUNTIME_DRIVER]", "")}, "DXE_RUNTIME")):
            with tempfile.TemporaryDirectory() as folder:
                with self.assertRaisesRegex(edk2_platform.BuildError, anchor):
                    platform(folder, **texts)


class ImagePlacedTest(unittest.TestCase):
    def test_the_volume_must_hold_the_image_given(self):
        payload = b"MZ" + bytes(range(200))
        built, _ = flash_image.add_files(small_flash(), [driver(payload=payload)])
        edk2_platform.check_image_placed(built, DRIVER_GUID, payload)
        with self.assertRaisesRegex(edk2_platform.BuildError, "does not hold the image given"):
            edk2_platform.check_image_placed(built, DRIVER_GUID, payload[:-1] + b"\1")
        with self.assertRaisesRegex(edk2_platform.BuildError, "holds 0 files"):
            edk2_platform.check_image_placed(small_flash(), DRIVER_GUID, payload)


if __name__ == "__main__":
    unittest.main()
