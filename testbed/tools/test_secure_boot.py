"""The Secure Boot boots' own checks must catch what they are there for:
hand-made serial logs, one fault each."""

import os
import sys
import tempfile
import types
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import secure_boot_test as sb  # noqa: E402
from firmware_test import Failure  # noqa: E402

REFUSAL = ('BdsDxe: failed to load Boot0001 "UEFI Misc Device" from PciRoot(0x0)/Pci(0x1,0x0): '
           'Access Denied\r\n')


def block(*lines):
    return "@@EFI-SECUREBOOT-BEGIN@@\r\n" + "".join(line + "\r\n" for line in lines) + "@@EFI-SECUREBOOT-END@@\r\n"


class SerialLogTest(unittest.TestCase):
    def result(self, text, timed_out=False):
        handle = tempfile.NamedTemporaryFile("w", suffix=".log", delete=False)
        self.addCleanup(os.remove, handle.name)
        with handle:
            handle.write(text)
        return types.SimpleNamespace(serial_log=handle.name, timed_out=timed_out)

    def test_secure_boot_on_needs_the_stub_and_the_variable_at_one(self):
        stub = sb.SECURE_BOOT_STUB + "\r\n"
        self.assertEqual(sb.check_secure_boot_on(self.result(stub + block("01"))), "01")
        for text in (stub + block("00"), block("01"), stub, stub + block("01", "01"),
                     stub + block("error=cannot read SecureBoot"), "EFI stub: UEFI Secure Boot is disabled.\r\n"
                     + block("01")):
            with self.subTest(text=text), self.assertRaises(Failure):
                sb.check_secure_boot_on(self.result(text))

    def test_refusal_needs_the_boot_managers_line_and_nothing_started(self):
        self.assertIn("Access Denied", sb.check_refused(self.result("BdsDxe: loading Boot0001\r\n" + REFUSAL)))
        for text, timed_out in ((REFUSAL.replace("Access Denied", "Not Found"), False), ("", True),
                                (REFUSAL, True), (REFUSAL + "Welcome to GRUB!\r\n", False),
                                (REFUSAL + "EFI stub: UEFI Secure Boot is enabled.\r\n", False)):
            with self.subTest(text=text, timed_out=timed_out), self.assertRaises(Failure):
                sb.check_refused(self.result(text, timed_out))


if __name__ == "__main__":
    unittest.main()
