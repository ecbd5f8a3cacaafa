"""Records every guest access to a few single-byte addresses through QEMU's
GDB stub (`-gdb tcp:127.0.0.1:PORT -S`), speaking the remote protocol.

Each address gets a read and a write watchpoint (Z3, Z2), so QEMU's stop
reply says which kind fired. Under TCG the stop comes after the accessing
instruction; the instruction is decoded from the bytes before the stopped
RIP (x86_move), which gives its width and the register (or immediate) that
carries the value: for a read the destination after the load, for a write
the source; a read can be made to return a given byte by setting that
register at the stop. At every stop QEMU's stderr (the strap-port trace) is
drained first, so each access also carries the number of strap reads that
came before it.
"""

import dataclasses
import os
import select
import socket
import time

from x86_move import explain_stop, with_byte

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
        hits = [(key, value) for key, value in fields.items() if key in ("watch", "rwatch")]
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
