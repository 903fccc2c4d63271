#!/usr/bin/env python3
"""tools/ladder on a capture built here: a short connection, written as vlink writes it and as a
big-endian capture with nanosecond stamps would be, and files it must refuse."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

LADDER = os.environ.get("LADDER") or os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "..", "..", "tools", "ladder")
FROM_SECONDARY, FROM_PRIMARY = 4, 0  # packet types as vlink writes them (end A is the secondary)
PARAMS = "01 01 02 82 01 01 83 01 01 84 01 01 85 01 02 86 01 80 08 01 01"
FRAMES = [
    (0.00, FROM_PRIMARY, "FF 3F 01 34 12 CD AB FF FF FF FF 00 00 00"),
    (0.05, FROM_SECONDARY, "FE BF 01 AB CD 12 34 34 12 CD AB 00 00 00 82 04"),
    (0.10, FROM_PRIMARY, "FF 93 34 12 CD AB AB CD 12 34 02 " + PARAMS),
    (0.15, FROM_SECONDARY, "02 73 AB CD 12 34 34 12 CD AB " + PARAMS),
    (0.25, FROM_PRIMARY, "03 10 04 02 01 00 41 54 0D"),
    (0.30, FROM_SECONDARY, "02 31"),
    (0.40, FROM_SECONDARY, "02 30 02 04 01 00 0D 0A 4F 4B 0D 0A"),
    (0.45, FROM_PRIMARY, "03 31"),
]
EPOCH = 1_700_000_000


def pcap(frames, endian="<", magic=0xA1B2C3D4, linktype=144):
    per_second = 1_000_000 if magic == 0xA1B2C3D4 else 1_000_000_000
    out = struct.pack(endian + "IHHiIII", magic, 2, 4, 0, 0, 65535, linktype)
    for t, ptype, text in frames:
        pseudo = struct.pack(">HHH8sH", ptype, 0, 0, b"", 0x0017)
        body = pseudo + bytes.fromhex(text)
        out += struct.pack(endian + "IIII", EPOCH + int(t), round(t % 1 * per_second), len(body),
                           len(body)) + body
    return out


class Ladder(unittest.TestCase):
    def run_on(self, data, *options):
        with tempfile.NamedTemporaryFile(suffix=".pcap") as f:
            f.write(data)
            f.flush()
            return subprocess.run([sys.executable, LADDER, *options, f.name], capture_output=True,
                                  text=True, timeout=30)

    def arrows(self, diagram):
        return [line.split(":")[0].strip() for line in diagram.splitlines() if ">>" in line]

    def test_connection_up_to_the_first_ok(self):
        done = self.run_on(pcap(FRAMES))
        self.assertEqual(done.returncode, 0, done.stderr)
        diagram = done.stdout
        self.assertTrue(diagram.startswith("```mermaid\nsequenceDiagram\n"))
        self.assertIn("participant P as Primary", diagram)
        self.assertIn("participant S as Secondary", diagram)
        self.assertEqual(self.arrows(diagram), ["P->>S", "S-->>P"] * 2 + ["P->>S", "S-->>P",
                                                                            "S-->>P"])
        self.assertIn('P->>S: 0.250 s  I Ns 0 Nr 0: IrCOMM LSAP 2 → LSAP 4, credit 1: "AT\\r"',
                      diagram)
        self.assertIn("XID cmd: discovery, slot 0 of 1, 34-12-CD-AB → broadcast", diagram)
        self.assertIn("UA: AB-CD-12-34 → 34-12-CD-AB<br/>9600 bit/s, turnaround 500 ms", diagram)
        self.assertIn("Note over P,S: 1 more frames", diagram)

        every = self.run_on(pcap(FRAMES), "--all").stdout
        self.assertEqual(len(self.arrows(every)), len(FRAMES))
        # Captured at the other end: big-endian, nanosecond stamps, the packet types swapped.
        swapped = [(t, 4 - ptype, text) for t, ptype, text in FRAMES]
        self.assertEqual(self.run_on(pcap(swapped, ">", 0xA1B23C4D)).stdout, diagram)

    def test_refuses_other_captures_clearly(self):
        for data, message in ((pcap(FRAMES, linktype=1), "link type 1;"),
                              (b"\x0a\x0d\x0d\x0a" + bytes(40), "pcapng"),
                              (b"GIF89a" + bytes(40), "not a pcap file")):
            with self.subTest(message=message):
                done = self.run_on(data)
                self.assertEqual(done.returncode, 1)
                self.assertIn(message, done.stderr)
                self.assertEqual(done.stdout, "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
