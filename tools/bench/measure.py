"""The measuring half of the bench: runs the demo programs over the virtual link at 9600 bit/s
and collects set-up and round-trip times, bulk throughput and its rhythm on the wire, idle CPU,
heap allocations and library sizes. tools/bench/report.py writes them up.
"""

import os
import signal
import statistics
import subprocess
import threading
import time

from irtools import frames
from irtools.console import Console, run_seconds, wakeups
from irtools.frames import DUMP_LINE, OK, PRIMARY_OPEN, SECONDARY_OPEN, XBOFS, wire_length

LINE_RATE = 9600
WIRE_BYTES_PER_S = LINE_RATE / 10  # 8N1: ten bits on the wire per byte
STEP_S = 0.050
WINDOW_BYTES = 32
PROTOCOL_BYTES_PER_S = WINDOW_BYTES / (2 * STEP_S)  # data frame and RR outlast one step
START_DELAY_STEPS = 20
SETUP_EXCHANGES = 8  # XID, SNRM, link check, IAS connect, query, disconnect, TinyTP, IrCOMM
BULK_BYTES = 2048
IDLE_S = 30.0
IDLE_PAIRS = 5
FROM_SECONDARY = 0x0004  # capture packet types: vlink's first end, then its second
FROM_PRIMARY = 0x0000


def pattern(length):
    """The text bench_primary sends: printable ASCII in a cycle."""
    return bytes(0x20 + i % 95 for i in range(length))


def is_data(content):
    """An I-frame with room for the LSAP, TinyTP and IrCOMM header bytes."""
    return len(content) >= 6 and not content[1] & 1


def wake_cost(build):
    """Microseconds of a core that one wake-up from a 50 ms sleep costs on this machine, and the
    same for a wake by a byte on a pseudo-terminal (tools/bench/wake_cost)."""
    program = os.path.join(build, "tools", "bench", "wake_cost")
    done = subprocess.run([program], capture_output=True, text=True, timeout=60, check=True)
    timer, byte = done.stdout.split()
    return {"timer": float(timer), "byte": float(byte)}


def stop(console, command):
    """Ends a program with its exit command, or kills it after 5 s."""
    if console.proc.poll() is None:
        try:
            console.send(command)
        except OSError:
            pass
    console.wait_exit(5)


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
        return Console(role, [program, port], env)

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
                open_at = pri.arrival(pri.wait_for(PRIMARY_OPEN, 30))
                setups.append(open_at - start)
                sec.wait_for(SECONDARY_OPEN, 10)
                for j in range(at_per_session):
                    # A varying pause puts the request at another point of the poll cycle.
                    time.sleep(0.25 + 0.05 * j)
                    mark = pri.mark()
                    sent = pri.send("1")
                    end = pri.wait_for("IrCOMM length:\t0:6", 10, mark)
                    answered = pri.arrival(end)
                    traced = frames.traced_frames(pri.text[mark:end])
                    if not any(rx and content.endswith(OK) for content, rx in traced):
                        raise RuntimeError("the answer frame does not hold \\r\\nOK\\r\\n")
                    round_trips.append(answered - sent)
                    sends.append((sent, answered))
            finally:
                if pri:
                    stop(pri, "99")
                stop(sec, "99")
                self.stop_link(link)
            parts.append(self.setup_parts(pcap, start, open_at, sends))
        return setups, round_trips, parts

    def setup_parts(self, pcap, start, open_at, sends):
        """Where the time of one set-up session went, from its capture (monotonic seconds)."""
        packets = [(when - self.wall_offset, ptype, content)
                   for when, ptype, content in frames.read_pcap(pcap)]
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
            pri.wait_for(PRIMARY_OPEN, 30)
            sec.wait_for(SECONDARY_OPEN, 10)
            for _ in range(repeats):
                time.sleep(0.5)
                mark = sec.mark()
                sent = pri.send(f"send {BULK_BYTES}")
                end = sec.wait_matches(DUMP_LINE, BULK_BYTES, 60, mark)
                done = sec.arrival(end)
                got = bytes(int(m.group(1)) for m in DUMP_LINE.finditer(sec.text, mark, end))
                if got != expected:
                    raise RuntimeError("bulk text arrived damaged")
                results.append((done - sent, sent, done))
        finally:
            if pri:
                stop(pri, "quit")
            stop(sec, "99")
            self.stop_link(link)
        return results, self.bulk_rhythm(pcap, results)

    def bulk_rhythm(self, pcap, results):
        """Timing of the frames on the wire during the bulk transfers."""
        packets = [(when - self.wall_offset, ptype, content)
                   for when, ptype, content in frames.read_pcap(pcap)]
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

    # Idle CPU over IDLE_S: each program alone, and IDLE_PAIRS pairs connected at once. A pair
    # keeps the phase its two tasks' steps fell into, and that phase sets how often the primary
    # polls (every step or every second one), so one pair would be a draw.
    def idle_cpu(self, out):
        links, consoles = [], []
        try:
            link, a, _ = self.start_link()
            links.append(link)
            lone_sec = self.start("secondary_demo", self.secondary, a)
            link, _, b = self.start_link()
            links.append(link)
            lone_pri = self.start("primary_demo", self.primary, b)
            pairs = []
            for _ in range(IDLE_PAIRS):
                link, a, b = self.start_link()
                links.append(link)
                pairs.append((self.start("secondary_demo", self.secondary, a),
                              self.start("primary_demo", self.primary, b)))
            consoles = [lone_sec, lone_pri] + [c for pair in pairs for c in pair]
            for sec, pri in pairs:
                pri.wait_for(PRIMARY_OPEN, 30)
                sec.wait_for(SECONDARY_OPEN, 10)
            time.sleep(1.0)
            marks = [c.mark() for c in consoles]
            before = [(run_seconds(c.proc.pid), wakeups(c.proc.pid)) for c in consoles]
            start = time.monotonic()
            # The yardstick runs inside the same window, so it sees the same host.
            cost = {}
            yardstick = threading.Thread(target=lambda: cost.update(wake_cost(self.build)))
            yardstick.start()
            time.sleep(IDLE_S)
            yardstick.join()
            after = [(run_seconds(c.proc.pid), wakeups(c.proc.pid)) for c in consoles]
            elapsed = time.monotonic() - start
            ends = [c.mark() for c in consoles]
            figures = [(100.0 * (a[0] - b[0]) / elapsed, (a[1] - b[1]) / elapsed)
                       for b, a in zip(before, after)]
            out["secondary_demo unconnected"] = [figures[0] + (0.0,)]
            out["primary_demo unconnected"] = [figures[1] + (0.0,)]
            for i, (sec, pri) in enumerate(pairs):
                connected_at = pri.text.find(PRIMARY_OPEN)
                if pri.text.find("secondary_demo state:", connected_at + 1) >= 0:
                    raise RuntimeError("a connected pair lost its link while idle")
                # The primary's polls, as the secondary took them.
                k = 2 + 2 * i
                polls = sum(1 for _, rx in frames.traced_frames(sec.text[marks[k]:ends[k]])
                            if rx) / elapsed
                out.setdefault("secondary_demo connected", []).append(figures[k] + (polls,))
                out.setdefault("primary_demo connected", []).append(figures[k + 1] + (polls,))
            if cost:
                out["wake cost"] = (cost["timer"], cost["byte"])
        except Exception as error:  # reported in the table instead of aborting the others
            out["error"] = str(error)
        finally:
            for c in consoles:
                stop(c, "99")
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
