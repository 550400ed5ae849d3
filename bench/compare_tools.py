#!/usr/bin/python3
# Debian's python3, where python3-matplotlib installs its module.
"""Our get and put against ZMODEM (lrzsz) and Kermit (C-Kermit) on every kind
of port the line simulator models, at 9600, 115200 and 921600 baud: the same
simulated ports, the same random files, one run.

    bench/compare_tools.py [--build DIR] [--quick] [--seconds S] [--runs N]
                           [--ports P,...] [--speeds N,...] [--latency-ms N]
                           [--plot PATH] [--work-dir DIR] [--cpus N,...]
                           [--json PATH] [--from-json PATH]

A port is a delivery pattern of build/quorvantix-linesim (--delivery): byte,
fifo:8, usb:62,1, usb:62,16, usb:32,16, tick:20 and burst; each at each speed
is one row, the simulator following the speed each end sets. A file takes
--seconds (5; 2 with --quick) at the line rate, in whole KiB (4 at least)
and one byte. --quick measures every port at 115200 and the byte port at 9600 and
921600: nine rows in a few minutes. --latency-ms adds a network hop's delay
each way to every row.

On each row:
- the ceiling of stop and wait on that port, computed from the port's
  pattern with ends that take no time (bench/pattern_ceiling), and at 115200
  baud and above also measured through the simulator with two bare processes
  ping-ponging 1027-byte frames and 1-byte answers (bench/stop_and_wait_ceiling);
- our get (the service on end A sends, the customer program on end B
  receives) and put (the other way), on one simulator: the wall time of
  `quorvantix-customer -q B baud N ; get FILE` less that of the same command
  for a file of one byte (the start, the session, the command, the last
  block and the commit of its file to disk, which a file of any size pays
  once; the one-byte file's copy is removed first, since a put lists the
  service's folder, one more entry of which would cost the run a frame): the
  pace of its whole blocks; the receiving end's CPU time (user + system, the
  customer's from wait4, the service's from /proc/PID/schedstat) less the
  same end's for the one-byte file, as a share of that net wall time, and
  how often it woke a block (its voluntary context switches, from wait4 and
  /proc/PID/status, less the one-byte file's, by the file's whole KiB); and
  the ACK delay, from the last byte of a block handed to the receiving end to
  its answer taken in by the simulator (--turnarounds=1000: the answers to
  blocks only, the last block's too, which waits for its file to be on disk);
- sz/rz and kermit both ways, the peers' figure the wall time of the sender,
  its handshakes included, which ends once the receiver has confirmed the
  whole file (rz then waits for the sender's last two bytes, which sz
  sometimes loses as it exits on a pseudo-terminal: a receiver still there
  5 s after its sender is stopped, and the file compared).

Each transfer and each measured ceiling runs --runs times (2; 1 with
--quick), and the fastest run counts, with its own CPU figure: on a shared
or virtual machine a run now and then loses a few points (the ACK delays
are those of every run). --cpus 0 keeps the script and all it starts on
one CPU: a virtual machine whose host now and then holds a CPU just woken
from idle costs any reader that sleeps through a block, ours or a bare
one, up to 13 points at 921600 on two CPUs (docs/benchmarks.md). Every
received file is compared with its original. The goal of a row: at
9600 and 115200 baud, both our get and our put at 98.5 % of the line rate or
more, or 99 % of the computed ceiling where the port's own delays hold stop
and wait below 99.5 % of the line rate; at 921600, 99 % of the measured
ceiling. Prints one Markdown table and the machine's load average before and
after, and draws the figures as one plot (python3-matplotlib). Installs
nothing: a tool that is not there gets cells that say so.
"""

import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import termios
import time

from benchkit import TRANSFER_LIMIT_S, Simulator, Spent, cpu_seconds, fail, same_file, timed, wakeups

PORTS = ("byte", "fifo:8", "usb:62,1", "usb:62,16", "usb:32,16", "tick:20", "burst")
SPEEDS = (9600, 115200, 921600)
QUICK_ROWS = [(port, 115200) for port in PORTS] + [("byte", 9600), ("byte", 921600)]
KERMIT_SETTINGS = ("set carrier-watch off, set flow none, set parity none, set file type binary, "
                   "fast, set delay 0, set transfer display none")
RECEIVER_SETTLE_S = 0.5
RECEIVER_GRACE_S = 5
SERVICE_START_S = 0.5
SMALLEST_FILE_KIB = 4
# Answers to at least this many bytes are a block's ACK, not a command's.
BLOCK_ANSWER_BYTES = 1000
LEAST_CEILING_ROUNDS = 8
PEERS = (("zmodem", "ZMODEM", ("sz", "rz"), "lrzsz"), ("kermit", "Kermit", ("kermit",), "ckermit"))


def note(message):
    print(f"compare_tools: {message}", file=sys.stderr)


class Row:
    """One port at one speed, with the file it carries."""

    def __init__(self, port, baud, size, latency_ms):
        self.port, self.baud, self.size, self.latency_ms = port, baud, size, latency_ms

    def simulator_args(self):
        args = ["--delivery", self.port]
        return args + ["--latency-ms", str(self.latency_ms)] if self.latency_ms else args

    def line_rate(self):
        """Bytes per second, 8N1."""
        return self.baud / 10

    def label(self):
        return f"{self.port} at {self.baud}"


def fresh_dir(work, name):
    path = os.path.join(work, name)
    shutil.rmtree(path, ignore_errors=True)
    os.mkdir(path)
    return path


def payload_rate(output):
    """The bytes/s of a ceiling program's line "...: R bytes/s of payload..."."""
    return float(re.search(r"([0-9.]+) bytes/s of payload", output).group(1))


# --- The ceilings ---

def computed_ceiling(build, row):
    out = subprocess.run([os.path.join(build, "bench", "pattern_ceiling"), row.port, str(row.baud), "200",
                          str(row.latency_ms)], capture_output=True, text=True, check=True)
    return payload_rate(out.stdout)


def measured_ceiling(build, work, row, seconds, computed, runs):
    """The best of `runs` runs of two bare ends, as ours and the peers' figures are."""
    rounds = max(LEAST_CEILING_ROUNDS, math.ceil(seconds * computed / 1024))
    rates = []
    with Simulator(build, work, row.simulator_args()) as line:
        for _ in range(runs):
            out = subprocess.run([os.path.join(build, "bench", "stop_and_wait_ceiling"), line.a, line.b,
                                  str(rounds), str(row.baud)], capture_output=True, text=True,
                                 timeout=TRANSFER_LIMIT_S)
            if out.returncode != 0:
                fail(f"{row.label()}: stop_and_wait_ceiling: {out.stderr.strip()}")
            rates.append(payload_rate(out.stdout))
    return max(rates)


# --- Ours ---

def run_customer(command, cwd):
    """Wall seconds, what the run spent (CPU seconds, user + system, and
    wake-ups) and the exit status of one customer run."""
    start = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    spent = Spent(usage.ru_utime + usage.ru_stime, usage.ru_nvcsw)
    return time.monotonic() - start, spent, os.waitstatus_to_exitcode(status)


def spent_by(pid):
    return Spent(cpu_seconds(pid), wakeups(pid))


def answer_delays(output, end):
    """(median, 90th percentile) in ms of end's answers, from the simulator's --turnarounds lines."""
    found = re.search(rf"linesim: {end} answered \d+ times: median ([0-9.]+) ms, 90 % within ([0-9.]+) ms", output)
    return (float(found.group(1)), float(found.group(2))) if found else None


def ours(build, work, row, original, runs):
    """{'get': {...}, 'put': {...}}: seconds, ok, the receiving end's CPU share and its ACK delays,
    of the fastest of `runs` runs each way ('spread': every run's seconds)."""
    service_dir = fresh_dir(work, "service")
    customer_dir = fresh_dir(work, "customer")
    for directory in (service_dir, customer_dir):
        shutil.copy(original, os.path.join(directory, "data.bin"))
        with open(os.path.join(directory, "one.bin"), "wb") as one:
            one.write(b"1")
    customer = [os.path.join(build, "quorvantix-customer"), "-q"]
    results = {}
    line = Simulator(build, work, row.simulator_args() + [f"--turnarounds={BLOCK_ANSWER_BYTES}"])
    try:
        service = subprocess.Popen([os.path.join(build, "quorvantix"), line.a, "0"], cwd=service_dir,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(SERVICE_START_S)
        try:
            def run(*words):
                service_before = spent_by(service.pid)
                wall, customer_spent, status = run_customer(
                    customer + [line.b, "baud", str(row.baud), ";", *words], customer_dir)
                return wall, customer_spent, spent_by(service.pid) - service_before, status

            def once(direction, command, received):
                # A one-byte file's transfer: the start, the session, the command, its file's commit.
                overhead = run(command, "one.bin", "one-back.bin")
                # The receiving folder as it was: a put lists the service's folder
                # first, and one more entry there would cost the file's run its time.
                os.remove(received("one-back.bin"))
                wall, customer_spent, service_spent, status = run(command, "data.bin", "data-back.bin")
                if overhead[3] != 0:
                    fail(f"{row.label()}: a one-byte {command} failed")
                seconds = wall - overhead[0]
                receiving = customer_spent - overhead[1] if direction == "get" else service_spent - overhead[2]
                ok = status == 0 and same_file(received("data-back.bin"), original)
                os.remove(received("data-back.bin"))
                return {"seconds": seconds, "cpu": max(receiving.cpu, 0) / seconds,
                        "wakeups": receiving.wakeups / (row.size // 1024), "ok": ok}

            for direction, command, received in (
                    ("get", "get", lambda name: os.path.join(customer_dir, name)),
                    ("put", "put", lambda name: os.path.join(service_dir, name))):
                tries = [once(direction, command, received) for _ in range(runs)]
                results[direction] = dict(min(tries, key=lambda t: t["seconds"]),
                                          ok=all(t["ok"] for t in tries),
                                          spread=[t["seconds"] for t in tries])
            subprocess.run(customer + [line.b, "shutdown"], stdout=subprocess.DEVNULL, timeout=60)
            service.wait(timeout=10)
        finally:
            if service.poll() is None:
                service.kill()
                service.wait()
    finally:
        line.close()
    results["get"]["ack"] = answer_delays(line.output, "B")
    results["put"]["ack"] = answer_delays(line.output, "A")
    return results


# --- The peers ---

def pair(build, work, row, original, sender, receiver, a_to_b):
    """Runs a receiving program and a sending program on the two ends; both
    take the end's path. Returns {'seconds', 'ok'}, or None when they hang."""
    receive_dir = fresh_dir(work, "received")
    with Simulator(build, work, row.simulator_args()) as line:
        send_end, receive_end = (line.a, line.b) if a_to_b else (line.b, line.a)
        receiving = receiver(receive_end, receive_dir)
        # The receiver sets its line up first, as a person starting it first would.
        time.sleep(RECEIVER_SETTLE_S)
        start = time.monotonic()
        sending = sender(send_end, original)
        try:
            # The sender ends once the receiver has confirmed the whole file.
            sending.wait(timeout=TRANSFER_LIMIT_S)
            seconds = time.monotonic() - start
        except subprocess.TimeoutExpired:
            sending.kill()
            sending.wait()
            seconds = None
        try:
            receiving.wait(timeout=RECEIVER_GRACE_S)
        except subprocess.TimeoutExpired:
            receiving.terminate()
            receiving.wait()
    if seconds is None:
        return None
    ok = sending.returncode == 0 and same_file(os.path.join(receive_dir, os.path.basename(original)), original)
    return {"seconds": seconds, "ok": ok}


def set_tty_speed(fd, baud):
    """What `stty -F PATH BAUD` does, for programs that take the speed they find."""
    speed = getattr(termios, f"B{baud}", None)
    if speed is None:
        fail(f"this Python's termios has no B{baud}")
    settings = termios.tcgetattr(fd)
    settings[4] = settings[5] = speed
    termios.tcsetattr(fd, termios.TCSANOW, settings)


def on_tty(command, path, baud, cwd=None):
    tty = open(path, "r+b", buffering=0)
    try:
        set_tty_speed(tty.fileno(), baud)
        return subprocess.Popen(command, stdin=tty, stdout=tty, stderr=subprocess.DEVNULL, cwd=cwd)
    finally:
        tty.close()


def zmodem(build, work, row, original, a_to_b):
    return pair(build, work, row, original,
                lambda end, path: on_tty(["sz", "-b", "-q", path], end, row.baud),
                lambda end, directory: on_tty(["rz", "-b", "-y", "-q"], end, row.baud, cwd=directory),
                a_to_b)


def kermit(build, work, row, original, a_to_b):
    def run(end, action, cwd=None):
        return subprocess.Popen(
            ["kermit", "-Y", "-B", "-H", "-C",
             f"set line {end}, set speed {row.baud}, {KERMIT_SETTINGS}, {action}, exit"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=cwd)

    return pair(build, work, row, original,
                lambda end, path: run(end, f"send {path}"),
                lambda end, directory: run(end, "receive", cwd=directory),
                a_to_b)


def installed(programs):
    return all(shutil.which(program) for program in programs)


# --- One row ---

def measure_row(build, work, row, seconds, runs):
    """Every figure of one row, each the best of `runs` runs: rates in bytes/s, or None where a transfer failed."""
    original = os.path.join(work, "original.bin")
    with open(original, "wb") as out:
        out.write(os.urandom(row.size))
    result = {"port": row.port, "baud": row.baud, "size": row.size, "latency_ms": row.latency_ms}
    result["computed"] = computed_ceiling(build, row)
    if row.baud >= 115200:
        note(f"{row.label()}: stop-and-wait ceiling ...")
        result["measured"] = measured_ceiling(build, work, row, min(seconds, 2), result["computed"], runs)
    note(f"{row.label()}: our get and put ...")
    for direction, figures in ours(build, work, row, original, runs).items():
        result[direction] = dict(figures, rate=(row.size - 1) / figures["seconds"] if figures["ok"] else None)
    for key, _, programs, _ in PEERS:
        if not installed(programs):
            continue
        measure = zmodem if key == "zmodem" else kermit
        for where, a_to_b in (("a2b", True), ("b2a", False)):
            note(f"{row.label()}: {key} {where} ...")
            outcomes = [measure(build, work, row, original, a_to_b) for _ in range(runs)]
            good = [outcome["seconds"] for outcome in outcomes if outcome and outcome["ok"]]
            result[f"{key} {where}"] = row.size / min(good) if good else None
    return result


def goal_of(result):
    """The least rate both our directions must reach, and what it is a share of."""
    line_rate = result["baud"] / 10
    if result["baud"] >= 921600 and result.get("measured"):
        return 0.99 * result["measured"], "99 % of the measured ceiling"
    if 0.99 * result["computed"] < 0.985 * line_rate:
        return 0.99 * result["computed"], "99 % of the computed ceiling"
    return 0.985 * line_rate, "98.5 % of the line rate"


def file_size_for(baud, seconds):
    """Whole KiB and a byte: against the one-byte file, whole blocks alone make the difference."""
    kib = math.ceil(baud / 10 * seconds / 1024)
    return max(SMALLEST_FILE_KIB, kib) * 1024 + 1


def rows_to_measure(args):
    if args.ports or args.speeds or not args.quick:
        ports = args.ports or PORTS
        speeds = [int(speed) for speed in args.speeds.split(",")] if args.speeds else SPEEDS
        pairs = [(port, baud) for baud in speeds for port in ports]
    else:
        pairs = QUICK_ROWS
    return [Row(port, baud, file_size_for(baud, args.seconds), args.latency_ms) for port, baud in pairs]


# --- The table and the plot ---

def share(rate, of):
    return f"{100 * rate / of:.1f} %"


def ours_cell(result, direction):
    figures = result[direction]
    if figures["rate"] is None:
        return "failed"
    return f"{share(figures['rate'], result['baud'] / 10)} ({share(figures['rate'], result['computed'])})"


def peer_cell(result, key):
    if not installed(next(programs for k, _, programs, _ in PEERS if k == key)) and f"{key} a2b" not in result:
        return "not installed"
    cells = [result.get(f"{key} {where}") for where in ("a2b", "b2a")]
    return " / ".join("failed" if rate is None else f"{100 * rate / (result['baud'] / 10):.1f}" for rate in cells) + " %"


def goal_cell(result):
    goal, _ = goal_of(result)
    rates = [result[direction]["rate"] for direction in ("get", "put")]
    met = all(rate is not None and rate >= goal for rate in rates)
    return f"{share(goal, result['baud'] / 10)}: {'met' if met else 'MISSED'}"


def ack_cell(result):
    delays = [result[direction]["ack"] for direction in ("get", "put")]
    if any(delay is None for delay in delays):
        return "?"
    return f"{delays[0][0]:.2f} / {delays[1][0]:.2f} ({delays[0][1]:.2f} / {delays[1][1]:.2f})"


def versus_zmodem(result):
    ratios = []
    for direction, where in (("get", "a2b"), ("put", "b2a")):
        ours_rate, peer = result[direction]["rate"], result.get(f"zmodem {where}")
        if ours_rate is None or not peer:
            return ""
        ratios.append(f"{ours_rate / peer:.2f}")
    return " / ".join(ratios)


def table_lines(results):
    lines = ["| port | baud | file | ceiling computed / measured | ours get | ours put | goal | "
             "receiving end's CPU get / put (wake-ups a block) | ACK delay get / put, ms: median (90 %) | "
             "ZMODEM A → B / B → A | Kermit A → B / B → A | ours ÷ ZMODEM |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for result in results:
        line_rate = result["baud"] / 10
        measured = share(result["measured"], line_rate) if result.get("measured") else "–"
        cpu = " / ".join(f"{100 * result[d]['cpu']:.2f}" for d in ("get", "put")) + " %"
        if "wakeups" in result["get"]:
            cpu += " (" + " / ".join(f"{result[d]['wakeups']:.1f}" for d in ("get", "put")) + ")"
        lines.append(f"| {result['port']} | {result['baud']} | {result['size'] >> 10} KiB | "
                     f"{share(result['computed'], line_rate)} / {measured} | {ours_cell(result, 'get')} | "
                     f"{ours_cell(result, 'put')} | {goal_cell(result)} | {cpu} | {ack_cell(result)} | "
                     f"{peer_cell(result, 'zmodem')} | {peer_cell(result, 'kermit')} | {versus_zmodem(result)} |")
    return lines


def draw(results, path):
    """One panel per speed: each port's rates as a share of the line rate,
    ours and the peers' side by side, the computed ceiling as a black mark
    and the measured one as a grey mark."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        note("python3-matplotlib is not installed (apt-get install python3-matplotlib): no plot")
        return
    speeds = sorted({result["baud"] for result in results})
    height = 3.4 * len(speeds) + 0.9  # inches, 0.9 of them for the title and the legend
    figure, panels = plt.subplots(len(speeds), 1, figsize=(12, height), squeeze=False)
    bars = (("get", "ours get (A → B)"), ("put", "ours put (B → A)"), ("zmodem a2b", "ZMODEM A → B"),
            ("zmodem b2a", "ZMODEM B → A"), ("kermit a2b", "Kermit A → B"))
    width = 0.8 / len(bars)
    for panel, baud in zip(panels[:, 0], speeds):
        row_results = [result for result in results if result["baud"] == baud]
        for index, (key, heading) in enumerate(bars):
            values = []
            for result in row_results:
                rate = result[key]["rate"] if key in ("get", "put") else result.get(key)
                values.append(100 * rate / (baud / 10) if rate else 0)
            positions = [x + (index - (len(bars) - 1) / 2) * width for x in range(len(row_results))]
            panel.bar(positions, values, width, label=heading, color=f"C{index}")
        for x, result in enumerate(row_results):
            panel.plot([x - 0.45, x + 0.45], [100 * result["computed"] / (baud / 10)] * 2, "k-", linewidth=2,
                       label="stop-and-wait ceiling, computed" if x == 0 else None)
            if result.get("measured"):
                panel.plot([x - 0.45, x + 0.45], [100 * result["measured"] / (baud / 10)] * 2, color="grey",
                           linestyle="--", label="stop-and-wait ceiling, measured" if x == 0 else None)
        panel.set_xticks(range(len(row_results)))
        panel.set_xticklabels([result["port"] for result in row_results])
        panel.set_ylim(0, 105)
        panel.set_ylabel("% of the line rate")
        panel.set_title(f"{baud} baud", fontsize=10)
        panel.grid(True, axis="y", alpha=0.3)
    handles, labels = panels[0, 0].get_legend_handles_labels()
    figure.legend(handles, labels, fontsize=8, loc="upper center", ncol=4, bbox_to_anchor=(0.5, 1 - 0.35 / height))
    figure.suptitle("File transfer through quorvantix-linesim, by the kind of port that hands over the bytes",
                    y=1 - 0.1 / height)
    figure.tight_layout(rect=(0, 0, 1, 1 - 0.9 / height))
    figure.savefig(path, dpi=90)
    note(f"plot written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--seconds", type=float, default=5, help="line-rate seconds of a row's file")
    parser.add_argument("--quick", action="store_true",
                        help="every port at 115200 and the byte port at 9600 and 921600, 2 s files")
    parser.add_argument("--ports", help="measure these ports only, e.g. byte,usb:32,16 (with --speeds: all speeds)")
    parser.add_argument("--speeds", help="measure these speeds only, e.g. 115200")
    parser.add_argument("--runs", type=int, help="runs of each transfer and ceiling, the fastest counting "
                        "(2; 1 with --quick): on a shared machine one run may lose a few points")
    parser.add_argument("--latency-ms", type=int, default=0, help="a network hop's delay each way on every row")
    parser.add_argument("--plot", help="where the PNG goes (bench/compare_tools.png; with --quick none unless given)")
    parser.add_argument("--work-dir", default="/tmp",
                        help="where the ends' folders and the simulator's links live (/dev/shm: no disk commit "
                        "in the figures)")
    parser.add_argument("--cpus", help="run the benchmark and every process it starts on these CPUs only, "
                        "e.g. 0 (on a virtual machine whose host holds a CPU just woken from idle)")
    parser.add_argument("--json", help="also write every figure to this file")
    parser.add_argument("--from-json", help="measure nothing: print and draw what this file holds")
    args = parser.parse_args()
    # "usb:N,MS" holds a comma of its own.
    args.ports = re.findall(r"usb:\d+,\d+|[^,]+", args.ports) if args.ports else None
    if args.quick:
        args.seconds = 2
    args.runs = args.runs or (1 if args.quick else 2)
    plot = args.plot or (None if args.quick else os.path.join(here, "compare_tools.png"))
    if args.cpus:
        # Every process started afterwards inherits the set.
        os.sched_setaffinity(0, {int(cpu) for cpu in args.cpus.split(",")})
    if args.from_json:
        with open(args.from_json) as saved:
            results = json.load(saved)
    else:
        results = measure_all(args)
    print("\n".join(table_lines(results)))
    print("\nOurs: the share of the line rate (8N1: baud / 10), and in brackets of the computed stop-and-wait "
          "ceiling. A is the service's end, B the customer's: get is A → B, put is B → A.")
    if plot:
        draw(results, plot)


def measure_all(args):
    build = os.path.abspath(args.build)
    for program in ("quorvantix", "quorvantix-customer", "quorvantix-linesim", "bench/stop_and_wait_ceiling",
                    "bench/pattern_ceiling"):
        if not os.access(os.path.join(build, program), os.X_OK):
            fail(f"{os.path.join(build, program)} is missing: build first")
    for _, name, programs, package in PEERS:
        if not installed(programs):
            note(f"{name} ({'/'.join(programs)}) is not installed (apt-get install {package}): its cells say so")
    results = []
    load_before = os.getloadavg()
    # Device names have at most 29 characters: the ends live in a short directory.
    with tempfile.TemporaryDirectory(prefix="qvb-", dir=args.work_dir) as work:
        for row in rows_to_measure(args):
            results.append(measure_row(build, work, row, args.seconds, args.runs))
            if args.json:
                with open(args.json, "w") as saved:
                    json.dump(results, saved, indent=1)
    load_after = os.getloadavg()
    note(f"load average (1, 5, 15 min) before: {', '.join(f'{x:.2f}' for x in load_before)}; "
         f"after: {', '.join(f'{x:.2f}' for x in load_after)}; on CPUs "
         f"{', '.join(str(cpu) for cpu in sorted(os.sched_getaffinity(0)))} of {os.cpu_count()}")
    return results


if __name__ == "__main__":
    main()
