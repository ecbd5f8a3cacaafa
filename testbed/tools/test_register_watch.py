"""The register recorder's instruction decoding, its trace counting and the
firmware check of the recorded accesses, fed hand-made cases."""

import io
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import firmware_test as ft  # noqa: E402
import register_watch as rw  # noqa: E402
import x86_move  # noqa: E402

A, B = ft.DEVICE_REGISTERS
END = 0x1000  # the stopped RIP: the accessing instruction ends here


def registers(**values):
    names = ["rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi"] + ["r%d" % n for n in range(8, 16)]
    return [values.get(name, 0x1111111111111111 * (n + 1)) for n, name in enumerate(names)]


class DecodeTest(unittest.TestCase):
    def explain(self, code, regs, address=A, kind="read"):
        start, move, value = x86_move.explain_stop(b"\x90\xc3\xcc" + code, END, regs, address, kind)
        return (END - start, move.width if move else 0, value)

    def test_the_driver_s_byte_moves(self):
        # mov al,[rcx] / mov [rcx],dl, as the image has them
        self.assertEqual(self.explain(b"\x8a\x01", registers(rcx=A, rax=0x7F5A)), (2, 1, 0x5A))
        self.assertEqual(self.explain(b"\x88\x11", registers(rcx=B, rdx=0xA5), B, "write"), (2, 1, 0xA5))

    def test_other_forms_give_width_and_value(self):
        cases = {
            "mov byte [rip+d],imm8": (b"\xc6\x05\x00\x01\x00\x00\x5a", registers(), "write", (7, 1, 0x5A)),
            "mov [r12],dl": (b"\x41\x88\x14\x24", registers(r12=A, rdx=0x33), "write", (4, 1, 0x33)),
            "mov [rcx],dh": (b"\x88\x31", registers(rcx=A, rdx=0x4400), "write", (2, 1, 0x44)),
            "movzx eax,byte [rax]": (b"\x0f\xb6\x00", registers(rax=0x5A), "read", (3, 1, 0x5A)),
            "mov [rcx],edx": (b"\x89\x11", registers(rcx=A, rdx=0x12345678), "write", (2, 4, 0x12345678)),
            "mov [rcx],dx": (b"\x66\x89\x11", registers(rcx=A, rdx=0x1234), "write", (3, 2, 0x1234)),
        }
        for name, (code, regs, kind, wanted) in cases.items():
            with self.subTest(name):
                address = END + 0x100 if "rip" in name else A
                self.assertEqual(self.explain(code, regs, address, kind), wanted)

    def test_refuses_another_address_or_kind(self):
        self.assertEqual(self.explain(b"\x8a\x01", registers(rcx=B)), (0, 0, None))
        self.assertEqual(self.explain(b"\x8a\x01", registers(rcx=A), kind="write"), (0, 0, None))
        self.assertEqual(self.explain(b"\x89\xc8", registers(), kind="write"), (0, 0, None))  # mov eax,ecx


class TraceSinkTest(unittest.TestCase):
    def test_counts_strap_reads_across_split_lines_and_drops_other_devices(self):
        strap = b"memory_region_ops_read cpu 0 mr 0x1 addr 0x1c0e value 0x2 size 1 name 'isa-debugcon'\n"
        other = b"memory_region_ops_read cpu 0 mr 0x2 addr 0x0 value 0x0 size 4 name 'ahci'\n"
        read_end, write_end = os.pipe()
        output = io.BytesIO()
        with os.fdopen(read_end, "rb") as stream:
            sink = rw.TraceSink(stream, output)
            os.write(write_end, strap + other + strap[:30])
            sink.drain()
            self.assertEqual(sink.strap_reads, 1)
            os.write(write_end, strap[30:] + b"qemu: a message\n")
            os.close(write_end)
            sink.drain()
        self.assertEqual(sink.strap_reads, 2)
        self.assertEqual(output.getvalue(), strap + strap + b"qemu: a message\n")
        self.assertFalse(sink.open)


class RegisterAccessCheckTest(unittest.TestCase):
    def accesses(self, entries, straps=2):
        return [rw.Access(address, kind, width, value, 0, straps) for address, kind, width, value in entries]

    def withdrawn(self, runs=(True, True)):
        marks = [(ft.PHASE_MARK, "write", 1, phase) for phase in (1, 2, 3)]
        entries = [marks[0]] + (ft.write_back_run() if runs[0] else []) + [marks[1]]
        entries += (ft.write_back_run() if runs[1] else []) + [marks[2]]
        accesses = self.accesses(entries)
        accesses[-1].strap_reads_before = 42
        return accesses

    def test_accepts_one_write_back_per_run(self):
        ft.check_register_accesses(self.accesses(ft.write_back_run()), "rewrite", 1, 42)
        ft.check_register_accesses([], "trigger-first", 0, 2)
        ft.check_register_accesses(self.withdrawn(), "trigger-withdrawn", 1, 42)

    def test_catches_each_fault(self):
        run = ft.write_back_run()
        stale = run[:4] + [(A, "write", 1, ft.PRESENTED[B])]
        wide = [(A, "read", 2, ft.PRESENTED[A])] + run[1:]
        faults = {
            "merged writes": ("rewrite", self.accesses(run[:3] + run[4:])),
            "reordered writes": ("rewrite", self.accesses(run[:2] + [run[3], run[2], run[4]])),
            "stale value": ("rewrite", self.accesses(stale)),
            "wider read": ("rewrite", self.accesses(wide)),
            "two write-backs": ("rewrite", self.accesses(run + run)),
            "after the first strap read": ("rewrite", self.accesses(run, straps=6)),
            "no write-back without the trigger": ("trigger-withdrawn", self.withdrawn(runs=(False, True))),
            "walk after the install": ("trigger-withdrawn", self.withdrawn()[:-1] + self.accesses(
                [(ft.PHASE_MARK, "write", 1, 3)], straps=40)),
            "watch failed": ("rewrite", None),
        }
        for fault, (scenario, accesses) in faults.items():
            with self.subTest(fault=fault), self.assertRaises(ft.Failure):
                ft.check_register_accesses(accesses, scenario, 1, 42)


if __name__ == "__main__":
    unittest.main()
