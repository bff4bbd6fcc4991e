"""Upgrade time: from SIGUSR2 until the new process has logged one message from every
connection, and until the old process has exited.

N idle connections are opened and accepted; at t0 SIGUSR2 goes to the process. As soon as
the new process exists (the old one started it after suspending every connection), every
connection sends one message. Reported per N, in seconds after t0: the new process's start
(seen in /proc), the end of the sends, its first and its N-th message line, the old process's
exit (with its status), and the new process's Listen line.

  tests/e2e/with-display.sh /usr/bin/python3 bench/handoff/upgrade_time.py [N ...]
"""

import os
import signal
import time

import handoff_common as hc
from handoff_common import drv


def measure(n):
    with hc.serving(n) as (app, socks):
        payload = hc.frame("go")
        t0 = time.monotonic()
        os.kill(app.pid, signal.SIGUSR2)
        kids, _ = hc.wait_until(lambda: hc.child_pids(app.pid), 60, 0.002, "the new process")
        t_new = time.monotonic() - t0
        for s in socks:
            s.sendall(payload)
        t_sent = time.monotonic() - t0
        new_process = drv.find_app(kids[0], 60)
        box, _ = hc.wait_until(new_process.log_box, 60, 0.005, "the new process's log box")
        first = last = exited = status = listen = None
        deadline = time.monotonic() + 120
        while last is None or exited is None:
            lines = drv._split_lines(drv._text(box))
            now = time.monotonic() - t0
            count = sum(1 for line in lines if line.endswith(" -> go"))
            if count and first is None:
                first = now
            if count >= n and last is None:
                last = now
            if listen is None and any(line.startswith("Listen -> ") for line in lines):
                listen = now
            if exited is None and app.process.poll() is not None:
                exited, status = now, app.process.returncode
            if time.monotonic() > deadline:
                raise TimeoutError(f"the new process logged {count} of {n} messages")
            time.sleep(0.005)
        new_process.kill()
        return {"n": n, "new": t_new, "sent": t_sent, "first": first, "all": last,
                "exit": exited, "status": status, "listen": listen}


def main():
    hc.run_sizes(
        measure, [1000, 10000],
        f"{'N':>6} {'new start':>10} {'sends':>8} {'first msg':>10} {'all msgs':>9} "
        f"{'Listen':>8} {'old exit':>9} {'status':>7}  (seconds after the signal)",
        lambda r: f"{r['n']:>6} {r['new']:10.3f} {r['sent']:8.3f} {r['first']:10.3f} "
                  f"{r['all']:9.3f} {r['listen']:8.3f} {r['exit']:9.3f} {r['status']:>7}")


if __name__ == "__main__":
    main()
