#!/usr/bin/env python3
"""Two channels over one link between a device port and a computer port of the library over vlink:
tools/bench/lib_mux_bench with a few kilobytes each way on each channel, once with every reader
reading and once with one reader stopped until the rest has arrived; every byte must arrive.

Paths come from the environment: VLINK, LIB_MUX_BENCH.
"""

import os
import subprocess
import tempfile
import unittest

from irtools.console import sanitizer_report
from irtools.session import Vlink

RUN_S = 90
BYTES = 4096


class LibMux(unittest.TestCase):
    def test_two_channels_byte_exact_and_a_stopped_reader_holds_only_its_own(self):
        vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(prefix="lib-mux-"))
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        run = subprocess.run([os.environ["LIB_MUX_BENCH"], vlink.path_a, vlink.path_b,
                              str(BYTES)], capture_output=True, text=True, timeout=RUN_S)
        self.assertIsNone(sanitizer_report("lib_mux_bench", run.stderr))
        self.assertEqual(run.returncode, 0, run.stderr)
        fields = run.stdout.split()
        self.assertEqual(fields[4], "exact")
        # Channel 0 moved both ways in both runs.
        self.assertTrue(all(float(rate) > 0 for rate in fields[:4]), run.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
