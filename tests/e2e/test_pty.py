#!/usr/bin/env python3
"""The pty programs end to end over vlink, opened with pyserial as any terminal program would.

Paths come from the environment: VLINK, PRIMARY_PTY, SECONDARY_PTY, SECONDARY (secondary_demo).
"""

import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

from irtools.console import Console, sanitizer_report

try:
    import serial
except ImportError:  # tools/install-deps installs python3-serial
    serial = None

OPEN_S = 30
FLOW_CONTROL = "needs stations that refuse data frames they cannot store and resend lost ones"


def start_vlink(workdir, *args):
    """vlink between workdir/ir-a and workdir/ir-b; returns (process, path a, path b)."""
    a, b = os.path.join(workdir, "ir-a"), os.path.join(workdir, "ir-b")
    proc = subprocess.Popen([os.environ["VLINK"], "--a", a, "--b", b, *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    line = proc.stderr.readline()
    if "ready" not in line:
        raise RuntimeError(f"vlink did not start: {line!r}")
    threading.Thread(target=proc.stderr.read, daemon=True).start()
    return proc, a, b


class Status:
    """Collects a program's standard error (status lines, and any sanitizer report)."""

    def __init__(self, stream):
        self.text = ""
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._reader.start()

    def _read(self, stream):
        for line in iter(stream.readline, b""):
            with self._cond:
                self.text += line.decode("latin-1")
                self._cond.notify_all()

    def all_text(self, timeout=5):
        """Everything the program wrote, once it has closed its standard error."""
        self._reader.join(timeout)
        with self._cond:
            return self.text

    def wait_for(self, text, timeout=OPEN_S):
        deadline = time.monotonic() + timeout
        with self._cond:
            while text not in self.text:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"{text!r} not seen; status so far: {self.text!r}")
                self._cond.wait(min(left, 0.5))


def start_pty(program, *args, **popen):
    """A pty program; returns (process, pseudo-terminal path or None with --stdio). Its status
    lines collect in proc.status."""
    popen.setdefault("stdout", subprocess.PIPE)
    proc = subprocess.Popen([program, *args], stderr=subprocess.PIPE, **popen)
    proc.status = Status(proc.stderr)
    if "--stdio" in args:
        return proc, None
    line = proc.stdout.readline().decode()
    if not line.startswith("IrCOMM channel: "):
        proc.wait(10)
        raise RuntimeError(f"{program}: {line!r} {proc.status.text!r}")
    return proc, line.split(": ", 1)[1].strip()


def wait_status(proc, text, timeout=OPEN_S):
    proc.status.wait_for(text, timeout)


def read_exactly(port, count, timeout):
    """count bytes from a pyserial port, or fails at the deadline."""
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count and time.monotonic() < deadline:
        data += port.read(count - len(data))
    return data


def stop(proc, timeout=5):
    """SIGTERM, then the exit status."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


@unittest.skipIf(serial is None, "python3-serial is not installed")
class PtyPrograms(unittest.TestCase):
    def setUp(self):
        warnings.simplefilter("ignore", ResourceWarning)  # pipes of ended programs
        self.dir = tempfile.mkdtemp(prefix="pty-")

    def link(self, *args):
        proc, a, b = start_vlink(self.dir, *args)
        self.addCleanup(stop, proc)
        return a, b

    def program(self, name, *args, **popen):
        proc, path = start_pty(os.environ[name], *args, **popen)
        self.addCleanup(self.no_sanitizer_report, proc, name)
        self.addCleanup(stop, proc)
        return proc, path

    def no_sanitizer_report(self, proc, name):
        report = sanitizer_report(name, proc.status.all_text())
        self.assertIsNone(report, report)

    def test_demo_answers_at_through_pty(self):
        a, b = self.link()
        demo = Console("secondary", [os.environ["SECONDARY"], a])
        self.addCleanup(demo.wait_exit, 5)
        self.addCleanup(demo.close_input)
        primary, path = self.program("PRIMARY_PTY", b)
        wait_status(primary, "channel open")
        with serial.Serial(path, timeout=0.2) as port:
            port.write(b"AT\r")
            self.assertEqual(read_exactly(port, 6, 10), b"\r\nOK\r\n")

    def test_stdio_pipeline_gets_ok(self):
        a, b = self.link()
        demo = Console("secondary", [os.environ["SECONDARY"], a])
        self.addCleanup(demo.wait_exit, 5)
        self.addCleanup(demo.close_input)
        run = subprocess.run([os.environ["PRIMARY_PTY"], "--stdio", "--linger", "1", b],
                             input=b"AT\r", capture_output=True, timeout=OPEN_S + 20)
        self.assertIsNone(sanitizer_report("primary", run.stderr.decode("latin-1")))
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, b"\r\nOK\r\n")

    def exchange_both_ways(self, *vlink_args):
        """4 KB of random bytes each way at the same time; then each side reopens its
        pseudo-terminal and the channel still carries a line."""
        a, b = self.link(*vlink_args)
        link = os.path.join(self.dir, "ircomm")
        secondary, device = self.program("SECONDARY_PTY", a)
        primary, computer = self.program("PRIMARY_PTY", "--link", link, b)
        self.assertEqual(os.readlink(link), computer)
        wait_status(primary, "channel open")
        wait_status(secondary, "channel open")
        rng = random.Random(13)
        up, down = rng.randbytes(4096), rng.randbytes(4096)
        with serial.Serial(link, timeout=0.2) as c, serial.Serial(device, timeout=0.2) as d:
            c.write(up)
            d.write(down)
            got = {}
            reader = threading.Thread(target=lambda: got.update(c=read_exactly(c, 4096, 120)))
            reader.start()
            got["d"] = read_exactly(d, 4096, 120)
            reader.join()
        self.assertEqual(got["d"], up)
        self.assertEqual(got["c"], down)
        with serial.Serial(link, timeout=0.2) as c, serial.Serial(device, timeout=0.2) as d:
            c.write(b"again\r")
            self.assertEqual(read_exactly(d, 6, 20), b"again\r")
        self.assertEqual((stop(primary), stop(secondary)), (0, 0))
        self.assertFalse(os.path.lexists(link), "link left behind")

    def test_both_ways_byte_exact_and_reopen(self):
        self.exchange_both_ways()

    @unittest.skipUnless(os.environ.get("PTY_FLOW_CONTROL"), FLOW_CONTROL)
    def test_both_ways_with_bit_errors(self):
        self.exchange_both_ways("--seed", "5", "--ber", "1e-4")

    @unittest.skipUnless(os.environ.get("PTY_FLOW_CONTROL"), FLOW_CONTROL)
    def test_slow_reader_loses_nothing(self):
        """A pseudo-terminal holds 20 KB, a minute at this line rate; a socket with a tiny buffer
        behind --stdio makes the same pump stop taking bytes within seconds."""
        a, b = self.link()
        secondary, device = self.program("SECONDARY_PTY", a)
        reader, writer = socket.socketpair()
        writer.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1)
        reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
        primary, _ = self.program("PRIMARY_PTY", "--stdio", b, stdin=subprocess.PIPE,
                                  stdout=writer)
        writer.close()
        wait_status(primary, "channel open")
        data = random.Random(7).randbytes(2000)
        got = b""
        with serial.Serial(device, timeout=0.2) as d:
            d.write(data)
            deadline = time.monotonic() + 120
            reader.settimeout(0.2)
            while len(got) < len(data) and time.monotonic() < deadline:
                try:
                    got += reader.recv(8)  # well below the link's rate
                except socket.timeout:
                    pass
                time.sleep(0.1)  # the pace of a slow reader, not a synchronisation
        reader.close()
        self.assertEqual(got, data)

    def test_user_errors(self):
        program = os.environ["PRIMARY_PTY"]
        taken = os.path.join(self.dir, "taken")
        with open(taken, "w") as f:
            f.write("mine")
        _, b = self.link()
        cases = [["--bogus"], ["--linger", "soon"], [os.path.join(self.dir, "no-such-port")],
                 ["--link", taken, b]]
        for args in cases:
            run = subprocess.run([program, *args], capture_output=True, timeout=10)
            self.assertEqual(run.returncode, 1, args)
            self.assertEqual(run.stderr.decode().count("\n"), 1, (args, run.stderr))
        with open(taken) as f:
            self.assertEqual(f.read(), "mine")


if __name__ == "__main__":
    unittest.main(verbosity=2)
