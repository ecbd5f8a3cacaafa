"""The preview's driver over the seventeen real machines' tables in tables/,
for every strap code, against a model of the rewrite written here: only
string 2 of type 1 and type 2 structures the walk reaches changes, only where
that string exists and the result fits the driver's working copy; every
other byte stays. The walk must probe every handle to End-of-Table (to 65535
without one) with four strap reads each, and dmidecode must complain about no
after-dump more than about its dump. SMBIOS_PREVIEW names the built smbios_preview."""

import glob
import os
import struct
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "testbed", "tools"))
import firmware_test  # noqa: E402  (the firmware tests' dmidecode check)
import preview  # noqa: E402
from boardcheck import dumpfile  # noqa: E402

PROGRAM = os.environ.get("SMBIOS_PREVIEW", preview.ROOT + "/build/preview/smbios_preview")
TABLES = sorted(glob.glob(os.path.join(HERE, "tables", "*.dump.bin")))
NAMES = {0: b"KP5VRA-E", 1: b"KP5VRC-E", 2: b"KP5VRA", 4: b"KP5VRA-TE", 6: b"KP5VRA-T", 8: b"KP5VRA-E-WDN"}
WORKING_COPY = 406


def modelled(structure, name, walked):
    """The structure as the driver should leave it."""
    length = structure[1]
    strings = structure[length:-1].split(b"\0")[:-1]
    if name is None or structure[0] not in (1, 2) or not walked or len(strings) < 2:
        return structure
    strings[1] = name
    rewritten = structure[:length] + b"".join(s + b"\0" for s in strings) + b"\0"
    return rewritten if max(len(structure), len(rewritten)) <= WORKING_COPY else structure


class RealTables(unittest.TestCase):
    def test_tables_as_they_came(self):
        self.assertEqual(len(TABLES), 17)
        with open(os.path.join(HERE, "tables", "SOURCES.tsv")) as handle:
            listed = [line.split("\t")[0] for line in handle.read().splitlines()[1:]]
        self.assertEqual(listed, [os.path.basename(path) for path in TABLES])

    def test_every_code_rewrites_as_modelled_and_dmidecode_reads_it(self):
        with tempfile.TemporaryDirectory() as folder:
            for path in TABLES:
                dump = dumpfile.read(path)
                end = dump.end_of_table
                for code in range(16):
                    with self.subTest(table=os.path.basename(path), code=code):
                        data, after, walk = preview.rewrite(PROGRAM, dump, code)
                        wanted = b"".join(modelled(s, NAMES.get(code), struct.unpack_from("<H", s, 2)[0] <= (
                            0xFFFF if end is None else end)) for s in dump.structures)
                        self.assertEqual(after.table, wanted)
                        probes = 0x10000 if end is None else end + 1
                        self.assertEqual((walk.probes, walk.port_reads), (probes, 4 * probes))
                        written = os.path.join(folder, "after.bin")
                        with open(written, "wb") as handle:
                            handle.write(data)
                        firmware_test.check_no_new_complaints(path, written)

    def test_a_new_dmidecode_complaint_fails(self):
        quirk, clean = (os.path.join(HERE, "tables", name) for name in (
            "07-thomas-krenn-x9dbl.dump.bin", "04-lenovo-thinkpad-t480s.dump.bin"))
        with self.assertRaisesRegex(firmware_test.Failure, r"Invalid entry length \(16\)"):
            firmware_test.check_no_new_complaints(clean, quirk)


if __name__ == "__main__":
    unittest.main()
