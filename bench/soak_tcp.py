#!/usr/bin/env python3
"""Many sessions over a listening TCP line: does the service keep its size?

Runs build/quorvantix on tcp-listen:127.0.0.1:PORT, serving a folder of its
own, with --allow 127.0.0.1, and runs SESSIONS customer sessions against it
one after the other with build/quorvantix-customer: in turn a put, a get, and
an ls with a pwd. Between them come the peers a network brings: every 10th
session a peer that connects and leaves without a word, every 25th one that
sends a web request and leaves, every 50th one from 127.0.0.2, which --allow
keeps out. Prints the service's resident size (VmRSS) and its open
descriptors before the first session and after the last, and the failures.

usage: bench/soak_tcp.py [SESSIONS] [BUILD_DIR]     (defaults: 1000, build)
"""
import os
import socket
import subprocess
import sys
import tempfile
import time


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def stray_peer(port, kind):
    source = "127.0.0.2" if kind == "outsider" else "127.0.0.1"
    with socket.create_connection(("127.0.0.1", port), source_address=(source, 0)) as peer:
        if kind == "web":
            peer.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        time.sleep(0.01)


def wait_for(path, text, limit=10):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        with open(path) as console:
            if text in console.read():
                return True
        time.sleep(0.05)
    return False


def session_words(number, local):
    kind = number % 3
    if kind == 0:
        return ["put", os.path.join(local, "up.bin"), f"file{number % 7}.bin"]
    if kind == 1:
        return ["get", "-f", "hello.txt", os.path.join(local, "hello.txt")]
    return ["ls", ";", "pwd"]


def main():
    sessions = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    build = sys.argv[2] if len(sys.argv) > 2 else "build"
    service_binary = os.path.join(build, "quorvantix")
    customer_binary = os.path.join(build, "quorvantix-customer")
    port = free_port()
    with tempfile.TemporaryDirectory() as work:
        served, local = os.path.join(work, "served"), os.path.join(work, "local")
        os.mkdir(served)
        os.mkdir(local)
        with open(os.path.join(served, "hello.txt"), "w") as hello:
            hello.write("Hello over the line\n" * 100)
        with open(os.path.join(local, "up.bin"), "wb") as upload:
            upload.write(os.urandom(20 * 1024))
        console_path = os.path.join(work, "console")
        with open(console_path, "w") as console:
            service = subprocess.Popen([service_binary, "--root", served, "--allow", "127.0.0.1",
                                        f"tcp-listen:127.0.0.1:{port}", "0"],
                                       stdout=console, stderr=subprocess.STDOUT)
        try:
            if not wait_for(console_path, "Service is ready"):
                sys.exit("the service did not start")
            rss_before, fds_before = rss_kib(service.pid), open_fds(service.pid)
            failures = 0
            started = time.monotonic()
            for number in range(sessions):
                for every, kind in ((10, "silent"), (25, "web"), (50, "outsider")):
                    if number % every == every - 1:
                        stray_peer(port, kind)
                words = [customer_binary, "-q", f"tcp:127.0.0.1:{port}"] + session_words(number, local)
                if subprocess.run(words, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode != 0:
                    failures += 1
            elapsed = time.monotonic() - started
            time.sleep(0.5)  # the last peers have been closed
            rss_after, fds_after = rss_kib(service.pid), open_fds(service.pid)
        finally:
            service.terminate()
            service.wait()
    print(f"{sessions} sessions over TCP in {elapsed:.1f} s, {failures} failed")
    print(f"service RSS: {rss_before} KiB before, {rss_after} KiB after")
    print(f"service open descriptors: {fds_before} before, {fds_after} after")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
