#!/usr/bin/env python3
"""The pty programs under stray bytes of ambient light (vlink --stray): a live pair keeps its
channel and its data, and a survivor still notices its peer's death in time. The strays start once
the channel is open: at 9600 bit/s the set-up's SNRM and UA are on the air nearly as long as the
period, so a stray would hit almost every one of them.

Paths come from the environment: VLINK, PRIMARY_PTY, SECONDARY_PTY. STRAY_MS (40) sets the
period; 0 gives the quiet line to compare with. Name a group to run it alone: StrayLive,
StrayPeerDies.
"""

import os
import tempfile
import time
import unittest

from irtools.session import Vlink
from test_pty import WINE, PtyConsoles, exchange_random, serial

STRAY_MS = os.environ.get("STRAY_MS", "40")
# The channel opens in under 2 s and a quiet line moves the 16 KB in under 1 s; under the strays
# it takes about 11 s, more under the sanitizers. The deadlines leave room for that without
# letting a stuck link eat the suite's time.
OPEN_S = 15
MOVE_S = 45
# On a quiet line the give-up comes about 2.6 s after the peer's last frame.
LOST_S = 3.5


@unittest.skipIf(WINE, "no pseudo-terminals under Windows")
@unittest.skipIf(serial is None, "python3-serial is not installed")
class StrayPair(PtyConsoles):
    def setUp(self):
        vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(prefix="pty-stray-"),
                      ("--stray", STRAY_MS, "--seed", "11"))
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        self.vlink = vlink
        vlink.toggle_noise()
        vlink.wait_for("noise off", 5)
        self.secondary, self.device = self.start("SECONDARY_PTY", vlink.path_a)
        self.primary, self.computer = self.start("PRIMARY_PTY", vlink.path_b)
        for console in (self.primary, self.secondary):
            console.wait_for("channel open", OPEN_S)
        vlink.toggle_noise()
        vlink.wait_for("noise on", 5)


class StrayLive(StrayPair, unittest.TestCase):
    def test_channel_kept_and_data_byte_exact(self):
        with serial.Serial(self.computer, timeout=0.2) as c, \
                serial.Serial(self.device, timeout=0.2) as d:
            for sent, received in exchange_random(c, d, 17, size=8192, timeout=MOVE_S):
                self.assertEqual(len(received), len(sent), "bytes moved within the deadline")
                self.assertTrue(received == sent, "bytes changed on the way")
        for console in (self.primary, self.secondary):
            self.assertNotIn("channel lost", console.text)
            self.assertEqual(console.count("channel open"), 1, console.text)
        if STRAY_MS != "0":
            self.assertIsNone(self.vlink.stop())
            self.assertRegex(self.vlink.text, r"[1-9][0-9]* stray bytes")


class StrayPeerDies(StrayPair, unittest.TestCase):
    def survivor_reports(self, killed, survivor):
        mark = survivor.mark()
        died = time.monotonic()
        killed.proc.kill()
        end = survivor.wait_for("channel lost", LOST_S + 3, mark)
        after = survivor.arrival(end) - died
        self.assertLessEqual(after, LOST_S, f"{survivor.name}: channel lost after {after:.2f} s")

    def test_primary_sees_the_device_die(self):
        self.survivor_reports(self.secondary, self.primary)

    def test_device_sees_the_primary_die(self):
        self.survivor_reports(self.primary, self.secondary)


if __name__ == "__main__":
    unittest.main(verbosity=2)
