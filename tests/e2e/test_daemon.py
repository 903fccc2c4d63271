#!/usr/bin/env python3
"""irstackd end to end over vlink, a daemon at each end, every program its client.

The device's end: `secondary_pty irstackd:dev` offering IrCOMM and irs_echo offering a raw echo.
The computer's end: `primary_pty irstackd:ir0` and a raw client (the library through ctypes) at
once, 64 KB each way on each channel, byte-exact, while irstack-ctl lists both clients with their
channels. Then, the outgoing link ended, the port is a device again: a client of it offers a
service, and a program of the other end connects in as the computer.

Paths come from the environment: VLINK, IRSTACKD, IRSTACK_CTL, PRIMARY_PTY, SECONDARY_PTY,
IRS_ECHO, IRS_FETCH, LIBIRSTACK.
"""

import ctypes
import grp
import json
import os
import random
import select
import subprocess
import tempfile
import time
import tty
import unittest

from irtools.console import Console
from irtools.session import Vlink
from test_pty import CHANNEL

SIZE = 65536
OPEN_S = 30
RAW = ["-r", "-c", "Echo", "-a", "Echo:LsapSel"]
MODE_RAW = 1
ROLE_COMPUTER = 0


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    return fd


def flows_done(flows, timeout):
    """flows: (write fd, read fd, bytes) moved at once; what each reader got by the deadline."""
    sent = [0] * len(flows)
    got = [b""] * len(flows)
    deadline = time.monotonic() + timeout
    while any(len(got[i]) < len(f[2]) for i, f in enumerate(flows)):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        writers = [f[0] for i, f in enumerate(flows) if sent[i] < len(f[2])]
        readers = [f[1] for i, f in enumerate(flows) if len(got[i]) < len(f[2])]
        readable, writable, _ = select.select(readers, writers, [], min(left, 0.5))
        for i, (w, r, data) in enumerate(flows):
            if w in writable and sent[i] < len(data):
                try:
                    sent[i] += os.write(w, data[sent[i]:sent[i] + 1024])
                except BlockingIOError:
                    pass
            if r in readable and len(got[i]) < len(data):
                try:
                    got[i] += os.read(r, 4096)
                except BlockingIOError:
                    pass
    return got


class Daemon(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="daemon-")
        self.ended = []
        vlink = Vlink(os.environ["VLINK"], self.dir)
        self.addCleanup(lambda: self.assertIsNone(vlink.stop()))
        self.sockets = os.path.join(self.dir, "sockets")
        os.environ["IRSTACK_SOCKET_DIR"] = self.sockets  # this process is a client too
        self.env = dict(os.environ)
        group = grp.getgrgid(os.getgid()).gr_name
        for name, path in (("dev", vlink.path_a), ("ir0", vlink.path_b)):
            daemon = self.run_console(f"irstackd {name}", os.environ["IRSTACKD"], "--group",
                                      group, f"{name}={path}")
            daemon.wait_for(f"serving {name}", 10)

    def run_console(self, name, *argv):
        console = Console(name, list(argv), env=self.env)
        self.addCleanup(self.end, console)
        return console

    def end(self, console):
        if console in self.ended:
            return
        self.ended.append(console)
        if console.proc.poll() is None:
            console.proc.terminate()
        console.wait_exit(5)
        console.close()
        report = console.sanitizer_report()
        self.assertIsNone(report, report)

    def ctl(self, *args):
        run = subprocess.run([os.environ["IRSTACK_CTL"], "--json", *args], env=self.env,
                             capture_output=True, text=True, timeout=10)
        self.assertEqual(run.returncode, 0, run.stderr)
        return [json.loads(line) for line in run.stdout.splitlines()]

    def raw_channel(self):
        """A raw channel to the device's echo, through the daemon; its descriptor."""
        lib = ctypes.CDLL(os.environ["LIBIRSTACK"])
        self.lib = lib
        port, channel = ctypes.c_void_p(), ctypes.c_void_p()
        self.assertEqual(lib.irs_open(b"irstackd:ir0", ctypes.c_char(b"a"), 0, ROLE_COMPUTER,
                                      ctypes.byref(port)), 0)
        self.addCleanup(lib.irs_close, port)
        result = lib.irs_connect(port, b"Echo", b"Echo:LsapSel", MODE_RAW, OPEN_S * 1000,
                                 ctypes.byref(channel))
        self.assertEqual(result, 0, "the raw channel through the daemon")
        fd = lib.irs_fd(channel)
        self.assertGreaterEqual(fd, 0)
        os.set_blocking(fd, False)
        return port, channel, fd

    def test_two_clients_at_once_then_the_peer_calls_in(self):
        echo = self.run_console("irs_echo", os.environ["IRS_ECHO"], *RAW, "irstackd:dev")
        device = self.run_console("SECONDARY_PTY", os.environ["SECONDARY_PTY"], "irstackd:dev")
        device.wait_for(CHANNEL, 10)
        computer = self.run_console("PRIMARY_PTY", os.environ["PRIMARY_PTY"], "irstackd:ir0")
        computer.wait_for("channel open", OPEN_S)
        device.wait_for("channel open", OPEN_S)
        port, channel, raw = self.raw_channel()
        echo.wait_for("channel open", OPEN_S)

        c = open_raw(CHANNEL.search(computer.text).group(1))
        d = open_raw(CHANNEL.search(device.text).group(1))
        rng = random.Random(5)
        up, down, echoed = rng.randbytes(SIZE), rng.randbytes(SIZE), rng.randbytes(SIZE)
        got = flows_done([(c, d, up), (d, c, down), (raw, raw, echoed)], 240)
        self.assertEqual(got[0], up, "IrCOMM, computer to device")
        self.assertEqual(got[1], down, "IrCOMM, device to computer")
        self.assertEqual(got[2], echoed, "the raw channel's echo")

        (status,) = self.ctl("status", "ir0")
        self.assertEqual((status["role"], status["phase"], status["speed"]),
                         ("computer", "open", 115200))
        channels = {client["pid"]: client["channels"] for client in status["clients"]}
        self.assertEqual(set(channels), {computer.proc.pid, os.getpid()})
        self.assertEqual(len(channels[computer.proc.pid]), 1)
        (raw_channel,) = channels[os.getpid()]
        self.assertEqual((raw_channel["class"], raw_channel["sent"], raw_channel["received"]),
                         ("Echo", SIZE, SIZE))
        (seen,) = self.ctl("devices", "dev")
        self.assertEqual(len(seen["devices"]), 1, "the computer that linked")

        # Every client of ir0 leaves: the link ends and ir0 is a device again.
        os.close(c)
        os.close(d)
        self.assertEqual(self.lib.irs_channel_close(channel), 0)
        self.assertEqual(self.lib.irs_close(port), 0)
        self.end(computer)
        self.ctl_until("ir0", lambda s: s["role"] == "device" and s["phase"] == "idle")

        # A client of ir0 offers a service; a program of the other end connects in to it.
        self.run_console("irs_echo ir0", os.environ["IRS_ECHO"], "-r", "-c", "Back", "-a",
                         "Back:LsapSel", "irstackd:ir0")
        command = bytes(random.Random(9).randrange(1, 256) for _ in range(500))
        self.end(device)  # the other end's port is free to call out
        fetch = subprocess.run([os.environ["IRS_FETCH"], "-r", "-c", "Back", "-a", "Back:LsapSel",
                                "-n", str(len(command)), "irstackd:dev", command],
                               env=self.env, capture_output=True, timeout=60)
        self.assertEqual(fetch.returncode, 0, fetch.stderr)
        self.assertEqual(fetch.stdout.partition(b"\n")[2], command)

    def ctl_until(self, name, wanted, timeout=15):
        deadline = time.monotonic() + timeout
        while True:
            (status,) = self.ctl("status", name)
            if wanted(status) or time.monotonic() > deadline:
                self.assertTrue(wanted(status), status)
                return status
            time.sleep(0.1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
