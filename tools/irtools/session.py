"""Starts the virtual infrared link and the two demo programs on its ends, and watches their consoles.

Used by the run command (tools/irdemo), the end-to-end tests, the bench and the fault report.
"""

import os
import signal
import subprocess
import tempfile
import threading
import time

from irtools import wine as wine_prefix
from irtools.console import Console, SanitizerReport, sanitizer_report


class Vlink:
    """vlink between workdir/ir-a and workdir/ir-b, its standard error collected."""

    def __init__(self, vlink, workdir, vlink_args=(), pcap=None):
        self.path_a = os.path.join(workdir, "ir-a")
        self.path_b = os.path.join(workdir, "ir-b")
        self.text = ""
        self._cond = threading.Condition()
        argv = [vlink, "--a", self.path_a, "--b", self.path_b, *vlink_args]
        if pcap:
            argv += ["--pcap", pcap]
        self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     text=True)
        line = self.proc.stderr.readline()
        if "ready" not in line:
            raise RuntimeError(f"vlink did not start: {line!r}")
        self.text = line
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stderr:
            with self._cond:
                self.text += line
                self._cond.notify_all()

    def wait_for(self, text, timeout):
        """Waits until vlink has reported text (e.g. "noise off") on its standard error."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while text not in self.text:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"vlink: {text!r} not seen within {timeout} s")
                self._cond.wait(min(left, 0.5))

    def cut(self):
        """Toggles a cut of the link."""
        self.proc.send_signal(signal.SIGUSR1)

    def toggle_noise(self):
        """Turns the link's bit errors and drops off, or on again."""
        self.proc.send_signal(signal.SIGUSR2)

    def stop(self):
        """Ends vlink; returns the sanitizer report it printed, or None."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(5)
        self.proc.stderr.close()
        return sanitizer_report("vlink", self.text)


class Session:
    """vlink with secondary_demo on its first end and primary_demo on its second."""

    def __init__(self, vlink, primary, secondary, workdir=None, pcap=None, vlink_args=(),
                 wine=False, env=None):
        self.dir = workdir or tempfile.mkdtemp(prefix="irdemo-")
        self.pcap = pcap
        self._stopped = None
        self.link = Vlink(vlink, self.dir, vlink_args, pcap)
        self.path_a, self.path_b = self.link.path_a, self.link.path_b
        self.env = dict(env or os.environ)
        if wine:
            self.env = wine_prefix.environment(self.env)
            port_a, port_b = "COM1", "COM2"
            self._wine_ports(port_a, port_b)
            sec_argv, pri_argv = ["wine", secondary, port_a], ["wine", primary, port_b]
        else:
            sec_argv, pri_argv = [secondary, self.path_a], [primary, self.path_b]
        self.secondary = Console("secondary", sec_argv, self.env, crlf=wine)
        self.primary = Console("primary", pri_argv, self.env, crlf=wine)

    @property
    def vlink_text(self):
        return self.link.text

    def wait_vlink(self, text, timeout):
        """Waits until vlink has reported text (e.g. "noise off") on its standard error."""
        self.link.wait_for(text, timeout)

    def _wine_ports(self, port_a, port_b):
        wine_prefix.connect(self.env, {port_a: self.path_a, port_b: self.path_b})

    def wait_connected(self, timeout=20, start_primary=0, start_secondary=0):
        self.primary.wait_for("secondary_demo state:\t9", timeout, start_primary)
        self.secondary.wait_for("secondary_demo state:\t5", timeout, start_secondary)

    def cut(self):
        self.link.cut()

    def toggle_noise(self):
        self.link.toggle_noise()

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
        self.link.stop()
        self.primary.close()
        self.secondary.close()
        return codes
