"""Where a connection set-up's time goes: the frames of vlink's capture named by their phase
(discovery slots and answers, SNRM and UA, LM connects, IAS, TinyTP, IrCOMM parameters), a
timeline per run and its medians over runs, and a short account of a set-up that never finished.
setup_daylight.py runs the programs; this module only reads what they left.
"""

import statistics

from irtools import frames

# Capture packet types: sent by vlink's first end (the secondary's here), then by its second.
FROM_SECONDARY = 0x0004
XID_COMMAND = 0x2F
XID_ANSWER = 0xAF
XID_SLOT_OFFSET = 12
U_FRAMES = {0x83: "SNRM", 0x63: "UA", 0x43: "DISC", 0x0F: "DM", 0x87: "FRMR", 0x03: "UI",
            0xE3: "TEST"}
LM_CONTROL = 0x80
LM_CONNECT = 0x01
LM_CONNECT_CONFIRM = 0x81
LM_DISCONNECT = 0x02
IAS_LSAP = 0
START = "start to first frame"
OPEN = "channel open printed"
# The phases in the order a set-up goes through them; a discovery slot ranks as the first.
ORDER = ["XID final", "XID answer", "SNRM", "UA", "RR at new speed", "RR at new speed, answer",
         "LM connect (IAS)", "LM connect confirm (IAS)", "IAS query", "IAS answer",
         "LM disconnect (IAS)", "TinyTP connect", "TinyTP connect confirm", "IrCOMM parameters",
         "IrCOMM parameters answer"]


def lm_name(from_primary, content):
    """The phase of an I-frame from its LM header; None for data after the parameters."""
    if len(content) < 5:
        return "other (short I-frame)"
    dlsap, slsap, opcode = content[2] & 0x7F, content[3] & 0x7F, content[4]
    ias = IAS_LSAP in (dlsap, slsap)
    if content[2] & LM_CONTROL:
        if opcode == LM_CONNECT:
            return "LM connect (IAS)" if ias else "TinyTP connect"
        if opcode == LM_CONNECT_CONFIRM:
            return "LM connect confirm (IAS)" if ias else "TinyTP connect confirm"
        if opcode == LM_DISCONNECT:
            return "LM disconnect (IAS)" if ias else "LM disconnect"
        return f"other (LM control 0x{opcode:02X})"
    if ias:
        return "IAS query" if from_primary else "IAS answer"
    if from_primary:
        return "IrCOMM parameters" if len(content) > 5 and content[5] > 0 else None
    return "IrCOMM parameters answer"


def name(from_primary, content):
    """The phase a frame belongs to: a name, or None for a supervisory frame (RR, RNR, REJ), which
    only passes the turn."""
    if len(content) < 2:
        return "other (no control byte)"
    control = content[1]
    if not control & 1:
        return lm_name(from_primary, content)
    if control & 3 == 1:
        return None
    command = control & ~0x10
    if command == XID_COMMAND and from_primary:
        if len(content) <= XID_SLOT_OFFSET:
            return "XID (short)"
        slot = content[XID_SLOT_OFFSET]
        return "XID final" if slot == 0xFF else f"XID slot {slot}"
    if command == XID_ANSWER and not from_primary:
        return "XID answer"
    return U_FRAMES.get(command, f"other (0x{control:02X})")


def events(packets, wall_offset, start):
    """(seconds after start, phase, from primary?) of each frame of a capture; the first
    supervisory frame each way after the first UA is named as the first exchange at the new
    speed."""
    named, ua_seen, rr_named = [], False, set()
    for when, ptype, content in packets:
        from_primary = ptype != FROM_SECONDARY
        phase = name(from_primary, content)
        if phase == "UA":
            ua_seen = True
        if phase is None and ua_seen and from_primary not in rr_named:
            rr_named.add(from_primary)
            phase = "RR at new speed" if from_primary else "RR at new speed, answer"
        named.append((when - wall_offset - start, phase, from_primary))
    return named


def read_events(pcap, wall_offset, start):
    return events(frames.read_pcap(pcap, warn=lambda _text: None), wall_offset, start)


def timeline(named, open_at=None):
    """{phase: (start, duration, repeats)} of one run: a phase starts at its first frame and lasts
    until the first frame of a phase not seen before; repeats count its frames after the first.
    Frames after open_at (the primary's "channel open") are left out."""
    order, counts = [], {}
    for when, phase, _ in named:
        if phase is None or (open_at is not None and when > open_at):
            continue
        if phase not in counts:
            order.append((phase, when))
        counts[phase] = counts.get(phase, 0) + 1
    if not order:
        return {}
    rows = {START: (0.0, order[0][1], 0)}
    ends = [when for _, when in order[1:]] + [open_at if open_at is not None else order[-1][1]]
    for (phase, when), end in zip(order, ends):
        rows[phase] = (when, end - when, counts[phase] - 1)
    if open_at is not None:
        rows[OPEN] = (open_at, 0.0, 0)
    return rows


def medians(runs):
    """[(phase, runs seen, median start, median duration, repeats in all)] over the timelines of
    several runs, in order of median start."""
    table = {}
    for rows in runs:
        for phase, row in rows.items():
            table.setdefault(phase, []).append(row)
    result = [(phase, len(rows), statistics.median(r[0] for r in rows),
               statistics.median(r[1] for r in rows), sum(r[2] for r in rows))
              for phase, rows in table.items()]
    return sorted(result, key=lambda row: (row[2], row[0] != START))


def render_timeline(title, runs):
    lines = [f"{title} ({len(runs)} runs; ms after the primary's start, medians; repeats: "
             "frames of a phase sent again, all runs together):", "",
             "| Phase | Runs | Start (ms) | Duration (ms) | Repeats |", "|---|---:|---:|---:|---:|"]
    for phase, seen, start, duration, repeats in medians(runs):
        lines.append(f"| {phase} | {seen} | {1000 * start:.0f} | {1000 * duration:.0f} | "
                     f"{repeats} |")
    return lines


def traced(console, start):
    """(seconds after start, content, received?) of each frame a program traced (--trace)."""
    result = []
    for match in frames.TRACE_BLOCK.finditer(console.text):
        if not console.text[match.end():].strip():
            break  # cut off by the program's end: whether it was received is not known
        content = bytes(int(h, 16) for h in match.group(1).split())
        result.append((console.arrival(match.end()) - start, content,
                       match.group(0).endswith(".")))
    return result


def sent_sequence(trace, from_primary):
    """What a program sent in order, a run of frames of one kind (a discovery round's XIDs
    together) as one item with its span and count."""
    runs = []
    for when, content, received in trace:
        if received:
            continue
        phase = name(from_primary, content) or "RR/RNR"
        kind = "XIDs" if phase.startswith("XID") and from_primary else phase
        if runs and runs[-1][0] == kind and not (kind == "XIDs" and runs[-1][3]):
            runs[-1][2], runs[-1][3] = when, phase == "XID final"
            runs[-1][4] += 1
        else:
            runs.append([kind, when, when, phase == "XID final", 1])
    items = []
    for kind, first, last, _, count in runs:
        span = f"{first:.2f}" if count == 1 else f"{first:.2f}-{last:.2f}"
        items.append(f"{kind} x{count} at {span} s")
    return "; ".join(items) or "nothing"


def received_counts(trace, from_primary):
    """{phase: frames} a program received intact; from_primary: the program is the primary."""
    counts = {}
    for _, content, received in trace:
        if received:
            phase = name(not from_primary, content) or "RR/RNR"
            counts[phase] = counts.get(phase, 0) + 1
    return counts


def count_text(counts):
    return ", ".join(f"{phase} x{n}" for phase, n in counts.items()) or "nothing"


def rank(phase):
    return ORDER.index(phase) if phase in ORDER else -1


def stuck_summary(named, seconds):
    """A line on where a set-up that did not finish within `seconds` stood, from its capture."""
    useful = [(when, phase, p) for when, phase, p in named if phase is not None and when <= seconds]
    if not useful:
        return "capture: no frame arrived intact either way"
    furthest = max((phase for _, phase, _ in useful), key=rank)
    arrivals = [when for when, phase, _ in useful if phase == furthest]
    when, phase, from_primary = useful[-1]
    counts = {}
    for _, seen, _ in useful:
        counts[seen] = counts.get(seen, 0) + 1
    return (f"capture: furthest phase reached {furthest} (arrived x{len(arrivals)}, first at "
            f"{arrivals[0]:.2f} s); last frame seen {phase} from the "
            f"{'primary' if from_primary else 'secondary'} at {when:.2f} s; all that arrived "
            f"intact: {count_text(counts)}")
