"""Hand-off time: from pressing "ソケット複製" until the new process has logged one message
from every connection.

N idle connections are opened and accepted; at t0 the button is pressed through AT-SPI; as
soon as the parent's CreateProcess line shows, every connection sends one message. Reported
per N, in seconds after t0: the CreateProcess line, the end of the sends, the new process's start
(from /proc, 10 ms resolution), its window on the bus, its first and its N-th message line.

  tests/e2e/with-display.sh /usr/bin/python3 bench/handoff/handoff_time.py [N ...]
"""

import time

import handoff_common as hc
from handoff_common import drv


def measure(n):
    with hc.serving(n) as (app, socks):
        button = drv._button(app.main_window, "ソケット複製")
        payload = hc.frame("go")
        t0_boot = time.clock_gettime(time.CLOCK_BOOTTIME)
        t0 = time.monotonic()
        drv._press(button)
        # The press takes effect in the program some time after the call returns: a message
        # sent now would still reach the parent. Once the CreateProcess line is there every
        # connection has left the parent, so the messages can only reach the new process.
        hc.wait_until(
            lambda: any(line.startswith("CreateProcess -> ") for line in hc.log_lines_fast(app)),
            60, 0.002, "the CreateProcess line")
        t_create = time.monotonic() - t0
        for s in socks:
            s.sendall(payload)
        t_sent = time.monotonic() - t0
        kids, _ = hc.wait_until(lambda: hc.child_pids(app.pid), 60, 0.005, "the new process")
        new_start = hc.start_offset(kids[0], t0_boot)
        new_process = drv.find_app(kids[0], 60)
        t_window = time.monotonic() - t0
        box, _ = hc.wait_until(new_process.log_box, 60, 0.005, "the new process's log box")

        def go_lines():
            return sum(1 for line in drv._split_lines(drv._text(box)) if line.endswith(" -> go"))

        first = None
        deadline = time.monotonic() + 120
        while True:
            count = go_lines()
            now = time.monotonic() - t0
            if count and first is None:
                first = now
            if count >= n:
                last = now
                break
            if time.monotonic() > deadline:
                raise TimeoutError(f"the new process logged {count} of {n} messages")
            time.sleep(0.005)
        return {"n": n, "sent": t_sent, "create": t_create,
                "new_start": new_start, "window": t_window, "first": first, "all": last}


def main():
    hc.run_sizes(
        measure, [1, 10, 100, 1000, 10000],
        f"{'N':>6} {'CreateProcess':>14} {'sends':>8} {'new start':>12} "
        f"{'new window':>13} {'first msg':>10} {'all msgs':>9}  (seconds after the press)",
        lambda r: f"{r['n']:>6} {r['create']:14.3f} {r['sent']:8.3f} {r['new_start']:12.2f} "
                  f"{r['window']:13.3f} {r['first']:10.3f} {r['all']:9.3f}")


if __name__ == "__main__":
    main()
