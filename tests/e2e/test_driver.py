"""Self-test of the e2e driver against the stand-in program (run under with-display.sh)."""

import glob
import os
import socket
import struct
import subprocess
import tempfile
import unittest

import velmora_driver as driver

STANDIN = os.environ.get("VELMORA_E2E_STANDIN", "")


@unittest.skipUnless(STANDIN and os.path.exists(STANDIN), "VELMORA_E2E_STANDIN not built")
class DriverTest(unittest.TestCase):
    def setUp(self):
        self.apps = []

    def tearDown(self):
        for app in self.apps + driver.apps_of(STANDIN):
            app.kill()

    def launch(self, *args):
        app = driver.launch(STANDIN, args)
        self.apps.append(app)
        return app

    def test_session_has_display_and_accessibility(self):
        self.assertTrue(os.environ.get("DISPLAY"))
        self.assertEqual(os.environ.get("QT_QPA_PLATFORM"), "xcb")
        self.assertNotIn("NO_AT_BRIDGE", os.environ)
        app = self.launch()
        self.assertEqual(app.title, "Velmora")

    def test_port_dialog_is_answered_and_cancelled(self):
        app = self.launch()
        self.assertEqual(app.log_lines(), ["args: "])
        self.assertTrue(app.log_text().startswith("\n"))

        dialog = app.open_port_dialog()
        self.assertEqual(dialog.title, "Dialog")
        self.assertIn("ポート番号", dialog.labels())
        self.assertEqual(dialog.text, "10000")
        dialog.set_text(12345)
        dialog.ok()
        self.assertEqual(app.wait_for_line("listen 12345"), "listen 12345")

        app.cancel_port_dialog()
        app.wait_for_line("listen cancelled")
        app.listen(23456)
        app.wait_for_line(lambda line: line.endswith("23456"))
        self.assertEqual(app.log_lines(), ["args: ", "listen 12345", "listen cancelled", "listen 23456"])
        self.assertEqual(app.close(), 0)
        self.assertFalse(app.is_running())

    def test_processes_are_told_apart(self):
        first, second = self.launch(), self.launch("x")
        dialog = first.open_port_dialog()
        self.assertIsNone(second._port_dialog_window())
        with self.assertRaises(TimeoutError):
            second.port_dialog(timeout=0.5)
        second.listen(2)
        dialog.set_text(1)
        dialog.ok()
        first.wait_for_line("listen 1")
        second.wait_for_line("listen 2")
        self.assertEqual(first.log_lines(), ["args: ", "listen 1"])
        self.assertEqual(second.log_lines(), ["args: x", "listen 2"])
        self.assertEqual(first.close(), 0)
        self.assertEqual(second.close(), 0)

    def test_children_are_found_and_driven(self):
        parent = self.launch()
        self.assertEqual(parent.children(), [])
        parent.click("ソケット複製")
        line = parent.wait_for_line(lambda line: line.startswith("spawned "))
        (child,) = parent.wait_for_children(1)
        self.assertEqual(line, f"spawned {child.pid}")
        self.assertEqual(driver.read_ppid(child.pid), parent.pid)
        self.assertEqual(child.wait_for_line("args: 7 8"), "args: 7 8")
        self.assertCountEqual([a.pid for a in driver.apps_of(STANDIN)], [parent.pid, child.pid])

        child.listen(3)
        child.wait_for_line("listen 3")
        self.assertNotIn("listen 3", parent.log_lines())
        self.assertIsNone(child.close())
        self.assertFalse(child.is_running())
        self.assertEqual(parent.children(), [])
        self.assertEqual(parent.close(), 0)

    def test_large_log_is_read_whole(self):
        app = self.launch()
        app.click("Bulk")
        app.wait_for_line("bulk done")
        lines = app.log_lines()
        self.assertEqual(len(lines), 20002)
        self.assertEqual(lines[1], "bulk line 0 0123456789abcdef")
        self.assertEqual(lines[-2], "bulk line 19999 0123456789abcdef")
        self.assertEqual(app.wait_for_line("bulk done", after=20001), "bulk done")

    def test_launch_reports_early_exit(self):
        with self.assertRaises(driver.DriverError):
            driver.launch("/bin/true")

    def test_screenshot_is_an_image(self):
        app = self.launch()
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "shot.png")
            driver.screenshot(path, region=app.extents())
            with open(path, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


class WithDisplayTest(unittest.TestCase):
    def test_nested_session_is_private_and_cleaned_up(self):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "with-display.sh")
        inner = ('echo "$VELMORA_E2E_SESSION $DISPLAY $DBUS_SESSION_BUS_ADDRESS";'
                 ' sleep 300 & exit 5')
        result = subprocess.run([script, "bash", "-c", inner], capture_output=True, text=True,
                                timeout=120, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 5, result.stderr)
        session, display, bus = result.stdout.split()
        self.assertNotEqual(display, os.environ["DISPLAY"])
        self.assertNotEqual(bus, os.environ["DBUS_SESSION_BUS_ADDRESS"])
        self.assertFalse(os.path.exists(session))
        marker = f"VELMORA_E2E_SESSION={session}".encode()
        left = []
        for environ in glob.glob("/proc/[0-9]*/environ"):
            try:
                with open(environ, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        left.append(environ)
            except OSError:
                continue
        self.assertEqual(left, [])


class FramedClientTest(unittest.TestCase):
    def test_messages_are_length_prefixed(self):
        with socket.create_server(("127.0.0.1", 0)) as server:
            server.settimeout(driver.DEFAULT_TIMEOUT)
            port = server.getsockname()[1]
            with driver.FramedClient(port) as client:
                conn, addr = server.accept()
                with conn:
                    conn.settimeout(driver.DEFAULT_TIMEOUT)
                    self.assertEqual(client.peer, f"{addr[0]}:{addr[1]}")
                    self.assertEqual(client.line("OnAccept"), f"{addr[0]}:{addr[1]} -> OnAccept")
                    client.send("hello")
                    client.send(b"")
                    client.send("ポート")
                    expected = (struct.pack("<I", 5) + b"hello" + struct.pack("<I", 0)
                                + struct.pack("<I", 9) + "ポート".encode())
                    received = b""
                    for _ in range(100):
                        if len(received) >= len(expected):
                            break
                        chunk = conn.recv(4096)
                        if not chunk:
                            break
                        received += chunk
                    self.assertEqual(received, expected)


if __name__ == "__main__":
    unittest.main()
