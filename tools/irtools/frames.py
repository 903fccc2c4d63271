"""Reading what the programs print and what vlink captures: traced frames, IrCOMM user data, the
bytes the secondary dumps, engine states, capture files, and the size of a frame on the wire.
"""

import re
import struct

OK = b"\r\nOK\r\n"
# The primary's state 9 and the secondary's state 5: the IrCOMM channel is open.
PRIMARY_OPEN = "secondary_demo state:\t9"
SECONDARY_OPEN = "secondary_demo state:\t5"
STATE = re.compile(r"\nsecondary_demo state:\t(\d+)")
# One byte of a received block, as the secondary dumps it.
DUMP_LINE = re.compile(r"\n\t\t(\d{3})\t0x([0-9A-F]{2})")
XBOFS = 10

TRACE_BLOCK = re.compile(r"\n\[((?: [0-9A-F]{2})*) \]\n\t(?: ->|<- )[^\n]*")


def traced_frames(text):
    """Frames in a console trace, as (content bytes, received?) in order of printing."""
    frames = []
    for match in TRACE_BLOCK.finditer(text):
        content = bytes(int(h, 16) for h in match.group(1).split())
        frames.append((content, match.group(0).endswith(".")))
    return frames


LINKTYPE_INFRARED = 144
PSEUDO_HEADER = 16
PROTOCOL_INFRARED = 0x0017
PCAP_MAGICS = {0xA1B2C3D4: 1e-6, 0xA1B23C4D: 1e-9}  # classic pcap, micro- or nanosecond stamps


class CaptureError(ValueError):
    """A file that is not an infrared-link capture, said so that the user knows what to do."""


def read_pcap(path, warn=None):
    """(seconds, packet type, content) of every packet of a classic pcap file of link type 144, in
    file order. A cut or headerless packet is left out and told to `warn` (a function of one text);
    without it, it is an error."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise CaptureError(f"{path}: {error.strerror}") from error
    if len(data) < 24:
        raise CaptureError(f"{path}: not a pcap file (only {len(data)} bytes)")
    if data[:4] == b"\x0a\x0d\x0d\x0a":
        raise CaptureError(f"{path}: a pcapng file; save it as classic pcap first "
                           "(for example: editcap -F pcap in.pcapng out.pcap)")
    for endian in "<>":
        magic, = struct.unpack_from(endian + "I", data)
        if magic in PCAP_MAGICS:
            unit = PCAP_MAGICS[magic]
            break
    else:
        raise CaptureError(f"{path}: not a pcap file (magic {data[:4].hex()})")
    linktype = struct.unpack_from(endian + "I", data, 20)[0] & 0xFFFF
    if linktype != LINKTYPE_INFRARED:
        raise CaptureError(f"{path}: link type {linktype}; this tool reads infrared-link captures "
                           f"(link type {LINKTYPE_INFRARED}, each frame behind a 16-byte "
                           "pseudo-header)")
    packets, pos = [], 24
    while pos + 16 <= len(data):
        sec, frac, incl, _orig = struct.unpack_from(endian + "IIII", data, pos)
        body = data[pos + 16:pos + 16 + incl]
        pos += 16 + incl
        problem = None
        if len(body) < incl:
            problem = "last packet cut short"
        elif incl < PSEUDO_HEADER:
            problem = "packet without its pseudo-header"
        if problem:
            if warn is None:
                raise CaptureError(f"{path}: {problem}")
            warn(f"{path}: {problem}, left out")
            continue
        ptype, = struct.unpack_from(">H", body, 0)
        protocol, = struct.unpack_from(">H", body, 14)
        if protocol != PROTOCOL_INFRARED:
            raise CaptureError(f"{path}: protocol 0x{protocol:04X} in a pseudo-header, "
                               f"expected 0x{PROTOCOL_INFRARED:04X}")
        packets.append((sec + frac * unit, ptype, body[PSEUDO_HEADER:]))
    return packets


def comm_user_data(frames, received, own_lsap):
    """User bytes of the IrCOMM data frames traced as received (or sent) and addressed to own_lsap.

    An I-frame with the Ns of the one before it is a repeat (one frame in flight), which the
    receiver does not deliver again, so its bytes are not counted twice either.
    """
    data = b""
    last_ns = None
    for content, was_received in frames:
        if was_received != received or len(content) < 2 or content[1] & 1:
            continue
        ns = (content[1] >> 1) & 7
        repeat, last_ns = ns == last_ns, ns
        if repeat or len(content) < 6:
            continue
        if content[2] & 0x80 or content[2] & 0x7F != own_lsap or content[3] & 0x7F == 0:
            continue
        clen = content[5]
        if clen <= len(content) - 6:
            data += content[6 + clen:]
    return data


def dumped_bytes(text):
    """The bytes the secondary dumped in `text`, in order."""
    return bytes(int(m.group(1)) for m in DUMP_LINE.finditer(text))


def states(text):
    """Every engine state a console printed, in order."""
    return [int(s) for s in STATE.findall(text)]


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
