"""The firmware checks must catch the faults they are there for: these cases
feed them hand-made dumps, traces and logs with one fault each."""

import os
import shutil
import struct
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot  # noqa: E402
import firmware_log  # noqa: E402
import firmware_test as ft  # noqa: E402
import flash_test  # noqa: E402
import linux_guest  # noqa: E402
import smbios_dump  # noqa: E402


def structure(kind, handle, strings, formatted=b"\x01\x02\x03\x00"):
    body = b"".join(s + b"\0" for s in strings) or b"\0"
    return struct.pack("<BBH", kind, 4 + len(formatted), handle) + formatted + body + b"\0"


def dump(structures, anchor="_SM3_"):
    table = b"".join(structures)
    if anchor == "_SM3_":
        entry = bytearray(b"_SM3_\0\x18\x03\x00\x00\x01\x00" + struct.pack("<IQ", len(table), 32))
        entry[5] = (-sum(entry)) % 256
    else:
        entry = bytearray(b"_SM_\0\x1f\x02\x08\x00\x00\x00\x00\x00\x00\x00\x00" + b"_DMI_\0"
                          + struct.pack("<HIHB", len(table), 32, len(structures), 0x28))
        entry[21] = (-sum(entry[16:31])) % 256
        entry[4] = (-sum(entry)) % 256
    return smbios_dump.parse(bytes(entry).ljust(32, b"\0") + table)


SYSTEM = [b"Maker", b"TB-SYS-PRODUCT", b"V1"]
BOARD = [b"BoardMaker", b"TB-BOARD-PRODUCT", b"V2"]
END = structure(127, 0xFEFF, [])


def table(system=SYSTEM, board=BOARD, oem=(b"OEM",), order=("1", "2", "11")):
    parts = {"1": structure(1, 0x100, system), "2": structure(2, 0x200, board),
             "11": structure(11, 0xE00, list(oem))}
    return [parts[key] for key in order] + [END]


class DumpReaderTest(unittest.TestCase):
    def test_reads_both_entry_point_kinds(self):
        for anchor in ("_SM3_", "_SM_"):
            parsed = dump(table(), anchor)
            self.assertEqual(parsed.anchor, anchor)
            self.assertEqual([s.handle for s in parsed.structures], [0x100, 0x200, 0xE00, 0xFEFF])
            self.assertEqual(parsed.structures[0].referenced(5), b"TB-SYS-PRODUCT")

    def test_refuses_bad_checksum_and_table_address(self):
        good = bytearray(b"_SM3_\0\x18\x03\x00\x00\x01\x00" + struct.pack("<IQ", len(END), 32))
        good[5] = (-sum(good)) % 256
        smbios_dump.parse(bytes(good).ljust(32, b"\0") + END)
        broken = bytearray(good)
        broken[8] ^= 1
        with self.assertRaises(smbios_dump.DumpError):
            smbios_dump.parse(bytes(broken).ljust(32, b"\0") + END)
        moved = bytearray(b"_SM3_\0\x18\x03\x00\x00\x01\x00" + struct.pack("<IQ", len(END), 0xF000000))
        moved[5] = (-sum(moved)) % 256
        with self.assertRaises(smbios_dump.DumpError):
            smbios_dump.parse(bytes(moved).ljust(32, b"\0") + END)

    def test_refuses_table_without_end_of_table(self):
        entry = bytearray(b"_SM3_\0\x18\x03\x00\x00\x01\x00" + struct.pack("<IQ", 20, 32))
        entry[5] = (-sum(entry)) % 256
        with self.assertRaises(smbios_dump.DumpError):
            smbios_dump.parse(bytes(entry).ljust(32, b"\0") + structure(1, 1, [b"A"]))


class TableCheckTest(unittest.TestCase):
    name = "KP5VRA-TE"

    def renamed(self, **changes):
        system = [SYSTEM[0], self.name.encode(), SYSTEM[2]]
        board = [BOARD[0], self.name.encode(), BOARD[2]]
        arguments = dict(system=system, board=board, order=("11", "1", "2"))
        arguments.update(changes)
        return dump(table(**arguments))

    def test_accepts_the_rewrite_in_a_reordered_table(self):
        ft.check_renamed(dump(table()), self.renamed(), self.name)

    def test_catches_each_kind_of_collateral_change(self):
        before = dump(table())
        faults = {
            "other string": self.renamed(system=[SYSTEM[0], self.name.encode(), b"V9"]),
            "only one type": self.renamed(board=BOARD),
            "other structure": self.renamed(oem=(b"OEX",)),
            "lost structure": dump(table(order=("1", "2"))),
            "wrong name": self.renamed(system=[SYSTEM[0], b"KP5VRA-T", SYSTEM[2]]),
        }
        for fault, after in faults.items():
            with self.subTest(fault=fault), self.assertRaises(ft.Failure):
                ft.check_renamed(before, after, self.name)

    def test_order_must_be_the_baselines(self):
        ft.check_same_order(dump(table()), dump(table(system=[SYSTEM[0], self.name.encode(), SYSTEM[2]])))
        for order in (("2", "11", "1"), ("1", "2")):
            with self.subTest(order=order), self.assertRaises(ft.Failure):
                ft.check_same_order(dump(table()), dump(table(order=order)))

    def test_unchanged_means_byte_identical(self):
        ft.check_unchanged(dump(table()), dump(table(order=("2", "11", "1"))))
        with self.assertRaises(ft.Failure):
            ft.check_unchanged(dump(table()), dump(table(board=[b"BoardMaker", b"TB-BOARD-PRODUCT", b"V3"])))

    def test_firmware_version_is_the_bios_informations(self):
        def bios(version):
            return structure(0, 0, [b"EFI Development Kit II / OVMF", version], b"\x01\x02\x00\xE8")
        flash_test.check_firmware_version(dump([bios(b"2025.02-8+deb13u1")] + table()), "2025.02-8+deb13u1")
        for fault, structures in {"other build": [bios(b"2022.11-6+deb12u2")] + table(), "none": table(),
                                  "two": [bios(b"2025.02-8+deb13u1")] * 2 + table()}.items():
            with self.subTest(fault=fault), self.assertRaises(ft.Failure):
                flash_test.check_firmware_version(dump(structures), "2025.02-8+deb13u1")


class StrapTraceCheckTest(unittest.TestCase):
    plan = boot.BootPlan(code=5, noise=True)

    def reads(self, probes):
        low, high = boot.strap_bytes(self.plan.code, self.plan.noise)
        value = {boot.STRAP_PORT_LOW: low, boot.STRAP_PORT_HIGH: high}
        marker = [(boot.STRAP_PORT_LOW, low, 1), (boot.STRAP_PORT_HIGH, high, 1)]
        return marker + [(port, value[port], 1) for _ in range(probes) for port in ft.PROBE_PORTS]

    def test_accepts_one_walk_to_end_of_table(self):
        ft.check_strap_reads(self.reads(8), self.plan, walks=1, end_of_table_handle=7)

    def test_catches_extra_walk_short_walk_and_wrong_order(self):
        swapped = self.reads(8)
        swapped[3], swapped[4] = swapped[4], swapped[3]
        wide = self.reads(8)
        wide[5] = (wide[5][0], wide[5][1], 2)
        faults = {"two walks": self.reads(16), "short walk": self.reads(7), "order": swapped,
                  "width": wide, "no marker": self.reads(8)[2:] + self.reads(0)}
        for fault, reads in faults.items():
            with self.subTest(fault=fault), self.assertRaises(ft.Failure):
                ft.check_strap_reads(reads, self.plan, walks=1, end_of_table_handle=7)

    def test_strap_bytes_put_each_code_bit_on_its_port_bit(self):
        self.assertEqual(boot.strap_bytes(0b0001, False), (0x02, 0x00))
        self.assertEqual(boot.strap_bytes(0b0010, False), (0x20, 0x00))
        self.assertEqual(boot.strap_bytes(0b0100, False), (0x00, 0x01))
        self.assertEqual(boot.strap_bytes(0b1000, False), (0x00, 0x04))
        self.assertEqual(boot.strap_bytes(0, True), (0xDD, 0xFA))


class MemoryMapCheckTest(unittest.TestCase):
    MAP = ("FlatView #0\n AS \"cpu-smm-0\", root: memory\n"
           "  00000000f8000000-00000000fbffffff (prio 0, i/o): smm-only\n"
           "FlatView #1\n AS \"memory\", root: system\n Root memory region: system\n"
           "  0000000000000000-000000000fffffff (prio 0, ram): pc.ram\n"
           "  00000000c0000000-00000000c0000fff (prio 1, i/o): ahci\n%s"
           "  00000000fec00000-00000000fec00fff (prio 0, i/o): ioapic\n")

    def check(self, extra):
        with tempfile.NamedTemporaryFile("w", delete=False) as handle:
            handle.write(self.MAP % extra)
        try:
            ft.check_registers_unassigned(handle.name)
        finally:
            os.remove(handle.name)

    def test_accepts_registers_in_unassigned_space(self):
        self.check("")

    def test_catches_a_device_over_either_register(self):
        for extra in ("  00000000f80e1000-00000000f80e1fff (prio 1, i/o): nvme-bar0\n",
                      "  00000000f80e10df-00000000f80e10df (prio 1, i/o): port\n"):
            with self.subTest(extra=extra), self.assertRaises(ft.Failure):
                self.check(extra)


class FirmwareLogTest(unittest.TestCase):
    """Lines as OVMF's DXE core and exception handler print them."""
    DEBUG = ("Loading driver 26AFE604-97C0-44FF-9901-C2F2BE305137\r\n"
             "InstallProtocolInterface: 5B1B31A1-9562-11D2-8E3F-00A0C969723B 3DE4EEA0\r\n"
             "Loading driver at 0x0003DE3C000 EntryPoint=0x0003DE3D980 \r\n"
             "Loading driver 5C8E6F03-2A4B-4E0D-9B61-7F2D3C4A5B10\r\n"
             "ConvertPages: failed to find range 180000000 - 180004FFF\r\n"
             "Loading driver at 0x0003DE30000 EntryPoint=0x0003DE31790 \r\n"
             "ASSERT [SmbiosDxe] Smbios.c(42): !EFI_ERROR (Status)\r\n")
    SERIAL = ("!!!! X64 Exception Type - 0E(#PF - Page-Fault)  CPU Apic ID - 00000000 !!!!\r\n"
              "!!!! Find image based on IP(0x3DE3DA0B) (No PDB)  (ImageBase=000000003DE3C000, "
              "EntryPoint=000000003DE3D790) !!!!\r\n")

    def test_reads_loads_relocations_asserts_and_the_fault(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "debug.log")
            with open(path, "w", newline="") as handle:
                handle.write(self.DEBUG)
            debug = firmware_log.read(path)
        self.assertEqual(firmware_log.loaded_files(debug), {
            "26AFE604-97C0-44FF-9901-C2F2BE305137": firmware_log.LoadedImage(0x3DE3C000, 0x3DE3D980, False),
            "5C8E6F03-2A4B-4E0D-9B61-7F2D3C4A5B10": firmware_log.LoadedImage(0x3DE30000, 0x3DE31790, True)})
        self.assertEqual(firmware_log.asserts(debug), ["ASSERT [SmbiosDxe] Smbios.c(42): !EFI_ERROR (Status)"])
        self.assertEqual(firmware_log.asserts(debug.replace("ASSERT", "assert")), [])
        self.assertEqual(firmware_log.exceptions(self.SERIAL), [(0x0E, "#PF - Page-Fault")])
        self.assertEqual(firmware_log.faulting_image(self.SERIAL), (0x3DE3C000, 0x3DE3D790))
        self.assertEqual((firmware_log.exceptions(""), firmware_log.faulting_image("")), ([], None))


class SerialLogTest(unittest.TestCase):
    def test_smbiosview_names_split_at_the_after_dump(self):
        log = ("\x1b[1mShell> \x1b[0mecho\r\ntestbed-step: smbiosview -t 1\r\nProductName: OLD\r\n"
               "testbed-step: dump after.bin\r\ndump: ok\r\n"
               "testbed-step: smbiosview -t 1\r\nProductName: NEW\r\nProductName: NEW\r\n"
               "testbed-step: smbiosview -t 2\r\n\x1b[37mProductName: NEW\r\ntestbed-step: done\r\n")
        with tempfile.NamedTemporaryFile("wb", delete=False) as handle:
            handle.write(log.encode())
        try:
            sections = ft.serial_sections(handle.name)
        finally:
            os.remove(handle.name)
        self.assertEqual(sections[-1][0], "done")
        self.assertEqual(ft.smbiosview_products(sections, after=False), {1: ["OLD"], 2: []})
        self.assertEqual(ft.smbiosview_products(sections, after=True), {1: ["NEW", "NEW"], 2: ["NEW"]})


def guest_report(**changes):
    """What the guest prints on the table of table(), with `changes` (key with
    dots written as __) replacing whole value lists."""
    report = {"product_name": ["TB-SYS-PRODUCT"], "board_name": ["TB-BOARD-PRODUCT"],
              "sys_vendor": ["Maker"], "board_vendor": ["BoardMaker"], "product_version": ["V1"],
              "dmidecode.system-product-name": ["TB-SYS-PRODUCT"],
              "dmidecode.baseboard-product-name": ["TB-BOARD-PRODUCT"]}
    for key, value in changes.items():
        key = key.replace("__", ".")
        if value is None:
            del report[key]
        else:
            report[key] = value
    return report


def renamed(name, **changes):
    both = {"product_name": [name], "board_name": [name], "dmidecode__system-product-name": [name],
            "dmidecode__baseboard-product-name": [name]}
    both.update(changes)
    return guest_report(**both)


class LinuxReportCheckTest(unittest.TestCase):
    def setUp(self):
        self.before = dump(table())

    def test_accepts_the_original_names_and_the_code_name(self):
        ft.check_linux_report(guest_report(), self.before, None)
        ft.check_linux_report(renamed("KP5VRA-TE"), self.before, "KP5VRA-TE")

    def test_catches_each_wrong_value(self):
        faults = {
            "not renamed": (guest_report(), "KP5VRA-TE"),
            "renamed without a name": (renamed("KP5VRA-TE"), None),
            "only the system renamed": (renamed("KP5VRA-TE", board_name=["TB-BOARD-PRODUCT"]), "KP5VRA-TE"),
            "other name": (renamed("KP5VRA-T"), "KP5VRA-TE"),
            "vendor changed": (renamed("KP5VRA-TE", sys_vendor=["KP5VRA-TE"]), "KP5VRA-TE"),
            "board vendor changed": (guest_report(board_vendor=["Maker"]), None),
            "version changed": (guest_report(product_version=["TB-SYS-PRODUCT"]), None),
            "dmidecode disagrees": (renamed("KP5VRA-TE", **{"dmidecode__baseboard-product-name":
                                                            ["TB-BOARD-PRODUCT"]}), "KP5VRA-TE"),
            "dmidecode sees two boards": (guest_report(**{"dmidecode__baseboard-product-name":
                                                          ["TB-BOARD-PRODUCT", "TB-BOARD-PRODUCT"]}), None),
            "key missing": (guest_report(product_version=None), None),
            "key extra": (guest_report(bios_vendor=["x"]), None),
        }
        for what, (report, name) in faults.items():
            with self.subTest(what):
                with self.assertRaises(ft.Failure):
                    ft.check_linux_report(report, self.before, name)

    def test_needs_one_system_and_one_board_structure(self):
        with self.assertRaises(ft.Failure):
            ft.check_linux_report(guest_report(), dump(table(order=("1", "11"))), None)

    def test_reads_the_report_through_read_dmi(self):
        log = ("Shell> vmlinuz\r\n[    1.0] Run /init as init process\r\n@@DMI-REPORT-BEGIN@@\r\n"
               "product_name=KP5VRA-TE\r\ndmidecode.baseboard-product-name=A\r\n"
               "dmidecode.baseboard-product-name=B\r\n@@DMI-REPORT-END@@\r\n")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "serial.log")
            with open(path, "w", newline="") as handle:
                handle.write(log)
            self.assertEqual(linux_guest.read_report(path), {
                "product_name": ["KP5VRA-TE"], "dmidecode.baseboard-product-name": ["A", "B"]})
            with open(path, "w", newline="") as handle:
                handle.write(log.replace("@@DMI-REPORT-END@@", ""))
            with self.assertRaises(linux_guest.ReportError):
                linux_guest.read_report(path)


class SerialPumpTest(unittest.TestCase):
    """The console copier must keep every byte and send one key, once, when
    the Shell's countdown shows (and none when told not to)."""

    def pump(self, skip, chunks):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        for fifo in ("serial.in", "serial.out"):
            os.mkfifo(os.path.join(folder, fifo))
        # Held open for the whole run, as QEMU holds its ends.
        console = os.open(os.path.join(folder, "serial.out"), os.O_RDWR)
        keys = os.open(os.path.join(folder, "serial.in"), os.O_RDWR | os.O_NONBLOCK)
        stop = threading.Event()
        thread = threading.Thread(target=boot._pump_serial, args=(folder, skip, stop))
        thread.start()
        log_path = os.path.join(folder, "serial.log")
        written = 0
        for chunk in chunks:
            os.write(console, chunk)
            written += len(chunk)
            # Each write is read on its own, as a slow console's would be.
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and (
                    not os.path.exists(log_path) or os.path.getsize(log_path) < written):
                time.sleep(0.01)
        stop.set()
        thread.join(timeout=10)
        self.assertFalse(thread.is_alive())
        try:
            sent = os.read(keys, 64)
        except BlockingIOError:
            sent = b""
        os.close(console)
        os.close(keys)
        with open(os.path.join(folder, "serial.log"), "rb") as handle:
            return handle.read(), sent

    def test_sends_one_space_for_a_prompt_split_across_writes(self):
        chunks = [b"Press ESC in 5 seconds to ", b"skip startup.nsh\r\n", b"Shell> "]
        log, sent = self.pump(True, chunks)
        self.assertEqual(log, b"".join(chunks))
        self.assertEqual(sent, b" ")
        # A second countdown line gets no second key.
        self.assertEqual(self.pump(True, [b"5 seconds to skip\r\n", b"4 seconds to skip\r\n"])[1], b" ")

    def test_sends_nothing_without_the_prompt_or_when_not_asked(self):
        self.assertEqual(self.pump(True, [b"Shell> ", b"seconds to"])[1], b"")
        log, sent = self.pump(False, [b"in 5 seconds to skip"])
        self.assertEqual((log, sent), (b"in 5 seconds to skip", b""))


if __name__ == "__main__":
    unittest.main()
