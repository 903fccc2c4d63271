#!/usr/bin/env python3
"""The library's device role against its computer role: irs_echo (lib/examples) on one end of
vlink, irs_fetch on the other, raw TinyTP under the service's own names; what irs_fetch sends
comes back byte for byte.

Paths come from the environment: VLINK, IRS_ECHO, IRS_FETCH.
"""

import os
import random
import subprocess
import tempfile
import unittest

from irtools.console import sanitizer_report
from irtools.session import Vlink

RUN_S = 30  # irs_fetch searches 4 s, connects within 10 s and waits 5 s per answer piece
SERVICE = ["-r", "-c", "Echo", "-a", "Echo:LsapSel"]


class LibEcho(unittest.TestCase):
    def test_echo_byte_exact(self):
        vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(prefix="lib-echo-"))
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        echo = subprocess.Popen([os.environ["IRS_ECHO"], "-1", *SERVICE, vlink.path_a],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: echo.poll() is None and (echo.kill(), echo.wait()))
        # Several frames each way; the command is an argument, so it holds no null byte.
        command = bytes(random.Random(7).randrange(1, 256) for _ in range(300))
        fetch = subprocess.run([os.environ["IRS_FETCH"], *SERVICE, "-n", str(len(command)),
                                vlink.path_b, command], capture_output=True, timeout=RUN_S)
        self.assertIsNone(sanitizer_report("irs_fetch", fetch.stderr.decode("latin-1")))
        self.assertEqual(fetch.returncode, 0, fetch.stderr)
        _, _, answer = fetch.stdout.partition(b"\n")
        self.assertEqual(answer, command)
        # irs_fetch has closed the channel; the echo sees its peer go and exits.
        out, err = echo.communicate(timeout=RUN_S)
        self.assertIsNone(sanitizer_report("irs_echo", err.decode("latin-1")))
        self.assertEqual(echo.returncode, 0, err)
        self.assertEqual(out, b"channel open\nchannel ended, %d bytes echoed\n" % len(command))


if __name__ == "__main__":
    unittest.main(verbosity=2)
