#!/usr/bin/env python3
"""Two channels over one link through the library: lib_mux_bench on the two ends of vlink, an
IrCOMM and a raw channel at 115200 bit/s, each carrying BYTES each way; channel 0's rate each way
with both channels busy, then while the device's reader of channel 1 stops.

bench.py runs it as part of tools/run-bench; on its own it measures and puts its section into the
markdown file given: lib_mux.py BUILD [docs/performance.md].
"""

import os
import signal
import statistics
import subprocess
import tempfile

from pty_throughput import run_alone, start_link

REPEATS = 3
BYTES = 16384
SECTION = "## Two channels over one link"


def measure(build):
    """Per run: channel 0's B/s up and down shared, then up and down beside a stopped reader."""
    runs = []
    for _ in range(REPEATS):
        workdir = tempfile.mkdtemp(prefix="muxbench-")
        link, a, b = start_link(os.path.join(build, "tools", "vlink", "vlink"), workdir)
        try:
            run = subprocess.run([os.path.join(build, "tools", "bench", "lib_mux_bench"), a, b,
                                  str(BYTES)], capture_output=True, text=True, timeout=300)
        finally:
            link.send_signal(signal.SIGTERM)
            link.wait(10)
        fields = run.stdout.split()
        if run.returncode != 0 or len(fields) != 5 or fields[4] != "exact":
            raise RuntimeError(f"lib_mux_bench failed: {run.stdout} {run.stderr}")
        runs.append([float(f) for f in fields[:4]])
    return runs


def render(runs):
    def figures(column):
        values = [run[column] for run in runs]
        return f"{min(values):.0f} | {statistics.median(values):.0f} | {max(values):.0f}"

    lines = [
        SECTION,
        "",
        "`tools/bench/lib_mux_bench`: a device port and a computer port of the library on the two "
        "ends of the link (variant A, 115200 bit/s), an IrCOMM channel (0) and a raw one (1) over "
        f"one link, {BYTES} random bytes each way on each, written and read at once and timed "
        f"until each flow's last byte is read ({REPEATS} runs, B/s). Then the same with the "
        "device's reader of channel 1 stopped until the rest has arrived: that channel's sender "
        "runs out of TinyTP credits and channel 0 takes the frames it leaves. Every byte of every "
        "run arrived byte-exact, or the bench stops.",
        "",
        "| Channel 0 | min | median | max |",
        "|---|---:|---:|---:|",
        f"| computer to device, both channels busy both ways | {figures(0)} |",
        f"| device to computer, both channels busy both ways | {figures(1)} |",
        f"| computer to device, channel 1's reader stopped | {figures(2)} |",
        f"| device to computer, channel 1's reader stopped | {figures(3)} |",
        "",
        "",
    ]
    return "\n".join(lines)


if __name__ == "__main__":
    run_alone(measure, render, SECTION)
