"""Unfinished messages against the message budget, full size: 40 clients announce 64 MiB
each and send 48 MiB (1.9 GB), then the rest; a small client is served meanwhile. Prints
the program's anonymous memory before, at its peak while the 40 wait, and the time until
all 40 messages are logged whole.

    tests/e2e/with-display.sh /usr/bin/python3 bench/handoff/unfinished_messages.py

VELMORA_EXE names the program (build/velmora by default here)."""

import os
import socket
import struct
import threading
import time

import handoff_common as hc

hc.EXE = os.environ.get("VELMORA_EXE", os.path.join(hc.HERE, "..", "..", "build", "velmora"))
CLIENTS, ANNOUNCED, FIRST = 40, 64 << 20, 48 << 20
CHUNK = 1 << 20


def anonymous_kib(pid):
    return hc.vm_rss_kib(pid, "RssAnon")


def main():
    app = hc.drv.launch(hc.EXE)
    port = hc.free_port()
    app.listen(port)
    app.wait_for_line(f"Listen -> 0.0.0.0:{port}", 30)
    socks = hc.connect_many(port, CLIENTS)
    small = socket.create_connection(("127.0.0.1", port), timeout=30)
    before = anonymous_kib(app.pid)
    rest = threading.Event()
    zeros = bytes(CHUNK)

    def send(k, sock):
        sock.settimeout(600)
        head = f"whole {k}".encode()
        sock.sendall(struct.pack("<I", ANNOUNCED) + head + zeros[len(head):])
        for _ in range(FIRST // CHUNK - 1):
            sock.sendall(zeros)
        if rest.wait(600):
            for _ in range((ANNOUNCED - FIRST) // CHUNK):
                sock.sendall(zeros)

    senders = [threading.Thread(target=send, args=(k, s), daemon=True) for k, s in enumerate(socks)]
    start = time.monotonic()
    for t in senders:
        t.start()
    peak, served = 0, 0
    # While the 40 wait: 60 s of sampling, the small client served once a second.
    end = time.monotonic() + 60
    while time.monotonic() < end:
        peak = max(peak, anonymous_kib(app.pid))
        small.sendall(hc.frame(f"small {served}"))
        app.wait_for_line(f"{hc.peer(small)} -> small {served}", 30)
        served += 1
        time.sleep(1)
    rest.set()
    for t in senders:
        t.join(600)
    want = {f"{hc.peer(s)} -> whole {k}" for k, s in enumerate(socks)}
    while want - set(hc.log_lines_fast(app)):
        peak = max(peak, anonymous_kib(app.pid))
        if time.monotonic() - start > 900:
            raise TimeoutError("not every message was logged")
        time.sleep(0.5)
    print(f"anonymous memory before: {before / 1024:.0f} MiB")
    print(f"peak while {CLIENTS} x {FIRST >> 20} MiB of {ANNOUNCED >> 20} MiB wait: "
          f"{peak / 1024:.0f} MiB (added {(peak - before) / 1024:.0f} MiB)")
    print(f"small client served {served} times while they waited")
    print(f"all {CLIENTS} messages whole after {time.monotonic() - start:.1f} s")
    app.kill()


if __name__ == "__main__":
    main()
