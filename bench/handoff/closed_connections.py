"""Closed connections: N connect-then-reset cycles, then a hand-off.

Each cycle opens a loopback connection to the program and closes it at once with a reset
(SO_LINGER 0), so no TIME_WAIT piles up. Reported: cycles per second, VmRSS at rest and once
every OnAccept line is in the box and every connection has ended (per closed connection, its
OnAccept line included), and what a hand-off then does: the -1 values it writes, the line
about those left out, and whether the new process started and confirmed or the hand-off was
refused.

  tests/e2e/with-display.sh /usr/bin/python3 bench/handoff/closed_connections.py \
      [--cycles 250000] [--max-seconds 120]
"""

import argparse
import socket
import struct
import time

import handoff_common as hc
from handoff_common import drv

SETTLE = 1.0  # seconds for the UI to finish laying out before RSS is read
STAY_HERE = "; the connections stay here"


def cycles(port, count, max_seconds):
    """count connect-then-reset cycles, bounded in time; returns (done, seconds)."""
    linger = struct.pack("ii", 1, 0)
    start = time.monotonic()
    done = 0
    while done < count and time.monotonic() - start < max_seconds:
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
        s.connect(("127.0.0.1", port))
        s.close()
        done += 1
    return done, time.monotonic() - start


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cycles", type=int, default=250000)
    p.add_argument("--max-seconds", type=float, default=120)
    a = p.parse_args()
    # A box of a quarter million lines takes longer than the bus's default 25 s to read.
    drv.Atspi.set_timeout(300000, 300000)
    port = hc.free_port()
    app = hc.launch_listening(port)
    try:
        hc.wait_until(lambda: app.log_box(), 30)
        time.sleep(SETTLE)
        rss0 = hc.vm_rss_kib(app.pid)

        done, seconds = cycles(port, a.cycles, a.max_seconds)
        hc.wait_until(lambda: hc.count_suffix(app, " -> OnAccept") >= done, 300, 2.0,
                      f"{done} OnAccept lines")
        time.sleep(SETTLE)
        rss1 = hc.vm_rss_kib(app.pid)
        print(f"{done} connect-then-reset cycles in {seconds:.1f} s ({done / seconds:.0f}/s)")
        print(f"VmRSS {rss0} KiB at rest, {rss1} KiB after the cycles: "
              f"{(rss1 - rss0) * 1024 / done:.0f} B per closed connection, OnAccept line included")

        before, _ = hc.wait_until(lambda: len(hc.log_lines_fast(app)), 600, 1.0, "the log")
        drv._press(drv._button(app.main_window, "ソケット複製"))

        def outcome():
            if hc.child_pids(app.pid):
                return [], []
            lines = hc.log_lines_fast(app)[before:]
            ended = [x for x in lines if x.endswith(STAY_HERE)]
            return (lines, ended) if ended else None

        (lines, ended), _ = hc.wait_until(outcome, 600, 0.5, "a new process or a refusal")
        if not ended:
            # Started: past the new process's deadline, a rollback would have been written.
            kid = drv.find_app(hc.child_pids(app.pid)[0], 60)
            time.sleep(11)
            lines = hc.log_lines_fast(app)[before:]
            ended = [x for x in lines if x.endswith(STAY_HERE)]
            print(f"the new process (pid {kid.pid}) started")
        command = next(x for x in lines if x.startswith("CreateProcess -> /"))
        print(f"the hand-off wrote {command.count(' -1')} values -1")
        for line in lines:
            if line is not command:
                print(f"line: {line}")
        print("outcome: " + ("refused" if ended else "the new process confirmed; nothing rolled back"))
    finally:
        hc.kill_all()


if __name__ == "__main__":
    main()
