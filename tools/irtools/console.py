"""A program's console: its standard input written line by line, its output collected as it
arrives, waits on that output with a deadline, and reports of sanitizers found in it.
"""

import os
import re
import subprocess
import threading
import time

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

    def __init__(self, name, argv, env=None, crlf=False, output=None):
        """crlf: the program writes text-mode output, as Windows programs do ("\n" as "\r\n").
        output: where the program's standard output goes instead; the console gets its standard
        error then."""
        self.name = name
        self.text = ""
        self._arrivals = []  # (end offset, monotonic seconds) of each piece
        self._cond = threading.Condition()
        self._echo = None
        self._crlf = crlf
        apart = output is not None
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE,
                                     stdout=output if apart else subprocess.PIPE,
                                     stderr=subprocess.PIPE if apart else subprocess.STDOUT,
                                     env=env, bufsize=0)
        self._stream = self.proc.stderr if apart else self.proc.stdout
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        held = ""  # a "\r" at the end of a chunk, until the next shows whether "\n" follows
        while True:
            chunk = self._stream.read(4096)
            now = time.monotonic()
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
                self._arrivals.append((len(self.text), now))
                self._cond.notify_all()
            if self._echo:
                self._echo(self.name, piece)
        with self._cond:
            self._cond.notify_all()

    def echo_to(self, callback):
        self._echo = callback

    def send(self, line):
        """Writes a line; returns the time just before the write."""
        now = time.monotonic()
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        return now

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

    def wait_matches(self, regex, count, timeout, start=0):
        """End offset of the count-th match of `regex` after offset `start`."""
        found = [start, 0]  # where to search on, matches seen

        def enough():
            for match in regex.finditer(self.text, found[0]):
                found[0], found[1] = match.end(), found[1] + 1
                if found[1] == count:
                    return True
            return False

        if not self.wait_until(enough, timeout):
            raise TimeoutError(f"{self.name}: {count} matches of {regex.pattern!r} not seen "
                               f"within {timeout} s")
        return found[0]

    def arrival(self, offset):
        """When the output up to `offset` had arrived (monotonic seconds)."""
        with self._cond:
            for end, when in self._arrivals:
                if end >= offset:
                    return when
        return time.monotonic()

    def count(self, needle, start=0):
        with self._cond:
            return self.text.count(needle, start)

    def wait_exit(self, timeout):
        return wait_exit(self.proc, timeout)

    def close(self):
        """Closes our ends of the pipes once the program has ended and its output is read."""
        self._reader.join(5)
        for stream in (self.proc.stdin, self._stream):
            try:
                stream.close()
            except OSError:
                pass

    def sanitizer_report(self):
        with self._cond:
            return sanitizer_report(self.name, self.text)




def cpu_seconds(pid):
    """CPU time all threads of process `pid` have used, or None once it has ended."""
    try:
        with open(f"/proc/{pid}/stat", encoding="latin-1") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    if fields[0] in ("Z", "X"):
        return None
    # utime and stime: fields 14 and 15 of the line, counted from the pid.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_exit(proc, timeout):
    """Exit code of `proc`, or None on a hang (then killed)."""
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None


def run_seconds(pid):
    """Run time of all threads of process `pid` as the scheduler counts it, to the nanosecond:
    utime and stime count whole clock ticks, too coarse for an idle program over 30 s."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9


def wakeups(pid):
    """Voluntary context switches of all threads of process `pid`: how often it went to sleep."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as f:
            for line in f:
                if line.startswith("voluntary_ctxt_switches"):
                    total += int(line.split()[1])
    return total
