"""A full descriptor table: N idle clients against a program limited to N descriptors.

The program runs under `ulimit -n N`; N clients connect without waiting (those past the
program's reserve wait in the backlog or in SYN retries). Reports the connections accepted
when the accept episode begins, whether the process lives through HOLD seconds of the full
table (its descriptors and memory at the end), then, once LEAVE clients close, the time
until "Accept -> accepting again" and until a new client's message is logged.

  tests/e2e/with-display.sh /usr/bin/python3 bench/handoff/full_table.py [N [HOLD [LEAVE]]]

The clients are spread over holder processes, so N may exceed this script's own limit.
"""

import multiprocessing
import os
import resource
import socket
import sys
import time

import handoff_common as hc

RESUMED = "Accept -> accepting again"


def episode(line):
    """The line that begins an accept episode: the reserve reached, or accept failing."""
    return line.startswith("Accept -> ") and line != RESUMED


def connect_without_waiting(port, count, max_seconds=120):
    """count non-blocking connects, bounded in time; a pause now and then lets the program
    drain its backlog rather than the SYNs being dropped."""
    deadline = time.monotonic() + max_seconds
    socks = []
    for i in range(count):
        if time.monotonic() > deadline:
            raise TimeoutError(f"only {i} of {count} connects within {max_seconds} s")
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        socks.append(s)
        if i % 500 == 499:
            time.sleep(0.05)
    return socks


def holder(port, count, pipe):
    """A process of clients: connects count, then closes as many as each command says."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    socks = connect_without_waiting(port, count)
    pipe.send(len(socks))
    while True:
        m = pipe.recv()
        for s in socks[:m]:
            s.close()
        del socks[:m]
        pipe.send(len(socks))
        if not socks:
            return


class Clients:
    """n clients spread over processes of at most `per` each, the first ones earliest."""

    def __init__(self, port, n, per):
        self.holders = []
        for first in range(0, n, per):
            ours, theirs = multiprocessing.Pipe()
            proc = multiprocessing.Process(target=holder,
                                           args=(port, min(per, n - first), theirs))
            proc.start()
            ours.recv()
            self.holders.append((proc, ours))

    def leave(self, count):
        """The first count clients of the first process close."""
        self.holders[0][1].send(count)
        self.holders[0][1].recv()

    def stop(self):
        for proc, _ in self.holders:
            proc.kill()
            proc.join()


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    hold = float(sys.argv[2]) if len(sys.argv) > 2 else 60
    leave = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    per = resource.getrlimit(resource.RLIMIT_NOFILE)[1] - 256
    port = hc.free_port()
    app = hc.drv.launch("/bin/bash", ["-c", f'ulimit -n {n} && exec "$0"', hc.EXE])
    clients = None
    try:
        app.listen(port)
        t0 = time.monotonic()
        clients = Clients(port, n, per)
        hc.wait_until(lambda: any(map(episode, hc.log_lines_fast(app))), 120, 0.5,
                      "the episode line")
        t_full = time.monotonic() - t0
        time.sleep(2)
        accepted = hc.count_suffix(app, " -> OnAccept")
        first = next(filter(episode, hc.log_lines_fast(app)))
        print(f"limit {n}: {accepted} connections accepted, '{first}' after {t_full:.1f} s")

        alive = True
        start = time.monotonic()
        while time.monotonic() - start < hold and alive:
            time.sleep(1)
            alive = app.is_running()
        if not alive:
            print(f"process GONE {time.monotonic() - start:.0f} s into the hold")
            return 1
        print(f"held {hold:g} s: process alive, {descriptors(app.pid)} descriptors open, "
              f"RssAnon {hc.vm_rss_kib(app.pid, 'RssAnon') / 1024:.0f} MiB, "
              f"episode lines {sum(map(episode, hc.log_lines_fast(app)))}")

        t1 = time.monotonic()
        clients.leave(leave)
        hc.wait_until(lambda: RESUMED in hc.log_lines_fast(app), 120, 0.2, "accepting again")
        t_resumed = time.monotonic() - t1
        fresh = socket.create_connection(("127.0.0.1", port), timeout=120)
        fresh.sendall(hc.frame("a new client after the full table"))
        line = f"{hc.peer(fresh)} -> a new client after the full table"
        hc.wait_until(lambda: line in hc.log_lines_fast(app), 180, 0.5, "the new client's line")
        t_served = time.monotonic() - t1
        fresh.close()
        lines = hc.log_lines_fast(app)
        print(f"{leave} clients left: accepting again after {t_resumed:.2f} s, a new client "
              f"served after {t_served:.2f} s; {sum(1 for x in lines if x.endswith(' -> OnAccept'))} "
              f"OnAccept lines in all, process {'alive' if app.is_running() else 'GONE'}")
        return 0
    finally:
        if clients:
            clients.stop()
        app.kill()


if __name__ == "__main__":
    sys.exit(main())
