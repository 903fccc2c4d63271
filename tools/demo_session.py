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

import wine_env

# What AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer print when they find a fault.
SANITIZER_REPORT = re.compile(r"(?:WARNING|ERROR): \w*Sanitizer|runtime error: ")


class SanitizerReport(AssertionError):
    """A program under test printed a sanitizer report."""


def sanitizer_report(name, text):
    """The report in text with some context, or None."""
    match = SANITIZER_REPORT.search(text)
    if not match:
        return None
    return f"{name}: sanitizer report:\n" + text[max(0, match.start() - 200):match.start() + 4000]


class Console:
    """A program whose standard input we write and whose standard output we collect."""

    def __init__(self, name, argv, env=None, crlf=False):
        """crlf: the program writes text-mode output, as Windows programs do ("\n" as "\r\n")."""
        self.name = name
        self.text = ""
        self._cond = threading.Condition()
        self._echo = None
        self._crlf = crlf
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env, bufsize=0)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        held = ""  # a "\r" at the end of a chunk, until the next shows whether "\n" follows
        while True:
            chunk = self.proc.stdout.read(4096)
            if not chunk:
                piece, held = held, ""
                if not piece:
                    break
            else:
                piece = chunk.decode("latin-1")
            if self._crlf:
                # Text mode puts a "\r" before every "\n"; dropping exactly those restores the output.
                piece = (held + piece).replace("\r\n", "\n")
                held = ""
                if chunk and piece.endswith("\r"):
                    piece, held = piece[:-1], "\r"
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

    def wait_until(self, predicate, timeout):
        """Waits until predicate() holds, trying it again whenever output arrives; False once
        `timeout` seconds have passed or the program has ended without it holding."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    return predicate()
                self._cond.wait(min(left, 0.5))
            return True

    def wait_for(self, pattern, timeout, start=0):
        """Waits until `pattern` (text or compiled regex) appears after offset `start`; returns its end."""
        end = []

        def seen():
            if isinstance(pattern, str):
                pos = self.text.find(pattern, start)
                if pos >= 0:
                    end.append(pos + len(pattern))
            else:
                match = pattern.search(self.text, start)
                if match:
                    end.append(match.end())
            return bool(end)

        if not self.wait_until(seen, timeout):
            raise TimeoutError(f"{self.name}: {pattern!r} not seen within {timeout} s")
        return end[0]

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

    def close(self):
        """Closes our ends of the pipes once the program has ended and its output is read."""
        self._reader.join(5)
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass

    def sanitizer_report(self):
        with self._cond:
            return sanitizer_report(self.name, self.text)


class Session:
    """vlink with secondary_demo on its first end and primary_demo on its second."""

    def __init__(self, vlink, primary, secondary, workdir=None, pcap=None, vlink_args=(),
                 wine=False, env=None):
        self.dir = workdir or tempfile.mkdtemp(prefix="irdemo-")
        self.path_a = os.path.join(self.dir, "ir-a")
        self.path_b = os.path.join(self.dir, "ir-b")
        self.pcap = pcap
        self.vlink_text = ""
        self._vlink_cond = threading.Condition()
        self._stopped = None
        argv = [vlink, "--a", self.path_a, "--b", self.path_b, *vlink_args]
        if pcap:
            argv += ["--pcap", pcap]
        self.vlink = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                      text=True)
        self._wait_ready()
        self.env = dict(env or os.environ)
        if wine:
            self.env = wine_env.environment(self.env)
            port_a, port_b = "COM1", "COM2"
            self._wine_ports(port_a, port_b)
            sec_argv, pri_argv = ["wine", secondary, port_a], ["wine", primary, port_b]
        else:
            sec_argv, pri_argv = [secondary, self.path_a], [primary, self.path_b]
        self.secondary = Console("secondary", sec_argv, self.env, crlf=wine)
        self.primary = Console("primary", pri_argv, self.env, crlf=wine)

    def _wait_ready(self):
        line = self.vlink.stderr.readline()
        if "ready" not in line:
            raise RuntimeError(f"vlink did not start: {line!r}")
        self.vlink_text = line
        self._vlink_reader = threading.Thread(target=self._read_vlink, daemon=True)
        self._vlink_reader.start()

    def _read_vlink(self):
        for line in self.vlink.stderr:
            with self._vlink_cond:
                self.vlink_text += line
                self._vlink_cond.notify_all()

    def wait_vlink(self, text, timeout):
        """Waits until vlink has reported text (e.g. "noise off") on its standard error."""
        deadline = time.monotonic() + timeout
        with self._vlink_cond:
            while text not in self.vlink_text:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"vlink: {text!r} not seen within {timeout} s")
                self._vlink_cond.wait(min(left, 0.5))

    def _wine_ports(self, port_a, port_b):
        wine_env.connect(self.env, {port_a: self.path_a, port_b: self.path_b})

    def wait_connected(self, timeout=20, start_primary=0, start_secondary=0):
        self.primary.wait_for("secondary_demo state:\t9", timeout, start_primary)
        self.secondary.wait_for("secondary_demo state:\t5", timeout, start_secondary)

    def cut(self):
        """Toggles a cut of the link."""
        self.vlink.send_signal(signal.SIGUSR1)

    def toggle_noise(self):
        """Turns the link's bit errors and drops off, or on again."""
        self.vlink.send_signal(signal.SIGUSR2)

    def stop(self):
        """Ends both programs with 99 and then vlink; returns the programs' exit codes (None for one
        that had to be killed). Raises SanitizerReport if any of the three printed one."""
        if self._stopped is None:
            self._stopped = self._stop()
        reports = [r for r in (self.primary.sanitizer_report(), self.secondary.sanitizer_report(),
                               sanitizer_report("vlink", self.vlink_text)) if r]
        if reports:
            raise SanitizerReport("\n".join(reports))
        return self._stopped

    def _stop(self):
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
            self.vlink.wait()
        self._vlink_reader.join(5)
        self.vlink.stderr.close()
        self.primary.close()
        self.secondary.close()
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
