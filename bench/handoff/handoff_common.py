"""Shared pieces of the hand-off and connection benchmarks: free ports, the descriptor
limit, idle connections, framed messages, fast log polling and process memory.

Runs inside tests/e2e/with-display.sh with the system interpreter (pyatspi)."""

import contextlib
import os
import resource
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import velmora_driver as drv  # noqa: E402

EXE = os.environ.get("VELMORA_EXE", os.path.join(HERE, "..", "..", "build-bench-handoff", "velmora"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def raise_nofile():
    """Soft descriptor limit to the hard one; returns the hard limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def frame(text):
    data = text.encode() if isinstance(text, str) else text
    return struct.pack("<I", len(data)) + data


def connect_many(port, count, max_seconds=120):
    """count blocking loopback connections, opened one after another; bounded in time."""
    deadline = time.monotonic() + max_seconds
    socks = []
    for _ in range(count):
        if time.monotonic() > deadline:
            raise TimeoutError(f"only {len(socks)} of {count} connections within {max_seconds} s")
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        socks.append(s)
    return socks


def peer(sock):
    host, port = sock.getsockname()[:2]
    return f"{host}:{port}"


def log_lines_fast(app):
    box = app.log_box()
    return [line for line in drv._split_lines(drv._text(box)) if line]


def wait_until(fn, timeout, interval=0.01, what="condition"):
    """Polls fn every `interval` s (bounded by timeout); returns (value, seconds waited)."""
    start = time.monotonic()
    deadline = start + timeout
    while True:
        drv._pump()
        try:
            value = fn()
        except (drv.GLib.GError, LookupError, NotImplementedError):
            value = None
        if value:
            return value, time.monotonic() - start
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def count_suffix(app, suffix):
    return sum(1 for line in log_lines_fast(app) if line.endswith(suffix))


def vm_rss_kib(pid, field="VmRSS"):
    """A memory figure of /proc/<pid>/status in KiB: VmRSS, or another such as RssAnon."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(f"no {field} for pid {pid}")


def child_pids(pid):
    """Pids whose parent is pid (from /proc, without the accessibility bus)."""
    out = []
    for name in os.listdir("/proc"):
        if name.isdigit() and drv.read_ppid(int(name)) == pid:
            out.append(int(name))
    return out


def start_offset(pid, t0_boottime):
    """Seconds from t0 (CLOCK_BOOTTIME) to the process's start, 10 ms resolution."""
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read()
    ticks = int(stat[stat.rindex(")") + 2:].split()[19])
    return ticks / os.sysconf("SC_CLK_TCK") - t0_boottime


@contextlib.contextmanager
def serving(n):
    """(app, socks): a process listening on a free port with n idle loopback connections,
    each one's OnAccept line logged. On leaving, the connections close and every process of
    the program is killed."""
    port = free_port()
    app = launch_listening(port)
    socks = []
    try:
        socks = connect_many(port, n)
        wait_until(lambda: count_suffix(app, " -> OnAccept") >= n, 120, 0.05,
                   f"{n} OnAccept lines")
        yield app, socks
    finally:
        for s in socks:
            s.close()
        kill_all()


def run_sizes(measure, default_sizes, header, row):
    """measure(n) for the sizes on the command line (or the defaults) that the descriptor
    limit allows; prints the header, then row(result) per size."""
    hard = raise_nofile()
    sizes = [int(a) for a in sys.argv[1:]] or default_sizes
    print(f"descriptor hard limit {hard}")
    print(header)
    for n in sizes:
        if n + 64 > hard:
            print(f"{n:>6} skipped: hard descriptor limit {hard}")
            continue
        print(row(measure(n)), flush=True)


def launch_listening(port):
    app = drv.launch(EXE)
    app.listen(port)
    return app


def kill_all():
    for app in drv.apps_of(EXE):
        app.kill()
