#!/usr/bin/env python3
"""cp of a file out of quorvantix-mount against quorvantix-customer get of
the same file, on the same simulated line, in the same run.

    bench/mount_cp_vs_get.py [--build DIR] [--size BYTES] [--baud RATE] [--runs N]

The line simulator paces the line at RATE (115200 by default) between end A,
where the service serves a folder with one random file of BYTES (256 KiB by
default), and end B. Both programs switch the line to RATE as a user would
(-b, -o baud=). Each run measures, in turn:

- get: the wall time of `quorvantix-customer -q -b RATE B get FILE`, less
  that of the same program running `pwd` (start, identification, speed,
  one command, sign-off), as bench/compare_tools.py counts ours;
- cp: the wall time of `cp MOUNT/FILE .` on a fresh mount (mounted before
  the clock starts): the lookup, the listing, the fetch and the reads.

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

from benchkit import Simulator, fail, same_file, stop, timed


def one_run(build, work, baud, original):
    served, here, mountpoint = (os.path.join(work, name) for name in ("served", "here", "mnt"))
    for folder in (served, here):
        shutil.rmtree(folder, ignore_errors=True)
    for folder in (served, here, mountpoint):
        os.makedirs(folder, exist_ok=True)
    shutil.copy(original, os.path.join(served, "data.bin"))
    with Simulator(build, work, ["--baud", str(baud)]) as line:
        return get_and_cp(build, line, baud, original, served, here, mountpoint)


def get_and_cp(build, line, baud, original, served, here, mountpoint):
    service = subprocess.Popen([os.path.join(build, "quorvantix"), line.a, "0"], cwd=served,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        customer = [os.path.join(build, "quorvantix-customer"), "-q", "-b", str(baud), line.b]
        overhead, status = timed(customer + ["pwd"], here, stdout=subprocess.DEVNULL)
        if status != 0:
            fail("the customer cannot reach the service")
        seconds, status = timed(customer + ["get", "data.bin"], here, stdout=subprocess.DEVNULL)
        if status != 0 or not same_file(os.path.join(here, "data.bin"), original):
            fail("get did not bring the file")
        get_seconds = seconds - overhead
        os.remove(os.path.join(here, "data.bin"))
        mount = [os.path.join(build, "quorvantix-mount"), "-o", f"baud={baud}", line.b, mountpoint]
        if subprocess.run(mount).returncode:
            fail("the mount failed")
        try:
            cp_seconds, status = timed(["cp", os.path.join(mountpoint, "data.bin"), "."], here)
        finally:
            subprocess.run(["fusermount3", "-u", mountpoint])
        if status != 0 or not same_file(os.path.join(here, "data.bin"), original):
            fail("cp did not bring the file")
        return get_seconds, cp_seconds
    finally:
        time.sleep(0.5)  # the mount signs off after the unmount
        stop(service)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--size", type=int, default=256 * 1024)
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--runs", type=int, default=1)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    with tempfile.TemporaryDirectory(prefix="mount-bench-") as work:
        original = os.path.join(work, "original.bin")
        with open(original, "wb") as out:
            out.write(os.urandom(options.size))
        print(f"{options.size} bytes at {options.baud} baud through quorvantix-linesim")
        ratios = []
        for run in range(1, options.runs + 1):
            get_seconds, cp_seconds = one_run(build, work, options.baud, original)
            ratios.append(get_seconds / cp_seconds)
            print(f"run {run}: get {get_seconds:.2f} s ({options.size / get_seconds / 1024:.2f} KiB/s), "
                  f"cp out of the mount {cp_seconds:.2f} s ({options.size / cp_seconds / 1024:.2f} KiB/s): "
                  f"cp at {100 * ratios[-1]:.1f} % of get", flush=True)
        if len(ratios) > 1:
            print(f"median: cp at {100 * statistics.median(ratios):.1f} % of get; load average "
                  f"{os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
