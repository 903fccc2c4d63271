#!/usr/bin/env python3
"""Throughput through the pty programs: random bytes written to one pseudo-terminal, timed until
the last arrives at the other, each direction alone and both at once.

bench.py runs it as part of tools/run-bench; on its own it measures and puts its section into the
markdown file given: pty_throughput.py BUILD [docs/performance.md].
"""

import os
import random
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import tty

REPEATS = 3
SECTION = "## Through the pseudo-terminal"
NEXT_SECTION = "## Faults"
# Variant, speed cap, bytes per transfer.
CONFIGS = [("a", 9600, 4096), ("a", 115200, 65536), ("b", 115200, 65536)]
# Bit-error rates of the noisy runs (variant A at 115200, vlink seed 5), each with the least
# median B/s each direction alone must reach.
NOISE = ["1e-5", "1e-4"]
NOISE_TARGETS = {"1e-5": 9500, "1e-4": 6000}
NOISE_SIZE = 65536
AT_TRIPS = 20

# The least median B/s each configuration must reach, one way and each way at once (None: no
# target set).
TARGETS = {9600: (880, None), 115200: (10500, 5000)}


def bounds(speed):
    """The targets one way and each way at once at `speed`."""
    return TARGETS[speed]


def start_link(vlink, workdir, *args):
    a, b = os.path.join(workdir, "pty-a"), os.path.join(workdir, "pty-b")
    proc = subprocess.Popen([vlink, "--a", a, "--b", b, *args], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    if "ready" not in proc.stderr.readline():
        raise RuntimeError("vlink did not start")
    return proc, a, b


def start_pty(program, port, *args):
    proc = subprocess.Popen([program, *args, port], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    path = proc.stdout.readline().split(": ", 1)[1].strip()
    return proc, path


def wait_open(proc, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = proc.stderr.readline()
        if "channel open" in line:
            return
        if not line:
            break
    raise RuntimeError("the channel did not open")


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    return fd


def transfer(flows, timeout=120):
    """flows: (writer fd, reader fd, bytes). Seconds until each flow's last byte arrived."""
    start = time.monotonic()
    sent = [0] * len(flows)
    got = [b""] * len(flows)
    done = [None] * len(flows)
    while None in done:
        if time.monotonic() - start > timeout:
            raise RuntimeError("transfer did not finish")
        readers = [f[1] for i, f in enumerate(flows) if done[i] is None]
        writers = [f[0] for i, f in enumerate(flows) if sent[i] < len(f[2])]
        readable, writable, _ = select.select(readers, writers, [], 0.5)
        for i, (w, r, data) in enumerate(flows):
            if w in writable and sent[i] < len(data):
                sent[i] += os.write(w, data[sent[i]:sent[i] + 256])
            if r in readable and done[i] is None:
                got[i] += os.read(r, 4096)
                if len(got[i]) >= len(data):
                    done[i] = time.monotonic() - start
                    if got[i] != data:
                        raise RuntimeError("bytes arrived damaged")
    return done


def measure_config(build, variant, cap, size, *link_args):
    """Rates in B/s, the set-up time in s and the channel drops of one pair of programs."""
    apps = os.path.join(build, "apps")
    workdir = tempfile.mkdtemp(prefix="ptybench-")
    link, a, b = start_link(os.path.join(build, "tools", "vlink", "vlink"), workdir, *link_args)
    procs = []
    rates = {"up": [], "down": [], "both_up": [], "both_down": [], "setup": [], "drops": 0}
    try:
        speed = ["--max-speed", str(cap)]
        secondary, device = start_pty(os.path.join(apps, f"secondary_pty_{variant}"), a, *speed)
        procs.append(secondary)
        began = time.monotonic()
        primary, computer = start_pty(os.path.join(apps, f"primary_pty_{variant}"), b, *speed)
        procs.append(primary)
        wait_open(primary)
        rates["setup"].append(time.monotonic() - began)
        wait_open(secondary)
        c, d = open_raw(computer), open_raw(device)
        rng = random.Random(1)
        for _ in range(REPEATS):
            up, down = rng.randbytes(size), rng.randbytes(size)
            rates["up"].append(size / transfer([(c, d, up)])[0])
            rates["down"].append(size / transfer([(d, c, down)])[0])
            both = transfer([(c, d, up), (d, c, down)])
            rates["both_up"].append(size / both[0])
            rates["both_down"].append(size / both[1])
        os.close(c)
        os.close(d)
    finally:
        for proc in procs + [link]:
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)
        rates["drops"] = sum(proc.stderr.read().count("channel lost") for proc in procs)
    return rates


def measure_at(build):
    """AT round trips through primary_pty_a to secondary_demo_a (9600 bit/s), in ms."""
    workdir = tempfile.mkdtemp(prefix="ptybench-")
    link, a, b = start_link(os.path.join(build, "tools", "vlink", "vlink"), workdir)
    demo = subprocess.Popen([os.path.join(build, "apps", "secondary_demo_a"), a],
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    primary, computer = start_pty(os.path.join(build, "apps", "primary_pty_a"), b)
    trips = []
    pauses = random.Random(2)
    try:
        wait_open(primary)
        c = open_raw(computer)
        for _ in range(AT_TRIPS):
            began = time.monotonic()
            os.write(c, b"AT\r")
            got = b""
            while not got.endswith(b"\r\nOK\r\n"):
                if time.monotonic() - began > 10:
                    raise RuntimeError("no answer to AT")
                if select.select([c], [], [], 0.5)[0]:
                    got += os.read(c, 64)
            trips.append((time.monotonic() - began) * 1000)
            # An idle primary polls every 100 ms; a fixed pause would meet it at one phase only.
            time.sleep(pauses.uniform(0.3, 0.4))
        os.close(c)
    finally:
        for proc in (primary, demo, link):
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)
    return trips


def measure(build):
    """Per configuration (variant, cap, size) its rates; "at": AT round trips in ms."""
    results = {config: measure_config(build, *config) for config in CONFIGS}
    results["at"] = measure_at(build)
    for ber in NOISE:
        results[ber] = measure_config(build, "a", 115200, NOISE_SIZE, "--ber", ber, "--seed", "5")
    return results


def render(results, _unused=None):
    def figures(values, digits=0):
        return (f"{min(values):.{digits}f} | {statistics.median(values):.{digits}f} | "
                f"{max(values):.{digits}f}")
    lines = [
        SECTION,
        "",
        "`primary_pty` and `secondary_pty` of one variant on the two ends of the link, the speed "
        "capped with `--max-speed`; random bytes written to one pseudo-terminal and timed from "
        "the first write until the last byte has been read at the other "
        f"({REPEATS} runs each, B/s). Both at once: each direction's own figure. Target: the "
        "least median the windows of up to 7 frames and fields up to 2048 bytes must reach "
        "(the raw line carries 960 B/s at 9600 bit/s and 11520 B/s at 115200). "
        "Set-up: from the start of `primary_pty` to its \"channel open\".",
        "",
        "| Variant, speed, bytes | Direction | min | median | max | Target |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for (variant, cap, size) in CONFIGS:
        rates = results[(variant, cap, size)]
        one, both = (f"{t}" if t else "–" for t in bounds(cap))
        name = f"{variant}, {cap}, {size}"
        lines += [
            f"| {name} | computer to device alone | {figures(rates['up'])} | {one} |",
            f"| {name} | device to computer alone | {figures(rates['down'])} | {one} |",
            f"| {name} | both at once: computer to device | {figures(rates['both_up'])} | "
            f"{both} |",
            f"| {name} | both at once: device to computer | {figures(rates['both_down'])} | "
            f"{both} |",
            f"| {name} | set-up to channel open (s) | {figures(rates['setup'], 2)} | "
            f"{'0.8' if cap == 115200 else '–'} |",
        ]
    lines += [
        "",
        f"AT round trip, \"AT\\r\" written to `primary_pty_a` until \"\\r\\nOK\\r\\n\" is read "
        f"back from `secondary_demo_a` (9600 bit/s, the demo's fixed list; {AT_TRIPS} trips, ms): "
        f"{figures(results['at'])} (min, median, max).",
        "",
        "With bit errors in both directions (variant A at 115200 bit/s, `vlink --ber B --seed 5`, "
        f"{NOISE_SIZE} bytes per transfer; every one arrived byte-exact, or the bench stops):",
        "",
        "| BER | Direction | min | median | max | Target | Channel drops |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for ber in NOISE:
        rates = results[ber]
        target = NOISE_TARGETS[ber]
        lines += [
            f"| {ber} | computer to device alone | {figures(rates['up'])} | {target} | "
            f"{rates['drops']} |",
            f"| {ber} | device to computer alone | {figures(rates['down'])} | {target} | |",
            f"| {ber} | both at once, each | {figures(rates['both_up'] + rates['both_down'])} "
            "| – | |",
        ]
    lines += [
        "",
        "",
    ]
    return "\n".join(lines)


def insert_section(text, section, heading=SECTION):
    """text with its section under `heading` replaced by section (or section put before the
    faults)."""
    if heading in text:
        start = text.index(heading)
        end = text.find("\n## ", start + len(heading))
        return text[:start] + section + (text[end + 1:] if end >= 0 else "")
    if NEXT_SECTION in text:
        at = text.index(NEXT_SECTION)
        return text[:at] + section + text[at:]
    return text + "\n" + section


def run_alone(measure_fn, render_fn, heading):
    """A bench script on its own: BUILD [markdown file]; prints its section and puts it into the
    file in place of its last one."""
    build = os.path.abspath(sys.argv[1])
    began = time.monotonic()
    section = render_fn(measure_fn(build))
    print(section)
    print(f"(took {time.monotonic() - began:.0f} s)")
    if len(sys.argv) > 2:
        with open(sys.argv[2]) as f:
            text = f.read()
        with open(sys.argv[2], "w") as f:
            f.write(insert_section(text, section, heading))


if __name__ == "__main__":
    run_alone(measure, render, SECTION)
