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

SIZE = 2048
REPEATS = 3
SECTION = "## Through the pseudo-terminal"
NEXT_SECTION = "## Faults"


def start_link(vlink, workdir):
    a, b = os.path.join(workdir, "pty-a"), os.path.join(workdir, "pty-b")
    proc = subprocess.Popen([vlink, "--a", a, "--b", b], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    if "ready" not in proc.stderr.readline():
        raise RuntimeError("vlink did not start")
    return proc, a, b


def start_pty(program, port):
    proc = subprocess.Popen([program, port], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
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


def measure(build):
    """Bytes per second: {"up": [...], "down": [...], "both_up": [...], "both_down": [...]}."""
    apps = os.path.join(build, "apps")
    workdir = tempfile.mkdtemp(prefix="ptybench-")
    link, a, b = start_link(os.path.join(build, "tools", "vlink", "vlink"), workdir)
    procs = []
    rates = {"up": [], "down": [], "both_up": [], "both_down": []}
    try:
        secondary, device = start_pty(os.path.join(apps, "secondary_pty_a"), a)
        procs.append(secondary)
        primary, computer = start_pty(os.path.join(apps, "primary_pty_a"), b)
        procs.append(primary)
        wait_open(primary)
        wait_open(secondary)
        c, d = open_raw(computer), open_raw(device)
        rng = random.Random(1)
        for _ in range(REPEATS):
            up, down = rng.randbytes(SIZE), rng.randbytes(SIZE)
            rates["up"].append(SIZE / transfer([(c, d, up)])[0])
            rates["down"].append(SIZE / transfer([(d, c, down)])[0])
            both = transfer([(c, d, up), (d, c, down)])
            rates["both_up"].append(SIZE / both[0])
            rates["both_down"].append(SIZE / both[1])
        os.close(c)
        os.close(d)
    finally:
        for proc in procs + [link]:
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)
    return rates


def render(rates, protocol_bound):
    def row(name, values):
        return (f"| {name} | {min(values):.0f} | {statistics.median(values):.0f} | "
                f"{max(values):.0f} | {protocol_bound:.0f} |")
    return "\n".join([
        SECTION,
        "",
        f"`primary_pty_a` and `secondary_pty_a` on the two ends of the link; {SIZE} random bytes "
        "written to one pseudo-terminal and timed from the first write until the last byte has "
        f"been read at the other ({REPEATS} runs each, B/s). Both at once: each direction's own "
        "figure. Protocol bound per direction: one frame of up to 32 bytes per two 50 ms "
        "steps; both directions share the frames, as the primary's commands and the secondary's "
        "answers each carry data.",
        "",
        "| Direction | min | median | max | Protocol bound |",
        "|---|---|---|---|---|",
        row("computer to device alone", rates["up"]),
        row("device to computer alone", rates["down"]),
        row("both at once: computer to device", rates["both_up"]),
        row("both at once: device to computer", rates["both_down"]),
        "",
        "",
    ])


def insert_section(text, section):
    """text with its pseudo-terminal section replaced by (or section put before the faults)."""
    if SECTION in text:
        start = text.index(SECTION)
        end = text.find("\n## ", start + len(SECTION))
        return text[:start] + section + (text[end + 1:] if end >= 0 else "")
    if NEXT_SECTION in text:
        at = text.index(NEXT_SECTION)
        return text[:at] + section + text[at:]
    return text + "\n" + section


def main():
    build = os.path.abspath(sys.argv[1])
    section = render(measure(build), 32 / (2 * 0.050))
    print(section)
    if len(sys.argv) > 2:
        with open(sys.argv[2]) as f:
            text = f.read()
        with open(sys.argv[2], "w") as f:
            f.write(insert_section(text, section))


if __name__ == "__main__":
    main()
