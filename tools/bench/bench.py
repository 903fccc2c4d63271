#!/usr/bin/env python3
"""Benchmarks of the two demo programs over the virtual infrared link at 9600 bit/s.

Run through tools/run-bench, which builds the programs first. Prints a table and writes it to
docs/performance.md. Every program runs with the allocation counter preloaded.
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import demo_session  # noqa: E402

LINE_RATE = 9600
WIRE_BYTES_PER_S = LINE_RATE / 10  # 8N1: ten bits on the wire per byte
STEP_S = 0.050
WINDOW_BYTES = 32
PROTOCOL_BYTES_PER_S = WINDOW_BYTES / (2 * STEP_S)  # data frame and RR outlast one step
START_DELAY_STEPS = 20
SETUP_EXCHANGES = 8  # XID, SNRM, link check, IAS connect, query, disconnect, TinyTP, IrCOMM
XBOFS = 10
BULK_BYTES = 2048
IDLE_S = 30.0
STATE9 = "secondary_demo state:\t9"
SECONDARY_OPEN = "secondary_demo state:\t5"
OK = b"\r\nOK\r\n"
FROM_SECONDARY = 0x0004  # capture packet types: vlink's first end, then its second
FROM_PRIMARY = 0x0000
DUMP_LINE = re.compile(r"\n\t\t(\d{3})\t0x([0-9A-F]{2})")
CLK_TCK = os.sysconf("SC_CLK_TCK")


def pattern(length):
    """The text bench_primary sends: printable ASCII in a cycle."""
    return bytes(0x20 + i % 95 for i in range(length))


def fcs16(data):
    fcs = 0xFFFF
    for byte in data:
        fcs ^= byte
        for _ in range(8):
            fcs = (fcs >> 1) ^ 0x8408 if fcs & 1 else fcs >> 1
    return fcs ^ 0xFFFF


def wire_length(content):
    """Bytes a frame takes on the wire: XBOFs, BOF, escaped content and FCS, EOF."""
    fcs = fcs16(content)
    body = bytes(content) + bytes((fcs & 0xFF, fcs >> 8))
    escapes = sum(1 for b in body if b in (0x7D, 0xC0, 0xC1))
    return XBOFS + 1 + len(body) + escapes + 1


def is_data(content):
    """An I-frame with room for the LSAP, TinyTP and IrCOMM header bytes."""
    return len(content) >= 6 and not content[1] & 1


class TimedConsole:
    """A program's console whose output is kept with the time each piece arrived."""

    def __init__(self, name, argv, env):
        self.name = name
        self.text = ""
        self._arrivals = []  # (end offset, monotonic seconds)
        self._cond = threading.Condition()
        self.started = time.monotonic()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env, bufsize=0)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read(4096)
            now = time.monotonic()
            if not chunk:
                break
            with self._cond:
                self.text += chunk.decode("latin-1")
                self._arrivals.append((len(self.text), now))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def _arrival(self, offset):
        for end, when in self._arrivals:
            if end >= offset:
                return when
        return time.monotonic()

    def send(self, line):
        """Writes a line; returns the time just before the write."""
        now = time.monotonic()
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        return now

    def mark(self):
        with self._cond:
            return len(self.text)

    def wait_for(self, needle, timeout, start=0):
        """(end offset, arrival time) of `needle` after `start`."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                pos = self.text.find(needle, start)
                if pos >= 0:
                    end = pos + len(needle)
                    return end, self._arrival(end)
                self._wait(deadline, needle)

    def wait_matches(self, regex, count, timeout, start=0):
        """(end offset, arrival time) of the count-th match of `regex` after `start`."""
        deadline = time.monotonic() + timeout
        seen, pos = 0, start
        with self._cond:
            while True:
                for match in regex.finditer(self.text, pos):
                    seen += 1
                    pos = match.end()
                    if seen == count:
                        return pos, self._arrival(pos)
                self._wait(deadline, f"{count} matches of {regex.pattern!r}")

    def _wait(self, deadline, what):
        left = deadline - time.monotonic()
        if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
            raise TimeoutError(f"{self.name}: {what!r} not seen in time")
        self._cond.wait(min(left, 0.5))

    def cpu_ticks(self):
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime, stime

    def wakeups(self):
        """Voluntary context switches of all its threads: how often it went to sleep."""
        total = 0
        for task in os.listdir(f"/proc/{self.proc.pid}/task"):
            with open(f"/proc/{self.proc.pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        total += int(line.split()[1])
        return total

    def stop(self, command):
        if self.proc.poll() is None:
            try:
                self.send(command)
            except OSError:
                pass
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Bench:
    def __init__(self, build, workdir):
        self.build = build
        self.dir = workdir
        self.vlink = os.path.join(build, "tools", "vlink", "vlink")
        self.primary = os.path.join(build, "apps", "primary_demo_a")
        self.secondary = os.path.join(build, "apps", "secondary_demo_a")
        self.bench_primary = os.path.join(build, "tools", "bench", "bench_primary")
        self.preload = os.path.join(build, "tools", "bench", "libbench_alloc_count.so")
        self._serial = 0
        # vlink stamps its capture with the wall clock; the bench times on the monotonic one.
        self.wall_offset = time.time() - time.monotonic()
        self._lock = threading.Lock()

    def _next(self):
        with self._lock:
            self._serial += 1
            return self._serial

    def start_link(self, pcap=None):
        n = self._next()
        path_a = os.path.join(self.dir, f"ir{n}-a")
        path_b = os.path.join(self.dir, f"ir{n}-b")
        argv = [self.vlink, "--a", path_a, "--b", path_b]
        if pcap:
            argv += ["--pcap", pcap]
        proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
        line = proc.stderr.readline()
        if "ready" not in line:
            raise RuntimeError(f"vlink did not start: {line!r}")
        threading.Thread(target=proc.stderr.read, daemon=True).start()
        return proc, path_a, path_b

    def start(self, role, program, port, marker="Demo v"):
        report = os.path.join(self.dir, f"alloc-{role}-{self._next()}.txt")
        env = dict(os.environ, LD_PRELOAD=self.preload, BENCH_ALLOC_REPORT=report,
                   BENCH_ALLOC_AFTER=marker)
        return TimedConsole(role, [program, port], env)

    @staticmethod
    def stop_link(proc):
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()

    # Connection set-up and AT round trips, one fresh link and pair of programs per repetition.
    def setup_and_at(self, repeats, at_per_session):
        setups, round_trips, parts = [], [], []
        for i in range(repeats):
            pcap = os.path.join(self.dir, f"setup{i}.pcap")
            link, path_a, path_b = self.start_link(pcap)
            sec = self.start("secondary_demo", self.secondary, path_a)
            pri = None
            sends = []
            try:
                sec.wait_for("Secondary Demo v007", 10)
                start = time.monotonic()
                pri = self.start("primary_demo", self.primary, path_b)
                _, open_at = pri.wait_for(STATE9, 30)
                setups.append(open_at - start)
                sec.wait_for(SECONDARY_OPEN, 10)
                for j in range(at_per_session):
                    # A varying pause puts the request at another point of the poll cycle.
                    time.sleep(0.25 + 0.05 * j)
                    mark = pri.mark()
                    sent = pri.send("1")
                    end, answered = pri.wait_for("IrCOMM length:\t0:6", 10, mark)
                    frames = demo_session.traced_frames(pri.text[mark:end])
                    if not any(rx and content.endswith(OK) for content, rx in frames):
                        raise RuntimeError("the answer frame does not hold \\r\\nOK\\r\\n")
                    round_trips.append(answered - sent)
                    sends.append((sent, answered))
            finally:
                if pri:
                    pri.stop("99")
                sec.stop("99")
                self.stop_link(link)
            parts.append(self.setup_parts(pcap, start, open_at, sends))
        return setups, round_trips, parts

    def setup_parts(self, pcap, start, open_at, sends):
        """Where the time of one set-up session went, from its capture (monotonic seconds)."""
        packets = [(when - self.wall_offset, ptype, content)
                   for when, ptype, content in demo_session.read_pcap(pcap)]
        wire, opened = 0, None
        for when, ptype, content in packets:
            wire += wire_length(content)
            if ptype == FROM_SECONDARY and is_data(content) and content[4] == 0x01:
                opened = when  # the answer to the parameters: the primary opens the channel
                break
        first = packets[0][0]
        parts = {"wire": wire, "first": first - start, "exchanges": opened - first,
                 "open": open_at - opened, "queued": [], "exchange2": [], "seen": []}
        for sent, answered in sends:
            data = [w for w, t, c in packets if t == FROM_PRIMARY and w > sent and
                    is_data(c) and c.endswith(b"AT\r")]
            okay = [w for w, t, c in packets if t == FROM_SECONDARY and w > sent and
                    is_data(c) and c.endswith(OK)]
            if data and okay:
                parts["queued"].append(data[0] - sent)
                parts["exchange2"].append(okay[0] - data[0])
                parts["seen"].append(answered - okay[0])
        return parts

    # Bulk text: bench_primary sends 2 KiB; timed until the secondary has dumped every byte.
    def bulk(self, repeats):
        pcap = os.path.join(self.dir, "bulk.pcap")
        link, path_a, path_b = self.start_link(pcap)
        sec = self.start("secondary_demo", self.secondary, path_a)
        pri = None
        results = []
        expected = pattern(BULK_BYTES)
        try:
            sec.wait_for("Secondary Demo v007", 10)
            pri = self.start("bench_primary", self.bench_primary, path_b, "bench_primary ready")
            pri.wait_for(STATE9, 30)
            sec.wait_for(SECONDARY_OPEN, 10)
            for _ in range(repeats):
                time.sleep(0.5)
                mark = sec.mark()
                sent = pri.send(f"send {BULK_BYTES}")
                end, done = sec.wait_matches(DUMP_LINE, BULK_BYTES, 60, mark)
                got = bytes(int(m.group(1)) for m in DUMP_LINE.finditer(sec.text, mark, end))
                if got != expected:
                    raise RuntimeError("bulk text arrived damaged")
                results.append((done - sent, sent, done))
        finally:
            if pri:
                pri.stop("quit")
            sec.stop("99")
            self.stop_link(link)
        return results, self.bulk_rhythm(pcap, results)

    def bulk_rhythm(self, pcap, results):
        """Timing of the frames on the wire during the bulk transfers."""
        packets = [(when - self.wall_offset, ptype, content)
                   for when, ptype, content in demo_session.read_pcap(pcap)]
        first, last = results[0][1], results[-1][2]
        data_frames, to_answer, to_next, wire, payload, escapes = [], [], [], 0, 0, 0
        last_data = None
        for when, ptype, content in packets:
            if not first <= when <= last:
                continue
            wire += wire_length(content)
            from_primary = ptype == FROM_PRIMARY
            if from_primary and is_data(content) and len(content) > 6 + content[5]:
                data_frames.append(when)
                payload += len(content) - 6 - content[5]
                escapes += wire_length(content) - (XBOFS + len(content) + 4)
                last_data = when
            elif not from_primary and last_data is not None:
                to_answer.append(when - last_data)
                answered = when
                last_data = None
                nxt = [t for t, p, c in packets if p == FROM_PRIMARY and t > answered]
                if nxt:
                    to_next.append(nxt[0] - answered)
        gaps = [b - a for a, b in zip(data_frames, data_frames[1:]) if b - a < 1.0]
        return {
            "frames": len(data_frames),
            "payload": payload,
            "wire": wire,
            "escapes": escapes,
            "cycle": statistics.median(gaps) if gaps else None,
            "answer": statistics.median(to_answer) if to_answer else None,
            "next": statistics.median(to_next) if to_next else None,
        }

    # Idle CPU over IDLE_S: each program alone and both connected.
    def idle_cpu(self, out):
        links, consoles = [], []
        try:
            link1, a1, _ = self.start_link()
            link2, _, b2 = self.start_link()
            link3, a3, b3 = self.start_link()
            links = [link1, link2, link3]
            lone_sec = self.start("secondary_demo", self.secondary, a1)
            lone_pri = self.start("primary_demo", self.primary, b2)
            pair_sec = self.start("secondary_demo", self.secondary, a3)
            pair_pri = self.start("primary_demo", self.primary, b3)
            consoles = [lone_sec, lone_pri, pair_sec, pair_pri]
            pair_pri.wait_for(STATE9, 30)
            pair_sec.wait_for(SECONDARY_OPEN, 10)
            time.sleep(1.0)
            before = [(c.cpu_ticks(), c.wakeups()) for c in consoles]
            start = time.monotonic()
            time.sleep(IDLE_S)
            after = [(c.cpu_ticks(), c.wakeups()) for c in consoles]
            elapsed = time.monotonic() - start
            connected_at = pair_pri.text.find(STATE9)
            if pair_pri.text.find("secondary_demo state:", connected_at + 1) >= 0:
                raise RuntimeError("the connected pair lost its link while idle")
            names = ["secondary_demo unconnected", "primary_demo unconnected",
                     "secondary_demo connected", "primary_demo connected"]
            for name, b, a in zip(names, before, after):
                out[name] = (100.0 * (a[0] - b[0]) / CLK_TCK / elapsed, (a[1] - b[1]) / elapsed)
        except Exception as error:  # reported in the table instead of aborting the others
            out["error"] = str(error)
        finally:
            for c, command in zip(consoles, ["99", "99", "99", "99"]):
                c.stop(command)
            for link in links:
                self.stop_link(link)

    def allocations(self):
        """Per program: runs, allocations before and after the banner, and the call sites after."""
        programs = {}
        for name in sorted(os.listdir(self.dir)):
            if not name.startswith("alloc-"):
                continue
            role = name[len("alloc-"):].rsplit("-", 1)[0]
            entry = programs.setdefault(role, {"runs": 0, "unarmed": 0, "before": 0, "after": 0,
                                               "sites": {}})
            entry["runs"] += 1
            with open(os.path.join(self.dir, name)) as f:
                for line in f:
                    words = line.split()
                    if words[0] == "armed":
                        entry["unarmed"] += words[1] == "0"
                    elif words[0] == "site":
                        site = f"{words[1]} {words[2]} B in {os.path.basename(words[3])} {words[4]}"
                        entry["sites"][site] = entry["sites"].get(site, 0) + 1
                    else:
                        entry["before"] += int(words[1])
                        entry["after"] += int(words[2])
        return programs

    def sizes(self):
        """text, data, bss of each protocol-core library, summed over its objects."""
        result = {}
        for lib in ("stack/libirstack.a", "primary/libirprimary.a",
                    "secondary/libirsecondary.a"):
            out = subprocess.run(["size", "-t", os.path.join(self.build, lib)], check=True,
                                 capture_output=True, text=True).stdout
            total = [line for line in out.splitlines() if "(TOTALS)" in line][0].split()
            result[os.path.dirname(lib) + "/"] = tuple(int(x) for x in total[:3])
        return result


def spread(values, scale=1.0, digits=0):
    ordered = sorted(values)
    return [f"{v * scale:.{digits}f}" for v in (ordered[0], statistics.median(ordered),
                                                  ordered[-1])]


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    compiler = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout
    return model, os.cpu_count(), platform.release(), compiler.splitlines()[0]


def render(r):
    model, cores, kernel, compiler = machine()
    setups, trips, bulk, rhythm = r["setups"], r["trips"], r["bulk"], r["rhythm"]
    rates = [BULK_BYTES / d for d, _, _ in bulk]
    parts = r["parts"]
    setup_wire = statistics.median(p["wire"] for p in parts)
    first_frame = statistics.median(p["first"] for p in parts)
    exchanges = statistics.median(p["exchanges"] for p in parts)
    opening = statistics.median(p["open"] for p in parts)
    queued = statistics.median(q for p in parts for q in p["queued"])
    exchange2 = statistics.median(q for p in parts for q in p["exchange2"])
    seen = statistics.median(q for p in parts for q in p["seen"])
    # Each exchange takes a step at least, and all of them the wire time of their frames.
    setup_protocol = START_DELAY_STEPS * STEP_S + max(SETUP_EXCHANGES * STEP_S,
                                                      setup_wire / WIRE_BYTES_PER_S)
    at_protocol = 2 * STEP_S  # two exchanges, each answered within the step after it
    at_wire = sum(wire_length(c) for c in (
        bytes([0x00, 0x10, 0x04, 0x02, 0x01, 0x00]) + b"AT\r",
        bytes([0x00, 0x11]), bytes([0x01, 0x11]),
        bytes([0x00, 0x30, 0x02, 0x04, 0x01, 0x00]) + OK))
    frame_payload = WINDOW_BYTES - 1
    data_wire = wire_length(bytes(6) + pattern(frame_payload))
    rr_wire = wire_length(bytes(2))
    framed_rate = frame_payload / ((data_wire + rr_wire) / WIRE_BYTES_PER_S)
    med_setup = statistics.median(setups)
    med_trip = statistics.median(trips)
    med_rate = statistics.median(rates)

    rows = [
        ("Connection set-up, primary_demo start to state 9 (s)", spread(setups, 1, 2),
         f"{setup_wire / WIRE_BYTES_PER_S:.2f} s ({setup_wire:.0f} B on the wire)",
         f"{setup_protocol:.2f} s (20 steps + 8 exchanges, none under a step)"),
        ("AT round trip, code 1 to \"\\r\\nOK\\r\\n\" queued (ms)", spread(trips, 1000),
         f"{at_wire / WIRE_BYTES_PER_S * 1000:.0f} ms ({at_wire} B on the wire)",
         f"{at_protocol * 1000:.0f} ms (2 exchanges x 1 step)"),
        (f"Bulk text, {BULK_BYTES} B to the secondary (B/s)", spread(rates, 1, 0),
         f"{WIRE_BYTES_PER_S:.0f} B/s raw, {framed_rate:.0f} B/s framed",
         f"{PROTOCOL_BYTES_PER_S:.0f} B/s (32 B per 2 steps: frame and RR outlast one)"),
    ]
    lines = ["| Figure | min | median | max | Physical limit (9600 bit/s 8N1) | Protocol bound |",
             "|---|---:|---:|---:|---|---|"]
    for name, (lo, med, hi), phys, proto in rows:
        lines.append(f"| {name} | {lo} | {med} | {hi} | {phys} | {proto} |")
    cpu = r["cpu"]
    cpu_lines = ["| Program | CPU over 30 s idle (% of one core) | wake-ups per second |",
                 "|---|---:|---:|"]
    if "error" in cpu:
        cpu_lines.append(f"| (not measured: {cpu['error']}) | | |")
    for name in ("primary_demo unconnected", "primary_demo connected",
                 "secondary_demo unconnected", "secondary_demo connected"):
        if name in cpu:
            cpu_lines.append(f"| {name} | {cpu[name][0]:.2f} | {cpu[name][1]:.0f} |")
    alloc_lines = ["| Program | runs | allocations before the banner | after the banner |",
                   "|---|---:|---:|---:|"]
    site_lines = []
    for role, e in sorted(r["alloc"].items()):
        unarmed = f" ({e['unarmed']} runs never printed the banner)" if e["unarmed"] else ""
        alloc_lines.append(f"| {role} | {e['runs']}{unarmed} | {e['before']} | {e['after']} |")
        for site, n in sorted(e["sites"].items()):
            site_lines.append(f"- {role}: {site} ({n} of {e['runs']} runs)")
    size_lines = ["| Library | code (text) | static data (data) | zeroed data (bss) |",
                  "|---|---:|---:|---:|"]
    totals = [0, 0, 0]
    for lib, (text, data, bss) in r["sizes"].items():
        size_lines.append(f"| `{lib}` | {text} | {data} | {bss} |")
        totals = [t + v for t, v in zip(totals, (text, data, bss))]
    size_lines.append(f"| total | {totals[0]} | {totals[1]} | {totals[2]} |")

    cycle = rhythm["cycle"]
    notes = []
    if med_setup > setup_protocol * 1.1:
        notes.append(
            f"- Set-up, {med_setup:.2f} s against {setup_protocol:.2f} s. The first frame (the "
            f"discovery XID) goes out {first_frame:.2f} s after the launch: the primary opens "
            "the port, resets the transceiver through its line delays and waits its 20 start "
            f"steps. The 8 exchanges up to the secondary's IrCOMM parameters then take "
            f"{exchanges:.2f} s, {exchanges / SETUP_EXCHANGES * 1000:.0f} ms or "
            f"{exchanges / SETUP_EXCHANGES / STEP_S:.1f} steps each: the primary reads an "
            "answer at its first step that finds it begun, which is the step after the command "
            "only when the secondary's step that sees the command comes early enough and both "
            "frames fit into 50 ms (the XID, the SNRM and the IAS query with their answers do "
            f"not). Opening the channel and printing state 9 takes another "
            f"{opening * 1000:.0f} ms.")
    if med_trip > at_protocol * 1.1:
        notes.append(
            f"- AT round trip, {med_trip * 1000:.0f} ms against {at_protocol * 1000:.0f} ms. "
            "The text waits in the transmit queue until the primary accepts the next answer to "
            "its polls (one data frame per accepted answer): the data frame with \"AT\\r\" ended "
            f"{queued * 1000:.0f} ms after the code was handed over (median), which includes "
            f"its {wire_length(bytes(6) + b'AT' + bytes(1))} bytes of wire time. From there to "
            f"the end of the secondary's frame with \"\\r\\nOK\\r\\n\" took "
            f"{exchange2 * 1000:.0f} ms: the secondary answers the data frame with an RR, the "
            "primary polls again from the step that reads it, and the secondary sends the "
            "answer from its step that sees the poll. The primary then printed the answer "
            f"{seen * 1000:.0f} ms after the frame had ended. (The three parts are medians of "
            "their own and need not add up.)")
    if med_rate < PROTOCOL_BYTES_PER_S * 0.9:
        detail = ""
        if cycle:
            detail = (
                f" On the wire one data frame left the primary every {cycle * 1000:.0f} ms "
                f"(median, {cycle / STEP_S:.1f} steps); the secondary's RR ended "
                f"{rhythm['answer'] * 1000:.0f} ms after the data frame, and the primary's next "
                f"data frame ended {rhythm['next'] * 1000:.0f} ms after that RR, of which "
                f"{data_wire / WIRE_BYTES_PER_S * 1000:.0f} ms are its own wire time. The "
                f"transfers put {rhythm['payload']} payload bytes into {rhythm['frames']} data "
                f"frames with {rhythm['escapes']} SIR escapes, and {rhythm['wire']} bytes on "
                "the wire in both directions.")
        notes.append(
            f"- Bulk text, {med_rate:.0f} B/s against {PROTOCOL_BYTES_PER_S:.0f} B/s. The window "
            "is one frame, and the 32-slot transmit queue holds 31 bytes, so a data frame "
            f"carries at most {frame_payload} bytes, wrapped in {data_wire - frame_payload} more "
            "on the wire (10 XBOFs, BOF, 6 header bytes, 2 FCS bytes, EOF, and one SIR escape "
            f"for every 95 bytes of this text), and each is answered by a {rr_wire}-byte RR. "
            f"That stop-and-wait framing alone limits the link to {framed_rate:.0f} B/s. The "
            "primary sends the next frame only from the step that reads an accepted answer, "
            "and the data frame and its RR take longer on the wire than one step, so a cycle "
            "spans two steps at least." + detail)

    now = datetime.datetime.now(datetime.timezone.utc)
    text = "\n".join([
        "# Performance",
        "",
        "Measured by `tools/run-bench` over the virtual infrared link (`vlink`) paced at "
        f"{LINE_RATE} bit/s 8N1, with the variant A builds of both programs "
        "(RelWithDebInfo, g++).",
        "",
        f"- Machine: {model}, {cores} cores, Linux {kernel}",
        f"- Compiler: {compiler}",
        f"- Date: {now:%Y-%m-%d %H:%M} UTC",
        f"- Repetitions: set-up {len(setups)}, AT round trip {len(trips)}, "
        f"bulk text {len(bulk)}",
        "",
        "## Timings",
        "",
        "Physical limit: the frames the figure needs, back to back at 960 bytes/s on the wire. "
        "Protocol bound: one-frame windows of 32 bytes and the 50 ms engine step, one frame "
        "read per step.",
        "",
        *lines,
        "",
        "Why figures fall short of their bound by more than 10 %:",
        "",
        *(notes or ["- None do."]),
        "",
        "## Idle CPU",
        "",
        "Each program alone on its end of a link (unconnected: the primary keeps discovering, "
        "the secondary keeps listening) and both programs connected with nothing to send, "
        "from utime + stime in /proc/<pid>/stat over 30 s "
        f"(resolution {100 / CLK_TCK / IDLE_S:.2f} %), "
        "with the voluntary context switches of all threads as wake-ups. Bound: 0.2 % of a "
        "core and 60 wake-ups a second. What sets them: each program's task sleeps 50 ms per "
        "step, and every wait for a byte blocks in the port; the secondary's receive thread "
        "wakes when a frame begins and lets its bytes gather in the port, so it wakes twice "
        "for a short frame. Connected, the primary's poll is answered within the step after "
        "it, so it polls about 20 times a second (a step that sees the answer is followed at "
        "once by the read, which sends the next poll), and both programs write every frame "
        "byte by byte and print its trace lines: most of their CPU.",
        "",
        *cpu_lines,
        "",
        "## Heap allocations",
        "",
        "Counted by a preloaded interposer (`tools/bench/alloc_count.cpp`) over malloc, calloc, "
        "realloc, the aligned allocators and operator new, across every run of the bench "
        "(set-up, AT, bulk and idle sessions). Counting starts when the program prints its "
        "banner and ends at exit. Bound: zero after the banner.",
        "",
        *alloc_lines,
        "",
        *(["Allocations after the banner, by size and caller:", "", *site_lines, "",
           "Where the caller is the C library's `_IO_file_doallocate`, it is the buffer of "
           "standard input, which the C library allocates at the program's first console read, "
           "after the banner, unless the program gives it a static buffer first (the demo programs "
           "do, through hostKeepConsoleStreams).", ""]
          if site_lines else []),
        "## Size of the protocol core",
        "",
        "`size` over the objects of each library (RelWithDebInfo, g++, x86-64), in bytes; code "
        "includes the constant tables (read-only data). `stack/` includes the console and the "
        "frame trace.",
        "",
        *size_lines,
        "",
        "## Faults",
        "",
        "_To be filled in._",
        "",
    ])
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory with the programs")
    parser.add_argument("--output", help="markdown file to write (default: print only)")
    parser.add_argument("--setups", type=int, default=8)
    parser.add_argument("--at-per-setup", type=int, default=4)
    parser.add_argument("--bulk", type=int, default=5)
    parser.add_argument("--no-idle", action="store_true", help="skip the idle CPU measurement")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()

    workdir = tempfile.mkdtemp(prefix="irbench-")
    bench = Bench(os.path.abspath(args.build), workdir)
    results = {"cpu": {}}
    began = time.monotonic()
    idle = threading.Thread(target=bench.idle_cpu, args=(results["cpu"],))
    if args.no_idle:
        idle = threading.Thread(target=lambda: None)
    idle.start()
    try:
        print("connection set-up and AT round trips ...", flush=True)
        results["setups"], results["trips"], results["parts"] = bench.setup_and_at(
            args.setups, args.at_per_setup)
        print("bulk text ...", flush=True)
        results["bulk"], results["rhythm"] = bench.bulk(args.bulk)
        print("idle CPU ...", flush=True)
        idle.join()
        results["alloc"] = bench.allocations()
        results["sizes"] = bench.sizes()
    finally:
        idle.join()
        if args.keep:
            print(f"work folder: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    text = render(results)
    print(text)
    print(f"(bench took {time.monotonic() - began:.0f} s)")
    if args.output:
        text = keep_faults_section(args.output, text)
        with open(args.output, "w") as f:
            f.write(text)


def keep_faults_section(path, text):
    """The faults figures come from tools/fault-report; a new bench run keeps them."""
    try:
        with open(path) as f:
            old = f.read()
    except OSError:
        return text
    marker = "## Faults"
    if marker not in old or marker not in text:
        return text
    return text[:text.index(marker)] + old[old.index(marker):]


if __name__ == "__main__":
    main()
