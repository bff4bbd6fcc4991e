"""Hand-offs while clients keep sending: no message is lost, repeated, damaged or reordered."""

import collections
import ctypes
import os
import re
import shutil
import signal
import socket
import stat
import struct
import tempfile
import threading
import time
import unittest

import handoff_proc as proc
import velmora_driver as driver

EXE = os.environ.get("VELMORA_EXE", "")
CLIENTS = 10
RATE = 50          # messages per second per client
HANDOFFS = 3
MAX_SECONDS = 60   # bound on the sending, whatever happens to the chain
PAYLOAD = re.compile(r"c(\d{5})s(\d{9})")
UPGRADE_CLIENTS = 50
UPGRADES = 3
CONNECT_EVERY = 0.01  # seconds between the newcomers' connections
MAX_NEWCOMERS = 3000
NEWCOMER = re.compile(r"k(\d{5})")
WAIT = 30.0           # bounds that only catch a hang


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ClientThread(threading.Thread):
    """A thread of loopback clients that runs until stopped; its sockets close on close()."""

    def __init__(self, socks):
        super().__init__(daemon=True)
        self.socks = socks
        self.stopped = threading.Event()
        self.error = None

    def stop(self):
        self.stopped.set()
        self.join(driver.DEFAULT_TIMEOUT)

    def close(self):
        for s in self.socks:
            s.close()


class PacedSenders(ClientThread):
    """`clients` connections sending "c<id>s<seq>" frames at RATE each until stopped."""

    def __init__(self, port, clients=CLIENTS):
        super().__init__([driver.FramedClient(port).sock for _ in range(clients)])
        self.peers = {"%s:%d" % s.getsockname()[:2]: i for i, s in enumerate(self.socks)}
        self.sent = [0] * clients

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


class Newcomers(ClientThread):
    """A new connection every CONNECT_EVERY s, each sending one "k<n>" frame and kept open;
    refused connections are counted."""

    def __init__(self, port):
        super().__init__([])
        self.port = port
        self.refused = 0

    def run(self):
        start = time.monotonic()
        try:
            while (not self.stopped.wait(CONNECT_EVERY) and len(self.socks) < MAX_NEWCOMERS
                   and time.monotonic() - start < MAX_SECONDS):
                try:
                    s = socket.create_connection(("127.0.0.1", self.port), timeout=WAIT)
                except ConnectionRefusedError:
                    self.refused += 1
                    continue
                body = b"k%05d" % len(self.socks)
                s.sendall(struct.pack("<I", len(body)) + body)
                self.socks.append(s)
        except OSError as e:
            self.error = e


def wait_status(pid, timeout):
    """The exit status of a child (an orphaned generation is ours: we are a subreaper)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    raise TimeoutError(f"pid {pid} did not exit within {timeout:g} s")


@unittest.skipUnless(EXE and os.path.exists(EXE), "VELMORA_EXE not set")
class UpgradeLoadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # PR_SET_CHILD_SUBREAPER: each generation is orphaned when its parent leaves, and its
        # exit status must still reach us.
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)

    def setUp(self):
        self.senders = self.newcomers = None
        self.apps = []
        self.tmp = tempfile.mkdtemp(prefix="velmora-upgrade-")
        # Two copies of the program: each generation starts the other's path.
        self.paths = [os.path.join(self.tmp, name) for name in ("a", "b")]
        for path in self.paths:
            shutil.copy2(os.path.realpath(EXE), path)

    def tearDown(self):
        for group in (self.senders, self.newcomers):
            if group is not None:
                group.stopped.set()
                group.close()
        for app in self.apps:
            app.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def install_gate(self, k):
        """Puts a script at generation k's path that starts the program at the other path
        once the test opens gate k: the old process's log can be read before it leaves."""
        path, real = self.paths[k % 2], self.paths[(k + 1) % 2]
        gate = os.path.join(self.tmp, f"gate{k}")
        staged = path + ".new"
        with open(staged, "w") as f:
            f.write(f"#!/bin/sh\nn=0\nwhile [ ! -e '{gate}' ] && [ $n -lt 6000 ]; do\n"
                    f"  sleep 0.01; n=$((n + 1))\ndone\nexec '{real}' \"$@\"\n")
        os.chmod(staged, stat.S_IRWXU)
        os.rename(staged, path)
        return gate

    def upgrade(self, k, old):
        """SIGUSR2 to old; returns (old's log once it holds no connection, the new App)."""
        gate = self.install_gate(k)
        before = len(old.log_lines())
        os.kill(old.pid, signal.SIGUSR2)
        # Logged after the connections were suspended: no message line follows it here.
        old.wait_for_line(lambda x: x.startswith("CreateProcess -> /"), WAIT, before)
        log = old.log_lines()
        (pid,) = proc.wait_until(lambda: proc.children_of(old.pid), WAIT, "the new process")
        open(gate, "w").close()
        new = driver.find_app(pid, WAIT)
        self.apps.append(new)
        # The other path holds the program again for the generation after.
        shutil.copy2(os.path.realpath(EXE), self.paths[k % 2] + ".new")
        os.rename(self.paths[k % 2] + ".new", self.paths[k % 2])
        return log, new

    def test_upgrades_under_load_lose_and_refuse_nothing(self):
        port = free_port()
        old = driver.launch(self.paths[0], env=dict(os.environ, VELMORA_HANDOFF_DEADLINE="60"))
        self.apps.append(old)
        old.listen(port)
        self.senders = PacedSenders(port, UPGRADE_CLIENTS)
        driver.poll(lambda: sum(x.endswith(" -> OnAccept") for x in old.log_lines())
                    >= UPGRADE_CLIENTS, WAIT, "every OnAccept line")
        self.senders.start()
        self.newcomers = Newcomers(port)
        self.newcomers.start()
        logs = []
        for k in range(UPGRADES):
            driver.poll(lambda: len(self.newcomers.socks) > 20 * (k + 1), WAIT, "newcomers")
            log, new = self.upgrade(k, old)
            logs.append(log)
            self.assertEqual(wait_status(old.pid, WAIT), 0, f"generation {k}")
            new.wait_for_line(f"Listen -> 0.0.0.0:{port} (from process {old.pid})", WAIT)
            old = new
        self.senders.stop()
        self.newcomers.stop()
        self.assertIsNone(self.senders.error)
        self.assertIsNone(self.newcomers.error)
        self.assertEqual(self.newcomers.refused, 0)

        # The last generation holds the listener and serves a client that comes afterwards.
        listening = {s.inode for s in proc.tcp_sockets()
                     if s.local_port == port and s.state == proc.TCP_LISTEN}
        self.assertTrue(listening & set(proc.Census(old.pid).listening.values()))
        with driver.FramedClient(port, WAIT) as late:
            late.send("late")
            old.wait_for_line(late.line("late"), WAIT)

        total = sum(self.senders.sent)

        def complete():
            lines = [x for log in logs + [old.log_lines()] for x in log]
            texts = [x.partition(" -> ")[2] for x in lines]
            done = (sum(map(bool, map(PAYLOAD.fullmatch, texts))) >= total and
                    sum(map(bool, map(NEWCOMER.fullmatch, texts))) >= len(self.newcomers.socks))
            return lines if done else None

        lines = driver.poll(complete, 60, f"{total} messages and every newcomer's")
        seqs = collections.defaultdict(list)
        newcomers = collections.Counter()
        for line in lines:
            peer, _, text = line.partition(" -> ")
            m = PAYLOAD.fullmatch(text)
            if m:
                self.assertEqual(self.senders.peers.get(peer), int(m.group(1)), line)
                seqs[int(m.group(1))].append(int(m.group(2)))
            elif NEWCOMER.fullmatch(text):
                newcomers[text] += 1
        for cid, sent in enumerate(self.senders.sent):
            # Generations are read oldest first, so this also checks order across them.
            self.assertEqual(seqs[cid], list(range(sent)), f"connection {cid}")
        self.assertEqual(newcomers, collections.Counter(
            "k%05d" % n for n in range(len(self.newcomers.socks))))


if __name__ == "__main__":
    unittest.main()
