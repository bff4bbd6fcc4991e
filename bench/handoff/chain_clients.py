"""Paced senders for the hand-off chain: N loopback connections, each sending framed
"c%05ds%09lld" payloads (connection id, sequence number) at R messages per second.

Protocol on stdin/stdout (one JSON object per line):
  out {"peers": {"127.0.0.1:P": id, ...}}     once connected
  in  "start"                                   begin sending
  in  "stop" (or end of input)                  stop after whole frames
  out {"sent": {id: count, ...}, "seconds": s}  then exit
Sending also stops after --max-seconds or --max-messages per connection.

  chain_clients.py --port P [--connections 100] [--rate 200] [--max-seconds 120]
                   [--max-messages 100000]
"""

import argparse
import json
import os
import selectors
import socket
import struct
import sys
import time

TICK = 0.01


def frame(cid, seq):
    body = b"c%05ds%09d" % (cid, seq)
    return struct.pack("<I", len(body)) + body


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--connections", type=int, default=100)
    p.add_argument("--rate", type=float, default=200)
    p.add_argument("--max-seconds", type=float, default=120)
    p.add_argument("--max-messages", type=int, default=100000)
    a = p.parse_args()

    socks = []
    for _ in range(a.connections):
        s = socket.create_connection(("127.0.0.1", a.port), timeout=60)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        socks.append(s)
    peers = {"%s:%d" % s.getsockname()[:2]: i for i, s in enumerate(socks)}
    print(json.dumps({"peers": peers}), flush=True)

    stdin = sys.stdin.buffer
    if stdin.readline().strip() != b"start":
        return 1
    sel = selectors.DefaultSelector()
    sel.register(stdin.fileno(), selectors.EVENT_READ)
    sent = [0] * a.connections
    start = time.monotonic()
    deadline = start + a.max_seconds
    stop = False
    while not stop and time.monotonic() < deadline:
        due = min(a.max_messages, int((time.monotonic() - start) * a.rate) + 1)
        for i, s in enumerate(socks):
            if sent[i] < due:
                # Blocks while the server holds back reading; the frames stay whole.
                s.sendall(b"".join(frame(i, q) for q in range(sent[i], due)))
                sent[i] = due
        if all(n >= a.max_messages for n in sent):
            break
        for _key, _ in sel.select(TICK):
            line = os.read(stdin.fileno(), 4096)
            if not line or b"stop" in line:
                stop = True
    seconds = time.monotonic() - start
    print(json.dumps({"sent": sent, "seconds": seconds}), flush=True)
    if not stop:
        stdin.readline()  # keeps the connections open until told
    for s in socks:
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
