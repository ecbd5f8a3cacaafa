"""The TPM 2.0 firmware event log, as Linux exports it
(binary_bios_measurements): the crypto-agile layout, read independently of
the firmware's code, and the PCR values it replays to.

The log opens with one event in the old SHA-1 layout (PCR, type, a 20-byte
digest, size, data) whose data is the "Spec ID Event03" header: the hash
algorithms the log carries, each with its digest size. Every later event is
PCR, type, a count of digests, each an algorithm ID and that many bytes,
then the size and the data. A TPM extends a PCR as
new = H(old || digest), from all zeroes; EV_NO_ACTION events are logged
but never extended."""

import dataclasses
import hashlib
import struct
import uuid

NO_ACTION = 0x00000003
HANDOFF_TABLES = 0x80000009
HANDOFF_TABLES2 = 0x8000000B
SPEC_ID_SIGNATURE = b"Spec ID Event03\0"
# TPM algorithm IDs and the hash each stands for.
ALGORITHMS = {0x0004: "sha1", 0x000B: "sha256", 0x000C: "sha384", 0x000D: "sha512"}
SHA256 = 0x000B
# The configuration-table GUIDs of the SMBIOS entry points (2.x and 3.0).
SMBIOS_TABLE_GUIDS = ("EB9D2D31-2D88-11D3-9A16-0090273FC14D", "F2FD1544-9794-4A2C-992E-E5BBCF20E394")


class LogError(Exception):
    pass


class _Short(Exception):
    """A record that runs past the end of its buffer."""


def need(buffer, offset, size, what):
    """Refuses unless `size` bytes at `offset` lie inside `buffer`."""
    if offset + size > len(buffer):
        raise _Short("%s at offset %#x: needs %#x bytes, only %#x there"
                     % (what, offset, size, max(0, len(buffer) - offset)))


def read(buffer, offset, form, what):
    """Unpacks `form` (little-endian struct format) at `offset`, in bounds."""
    need(buffer, offset, struct.calcsize(form), what)
    return struct.unpack_from(form, buffer, offset)


@dataclasses.dataclass
class Event:
    offset: int
    pcr: int
    type: int
    digests: dict        # algorithm ID -> digest bytes
    data: bytes


def _spec_id(data):
    """The header event's data: {algorithm ID: digest size}."""
    what = "the Spec ID event"
    if data[:16] != SPEC_ID_SIGNATURE:
        raise LogError("the log does not open with a %r header: not a crypto-agile log"
                       % SPEC_ID_SIGNATURE.rstrip(b"\0").decode())
    (count,) = read(data, 24, "<I", what)
    need(data, 28, 4 * count, what)
    sizes = {}
    for index in range(count):
        algorithm, size = read(data, 28 + 4 * index, "<HH", what)
        if algorithm in ALGORITHMS and hashlib.new(ALGORITHMS[algorithm]).digest_size != size:
            raise LogError("the header gives %s a %d-byte digest" % (ALGORITHMS[algorithm], size))
        sizes[algorithm] = size
    return sizes


def read_log(log):
    """The events after the header, in order; LogError (naming the offset)
    for a log that is not whole or not crypto-agile."""
    try:
        pcr, kind, _, size = read(log, 0, "<II20sI", "the header event")
        need(log, 32, size, "the header event's data")
        if kind != NO_ACTION or pcr != 0:
            raise LogError("the first event is type %#x in PCR %d, expected the header (EV_NO_ACTION, PCR 0)"
                           % (kind, pcr))
        sizes = _spec_id(log[32:32 + size])
        events, offset = [], 32 + size
        while offset < len(log):
            start = offset
            pcr, kind, count = read(log, offset, "<III", "event")
            offset += 12
            digests = {}
            for _ in range(count):
                (algorithm,) = read(log, offset, "<H", "digest")
                if algorithm not in sizes or algorithm in digests:
                    raise LogError("event at offset %#x: digest of algorithm %#x, which the header does not "
                                   "list or which came twice" % (start, algorithm))
                need(log, offset + 2, sizes[algorithm], "digest")
                digests[algorithm] = log[offset + 2:offset + 2 + sizes[algorithm]]
                offset += 2 + sizes[algorithm]
            (size,) = read(log, offset, "<I", "event size")
            need(log, offset + 4, size, "event data")
            events.append(Event(start, pcr, kind, digests, log[offset + 4:offset + 4 + size]))
            offset += 4 + size
    except _Short as error:
        raise LogError("the log is cut short: %s" % error)
    return events


def replay(events, pcr, algorithm=SHA256):
    """The value `pcr` holds after the logged extends, in that bank."""
    name = ALGORITHMS[algorithm]
    value = bytes(hashlib.new(name).digest_size)
    for event in events:
        if event.pcr == pcr and event.type != NO_ACTION:
            if algorithm not in event.digests:
                raise LogError("event at offset %#x extends PCR %d without a %s digest" % (event.offset, pcr, name))
            value = hashlib.new(name, value + event.digests[algorithm]).digest()
    return value


def handed_off_tables(event):
    """The configuration-table GUIDs an EV_EFI_HANDOFF_TABLES(2) event
    names (the second form starts with a sized description)."""
    data, offset = event.data, 0
    if event.type == HANDOFF_TABLES2:
        offset = 1 + data[0] if data else 1
    try:
        (count,) = read(data, offset, "<Q", "handed-off tables")
        need(data, offset + 8, 24 * count, "handed-off tables")
    except _Short as error:
        raise LogError("event at offset %#x: %s" % (event.offset, error))
    return [str(uuid.UUID(bytes_le=data[offset + 8 + 24 * i:offset + 24 + 24 * i])).upper() for i in range(count)]


def smbios_events(events):
    """The PCR1 events that measure the SMBIOS table."""
    return [event for event in events if event.pcr == 1 and event.type in (HANDOFF_TABLES, HANDOFF_TABLES2)
            and any(guid in SMBIOS_TABLE_GUIDS for guid in handed_off_tables(event))]
