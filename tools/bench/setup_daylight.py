#!/usr/bin/env python3
"""Connection set-up of primary_pty_a and secondary_pty_a over vlink: on a quiet line at 115200
bit/s and at --max-speed 9600, the time to "channel open" and a timeline of where it went, read
from vlink's capture; and under daylight from the start (vlink --stray-random, stray bytes at
random moments, 40, 20 and 100 ms apart on average), how many tries open the channel on both
programs within 10 s, and where each failed try was stuck.

bench.py runs it as part of tools/run-bench; on its own it measures and puts its section into the
markdown file given: setup_daylight.py BUILD [docs/performance.md].
"""

import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time

import setup_timeline
from irtools.console import Console
from irtools.session import Vlink
from pty_throughput import insert_section, run_alone

SECTION = "## Set-up, quiet and in daylight"
QUIET_RUNS = 8
QUIET = [("115200 bit/s", []), ("--max-speed 9600", ["--max-speed", "9600"])]
# Mean gap between stray bytes (ms) and tries.
DAYLIGHT = [(40, 20), (20, 8), (100, 8)]
OPEN_S = 10
QUIET_OPEN_S = 20
OPEN = "channel open"
MISMATCH = re.compile(r"(\d+) hit by speed mismatch")
STATUS = re.compile(r"(?:primary|secondary)_pty_\w: ([^\n]*)")


def status_lines(text):
    """The status lines a pty program printed; with --trace one may follow a trace on its line."""
    return STATUS.findall(text)


def one_try(build, link_args, pty_args, timeout, trace):
    """One fresh vlink and pair of programs: seconds from the primary's start to each program's
    "channel open" (None: not within timeout), the capture's named frames, and what the programs
    printed."""
    workdir = tempfile.mkdtemp(prefix="setup-")
    pcap = os.path.join(workdir, "setup.pcap")
    link = Vlink(os.path.join(build, "tools", "vlink", "vlink"), workdir, link_args, pcap)
    apps = os.path.join(build, "apps")
    extra = pty_args + (["--trace"] if trace else [])
    consoles = {}
    try:
        consoles["secondary"] = Console("secondary", [os.path.join(apps, "secondary_pty_a"),
                                                      *extra, link.path_a],
                                        output=subprocess.DEVNULL)
        start = time.monotonic()
        consoles["primary"] = Console("primary", [os.path.join(apps, "primary_pty_a"), *extra,
                                                  link.path_b], output=subprocess.DEVNULL)
        opened = {}
        for role, console in consoles.items():
            left = start + timeout - time.monotonic()
            if console.wait_until(lambda c=console: OPEN in c.text, max(left, 0)):
                opened[role] = console.arrival(console.text.index(OPEN) + len(OPEN)) - start
            else:
                opened[role] = None
    finally:
        # A link that ended by itself makes a try worth nothing: say so.
        link_ended = link.proc.poll()
        for console in consoles.values():
            if console.proc.poll() is None:
                console.proc.terminate()
        # The programs go first: a link that vanished under them would show as a lost port.
        for console in consoles.values():
            console.wait_exit(10)
        link.stop()
        for console in consoles.values():
            console.close()
    wall_offset = time.time() - time.monotonic()
    named = setup_timeline.read_events(pcap, wall_offset, start)
    shutil.rmtree(workdir, ignore_errors=True)
    mismatch = MISMATCH.search(link.text)
    return {"opened": opened, "events": named, "link_ended": link_ended,
            "misspeeded": int(mismatch.group(1)) if mismatch else None,
            "status": {role: status_lines(c.text) for role, c in consoles.items()},
            "trace": {role: setup_timeline.traced(c, start) for role, c in consoles.items()}}


def quiet(build):
    """Per configuration: the tries on a quiet line."""
    return {label: [one_try(build, [], args, QUIET_OPEN_S, False) for _ in range(QUIET_RUNS)]
            for label, args in QUIET}


def daylight(build):
    """Per mean gap (ms): the tries under stray bytes at random moments, a seed each."""
    results = {}
    for mean, tries in DAYLIGHT:
        results[mean] = []
        for i in range(tries):
            seed = 1000 * mean + i + 1
            outcome = one_try(build, ["--stray-random", str(mean), "--seed", str(seed)], [],
                              OPEN_S, True)
            outcome["seed"] = seed
            results[mean].append(outcome)
    return results


def measure(build):
    return {"quiet": quiet(build), "daylight": daylight(build)}


def both_open(outcome, limit):
    times = outcome["opened"].values()
    return all(t is not None and t <= limit for t in times)


def failure_kind(outcome):
    """Where a failed try stood, as the primary saw it: (kind, detail)."""
    if outcome["link_ended"] is not None:
        return "vlink ended by itself", f" (status {outcome['link_ended']})"
    trace = outcome["trace"].get("primary", [])
    got = setup_timeline.received_counts(trace, True)
    sent = {}
    for _, content, received in trace:
        if not received:
            phase = setup_timeline.name(True, content)
            sent[phase] = sent.get(phase, 0) + 1
    answered = outcome["trace"].get("secondary", [])
    uas = sum(1 for _, c, rx in answered if not rx and setup_timeline.name(False, c) == "UA")
    if not got.get("XID answer"):
        return "in discovery, no XID answer reached the primary", ""
    if not sent.get("SNRM"):
        return "in discovery, an answer came but the round did not end in time", ""
    if not got.get("UA"):
        return ("SNRM sent, no UA reached the primary",
                f" (SNRM x{sent['SNRM']}, the secondary answered {uas} with UA)")
    return "after the UA", ""


def failure_lines(outcome):
    """What a failed try printed and where its capture says it was stuck."""
    opened = outcome["opened"]
    where = setup_timeline.stuck_summary(outcome["events"], OPEN_S)
    kind, detail = failure_kind(outcome)
    lines = [f"- seed {outcome['seed']}: {kind}{detail}; open on "
             f"{', '.join(r for r, t in opened.items() if t is not None) or 'neither'}; "
             f"bytes lost to a speed mismatch: {outcome['misspeeded']}; {where}"]
    for role in ("primary", "secondary"):
        trace = outcome["trace"].get(role, [])
        primary = role == "primary"
        sent = setup_timeline.sent_sequence(trace, primary)
        got = setup_timeline.count_text(setup_timeline.received_counts(trace, primary))
        printed = "; ".join(outcome["status"].get(role, [])) or "nothing"
        lines.append(f"  - {role} printed: {printed}; sent: {sent}; received intact: {got}")
    return lines


def render(results):
    lines = [SECTION, "",
             "`primary_pty_a` and `secondary_pty_a` over vlink, a fresh link and programs per "
             "run, the secondary started just before the primary; times from the primary's start. "
             "The timelines read vlink's capture (`--pcap`): each frame named by its phase, a "
             "phase lasting until the first frame of a phase not seen before; supervisory frames "
             "(RR) only pass the turn and belong to the phase they follow.", ""]
    for label, runs in results["quiet"].items():
        opens = [r["opened"]["primary"] for r in runs if both_open(r, QUIET_OPEN_S)]
        figures = (f"median {statistics.median(opens):.2f} s, min {min(opens):.2f}, "
                   f"max {max(opens):.2f}" if opens else "never")
        lines += [f"Quiet line, {label}: channel open on both in {len(opens)} of {len(runs)} "
                  f"runs; primary's start to its \"channel open\": {figures}.", ""]
        timelines = [setup_timeline.timeline(r["events"], r["opened"]["primary"])
                     for r in runs if both_open(r, QUIET_OPEN_S)]
        lines += setup_timeline.render_timeline(f"Timeline, quiet line, {label}", timelines)
        lines.append("")
    lines += [f"Daylight: `vlink --stray-random MS --seed N` from the start, a stray byte at "
              f"random moments at each receiver, MS apart on average. A try succeeds when both "
              f"programs print \"channel open\" within {OPEN_S} s. The programs run with "
              "`--trace`, which gives the frames each sent; the capture has those that "
              "arrived intact.", "",
              "| Mean gap | Tries | Both open | Median to open (s) | Max (s) |",
              "|---|---:|---:|---:|---:|"]
    failures, kinds = [], {}
    for mean, tries in results["daylight"].items():
        good = [t["opened"]["primary"] for t in tries if both_open(t, OPEN_S)]
        median = f"{statistics.median(good):.2f}" if good else "-"
        longest = f"{max(good):.2f}" if good else "-"
        lines.append(f"| {mean} ms | {len(tries)} | {len(good)} | {median} | {longest} |")
        for outcome in tries:
            if not both_open(outcome, OPEN_S):
                failures += failure_lines(outcome)
                kind = f"{mean} ms, {failure_kind(outcome)[0]}"
                kinds[kind] = kinds.get(kind, 0) + 1
    lines += ["", "Failed tries by where the primary stood: "
              + ("; ".join(f"{kind} x{n}" for kind, n in kinds.items()) or "none") + ".", ""]
    lines += ["Failed tries (the capture: frames that arrived intact; sent: each program's trace, "
              "a discovery round's XIDs as one item, times when the bench read the trace):",
              ""] + (failures or ["none"]) + [""]
    for mean, tries in results["daylight"].items():
        timelines = [setup_timeline.timeline(t["events"], t["opened"]["primary"])
                     for t in tries if both_open(t, OPEN_S)]
        if timelines:
            lines += setup_timeline.render_timeline(
                f"Timeline, daylight {mean} ms, tries that opened", timelines) + [""]
    lines.append("")
    return "\n".join(lines)


def insert(text, section):
    """text with the section replaced, or put before the faults."""
    return insert_section(text, section, SECTION)


if __name__ == "__main__":
    run_alone(measure, render, SECTION)
