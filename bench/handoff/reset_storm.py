"""A connect-then-reset storm: N clients each connect and at once reset (linger 0).

Reports the lines the storm adds and their characters per cycle, how many name no
endpoint of the storm, and what they say.

  tests/e2e/with-display.sh /usr/bin/python3 bench/handoff/reset_storm.py [N]
"""

import collections
import socket
import struct
import sys
import time

import handoff_common as hc

MAX_SECONDS = 300


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    port = hc.free_port()
    app = hc.launch_listening(port)
    try:
        hc.wait_until(lambda: app.log_box(), 30)
        before = len(hc.log_lines_fast(app))
        peers = set()
        t0 = time.monotonic()
        for _ in range(n):
            if time.monotonic() - t0 > MAX_SECONDS:
                raise TimeoutError(f"only {len(peers)} of {n} cycles in {MAX_SECONDS} s")
            s = socket.create_connection(("127.0.0.1", port), timeout=30)
            peers.add(hc.peer(s))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
        t_storm = time.monotonic() - t0
        last = socket.create_connection(("127.0.0.1", port), timeout=30)
        sentinel = f"{hc.peer(last)} -> OnAccept"
        hc.wait_until(lambda: sentinel in hc.log_lines_fast(app), 120, 0.5, "the last client")
        time.sleep(2)
        lines = hc.log_lines_fast(app)[before:]
        lines.reverse()
        lines.remove(sentinel)  # the last client's own line, not an earlier one of its port
        lines.reverse()
        kinds = collections.Counter()
        strangers = 0
        for line in lines:
            endpoint, _, text = line.partition(" -> ")
            if endpoint not in peers:
                strangers += 1
            kinds[text] += 1
        chars = sum(len(x) + 1 for x in lines)
        print(f"{n} cycles in {t_storm:.1f} s: {len(lines)} lines, {len(lines) / n:.2f} per cycle, "
              f"{chars / n:.1f} characters per cycle, {strangers} without a storm endpoint, "
              f"{len(peers)} distinct endpoints, process {'alive' if app.is_running() else 'GONE'}")
        for text, count in kinds.most_common():
            print(f"  {count:>6}  ... -> {text}")
        last.close()
        return 0
    finally:
        app.kill()


if __name__ == "__main__":
    sys.exit(main())
