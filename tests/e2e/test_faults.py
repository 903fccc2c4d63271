#!/usr/bin/env python3
"""Faults end to end: both programs over a noisy virtual link (bit errors, bursts of dropped bytes).

While the noise lasts, both consoles keep sending AT command texts; neither program may crash,
hang or pass on corrupted data. Once vlink reports the noise off, the channel must be open (or
reopen by itself) and an AT command must be answered. Paths come from the environment as for
test_e2e.py: VLINK, PRIMARY, SECONDARY.
"""

import os
import re
import tempfile
import time
import unittest

from irtools import frames
from irtools.frames import OK, comm_user_data, dumped_bytes
from irtools.session import Session

# What each side may have received: whole texts only, in any number.
AT_UNITS = re.compile(rb"(?:AT\r)*")
PRIMARY_UNITS = re.compile(rb"(?:\r\nOK\r\n|AT\+CSQ\r)*")
NOISE_S = 12
SEND_EVERY_S = 1.0
RECOVERY_S = 60


def last_state(console):
    states = frames.states(console.text)
    return states[-1] if states else None


class Faults(unittest.TestCase):
    def start(self, *noise):
        self.dir = tempfile.mkdtemp(prefix="faults-")
        args = ["--seed", "7", "--noise-for", str(NOISE_S), *noise]
        self.session = Session(os.environ["VLINK"], os.environ["PRIMARY"], os.environ["SECONDARY"],
                               workdir=self.dir, vlink_args=args)
        self.addCleanup(self.session.stop)
        self.sent_at = 0

    def dump(self):
        return ("\n--- vlink ---\n" + self.session.vlink_text +
                "\n--- primary ---\n" + self.session.primary.text[-3000:] +
                "\n--- secondary ---\n" + self.session.secondary.text[-3000:])

    def assert_running(self):
        for console in (self.session.primary, self.session.secondary):
            self.assertIsNone(console.proc.poll(), f"{console.name} ended\n" + self.dump())

    def send_while_noisy(self):
        """Both consoles send a text every second until vlink turns the noise off."""
        while "noise off" not in self.session.vlink_text:
            self.assert_running()
            self.session.primary.send("1")
            self.sent_at += 1
            self.session.secondary.send("4")
            try:
                self.session.wait_vlink("noise off", SEND_EVERY_S)
            except TimeoutError:
                pass

    def at_answered_after_noise(self):
        """Waits for the channel to be open on both sides, then for an AT command's answer; a
        channel that drops before the answer gets another try."""
        primary, secondary = self.session.primary, self.session.secondary
        deadline = time.monotonic() + RECOVERY_S
        while time.monotonic() < deadline:
            self.assert_running()
            if not primary.wait_until(lambda: last_state(primary) == 9 and
                                      last_state(secondary) == 5, deadline - time.monotonic()):
                continue
            mark_p, mark_s = primary.mark(), secondary.mark()
            primary.send("1")
            self.sent_at += 1
            try:
                secondary.wait_for("\t\t013\t0x0D", 10, mark_s)
                primary.wait_for("IrCOMM length:\t0:6", 10, mark_p)
            except TimeoutError:
                continue
            traced = frames.traced_frames(primary.text[mark_p:])
            if OK in comm_user_data(traced, received=True, own_lsap=2):
                return
        self.fail("no AT command answered after the noise\n" + self.dump())

    def check_nothing_corrupted(self):
        at_secondary = dumped_bytes(self.session.secondary.text)
        self.assertTrue(AT_UNITS.fullmatch(at_secondary), f"secondary got {at_secondary!r}")
        self.assertLessEqual(at_secondary.count(b"AT\r"), self.sent_at, "a text arrived twice")
        traced = frames.traced_frames(self.session.primary.text)
        at_primary = comm_user_data(traced, received=True, own_lsap=2)
        self.assertTrue(PRIMARY_UNITS.fullmatch(at_primary), f"primary got {at_primary!r}")

    def run_noise(self, *noise):
        self.start(*noise)
        self.send_while_noisy()
        self.at_answered_after_noise()
        self.check_nothing_corrupted()
        self.assertEqual(self.session.stop(), (0, 0), "both programs end cleanly on 99")

    def test_bit_error_rate_1e_4_both_ways(self):
        self.run_noise("--ber", "1e-4")

    def test_bit_error_rate_1e_3_both_ways(self):
        self.run_noise("--ber", "1e-3")

    def test_bursts_of_dropped_bytes(self):
        self.run_noise("--drop", "0.004", "--burst", "24")


if __name__ == "__main__":
    unittest.main(verbosity=2)
