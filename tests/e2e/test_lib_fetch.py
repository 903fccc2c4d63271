#!/usr/bin/env python3
"""The library's computer role against a real peer: irs_fetch (lib/examples) over vlink to
secondary_pty, whose channel the test holds with pyserial.

Paths come from the environment: VLINK, SECONDARY_PTY, IRS_FETCH.
"""

import os
import random
import subprocess
import tempfile
import unittest

from irtools.console import sanitizer_report
from irtools.session import Vlink
from test_pty import PtyConsoles, read_exactly, serial

RUN_S = 30  # irs_fetch searches 4 s, connects within 10 s and waits 5 s per answer piece


@unittest.skipIf(serial is None, "python3-serial is not installed")
class LibFetch(PtyConsoles, unittest.TestCase):
    def test_command_and_answer_byte_exact(self):
        vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(prefix="lib-fetch-"))
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        _, device = self.start("SECONDARY_PTY", vlink.path_a)
        rng = random.Random(5)
        # Several frames each way; the command is an argument, so it holds no null byte.
        command = bytes(rng.randrange(1, 256) for _ in range(300))
        answer = rng.randbytes(700)
        with serial.Serial(device, timeout=0.2) as d:
            fetch = subprocess.Popen([os.environ["IRS_FETCH"], "-n", str(len(answer)),
                                      vlink.path_b, command],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.addCleanup(lambda: fetch.poll() is None and (fetch.kill(), fetch.wait()))
            received = read_exactly(d.read, len(command), RUN_S)
            if received == command:
                d.write(answer)
            out, err = fetch.communicate(timeout=RUN_S)
        self.assertIsNone(sanitizer_report("irs_fetch", err.decode("latin-1")))
        self.assertEqual(received, command)
        self.assertEqual(fetch.returncode, 0, err)
        listing, _, printed = out.partition(b"\n")
        self.assertEqual(listing, b'34-12-CD-AB  PDA/Palmtop, IrCOMM  ""')
        self.assertEqual(printed, answer)


if __name__ == "__main__":
    unittest.main(verbosity=2)
