#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: the frames of a whole connection as the two stations
exchange them. Run again after a frame format changes; the fuzzers never write into these folders
(tools/run-fuzz works on copies)."""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

PARAMS = bytes([0x01, 0x01, 0x02, 0x82, 0x01, 0x01, 0x83, 0x01, 0x01, 0x84, 0x01, 0x01,
                0x85, 0x01, 0x02, 0x86, 0x01, 0x80, 0x08, 0x01, 0x01])


def i_control(nr, ns):
    return (nr << 5) | 0x10 | (ns << 1)


# What the primary sends (address 0x03: connection 1, command bit).
P_XID_FIRST = bytes([0xFF, 0x3F, 0x01, 0x34, 0x12, 0xCD, 0xAB, 0xFF, 0xFF, 0xFF, 0xFF,
                     0x00, 0x00, 0x00])
P_XID_FINAL = bytes([0xFF, 0x3F, 0x01, 0x34, 0x12, 0xCD, 0xAB, 0xFF, 0xFF, 0xFF, 0xFF,
                     0x00, 0xFF, 0x00, 0x82, 0x04])
P_SNRM = bytes([0xFF, 0x93, 0x34, 0x12, 0xCD, 0xAB, 0xAB, 0xCD, 0x12, 0x34, 0x02]) + PARAMS
P_RR = bytes([0x03, 0x11])
P_IAS_CONNECT = bytes([0x03, 0x10, 0x80, 0x02, 0x01, 0x00])
P_IAS_QUERY = (bytes([0x03, 0x32, 0x00, 0x02, 0x84, 21]) + b"secondary_demo:IrCOMM" +
               bytes([29]) + b"secondary_demo:TinyTP:LsapSel")
P_IAS_QUERY_PARAMS = (bytes([0x03, 0x32, 0x00, 0x02, 0x84, 21]) + b"secondary_demo:IrCOMM" +
                      bytes([10]) + b"Parameters")
P_IAS_DISCONNECT = bytes([0x03, 0x54, 0x80, 0x02, 0x02, 0x01])
P_COMM_CONNECT = bytes([0x03, 0x56, 0x84, 0x02, 0x01, 0x00, 0x01])
P_COMM_PARAMS = bytes([0x03, 0x78, 0x04, 0x02, 0x01, 0x12, 0x00, 0x01, 0x04, 0x01, 0x01, 0x01,
                       0x10, 0x04, 0x00, 0x00, 0x25, 0x80, 0x11, 0x01, 0x03, 0x20, 0x01, 0x0C])
P_COMM_AT = bytes([0x03, i_control(4, 5), 0x04, 0x02, 0x01, 0x00]) + b"AT\r"
P_RR_AFTER = bytes([0x03, (5 << 5) | 0x11])
P_TEST = bytes([0xFF, 0xE3, 0x11, 0x22, 0x33, 0x44, 0x34, 0x12, 0xCD, 0xAB, 0x55])
P_DISC = bytes([0x03, 0x53])

# What the secondary answers (address 0x02: connection 1, response).
S_XID = bytes([0xFE, 0xBF, 0x01, 0xAB, 0xCD, 0x12, 0x34, 0x34, 0x12, 0xCD, 0xAB, 0x00, 0x00,
               0x00, 0x82, 0x04])
S_UA = bytes([0x02, 0x73, 0xAB, 0xCD, 0x12, 0x34, 0x34, 0x12, 0xCD, 0xAB]) + PARAMS
S_RR0 = bytes([0x02, 0x11])
S_IAS_CONFIRM = bytes([0x02, 0x30, 0x82, 0x00, 0x81, 0x00])
S_IAS_ANSWER = bytes([0x02, 0x52, 0x02, 0x00, 0x84, 0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00,
                      0x00, 0x00, 0x04])
S_RR3 = bytes([0x02, 0x71])
S_COMM_CONFIRM = bytes([0x02, 0x94, 0x82, 0x04, 0x81, 0x00, 0x01])
S_COMM_OPEN = bytes([0x02, 0xB6, 0x02, 0x04, 0x01, 0x03, 0x20, 0x01, 0x0C])
S_COMM_OK = bytes([0x02, i_control(6, 4), 0x02, 0x04, 0x01, 0x00]) + b"\r\nOK\r\n"
S_RR6 = bytes([0x02, (6 << 5) | 0x11])

PRIMARY_SIDE = [P_XID_FIRST, P_XID_FINAL, P_SNRM, P_RR, P_IAS_CONNECT, P_IAS_QUERY,
                P_IAS_DISCONNECT, P_COMM_CONNECT, P_COMM_PARAMS, P_COMM_AT]
SECONDARY_SIDE = [S_XID, S_UA, S_RR0, S_IAS_CONFIRM, S_IAS_ANSWER, S_RR3, S_COMM_CONFIRM,
                  S_COMM_OPEN, S_COMM_OK]


def fcs16(data):
    fcs = 0xFFFF
    for byte in data:
        t = (byte ^ fcs) & 0xFF
        t = (t ^ (t << 4)) & 0xFF
        fcs = ((fcs >> 8) ^ (t << 8) ^ (t << 3) ^ (t >> 4)) & 0xFFFF
    return fcs ^ 0xFFFF


def sir(content):
    fcs = fcs16(content)
    out = bytearray([0xFF] * 10 + [0xC0])
    for byte in content + bytes([fcs & 0xFF, fcs >> 8]):
        if byte in (0xC0, 0xC1, 0x7D):
            out += bytes([0x7D, byte ^ 0x20])
        else:
            out.append(byte)
    out.append(0xC1)
    return bytes(out)


def frame(content):
    assert len(content) < 0x80
    return bytes([len(content)]) + content


def text(s):
    return bytes([0x80 | len(s)]) + s


def quiet(steps):
    return bytes([0xC0 | ((steps - 1) // 4)])


def write(target, files):
    folder = os.path.join(CORPUS, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def main():
    write("fuzz_frame_parsers", {
        "xid_command": P_XID_FINAL, "snrm": P_SNRM, "ua": S_UA, "rr": S_RR0,
        "ias_query": P_IAS_QUERY, "ias_answer": S_IAS_ANSWER, "lm_confirm": S_IAS_CONFIRM,
        "ttp_confirm": S_COMM_CONFIRM, "ircomm_open": S_COMM_OPEN, "ircomm_data": S_COMM_OK,
        "test": P_TEST,
        # A value list of every type: integer, octets, a string, a missing entry.
        "ias_values": bytes([0x02, 0x52, 0x02, 0x00, 0x84, 0x00, 0x00, 0x04,
                             0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04,
                             0x00, 0x02, 0x02, 0x00, 0x02, 0xAB, 0xCD,
                             0x00, 0x03, 0x03, 0x00, 0x03]) + b"PDA" + bytes([0x00, 0x04, 0x00]),
    })
    write("fuzz_sir_receive", {
        "xid": sir(P_XID_FIRST), "ua": sir(S_UA), "ias_answer": sir(S_IAS_ANSWER),
        "session": b"".join(sir(f) for f in SECONDARY_SIDE),
        "noise_then_frame": bytes([0x00, 0xC0, 0x12, 0xC1, 0x7D]) + sir(S_COMM_OPEN),
    })
    write("fuzz_secondary", {
        "connect": b"".join(frame(f) for f in [P_XID_FIRST, P_SNRM, P_RR, P_IAS_CONNECT]),
        "ias": b"".join(frame(f) for f in [P_XID_FIRST, P_SNRM, P_RR, P_IAS_CONNECT, P_IAS_QUERY,
                                           P_IAS_QUERY_PARAMS, P_IAS_DISCONNECT]),
        "session": b"".join(frame(f) for f in [P_XID_FIRST, P_SNRM, P_RR, P_IAS_CONNECT,
                                               P_IAS_QUERY, P_IAS_DISCONNECT, P_COMM_CONNECT,
                                               P_COMM_PARAMS, P_COMM_AT])
        + text(b"hello") + frame(P_RR_AFTER) + quiet(60) + frame(P_DISC),
        "test_and_noise": frame(P_TEST) + bytes([0xE4, 0xC0, 0x03, 0x7D, 0xC1]) + frame(P_RR),
    })
    # A raw service on the second selector (5), asked for by name and then carrying data.
    dive_query = (bytes([0x03, i_control(1, 1), 0x00, 0x02, 0x84, 4]) + b"Dive" + bytes([3])
                  + b"Log")
    dive_connect = bytes([0x03, i_control(3, 3), 0x85, 0x03, 0x01, 0x00, 0x04])
    dive_data = bytes([0x03, i_control(4, 4), 0x05, 0x03, 0x01]) + b"GET"
    device_query = (bytes([0x03, i_control(1, 1), 0x00, 0x02, 0x84, 6]) + b"Device"
                    + bytes([10]) + b"DeviceName")
    write("fuzz_channels", {
        "device_name": b"".join(frame(f) for f in [P_XID_FIRST, P_SNRM, P_RR, P_IAS_CONNECT,
                                                   device_query, P_IAS_DISCONNECT]) + quiet(10),
        "raw_service": b"".join(frame(f) for f in [P_XID_FIRST, P_SNRM, P_RR, P_IAS_CONNECT,
                                                   dive_query, P_IAS_DISCONNECT, dive_connect,
                                                   dive_data])
        + text(b"\x01dive log") + frame(P_RR_AFTER) + quiet(10),
        "session": b"".join(frame(f) for f in [P_XID_FIRST, P_SNRM, P_RR, P_IAS_CONNECT,
                                               P_IAS_QUERY, P_IAS_DISCONNECT, P_COMM_CONNECT,
                                               P_COMM_PARAMS, P_COMM_AT])
        + text(b"\x00hello") + frame(P_RR_AFTER) + quiet(60) + frame(P_DISC),
    })
    primary = {}
    for state in range(1, 10):
        answers = SECONDARY_SIDE[state - 1:state + 1]
        primary["state%d" % state] = bytes([state]) + b"".join(frame(f) for f in answers)
    primary["state0_session"] = (bytes([0]) + quiet(21)
                                 + b"".join(frame(f) for f in SECONDARY_SIDE[:8])
                                 + text(b"AT\r") + frame(S_RR6) + frame(S_COMM_OK) + quiet(60))
    primary["state3_test"] = bytes([3]) + frame(P_TEST) + frame(S_RR0)
    write("fuzz_primary", primary)
    write("fuzz_irsd_decode", irsd_messages())


def irsd(msg_type, request_id, payload):
    """One message of the daemon's protocol: magic, version 1, type, payload length, id."""
    return (b"IRSD" + bytes([1, msg_type]) + len(payload).to_bytes(2, "little")
            + request_id.to_bytes(4, "little") + payload)


def irsd_text(text):
    return bytes([len(text)]) + text


def irsd_messages():
    i32 = lambda value: value.to_bytes(4, "little", signed=True)
    hello = irsd(0x01, 1, bytes([1]))
    open_port = irsd(0x02, 2, irsd_text(b"ir0") + bytes([0]) + i32(115200))
    connect = irsd(0x06, 3, irsd_text(b"IrDA:IrCOMM") + irsd_text(b"IrDA:TinyTP:LsapSel")
                   + i32(5000) + bytes([0]) + i32(-1))
    hello_reply = irsd(0x81, 1, i32(0) + bytes([1, 4, 4, 4]))
    device = irsd(0x50, 4, i32(0x3412CDAB) + (0x0484).to_bytes(2, "little")
                  + irsd_text(b"meter"))
    ias_value = irsd(0x51, 5, bytes([3]) + (1).to_bytes(2, "little") + i32(0) + bytes([0])
                     + i32(5) + (5).to_bytes(2, "little") + b"hello")
    return {
        "hello": hello,
        "open_connect": hello + open_port + connect,
        "replies": hello_reply + device + ias_value + irsd(0x84, 4, i32(0) + bytes([1])),
        "error": irsd(0xFF, 0, i32(-20) + bytes([1])),
    }


if __name__ == "__main__":
    main()
