#!/usr/bin/env python3
"""How long a pty program takes to notice that its peer has died: one of primary_pty_a and
secondary_pty_a is killed (SIGKILL) once the channel is open, and the other's "channel lost" is
timed, on a quiet link and under stray bytes (vlink --stray), which keep a receiver from ever
falling silent. The strays start once the channel is open (vlink's noise switch), as the set-up's
long frames at 9600 bit/s would rarely get through them.

bench.py runs it as part of tools/run-bench; on its own it measures and puts its section into the
markdown file given: peer_loss.py BUILD [docs/performance.md].
"""

import os
import statistics
import subprocess
import tempfile
import time

from irtools.console import Console
from irtools.session import Vlink
from pty_throughput import insert_section, run_alone

SECTION = "## A peer's death"
REPEATS = 3
STRAY = ["--stray", "40", "--seed", "11"]
LINES = [("quiet", []), ("stray bytes every 40 ms", STRAY)]
OPEN_S = 20
# Past this the survivor is taken not to notice at all.
LOST_S = 10
# The give-up after 2.5 s without a frame from the peer, and the pump's look at the station, which
# waits up to 0.2 s for received data. Under stray bytes a station may be hunting for a frame among
# them when the give-up falls due, which ends within 0.5 s; the bound there is the link's 3.5 s.
BOUND_S = 2.7
STRAY_BOUND_S = 3.5


def one_death(build, killed, link_args):
    """Seconds from killing `killed` ("primary" or "secondary") to the other's "channel lost";
    "not seen" past LOST_S, "no channel" when the channel did not open within OPEN_S."""
    link = Vlink(os.path.join(build, "tools", "vlink", "vlink"),
                 tempfile.mkdtemp(prefix="peerloss-"), link_args)
    link.toggle_noise()
    link.wait_for("noise off", 5)
    apps = os.path.join(build, "apps")
    consoles = {role: Console(role, [os.path.join(apps, f"{role}_pty_a"), port],
                              output=subprocess.DEVNULL)
                for role, port in (("secondary", link.path_a), ("primary", link.path_b))}
    survivor = consoles["secondary" if killed == "primary" else "primary"]
    try:
        if not all(c.wait_until(lambda c=c: "channel open" in c.text, OPEN_S)
                   for c in consoles.values()):
            return "no channel"
        link.toggle_noise()
        link.wait_for("noise on", 5)
        mark = survivor.mark()
        died = time.monotonic()
        consoles[killed].proc.kill()
        if not survivor.wait_until(lambda: "channel lost" in survivor.text[mark:], LOST_S):
            return "not seen"
        return survivor.arrival(survivor.text.index("channel lost", mark) + 12) - died
    finally:
        for console in consoles.values():
            if console.proc.poll() is None:
                console.proc.terminate()
        link.stop()
        for console in consoles.values():
            console.wait_exit(10)
            console.close()


def measure(build):
    """Per line and killed program, REPEATS outcomes of one_death."""
    return {(line, killed): [one_death(build, killed, args) for _ in range(REPEATS)]
            for line, args in LINES for killed in ("secondary", "primary")}


def render(results):
    lines = [
        SECTION,
        "",
        "One of `primary_pty_a` and `secondary_pty_a` (115200 bit/s) is killed with SIGKILL once "
        "the channel is open; timed from the kill until the other prints \"channel lost\" "
        f"({REPEATS} runs each, s). Stray bytes: `vlink {' '.join(STRAY)}`, one random byte "
        "that is no framing byte at each receiver every 40 ms, as daylight or a lamp makes, "
        "switched on once the channel is open. "
        "Bound: the give-up, 2.5 s without a valid frame from the peer, and the pump's next "
        f"look at the station, up to 0.2 s later; under stray bytes the link's {STRAY_BOUND_S} s. "
        f"Not seen: no \"channel lost\" within {LOST_S} s; no "
        f"channel: the channel did not open within {OPEN_S} s.",
        "",
        "| Line | Killed, survivor | min | median | max | Not seen | No channel | Bound |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for (line, killed), outcomes in results.items():
        times = [o for o in outcomes if isinstance(o, float)]
        figures = (f"{min(times):.2f} | {statistics.median(times):.2f} | {max(times):.2f}"
                   if times else "- | - | -")
        survivor = "secondary" if killed == "primary" else "primary"
        lines.append(f"| {line} | {killed}, {survivor} | {figures} | "
                     f"{outcomes.count('not seen')} | {outcomes.count('no channel')} | "
                     f"{STRAY_BOUND_S if line != 'quiet' else BOUND_S} |")
    lines += ["", ""]
    return "\n".join(lines)


def insert(text, section):
    """text with the section replaced, or put before the faults."""
    return insert_section(text, section, SECTION)


if __name__ == "__main__":
    run_alone(measure, render, SECTION)
