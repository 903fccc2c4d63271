#!/usr/bin/env python3
"""The pty programs as a long-running bridge in the field: any service by its names, a fixed
selector, TinyTP without IrCOMM, discovery, a port that goes away and comes back, and a device that
goes away and comes back.

Paths come from the environment: VLINK, PRIMARY_PTY, SECONDARY_PTY, SECONDARY (secondary_demo).
WINE=1 runs the Windows builds under Wine, where only the relay to a second serial port is tested.
"""

import os
import re
import select
import subprocess
import tempfile
import time
import unittest

from irtools import wine
from irtools.console import Console
from irtools.session import Vlink
from test_pty import OPEN_S, WINE, PtyConsoles, exchange_random, read_exactly, serial, stop

BACK_S = 10  # the channel is open again this long after the port or the peer is back


def read_ready(fd, count):
    """What fd has within 0.2 s, up to count bytes."""
    ready, _, _ = select.select([fd], [], [], 0.2)
    return os.read(fd, count) if ready else b""


class SerialRelay(unittest.TestCase):
    def test_second_port_relays_at_to_the_demo(self):
        """--serial: the channel on one end of a terminal pair, as on a virtual null-modem pair;
        the test holds the other end as the Windows program would its serial port."""
        vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(prefix="pty-serial-"))
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        pair = os.ttyname(slave)
        demo, primary = os.environ["SECONDARY"], os.environ["PRIMARY_PTY"]
        if WINE:
            env = wine.environment()
            wine.connect(env, {"COM1": vlink.path_a, "COM2": vlink.path_b, "COM3": pair})
            demo_argv = ["wine", demo, "COM1"]
            primary_argv = ["wine", primary, "--serial", "COM3", "COM2"]
        else:
            env = None
            demo_argv, primary_argv = [demo, vlink.path_a], [primary, "--serial", pair,
                                                             vlink.path_b]
        demo = Console("secondary", demo_argv, env, crlf=WINE)
        self.addCleanup(demo.close)
        self.addCleanup(demo.wait_exit, 10)
        self.addCleanup(demo.send, "99")
        relay = Console("primary", primary_argv, env, crlf=WINE)
        self.addCleanup(relay.close)
        self.addCleanup(stop, relay)
        relay.wait_for("channel open", OPEN_S)
        os.write(master, b"AT\r")

        self.assertEqual(read_exactly(lambda n: read_ready(master, n), 6, 20), b"\r\nOK\r\n")
        self.assertIsNone(relay.sanitizer_report())
        self.assertIsNone(demo.sanitizer_report())

    @unittest.skipIf(WINE, "the pair is swapped behind the port's name, which Wine has mapped")
    def test_second_port_lost_and_back(self):
        """The pair's far end goes (a null-modem driver unloaded): the relay says so, keeps the
        channel, opens the same name again once a new pair is behind it and relays as before."""
        vlink = Vlink(os.environ["VLINK"], tempfile.mkdtemp(prefix="pty-serial-"))
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        name = os.path.join(os.path.dirname(vlink.path_a), "pair")
        self.masters = []
        self.addCleanup(lambda: [os.close(fd) for fd in self.masters])
        master = self.pair_behind(name)
        demo = Console("secondary", [os.environ["SECONDARY"], vlink.path_a])
        self.addCleanup(demo.close)
        self.addCleanup(demo.wait_exit, 10)
        self.addCleanup(demo.send, "99")
        relay = Console("primary", [os.environ["PRIMARY_PTY"], "--serial", name, vlink.path_b])
        self.addCleanup(relay.close)
        self.addCleanup(stop, relay)
        relay.wait_for("channel open", OPEN_S)
        os.close(self.masters.pop())
        relay.wait_for(f"second port lost: {name} (error ", 10)
        mark = relay.mark()
        master = self.pair_behind(name)
        relay.wait_for("second port back", 10, mark)
        os.write(master, b"AT\r")
        self.assertEqual(read_exactly(lambda n: read_ready(master, n), 6, 20), b"\r\nOK\r\n")
        self.assertNotIn("channel lost", relay.text)
        self.assertIsNone(relay.sanitizer_report())

    def pair_behind(self, name):
        """A new terminal pair whose far end `name` links to; returns the near end, which
        self.masters keeps until the test ends."""
        master, slave = os.openpty()
        self.masters.append(master)
        target = os.ttyname(slave)
        os.close(slave)
        if os.path.lexists(name):
            os.unlink(name)
        os.symlink(target, name)
        return master


@unittest.skipIf(WINE, "no pseudo-terminals under Windows")
@unittest.skipIf(serial is None, "python3-serial is not installed")
class FieldPty(PtyConsoles, unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pty-field-")
        self.vlink = None

    def link(self):
        self.vlink = Vlink(os.environ["VLINK"], self.dir)
        self.addCleanup(self.unlink)
        return self.vlink.path_a, self.vlink.path_b

    def unlink(self):
        if self.vlink is not None:
            self.assertIsNone(self.vlink.stop())
            self.vlink = None

    def test_service_by_name_and_no_such_service(self):
        a, b = self.link()
        names = ["--class", "Meter", "--attribute", "Reading:LsapSel"]
        _, device = self.start("SECONDARY_PTY", *names, a)
        wrong, _ = self.start("PRIMARY_PTY", "--class", "Clock", "--attribute", "Time:LsapSel", b)
        wrong.wait_for("device has no service Clock Time:LsapSel", OPEN_S)
        self.assertIsNone(wrong.proc.poll(), "the primary went on trying")
        self.assertEqual(stop(wrong), 0)
        primary, computer = self.start("PRIMARY_PTY", *names, b)
        primary.wait_for("channel open", OPEN_S)
        with serial.Serial(computer, timeout=0.2) as c, serial.Serial(device, timeout=0.2) as d:
            c.write(b"reading?\r")
            self.assertEqual(read_exactly(d.read, 9, 20), b"reading?\r")

    def test_fixed_selector_asks_no_ias(self):
        a, b = self.link()
        self.start("SECONDARY", a)
        primary, computer = self.start("PRIMARY_PTY", "--trace", "--lsap", "4", b)
        primary.wait_for("channel open", OPEN_S)
        with serial.Serial(computer, timeout=0.2) as c:
            c.write(b"AT\r")
            self.assertEqual(read_exactly(c.read, 6, 10), b"\r\nOK\r\n")
        self.assertNotIn(" IAS", primary.text)
        self.assertIn(" TTP", primary.text)

    def test_raw_both_ways_byte_exact(self):
        a, b = self.link()
        secondary, device = self.start("SECONDARY_PTY", "--raw", a)
        primary, computer = self.start("PRIMARY_PTY", "--raw", b)
        primary.wait_for("channel open", OPEN_S)
        secondary.wait_for("channel open", OPEN_S)
        with serial.Serial(computer, timeout=0.2) as c, serial.Serial(device, timeout=0.2) as d:
            for sent, received in exchange_random(c, d, 21):
                self.assertEqual(received, sent)

    def test_discover(self):
        a, b = self.link()
        program = os.environ["PRIMARY_PTY"]
        began = time.monotonic()
        empty = subprocess.run([program, "--discover", b], capture_output=True, timeout=20)
        self.assertLess(time.monotonic() - began, 10)
        self.assertEqual(empty.returncode, 1, empty.stderr)
        self.assertIn(b"no device found", empty.stderr)
        self.start("SECONDARY", a)
        found = subprocess.run([program, "--discover", b], capture_output=True, timeout=20)
        self.assertEqual(found.returncode, 0, found.stderr)
        self.assertEqual(found.stdout, b"34-12-CD-AB  PDA/Palmtop, IrCOMM\n")

    def test_option_errors(self):
        _, b = self.link()
        cases = [("PRIMARY_PTY", ["--lsap", "0"]), ("PRIMARY_PTY", ["--lsap", "4", "--class", "X"]),
                 ("PRIMARY_PTY", ["--class", "C" * 150, "--attribute", "A" * 150]),
                 ("PRIMARY_PTY", ["--class", ""]), ("PRIMARY_PTY", ["--serial", b, "--stdio"]),
                 ("PRIMARY_PTY", ["--serial", os.path.join(self.dir, "none")]),
                 ("SECONDARY_PTY", ["--lsap", "4"]), ("SECONDARY_PTY", ["--discover"])]
        for name, args in cases:
            run = subprocess.run([os.environ[name], *args, b], capture_output=True, timeout=10)
            self.assertEqual(run.returncode, 1, args)
            self.assertEqual(run.stderr.decode().count("\n"), 1, (args, run.stderr))

    def test_port_lost_and_back(self):
        """vlink ends and starts again on the same paths, as a dongle unplugged and plugged back;
        the clients keep their pseudo-terminals open throughout."""
        a, b = self.link()
        secondary, device = self.start("SECONDARY_PTY", a)
        primary, computer = self.start("PRIMARY_PTY", b)
        primary.wait_for("channel open", OPEN_S)
        with serial.Serial(computer, timeout=0.2) as c, serial.Serial(device, timeout=0.2) as d:
            self.unlink()
            for console in (primary, secondary):
                console.wait_for(re.compile(r"port lost: .*\n"), 10)
            marks = (primary.mark(), secondary.mark())
            self.link()
            for console, mark in zip((primary, secondary), marks):
                console.wait_for("port back", 10, mark)
                console.wait_for("channel open", BACK_S, mark)
            c.write(b"AT\r")
            self.assertEqual(read_exactly(d.read, 3, 20), b"AT\r")
            d.write(b"\r\nOK\r\n")
            self.assertEqual(read_exactly(c.read, 6, 20), b"\r\nOK\r\n")
        for console in (primary, secondary):
            self.assertEqual(console.count("port lost"), 1, console.text)

    def peer_gone_and_back(self, gone, stays):
        a, b = self.link()
        paths = {"SECONDARY_PTY": a, "PRIMARY_PTY": b}
        first, _ = self.start(gone, paths[gone])
        watcher, pty = self.start(stays, paths[stays])
        watcher.wait_for("channel open", OPEN_S)
        with serial.Serial(pty, timeout=0.2) as client:
            self.assertEqual(stop(first), 0)
            # Taken into the queues before the give-up, never acknowledged: the loss says so.
            client.write(bytes(1000))
            watcher.wait_for("channel lost", 20)
            watcher.wait_for(re.compile(r"[1-9][0-9]* bytes not acknowledged dropped"), 5)
        mark = watcher.mark()
        self.start(gone, paths[gone])
        watcher.wait_for("channel open", BACK_S, mark)

    def test_device_gone_and_back(self):
        self.peer_gone_and_back("SECONDARY_PTY", "PRIMARY_PTY")

    def test_computer_gone_and_back(self):
        self.peer_gone_and_back("PRIMARY_PTY", "SECONDARY_PTY")


if __name__ == "__main__":
    unittest.main(verbosity=2)
