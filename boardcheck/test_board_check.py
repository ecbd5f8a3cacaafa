"""The board check over crafted tables and event logs: a good board, each
kind of mismatch (type 1 and type 2 disagreeing, a name none of ours, another
variant attested, no SMBIOS event, a PCR1 the log does not replay to, the
table before the driver attested), what it cannot read (a log cut short, a
missing table), Linux's sysfs form beside dmidecode's, the live reading of
what Linux and the TPM export, and the one-file build. Then its board names
and variant tables against the preview's run of the driver (SMBIOS_PREVIEW)
over the samples and the real tables."""

import contextlib
import glob
import hashlib
import io
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import uuid

from boardcheck import boards, check, dumpfile, measurement

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SMBIOS3_GUID = "F2FD1544-9794-4A2C-992E-E5BBCF20E394"
ACPI_GUID = "8868E871-E4F1-11D3-BC22-0080C73C8881"
SHA256, SHA384 = 0x000B, 0x000C


def structure(kind, handle, area, strings):
    """A structure: header, `area` (the formatted bytes after it), strings."""
    head = struct.pack("<BBH", kind, 4 + len(area), handle) + bytes(area)
    return head + b"".join(s + b"\0" for s in strings) + (b"\0" if strings else b"\0\0")


def system(name, handle=0x0100):
    # Manufacturer 1, Product Name 2, Version 0, Serial 3, a UUID, wake-up, SKU, family.
    return structure(1, handle, bytes([1, 2, 0, 3]) + bytes(range(16)) + bytes([6, 0, 0]),
                     [b"Maker", name, b"SN-0001"])


def baseboard(name, handle=0x0200):
    # Manufacturer 1, Product 2, Version 0, Serial 3, no asset tag, features, location 0.
    return structure(2, handle, bytes([1, 2, 0, 3, 0, 1, 0]) + b"\0\0" + bytes([10, 0]),
                     [b"Maker", name, b"BSN-7"])


END = structure(127, 0xFEFF, b"", [])


def table(*structures):
    return b"".join(structures) + END


def dump_bytes(data):
    area = b"_SM3_\0\x18\x03\x00\x00\x01\x00" + bytes(4) + struct.pack("<Q", dumpfile.TABLE_OFFSET) + bytes(8)
    return dumpfile.build(dumpfile.Dump(area, b"", []), data)


def log_bytes(events):
    """A crypto-agile log (sha256 and sha384 banks) of (pcr, type, data, digested bytes) events."""
    spec = b"Spec ID Event03\0" + struct.pack("<IBBBBI", 0, 0, 2, 0, 2, 2) + \
        struct.pack("<HHHH", SHA256, 32, SHA384, 48) + b"\0"
    out = struct.pack("<II20sI", 0, 3, bytes(20), len(spec)) + spec
    for pcr, kind, data, digested in events:
        out += struct.pack("<III", pcr, kind, 2)
        out += struct.pack("<H", SHA256) + hashlib.sha256(digested).digest()
        out += struct.pack("<H", SHA384) + hashlib.sha384(digested).digest()
        out += struct.pack("<I", len(data)) + data
    return out


def handoff(guid):
    return struct.pack("<Q", 1) + uuid.UUID(guid).bytes_le + struct.pack("<Q", 0x7F000000)


def measured_log(measured_table, smbios=True):
    """A log with PCR0 and PCR1 events around EDK II's measurement of `measured_table`."""
    events = [(0, 8, b"code", b"firmware code"), (1, 0x80000006, b"config", b"platform config")]
    if smbios:
        events.append((1, 0x80000009, handoff(SMBIOS3_GUID), measurement.filtered_table(measured_table, (3, 0))))
    events.append((1, 0x80000009, handoff(ACPI_GUID), b"acpi"))
    return log_bytes(events)


def pcr1_of(log_events_digested):
    value = bytes(32)
    for digested in log_events_digested:
        value = hashlib.sha256(value + hashlib.sha256(digested).digest()).digest()
    return value.hex()


GOOD = table(system(b"KP5VRA-TE"), baseboard(b"KP5VRA-TE"))
BEFORE = table(system(b"STOCK-PRODUCT"), baseboard(b"STOCK-BOARD"))


class BoardCheck(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.folder]))

    def file(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as handle:
            handle.write(data)
        return path

    def run_check(self, *args):
        """(exit status, stdout, stderr) of board-check with `args`."""
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = check.main(list(args))
        return status, out.getvalue(), err.getvalue()

    def findings(self, data, log=None, *args):
        """(exit status, findings) of board-check --json over the table `data` and `log`."""
        extra = ["--event-log", self.file("log.bin", log)] if log is not None else []
        status, out, _ = self.run_check("--dump", self.file("dump.bin", dump_bytes(data)), "--json", *extra, *args)
        return status, json.loads(out)

    def test_a_good_board_passes_for_its_code_only(self):
        pcr1 = pcr1_of([b"platform config", measurement.filtered_table(GOOD, (3, 0)), b"acpi"])
        status, found = self.findings(GOOD, measured_log(GOOD), "--pcr1", pcr1, "--expect-code", "4")
        self.assertEqual(status, 0, found["verdict"])
        self.assertEqual(found["board"], {"code": 4, "name": "KP5VRA-TE"})
        self.assertEqual([(s["type"], s["handle"], s["product_name"]) for s in found["structures"]],
                         [(1, 0x0100, "KP5VRA-TE"), (2, 0x0200, "KP5VRA-TE")])
        measured = found["measured"]
        self.assertEqual((measured["pcr1_agrees"], measured["measures_table_read"], measured["attests"]["code"]),
                         (True, True, 4))
        self.assertEqual(sorted(measured["event"]["digests"]), ["sha256", "sha384"])
        status, found = self.findings(GOOD, measured_log(GOOD), "--expect-code", "6")
        self.assertEqual(status, 1)
        self.assertIn("type 1 0x0100 names KP5VRA-TE (code 4)", found["verdict"]["line"])
        self.assertIn("the TPM attests code 4's table", found["verdict"]["line"])
        # Text, and Linux's own form of the table: a 2.x entry point at the firmware's address.
        status, text, _ = self.run_check("--dump", self.file("d.bin", dump_bytes(GOOD)), "--expect-code", "4")
        self.assertEqual(status, 0)
        self.assertIn("Type 1 and type 2 agree: board KP5VRA-TE, strap code 4.", text)
        self.assertTrue(text.rstrip().endswith("(no event log: the TPM is not checked)"), text)
        entry = bytearray(b"_SM_\0\x1f\x02\x08" + bytes(8) + b"_DMI_" + bytes(10))
        struct.pack_into("<HIHB", entry, 0x16, len(GOOD), 0x000F0000, 3, 0x28)
        entry[0x15] = -sum(entry[0x10:0x1F]) % 256
        entry[4] = -sum(entry) % 256
        sysfs = os.path.join(self.folder, "tables")
        os.mkdir(sysfs)
        self.file("tables/smbios_entry_point", bytes(entry))
        self.file("tables/DMI", GOOD)
        status, out, _ = self.run_check("--dmi", sysfs, "--json", "--expect-code", "4")
        self.assertEqual((status, json.loads(out)["table"]["smbios"]), (0, "2.8"))

    def test_each_mismatch_exits_1_saying_what_differs(self):
        other = table(system(b"KP5VRA-TE"), baseboard(b"KP5VRA-T"))
        stock = table(system(b"Some Laptop"), baseboard(b"Some Board"))
        variant6 = boards.variant_table(dumpfile.parse(dump_bytes(GOOD)), 6)
        cases = {
            "type 1 and type 2 disagree": (other, None, ["type 2 0x0200 names KP5VRA-T (code 6)"], False, None),
            "a name none of ours": (stock, None, ["type 1 0x0100 names Some Laptop (none of ours)"], False, None),
            "another variant attested": (GOOD, measured_log(variant6), ["the TPM attests code 6's table (KP5VRA-T)"],
                                         True, 6),
            "no SMBIOS event": (GOOD, measured_log(GOOD, smbios=False),
                                ["the event log holds 0 SMBIOS events", "the TPM attests no table"], True, None),
        }
        for what, (data, log, said, agree, attests) in cases.items():
            with self.subTest(what):
                status, found = self.findings(data, log, "--expect-code", "4")
                self.assertEqual(status, 1)
                self.assertEqual(found["names_agree"], agree)
                for part in said:
                    self.assertIn(part, found["verdict"]["line"])
                if attests is not None:
                    self.assertEqual(found["measured"]["attests"]["code"], attests)
                self.assertEqual(self.findings(data, log)[0], 1, "without --expect-code too")
        with self.subTest("PCR1 the log does not replay to"):
            status, found = self.findings(GOOD, measured_log(GOOD), "--pcr1", "sha256:" + "ab" * 32)
            self.assertEqual((status, found["measured"]["pcr1_agrees"]), (1, False))
        with self.subTest("the table before the driver attested, as after a late trigger"):
            status, found = self.findings(GOOD, measured_log(BEFORE), "--before",
                                          self.file("before.bin", dump_bytes(BEFORE)), "--expect-code", "4")
            self.assertEqual((status, found["measured"]["measures_table_read"]), (1, False))
            self.assertIn("the TPM attests the table before the driver ran", found["verdict"]["line"])
            self.assertEqual(self.findings(GOOD, measured_log(BEFORE), "--expect-code", "4")[1]["measured"]["attests"],
                             None, "without --before the table is none of ours")
        with self.subTest("a table the driver would leave as it is: the TPM attests it, not code 0's"):
            single = table(structure(1, 0x0100, bytes([0, 1, 0, 0]), [b"Only"]),
                           structure(2, 0x0200, bytes([0, 1, 0, 0]), [b"Only"]))
            status, found = self.findings(single, measured_log(single), "--expect-code", "0")
            self.assertEqual((status, found["measured"]["attests"]["code"]), (1, None))
            self.assertIn("the TPM attests the table Linux reads", found["verdict"]["line"])
        with self.subTest("a code without a board: the table as it was"):
            self.assertEqual(self.findings(stock, measured_log(stock), "--expect-code", "3")[0], 0)
            self.assertEqual(self.findings(GOOD, None, "--expect-code", "3")[0], 1)

    def test_what_it_cannot_read_exits_2_saying_what(self):
        log = measured_log(GOOD)
        cases = {"a log cut short": (["--event-log", self.file("cut.bin", log[:-3])],
                                     "the event log: the log is cut short"),
                 "a log that is not crypto-agile": (["--event-log", self.file("old.bin", log[:32] + bytes(40))],
                                                    "the event log"),
                 "no table": (["--dmi", os.path.join(self.folder, "none")], "the SMBIOS entry point"),
                 "a dump cut short": (["--dump", self.file("short.bin", dump_bytes(GOOD)[:-20])], "the SMBIOS table")}
        for what, (args, said) in cases.items():
            with self.subTest(what):
                if "--dmi" not in args and "--dump" not in args:
                    args = args + ["--dump", self.file("dump.bin", dump_bytes(GOOD))]
                status, out, err = self.run_check(*args, "--expect-code", "4")
                self.assertEqual((status, out), (2, ""))
                self.assertTrue(err.startswith("board-check: cannot read " + said), err)

    def test_on_the_board_it_reads_linux_and_the_tpm(self):
        """Live: the tables, the log and PCR1 where Linux exports them; a TPM
        whose log cannot be read stops the check (exit 2), as the factory
        line must not pass a board it could not check."""
        sysfs = {name: os.path.join(self.folder, name) for name in ("tables", "tpm0", "log")}
        os.makedirs(sysfs["tables"])
        dump = dump_bytes(GOOD)
        self.file("tables/smbios_entry_point", dump[:0x18])
        self.file("tables/DMI", dump[dumpfile.TABLE_OFFSET:])
        os.makedirs(os.path.join(sysfs["tpm0"], "pcr-sha256"))
        pcr1 = pcr1_of([b"platform config", measurement.filtered_table(GOOD, (3, 0)), b"acpi"])
        self.file("tpm0/pcr-sha256/1", pcr1.upper().encode() + b"\n")
        places = {"SYSFS_TABLES": sysfs["tables"], "SYSFS_TPM": sysfs["tpm0"], "SYSFS_LOG": sysfs["log"]}
        places["_pcr1_from_tpm2_pcrread"] = lambda bank: None  # this host's own TPM, if any, stays out
        for name, value in places.items():
            self.addCleanup(setattr, check, name, getattr(check, name))
            setattr(check, name, value)
        status, _, err = self.run_check("--expect-code", "4")
        self.assertEqual(status, 2)
        self.assertIn("cannot read the TPM's event log (as root, with securityfs mounted)", err)
        self.file("log", measured_log(GOOD))
        status, out, _ = self.run_check("--expect-code", "4", "--json")
        found = json.loads(out)
        self.assertEqual((status, found["pcr1_source"], found["measured"]["pcr1_agrees"]), (0, "sysfs", True))
        self.assertEqual(found["table"]["source"], sysfs["tables"])

    @unittest.skipUnless(os.environ.get("BOARD_CHECK_PYZ"), "the one-file build is made by the CMake build")
    def test_one_file_build_runs_alone(self):
        dump = self.file("dump.bin", dump_bytes(GOOD))
        run = subprocess.run([sys.executable, "-I", os.environ["BOARD_CHECK_PYZ"], "--dump", dump,
                              "--expect-code", "4"], capture_output=True, text=True, cwd=self.folder)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("PASS: code 4 (KP5VRA-TE)", run.stdout)


@unittest.skipUnless(os.environ.get("SMBIOS_PREVIEW"), "needs the built smbios_preview")
class AgainstThePreview(unittest.TestCase):
    """The board check computes each variant's table without the driver's
    build: it must be what the driver makes, from the table before and from
    any variant's table after."""

    def test_names_and_variant_tables_are_the_drivers(self):
        sys.path.insert(0, os.path.join(ROOT, "preview"))
        import preview
        program = os.environ["SMBIOS_PREVIEW"]
        self.assertEqual(preview.board_names(program), boards.BOARD_NAMES)
        paths = sorted(glob.glob(os.path.join(ROOT, "preview", "samples", "*.bin")) +
                       glob.glob(os.path.join(ROOT, "preview", "tables", "*.dump.bin")))
        checked = 0
        for path in paths:
            try:
                before = dumpfile.read(path)
            except dumpfile.DumpError:
                continue     # the samples of dumps the preview refuses
            after = preview.rewrite(program, before, 4)[1]
            for code in boards.BOARD_NAMES:
                with self.subTest(table=os.path.basename(path), code=code):
                    wanted = preview.rewrite(program, before, code)[1].table
                    self.assertEqual(boards.variant_table(before, code), wanted)
                    self.assertEqual(boards.variant_table(after, code), wanted)
            checked += 1
        self.assertGreater(checked, 17)


if __name__ == "__main__":
    unittest.main()
