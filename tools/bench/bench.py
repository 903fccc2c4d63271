#!/usr/bin/env python3
"""Benchmarks of the two demo programs over the virtual infrared link at 9600 bit/s.

Run through tools/run-bench, which builds the programs first. Prints a table and writes it to
docs/performance.md. Every program runs with the allocation counter preloaded. measure.py takes
the figures, report.py writes them up.
"""

import argparse
import os
import shutil
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True

import daemon_bench  # noqa: E402
import lib_mux  # noqa: E402
import peer_loss  # noqa: E402
import pty_throughput  # noqa: E402
import setup_daylight  # noqa: E402
from measure import Bench  # noqa: E402
from report import keep_faults_section, render  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory with the programs")
    parser.add_argument("--output", help="markdown file to write (default: print only)")
    parser.add_argument("--setups", type=int, default=8)
    parser.add_argument("--at-per-setup", type=int, default=4)
    parser.add_argument("--bulk", type=int, default=5)
    parser.add_argument("--no-idle", action="store_true", help="skip the idle CPU measurement")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--only-setup", action="store_true",
                        help="only the pty programs' set-up, quiet and in daylight")
    args = parser.parse_args()
    if args.only_setup:
        only_setup(os.path.abspath(args.build), args.output)
        return

    workdir = tempfile.mkdtemp(prefix="irbench-")
    bench = Bench(os.path.abspath(args.build), workdir)
    results = {"cpu": {}}
    began = time.monotonic()
    idle = threading.Thread(target=bench.idle_cpu, args=(results["cpu"],))
    if args.no_idle:
        idle = threading.Thread(target=lambda: None)
    idle.start()
    try:
        print("connection set-up and AT round trips ...", flush=True)
        results["setups"], results["trips"], results["parts"] = bench.setup_and_at(
            args.setups, args.at_per_setup)
        print("bulk text ...", flush=True)
        results["bulk"], results["rhythm"] = bench.bulk(args.bulk)
        print("idle CPU ...", flush=True)
        idle.join()
        print("throughput through the pseudo-terminal ...", flush=True)
        results["pty"] = pty_throughput.measure(bench.build)
        print("two channels over one link through the library ...", flush=True)
        results["mux"] = lib_mux.measure(bench.build)
        print("through the daemon against in-process ...", flush=True)
        results["daemon"] = daemon_bench.measure(bench.build)
        print("a peer's death, quiet and under stray bytes ...", flush=True)
        results["loss"] = peer_loss.measure(bench.build)
        print("set-up of the pty programs, quiet and in daylight ...", flush=True)
        results["setup"] = setup_daylight.measure(bench.build)
        results["alloc"] = bench.allocations()
        results["sizes"] = bench.sizes()
    finally:
        idle.join()
        if args.keep:
            print(f"work folder: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    text = pty_throughput.insert_section(
        render(results), pty_throughput.render(results["pty"]))
    text = pty_throughput.insert_section(text, lib_mux.render(results["mux"]), lib_mux.SECTION)
    text = pty_throughput.insert_section(text, daemon_bench.render(results["daemon"]),
                                         daemon_bench.SECTION)
    text = peer_loss.insert(text, peer_loss.render(results["loss"]))
    text = setup_daylight.insert(text, setup_daylight.render(results["setup"]))
    print(text)
    print(f"(bench took {time.monotonic() - began:.0f} s)")
    if args.output:
        text = keep_faults_section(args.output, text)
        with open(args.output, "w") as f:
            f.write(text)


def only_setup(build, output):
    """The set-up section alone, put into the markdown file in place of its last one."""
    began = time.monotonic()
    section = setup_daylight.render(setup_daylight.measure(build))
    print(section)
    print(f"(bench took {time.monotonic() - began:.0f} s)")
    if output:
        with open(output) as f:
            text = f.read()
        with open(output, "w") as f:
            f.write(setup_daylight.insert(text, section))


if __name__ == "__main__":
    main()
