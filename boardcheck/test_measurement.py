"""EDK II's SMBIOS measurement filter (measurement.py) on hand-made
structures: every filtered type with exactly its fields blanked, strings a
field cannot name, fields past a short Length, the zeroed and OEM types,
unfiltered types byte for byte, the string limit of tables before 2.7, and
tables EDK II's walk cannot take on. Expectations are written out per case:
a formatted area of FILL bytes, the zeroed bytes listed, the blanked strings
numbered."""

import hashlib
import random
import struct
import unittest

from boardcheck import measurement

FILL = 0xA5
LONG = b"L" * 100


def structure(kind, length, numbers, strings, handle=0x1234):
    """A structure whose formatted area is FILL but for `numbers` ({offset: byte})."""
    area = bytearray([FILL]) * length
    area[:4] = struct.pack("<BBH", kind, length, handle)
    for offset, value in numbers.items():
        area[offset] = value
    return bytes(area) + b"".join(s + b"\0" for s in strings) + (b"" if strings else b"\0") + b"\0"


def expected(kind, length, numbers, strings, zeroed, blanked):
    """The structure as the filter must leave it: the (offset, size) ranges in
    `zeroed` zeroed, the strings numbered in `blanked` turned to spaces."""
    after = dict(numbers)
    after.update({offset + i: 0 for offset, size in zeroed for i in range(size)})
    return structure(kind, length, after, [b" " * len(s) if n in blanked else s
                                           for n, s in enumerate(strings, 1)])


SIX = [b"One", b"Two", b"Three", LONG, b"S", b"Six"]   # string 4 long, string 5 one byte

# (what, type, Length, string numbers {offset: n}, strings, zeroed [(offset, size)], blanked string numbers)
CASES = [
    ("type 1 serial, UUID, wake-up", 1, 0x1B, {4: 1, 5: 2, 6: 3, 7: 4, 0x19: 5, 0x1A: 6}, SIX,
     [(7, 1), (8, 16), (0x18, 1)], {4}),
    ("type 2 serial, location; asset tag kept", 2, 0x0F, {4: 1, 5: 2, 6: 3, 7: 5, 8: 4, 0x0A: 6}, SIX,
     [(7, 1), (0x0A, 1)], {5, 6}),
    ("type 3 serial, asset tag", 3, 0x15, {4: 1, 6: 2, 7: 4, 8: 5}, SIX, [(7, 1), (8, 1)], {4, 5}),
    ("type 4 strings, counts, voltage, speed", 4, 0x30, {4: 1, 7: 2, 0x10: 3, 0x20: 4, 0x21: 5, 0x22: 6}, SIX,
     [(0x11, 1), (0x16, 2), (0x20, 6), (0x2A, 6)], {4, 5, 6}),
    ("type 17 serial, asset tag, part", 17, 0x28, {0x10: 1, 0x11: 2, 0x17: 3, 0x18: 4, 0x19: 5, 0x1A: 6}, SIX,
     [(0x18, 3)], {4, 5, 6}),
    ("type 22 serial, SBDS serial and date", 22, 0x1A, {4: 1, 5: 2, 6: 3, 7: 4, 8: 5, 9: 6}, SIX,
     [(7, 1), (0x10, 4)], {4}),
    ("type 23 reset count", 23, 0x0D, {}, [], [(5, 2)], set()),
    ("type 27 nominal speed", 27, 0x0F, {0x0E: 1}, [b"Fan"], [(0x0C, 2)], set()),
    ("type 39 serial, asset tag, part", 39, 0x16, {5: 1, 6: 2, 7: 3, 8: 4, 9: 5, 0x0A: 6, 0x0B: 1}, SIX,
     [(8, 3)], {4, 5, 6}),
    # Strings a field cannot name.
    ("string number 0: nothing blanked", 1, 0x1B, {7: 0}, SIX[:3], [(8, 16), (0x18, 1)], set()),
    ("number past the strings: the last one blanked", 2, 0x0F, {7: 9, 0x0A: 0}, SIX[:3], [(7, 1)], {3}),
    ("no strings: only the number zeroed", 3, 0x15, {7: 2, 8: 0}, [], [(7, 1)], set()),
    # Fields past the Length are left alone, whatever bytes follow it.
    ("type 1 of Length 8: serial only", 1, 8, {4: 1, 5: 2, 6: 3, 7: 4}, SIX, [(7, 1)], {4}),
    ("type 1 of Length 0x18: UUID, no wake-up", 1, 0x18, {7: 4}, SIX, [(7, 1), (8, 16)], {4}),
    ("type 2 of Length 0x0A: no location", 2, 0x0A, {7: 4}, SIX, [(7, 1)], {4}),
    ("type 4 of Length 0x23: no counts", 4, 0x23, {0x20: 4, 0x21: 5, 0x22: 6}, SIX,
     [(0x11, 1), (0x16, 2), (0x20, 3)], {4, 5, 6}),
    ("type 4 of Length 0x2B: counts, no Core Count 2", 4, 0x2B, {0x20: 4, 0x21: 0, 0x22: 0}, SIX,
     [(0x11, 1), (0x16, 2), (0x20, 6)], {4}),
]


class Filter(unittest.TestCase):
    def test_each_case_blanks_exactly_its_fields(self):
        for what, kind, length, numbers, strings, zeroed, blanked in CASES:
            with self.subTest(what):
                table = structure(kind, length, numbers, strings)
                self.assertEqual(measurement.filtered_table(table),
                                 expected(kind, length, numbers, strings, zeroed, blanked))

    def test_zeroed_and_oem_types_keep_only_their_header(self):
        for kind in (11, 15, 18, 31, 33, 128, 200, 255):
            with self.subTest(kind):
                table = structure(kind, 0x10, {4: 1, 5: 2}, [b"One", LONG], handle=0xBEEF)
                self.assertEqual(measurement.filtered_table(table),
                                 struct.pack("<BBH", kind, 0x10, 0xBEEF) + bytes(len(table) - 4))

    def test_table_filtered_in_place_unfiltered_types_byte_identical(self):
        plain = [structure(kind, 0x12, {4: 1, 7: 2}, [b"One", b"Two"]) for kind in (0, 5, 16, 19, 126, 127)]
        end = structure(127, 4, {}, [], handle=0xFEFF)
        what, kind, length, numbers, strings, zeroed, blanked = CASES[0]
        table = b"".join(plain[:2] + [structure(kind, length, numbers, strings)] + plain[2:] + [end])
        want = b"".join(plain[:2] + [expected(kind, length, numbers, strings, zeroed, blanked)] + plain[2:] + [end])
        self.assertEqual(measurement.filtered_table(table), want)
        self.assertEqual(measurement.caveats(table), [])
        self.assertEqual(measurement.table_digests(table), {"sha256": hashlib.sha256(want).hexdigest(),
                                                            "sha384": hashlib.sha384(want).hexdigest()})


class WhereEdk2Stops(unittest.TestCase):
    def test_string_of_64_bytes_stops_the_filter_before_2_7(self):
        first = structure(3, 0x15, {7: 1}, [b"Serial"])
        for string, version, stops in ((b"x" * 64, (2, 6), True), (b"x" * 63, (2, 6), False),
                                       (b"x" * 64, (2, 7), False), (b"x" * 64, None, False)):
            with self.subTest(len=len(string), version=version):
                table = first + structure(1, 0x1B, {7: 1}, [string]) + structure(11, 5, {}, [b"Group"])
                filtered = measurement.filtered_table(table, version)
                self.assertEqual(filtered[:len(first)], measurement.filtered_table(first))
                self.assertEqual(filtered[len(first):] == table[len(first):], stops)
                self.assertEqual(any("string of 64 bytes or more" in line
                                     for line in measurement.caveats(table, version)), stops)

    def test_malformed_tables_left_as_they_are_from_the_fault_on(self):
        good = structure(1, 0x1B, {7: 1}, [b"Serial"])
        cases = {
            "runs past the table's end": structure(2, 0x0F, {7: 1}, [b"Serial"])[:-1],
            "has a Length below 4": b"\x02\x03\x00\x00A\0\0",
            "ends 3 bytes into a structure header": b"\x02\x0f\x00",
        }
        for reason, tail in cases.items():
            with self.subTest(reason):
                filtered = measurement.filtered_table(good + tail)
                self.assertEqual(filtered, measurement.filtered_table(good) + tail)
                self.assertIn(reason, " ".join(measurement.caveats(good + tail)))

    def test_no_strings_for_a_string_field_is_reported(self):
        lines = measurement.caveats(structure(17, 0x28, {0x18: 0, 0x19: 3, 0x1A: 0}, [], handle=0x1100))
        self.assertEqual(len(lines), 1)
        self.assertIn("type 17 0x1100: its Asset Tag names string 3, but the structure has no strings", lines[0])

    def test_random_bytes_never_read_past_the_table(self):
        chooser, alphabet = random.Random(20), (0, 0, 1, 2, 4, 11, 17, 128, 0x1B, 0x41)
        for _ in range(3000):
            table = bytes(chooser.choice(alphabet) for _ in range(chooser.randrange(60)))
            self.assertEqual(len(measurement.filtered_table(table, chooser.choice((None, (2, 6))))), len(table))


if __name__ == "__main__":
    unittest.main()
