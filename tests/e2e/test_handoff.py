"""End-to-end tests of the connection hand-off on the real program (run under with-display.sh).

Real processes of build/velmora, real clients on loopback, the log box of every
generation read through AT-SPI. Descriptors are counted under /proc/<pid>/fd and told
apart with /proc/net/tcp (listening 0A, established 01).
"""

import collections
import os
import re
import shutil
import signal
import socket
import stat
import struct
import tempfile
import time
import unittest
import uuid

import handoff_proc as proc
import velmora_driver as driver

EXE = os.environ.get("VELMORA_EXE", "")
DUPLICATE = "ソケット複製"
# Every process a test starts, and every generation after it, inherits this marker.
MARKER = "VELMORA_HANDOFF_E2E"
# Names the memfd with the bytes a handing-over process had read and not yet logged.
STATE_VARIABLE = "VELMORA_HANDOFF_STATE"
# Bounds that only catch a hang.
WAIT = 30.0
# How long a new process has to confirm, kept short for the new process that hangs.
DEADLINE_VARIABLE = "VELMORA_HANDOFF_DEADLINE"
# Broken builds installed at the program's path, and the line each rollback writes.
BROKEN = [
    ("exits", "exit 1",
     "the new process exited with status 1 before taking the connections"),
    ("crashes", "ulimit -c 0; kill -SEGV $$",
     "the new process was killed by signal 11 (Segmentation fault) before taking the connections"),
    ("hangs", "exec sleep 600",
     "the new process did not answer within 2 s"),
]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connections(count):
    return "1 connection" if count == 1 else f"{count} connections"


def frame(text):
    body = text.encode("utf-8")
    return struct.pack("<I", len(body)) + body


@unittest.skipUnless(EXE and os.path.exists(EXE), "VELMORA_EXE not built")
class HandOffTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.exe = os.path.realpath(EXE)
        self.token = uuid.uuid4().hex
        self.env = dict(os.environ, **{MARKER: self.token})
        self.apps = []
        self.clients = []
        self.tmp = tempfile.mkdtemp(prefix="velmora-handoff-")

    def tearDown(self):
        for client in self.clients:
            client.close()
        # Children outlive their parents: every generation is found by the marker.
        proc.kill_marked(MARKER, self.token)
        for app in self.apps:
            app.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)

    # -- helpers -------------------------------------------------------------------
    def launch(self, path, args=()):
        app = driver.launch(path, args, env=self.env)
        self.apps.append(app)
        return app

    def serve(self, app):
        """Listens on a free port; returns once the process holds the listening socket."""
        port = free_port()
        app.listen(port)

        def listening():
            inodes = {s.inode for s in proc.tcp_sockets()
                      if s.local_port == port and s.state == proc.TCP_LISTEN}
            return inodes & set(proc.Census(app.pid).listening.values())

        proc.wait_until(listening, WAIT, f"pid {app.pid} to listen on port {port}")
        return port

    def connect(self, app, port, count):
        """count clients, each seen accepted by app."""
        clients = []
        for _ in range(count):
            client = driver.FramedClient(port, timeout=WAIT)
            self.clients.append(client)
            clients.append(client)
        for client in clients:
            app.wait_for_line(client.line("OnAccept"), WAIT)
        return clients

    def copy_of_program(self, name="velmora"):
        path = os.path.join(self.tmp, name)
        shutil.copy2(self.exe, path)
        return path

    def wait_taken_off_socket(self, port, clients):
        """Waits until every byte the clients sent has reached the server's socket (the
        client's send queue is empty, i.e. acknowledged) and has been read from it (the
        server end's receive queue is empty)."""
        def drained():
            for client in clients:
                mine = proc.client_side(port, client.sock.getsockname()[1])
                theirs = proc.server_side(port, client.sock.getsockname()[1])
                if mine is None or theirs is None or mine.tx_queue or theirs.rx_queue:
                    return False
            return True

        proc.wait_until(drained, WAIT, "the server to read the partial messages")

    def server_inodes(self, port, clients):
        inodes = {}
        for client in clients:
            s = proc.server_side(port, client.sock.getsockname()[1])
            self.assertIsNotNone(s, f"no server end for {client.peer}")
            inodes[client.peer] = s.inode
        return inodes

    def press_duplicate(self, app):
        """Presses the hand-off button; returns the CreateProcess line it logs."""
        after = len(app.log_lines())
        app.click(DUPLICATE, timeout=WAIT)
        return app.wait_for_line(lambda line: line.startswith("CreateProcess -> "), WAIT, after)

    def assert_command_line(self, line, path, count):
        """The line is "CreateProcess -> <path>" and one space before each of count
        integers, nothing after; returns the integers."""
        prefix = f"CreateProcess -> {path}"
        self.assertTrue(line.startswith(prefix), f"{line!r} does not start with {prefix!r}")
        rest = line[len(prefix):]
        self.assertRegex(rest, r"\A(?: -?[0-9]+){%d}\Z" % count,
                         f"{line!r}: after the path, exactly {count} values each after one space")
        return [int(value) for value in rest.split(" ")[1:]]

    def new_process_other_than(self, app, known):
        def found():
            kids = [kid for kid in app.children() if kid.pid not in known]
            return kids[0] if kids and kids[0]._find_main_window() is not None else None

        return driver.poll(found, WAIT, f"a new process of pid {app.pid}")

    def assert_census_holds(self, census, port, clients, values, what):
        """The process holds the clients' connections at exactly the given numbers, each
        once, and no listening socket, no memfd."""
        inodes = self.server_inodes(port, clients)
        self.assertEqual(sorted(census.established), sorted(values), f"{what}: {census}")
        self.assertCountEqual(census.established.values(), inodes.values(), f"{what}: {census}")
        self.assertEqual(census.listening, {}, f"{what} listens: {census}")
        self.assertEqual(census.other_tcp, {}, f"{what}: {census}")
        self.assertEqual(census.memfds, [], f"{what} keeps a memfd: {census}")

    def assert_shares_only(self, census, earlier, inodes, what):
        """Apart from stdio, the only open objects the process shares with an earlier
        generation (as it was before handing off) are the given connections."""
        def objects(c):
            return {t for fd, t in c.fds.items()
                    if fd > 2 and (t.startswith("socket:[") or t.startswith("pipe:["))}

        self.assertEqual(objects(census) & objects(earlier),
                         {f"socket:[{inode}]" for inode in inodes},
                         f"{what} inherited more than the connections:\n{census}\n{earlier}")

    def assert_log(self, app, expected, what):
        """The log box holds exactly these lines, in any order, each as often as listed."""
        self.assertEqual(collections.Counter(app.log_lines()), collections.Counter(expected),
                         what)

    def took(self, parent, new_process, count):
        """Waits for the line of the handing-over process once the new process has taken
        count connections; returns it."""
        return parent.wait_for_line(
            f"CreateProcess -> process {new_process.pid} took {connections(count)}", WAIT)

    def adopted(self, new_process, parent_pid, count):
        """Waits for the line of the new process once it holds count connections of
        parent_pid; returns it."""
        return new_process.wait_for_line(
            f"AdoptSockets -> {connections(count)} from process {parent_pid}", WAIT)

    def assert_serves(self, parent, new_process, clients):
        """Every client's next message reaches the new process, which logs nothing else
        after the line that it took them from the parent."""
        adoption = self.adopted(new_process, parent.pid, len(clients))
        for client in clients:
            client.send("moved")
        for client in clients:
            new_process.wait_for_line(client.line("moved"), WAIT)
        self.assert_log(new_process, [adoption] + [x.line("moved") for x in clients],
                        "the new process's log")

    def close_and_reaped(self, app):
        """Closes a new process and waits until its parent has collected it."""
        self.assertIsNone(app.close(WAIT))
        proc.wait_reaped(app.pid, WAIT)

    def install(self, path, source):
        """Puts a new executable at path the way an upgrade does: renamed over it."""
        staged = path + ".new"
        if os.path.exists(source):
            shutil.copy2(source, staged)
        else:
            with open(staged, "w") as f:
                f.write(source)
            os.chmod(staged, stat.S_IRWXU)
        os.rename(staged, path)

    def install_waiting(self, path, condition):
        """Installs a new build at path that starts the program only once the shell
        condition fails (looked at every 50 ms, for at most 30 s)."""
        self.install(path, "#!/bin/sh\n"
                     f"i=0; while [ $i -lt 600 ] && {condition}; do\n"
                     "  sleep 0.05; i=$((i + 1))\n"
                     "done\n"
                     f"exec '{self.exe}' \"$@\"\n")

    def assert_still_open(self, client):
        """The server has neither closed nor reset the connection."""
        client.sock.setblocking(False)
        try:
            self.assertRaises(BlockingIOError, client.sock.recv, 1)
        finally:
            client.sock.settimeout(WAIT)

    def assert_closed_by_server(self, client):
        client.sock.settimeout(WAIT)
        try:
            data = client.sock.recv(1)
        except ConnectionResetError:
            data = b""
        self.assertEqual(data, b"", f"{client.peer} is still open at the server")

    # -- tests ---------------------------------------------------------------------
    def test_three_generations(self):
        parent = self.launch(self.exe)
        port = self.serve(parent)
        before = proc.Census(parent.pid)
        self.assertEqual(before.established, {})
        self.assertEqual(len(before.listening), 1, before)

        a, b, c = clients = self.connect(parent, port, 3)
        for client in clients:
            client.send("one")
        for client in clients:
            parent.wait_for_line(client.line("one"), WAIT)

        # Half messages: a has its header and part of the body out, b half a header.
        split = "split across the hand-off"
        a.send_raw(frame(split)[:4 + 7])
        b.send_raw(frame("header split")[:2])
        self.wait_taken_off_socket(port, [a, b])

        parent_before = proc.Census(parent.pid)
        line = self.press_duplicate(parent)
        values = self.assert_command_line(line, self.exe, 3)
        self.assertEqual(len(set(values)), 3, line)
        self.assertTrue(all(v >= 3 for v in values), line)
        (new_process,) = parent.wait_for_children(1, WAIT)
        self.assertEqual(driver.read_ppid(new_process.pid), parent.pid)
        # The bytes already read went along in a memfd named by the state variable.
        state_fd = proc.start_environment(new_process.pid).get(STATE_VARIABLE)
        self.assertIsNotNone(state_fd, "the partial messages' state was not handed over")
        self.assertNotIn(int(state_fd), values)

        a.send_raw(frame(split)[4 + 7:])
        b.send_raw(frame("header split")[2:])
        for client in clients:
            client.send("two")
        expected_new = ([self.adopted(new_process, parent.pid, 3), a.line(split),
                         b.line("header split")] + [x.line("two") for x in clients])
        for text in expected_new:
            new_process.wait_for_line(text, WAIT)
        # Once each, whole, in the new process only; the parent logs no close line for them.
        self.assert_log(new_process, expected_new, "the new process's log")
        expected_parent = ([f"Listen -> 0.0.0.0:{port}"] + [x.line("OnAccept") for x in clients]
                           + [x.line("one") for x in clients]
                           + [line, self.took(parent, new_process, 3)])
        self.assert_log(parent, expected_parent, "the parent's log")

        # Descriptors: the new process holds exactly the adopted connections besides its own.
        kid = proc.Census(new_process.pid)
        self.assert_census_holds(kid, port, clients, values, "the new process")
        self.assertEqual(kid.pidfds, [], kid)
        inodes = self.server_inodes(port, clients).values()
        self.assert_shares_only(kid, parent_before, inodes, "the new process")
        # The parent keeps no duplicate: back to where it was before the clients came.
        after = proc.Census(parent.pid)
        self.assertEqual(after.established, {}, after)
        self.assertEqual(after.other_tcp, {}, after)
        self.assertEqual(after.listening, before.listening, after)
        self.assertEqual(after.memfds, [], after)
        self.assertEqual(len(after.pidfds), 1, after)

        # A second hand-off from the parent: every connection it handed off is -1 now.
        second = self.press_duplicate(parent)
        self.assertEqual(second, f"CreateProcess -> {self.exe} -1 -1 -1")
        empty = self.new_process_other_than(parent, {new_process.pid})
        self.assertEqual(driver.read_ppid(empty.pid), parent.pid)
        empty_census = proc.Census(empty.pid)
        self.assertEqual(empty_census.established, {}, empty_census)
        self.assertEqual(empty_census.memfds, [], empty_census)
        # "-1" adopts nothing: before its own accept, its one line says it took none.
        empty_taken = self.took(parent, empty, 0)
        empty_adopted = self.adopted(empty, parent.pid, 0)
        empty_port = self.serve(empty)
        (probe,) = self.connect(empty, empty_port, 1)
        self.assertEqual(empty.log_lines(),
                         [empty_adopted, f"Listen -> 0.0.0.0:{empty_port}", probe.line("OnAccept")])
        # The -1s it was given are a count it hands on beside its own connection.
        relay = self.press_duplicate(empty)
        self.assertEqual(self.assert_command_line(relay, self.exe, 4).count(-1), 3, relay)
        (relayed,) = empty.wait_for_children(1, WAIT)
        self.took(empty, relayed, 1)
        self.adopted(relayed, empty.pid, 1)
        self.close_and_reaped(relayed)
        self.close_and_reaped(empty)
        self.assert_closed_by_server(probe)

        # The new process hands off again: three generations.
        new_before = proc.Census(new_process.pid)
        line2 = self.press_duplicate(new_process)
        values2 = self.assert_command_line(line2, self.exe, 3)
        (grandchild,) = new_process.wait_for_children(1, WAIT)
        self.assertEqual(driver.read_ppid(grandchild.pid), new_process.pid)
        for client in clients:
            client.send("three")
        for client in clients:
            grandchild.wait_for_line(client.line("three"), WAIT)
        self.assert_log(grandchild, [self.adopted(grandchild, new_process.pid, 3)]
                        + [x.line("three") for x in clients], "the grandchild's log")
        self.assert_log(new_process, expected_new + [line2, self.took(new_process, grandchild, 3)],
                        "the new process's log")
        self.assert_log(parent, expected_parent + [second, empty_taken], "the parent's log")

        # Nothing was pending this time, and the new process's own variable does not reach it.
        self.assertNotIn(STATE_VARIABLE, proc.start_environment(grandchild.pid))
        grand = proc.Census(grandchild.pid)
        self.assert_census_holds(grand, port, clients, values2, "the grandchild")
        self.assert_shares_only(grand, new_before, inodes, "the grandchild")
        self.assert_shares_only(grand, parent_before, inodes, "the grandchild")
        kid = proc.Census(new_process.pid)
        self.assertEqual(kid.established, {}, kid)
        self.assertEqual(kid.memfds, [], kid)
        self.assertEqual(len(kid.pidfds), 1, kid)

        # Closing each generation: its parent collects it; the last holder's close ends the
        # clients' connections, so no generation kept a duplicate.
        self.close_and_reaped(grandchild)
        for client in clients:
            self.assert_closed_by_server(client)
        self.assertEqual(proc.Census(new_process.pid).pidfds, [])
        self.close_and_reaped(new_process)
        self.assertEqual(proc.Census(parent.pid).pidfds, [])
        self.assertEqual(proc.children_of(parent.pid), [])
        self.assertEqual(parent.close(WAIT), 0)

    def test_arguments_that_name_no_connection(self):
        bare = self.launch(self.exe)
        args = ["abc", "", "12abc", "-5", "0", "-1", "99999999999"]
        odd = self.launch(self.exe, args)

        # Started with its path alone: adopts nothing, logs nothing before its own accept.
        port = self.serve(bare)
        (client,) = self.connect(bare, port, 1)
        self.assertEqual(bare.log_lines(), [f"Listen -> 0.0.0.0:{port}", client.line("OnAccept")])
        census = proc.Census(bare.pid)
        self.assertEqual(len(census.established), 1, census)

        # Adoption runs before the port is opened, so every line it writes comes first.
        port = self.serve(odd)
        (client,) = self.connect(odd, port, 1)
        lines = odd.log_lines()
        accept = lines.index(client.line("OnAccept"))
        self.assertEqual(lines[accept - 1], f"Listen -> 0.0.0.0:{port}")
        adoption = lines[:accept - 1]
        self.assertEqual(lines[accept + 1:], [])
        # The program started with stdio alone: 12 named nothing then, and its line must say
        # so rather than describe a descriptor the program has opened itself since.
        expected = {
            "12": "AdoptSockets -> 12: Bad file descriptor",
            "-5": "AdoptSockets -> -5: out of range",
            "0": "AdoptSockets -> 0: not a socket",
            "99999999999": "AdoptSockets -> 99999999999: out of range",
        }
        for value, want in expected.items():
            with self.subTest(value=value):
                naming = [x for x in adoption if x.startswith(f"AdoptSockets -> {value}: ")]
                self.assertEqual(naming, [want], f"whole log: {lines}")
        # Given arguments, it says what it took from the process that started it, last.
        with self.subTest("the count taken"):
            self.assertEqual(adoption[-1],
                             f"AdoptSockets -> 0 connections from process {os.getpid()}",
                             f"whole log: {lines}")
        with self.subTest("abc, the empty argument and -1 add nothing"):
            self.assertEqual(len(adoption), len(expected) + 1, f"whole log: {lines}")
        census = proc.Census(odd.pid)
        self.assertEqual(len(census.established), 1, census)

    def test_keepalive_on_adopted_and_accepted_connections(self):
        # A connection made here, without keepalive, is handed to the program to adopt.
        with socket.create_server(("127.0.0.1", 0)) as listener:
            handed = socket.create_connection(listener.getsockname(), timeout=WAIT)
            self.clients.append(handed)
            server_end, _ = listener.accept()
        self.addCleanup(server_end.close)
        self.assertEqual(proc.keepalive(server_end)[0], 0)
        app = driver.launch(self.exe, [server_end.fileno()], env=self.env,
                            pass_fds=[server_end.fileno()])
        self.apps.append(app)
        host, port = handed.getsockname()
        handed.sendall(frame("adopted"))
        app.wait_for_line(f"{host}:{port} -> adopted", WAIT)
        self.assertEqual(app.log_lines()[0],
                         f"AdoptSockets -> 1 connection from process {os.getpid()}")
        # The option belongs to the socket, so this process's copy shows what the program set.
        wanted = (1, 600, 60, 5)
        self.assertEqual(proc.keepalive(server_end), wanted)

        listening = self.serve(app)
        (client,) = self.connect(app, listening, 1)
        census = proc.Census(app.pid)
        inode = proc.server_side(listening, client.sock.getsockname()[1]).inode
        (fd,) = [fd for fd, i in census.established.items() if i == inode]
        with proc.socket_of(app.pid, fd) as accepted:
            self.assertEqual(proc.keepalive(accepted), wanted)

    def test_upgrade_starts_the_new_executable(self):
        path = self.copy_of_program()
        parent = self.launch(path)
        port = self.serve(parent)
        clients = self.connect(parent, port, 3)
        a = clients[0]
        half = "begun by the old version"
        a.send_raw(frame(half)[:4 + 5])
        self.wait_taken_off_socket(port, [a])

        # A new executable renamed over the path: the running process is not affected.
        marker = os.path.join(self.tmp, "new-version-started")
        staged = os.path.join(self.tmp, "velmora.new")
        with open(staged, "w") as f:
            f.write("#!/bin/sh\n"
                    f"printf '%s\\n' \"$@\" > '{marker}'\n"
                    f"exec '{self.exe}' \"$@\"\n")
        os.chmod(staged, stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP)
        os.rename(staged, path)

        parent_before = proc.Census(parent.pid)
        line = self.press_duplicate(parent)
        values = self.assert_command_line(line, path, 3)
        (new_process,) = parent.wait_for_children(1, WAIT)
        self.assertTrue(os.path.exists(marker), "the new executable was not started")
        with open(marker) as f:
            self.assertEqual(f.read().split(), [str(v) for v in values])
        self.assertEqual(os.path.realpath(f"/proc/{new_process.pid}/exe"), self.exe)

        a.send_raw(frame(half)[4 + 5:])
        for client in clients:
            client.send("upgraded")
        expected = ([self.adopted(new_process, parent.pid, 3), a.line(half)]
                    + [x.line("upgraded") for x in clients])
        for text in expected:
            new_process.wait_for_line(text, WAIT)
        self.assert_log(new_process, expected, "the new version's log")
        self.assert_log(parent, [f"Listen -> 0.0.0.0:{port}"] + [x.line("OnAccept") for x in clients]
                        + [line, self.took(parent, new_process, 3)], "the old one's log")
        census = proc.Census(new_process.pid)
        self.assert_census_holds(census, port, clients, values, "the new version")
        self.assert_shares_only(census, parent_before, self.server_inodes(port, clients).values(),
                                "the new version")
        self.assertEqual(proc.Census(parent.pid).established, {})

        self.close_and_reaped(new_process)
        for client in clients:
            self.assert_closed_by_server(client)
        self.assertEqual(parent.close(WAIT), 0)

    def test_failed_start_keeps_the_connections(self):
        path = self.copy_of_program()
        parent = self.launch(path)
        port = self.serve(parent)
        before = proc.Census(parent.pid)
        clients = self.connect(parent, port, 3)
        a = clients[0]
        half = "started before the failed start"
        a.send_raw(frame(half)[:4 + 9])
        self.wait_taken_off_socket(port, [a])

        os.unlink(path)
        line = self.press_duplicate(parent)
        values = self.assert_command_line(line, path, 3)
        failure = "CreateProcess -> posix_spawn: No such file or directory; the connections stay here"
        parent.wait_for_line(failure, WAIT)
        # The failed exec's process is collected already; nothing else was started.
        self.assertEqual(proc.children_of(parent.pid), [])

        a.send_raw(frame(half)[4 + 9:])
        for client in clients:
            client.send("still here")
        expected = ([f"Listen -> 0.0.0.0:{port}"] + [x.line("OnAccept") for x in clients]
                    + [line, failure, a.line(half)] + [x.line("still here") for x in clients])
        for text in expected:
            parent.wait_for_line(text, WAIT)
        self.assert_log(parent, expected, "the parent's log after the failed start")

        # The connections are back, at the duplicates' numbers, once each; nothing leaked.
        census = proc.Census(parent.pid)
        inodes = self.server_inodes(port, clients)
        self.assertEqual(sorted(census.established), sorted(values), census)
        self.assertCountEqual(census.established.values(), inodes.values(), census)
        self.assertEqual(census.listening, before.listening, census)
        self.assertEqual(census.memfds, [], census)
        self.assertEqual(census.pidfds, [], census)
        self.assertEqual(census.other_tcp, {}, census)

        # With the executable back, the kept connections hand off as usual.
        shutil.copy2(self.exe, path)
        parent_before = proc.Census(parent.pid)
        line2 = self.press_duplicate(parent)
        values2 = self.assert_command_line(line2, path, 3)
        (new_process,) = parent.wait_for_children(1, WAIT)
        self.assert_serves(parent, new_process, clients)
        kid = proc.Census(new_process.pid)
        self.assert_census_holds(kid, port, clients, values2, "the new process")
        self.assert_shares_only(kid, parent_before, inodes.values(), "the new process")
        self.assertEqual(proc.Census(parent.pid).established, {})
        self.close_and_reaped(new_process)
        self.assertEqual(parent.close(WAIT), 0)

    def test_a_line_break_in_the_program_path_stays_in_its_line(self):
        # The path is the server's own text inside its line; it must not start a second one.
        path = self.copy_of_program("velmora\n127.0.0.1:1 -> forged")
        parent = self.launch(path)
        port = self.serve(parent)
        clients = self.connect(parent, port, 2)
        line = self.press_duplicate(parent)
        self.assert_command_line(line, path.replace("\n", "\u240a"), 2)
        self.assertFalse(any(x.startswith("127.0.0.1:1 -> ") for x in parent.log_lines()))
        (new_process,) = parent.wait_for_children(1, WAIT)
        self.assert_serves(parent, new_process, clients)
        self.close_and_reaped(new_process)
        self.assertEqual(parent.close(WAIT), 0)

    def test_broken_copies_roll_back(self):
        # A path with a space: the new process gets it as one argument, never in pieces.
        path = self.copy_of_program("velmora build")
        self.env[DEADLINE_VARIABLE] = "2"
        parent = self.launch(path)

        # A press with nothing registered starts a new process with the path alone, which confirms.
        empty = self.press_duplicate(parent)
        self.assertEqual(empty, f"CreateProcess -> {path}")
        (idle,) = parent.wait_for_children(1, WAIT)
        idle_taken = self.took(parent, idle, 0)
        self.adopted(idle, parent.pid, 0)
        self.close_and_reaped(idle)

        port = self.serve(parent)
        before = proc.Census(parent.pid)
        clients = self.connect(parent, port, 3)
        # A connection its peer closed is written as -1 from then on.
        (gone,) = self.connect(parent, port, 1)
        gone_lines = [gone.line("OnAccept"), gone.line("OnClose")]
        gone.close()
        self.clients.remove(gone)
        parent.wait_for_line(gone_lines[-1], WAIT)
        proc.wait_until(lambda: len(proc.Census(parent.pid).established) == 3, WAIT,
                        "the server to close the connection its peer closed")
        a = clients[0]
        expected = ([empty, idle_taken, f"Listen -> 0.0.0.0:{port}"]
                    + [x.line("OnAccept") for x in clients] + gone_lines)

        for kind, script, why in BROKEN:
            with self.subTest(kind):
                half = f"cut by the press while the new build {kind}"
                a.send_raw(frame(half)[:4 + 6])
                self.wait_taken_off_socket(port, [a])
                self.install(path, f"#!/bin/sh\n{script}\n")

                line = self.press_duplicate(parent)
                values = self.assert_command_line(line, path, 4)
                self.assertEqual(values.count(-1), 1, line)
                rollback = f"CreateProcess -> {why}; the connections stay here"
                presses = [line, rollback]
                if kind == "hangs":
                    # A press while one is pending waits for its rollback, then runs on the
                    # connections it gave back.
                    parent.click(DUPLICATE, timeout=WAIT)
                    parent.wait_for_line(rollback, WAIT)
                    second = parent.wait_for_line(
                        lambda x: x.startswith("CreateProcess -> /"), WAIT,
                        parent.log_lines().index(rollback) + 1)
                    self.assertEqual(self.assert_command_line(second, path, 4).count(-1), 1)
                    presses += [second, rollback]
                proc.wait_until(lambda: parent.log_lines()[-len(presses):] == presses, WAIT,
                                f"{presses} at the end of the log")
                # Killed if need be, and reaped, before the connections came back.
                self.assertEqual(proc.children_of(parent.pid), [])

                a.send_raw(frame(half)[4 + 6:])
                for client in clients:
                    client.send(f"after the new process {kind}")
                news = [a.line(half)] + [x.line(f"after the new process {kind}") for x in clients]
                for text in news:
                    parent.wait_for_line(text, WAIT)
                expected += presses + news
                self.assert_log(parent, expected, f"the parent's log after the new process {kind}")
                for client in clients:
                    self.assert_still_open(client)
                census = proc.Census(parent.pid)
                self.assertEqual(len(census.established), 3, census)
                self.assertEqual(census.listening, before.listening, census)
                self.assertEqual(census.memfds, [], census)
                self.assertEqual(census.pidfds, [], census)

        # The real build back at the path takes the connections over.
        self.install(path, self.exe)
        line = self.press_duplicate(parent)
        values = self.assert_command_line(line, path, 4)
        (new_process,) = parent.wait_for_children(1, WAIT)
        self.assert_serves(parent, new_process, clients)
        self.assert_census_holds(proc.Census(new_process.pid), port, clients,
                                 [v for v in values if v != -1], "the new process")
        self.assert_log(parent, expected + [line, self.took(parent, new_process, 3)],
                        "the parent's log")
        self.close_and_reaped(new_process)
        self.assertEqual(parent.close(WAIT), 0)

    def test_failed_upgrades_keep_everything_and_the_button_keeps_the_listener(self):
        path = self.copy_of_program()
        self.env[DEADLINE_VARIABLE] = "2"
        parent = self.launch(path)
        port = self.serve(parent)
        clients = self.connect(parent, port, 2)
        listening = proc.Census(parent.pid).listening
        # A build that is handed no listening socket it can adopt refuses the hand-off.
        no_listener = ("drops the listener",
                       f"VELMORA_HANDOFF_LISTENER=0 exec '{self.exe}' \"$@\"",
                       "the new process closed its channel before taking the connections")
        for kind, script, why in [b for b in BROKEN if b[0] in ("exits", "hangs")] + [no_listener]:
            with self.subTest(kind):
                self.install(path, f"#!/bin/sh\n{script}\n")
                before = len(parent.log_lines())
                os.kill(parent.pid, signal.SIGUSR2)
                parent.wait_for_line(f"CreateProcess -> {why}; the connections stay here",
                                     WAIT, before)
                self.assertEqual(proc.children_of(parent.pid), [])
                self.assertEqual(proc.Census(parent.pid).listening, listening)
                for client in clients:
                    client.send(f"after an upgrade that {kind}")
                for client in clients:
                    parent.wait_for_line(client.line(f"after an upgrade that {kind}"), WAIT)
                # Accepting has resumed.
                clients += self.connect(parent, port, 1)

        # The button moves the connections only: the listener stays, and so do newcomers.
        self.install(path, self.exe)
        self.press_duplicate(parent)
        (new_process,) = parent.wait_for_children(1, WAIT)
        self.took(parent, new_process, len(clients))
        self.assertEqual(proc.Census(new_process.pid).listening, {})
        self.assertEqual(proc.Census(parent.pid).listening, listening)
        self.connect(parent, port, 1)
        self.assertTrue(parent.is_running())

    def test_socket_activation_and_service_notification_through_an_upgrade(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        port = listener.getsockname()[1]
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind("\0velmora-notify-" + self.token)
        notify.settimeout(WAIT)
        self.env["NOTIFY_SOCKET"] = "@velmora-notify-" + self.token
        # Moved to descriptor 3 in the shell: here that number may be some library's.
        fd = listener.fileno()
        parent = driver.launch(
            "/bin/bash", ["-c", f'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0" 3<&{fd} {fd}<&-', self.exe],
            env=self.env, pass_fds=(fd,))
        self.apps.append(parent)
        listener.close()
        self.assertEqual(notify.recv(256), b"READY=1")
        parent.wait_for_line(f"Listen -> 127.0.0.1:{port} (from process {os.getpid()})", WAIT)
        (client,) = self.connect(parent, port, 1)

        # A dialog left open does not keep the old process after the commit.
        parent.open_port_dialog()
        os.kill(parent.pid, signal.SIGUSR2)
        # The old process names its successor, the new one itself; either may come first.
        told = sorted([notify.recv(256), notify.recv(256)])
        pid = int(told[0].decode().partition("=")[2])
        self.assertEqual(told, [f"MAINPID={pid}".encode(), f"MAINPID={pid}\nREADY=1".encode()])
        self.assertEqual(parent.wait_exit(WAIT), 0)
        new_process = driver.find_app(pid, WAIT)
        # Socket activation's variables were the parent's alone; the service manager's stays.
        environment = proc.start_environment(pid)
        self.assertNotIn("LISTEN_PID", environment)
        self.assertNotIn("LISTEN_FDS", environment)
        self.assertEqual(environment["NOTIFY_SOCKET"], self.env["NOTIFY_SOCKET"])
        new_process.wait_for_line(f"Listen -> 127.0.0.1:{port} (from process {parent.pid})", WAIT)
        client.send("upgraded")
        new_process.wait_for_line(client.line("upgraded"), WAIT)
        self.connect(new_process, port, 1)
        notify.close()

    def test_a_parent_stopped_past_the_deadline_commits_to_a_ready_new_process(self):
        self.env[DEADLINE_VARIABLE] = "2"
        path = self.copy_of_program()
        parent = self.launch(path)
        port = self.serve(parent)
        clients = self.connect(parent, port, 1)
        # The new build starts the program only once the parent has been stopped.
        go = os.path.join(self.tmp, "go")
        self.install_waiting(path, f"[ ! -e '{go}' ]")
        self.press_duplicate(parent)
        (pid,) = proc.wait_until(lambda: proc.children_of(parent.pid), WAIT, "the new process")
        os.kill(parent.pid, signal.SIGSTOP)
        try:
            stopped = time.monotonic()
            open(go, "w").close()
            # Nothing asks the stopped parent: the new process's "ready" waits in the
            # channel, and the deadline passes meanwhile.
            proc.wait_until(lambda: proc.bytes_waiting_from(parent.pid, pid), WAIT,
                            "the new process's answer")
            time.sleep(max(0.0, stopped + 2 + 1 - time.monotonic()))
        finally:
            os.kill(parent.pid, signal.SIGCONT)
        new_process = driver.find_app(pid, WAIT)
        self.took(parent, new_process, 1)
        self.assert_serves(parent, new_process, clients)
        self.assertFalse([line for line in parent.log_lines() if "did not answer" in line])

    def test_copy_serves_on_when_the_parent_dies_during_the_hand_off(self):
        parent = self.launch(self.exe)
        port = self.serve(parent)
        clients = self.connect(parent, port, 2)
        a = clients[0]
        half = "cut by the press, the parent killed"
        a.send_raw(frame(half)[:4 + 3])
        self.wait_taken_off_socket(port, [a])

        self.press_duplicate(parent)
        # Killed as soon as the new process exists, mostly before it is ready; after its commit or
        # before, the new process holds the only descriptors now.
        (pid,) = proc.wait_until(lambda: proc.children_of(parent.pid), WAIT, "the new process")
        os.kill(parent.pid, signal.SIGKILL)
        parent.wait_exit(WAIT)
        new_process = driver.find_app(pid, WAIT)
        a.send_raw(frame(half)[4 + 3:])
        for client in clients:
            client.send("orphaned")
        # It took the connections from the parent, dead or not.
        expected = ([self.adopted(new_process, parent.pid, 2), a.line(half)]
                    + [x.line("orphaned") for x in clients])
        for text in expected:
            new_process.wait_for_line(text, WAIT)
        self.assert_log(new_process, expected, "the orphaned new process's log")
        for client in clients:
            self.assert_still_open(client)

    def test_a_new_process_started_after_its_parent_died_names_that_parent(self):
        path = self.copy_of_program()
        parent = self.launch(path)
        port = self.serve(parent)
        clients = self.connect(parent, port, 1)
        # The new build starts the program only once its parent is dead and collected.
        self.install_waiting(path, 'kill -0 "$PPID" 2>/dev/null')
        self.press_duplicate(parent)
        (pid,) = proc.wait_until(lambda: proc.children_of(parent.pid), WAIT, "the new process")
        os.kill(parent.pid, signal.SIGKILL)
        parent.wait_exit(WAIT)
        self.assert_serves(parent, driver.find_app(pid, WAIT), clients)


if __name__ == "__main__":
    unittest.main()
