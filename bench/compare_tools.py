#!/usr/bin/env python3
"""Our get and put against ZMODEM (lrzsz) and Kermit (C-Kermit) on the same
simulated line, with the same random file, in the same run.

    bench/compare_tools.py [--build DIR] [--quick] [--line unthrottled|115200]
                           [--fast-size BYTES] [--slow-size BYTES]

Two lines through build/quorvantix-linesim: unthrottled (16 MiB by default)
and 115200 baud (256 KiB). On each line it measures the stop-and-wait ceiling
(bench/stop_and_wait_ceiling: a 1024-byte block in its 1027-byte frame,
answered by one byte, ping-ponged through the simulator), then our get
(service on end A sends, customer on end B receives) and put (the other way),
then sz/rz and kermit both ways. Every received file is compared with its
original. Prints one Markdown table. Installs nothing: a tool that is not
there gets a row that says so.

Our figure is the wall time of the customer program running the command,
less the wall time of the same program running pwd (start, identification,
one command, sign-off). The peers' figures are the wall time of the sender,
their own handshakes included; the receiver was started half a second before
it, and the sender ends only once the receiver has confirmed the whole file.
(rz then waits for the sender's last two bytes, "OO", which sometimes never
come: sz loses them as it exits on a pseudo-terminal, and rz gives up after
30 s. That wait is not counted; the file is compared after it.) On the
unthrottled line every figure, the ceiling's too, is the best of three runs,
taken in turn; at 115200 baud each is one run.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

LINE_RATE_115200 = 11520  # bytes/s at 115200 baud, 8N1
KERMIT_SETTINGS = ("set carrier-watch off, set flow none, set parity none, set file type binary, "
                   "fast, set delay 0, set transfer display none")
TRANSFER_LIMIT_S = 900
RECEIVER_SETTLE_S = 0.5


def fail(message):
    print(f"compare_tools: {message}", file=sys.stderr)
    sys.exit(1)


class Line:
    """The simulator between end A and end B, for one measurement."""

    def __init__(self, build, work, baud):
        self.a = os.path.join(work, "A")
        self.b = os.path.join(work, "B")
        self.process = subprocess.Popen(
            [os.path.join(build, "quorvantix-linesim"), "--a", self.a, "--b", self.b,
             "--baud", str(baud), "--quiet"], stdout=subprocess.DEVNULL)
        for _ in range(500):
            if os.path.exists(self.a) and os.path.exists(self.b):
                return
            time.sleep(0.01)
        self.close()
        fail("the line simulator did not start")

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def same_file(path, original):
    if not os.path.exists(path):
        return False
    with open(path, "rb") as received, open(original, "rb") as sent:
        return received.read() == sent.read()


def fresh_dir(work, name):
    path = os.path.join(work, name)
    shutil.rmtree(path, ignore_errors=True)
    os.mkdir(path)
    return path


def timed(command, cwd=None, **kwargs):
    start = time.monotonic()
    result = subprocess.run(command, cwd=cwd, timeout=TRANSFER_LIMIT_S, **kwargs)
    return time.monotonic() - start, result.returncode


# --- The measurements: each returns (seconds, file arrived intact) or None ---

def runs_on(baud):
    """Runs per figure: the best of three where a run takes seconds, one at 115200 baud."""
    return 1 if baud else 3


def ceiling(build, work, baud, rounds):
    with Line(build, work, baud) as line:
        out = subprocess.run([os.path.join(build, "bench", "stop_and_wait_ceiling"), line.a, line.b, str(rounds)],
                             capture_output=True, text=True, timeout=TRANSFER_LIMIT_S)
    if out.returncode != 0:
        fail("stop_and_wait_ceiling: " + out.stderr.strip())
    # "stop_and_wait_ceiling: N rounds in S s, R bytes/s of payload"
    return float(out.stdout.split(" in ")[1].split(" s,")[0])


def ours(build, work, baud, original):
    """Our get and put: {'get': (seconds, ok), 'put': (seconds, ok)}."""
    service_dir = fresh_dir(work, "service")
    customer_dir = fresh_dir(work, "customer")
    shutil.copy(original, os.path.join(service_dir, "data.bin"))
    shutil.copy(original, os.path.join(customer_dir, "up.bin"))
    customer = os.path.join(build, "quorvantix-customer")
    results = {}
    with Line(build, work, baud) as line:
        service = subprocess.Popen([os.path.join(build, "quorvantix"), line.a, "0"], cwd=service_dir,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            def best_of_three(*words):
                times = []
                for _ in range(3):
                    seconds, status = timed([customer, "-q", line.b, *words], cwd=customer_dir,
                                            stdout=subprocess.DEVNULL)
                    if status != 0:
                        return None
                    times.append(seconds)
                return min(times)

            overhead = best_of_three("pwd")
            if overhead is None:
                fail("the customer cannot reach the service")
            for direction, words, received in (
                    ("get", ["get", "data.bin"], os.path.join(customer_dir, "data.bin")),
                    ("put", ["put", "up.bin", "up-back.bin"], os.path.join(service_dir, "up-back.bin"))):
                seconds, status = timed([customer, "-q", line.b, *words], cwd=customer_dir, stdout=subprocess.DEVNULL)
                results[direction] = (seconds - overhead, status == 0 and same_file(received, original))
            subprocess.run([customer, "-q", line.b, "shutdown"], stdout=subprocess.DEVNULL, timeout=60)
            service.wait(timeout=10)
        finally:
            if service.poll() is None:
                service.kill()
                service.wait()
    return results


def pair(build, work, baud, original, sender, receiver, a_to_b):
    """Runs a receiving program and a sending program on the two ends; both
    take the end's path. Returns (seconds, ok)."""
    receive_dir = fresh_dir(work, "received")
    with Line(build, work, baud) as line:
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
            return None
    ok = sending.returncode == 0 and receiving.returncode == 0 and \
        same_file(os.path.join(receive_dir, os.path.basename(original)), original)
    return seconds, ok


def on_tty(command, path, cwd=None):
    tty = open(path, "r+b", buffering=0)
    try:
        return subprocess.Popen(command, stdin=tty, stdout=tty, stderr=subprocess.DEVNULL, cwd=cwd)
    finally:
        tty.close()


def zmodem(build, work, baud, original, a_to_b):
    return pair(build, work, baud, original,
                lambda end, path: on_tty(["sz", "-b", "-q", path], end),
                lambda end, directory: on_tty(["rz", "-b", "-y", "-q"], end, cwd=directory),
                a_to_b)


def kermit(build, work, baud, original, a_to_b):
    def run(end, action, cwd=None):
        return subprocess.Popen(["kermit", "-Y", "-B", "-H", "-C", f"set line {end}, {KERMIT_SETTINGS}, {action}, exit"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                cwd=cwd)

    return pair(build, work, baud, original,
                lambda end, path: run(end, f"send {path}"),
                lambda end, directory: run(end, "receive", cwd=directory),
                a_to_b)


# --- The table ---

def measure_once(build, work, label, baud, size, original):
    """One run of every row: {row key: (seconds, ok) or None}; missing tools are left out."""
    rounds = size // 1024 if baud == 0 else max(16, size // 4096)
    print(f"{label}: stop-and-wait ceiling ({rounds} rounds) ...", file=sys.stderr)
    results = {"ceiling": (ceiling(build, work, baud, rounds) * size / (rounds * 1024), True)}
    print(f"{label}: our get and put ...", file=sys.stderr)
    results.update(ours(build, work, baud, original))
    for tool, program, measure in (("zmodem", "sz", zmodem), ("kermit", "kermit", kermit)):
        if shutil.which(program) is None:
            continue
        for where, a_to_b in (("a2b", True), ("b2a", False)):
            print(f"{label}: {tool} {where} ...", file=sys.stderr)
            results[f"{tool} {where}"] = measure(build, work, baud, original, a_to_b)
    return results


def best_of(runs):
    """Per row the fastest run that delivered the file intact, else the last result."""
    best = {}
    for run in runs:
        for key, result in run.items():
            kept = best.get(key)
            if kept is None or (result is not None and result[1] and (not kept[1] or result[0] < kept[0])):
                best[key] = result
    return best


def measure_line(build, work, label, baud, size):
    original = os.path.join(work, "original.bin")
    with open(original, "wb") as out:
        out.write(os.urandom(size))
    # Rounds of every row in turn, so that a busy moment of the machine does
    # not fall on one row alone.
    best = best_of(measure_once(build, work, label, baud, size, original) for _ in range(runs_on(baud)))
    ceiling_rate = size / best["ceiling"][0]
    rows = [("stop and wait, 1027 + 1 bytes", "A → B", ceiling_rate, True, None)]
    for direction, where in (("get", "A → B"), ("put", "B → A")):
        seconds, ok = best[direction]
        rows.append((f"quorvantix {direction}", where, size / seconds, ok, None))
    for tool, key, program in (("ZMODEM (sz/rz)", "zmodem", "sz"), ("Kermit (C-Kermit)", "kermit", "kermit")):
        for where, suffix, ours_direction in (("A → B", "a2b", "get"), ("B → A", "b2a", "put")):
            if shutil.which(program) is None:
                rows.append((tool, where, None, None, ours_direction))
                continue
            result = best[f"{key} {suffix}"]
            rows.append((tool, where, size / result[0] if result else None, result[1] if result else False,
                         ours_direction))
    return rows, {direction: size / best[direction][0] for direction in ("get", "put")}, ceiling_rate


def format_rows(label, baud, size, rows, our_rates, ceiling_rate):
    lines = []
    for tool, where, rate, ok, ours_direction in rows:
        if rate is None and ok is None:
            lines.append(f"| {tool} | {where} | {label} | not installed | | | | |")
            continue
        if rate is None:
            lines.append(f"| {tool} | {where} | {label} | failed | | | | |")
            continue
        of_line = f"{100 * rate / LINE_RATE_115200:.1f} %" if baud else "–"
        of_ceiling = f"{100 * rate / ceiling_rate:.1f} %"
        ratio = f"{our_rates[ours_direction] / rate:.2f}" if ours_direction else ""
        verdict = "same" if ok else "DIFFERENT"
        lines.append(f"| {tool} | {where} | {label} | {rate:,.0f} | {of_line} | {of_ceiling} | {ratio} | {verdict} |")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--fast-size", type=int, default=16 << 20, help="bytes on the unthrottled line")
    parser.add_argument("--slow-size", type=int, default=256 << 10, help="bytes at 115200 baud")
    parser.add_argument("--quick", action="store_true", help="1 MiB and 32 KiB")
    parser.add_argument("--line", choices=("both", "unthrottled", "115200"), default="both",
                        help="measure one line only")
    args = parser.parse_args()
    if args.quick:
        args.fast_size, args.slow_size = 1 << 20, 32 << 10
    build = os.path.abspath(args.build)
    for program in ("quorvantix", "quorvantix-customer", "quorvantix-linesim", "bench/stop_and_wait_ceiling"):
        if not os.access(os.path.join(build, program), os.X_OK):
            fail(f"{os.path.join(build, program)} is missing: build first")

    table = ["| tool | direction | line | bytes/s | % of line rate | % of stop-and-wait ceiling | ours ÷ this | file |",
             "|---|---|---|---:|---:|---:|---:|---|"]
    # Device names have at most 29 characters: the ends live in a short directory.
    with tempfile.TemporaryDirectory(prefix="qvb-", dir="/tmp") as work:
        for label, baud, size in (("unthrottled", 0, args.fast_size), ("115200 baud", 115200, args.slow_size)):
            if args.line not in ("both", label.split()[0]):
                continue
            rows, our_rates, ceiling_rate = measure_line(build, work, label, baud, size)
            table += format_rows(f"{label}, {size >> 10} KiB", baud, size, rows, our_rates, ceiling_rate)
    print("\n".join(table))
    print("\nA is the service's end, B the customer's: get is A → B, put is B → A. "
          "Ours ÷ this compares our get with the peer's A → B and our put with its B → A. "
          "Line rate at 115200 baud 8N1: 11,520 bytes/s; the stop-and-wait ceiling there is "
          "1024/1028 of it, 11,475 bytes/s.")


if __name__ == "__main__":
    main()
