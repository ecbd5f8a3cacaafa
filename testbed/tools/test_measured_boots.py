"""Checks across the measured boots, on their run folders ($TPM_RUNS, after
the tpm.* boots): each variant measures its own table, and our event-log
reader reads a real log as tpm2-tools' tpm2_eventlog does, and refuses it
cut short or with a digest its header does not list."""

import os
import re
import subprocess
import unittest

import tpm_test
from boardcheck import event_log

RUNS = os.environ["TPM_RUNS"]
DIGEST_RUNS = ("tpm.no-driver", "tpm.code0", "tpm.code4", "tpm.code8")


def run_file(run, name, mode="r"):
    with open(os.path.join(RUNS, run, name), mode) as handle:
        return handle.read()


def tpm2_eventlog(path):
    """tpm2_eventlog's reading: [(PCR, event type name, SHA-256 hex)] after
    the header, and {PCR: SHA-256 hex} of its replay."""
    text = subprocess.run(["tpm2_eventlog", path], check=True, capture_output=True, text=True).stdout
    events = []
    for block in text.split("\n- EventNum: ")[2:]:
        pcr = int(re.search(r"^  PCRIndex: (\d+)$", block, re.M).group(1))
        kind = re.search(r"^  EventType: (\S+)$", block, re.M).group(1)
        digest = re.search(r"AlgorithmId: sha256\n\s+Digest: \"([0-9a-f]+)\"", block).group(1)
        events.append((pcr, kind, digest))
    pcrs = {}
    for line in text.split("\npcrs:\n", 1)[1].split("  sha256:\n", 1)[1].splitlines():
        match = re.match(r"    (\d+)\s*: 0x([0-9a-f]+)$", line)
        if not match:
            break
        pcrs[int(match.group(1))] = match.group(2)
    return events, pcrs


class MeasuredBoots(unittest.TestCase):
    def test_each_variant_measures_its_own_table(self):
        digests = {run: run_file(run, tpm_test.MEASURED_FILE).strip() for run in DIGEST_RUNS}
        self.assertEqual(len(set(digests.values())), len(DIGEST_RUNS), digests)

    def test_reader_agrees_with_tpm2_eventlog(self):
        path = os.path.join(RUNS, "tpm.code4", tpm_test.LOG_FILE)
        events = event_log.read_log(run_file("tpm.code4", tpm_test.LOG_FILE, "rb"))
        theirs, pcrs = tpm2_eventlog(path)
        self.assertEqual([(e.pcr, e.digests[event_log.SHA256].hex()) for e in events],
                         [(pcr, digest) for pcr, _, digest in theirs])
        self.assertTrue(pcrs and 1 in pcrs, pcrs)
        self.assertEqual({pcr: event_log.replay(events, pcr).hex() for pcr in pcrs}, pcrs)
        (smbios,) = event_log.smbios_events(events)
        self.assertIn(theirs[events.index(smbios)][1], ("EV_EFI_HANDOFF_TABLES", "EV_EFI_HANDOFF_TABLES2"))

    def test_reader_refuses_a_damaged_log(self):
        log = run_file("tpm.code4", tpm_test.LOG_FILE, "rb")
        events = event_log.read_log(log)
        cuts = {"in the header": 40, "in a digest": events[0].offset + 20, "in the last data": len(log) - 1}
        for where, length in cuts.items():
            with self.subTest(cut=where), self.assertRaises(event_log.LogError):
                event_log.read_log(log[:length])
        unlisted = bytearray(log)
        unlisted[events[-1].offset + 12:events[-1].offset + 14] = (0x0012).to_bytes(2, "little")  # SM3, not in the header
        with self.assertRaises(event_log.LogError):
            event_log.read_log(bytes(unlisted))


if __name__ == "__main__":
    unittest.main()
