#!/usr/bin/env python3
"""CPU time of a service that waits, from /proc/PID/stat and /proc/PID/schedstat.

Runs build/quorvantix three times side by side and measures, over the same
period, the CPU time (user + system) that each uses while it waits:
  present  - on a pty that is there, with nobody speaking on it;
  vanished - on a pty whose far end has closed and whose node is gone, so that
             the service tries to open it again every half second;
  tcp-gone - on a tcp: line whose endpoint has closed and refuses connections.

usage: bench/idle_cpu.py [SECONDS] [BINARY]     (defaults: 30, build/quorvantix)
"""
import os
import pty
import select
import socket
import subprocess
import sys
import tempfile
import time
import tty

from benchkit import CLOCK_TICKS, schedstat_seconds, stat_seconds


def wait_for_line(process, text, limit=10.0):
    seen = b""
    deadline = time.monotonic() + limit
    while text.encode() not in seen:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([process.stdout], [], [], left)[0]:
            raise RuntimeError(f"no '{text}' from the service; it printed {seen!r}")
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            raise RuntimeError(f"the service ended; it printed {seen!r}")
        seen += chunk


def start(binary, device):
    return subprocess.Popen([binary, device, "0"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def present_line(binary, workdir):
    master, slave = pty.openpty()
    tty.setraw(master)
    service = start(binary, os.ttyname(slave))
    wait_for_line(service, "Service is ready")
    return service, [master, slave]


def vanished_line(binary, workdir):
    master, slave = pty.openpty()
    tty.setraw(master)
    link = os.path.join(workdir, "tty")
    os.symlink(os.ttyname(slave), link)
    service = start(binary, link)
    wait_for_line(service, "Service is ready")
    os.remove(link)
    os.close(master)
    os.close(slave)
    wait_for_line(service, "Line lost")
    return service, []


def tcp_gone(binary, workdir):
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    service = start(binary, f"tcp:127.0.0.1:{port}")
    peer, _ = listener.accept()
    wait_for_line(service, "Service is ready")
    listener.close()
    peer.close()
    wait_for_line(service, "Line lost")
    return service, []


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
    binary = sys.argv[2] if len(sys.argv) > 2 else "build/quorvantix"
    with tempfile.TemporaryDirectory() as workdir:
        runs = {}
        for name, scenario in (("present", present_line), ("vanished", vanished_line), ("tcp-gone", tcp_gone)):
            runs[name] = scenario(binary, workdir)
        def sample():
            return {name: (stat_seconds(s.pid), schedstat_seconds(s.pid)) for name, (s, _) in runs.items()}

        before = sample()
        time.sleep(seconds)
        after = sample()
        print(f"over {seconds:.0f} s: user + system time from stat (in clock ticks of "
              f"{1000 / CLOCK_TICKS:.0f} ms), and time on a CPU from schedstat")
        for name, (service, held) in runs.items():
            used = after[name][0] - before[name][0]
            line = f"  {name:9s} stat {used:5.2f} s ({100 * used / seconds:.3f} %)"
            if after[name][1] is not None and before[name][1] is not None:
                ran = after[name][1] - before[name][1]
                line += f"   schedstat {1000 * ran:7.2f} ms ({100 * ran / seconds:.4f} %)"
            print(line)
            service.kill()
            service.wait()
            for fd in held:
                os.close(fd)


if __name__ == "__main__":
    main()
