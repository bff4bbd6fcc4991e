#!/usr/bin/env python3
"""Log box figures on the real program, read the way assistive technology reads it.

Run inside the headless session, from the repository root:

    tests/e2e/with-display.sh /usr/bin/python3 bench/app/targets.py [--build build] CASE...

CASE is one of rate, flood4000, big, bigstream (all of them when none is named). Each case
starts a fresh build/velmora, presses Port Listen through AT-SPI, loads it with
build/bench/load/velmora_load_client and, every 10 ms while the load runs, asks the log box
for its character count over AT-SPI. That call is answered by the program's UI thread, so
its round trip is the UI's responsiveness as a screen reader sees it; the count tells when
every line is in the box (all lines have known lengths). Memory is the process's RssAnon.
The rate case then gives the same load to the asyncio peer (bench/peers/python_server.py).
Every wait is bounded.
"""

import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import velmora_driver as driver  # noqa: E402

PREFIX = len("127.0.0.1:50000 -> ")  # ephemeral ports have five digits here
ACCEPT = PREFIX + len("OnAccept")
CLOSE = PREFIX + len("OnClose")  # the load client shuts each connection down cleanly
ATSPI_LIMIT = 2 ** 31 - 1  # past this many characters the box shows readers its recent part


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def anon_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    return 0


def process_cpu_ticks(pid):
    fields = driver.stat_fields(pid)
    return int(fields[11]) + int(fields[12])


def ui_cpu_seconds(pid):
    """Processor time of the program's main (UI) thread: its task's own stat, not the
    process's, which sums every thread."""
    with open(f"/proc/{pid}/task/{pid}/stat", "rb") as f:
        stat = f.read().decode("utf-8", "replace")
    fields = stat[stat.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(values, p):
    if not values:
        return 0.0
    values = sorted(values)
    return values[min(len(values) - 1, int(p * (len(values) - 1) + 0.5))]


class Program:
    def __init__(self, build):
        self.exe = os.path.join(build, "velmora")
        self.load = os.path.join(build, "bench", "load", "velmora_load_client")
        self.app = driver.launch(self.exe)
        self.port = free_port()
        self.app.listen(self.port)
        self.box = self.app.log_box()
        # The listening line comes first; the load's lines are counted after it.
        driver.poll(lambda: self.chars() > 0, driver.DEFAULT_TIMEOUT, "the listening line")
        self.count = self.chars()

    def chars(self):
        return driver.Atspi.Text.get_character_count(self.box)

    def run(self, connections, messages, size, bound, expect_chars=None):
        """Sends the load, probing every 10 ms, until the box holds every line or bound."""
        expected = self.count + connections * (ACCEPT + 1 + CLOSE + 1) + \
            connections * messages * (PREFIX + size + 1)
        if expect_chars is not None:
            expected = expect_chars
        anon0 = anon_kib(self.app.pid)
        cpu0 = ui_cpu_seconds(self.app.pid)
        peak = anon0
        trips = []
        start = time.monotonic()
        client = subprocess.Popen(
            [self.load, "--port", str(self.port), "--connections", str(connections),
             "--messages", str(messages), "--size", str(size), "--max-seconds", str(bound)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        count = self.count
        # Past the readers' limit the count cannot tell when the last line is in: then the
        # load is over once the client has exited and the program has used no processor
        # for a second.
        beyond = expected > ATSPI_LIMIT
        failed = 0
        while time.monotonic() - start < bound:
            t0 = time.monotonic()
            try:
                count = self.chars()
            except driver.GLib.GError:
                failed += 1  # no answer within the bus's timeout: counted, and kept as a trip
            trips.append((time.monotonic() - t0) * 1000)
            peak = max(peak, anon_kib(self.app.pid))
            if not beyond and count >= expected:
                break
            if beyond and client.poll() is not None:
                # No probe meanwhile: the probes themselves keep the UI thread busy.
                while time.monotonic() - start < bound:
                    ticks = process_cpu_ticks(self.app.pid)
                    time.sleep(1.0)
                    peak = max(peak, anon_kib(self.app.pid))
                    if process_cpu_ticks(self.app.pid) == ticks:
                        break
                count = self.chars()
                break
            time.sleep(max(0.0, 0.010 - (time.monotonic() - t0)))
        seconds = time.monotonic() - start
        try:
            out = client.communicate(timeout=30)[0].strip()
        except subprocess.TimeoutExpired:
            client.kill()
            out = client.communicate()[0].strip()
        # The last line whole: a line break, the endpoint, then the payload's tag, give or
        # take the one character a reader's window past 2^31 may add at the end.
        try:
            head = driver.Atspi.Text.get_text(self.box, count - PREFIX - size - 2,
                                              count - size + 17)
        except driver.GLib.GError as e:
            head = f"(no answer: {e.message[:40]})"
        tail_ok = re.search(r"\n127\.0\.0\.1:\d{5} -> c\d{5}s\d{9}", head) is not None
        result = {
            "seconds": seconds, "tail": head, "beyond": beyond, "failed": failed,
            "complete": (count == expected) if not beyond else tail_ok, "chars": count - self.count,
            "expected_chars": expected - self.count, "anon_before_kib": anon0,
            "anon_after_kib": anon_kib(self.app.pid), "anon_peak_kib": peak,
            "ui_cpu": ui_cpu_seconds(self.app.pid) - cpu0, "trips": trips, "client": out,
        }
        self.count = count
        return result

    def close(self):
        code = self.app.close(timeout=60)
        return code


def report(name, r, lines=None):
    trips = r["trips"]
    if r["beyond"]:
        print(f"== {name}: {'complete' if r['complete'] else 'INCOMPLETE'} (past the readers'"
              f" 2^31 characters; last line read back whole: {r['tail']!r}) in"
              f" {r['seconds']:.3f} s")
    else:
        print(f"== {name}: {'complete' if r['complete'] else 'INCOMPLETE'} "
              f"({r['chars']} of {r['expected_chars']} characters) in {r['seconds']:.3f} s")
    if lines:
        print(f"   {lines} lines, {lines / r['seconds']:,.0f} lines/s")
    print(f"   AT-SPI round trip over {len(trips)} probes: median {percentile(trips, 0.5):.1f} ms,"
          f" p99 {percentile(trips, 0.99):.1f} ms, max {max(trips or [0]):.1f} ms"
          + (f"; {r['failed']} unanswered" if r["failed"] else ""))
    grow = r["anon_after_kib"] - r["anon_before_kib"]
    print(f"   RssAnon {r['anon_before_kib']} -> {r['anon_after_kib']} KiB (+{grow}),"
          f" peak {r['anon_peak_kib']} KiB (+{r['anon_peak_kib'] - r['anon_before_kib']});"
          + (f" {grow * 1024 / lines:.1f} B per line" if lines else ""))
    print(f"   UI thread CPU {r['ui_cpu']:.2f} s; client: {r['client']}")
    sys.stdout.flush()


def peer(build, connections, messages, size, bound):
    port = free_port()
    with tempfile.NamedTemporaryFile(suffix=".log") as out:
        server = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "bench", "peers", "python_server.py"),
             "--port", str(port), "--messages", str(connections * messages),
             "--out", out.name, "--max-seconds", str(bound)],
            stdout=subprocess.PIPE, text=True)
        server.stdout.readline()
        subprocess.run([os.path.join(build, "bench", "load", "velmora_load_client"),
                        "--port", str(port), "--connections", str(connections),
                        "--messages", str(messages), "--size", str(size),
                        "--max-seconds", str(bound)], capture_output=True, timeout=bound + 30)
        print("   asyncio peer, same load: " + server.communicate(timeout=bound + 30)[0].strip())


def case_rate(build):
    program = Program(build)
    r = program.run(64, 15625, 16, 120)
    report("rate: 64 clients x 15,625 x 16 B", r, 64 * 15625)
    program.close()
    peer(build, 64, 15625, 16, 120)


def case_flood4000(build):
    program = Program(build)
    r = program.run(8, 75000, 4000, 600)
    report("flood: 8 clients x 75,000 x 4,000 B", r, 8 * 75000)
    print(f"   exit code {program.close()}")


def case_big(build):
    program = Program(build)
    r = program.run(1, 1, 64 * 1024 * 1024, 300)
    report("one 64 MiB message", r)
    r = program.run(1, 2000, 16, 120)
    report("then 2,000 small ones", r, 2000)
    program.close()
    fresh = Program(build)
    r = fresh.run(1, 2000, 16, 120)
    report("2,000 small ones on an empty box", r, 2000)
    fresh.close()


def case_bigstream(build):
    program = Program(build)
    r = program.run(1, 45, 64 * 1024 * 1024, 900)
    report("one client, 45 x 64 MiB back to back", r, 45)
    print(f"   exit code {program.close()}")


CASES = {"rate": case_rate, "flood4000": case_flood4000, "big": case_big,
         "bigstream": case_bigstream}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("cases", nargs="*", help=" ".join(CASES))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    for name in args.cases or list(CASES):
        CASES[name](build)


if __name__ == "__main__":
    main()
