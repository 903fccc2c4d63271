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


def read_pcap(path):
    """(seconds, packet type, content) of every packet of a capture file."""
    with open(path, "rb") as f:
        data = f.read()
    magic, = struct.unpack_from("<I", data, 0)
    endian = "<" if magic == 0xA1B2C3D4 else ">"
    linktype, = struct.unpack_from(endian + "I", data, 20)
    if linktype != 144:
        raise ValueError(f"link-layer type {linktype}, expected 144")
    packets, pos = [], 24
    while pos + 16 <= len(data):
        sec, usec, incl, _orig = struct.unpack_from(endian + "IIII", data, pos)
        body = data[pos + 16:pos + 16 + incl]
        pos += 16 + incl
        ptype, = struct.unpack_from(">H", body, 0)
        protocol, = struct.unpack_from(">H", body, 14)
        if protocol != 0x0017:
            raise ValueError(f"protocol 0x{protocol:04X}, expected 0x0017")
        packets.append((sec + usec / 1e6, ptype, body[16:]))
    return packets


def comm_user_data(frames, received, own_lsap):
    """User bytes of the IrCOMM data frames traced as received (or sent) and addressed to own_lsap."""
    data = b""
    for content, was_received in frames:
        if was_received != received or len(content) < 6 or content[1] & 1:
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
