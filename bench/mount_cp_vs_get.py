#!/usr/bin/env python3
"""cp of a file out of and into quorvantix-mount against quorvantix-customer
get and put of the same file, on the same simulated line, in the same run.

    bench/mount_cp_vs_get.py [--build DIR] [--size BYTES] [--baud RATE] [--runs N]
                             [--delivery PATTERN]

The line simulator paces the line at RATE (115200 by default) between end A,
where the service serves a folder with one random file of BYTES (256 KiB by
default), and end B, whose port hands over the bytes as PATTERN says
(quorvantix-linesim --delivery; its default when not given). Both programs
switch the line to RATE as a user would (-b, -o baud=). Each run measures,
in turn:

- get and put: the wall time of `quorvantix-customer -q -b RATE B get FILE`
  (and `put FILE COPY`), less that of the same program running `pwd` (start,
  identification, speed, one command, sign-off), as bench/compare_tools.py
  counted ours before it counted whole blocks alone;
- cp out and cp in: the wall time of `cp MOUNT/FILE .` and of
  `cp FILE MOUNT/COPY2` on a mount in the foreground, mounted before the
  clock starts (the lookup, the listing, the fetch and the reads; the writes
  and the store as the file is closed), and the CPU time of the receiving
  end meanwhile (the mount's for cp out, the service's for cp in), from
  /proc/PID/task/*/schedstat (every thread: the mount serves from several),
  as a share of that wall time.

Every copy is compared with the original. Prints one line per run and the
ratio of the two rates (get time / cp time: 100 % means cp is as fast as
get), and with several runs their median. The figures move with the load of
the machine: compare them in a quiet moment.
Needs root or a user allowed to mount with FUSE, and fusermount3.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

from benchkit import Simulator, cpu_seconds, fail, same_file, stop, timed


def one_run(build, work, baud, delivery, original):
    served, here, mountpoint = (os.path.join(work, name) for name in ("served", "here", "mnt"))
    for folder in (served, here):
        shutil.rmtree(folder, ignore_errors=True)
    for folder in (served, here, mountpoint):
        os.makedirs(folder, exist_ok=True)
    shutil.copy(original, os.path.join(served, "data.bin"))
    shutil.copy(original, os.path.join(here, "up.bin"))
    delivery_args = ["--delivery", delivery] if delivery else []
    with Simulator(build, work, ["--baud", str(baud), *delivery_args]) as line:
        return programs_and_mount(build, line, baud, original, served, here, mountpoint)


def mounted(mountpoint, limit=10.0):
    deadline = time.monotonic() + limit
    while not os.path.ismount(mountpoint):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def programs_and_mount(build, line, baud, original, served, here, mountpoint):
    """{'get', 'put', 'cp out', 'cp in': seconds}, and the receiving end's CPU share for the cps."""
    service = subprocess.Popen([os.path.join(build, "quorvantix"), line.a, "0"], cwd=served,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        customer = [os.path.join(build, "quorvantix-customer"), "-q", "-b", str(baud), line.b]
        overhead, status = timed(customer + ["pwd"], here, stdout=subprocess.DEVNULL)
        if status != 0:
            fail("the customer cannot reach the service")
        figures = {}
        for name, words, received in (("get", ["get", "data.bin"], os.path.join(here, "data.bin")),
                                      ("put", ["put", "up.bin", "up-back.bin"], os.path.join(served, "up-back.bin"))):
            seconds, status = timed(customer + words, here, stdout=subprocess.DEVNULL)
            if status != 0 or not same_file(received, original):
                fail(f"{name} did not bring the file")
            figures[name] = seconds - overhead
            os.remove(received)
        mount = subprocess.Popen([os.path.join(build, "quorvantix-mount"), "-f", "-o", f"baud={baud}", line.b,
                                  mountpoint], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if not mounted(mountpoint):
                fail("the mount failed")
            for name, source, target, receiver, received in (
                    ("cp out", os.path.join(mountpoint, "data.bin"), ".", mount, os.path.join(here, "data.bin")),
                    ("cp in", "up.bin", os.path.join(mountpoint, "cp-back.bin"), service,
                     os.path.join(served, "cp-back.bin"))):
                before = cpu_seconds(receiver.pid)
                seconds, status = timed(["cp", source, target], here)
                figures[name] = seconds
                figures[name + " cpu"] = (cpu_seconds(receiver.pid) - before) / seconds
                if status != 0 or not same_file(received, original):
                    fail(f"{name} did not bring the file")
        finally:
            subprocess.run(["fusermount3", "-u", mountpoint])
            mount.wait(timeout=20)
        return figures
    finally:
        time.sleep(0.5)  # the mount signs off after the unmount
        stop(service)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--size", type=int, default=256 * 1024)
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--delivery", help="how end B's port hands over the bytes (quorvantix-linesim --delivery)")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    with tempfile.TemporaryDirectory(prefix="mount-bench-") as work:
        original = os.path.join(work, "original.bin")
        with open(original, "wb") as out:
            out.write(os.urandom(options.size))
        port = options.delivery or "the simulator's default port"
        print(f"{options.size} bytes at {options.baud} baud through quorvantix-linesim, {port}")
        ratios = {"out": [], "in": []}
        for run in range(1, options.runs + 1):
            figures = one_run(build, work, options.baud, options.delivery, original)
            for way, program in (("out", "get"), ("in", "put")):
                ratios[way].append(figures[program] / figures[f"cp {way}"])
                print(f"run {run}: {program} {figures[program]:.2f} s "
                      f"({options.size / figures[program] / 1024:.2f} KiB/s), cp {way} "
                      f"{figures[f'cp {way}']:.2f} s ({options.size / figures[f'cp {way}'] / 1024:.2f} KiB/s, "
                      f"receiving end's CPU {100 * figures[f'cp {way} cpu']:.2f} %): "
                      f"cp at {100 * ratios[way][-1]:.1f} % of {program}", flush=True)
        if options.runs > 1:
            print(f"median: cp out at {100 * statistics.median(ratios['out']):.1f} % of get, cp in at "
                  f"{100 * statistics.median(ratios['in']):.1f} % of put; load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
