#!/usr/bin/env python3
"""The installed library as a Python program meets it through ctypes alone: the public structs
laid out as irstack.h declares them (checked against the C compiler's layout that `acceptance
--layouts` printed), then open, status, a short discovery, strerror and close on PORT, where a
device answers. One line per case, PASS or FAIL.

usage: ctypes_smoke.py LIBRARY PORT LAYOUTS"""
import ctypes
import sys

NAME_MAX = 59
NICKNAME_SIZE = 33
HINTS_SIZE = 160
ERROR_TEXT_SIZE = 64
IAS_VALUE_SIZE = 256
ROLE_COMPUTER = 0
PHASE_IDLE = 0
ERR_HANDLE = -2
ERR_PORT = -5


class Device(ctypes.Structure):
    _fields_ = [("address", ctypes.c_uint32), ("hints", ctypes.c_uint16),
                ("address_text", ctypes.c_char * 12), ("hint_names", ctypes.c_char * HINTS_SIZE),
                ("nickname", ctypes.c_char * NICKNAME_SIZE)]


class PortState(ctypes.Structure):
    _fields_ = [("phase", ctypes.c_int), ("peer_address", ctypes.c_uint32),
                ("peer_text", ctypes.c_char * 12), ("speed", ctypes.c_uint32),
                ("port_error", ctypes.c_uint32), ("last_error", ctypes.c_char * ERROR_TEXT_SIZE)]


class ChannelState(ctypes.Structure):
    _fields_ = [("open", ctypes.c_int), ("available", ctypes.c_long), ("room", ctypes.c_long),
                ("unacknowledged", ctypes.c_long)]


class ChannelInfo(ctypes.Structure):
    _fields_ = [("local_lsap", ctypes.c_int), ("peer_lsap", ctypes.c_int),
                ("mode", ctypes.c_int), ("class_name", ctypes.c_char * (NAME_MAX + 1)),
                ("attribute", ctypes.c_char * (NAME_MAX + 1))]


class IasValue(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("object_id", ctypes.c_uint16),
                ("integer", ctypes.c_int32), ("charset", ctypes.c_uint8),
                ("length", ctypes.c_size_t), ("bytes", ctypes.c_uint8 * IAS_VALUE_SIZE)]


STRUCTS = {"irs_device": Device, "irs_port_state": PortState,
           "irs_channel_state": ChannelState, "irs_channel_info": ChannelInfo,
           "irs_ias_value": IasValue}


def layout_problems(path):
    """Each struct's size and offsets against the C compiler's."""
    compiled = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            name, size, *fields = line.split()
            compiled[name] = (int(size), {f: int(o) for f, o in (p.split("=") for p in fields)})
    problems = []
    for name, struct in STRUCTS.items():
        if name not in compiled:
            problems.append(f"{name} is not in the installed header")
            continue
        size, offsets = compiled[name]
        ours = {field: getattr(struct, field).offset for field, _ in struct._fields_}
        if size != ctypes.sizeof(struct) or offsets != ours:
            problems.append(f"{name}: C {size} {offsets}, ctypes {ctypes.sizeof(struct)} {ours}")
    return problems


def bind(library):
    port_p = ctypes.c_void_p
    calls = {
        "irs_strerror": (ctypes.c_char_p, [ctypes.c_int]),
        "irs_open": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char, ctypes.c_uint32, ctypes.c_int,
                                    ctypes.POINTER(port_p)]),
        "irs_port_status": (ctypes.c_int, [port_p, ctypes.POINTER(PortState)]),
        "irs_discover": (ctypes.c_int, [port_p, ctypes.c_int, ctypes.POINTER(Device),
                                        ctypes.c_int]),
        "irs_close": (ctypes.c_int, [port_p]),
    }
    for name, (result, arguments) in calls.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library


def session_problems(library, path):
    """Open, status, a short discovery, strerror and close, as a script would."""
    lib = bind(ctypes.CDLL(library))
    problems = []

    def expect(what, got, wanted):
        if got != wanted:
            problems.append(f"{what}: {got} ({lib.irs_strerror(got).decode()}), not {wanted}")

    port = ctypes.c_void_p()
    expect("irs_open of a missing port", lib.irs_open(b"/nonexistent/ttyIR0", b"a", 0,
                                                        ROLE_COMPUTER, ctypes.byref(port)),
           ERR_PORT)
    if lib.irs_strerror(ERR_PORT) != b"cannot open the port":
        problems.append(f"irs_strerror({ERR_PORT}): {lib.irs_strerror(ERR_PORT)!r}")
    if lib.irs_strerror(12345) != b"unknown error":
        problems.append(f"irs_strerror(12345): {lib.irs_strerror(12345)!r}")
    expect("irs_open", lib.irs_open(path.encode(), b"a", 0, ROLE_COMPUTER, ctypes.byref(port)), 0)
    if problems:
        return problems
    state = PortState()
    expect("irs_port_status", lib.irs_port_status(port, ctypes.byref(state)), 0)
    if state.phase != PHASE_IDLE or state.last_error != b"":
        problems.append(f"a new port: phase {state.phase}, last_error {state.last_error!r}")
    devices = (Device * 4)()
    count = lib.irs_discover(port, 4000, devices, 4)
    if count < 1:
        problems.append(f"irs_discover: {count}, no device found")
    for device in devices[:max(count, 0)]:
        text = device.address_text.decode()
        if len(text) != 11 or text.count("-") != 3 or b"IrCOMM" not in device.hint_names:
            problems.append(f"a device as found: {text!r} {device.hint_names!r}")
    expect("irs_close", lib.irs_close(port), 0)
    expect("irs_close again", lib.irs_close(port), ERR_HANDLE)
    return problems


def main():
    library, path, layouts = sys.argv[1:4]
    failed = 0
    for name, problems in (("ctypes: struct layouts", layout_problems(layouts)),
                           ("ctypes: open, status, discover, strerror, close",
                            session_problems(library, path))):
        print(f"FAIL {name}: {'; '.join(problems)}" if problems else f"PASS {name}")
        failed += bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
