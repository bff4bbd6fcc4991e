"""Hand-offs while clients keep sending: no message is lost, repeated, damaged or reordered."""

import os
import re
import socket
import struct
import threading
import time
import unittest

import velmora_driver as driver

EXE = os.environ.get("VELMORA_EXE", "")
CLIENTS = 10
RATE = 50          # messages per second per client
HANDOFFS = 3
MAX_SECONDS = 60   # bound on the sending, whatever happens to the chain
PAYLOAD = re.compile(r"c(\d{5})s(\d{9})")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PacedSenders(threading.Thread):
    """CLIENTS connections sending "c<id>s<seq>" frames at RATE each until stopped."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.socks = [driver.FramedClient(port).sock for _ in range(CLIENTS)]
        self.peers = {"%s:%d" % s.getsockname()[:2]: i for i, s in enumerate(self.socks)}
        self.sent = [0] * CLIENTS
        self.stopped = threading.Event()
        self.error = None

    def run(self):
        start = time.monotonic()
        try:
            while not self.stopped.wait(0.01) and time.monotonic() - start < MAX_SECONDS:
                due = int((time.monotonic() - start) * RATE) + 1
                for i, s in enumerate(self.socks):
                    frames = []
                    for seq in range(self.sent[i], due):
                        body = b"c%05ds%09d" % (i, seq)
                        frames.append(struct.pack("<I", len(body)) + body)
                    s.sendall(b"".join(frames))
                    self.sent[i] = max(self.sent[i], due)
        except OSError as e:
            self.error = e

    def stop(self):
        self.stopped.set()
        self.join(driver.DEFAULT_TIMEOUT)

    def close(self):
        for s in self.socks:
            s.close()


@unittest.skipUnless(EXE and os.path.exists(EXE), "VELMORA_EXE not set")
class HandOffLoadTest(unittest.TestCase):
    def setUp(self):
        self.senders = None
        self.chain = []

    def tearDown(self):
        if self.senders is not None:
            self.senders.stopped.set()
            self.senders.close()
        for app in self.chain + driver.apps_of(EXE):
            app.kill()

    def messages(self, app):
        """(connection id, payload) of each message line, in log order."""
        out = []
        for line in app.log_lines():
            peer, sep, text = line.partition(" -> ")
            if sep and peer in self.senders.peers and text != "OnAccept":
                out.append((self.senders.peers[peer], text))
        return out

    def test_chain_of_handoffs_under_load_keeps_every_message_once_and_in_order(self):
        port = free_port()
        chain = self.chain
        chain.append(driver.launch(EXE))
        chain[0].listen(port)
        self.senders = PacedSenders(port)
        driver.poll(lambda: sum(line.endswith(" -> OnAccept") for line in chain[0].log_lines())
                    == CLIENTS, what="every OnAccept line")
        self.senders.start()
        for k in range(HANDOFFS):
            driver.poll(lambda: self.messages(chain[-1]), what=f"a message in generation {k}")
            chain[-1].click("ソケット複製")
            chain.append(chain[-1].wait_for_children(1)[0])
        driver.poll(lambda: self.messages(chain[-1]), what="a message in the last generation")
        for older, newer in zip(chain, chain[1:]):
            older.wait_for_line(f"CreateProcess -> process {newer.pid} took {CLIENTS} connections")
            newer.wait_for_line(f"AdoptSockets -> {CLIENTS} connections from process {older.pid}")
        self.senders.stop()
        self.assertIsNone(self.senders.error)
        total = sum(self.senders.sent)

        logs = driver.poll(
            lambda: (lambda logs: logs if sum(map(len, logs)) >= total else None)(
                [self.messages(app) for app in chain]),
            60, f"{total} message lines over {len(chain)} processes")

        seqs = {i: [] for i in range(CLIENTS)}
        for generation, messages in enumerate(logs):
            self.assertTrue(messages, f"generation {generation} logged no message")
            for cid, text in messages:
                m = PAYLOAD.fullmatch(text)
                self.assertTrue(m and int(m.group(1)) == cid,
                                f"corrupted payload {text!r} on connection {cid}")
                seqs[cid].append(int(m.group(2)))
        for cid, got in seqs.items():
            # Generations are read oldest first, so this also checks order across them.
            self.assertEqual(got, list(range(self.senders.sent[cid])), f"connection {cid}")


if __name__ == "__main__":
    unittest.main()
