"""Records every guest access to a few single-byte addresses through QEMU's
GDB stub (`-gdb tcp:127.0.0.1:PORT -S`), speaking the remote protocol.

Each address gets a read and a write watchpoint (Z3, Z2), so QEMU's stop
reply says which kind fired. Under TCG the stop comes after the accessing
instruction; the instruction is decoded from the bytes before the stopped
RIP, which gives its width and the register (or immediate) that carries the
value: for a read the destination after the load, for a write the source.
At every stop the console of strap-port trace lines is drained first, so
each access also carries the number of strap reads that came before it.
"""

import dataclasses
import os
import select
import socket
import time

# The 'g' packet lists rax rbx rcx rdx rsi rdi rbp rsp r8..r15 rip; these are
# their numbers in the instruction encoding (0 rax, 1 rcx, 2 rdx, 3 rbx, ...).
GDB_ORDER = [0, 3, 1, 2, 6, 7, 5, 4] + list(range(8, 16))
STRAP_LINE = b"name 'isa-debugcon'"


@dataclasses.dataclass
class Access:
    address: int
    kind: str          # "read" or "write"
    width: int         # bytes, from the decoded instruction (0 when not decodable)
    value: int         # what the guest got or stored; None when not decodable
    rip: int           # the instruction's address
    strap_reads_before: int
    machine_value: int = None  # for a presented read: what QEMU itself read

    def line(self):
        value = "??" if self.value is None else "%0*x" % (2 * max(self.width, 1), self.value)
        presented = "" if self.machine_value is None else " (presented; QEMU read 0x%02x)" % self.machine_value
        return "%s %#x width %d value 0x%s%s, rip %#x, after %d strap reads" % (
            self.kind, self.address, self.width, value, presented, self.rip, self.strap_reads_before)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---- the instruction that stopped -------------------------------------------

@dataclasses.dataclass
class Move:
    length: int
    kind: str
    width: int
    register: int = None   # the value's register, by its encoding number
    high_byte: bool = False  # AH, CH, DH, BH
    immediate: int = None
    base: int = None
    index: int = None
    scale: int = 1
    displacement: int = 0
    rip_relative: bool = False


def _signed(data, size):
    return int.from_bytes(data[:size], "little", signed=True)


def decode_move(code):
    """Decodes `code` as one x86-64 MOV/MOVZX between a register or immediate
    and memory; returns a Move when it is exactly one such instruction."""
    at, operand16, rex = 0, False, 0
    while at < len(code) and code[at] in PREFIXES[:8]:
        operand16 |= code[at] == 0x66
        at += 1
    if at < len(code) and 0x40 <= code[at] <= 0x4F:
        rex, at = code[at], at + 1
    wide = 8 if rex & 8 else 2 if operand16 else 4
    opcode = code[at:at + 2]
    if opcode[:1] in (b"\x88", b"\x8a", b"\xc6"):
        kind, width, at = ("read" if opcode[0] == 0x8A else "write"), 1, at + 1
    elif opcode[:1] in (b"\x89", b"\x8b", b"\xc7"):
        kind, width, at = ("read" if opcode[0] == 0x8B else "write"), wide, at + 1
    elif opcode in (b"\x0f\xb6", b"\x0f\xb7"):
        kind, width, at = "read", 1 if opcode[1] == 0xB6 else 2, at + 2
    else:
        return None
    if at >= len(code):
        return None
    modrm = code[at]
    mod, reg, rm = modrm >> 6, (modrm >> 3) & 7, modrm & 7
    at += 1
    if mod == 3:
        return None
    move = Move(length=0, kind=kind, width=width)
    if rm == 4:
        if at >= len(code):
            return None
        sib = code[at]
        at += 1
        move.scale = 1 << (sib >> 6)
        index = ((sib >> 3) & 7) | (8 if rex & 2 else 0)
        move.index = None if index == 4 else index
        move.base = (sib & 7) | (8 if rex & 1 else 0)
        if sib & 7 == 5 and mod == 0:
            move.base, mod = None, 2  # disp32, no base
    elif rm == 5 and mod == 0:
        move.rip_relative, mod = True, 2
    else:
        move.base = rm | (8 if rex & 1 else 0)
    size = {0: 0, 1: 1, 2: 4}[mod]
    if at + size > len(code):
        return None
    move.displacement = _signed(code[at:], size) if size else 0
    at += size
    if opcode[0] in (0xC6, 0xC7):
        if reg != 0:
            return None
        size = 1 if opcode[0] == 0xC6 else min(width, 4)
        if at + size > len(code):
            return None
        move.immediate = int.from_bytes(code[at:at + size], "little")
        at += size
    else:
        move.register = reg | (8 if rex & 4 else 0)
        move.high_byte = width == 1 and not rex and 4 <= reg <= 7
        if move.high_byte:
            move.register = reg - 4
    if at != len(code):
        return None
    move.length = at
    return move


def effective_address(move, registers, end):
    if move.rip_relative:
        return (end + move.displacement) & (2 ** 64 - 1)
    total = move.displacement
    if move.base is not None:
        total += registers[move.base]
    if move.index is not None:
        total += registers[move.index] * move.scale
    return total & (2 ** 64 - 1)


PREFIXES = (0x66, 0x67, 0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65) + tuple(range(0x40, 0x50))


def _matching_move(code, length, end, registers, address, kind):
    move = decode_move(code[len(code) - length:])
    if move is None or move.kind != kind:
        return None
    clobbered = kind == "read" and move.register in (move.base, move.index)
    if not clobbered and effective_address(move, registers, end) != address:
        return None
    return move


def explain_stop(code, end, registers, address, kind):
    """The instruction that ended at `end` and accessed `address`: the
    shortest move in the 15 bytes before it whose operand is that address (or
    whose address registers the load overwrote), grown by the prefix bytes
    before it (a byte that may be a prefix is taken as one).
    Returns (its address, the Move or None, the value it moved or None)."""
    for length in range(1, min(15, len(code)) + 1):
        move = _matching_move(code, length, end, registers, address, kind)
        if move is None:
            continue
        while length < len(code) and code[len(code) - length - 1] in PREFIXES:
            longer = _matching_move(code, length + 1, end, registers, address, kind)
            if longer is None:
                break
            move, length = longer, length + 1
        if move.immediate is not None:
            value = move.immediate
        elif move.high_byte:
            value = (registers[move.register] >> 8) & 0xFF
        else:
            value = registers[move.register] & ((1 << (8 * move.width)) - 1)
        return end - length, move, value
    return end, None, None


def with_byte(register_value, move, byte):
    """The loading register's value with the loaded byte replaced."""
    shift = 8 if move.high_byte else 0
    return (register_value & ~(0xFF << shift)) | (byte << shift)


# ---- the remote protocol ------------------------------------------------------

class Remote:
    """A minimal GDB remote-protocol client (no-ack mode after the start)."""

    def __init__(self, port, deadline):
        while True:
            try:
                self.channel = socket.create_connection(("127.0.0.1", port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.channel.settimeout(None)  # a stop may come minutes later
        self.buffer = b""
        self.acks = True
        self.request("QStartNoAckMode")
        self.acks = False
        # QEMU accepts a write of one register ('P') only from a client that
        # has read the target description.
        self.request("qXfer:features:read:target.xml:0,ffb")

    def send(self, payload):
        data = payload.encode()
        self.channel.sendall(b"$%s#%02x" % (data, sum(data) % 256))

    def complete(self):
        """Takes one whole packet's payload out of the buffer, or None."""
        start = self.buffer.find(b"$")
        end = self.buffer.find(b"#", start)
        if start < 0 or end < 0 or len(self.buffer) < end + 3:
            return None
        payload = self.buffer[start + 1:end]
        self.buffer = self.buffer[end + 3:]
        if self.acks:
            self.channel.sendall(b"+")
        return payload.decode("latin-1")

    def receive(self):
        """Reads what has arrived; False when QEMU closed the link."""
        chunk = self.channel.recv(65536)
        self.buffer += chunk
        return bool(chunk)

    def packet(self):
        """The next packet's payload, waiting for it (None when QEMU closed the link)."""
        while True:
            payload = self.complete()
            if payload is not None:
                return payload
            if not self.receive():
                return None

    def request(self, payload):
        self.send(payload)
        return self.packet()

    def registers(self):
        raw = bytes.fromhex(self.request("g"))
        values = [int.from_bytes(raw[8 * n:8 * n + 8], "little") for n in range(17)]
        ordered = [0] * 16
        for slot, number in enumerate(GDB_ORDER):
            ordered[number] = values[slot]
        return ordered, values[16]

    def set_register(self, number, value):
        reply = self.request("P%x=%s" % (GDB_ORDER.index(number), value.to_bytes(8, "little").hex()))
        if reply != "OK":
            raise OSError("QEMU refused to set register %d: %r" % (number, reply))

    def memory(self, address, length):
        reply = self.request("m%x,%x" % (address, length))
        if reply.startswith("E"):
            raise OSError("cannot read guest memory at %#x: %s" % (address, reply))
        return bytes.fromhex(reply)


class TraceSink:
    """Keeps the strap-port lines (and QEMU's own messages) of QEMU's stderr
    in the trace file, counting the strap reads."""

    def __init__(self, stream, output):
        self.fd, self.output, self.partial, self.strap_reads = stream.fileno(), output, b"", 0
        os.set_blocking(self.fd, False)
        self.open = True

    def drain(self):
        while self.open:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                return
            if not chunk:
                self.open = False
                chunk = b"\n" if self.partial else b""
            lines = (self.partial + chunk).split(b"\n")
            self.partial = lines.pop()
            for line in lines:
                if b"memory_region_ops" not in line or STRAP_LINE in line:
                    self.output.write(line + b"\n")
                    self.strap_reads += STRAP_LINE in line and b"memory_region_ops_read" in line


def follow(port, watch, stderr, trace, deadline):
    """Arms the watchpoints, lets the guest run and records each access
    until QEMU ends; QEMU's stderr goes through to `trace` meanwhile.
    `watch` maps each address to the byte a single-byte read of it is to
    return (None: what the machine gives), which stands in for a device."""
    sink = TraceSink(stderr, trace)
    remote = Remote(port, deadline)
    for address in watch:
        for kind in (2, 3):
            reply = remote.request("Z%d,%x,1" % (kind, address))
            if reply != "OK":
                raise OSError("QEMU refused watchpoint Z%d at %#x: %r" % (kind, address, reply))
    accesses = []
    remote.send("c")
    while True:
        ready, _, _ = select.select([remote.channel, sink.fd] if sink.open else [remote.channel], [], [])
        if sink.fd in ready:
            sink.drain()
        if remote.channel not in ready:
            continue
        if not remote.receive():
            break
        stop = remote.complete()
        if stop is None:
            continue
        if stop[:1] in ("W", "X"):
            break
        fields = dict(item.split(":", 1) for item in stop[3:].split(";") if ":" in item)
        hits = [(key, value) for key, value in fields.items() if key in ("watch", "rwatch", "awatch")]
        if hits:
            sink.drain()  # the guest is stopped: every strap read before the access is in the pipe
            key, value = hits[0]
            kind = "read" if key == "rwatch" else "write"
            registers, rip = remote.registers()
            address = int(value, 16)
            code = remote.memory(rip - 15, 15)
            start, move, value = explain_stop(code, rip, registers, address, kind)
            access = Access(address, kind, move.width if move else 0, value, start, sink.strap_reads)
            presented = watch.get(address)
            if kind == "read" and move and move.width == 1 and presented is not None:
                remote.set_register(move.register, with_byte(registers[move.register], move, presented))
                access.machine_value, access.value = value, presented
            accesses.append(access)
        remote.send("c")
    remote.channel.close()
    while sink.open:
        select.select([sink.fd], [], [])
        sink.drain()
    return accesses
