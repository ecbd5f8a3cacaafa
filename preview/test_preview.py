"""The preview over the committed samples: bad dumps refused with no output,
the entry point fixed up so other readers take the result, the string-2 field
report, and fwupd's hardware IDs per strap code on the testbed's OVMF table.
SMBIOS_PREVIEW names the built smbios_preview."""

import itertools
import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "testbed", "tools"))
import fields  # noqa: E402
import hwids  # noqa: E402
import preview  # noqa: E402
from boardcheck import dumpfile, measurement  # noqa: E402
import smbios_dump  # noqa: E402  (the testbed's own reader, as a second opinion)

PROGRAM = os.environ.get("SMBIOS_PREVIEW", preview.ROOT + "/build/preview/smbios_preview")
NAMED = {0: "KP5VRA-E", 1: "KP5VRC-E", 2: "KP5VRA", 4: "KP5VRA-TE", 6: "KP5VRA-T", 8: "KP5VRA-E-WDN"}


def sample(name):
    with open(os.path.join(HERE, "samples", name), "rb") as handle:
        return handle.read()


def run_preview(data, *arguments):
    """(exit status, stdout, stderr, {file name: bytes} written) of the command line tool."""
    with tempfile.TemporaryDirectory() as folder:
        path, out = os.path.join(folder, "dump.bin"), os.path.join(folder, "out")
        with open(path, "wb") as handle:
            handle.write(data)
        run = subprocess.run([sys.executable, os.path.join(HERE, "preview.py"), path, "--out", out,
                              "--program", PROGRAM] + list(arguments), capture_output=True, text=True)
        written = {}
        for name in os.listdir(out) if os.path.isdir(out) else []:
            with open(os.path.join(out, name), "rb") as handle:
                written[name] = handle.read()
        return run.returncode, run.stdout, run.stderr, written


def with_checksums(data):
    """A dump whose entry point was edited, its checksums made right again."""
    area = bytearray(data[:32])
    if area.startswith(b"_SM3_"):
        area[5] = 0
        area[5] = -sum(area[:0x18]) % 256
    else:
        area[0x15] = area[4] = 0
        area[0x15] = -sum(area[0x10:0x1F]) % 256
        area[4] = -sum(area[:0x1F]) % 256
    return bytes(area) + data[32:]


def by_handle(data):
    return {dumpfile.handle_of(s): s for s in dumpfile.parse(data).structures}


class BadDumps(unittest.TestCase):
    def test_refused_with_a_reason_and_nothing_written(self):
        good, three = sample("ovmf-q35.bin"), sample("manufacturer-is-string-2.bin")
        table_length = struct.unpack_from("<H", good, 0x16)[0]
        second = 32 + len(dumpfile.split(good[32:])[0])
        cases = {
            "not an SMBIOS dump": b"MZ" + bytes(200),
            "truncated: the entry point": good[:-7],
            "truncated: the file holds": three[:-7],
            "after the": good + b"\0",
            "3.0 entry point's length or checksum": three[:5] + bytes([three[5] ^ 1]) + three[6:],
            "2.x entry point's length or checksum": good[:0x1E] + bytes([good[0x1E] ^ 1]) + good[0x1F:],
            "structures end at": with_checksums(good[:0x16] + struct.pack("<H", table_length + 2)
                                                + good[0x18:] + b"\0\0"),
            "counts 12 structures": with_checksums(good[:0x1C] + struct.pack("<H", 12) + good[0x1E:]),
            "overruns the table": good[:-2] + b"\x01\x01",
            "appears twice": good[:second + 2] + good[34:36] + good[second + 4:],
            "no structure": with_checksums(three[:0x0C] + struct.pack("<I", 0) + three[0x10:32]),
        }
        for reason, data in cases.items():
            with self.subTest(reason):
                status, stdout, stderr, written = run_preview(data, "--code", "4")
                self.assertEqual(status, 2)
                self.assertIn(reason, stderr)
                self.assertEqual((stdout, written), ("", {}))


class AfterDumps(unittest.TestCase):
    def test_entry_point_rebuilt_byte_for_byte_and_read_by_the_testbed(self):
        for name in os.listdir(os.path.join(HERE, "samples")):
            data = sample(name)
            dump = dumpfile.parse(data)
            self.assertEqual(dumpfile.build(dump, dump.table), data)
            _, after, _ = preview.rewrite(PROGRAM, dump, 8)
            smbios_dump.parse(dumpfile.build(dump, after.table))

    def test_3_0_dump_shorter_than_its_maximum_taken(self):
        data = sample("manufacturer-is-string-2.bin")
        longer = with_checksums(data[:0x0C] + struct.pack("<I", len(data) - 32 + 100) + data[0x10:])
        status, _, _, written = run_preview(longer, "--code", "2")
        self.assertEqual(status, 0)
        after = written["code2.bin"]
        self.assertEqual(struct.unpack_from("<I", after, 0x0C)[0], len(after) - 32)

    def test_table_without_end_of_table_walked_to_the_last_handle(self):
        three = sample("manufacturer-is-string-2.bin")
        cut = with_checksums(three[:0x0C] + struct.pack("<I", len(three) - 38) + three[0x10:-6])
        status, stdout, _, written = run_preview(cut, "--code", "4")
        self.assertEqual(status, 0)
        self.assertIn("note: the table has no End-of-Table structure", stdout)
        self.assertIn("Walk without End-of-Table: 65,536 probes, 262,144 strap port reads: 0.26 to 0.52 s",
                      stdout)
        after = dumpfile.parse(written["code4.bin"])
        self.assertIsNone(after.end_of_table)
        self.assertEqual(fields.product_name(by_handle(written["code4.bin"])[0x0200]), "KP5VRA-TE")
        status, stdout, _, _ = run_preview(three, "--code", "4")
        self.assertIn("Walk to End-of-Table at 0xFEFF: 65,280 probes, 261,120 strap port reads", stdout)

    def test_named_codes_rename_both_structures_and_touch_nothing_else(self):
        status, stdout, _, written = run_preview(sample("ovmf-q35.bin"))
        self.assertEqual(status, 0)
        self.assertEqual(sorted(written), sorted("code%d.bin" % code for code in NAMED))
        before = by_handle(sample("ovmf-q35.bin"))
        for code, name in NAMED.items():
            after = by_handle(written["code%d.bin" % code])
            self.assertEqual([h for h in after if after[h] != before[h]], [0x0100, 0x0200])
            self.assertEqual({fields.product_name(after[h]) for h in (0x0100, 0x0200)}, {name})
            self.assertRegex(stdout, r"\n +%d  %s +%s +%s +13 of 18\n" % (code, name, name, name))
            digests = measurement.table_digests(dumpfile.parse(written["code%d.bin" % code]).table)
            self.assertIn("\n%4d  %-12s  %s  %s\n" % (code, name, digests["sha256"], digests["sha384"]), stdout)

    def test_long_type1_and_one_string_type2_left_as_they_were(self):
        status, stdout, _, written = run_preview(sample("long-type1-short-type2.bin"))
        self.assertEqual(status, 0)
        for code in NAMED:
            self.assertEqual(written["code%d.bin" % code], sample("long-type1-short-type2.bin"))
        self.assertIn("0x0200  -                       no string 2", stdout)
        self.assertIn("Left as they were for every code: 0x0100 (type 1, 406 bytes, 4 strings), "
                      "0x0200 (type 2, 31 bytes, 1 string)", stdout)

    def test_warns_when_string_2_is_not_the_product_name(self):
        status, stdout, _, written = run_preview(sample("manufacturer-is-string-2.bin"), "--code", "4")
        self.assertEqual(status, 0)
        self.assertIn("warning: type 1 0x0100: the Product Name is string 3: the driver would change "
                      "Manufacturer instead of the Product Name", stdout)
        self.assertEqual(stdout.count("warning"), 1)
        system = by_handle(written["code4.bin"])[0x0100]
        self.assertEqual(fields.strings_of(system)[1:3], [b"KP5VRA-TE", b"TB-SYS-PRODUCT"])


class ReferenceValues(unittest.TestCase):
    def test_each_code_its_own_value_and_no_driver_the_table_as_it_is(self):
        data = sample("ovmf-q35.bin")
        values = preview.reference_values(PROGRAM, data, [0, 4, 8])
        self.assertEqual(values[None], measurement.table_digests(dumpfile.parse(data).table))
        for bank in ("sha256", "sha384"):
            self.assertEqual(len({values[code][bank] for code in (None, 0, 4, 8)}), 4)


class Survey(unittest.TestCase):
    def test_each_structure_renamed_or_skipped_with_why(self):
        paths = [os.path.join(HERE, "samples", name) for name in
                 ("long-type1-short-type2.bin", "manufacturer-is-string-2.bin", "ovmf-q35.bin")]
        with tempfile.NamedTemporaryFile(suffix=".bin") as bad:
            bad.write(sample("ovmf-q35.bin")[:-7])
            bad.flush()
            run = subprocess.run([sys.executable, os.path.join(HERE, "preview.py"), "--survey", *paths, bad.name,
                                  "--program", PROGRAM], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        rows = [line for line in run.stdout.splitlines() if line.startswith("| ") and ".bin" in line]
        self.assertEqual(len(rows), 4)
        self.assertIn("| refused: truncated: the entry point gives", rows[3])
        self.assertIn("| 1 0x0100: string 2 'TB-1' feeds Product Name; skipped: with the name it would "
                      "outgrow the driver's 406-byte working copy<br>2 0x0200: no string 2; skipped: only one "
                      "string | 0xFEFF | 65,280 | 261,120 | 0.26 to 0.52 s |", rows[0])
        self.assertIn("feeds Manufacturer; Manufacturer renamed<br>", rows[1])
        self.assertIn("6 type 1 and 2 structures in 3 dumps: 3 get their product field renamed, 1 another "
                      "field (or more than it), 2 are skipped.\n1 of 4 dumps refused (above).", run.stdout)


class StringTwoFields(unittest.TestCase):
    def structure(self, kind, length, numbers, first=b"A"):
        area = bytearray(length)
        area[0], area[1] = kind, length
        for offset, value in numbers.items():
            area[offset] = value
        return bytes(area) + first + b"\0B\0C\0\0"

    def test_fields_within_the_length_only(self):
        cases = [
            (self.structure(1, 27, {5: 2, 6: 2}), "Product Name + Version", "besides the Product Name"),
            # The SKU Number's byte would be the 2 that starts string 1.
            (self.structure(1, 0x19, {4: 1, 5: 3}, b"\x02A"), "no field", "is string 3"),
            (self.structure(2, 5, {4: 2}), "Manufacturer", "Product is outside the Length"),
            (self.structure(2, 11, {5: 2, 0x0A: 1}), "Product", None),
        ]
        for structure, fed, warning in cases:
            with self.subTest(fed):
                text, said = fields.assessment(structure)
                self.assertEqual(text, fed)
                if warning:
                    self.assertIn(warning, said)
                else:
                    self.assertIsNone(said)


class HardwareIds(unittest.TestCase):
    """fwupd's IDs of the testbed table as OVMF built it, after each of the 16 codes."""

    @classmethod
    def setUpClass(cls):
        dump = dumpfile.parse(sample("ovmf-q35.bin"))
        cls.before = dict(hwids.for_dump(dump))
        cls.after = {code: dict(hwids.for_dump(preview.rewrite(PROGRAM, dump, code)[1])) for code in range(16)}

    def ids(self, code, keep):
        table = self.before if code is None else self.after[code]
        return {guid for guid, kind in table.items() if keep(kind)}

    def test_each_named_code_has_ids_of_its_own(self):
        for keep in (lambda k: "ProductName" in k, lambda k: "BaseboardProduct" in k and "ProductName" not in k):
            sets = [self.ids(code, keep) for code in [None] + sorted(NAMED)]
            self.assertTrue(all(sets))
            for first, second in itertools.combinations(sets, 2):
                self.assertFalse(first & second)

    def test_codes_without_a_name_keep_every_id(self):
        for code in set(range(16)) - set(NAMED):
            self.assertEqual(self.after[code], self.before)

    def test_ids_without_a_product_field_are_the_same_for_every_code(self):
        plain = lambda k: "ProductName" not in k and "BaseboardProduct" not in k  # noqa: E731
        self.assertEqual(len(self.ids(None, plain)), 5)
        for code in range(16):
            self.assertEqual(self.ids(code, plain), self.ids(None, plain))


if __name__ == "__main__":
    unittest.main()
