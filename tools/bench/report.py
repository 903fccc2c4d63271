"""The report half of the bench: the measured figures against their physical and protocol
bounds, with the reasons where they fall short, as the markdown of docs/performance.md.
"""

import datetime
import os
import platform
import statistics
import subprocess

from irtools.frames import OK, wire_length
from measure import (BULK_BYTES, IDLE_S, LINE_RATE, PROTOCOL_BYTES_PER_S, SETUP_EXCHANGES,
                     START_DELAY_STEPS, STEP_S, WINDOW_BYTES, WIRE_BYTES_PER_S, pattern)



def spread(values, scale=1.0, digits=0):
    ordered = sorted(values)
    return [f"{v * scale:.{digits}f}" for v in (ordered[0], statistics.median(ordered),
                                                  ordered[-1])]


def idle_cell(values, digits):
    """One run's figure, or the median with the range of several."""
    if len(values) == 1:
        return f"{values[0]:.{digits}f}"
    lo, med, hi = spread(values, digits=digits)
    return f"{med} ({lo} to {hi})"


def wake_cost_lines(cpu):
    """What sets the idle figures, with this machine's price of a wake-up."""
    lines = [
        "What sets them is how often a program wakes up. Each task sleeps 50 ms per step (20 "
        "wake-ups a second), and every wait for a byte blocks in the port. Connected, the "
        "primary polls once per step or once per two: the step that sees the answer reads it "
        "and polls again at once, and whether the answer has begun by the next step depends on "
        "the phase between the two programs' steps, which a pair keeps for minutes. The "
        "secondary's receive thread wakes for each poll when the frame begins, sleeps while "
        "its bytes gather (a pseudo-terminal hands them over one at a time, and waiting for "
        "each would wake it for every byte) and wakes again to take them; its task answers "
        "in its next step. The connected secondary thus wakes 20 + 2 x polls times a second: "
        "40 at 10 polls, 60 at 20."]
    if "wake cost" in cpu:
        timer, byte = cpu["wake cost"]
        lines += ["", (
            f"On this machine one wake-up from a 50 ms sleep costs {timer:.0f} us of a core and "
            f"one by a byte on a pseudo-terminal {byte:.0f} us (`tools/bench/wake_cost`, measured "
            f"in the same 30 s; it moves with the load on the host). The wake-ups alone "
            f"of the connected secondary thus cost "
            f"{(20 * timer + 10 * (timer + byte)) / 1e4:.2f} % of a core at 10 polls a second and "
            f"{(20 * timer + 20 * (timer + byte)) / 1e4:.2f} % at 20, before any work.")]
    return lines


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
    cpu_lines = ["| Program | runs | CPU over 30 s idle (% of one core) | wake-ups per second "
                 "| primary's polls per second |",
                 "|---|---:|---:|---:|---:|"]
    if "error" in cpu:
        cpu_lines.append(f"| (not measured: {cpu['error']}) | | | | |")
    for name in ("primary_demo unconnected", "primary_demo connected",
                 "secondary_demo unconnected", "secondary_demo connected"):
        if name in cpu:
            runs = cpu[name]
            cells = [idle_cell([run[k] for run in runs], digits)
                     for k, digits in ((0, 2), (1, 0), (2, 0))]
            cpu_lines.append(f"| {name} | {len(runs)} | {' | '.join(cells)} |")
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
        "the secondary keeps listening), and five pairs connected with nothing to send "
        "(median and range over the pairs), from the run time of all its threads in "
        "/proc/<pid>/task/*/schedstat over 30 s, with the voluntary context switches of all "
        "threads as wake-ups. Bound: 0.2 % of a core and 60 wake-ups a second.",
        "",
        *wake_cost_lines(cpu),
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
