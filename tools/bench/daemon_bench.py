#!/usr/bin/env python3
"""irstackd against in-process: primary_pty_a opening its port itself, then through the daemon
(irstackd:ir0), against secondary_pty_a on the other end of vlink at 115200 bit/s: 64 KB each way,
and one-byte round trips (the device side echoes). Then the daemon idle with three idle clients:
its wake-ups a second and its resident memory.

bench.py runs it as part of tools/run-bench; on its own it measures and puts its section into the
markdown file given: daemon_bench.py BUILD [docs/performance.md].
"""

import grp
import os
import random
import select
import signal
import socket
import statistics
import struct
import subprocess
import tempfile
import time

from pty_throughput import open_raw, run_alone, start_link, start_pty, transfer, wait_open

SECTION = "## Through the daemon"
SIZE = 65536
REPEATS = 3
TRIPS = 60
IDLE_S = 10
IDLE_CLIENTS = 3


def round_trips(c, d):
    """Milliseconds from a byte written on the computer's side until the device's echo is read."""
    times = []
    rng = random.Random(3)
    for _ in range(TRIPS):
        byte = bytes([rng.randrange(256)])
        began = time.monotonic()
        os.write(c, byte)
        for fd in (d, c):
            ready, _, _ = select.select([fd], [], [], 10)
            if not ready:
                raise RuntimeError("a round trip did not come back")
            got = os.read(fd, 1)
            if got != byte:
                raise RuntimeError("a round trip came back damaged")
            if fd == d:
                os.write(d, got)
        times.append((time.monotonic() - began) * 1000)
        time.sleep(rng.uniform(0.05, 0.15))
    return times


def start_daemon(build, socket_dir, port):
    group = grp.getgrgid(os.getgid()).gr_name
    daemon = subprocess.Popen([os.path.join(build, "daemon", "irstackd"), "--socket-dir",
                               socket_dir, "--group", group, f"ir0={port}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if "serving" not in daemon.stderr.readline():
        raise RuntimeError("irstackd did not start")
    return daemon


def one_way(build, through_daemon):
    """Rates up and down (B/s) and round trips (ms) of one pair."""
    workdir = tempfile.mkdtemp(prefix="daemonbench-")
    link, a, b = start_link(os.path.join(build, "tools", "vlink", "vlink"), workdir)
    procs, result = [], {"up": [], "down": [], "trips": []}
    env_dir = os.path.join(workdir, "sockets")
    try:
        apps = os.path.join(build, "apps")
        secondary, device = start_pty(os.path.join(apps, "secondary_pty_a"), a)
        procs.append(secondary)
        port = b
        if through_daemon:
            procs.append(start_daemon(build, env_dir, b))
            port = "irstackd:ir0"
        os.environ["IRSTACK_SOCKET_DIR"] = env_dir
        primary, computer = start_pty(os.path.join(apps, "primary_pty_a"), port)
        procs.append(primary)
        wait_open(primary)
        wait_open(secondary)
        c, d = open_raw(computer), open_raw(device)
        rng = random.Random(1)
        for _ in range(REPEATS):
            up, down = rng.randbytes(SIZE), rng.randbytes(SIZE)
            result["up"].append(SIZE / transfer([(c, d, up)])[0])
            result["down"].append(SIZE / transfer([(d, c, down)])[0])
        result["trips"] = round_trips(c, d)
        os.close(c)
        os.close(d)
    finally:
        for proc in reversed(procs + [link]):
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)
    return result


def context_switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            for line in status:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
    return total


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS"):
                return int(line.split()[1])
    return 0


def idle(build):
    """The daemon's wake-ups a second and resident memory (KB) with idle clients."""
    workdir = tempfile.mkdtemp(prefix="daemonidle-")
    link, a, _ = start_link(os.path.join(build, "tools", "vlink", "vlink"), workdir)
    sockets_dir = os.path.join(workdir, "sockets")
    daemon = start_daemon(build, sockets_dir, a)
    clients = []
    try:
        for _ in range(IDLE_CLIENTS):
            client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            client.connect(os.path.join(sockets_dir, "ir0"))
            # HELLO, version 1; then OPEN ir0 as a device, no speed cap.
            client.sendall(b"IRSD\x01\x01" + struct.pack("<HI", 1, 1) + b"\x01")
            name = b"ir0"
            payload = bytes([len(name)]) + name + b"\x01" + struct.pack("<I", 0)
            client.sendall(b"IRSD\x01\x02" + struct.pack("<HI", len(payload), 2) + payload)
            clients.append(client)
        time.sleep(1)
        before = context_switches(daemon.pid)
        time.sleep(IDLE_S)
        wakes = (context_switches(daemon.pid) - before) / IDLE_S
        return wakes, resident_kb(daemon.pid)
    finally:
        for client in clients:
            client.close()
        daemon.send_signal(signal.SIGTERM)
        daemon.wait(10)
        link.send_signal(signal.SIGTERM)
        link.wait(10)


def measure(build):
    return {"in-process": one_way(build, False), "daemon": one_way(build, True),
            "idle": idle(build)}


def render(results):
    def cells(values):
        return f"{min(values):.0f} | {statistics.median(values):.0f} | {max(values):.0f}"

    inproc, daemon = results["in-process"], results["daemon"]
    ratio = {k: statistics.median(daemon[k]) / statistics.median(inproc[k]) for k in ("up", "down")}
    trip_gap = statistics.median(daemon["trips"]) - statistics.median(inproc["trips"])
    wakes, rss = results["idle"]
    return "\n".join([
        SECTION,
        "",
        f"`primary_pty_a` against `secondary_pty_a` over vlink (variant A, 115200 bit/s): first with "
        f"its own port, then with `irstackd:ir0`, the daemon holding that end. {SIZE} random bytes "
        f"each way, {REPEATS} runs (B/s), every one byte-exact; then {TRIPS} one-byte round trips "
        f"(the device's side echoes; ms).",
        "",
        "| Path | Up min | median | max | Down min | median | max | Round trip median (ms) |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
        f"| in-process | {cells(inproc['up'])} | {cells(inproc['down'])} | "
        f"{statistics.median(inproc['trips']):.1f} |",
        f"| through irstackd | {cells(daemon['up'])} | {cells(daemon['down'])} | "
        f"{statistics.median(daemon['trips']):.1f} |",
        "",
        f"Through the daemon against in-process: {ratio['up']:.3f} up, {ratio['down']:.3f} down "
        f"(target at least 0.97); the round trip {trip_gap:+.2f} ms (target at most 1 ms more).",
        "",
        f"The daemon idle, its port listening and {IDLE_CLIENTS} clients connected and idle, over "
        f"{IDLE_S} s: {wakes:.0f} wake-ups a second (target at most 60), {rss} KB resident.",
        "",
    ])


if __name__ == "__main__":
    run_alone(measure, render, SECTION)
