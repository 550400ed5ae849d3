"""What the benchmark scripts share: the simulated line, timing a command,
checking a received file, and the CPU time the kernel counts for a process."""

import collections
import os
import signal
import subprocess
import sys
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
TRANSFER_LIMIT_S = 900


def fail(message):
    print(f"{os.path.basename(sys.argv[0]).removesuffix('.py')}: {message}", file=sys.stderr)
    sys.exit(1)


def stop(process):
    process.send_signal(signal.SIGTERM)
    process.wait()


def wait_for_paths(paths, limit=5.0):
    deadline = time.monotonic() + limit
    while not all(os.path.exists(path) for path in paths):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class Simulator:
    """build/quorvantix-linesim between end A and end B, for one measurement.
    What it prints as it ends (its summary, the turnarounds asked for) is in
    `output` once it is closed."""

    def __init__(self, build, work, simulator_args=()):
        self.a = os.path.join(work, "A")
        self.b = os.path.join(work, "B")
        self.output = ""
        self.process = subprocess.Popen(
            [os.path.join(build, "quorvantix-linesim"), "--a", self.a, "--b", self.b, "--quiet", *simulator_args],
            stdout=subprocess.PIPE, text=True)
        if not wait_for_paths([self.a, self.b]):
            self.close()
            fail("the line simulator did not start")

    def close(self):
        if self.process.returncode is None:
            self.process.send_signal(signal.SIGTERM)
            self.output = self.process.communicate()[0]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def timed(command, cwd=None, **kwargs):
    """Wall seconds of a command and its exit status."""
    start = time.monotonic()
    result = subprocess.run(command, cwd=cwd, timeout=TRANSFER_LIMIT_S, **kwargs)
    return time.monotonic() - start, result.returncode


def same_file(path, original):
    if not os.path.exists(path):
        return False
    with open(path, "rb") as received, open(original, "rb") as sent:
        return received.read() == sent.read()


def stat_seconds(pid):
    """User + system CPU seconds from /proc/PID/stat, in clock ticks."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def threads_of(pid):
    """The /proc directories of the process's threads: its scheduler figures are per thread."""
    task = f"/proc/{pid}/task"
    return [os.path.join(task, tid) for tid in os.listdir(task)]


def cpu_seconds(pid):
    """Time on a CPU: to the nanosecond where the kernel keeps scheduler statistics, else in clock ticks."""
    seconds = schedstat_seconds(pid)
    return seconds if seconds is not None else stat_seconds(pid)


def wakeups(pid):
    """How often the process's threads have given up the CPU to wait (voluntary context switches)."""
    total = 0
    for thread in threads_of(pid):
        with open(os.path.join(thread, "status")) as status:
            total += sum(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches:"))
    return total


class Spent(collections.namedtuple("Spent", "cpu wakeups")):
    """CPU seconds and wake-ups; the difference of two readings is what was spent between."""

    def __sub__(self, other):
        return Spent(self.cpu - other.cpu, self.wakeups - other.wakeups)


def schedstat_seconds(pid):
    """Time on a CPU of all the process's threads (a mount serves from several), to the
    nanosecond, where the kernel keeps scheduler statistics; else None."""
    try:
        total = 0
        for thread in threads_of(pid):
            with open(os.path.join(thread, "schedstat")) as schedstat:
                total += int(schedstat.read().split()[0])
        return total / 1e9
    except (OSError, ValueError, IndexError):
        return None