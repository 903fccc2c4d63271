"""Starts the virtual infrared link and the two demo programs on its ends, and watches their consoles.

Used by the run command (tools/irdemo) and by the end-to-end tests.
"""

import os
import re
import signal
import struct
import subprocess
import tempfile
import threading
import time


class Console:
    """A program whose standard input we write and whose standard output we collect."""

    def __init__(self, name, argv, env=None):
        self.name = name
        self.text = ""
        self._cond = threading.Condition()
        self._echo = None
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env, bufsize=0)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read(4096)
            if not chunk:
                break
            piece = chunk.decode("latin-1")
            with self._cond:
                self.text += piece
                self._cond.notify_all()
            if self._echo:
                self._echo(self.name, piece)
        with self._cond:
            self._cond.notify_all()

    def echo_to(self, callback):
        self._echo = callback

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def close_input(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass

    def mark(self):
        with self._cond:
            return len(self.text)

    def wait_for(self, pattern, timeout, start=0):
        """Waits until `pattern` (text or compiled regex) appears after offset `start`; returns its end."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                if isinstance(pattern, str):
                    pos = self.text.find(pattern, start)
                    if pos >= 0:
                        return pos + len(pattern)
                else:
                    match = pattern.search(self.text, start)
                    if match:
                        return match.end()
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    raise TimeoutError(f"{self.name}: {pattern!r} not seen within {timeout} s")
                self._cond.wait(min(left, 0.5))

    def count(self, needle, start=0):
        with self._cond:
            return self.text.count(needle, start)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


class Session:
    """vlink with secondary_demo on its first end and primary_demo on its second."""

    def __init__(self, vlink, primary, secondary, workdir=None, pcap=None, vlink_args=(),
                 wine=False, env=None):
        self.dir = workdir or tempfile.mkdtemp(prefix="irdemo-")
        self.path_a = os.path.join(self.dir, "ir-a")
        self.path_b = os.path.join(self.dir, "ir-b")
        self.pcap = pcap
        argv = [vlink, "--a", self.path_a, "--b", self.path_b, *vlink_args]
        if pcap:
            argv += ["--pcap", pcap]
        self.vlink = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                      text=True)
        self._wait_ready()
        self.env = dict(env or os.environ)
        if wine:
            port_a, port_b = "COM1", "COM2"
            self._wine_ports(port_a, port_b)
            sec_argv, pri_argv = ["wine", secondary, port_a], ["wine", primary, port_b]
        else:
            sec_argv, pri_argv = [secondary, self.path_a], [primary, self.path_b]
        self.secondary = Console("secondary", sec_argv, self.env)
        self.primary = Console("primary", pri_argv, self.env)

    def _wait_ready(self):
        line = self.vlink.stderr.readline()
        if "ready" not in line:
            raise RuntimeError(f"vlink did not start: {line!r}")
        threading.Thread(target=self.vlink.stderr.read, daemon=True).start()

    def _wine_ports(self, port_a, port_b):
        for port, path in ((port_a, self.path_a), (port_b, self.path_b)):
            subprocess.run(["wine", "reg", "add", r"HKLM\Software\Wine\Ports", "/v", port, "/d",
                            path, "/f"], check=True, env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    def wait_connected(self, timeout=20, start_primary=0, start_secondary=0):
        self.primary.wait_for("secondary_demo state:\t9", timeout, start_primary)
        self.secondary.wait_for("secondary_demo state:\t5", timeout, start_secondary)

    def cut(self):
        """Toggles a cut of the link."""
        self.vlink.send_signal(signal.SIGUSR1)

    def stop(self):
        for console in (self.primary, self.secondary):
            if console.proc.poll() is None:
                try:
                    console.send("99")
                except OSError:
                    pass
        codes = (self.primary.wait_exit(5), self.secondary.wait_exit(5))
        if self.vlink.poll() is None:
            self.vlink.send_signal(signal.SIGTERM)
        try:
            self.vlink.wait(5)
        except subprocess.TimeoutExpired:
            self.vlink.kill()
        return codes


TRACE_BLOCK = re.compile(r"\n\[((?: [0-9A-F]{2})*) \]\n\t(?: ->|<- )[^\n]*")


def traced_frames(text):
    """Frames in a console trace, as (content bytes, received?) in order of printing."""
    frames = []
    for match in TRACE_BLOCK.finditer(text):
        content = bytes(int(h, 16) for h in match.group(1).split())
        frames.append((content, match.group(0).endswith(".")))
    return frames


def read_pcap(path):
    """(seconds, packet type, content) of every packet of a capture file."""
    with open(path, "rb") as f:
        data = f.read()
    magic, = struct.unpack_from("<I", data, 0)
    endian = "<" if magic == 0xA1B2C3D4 else ">"
    linktype, = struct.unpack_from(endian + "I", data, 20)
    if linktype != 144:
        raise ValueError(f"link-layer type {linktype}, expected 144")
    packets, pos = [], 24
    while pos + 16 <= len(data):
        sec, usec, incl, _orig = struct.unpack_from(endian + "IIII", data, pos)
        body = data[pos + 16:pos + 16 + incl]
        pos += 16 + incl
        ptype, = struct.unpack_from(">H", body, 0)
        protocol, = struct.unpack_from(">H", body, 14)
        if protocol != 0x0017:
            raise ValueError(f"protocol 0x{protocol:04X}, expected 0x0017")
        packets.append((sec + usec / 1e6, ptype, body[16:]))
    return packets
