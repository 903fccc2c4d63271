#!/usr/bin/env python3
"""Console input of the real programs: end of input, junk tokens, numbers above 2^32, over-long
words for codes 6 and 9 (secondary) and closed standard streams leave them well-behaved: they end
cleanly or keep working, without a crash, a spin or a hang, and nothing but frames reaches the port.
A spin shows as CPU used over a window in which the program waits for input or a peer.

Paths come from the environment as for test_e2e.py: VLINK, PRIMARY, SECONDARY.
"""

import os
import re
import select
import subprocess
import tempfile
import threading
import time
import tty
import unittest

from irtools import frames
from irtools.console import cpu_seconds, sanitizer_report, wait_exit
from irtools.frames import comm_user_data, dumped_bytes
from irtools.session import Session

EXIT_WAIT_S = 15
# Waiting, a program wakes only for its short periodic steps: well under a hundredth of a core in
# every build, plain, sanitized or ThreadSanitizer. One that spins takes a whole core, or all a
# loaded machine gives it. Start-up (a sanitizer's above all) may take the first windows, so the
# check looks for one quiet window within SETTLE_S.
IDLE_WINDOW_S = 1.0
IDLE_SHARE = 0.25
SETTLE_S = 30
# Whatever a program sends on its port is SIR frames; one cut short at the end may be missing its
# tail.
ONLY_FRAMES = re.compile(rb"(?:\xff*\xc0[^\xc0\xc1]*\xc1)*\xff*(?:\xc0[^\xc0\xc1]*)?")
# Tokens that are no menu code, or a code only modulo 2^32 (1, 11 and 99).
JUNK = ["abc", "-1", "+1", "1x", "x1", "0x1", "1.0", "4294967297", "4294967307", "4294967395",
        "18446744073709551617", "99999999999999999999999999999999", "9" * 400]
MENU_HEAD = "IrCOMM Menu"


class Peer:
    """vlink with one program on its first end and the test holding the second end."""

    def __init__(self, program, shell=None):
        self.dir = tempfile.mkdtemp(prefix="console-")
        self.path_a = os.path.join(self.dir, "ir-a")
        self.path_b = os.path.join(self.dir, "ir-b")
        self.vlink = subprocess.Popen([os.environ["VLINK"], "--a", self.path_a, "--b",
                                       self.path_b], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, text=True)
        line = self.vlink.stderr.readline()
        if "ready" not in line:
            raise RuntimeError(f"vlink did not start: {line!r}")
        self.vlink_text = line
        self.far = os.open(self.path_b, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.far)
        self.wire = b""
        self._stop = False
        self._reader = threading.Thread(target=self._read_wire, daemon=True)
        self._reader.start()
        # shell: a redirection applied before the program starts, e.g. ">&-".
        argv = ["sh", "-c", f'exec "$0" "$1" {shell}', program, self.path_a] if shell else \
            [program, self.path_a]
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, bufsize=0)

    def _read_wire(self):
        while not self._stop:
            ready, _, _ = select.select([self.far], [], [], 0.1)
            if ready:
                try:
                    self.wire += os.read(self.far, 4096)
                except BlockingIOError:
                    pass

    def wait_exit(self, timeout):
        return wait_exit(self.proc, timeout)

    def idle_share(self):
        """Share of one core the program uses over the next window; None if it ends meanwhile."""
        before, start = cpu_seconds(self.proc.pid), time.monotonic()
        time.sleep(IDLE_WINDOW_S)  # the measuring window, not a wait for anything
        after = cpu_seconds(self.proc.pid)
        if before is None or after is None:
            return None
        return (after - before) / (time.monotonic() - start)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
        self._stop = True
        self._reader.join(5)
        self.vlink.terminate()
        self.vlink_text += self.vlink.stderr.read()
        self.vlink.wait(10)
        self.vlink.stderr.close()
        os.close(self.far)
        try:
            os.rmdir(self.dir)  # vlink removed its two links
        except OSError:
            pass


class LoneProgram:
    """Checks for one program with no peer; subclasses name it."""

    program = None
    name = None

    def start(self, shell=None):
        peer = Peer(os.environ[self.program], shell)
        self.addCleanup(peer.close)
        return peer

    def output(self, peer):
        text = peer.proc.stdout.read().decode("latin-1")
        report = sanitizer_report(self.name, text)
        self.assertIsNone(report, report)
        return text

    def assert_waits_quietly(self, peer):
        shares = []
        deadline = time.monotonic() + SETTLE_S
        while time.monotonic() < deadline:
            share = peer.idle_share()
            self.assertIsNotNone(share, f"{self.name} ended while it should wait for input")
            if share < IDLE_SHARE:
                return
            shares.append(round(share, 2))
        self.fail(f"{self.name} spun: {shares} of a core in its windows")

    def assert_clean_end(self, peer):
        code = peer.wait_exit(EXIT_WAIT_S)
        self.assertEqual(code, 0, f"{self.name} did not end cleanly")
        self.assertTrue(ONLY_FRAMES.fullmatch(peer.wire), f"not frames on the wire: {peer.wire!r}")

    def test_end_of_input_ends_the_program(self):
        peer = self.start()
        self.assert_waits_quietly(peer)
        peer.proc.stdin.close()
        self.assert_clean_end(peer)
        self.assertIn("Demo v007", self.output(peer))

    def test_closed_stdin_reads_as_end_of_input(self):
        peer = self.start("<&-")
        self.assert_clean_end(peer)

    def test_junk_and_numbers_above_2_32_are_ignored(self):
        peer = self.start()
        peer.proc.stdin.write((" ".join(JUNK) + "\n\t\n").encode())
        peer.proc.stdin.flush()
        self.assert_waits_quietly(peer)
        peer.proc.stdin.close()
        self.assert_clean_end(peer)
        # One menu at start-up, one after each token; "99" modulo 2^32 did not end it early.
        self.assertEqual(self.output(peer).count(MENU_HEAD), len(JUNK) + 1)

    def test_closed_stdout_at_start_keeps_console_text_off_the_port(self):
        peer = self.start(">&-")
        peer.proc.stdin.write(b"1 junk 0\n")
        peer.proc.stdin.flush()
        self.assert_waits_quietly(peer)
        peer.proc.stdin.write(b"99\n")
        peer.proc.stdin.flush()
        self.assert_clean_end(peer)

    def test_stdout_closed_by_its_reader_keeps_the_program_working(self):
        peer = self.start()
        peer.proc.stdout.close()  # every later write meets a pipe without a reader
        peer.proc.stdin.write(b"1 junk 4294967297 0\n")
        peer.proc.stdin.flush()
        self.assert_waits_quietly(peer)
        peer.proc.stdin.write(b"99\n")
        peer.proc.stdin.flush()
        self.assert_clean_end(peer)


class LonePrimary(LoneProgram, unittest.TestCase):
    program = "PRIMARY"
    name = "primary"


class LoneSecondary(LoneProgram, unittest.TestCase):
    program = "SECONDARY"
    name = "secondary"

    def test_end_of_input_inside_codes_6_and_9(self):
        for text in (b"6", b"6 ", b"9", b"9 12345", b"9 12345\n"):
            with self.subTest(text=text):
                peer = self.start()
                peer.proc.stdin.write(text)
                peer.proc.stdin.close()
                self.assert_clean_end(peer)
                self.assertIn("\tEOT", self.output(peer))

    def test_over_long_words_are_refused(self):
        peer = self.start()
        peer.proc.stdin.write(b"6 " + b"N" * 21 + b" 6 " + b"x" * 5000 + b" 9 " + b"1" * 21 +
                              b" hi 9 12345 " + b"m" * 31 + b" 9 12345 " + b"m" * 9000 + b"\n")
        peer.proc.stdin.close()
        self.assert_clean_end(peer)
        self.assertEqual(self.output(peer).count("Too long: at most"), 5)


class Connected(unittest.TestCase):
    """Junk, big numbers and long words typed into one console of a connected pair: what reaches
    the other side is exactly what the valid codes send."""

    def setUp(self):
        self.session = Session(os.environ["VLINK"], os.environ["PRIMARY"], os.environ["SECONDARY"],
                               workdir=tempfile.mkdtemp(prefix="console-"))
        self.addCleanup(self.session.stop)
        self.session.wait_connected(timeout=30)

    def test_primary_console_sends_only_valid_codes(self):
        primary, secondary = self.session.primary, self.session.secondary
        mark_p, mark_s = primary.mark(), secondary.mark()
        primary.send(" ".join(JUNK) + " 1")
        end = secondary.wait_for("\t\t013\t0x0D", 20, mark_s)
        self.assertEqual(dumped_bytes(secondary.text[mark_s:end]), b"AT\r")
        primary.wait_for("IrCOMM length:\t0:6", 20, mark_p)
        self.assertEqual(primary.count(MENU_HEAD, mark_p), len(JUNK) + 1)
        self.assertEqual(self.session.stop(), (0, 0))
        self.assertEqual(dumped_bytes(secondary.text[mark_s:]), b"AT\r")

    def test_secondary_console_sends_only_valid_codes_and_words(self):
        primary, secondary = self.session.primary, self.session.secondary
        mark_p = primary.mark()
        name, number, message = "N" * 20, "1" * 20, "m" * 30
        typed = [*JUNK, "6", "N" * 21, "9", "1" * 21, "hi", "9", "12345", "m" * 31, "6", name, "9",
                 number, message, "1"]
        secondary.send(" ".join(typed))
        expected = (f'AT+CPBF="{name}"\r'.encode() +
                    f'AT+CMGS="{number}"\r'.encode() + message.encode() + b"\x1a" + b"AT\r")
        def received():
            return comm_user_data(frames.traced_frames(primary.text[mark_p:]), True, 2)

        primary.wait_until(lambda: len(received()) >= len(expected), 30)
        self.assertEqual(received(), expected)
        self.assertEqual(secondary.count("Too long: at most"), 3)
        self.assertEqual(self.session.stop(), (0, 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
