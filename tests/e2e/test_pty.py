#!/usr/bin/env python3
"""The pty programs end to end over vlink, opened with pyserial as any terminal program would.

Paths come from the environment: VLINK, PRIMARY_PTY, SECONDARY_PTY, SECONDARY (secondary_demo).
WINE=1 runs the Windows builds under Wine, where only --stdio is there to test.
"""

import os
import random
import re
import signal
import socket
import subprocess
import tempfile
import termios
import threading
import time
import unittest

from irtools import frames, wine
from irtools.console import Console, sanitizer_report
from irtools.session import Vlink

try:
    import serial
except ImportError:  # tools/install-deps installs python3-serial
    serial = None

WINE = os.environ.get("WINE") == "1"
OPEN_S = 90 if WINE else 30
CHANNEL = re.compile(r"IrCOMM channel: (\S+)\n")


def read_exactly(read, count, timeout):
    """count bytes from read(n), which returns b"" after a short wait for nothing; fewer when the
    deadline passes first."""
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count and time.monotonic() < deadline:
        data += read(count - len(data))
    return data


def exchange_random(c, d, seed, size=4096, timeout=120):
    """`size` random bytes written at each of the open ports c and d at the same time, then both
    read within `timeout` seconds; returns (sent, received) for c to d and for d to c."""
    rng = random.Random(seed)
    up, down = rng.randbytes(size), rng.randbytes(size)
    c.write(up)
    d.write(down)
    got = {}
    reader = threading.Thread(
        target=lambda: got.update(c=read_exactly(c.read, len(down), timeout)))
    reader.start()
    got["d"] = read_exactly(d.read, len(up), timeout)
    reader.join()
    return (up, got["d"]), (down, got.get("c"))


def socket_reader(sock):
    sock.settimeout(0.2)

    def read(count):
        try:
            return sock.recv(count)
        except socket.timeout:
            return b""

    return read


def turn_shape(capture):
    """The largest information field of an I-frame and the most I-frames one side sent before
    the other spoke, from a vlink capture."""
    longest = most = run = 0
    side = None
    for _, ptype, content in frames.read_pcap(capture, warn=lambda _text: None):
        if len(content) < 2:
            continue
        if ptype != side:
            side, run = ptype, 0
        if content[1] & 1 == 0:
            longest = max(longest, len(content) - 2)
            run += 1
            most = max(most, run)
    return longest, most


def held_by_credits(capture):
    """Whether the capture shows the secondary (end A) out of TinyTP credits: every data PDU the
    primary allowed has come, and the secondary answers a poll with an RR instead of more."""
    granted = spent = 0
    next_ns = {True: 0, False: 0}
    for _, ptype, content in frames.read_pcap(capture, warn=lambda _text: None):
        if len(content) < 2:
            continue
        from_a = ptype == 0x0004  # vlink's packet type for end A
        control = content[1]
        if control & 1 == 1:
            if from_a and control & 0x0F == 0x01 and spent > 0 and spent == granted:
                return True
            continue
        if (control >> 1) & 7 != next_ns[from_a] or len(content) < 5:
            continue  # a repeat, or no TinyTP header
        next_ns[from_a] = (next_ns[from_a] + 1) & 7
        if content[2] & 0x7F == 0 or content[3] == 0:
            continue  # IAS
        if content[2] & 0x80:
            if not from_a and content[4] == 0x01 and len(content) >= 7:
                granted, spent = content[6] & 0x7F, 0  # the primary's TinyTP connect
        elif from_a:
            spent += 1 if len(content) > 5 else 0
        else:
            granted += content[4] & 0x7F
    return False


def stop(console):
    """SIGTERM, then the exit status (None when it had to be killed)."""
    if console.proc.poll() is None:
        console.proc.send_signal(signal.SIGTERM)
    return console.wait_exit(5)


class StdioPipeline(unittest.TestCase):
    def test_stdio_pipeline_gets_ok(self):
        vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(prefix="pty-"))
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        demo, primary = os.environ["SECONDARY"], os.environ["PRIMARY_PTY"]
        if WINE:
            env = wine.environment()
            wine.connect(env, {"COM1": vlink.path_a, "COM2": vlink.path_b})
            demo_argv, primary_argv = ["wine", demo, "COM1"], ["wine", primary, "COM2"]
        else:
            env = None
            demo_argv, primary_argv = [demo, vlink.path_a], [primary, vlink.path_b]
        demo = Console("secondary", demo_argv, env, crlf=WINE)
        self.addCleanup(demo.close)
        self.addCleanup(demo.wait_exit, 10)
        self.addCleanup(demo.send, "99")
        run = subprocess.run([*primary_argv, "--stdio", "--linger", "1"], input=b"AT\r",
                             capture_output=True, env=env, timeout=OPEN_S + 20)
        self.assertIsNone(sanitizer_report("primary", run.stderr.decode("latin-1")))
        self.assertIsNone(demo.sanitizer_report())
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, b"\r\nOK\r\n")


class PtyConsoles:
    """Starts the programs of a test case and ends them with it, checking their sanitizer output."""

    def start(self, name, *args, output=None, env=None):
        """The program in $name, ended at the end of the test; returns its console (standard error
        and, unless `output` takes it, standard output) and its pseudo-terminal's path. `env` adds
        to the environment."""
        console = Console(name, [os.environ[name], *args], output=output,
                          env={**os.environ, **env} if env else None)
        self.addCleanup(self.end, console)
        if "--stdio" in args or not name.endswith("_PTY"):
            return console, None
        console.wait_for(CHANNEL, 10)
        return console, CHANNEL.search(console.text).group(1)

    def end(self, console):
        stop(console)
        console.close()
        report = console.sanitizer_report()
        self.assertIsNone(report, report)



@unittest.skipIf(WINE, "no pseudo-terminals under Windows")
@unittest.skipIf(serial is None, "python3-serial is not installed")
class PtyPrograms(PtyConsoles, unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pty-")

    def link(self, *args, pcap=None):
        vlink = Vlink(os.environ["VLINK"], self.dir, args, pcap)
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        return vlink.path_a, vlink.path_b

    def test_demo_answers_at_through_pty(self):
        a, b = self.link()
        self.start("SECONDARY", a)
        primary, path = self.start("PRIMARY_PTY", b)
        primary.wait_for("channel open", OPEN_S)
        self.assertIn("at 9600 bit/s", primary.text)  # the demo offers nothing faster
        with serial.Serial(path, timeout=0.2) as port:
            port.write(b"AT\r")
            self.assertEqual(read_exactly(port.read, 6, 10), b"\r\nOK\r\n")

    def speeds_set(self, *paths):
        """The speed each end of the link is set to, as the programs left their ports."""
        codes = {termios.B9600: 9600, termios.B19200: 19200, termios.B38400: 38400,
                 termios.B57600: 57600, termios.B115200: 115200}
        speeds = []
        for path in paths:
            fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                speeds.append(codes.get(termios.tcgetattr(fd)[5]))
            finally:
                os.close(fd)
        return speeds

    def test_highest_common_speed_both_ends(self):
        """Both pty programs offer every speed of variant A: 115200, which both ports are set
        to and which carries bulk data byte-exact; --max-speed 9600 keeps the link at 9600."""
        for cap, speed in ((None, 115200), ("9600", 9600)):
            with self.subTest(cap=cap):
                a, b = self.link()
                secondary, device = self.start("SECONDARY_PTY", a)
                extra = ("--max-speed", cap) if cap else ()
                primary, computer = self.start("PRIMARY_PTY", *extra, b)
                primary.wait_for("channel open", OPEN_S)
                secondary.wait_for("channel open", OPEN_S)
                for console in (primary, secondary):
                    self.assertIn(f"at {speed} bit/s", console.text)
                self.assertEqual(self.speeds_set(a, b), [speed, speed])
                data = random.Random(3).randbytes(8192 if speed > 9600 else 1024)
                with serial.Serial(computer, timeout=0.2) as c, \
                        serial.Serial(device, timeout=0.2) as d:
                    c.write(data)
                    self.assertEqual(read_exactly(d.read, len(data), 60), data)
                self.assertEqual((stop(primary), stop(secondary)), (0, 0))

    def test_plain_kind(self):
        """Plain ports (no line control; the port's speed is the link's) link at 115200 and
        carry 64 KB each way byte-exact, and so do a plain end and a kind-A end either way round;
        a device whose port refuses 115200 offers only what it takes, and the link comes up at
        57600."""
        refuse = {"LD_PRELOAD": os.environ["REFUSE_SPEED"], "IRS_REFUSE_SPEED": "115200"}
        for computer_kind, device_kind, device_env, speed, size in (
                ("plain", "plain", None, 115200, 65536), ("plain", "a", None, 115200, 8192),
                ("a", "plain", None, 115200, 8192), ("plain", "plain", refuse, 57600, 8192)):
            with self.subTest(computer=computer_kind, device=device_kind, refused=bool(device_env)):
                vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(dir=self.dir))
                self.addCleanup(lambda v=vlink: self.assertIsNone(v.stop()))
                secondary, device = self.start("SECONDARY_PTY", "--transceiver", device_kind,
                                               vlink.path_a, env=device_env)
                primary, computer = self.start("PRIMARY_PTY", "--transceiver", computer_kind,
                                               vlink.path_b)
                primary.wait_for("channel open", OPEN_S)
                secondary.wait_for("channel open", OPEN_S)
                for console in (primary, secondary):
                    self.assertIn(f"at {speed} bit/s", console.text)
                self.assertEqual(self.speeds_set(vlink.path_a, vlink.path_b), [speed, speed])
                with serial.Serial(computer, timeout=0.2) as c, \
                        serial.Serial(device, timeout=0.2) as d:
                    for sent, received in exchange_random(c, d, size, size=size):
                        self.assertTrue(received == sent, "bytes changed or missing")
                self.assertEqual((stop(primary), stop(secondary)), (0, 0))

    def exchange_both_ways(self, *vlink_args):
        """4 KB of random bytes each way at the same time; then each side reopens its
        pseudo-terminal and the channel still carries a line."""
        a, b = self.link(*vlink_args)
        link = os.path.join(self.dir, "ircomm")
        secondary, device = self.start("SECONDARY_PTY", a)
        primary, computer = self.start("PRIMARY_PTY", "--link", link, b)
        self.assertEqual(os.readlink(link), computer)
        primary.wait_for("channel open", OPEN_S)
        secondary.wait_for("channel open", OPEN_S)
        with serial.Serial(link, timeout=0.2) as c, serial.Serial(device, timeout=0.2) as d:
            for sent, received in exchange_random(c, d, 13):
                self.assertEqual(received, sent)
        with serial.Serial(link, timeout=0.2) as c, serial.Serial(device, timeout=0.2) as d:
            c.write(b"again\r")
            self.assertEqual(read_exactly(d.read, 6, 20), b"again\r")
        self.assertEqual((stop(primary), stop(secondary)), (0, 0))
        self.assertFalse(os.path.lexists(link), "link left behind")

    def test_both_ways_byte_exact_and_reopen(self):
        self.exchange_both_ways()

    def test_both_ways_with_bit_errors(self):
        self.exchange_both_ways("--seed", "5", "--ber", "1e-4")

    def test_stalled_reader_loses_nothing(self):
        """A socket with a tiny buffer behind --stdio makes the primary's pump stop taking bytes
        at once. Once its queue is full the primary grants no more credits, the secondary holds
        its data (its queue and pseudo-terminal take the rest of the write), and the stream goes
        on once read."""
        capture = os.path.join(self.dir, "stall.pcap")
        a, b = self.link(pcap=capture)
        _, device = self.start("SECONDARY_PTY", a)
        reader, writer = socket.socketpair()
        writer.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1)
        primary, _ = self.start("PRIMARY_PTY", "--stdio", b, output=writer)
        writer.close()
        self.addCleanup(reader.close)
        primary.wait_for("channel open", OPEN_S)
        # More than the primary takes in (its 32 KB queue and the socket), so its credits run out.
        data = random.Random(7).randbytes(48000)
        with serial.Serial(device, timeout=0.2) as d:
            d.write(data)
            # The reader looks away until the wire shows the secondary out of credits.
            deadline = time.monotonic() + 60
            while not held_by_credits(capture) and time.monotonic() < deadline:
                time.sleep(0.2)
            self.assertTrue(held_by_credits(capture), "the secondary never ran out of credits")
            self.assertEqual(read_exactly(socket_reader(reader), len(data), 60), data)

    def test_peers_terms_kept(self):
        """Devices that take 512-byte fields a frame a turn, 256 three, 64 one and 2048 seven: the
        capture shows no larger field and no more frames a turn than each takes, and 6 KB cross
        each way byte-exact."""
        for field, window in ((512, 1), (256, 3), (64, 1), (2048, 7)):
            with self.subTest(field=field, window=window):
                capture = os.path.join(self.dir, f"terms-{field}.pcap")
                vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(dir=self.dir), (), capture)
                self.addCleanup(lambda v=vlink: self.assertIsNone(v.stop()))
                _, device = self.start("SECONDARY_PTY", "--max-frame", str(field),
                                       "--max-window", str(window), vlink.path_a)
                primary, computer = self.start("PRIMARY_PTY", vlink.path_b)
                primary.wait_for("channel open", OPEN_S)
                with serial.Serial(computer, timeout=0.2) as c, \
                        serial.Serial(device, timeout=0.2) as d:
                    for sent, received in exchange_random(c, d, field, size=6144, timeout=60):
                        self.assertTrue(received == sent, "bytes changed or missing")
                longest, most = turn_shape(capture)
                self.assertLessEqual(longest, field)
                # The fields were used, not just allowed (a link starts at 256 bytes at most).
                self.assertGreaterEqual(longest, min(field, 256))
                self.assertLessEqual(most, window)

    def test_user_errors(self):
        program = os.environ["PRIMARY_PTY"]
        taken = os.path.join(self.dir, "taken")
        with open(taken, "w") as f:
            f.write("mine")
        _, b = self.link()
        cases = [["--bogus"], ["--linger", "soon"], ["--max-speed", "2400"],
                 ["--transceiver", "c"], ["--transceiver", "p"],
                 [os.path.join(self.dir, "no-such-port")], ["--link", taken, b]]
        for args in cases:
            run = subprocess.run([program, *args], capture_output=True, timeout=10)
            self.assertEqual(run.returncode, 1, args)
            self.assertEqual(run.stderr.decode().count("\n"), 1, (args, run.stderr))
        with open(taken) as f:
            self.assertEqual(f.read(), "mine")


if __name__ == "__main__":
    unittest.main(verbosity=2)
