"""Many connections: N concurrent idle connections accepted, then one message on each.

Reports the accept rate (first connect until the N-th OnAccept line shows), the time until
all N message lines show, and VmRSS: at rest after Port Listen, after the N idle
connections, and after the N message lines. The message text has the length of "OnAccept",
so the growth of the last step estimates what N log lines cost by themselves.

  tests/e2e/with-display.sh /usr/bin/python3 bench/handoff/connections.py [N]
"""

import sys
import time

import handoff_common as hc

SETTLE = 1.0  # seconds for the UI to finish laying out before RSS is read


def main():
    hard = hc.raise_nofile()
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    if n + 64 > hard:
        print(f"{n} connections do not fit the hard descriptor limit {hard}")
        return 1
    port = hc.free_port()
    app = hc.launch_listening(port)
    socks = []
    try:
        hc.wait_until(lambda: app.log_box(), 30)
        time.sleep(SETTLE)
        rss0 = hc.vm_rss_kib(app.pid)

        t0 = time.monotonic()
        socks = hc.connect_many(port, n)
        t_connected = time.monotonic() - t0
        hc.wait_until(lambda: hc.count_suffix(app, " -> OnAccept") >= n, 120, 0.02,
                      f"{n} OnAccept lines")
        t_accepted = time.monotonic() - t0
        time.sleep(SETTLE)
        rss1 = hc.vm_rss_kib(app.pid)

        payload = hc.frame("message1")
        t1 = time.monotonic()
        for s in socks:
            s.sendall(payload)
        hc.wait_until(lambda: hc.count_suffix(app, " -> message1") >= n, 120, 0.02,
                      f"{n} message lines")
        t_served = time.monotonic() - t1
        time.sleep(SETTLE)
        rss2 = hc.vm_rss_kib(app.pid)

        per_conn = (rss1 - rss0) * 1024 / n
        per_line = (rss2 - rss1) * 1024 / n
        print(f"{n} connections: client connects done after {t_connected:.3f} s, all OnAccept "
              f"lines after {t_accepted:.3f} s ({n / t_accepted:.0f} connections/s)")
        print(f"one message on each: all {n} lines after {t_served:.3f} s")
        print(f"VmRSS {rss0} KiB at rest, {rss1} KiB with {n} idle connections, "
              f"{rss2} KiB after {n} more log lines")
        print(f"per idle connection {per_conn:.0f} B raw (OnAccept line included); "
              f"one log line of that length {per_line:.0f} B; "
              f"per connection without its line about {per_conn - per_line:.0f} B")
        return 0
    finally:
        for s in socks:
            s.close()
        hc.kill_all()


if __name__ == "__main__":
    sys.exit(main())
