#!/usr/bin/python3
# Debian's python3, where python3-matplotlib installs its module.
"""Our get and put against ZMODEM (lrzsz) and Kermit (C-Kermit) at every line
speed, on the same simulated lines, with the same random files, in one run.

    bench/compare_tools.py [--build DIR] [--quick] [--seconds S] [--lines LABEL,...]
                           [--hop-baud N] [--fast-size BYTES] [--plot PATH]

The lines, each through build/quorvantix-linesim, which paces each direction
at the speed its sending end has set:
  unthrottled      --unthrottled, a file of --fast-size bytes (16 MiB)
  9600 ... 921600  each speed in turn; every program sets it on its own end
  hop2, hop20      a network hop of 2 ms and 20 ms added delay each way
                   (--latency-ms), at --hop-baud (115200)
A paced line carries a file that takes --seconds (20; 2 with --quick) at the
line rate, in whole KiB and 4 KiB at least, so that 9600 baud does not take
for ever and 921600 still measures more than start-up. --quick measures the
unthrottled line (1 MiB), 9600, 115200, 921600 and hop20, one run each.

On each line: our get (service on end A sends, customer on end B receives)
and put (the other way), then sz/rz and kermit both ways; on the unthrottled
line and the hops also the stop-and-wait ceiling (bench/stop_and_wait_ceiling:
a 1024-byte block in its 1027-byte frame, answered by one byte, ping-ponged).
Every received file is compared with its original. Prints one Markdown table
of bytes/s and the percentage of the line rate, and draws the same figures as
one plot (python3-matplotlib). Installs nothing: a tool that is not there
gets cells that say so, and without matplotlib there is no plot.

Speeds: our customer runs `baud N ; get FILE` (the service starts at 9600
and follows); sz and rz get the speed set on their terminal before they
start, as stty would; kermit gets `set speed N`.

Our figure is the wall time of the customer program running the command,
less the wall time of the same program running `baud N ; pwd` (start,
identification, speed change, one command, sign-off). The peers' figures are
the wall time of the sender, their own handshakes included; the receiver was
started half a second before it, and the sender ends only once the receiver
has confirmed the whole file. (rz then waits for the sender's last two bytes,
"OO", which sometimes never come: sz loses them as it exits on a
pseudo-terminal, and rz gives up after 30 s. That wait is not counted; the
file is compared after it.) On the unthrottled line every figure, the
ceiling's too, is the best of three runs (one with --quick), taken in turn;
on a paced line each is one run.
"""

import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
import termios
import time

from benchkit import TRANSFER_LIMIT_S, Simulator, fail, same_file, timed

SPEEDS = (9600, 19200, 57600, 115200, 230400, 460800, 921600)
HOP_DELAYS_MS = (2, 20)
# --quick checks every part of the script on a few lines.
QUICK_SPEEDS = (9600, 115200, 921600)
QUICK_HOP_DELAYS_MS = (20,)
KERMIT_SETTINGS = ("set carrier-watch off, set flow none, set parity none, set file type binary, "
                   "fast, set delay 0, set transfer display none")
RECEIVER_SETTLE_S = 0.5
SMALLEST_FILE_KIB = 4
PEERS = (("zmodem", "ZMODEM", ("sz", "rz"), "lrzsz"), ("kermit", "Kermit", ("kermit",), "ckermit"))
# The table's columns: row key, heading.
COLUMNS = (("ceiling", "stop and wait ceiling"), ("get", "ours get (A → B)"), ("put", "ours put (B → A)"),
           ("zmodem a2b", "ZMODEM A → B"), ("zmodem b2a", "ZMODEM B → A"),
           ("kermit a2b", "Kermit A → B"), ("kermit b2a", "Kermit B → A"))


def note(message):
    print(f"compare_tools: {message}", file=sys.stderr)


class LinePlan:
    """One line of the table: how the simulator runs, the speed the ends set
    (None: they leave it), the file size, runs per figure, and whether the
    stop-and-wait ceiling is measured on it."""

    def __init__(self, label, simulator_args, baud, size, runs, with_ceiling):
        self.label, self.simulator_args, self.baud = label, simulator_args, baud
        self.size, self.runs, self.with_ceiling = size, runs, with_ceiling

    def line_rate(self):
        """Bytes per second, 8N1; None without a rate."""
        return self.baud / 10 if self.baud else None


def fresh_dir(work, name):
    path = os.path.join(work, name)
    shutil.rmtree(path, ignore_errors=True)
    os.mkdir(path)
    return path


# --- The measurements: each returns (seconds, file arrived intact) or None ---

def ceiling(build, work, plan, rounds):
    extra = [str(plan.baud)] if plan.baud else []
    with Simulator(build, work, plan.simulator_args) as line:
        out = subprocess.run([os.path.join(build, "bench", "stop_and_wait_ceiling"), line.a, line.b, str(rounds),
                              *extra], capture_output=True, text=True, timeout=TRANSFER_LIMIT_S)
    if out.returncode != 0:
        fail("stop_and_wait_ceiling: " + out.stderr.strip())
    # "stop_and_wait_ceiling: N rounds in S s, R bytes/s of payload"
    return float(out.stdout.split(" in ")[1].split(" s,")[0])


def ours(build, work, plan, original):
    """Our get and put: {'get': (seconds, ok), 'put': (seconds, ok)}."""
    service_dir = fresh_dir(work, "service")
    customer_dir = fresh_dir(work, "customer")
    shutil.copy(original, os.path.join(service_dir, "data.bin"))
    shutil.copy(original, os.path.join(customer_dir, "up.bin"))
    customer = os.path.join(build, "quorvantix-customer")
    speed_change = ["baud", str(plan.baud), ";"] if plan.baud and plan.baud != 9600 else []
    results = {}
    with Simulator(build, work, plan.simulator_args) as line:
        service = subprocess.Popen([os.path.join(build, "quorvantix"), line.a, "0"], cwd=service_dir,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            def run(*words):
                return timed([customer, "-q", line.b, *speed_change, *words], cwd=customer_dir,
                             stdout=subprocess.DEVNULL)

            overheads = [run("pwd") for _ in range(3 if plan.runs > 1 else 1)]
            if any(status != 0 for _, status in overheads):
                fail(f"{plan.label}: the customer cannot reach the service")
            overhead = min(seconds for seconds, _ in overheads)
            for direction, words, received in (
                    ("get", ["get", "data.bin"], os.path.join(customer_dir, "data.bin")),
                    ("put", ["put", "up.bin", "up-back.bin"], os.path.join(service_dir, "up-back.bin"))):
                seconds, status = run(*words)
                results[direction] = (seconds - overhead, status == 0 and same_file(received, original))
            subprocess.run([customer, "-q", line.b, "shutdown"], stdout=subprocess.DEVNULL, timeout=60)
            service.wait(timeout=10)
        finally:
            if service.poll() is None:
                service.kill()
                service.wait()
    return results


def pair(build, work, plan, original, sender, receiver, a_to_b):
    """Runs a receiving program and a sending program on the two ends; both
    take the end's path. Returns (seconds, ok), or None when they hang."""
    receive_dir = fresh_dir(work, "received")
    with Simulator(build, work, plan.simulator_args) as line:
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
            receiving.wait(timeout=TRANSFER_LIMIT_S)
        except subprocess.TimeoutExpired:
            for process in (sending, receiving):
                process.kill()
                process.wait()
            return None
    ok = sending.returncode == 0 and receiving.returncode == 0 and \
        same_file(os.path.join(receive_dir, os.path.basename(original)), original)
    return seconds, ok


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
        if baud:
            set_tty_speed(tty.fileno(), baud)
        return subprocess.Popen(command, stdin=tty, stdout=tty, stderr=subprocess.DEVNULL, cwd=cwd)
    finally:
        tty.close()


def zmodem(build, work, plan, original, a_to_b):
    return pair(build, work, plan, original,
                lambda end, path: on_tty(["sz", "-b", "-q", path], end, plan.baud),
                lambda end, directory: on_tty(["rz", "-b", "-y", "-q"], end, plan.baud, cwd=directory),
                a_to_b)


def kermit(build, work, plan, original, a_to_b):
    speed = f", set speed {plan.baud}" if plan.baud else ""

    def run(end, action, cwd=None):
        return subprocess.Popen(
            ["kermit", "-Y", "-B", "-H", "-C", f"set line {end}{speed}, {KERMIT_SETTINGS}, {action}, exit"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=cwd)

    return pair(build, work, plan, original,
                lambda end, path: run(end, f"send {path}"),
                lambda end, directory: run(end, "receive", cwd=directory),
                a_to_b)


def installed(programs):
    return all(shutil.which(program) for program in programs)


# --- One line of the table ---

def measure_once(build, work, plan, original):
    """One run of every cell: {column key: (seconds, ok) or None}; missing tools are left out."""
    results = {}
    if plan.with_ceiling:
        rounds = plan.size // 1024 if plan.baud is None else max(16, plan.size // 4096)
        note(f"{plan.label}: stop-and-wait ceiling ({rounds} rounds) ...")
        results["ceiling"] = (ceiling(build, work, plan, rounds) * plan.size / (rounds * 1024), True)
    note(f"{plan.label}: our get and put ...")
    results.update(ours(build, work, plan, original))
    for key, _, programs, _ in PEERS:
        if not installed(programs):
            continue
        measure = zmodem if key == "zmodem" else kermit
        for where, a_to_b in (("a2b", True), ("b2a", False)):
            note(f"{plan.label}: {key} {where} ...")
            results[f"{key} {where}"] = measure(build, work, plan, original, a_to_b)
    return results


def best_of(runs):
    """Per cell the fastest run that delivered the file intact, else the last result."""
    best = {}
    for run in runs:
        for key, result in run.items():
            kept = best.get(key)
            if kept is None or (result is not None and result[1] and (not kept[1] or result[0] < kept[0])):
                best[key] = result
    return best


def measure_line(build, work, plan):
    """{column key: bytes/s, or a word for the cell}."""
    original = os.path.join(work, "original.bin")
    with open(original, "wb") as out:
        out.write(os.urandom(plan.size))
    # Rounds of every cell in turn, so that a busy moment of the machine does
    # not fall on one cell alone.
    best = best_of([measure_once(build, work, plan, original) for _ in range(plan.runs)])
    cells = {}
    for key, _ in COLUMNS:
        peer = next((p for p in PEERS if key.startswith(p[0])), None)
        if key == "ceiling" and not plan.with_ceiling:
            cells[key] = ""
        elif peer and not installed(peer[2]):
            cells[key] = "not installed"
        elif best.get(key) is None:
            cells[key] = "failed"
        elif not best[key][1]:
            cells[key] = "DIFFERENT"
        else:
            cells[key] = plan.size / best[key][0]
    return cells


def file_size_for(baud, seconds):
    kib = math.ceil(baud / 10 * seconds / 1024)
    return max(SMALLEST_FILE_KIB, kib) * 1024


def line_plans(args):
    quick = args.quick and not args.lines
    plans = [LinePlan("unthrottled", ["--unthrottled"], None, args.fast_size, 1 if args.quick else 3, True)]
    plans += [LinePlan(f"{baud}", [], baud, file_size_for(baud, args.seconds), 1, False)
              for baud in (QUICK_SPEEDS if quick else SPEEDS)]
    plans += [LinePlan(f"hop{ms}", ["--latency-ms", str(ms)], args.hop_baud,
                       file_size_for(args.hop_baud, args.seconds), 1, True)
              for ms in (QUICK_HOP_DELAYS_MS if quick else HOP_DELAYS_MS)]
    if args.lines:
        wanted = args.lines.split(",")
        unknown = [label for label in wanted if label not in [plan.label for plan in plans]]
        if unknown:
            fail(f"no line {', '.join(unknown)}: choose from {', '.join(plan.label for plan in plans)}")
        plans = [plan for plan in plans if plan.label in wanted]
    return plans


# --- The table and the plot ---

def describe(plan):
    if plan.baud is None:
        return "unthrottled"
    if plan.label.startswith("hop"):
        return f"{plan.baud} baud + {plan.label[3:]} ms each way"
    return f"{plan.baud} baud"


def cell_text(value, plan):
    if isinstance(value, str):
        return value
    rate = plan.line_rate()
    return f"{value:,.0f} ({100 * value / rate:.1f} %)" if rate else f"{value:,.0f}"


def lead(cells):
    """Ours ÷ the faster peer, get against the peers' A → B and put against B → A."""
    ratios = []
    for ours_key, suffix in (("get", "a2b"), ("put", "b2a")):
        peers = [cells[f"{key} {suffix}"] for key, *_ in PEERS if not isinstance(cells[f"{key} {suffix}"], str)]
        if isinstance(cells[ours_key], str) or not peers:
            return ""
        ratios.append(f"{cells[ours_key] / max(peers):.2f}")
    return " / ".join(ratios)


def table_lines(measured):
    lines = ["| line | file | " + " | ".join(heading for _, heading in COLUMNS) + " | ours ÷ faster peer |",
             "|---|---:|" + "---:|" * (len(COLUMNS) + 1)]
    for plan, cells in measured:
        lines.append(f"| {describe(plan)} | {plan.size >> 10} KiB | " +
                     " | ".join(cell_text(cells[key], plan) for key, _ in COLUMNS) + f" | {lead(cells)} |")
    return lines


def draw(measured, path):
    """One figure from the table: bytes/s against the line speed (the line
    rate dashed), and the same as a share of the line rate, one line per tool
    and direction; the hops as open marks at their speed."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        note("python3-matplotlib is not installed (apt-get install python3-matplotlib): no plot")
        return
    paced = [(plan, cells) for plan, cells in measured if plan.baud and not plan.label.startswith("hop")]
    hops = [(plan, cells) for plan, cells in measured if plan.label.startswith("hop")]
    figure, (rates, shares) = plt.subplots(1, 2, figsize=(13, 6))
    speeds = sorted({plan.baud for plan, _ in paced + hops})
    if speeds:
        rates.plot(speeds, [baud / 10 for baud in speeds], "k--", linewidth=1, label="line rate (8N1)")
    for index, (key, heading) in enumerate(COLUMNS[1:]):
        colour = f"C{index}"
        points = [(plan.baud, cells[key]) for plan, cells in paced if not isinstance(cells[key], str)]
        if points:
            rates.plot(*zip(*points), marker="o", color=colour, label=heading)
            shares.plot([baud for baud, _ in points], [100 * rate / (baud / 10) for baud, rate in points],
                        marker="o", color=colour, label=heading)
        for marker, (plan, cells) in zip(("s", "^"), hops):
            if not isinstance(cells[key], str):
                for axes, value in ((rates, cells[key]), (shares, 100 * cells[key] / plan.line_rate())):
                    axes.plot([plan.baud], [value], marker=marker, markersize=9, color=colour, linestyle="none",
                              fillstyle="none")
    for marker, (plan, _) in zip(("s", "^"), hops):
        shares.plot([], [], marker=marker, color="grey", linestyle="none", fillstyle="none",
                    label=f"{describe(plan)} (the tool's colour)")
    for axes in (rates, shares):
        axes.set_xscale("log")
        axes.set_xlabel("line speed (baud)")
        axes.set_xticks(speeds)
        axes.set_xticklabels([str(baud) for baud in speeds], rotation=30)
        axes.minorticks_off()
        axes.grid(True, alpha=0.3)
    rates.set_yscale("log")
    rates.set_ylabel("throughput (bytes/s)")
    rates.legend(fontsize=8, loc="upper left")
    shares.set_ylabel("throughput (% of the line rate)")
    shares.set_ylim(0, 105)
    shares.legend(fontsize=8, loc="lower left")
    figure.suptitle("File transfer through quorvantix-linesim, each program setting its speed")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    note(f"plot written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--fast-size", type=int, default=16 << 20, help="bytes on the unthrottled line")
    parser.add_argument("--seconds", type=float, default=20, help="line-rate seconds of a paced line's file")
    parser.add_argument("--hop-baud", type=int, default=115200, help="speed of the network-hop lines")
    parser.add_argument("--quick", action="store_true",
                        help="1 MiB unthrottled, 9600, 115200, 921600 and the 20 ms hop, 2 s files, one run each")
    parser.add_argument("--lines", help="measure these lines only, e.g. unthrottled,115200,hop20")
    parser.add_argument("--plot", help="where the PNG goes (bench/compare_tools.png; with --quick none unless given)")
    args = parser.parse_args()
    if args.quick:
        args.fast_size, args.seconds = 1 << 20, 2
    plot = args.plot or (None if args.quick else os.path.join(here, "compare_tools.png"))
    build = os.path.abspath(args.build)
    for program in ("quorvantix", "quorvantix-customer", "quorvantix-linesim", "bench/stop_and_wait_ceiling"):
        if not os.access(os.path.join(build, program), os.X_OK):
            fail(f"{os.path.join(build, program)} is missing: build first")
    for _, name, programs, package in PEERS:
        if not installed(programs):
            note(f"{name} ({'/'.join(programs)}) is not installed (apt-get install {package}): its cells say so")

    measured = []
    # Device names have at most 29 characters: the ends live in a short directory.
    with tempfile.TemporaryDirectory(prefix="qvb-", dir="/tmp") as work:
        for plan in line_plans(args):
            measured.append((plan, measure_line(build, work, plan)))
    print("\n".join(table_lines(measured)))
    print("\nbytes/s (% of the line rate, 8N1: baud / 10). A is the service's end, B the customer's: "
          "get is A → B, put is B → A. On a paced line, stop and wait with 1027-byte frames and 1-byte "
          "answers can reach 1024/1028 of the line rate (99.6 %), less its turnarounds. Ours ÷ faster peer: "
          "get against the faster of the peers' A → B, put against their B → A.")
    if plot:
        draw(measured, plot)


if __name__ == "__main__":
    main()
