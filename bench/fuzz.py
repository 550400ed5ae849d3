#!/usr/bin/env python3
"""Runs the fuzz targets and reports what each did.

Each target of the fuzz preset (build-fuzz/fuzz/<name>_fuzz, one for every
fuzz/<name>_fuzz.cpp) runs for SECONDS on a scratch copy of its seed corpus
and its regressions (fuzz/corpus/<name>, fuzz/regressions/<name>), with the
dictionary fuzz/<name>.dict where there is one, JOBS targets at a time. The
table gives, per target, the inputs run, their rate, libFuzzer's coverage
(cov: code edges reached, ft: features, the finer measure it keeps inputs
for), the inputs its corpus grew to, and the crashes.

A crash, a leak, a time-out, a broken rule or a run that failed to start
fails the run (exit 1): the input is printed as a hex dump, with the end of
the fuzzer's report, so that it can be committed to fuzz/regressions/<name>/.

With --runs N each target instead runs N inputs from a fixed random seed,
so that a run repeats on any machine: CI does so (--runs 40000, about half a
minute for the slowest target), so that what it finds on a change is found
again before the change lands. Long runs for new findings take --seconds.

usage: bench/fuzz.py [--seconds N | --runs N] [--jobs J] [--build DIR] [--keep DIR] [TARGET...]
       (defaults: 600 s, 2 at a time, build-fuzz; every target)
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from benchkit import fail

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FUZZ = os.path.join(ROOT, "fuzz")
MAX_INPUT_BYTES = 4096
INPUT_TIME_LIMIT_S = 25  # one input that runs longer is a hang
MEMORY_LIMIT_MB = 2048
RUNS_TIME_CAP_S = 600  # a run by count that takes longer than this is cut off
REPORT_TAIL_LINES = 60
# The targets that store files sync them: on a disk that is most of their
# time, so their folders go to memory where there is a tmpfs for it.
MEMORY_FOLDER = "/dev/shm"


def targets_of(build):
    names = [os.path.basename(path)[:-len("_fuzz.cpp")] for path in glob.glob(os.path.join(FUZZ, "*_fuzz.cpp"))]
    missing = [name for name in names if not os.access(os.path.join(build, "fuzz", f"{name}_fuzz"), os.X_OK)]
    if missing:
        fail(f"not built: {', '.join(missing)} (cmake --preset fuzz && cmake --build --preset fuzz)")
    return sorted(names)


class Run:
    """One target's run in a scratch folder of its own."""

    def __init__(self, name, build, scratch, limits):
        self.name = name
        self.work = os.path.join(scratch, name)
        self.corpus = os.path.join(self.work, "corpus")
        self.artifacts = os.path.join(self.work, "artifacts") + os.sep
        self.log_path = os.path.join(self.work, "log")
        for folder in (self.corpus, self.artifacts):
            os.makedirs(folder, exist_ok=True)
        in_memory = os.path.isdir(MEMORY_FOLDER) and os.access(MEMORY_FOLDER, os.W_OK)
        self.tmp = tempfile.mkdtemp(prefix=f"quorvantix-fuzz-{name}-", dir=MEMORY_FOLDER if in_memory else self.work)
        for source in ("corpus", "regressions"):
            for path in glob.glob(os.path.join(FUZZ, source, name, "*")):
                shutil.copy(path, os.path.join(self.corpus, f"{source}-{os.path.basename(path)}"))
        command = [os.path.join(build, "fuzz", f"{name}_fuzz"), *limits,
                   f"-max_len={MAX_INPUT_BYTES}", f"-timeout={INPUT_TIME_LIMIT_S}", f"-rss_limit_mb={MEMORY_LIMIT_MB}",
                   "-print_final_stats=1", "-close_fd_mask=1", f"-artifact_prefix={self.artifacts}"]
        dictionary = os.path.join(FUZZ, f"{name}.dict")
        if os.path.exists(dictionary):
            command.append(f"-dict={dictionary}")
        command.append(self.corpus)
        self.log = open(self.log_path, "w")
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=self.log,
                                        env=dict(os.environ, TMPDIR=self.tmp))
        self.status = None

    def poll(self):
        if self.status is None:
            self.status = self.process.poll()
            if self.status is not None:
                self.log.close()
                shutil.rmtree(self.tmp, ignore_errors=True)
        return self.status is not None

    def text(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def findings(self):
        return sorted(glob.glob(self.artifacts + "*"))

    def row(self):
        text = self.text()
        stats = dict(re.findall(r"^stat::(\w+):\s+(\d+)", text, re.M))
        progress = re.findall(r"cov: (\d+) ft: (\d+) corp: (\d+)", text)
        cov, ft, corpus = progress[-1] if progress else ("?", "?", "?")
        executions = stats.get("number_of_executed_units") or (re.findall(r"^#(\d+)", text, re.M) or ["?"])[-1]
        rate = stats.get("average_exec_per_sec", "?")
        return [self.name, executions, rate, cov, ft, corpus, str(len(self.findings()))]


def hexdump(data):
    lines = []
    for offset in range(0, len(data), 16):
        chunk = data[offset:offset + 16]
        hex_part = " ".join(f"{byte:02x}" for byte in chunk)
        text = "".join(chr(byte) if 32 <= byte < 127 else "." for byte in chunk)
        lines.append(f"{offset:08x}: {hex_part:<47}  {text}")
    return "\n".join(lines)


def report_failure(run):
    print(f"\n=== {run.name}: the fuzzer ended with status {run.status}; the end of its report:")
    print("\n".join(run.text().splitlines()[-REPORT_TAIL_LINES:]))
    for path in run.findings():
        with open(path, "rb") as finding:
            data = finding.read()
        print(f"--- {os.path.basename(path)} ({len(data)} bytes); as fuzz/regressions/{run.name}/NAME it replays in the tests:")
        print(hexdump(data))


def table(rows):
    header = ["target", "executions", "exec/s", "cov", "ft", "corpus", "crashes"]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i]) for i, cell in enumerate(row)))


def run_all(names, build, scratch, limits, jobs):
    waiting, running, done = list(names), [], []
    try:
        while waiting or running:
            while waiting and len(running) < jobs:
                running.append(Run(waiting.pop(0), build, scratch, limits))
            time.sleep(0.5)
            for run in [run for run in running if run.poll()]:
                running.remove(run)
                done.append(run)
    except KeyboardInterrupt:
        for run in running:
            run.process.terminate()
            run.process.wait()
            run.poll()
        fail("interrupted")
    return sorted(done, key=lambda run: run.name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=int, default=600, help="how long each target runs (default 600)")
    parser.add_argument("--runs", type=int, help="inputs each target runs from a fixed seed, in place of --seconds")
    parser.add_argument("--jobs", type=int, default=2, help="targets run at a time (default 2)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-fuzz"), help="the fuzz preset's build folder")
    parser.add_argument("--keep", help="leave each target's corpus, log and findings in this folder")
    parser.add_argument("targets", nargs="*", help="the targets to run (default: all)")
    args = parser.parse_args()
    if args.seconds < 1 or args.jobs < 1 or (args.runs is not None and args.runs < 1):
        fail("--seconds, --runs and --jobs take numbers from 1")
    if args.runs is None:
        limits, measure = [f"-max_total_time={args.seconds}"], f"{args.seconds} s a target"
    else:
        limits, measure = ["-seed=1", f"-runs={args.runs}", f"-max_total_time={RUNS_TIME_CAP_S}"], f"{args.runs} inputs a target from seed 1"
    names = targets_of(args.build)
    unknown = [name for name in args.targets if name not in names]
    if unknown:
        fail(f"no such target: {', '.join(unknown)} (there are {', '.join(names)})")
    scratch = args.keep or tempfile.mkdtemp(prefix="quorvantix-fuzz-")
    os.makedirs(scratch, exist_ok=True)
    try:
        runs = run_all(args.targets or names, args.build, scratch, limits, args.jobs)
        print(f"{measure}, {args.jobs} at a time:")
        table([run.row() for run in runs])
        failed = [run for run in runs if run.status != 0 or run.findings()]
        for run in failed:
            report_failure(run)
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
