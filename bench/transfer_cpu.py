#!/usr/bin/env python3
"""CPU time of the two ends of a transfer: a get and a put through the line
simulator, and what the service and the customer program each use meanwhile.

    bench/transfer_cpu.py [--build DIR] [--size BYTES] [--baud N] [--delivery PATTERN]

The service runs on end A of build/quorvantix-linesim (following the ends'
speeds; its ports handing over the bytes as PATTERN says, the simulator's
default when not given), the customer program on end B with `baud N ; get FILE` and then
`baud N ; put FILE` (defaults: 256 KiB at 115200 baud). For each it prints
the receiving and the sending end's CPU time (user + system) as a share of
the customer's wall time:
  service   - from /proc/PID/stat (clock ticks) and /proc/PID/schedstat
              (nanoseconds), read before the customer starts and after it ends;
  customer  - from its resource usage at exit (wait4: the same user and
              system time as /proc/PID/stat, in microseconds), start-up,
              identification and speed change included;
  simulator - from /proc/PID/stat and schedstat, as the service.
"""

import argparse
import os
import subprocess
import tempfile
import time

from benchkit import Simulator, fail, schedstat_seconds, stat_seconds, stop


class Sampled:
    """CPU seconds of a running process over a stretch of time, both ways of counting."""

    def __init__(self, pid):
        self.pid = pid
        self.stat = -stat_seconds(pid)
        start = schedstat_seconds(pid)
        self.schedstat = -start if start is not None else None

    def stop(self):
        self.stat += stat_seconds(self.pid)
        end = schedstat_seconds(self.pid)
        self.schedstat = self.schedstat + end if self.schedstat is not None and end is not None else None


def run_customer(command, cwd):
    """Wall seconds and CPU seconds (user + system) of a customer run, and its exit status."""
    start = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return time.monotonic() - start, usage.ru_utime + usage.ru_stime, process.returncode


def share(seconds, wall):
    return f"{100 * seconds / wall:6.3f} %"


def measure(build, work, size, baud, delivery):
    service_dir = os.path.join(work, "service")
    customer_dir = os.path.join(work, "customer")
    for directory in (service_dir, customer_dir):
        os.mkdir(directory)
    with open(os.path.join(service_dir, "down.bin"), "wb") as out:
        out.write(os.urandom(size))
    with open(os.path.join(customer_dir, "up.bin"), "wb") as out:
        out.write(os.urandom(size))
    with Simulator(build, work, ["--delivery", delivery] if delivery else []) as line:
        service = subprocess.Popen([os.path.join(build, "quorvantix"), line.a, "0"], cwd=service_dir,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            measure_both(build, line, service, size, baud, service_dir, customer_dir)
        finally:
            stop(service)


def measure_both(build, line, service, size, baud, service_dir, customer_dir):
    time.sleep(0.5)
    customer = [os.path.join(build, "quorvantix-customer"), "-q", line.b, "baud", str(baud), ";"]
    print(f"{size} bytes at {baud} baud; CPU time as a share of the customer's wall time, the whole "
          f"program's (its share of the line rate in brackets)")
    print(f"{'':4} {'wall':>8} {'':>8}  {'receiving end':>32}  {'sending end':>32}  {'simulator':>10}")
    for direction, words, received in (("get", ["get", "down.bin"], os.path.join(customer_dir, "down.bin")),
                                       ("put", ["put", "up.bin", "back.bin"], os.path.join(service_dir, "back.bin"))):
        service_cpu, simulator_cpu = Sampled(service.pid), Sampled(line.process.pid)
        wall, customer_cpu, status = run_customer(customer + words, customer_dir)
        service_cpu.stop()
        simulator_cpu.stop()
        if status != 0 or os.path.getsize(received) != size:
            fail(f"the {direction} failed (customer exit status {status})")
        service_text = f"service {share(service_cpu.stat, wall)}"
        if service_cpu.schedstat is not None:
            service_text += f" ({share(service_cpu.schedstat, wall).strip()})"
        customer_text = f"customer {share(customer_cpu, wall)}"
        receiving, sending = (customer_text, service_text) if direction == "get" else (service_text, customer_text)
        line_share = f"({100 * size / wall / (baud / 10):.1f} %)"
        print(f"{direction:4} {wall:7.2f}s {line_share:>8}  {receiving:>32}  {sending:>32}  "
              f"{share(simulator_cpu.stat, wall):>10}")
    print("service: /proc/PID/stat (schedstat in brackets); customer: wait4 at its exit")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--size", type=int, default=256 << 10, help="bytes of each file")
    parser.add_argument("--baud", type=int, default=115200, help="line speed of the transfers")
    parser.add_argument("--delivery", help="how the ends' ports hand over the bytes (quorvantix-linesim --delivery)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    for program in ("quorvantix", "quorvantix-customer", "quorvantix-linesim"):
        if not os.access(os.path.join(build, program), os.X_OK):
            fail(f"{os.path.join(build, program)} is missing: build first")
    # Device names have at most 29 characters: the ends live in a short directory.
    with tempfile.TemporaryDirectory(prefix="qvc-", dir="/tmp") as work:
        measure(build, work, args.size, args.baud, args.delivery)


if __name__ == "__main__":
    main()
