"""A chain of hand-offs under load: N clients send paced, numbered messages while the
connections are handed from process to process K times; afterwards every generation's log
box is read and each connection's sequence numbers are checked: each exactly once, in order
within and across generations, payload intact.

  tests/e2e/with-display.sh /usr/bin/python3 bench/handoff/handoff_chain.py \
      [--handoffs 10] [--connections 100] [--rate 200] [--max-seconds 120]
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time

import handoff_common as hc
from handoff_common import drv

PAYLOAD = re.compile(r"c(\d{5})s(\d{9})")


def split_line(line):
    """(peer, text) of "peer -> text", or None."""
    peer, sep, text = line.partition(" -> ")
    return (peer, text) if sep else None


def message_lines(lines, peers):
    return [(p, t) for p, t in filter(None, map(split_line, lines)) if p in peers and t != "OnAccept"]


def check(generations, peers, sent):
    """Counts of lost, duplicated, corrupted and out-of-order messages over all generations.

    generations: each generation's log lines, oldest first; peers: peer text -> connection
    id; sent: messages sent per connection id."""
    seqs = {cid: [] for cid in peers.values()}
    corrupted = []
    per_generation = []
    for lines in generations:
        n = 0
        for peer, text in message_lines(lines, peers):
            m = PAYLOAD.fullmatch(text)
            if not m or int(m.group(1)) != peers[peer]:
                corrupted.append((peer, text))
                continue
            seqs[peers[peer]].append(int(m.group(2)))
            n += 1
        per_generation.append(n)
    lost = duplicated = out_of_order = 0
    for cid, got in seqs.items():
        unique = set(got)
        duplicated += len(got) - len(unique)
        lost += len(set(range(sent[cid])) - unique)
        out_of_order += sum(1 for a, b in zip(got, got[1:]) if b <= a)
    return {"lost": lost, "duplicated": duplicated, "corrupted": len(corrupted),
            "out_of_order": out_of_order, "per_generation": per_generation,
            "examples": corrupted[:5]}


def first_message(app, peers):
    return bool(message_lines(hc.log_lines_fast(app), peers))


def run(handoffs, connections, rate, max_seconds):
    port = hc.free_port()
    gen0 = hc.launch_listening(port)
    clients = subprocess.Popen(
        [sys.executable, os.path.join(hc.HERE, "chain_clients.py"), "--port", str(port),
         "--connections", str(connections), "--rate", str(rate),
         "--max-seconds", str(max_seconds)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        peers = json.loads(clients.stdout.readline())["peers"]
        hc.wait_until(lambda: hc.count_suffix(gen0, " -> OnAccept") >= connections, 60, 0.05,
                      "every OnAccept line")
        clients.stdin.write("start\n")
        clients.stdin.flush()
        start = time.monotonic()
        chain = [gen0]
        for k in range(handoffs):
            app = chain[-1]
            hc.wait_until(lambda: first_message(app, peers), 60, 0.02,
                          f"a message line in generation {k}")
            app.click("ソケット複製")
            kids, _ = hc.wait_until(lambda: hc.child_pids(app.pid), 60, 0.01,
                                    f"the new process of generation {k}")
            chain.append(drv.find_app(kids[0], 60))
        hc.wait_until(lambda: first_message(chain[-1], peers), 60, 0.02,
                      "a message line in the last generation")
        chain_seconds = time.monotonic() - start
        clients.stdin.write("stop\n")
        clients.stdin.flush()
        result = json.loads(clients.stdout.readline())
        sent = result["sent"]
        total = sum(sent)

        def all_logged():
            logs = [hc.log_lines_fast(app) for app in chain]
            n = sum(len(message_lines(lines, peers)) for lines in logs)
            return logs if n >= total else None

        try:
            logs, _ = hc.wait_until(all_logged, 120, 0.5, f"{total} message lines")
        except TimeoutError:
            logs = [hc.log_lines_fast(app) for app in chain]
        report = check(logs, peers, {int(k): v for k, v in enumerate(sent)})
        report.update({"sent": total, "send_seconds": result["seconds"],
                       "chain_seconds": chain_seconds, "pids": [a.pid for a in chain]})
        return report
    finally:
        if clients.poll() is None:
            clients.kill()
        clients.wait(30)
        hc.kill_all()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--handoffs", type=int, default=10)
    p.add_argument("--connections", type=int, default=100)
    p.add_argument("--rate", type=float, default=200)
    p.add_argument("--max-seconds", type=float, default=120)
    a = p.parse_args()
    hc.raise_nofile()
    r = run(a.handoffs, a.connections, a.rate, a.max_seconds)
    print(f"{a.handoffs} hand-offs, {a.connections} connections at {a.rate:g} messages/s each")
    print(f"chain took {r['chain_seconds']:.2f} s; clients sent {r['sent']} messages "
          f"in {r['send_seconds']:.2f} s")
    print(f"messages per generation: {r['per_generation']}")
    print(f"lost {r['lost']}, duplicated {r['duplicated']}, corrupted {r['corrupted']}, "
          f"out of order {r['out_of_order']}")
    if r["examples"]:
        print(f"corrupted examples: {r['examples']}")
    return 0 if r["lost"] == r["duplicated"] == r["corrupted"] == r["out_of_order"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
