"""velmora-send against a loopback listener that keeps every byte: the frames it writes, its
command-line errors and the message limit, without a display.

VELMORA_SEND names the client (build/velmora-send).
"""

import os
import socket
import struct
import subprocess
import tempfile
import threading
import unittest

SEND = os.environ.get("VELMORA_SEND", "")
LIMIT = 64 * 1024 * 1024
# Only catches a hang.
TIMEOUT = 60


class Listener:
    """A loopback listener that reads each connection to its end, in a thread of its own."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(TIMEOUT)
        self.port = self.server.getsockname()[1]
        self.received = []
        self.thread = None

    def read_one(self):
        def run():
            connection, _ = self.server.accept()
            with connection:
                connection.settimeout(TIMEOUT)
                data = bytearray()
                while chunk := connection.recv(1 << 20):
                    data += chunk
                self.received.append(bytes(data))

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()

    def frames(self):
        """The frames of the connection read, once it has ended."""
        self.thread.join(TIMEOUT)
        data, frames, i = self.received.pop(), [], 0
        while i < len(data):
            (length,) = struct.unpack_from("<I", data, i)
            frames.append(data[i + 4:i + 4 + length])
            i += 4 + length
        if i != len(data):
            raise AssertionError(f"the last frame is cut: {len(data)} bytes, frames end at {i}")
        return frames

    def connection_waits(self):
        """True when a client has connected and not yet been accepted."""
        self.server.settimeout(0)
        try:
            self.server.accept()[0].close()
            return True
        except BlockingIOError:
            return False
        finally:
            self.server.settimeout(TIMEOUT)

    def close(self):
        self.server.close()


def send(*args, stdin=b""):
    return subprocess.run([SEND, *args], input=stdin, capture_output=True, timeout=TIMEOUT)


@unittest.skipUnless(SEND and os.path.exists(SEND), "VELMORA_SEND not built")
class SendTest(unittest.TestCase):
    def setUp(self):
        self.listener = Listener()
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.listener.close()
        self.folder.cleanup()

    def file(self, name, data):
        path = os.path.join(self.folder.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def sent(self, *args, stdin=b""):
        """The frames one run delivered; it must exit 0 and say nothing."""
        self.listener.read_one()
        result = send("127.0.0.1", str(self.listener.port), *args, stdin=stdin)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        return self.listener.frames()

    def test_frames_arrive_byte_for_byte(self):
        binary = bytes(range(256)) * 1000
        self.assertEqual(
            self.sent("hello", "", "日本語", "--file", self.file("a", binary), "--", "-5",
                      "--file=x"),
            [b"hello", b"", "日本語".encode(), binary, b"-5", b"--file=x"])

        # Lines cross the reads of standard input; a CR stays, an empty line is a message,
        # and so is a last line without LF.
        lines = [b"x" * n for n in (0, 1, 65535, 65536, 65537, 200000)] + [b"a\r", b"", b"end"]
        self.assertEqual(self.sent(stdin=b"\n".join(lines)), lines)
        self.assertEqual(self.sent(stdin=b"one\n"), [b"one"])
        self.assertEqual(self.sent(stdin=b""), [])

        # The limit itself is allowed.
        self.assertEqual(self.sent("--file", self.file("limit", b"y" * LIMIT)), [b"y" * LIMIT])

    def test_past_the_limit_nothing_is_sent_or_the_lines_before_it(self):
        too_long = self.file("big", b"z" * (LIMIT + 1))
        result = send("127.0.0.1", str(self.listener.port), "first", "--file", too_long)
        self.assertEqual((result.returncode, result.stderr.decode()), (
            1, f"velmora-send: {too_long} is over the server's limit of {LIMIT} bytes; "
               "nothing was sent\n"))
        self.assertFalse(self.listener.connection_waits())

        self.listener.read_one()
        result = send("127.0.0.1", str(self.listener.port),
                      stdin=b"first\n" + b"z" * (LIMIT + 1) + b"\nnever\n")
        self.assertEqual((result.returncode, result.stderr.decode()), (
            1, f"velmora-send: line 2 of standard input is over the server's limit of {LIMIT} "
               "bytes; the lines before it were sent\n"))
        self.assertEqual(self.listener.frames(), [b"first"])

    def test_bad_command_lines_and_failures(self):
        port = str(self.listener.port)
        for args, reason in (
                ([], "missing HOST and PORT"),
                (["127.0.0.1"], "missing PORT"),
                (["127.0.0.1", "0"], "invalid port '0': use 1 to 65535"),
                (["127.0.0.1", "65536"], "invalid port '65536': use 1 to 65535"),
                (["127.0.0.1", "+80"], "invalid port '+80': use 1 to 65535"),
                (["127.0.0.1", port, "--file"], "option '--file' needs a PATH"),
                (["127.0.0.1", port, "--port", "1"], "unknown option '--port'")):
            with self.subTest(args=args):
                result = send(*args)
                self.assertEqual((result.returncode, result.stdout, result.stderr.decode()), (
                    2, b"", f"velmora-send: {reason}\n"
                            "Try 'velmora-send --help' for more information.\n"))
        missing = os.path.join(self.folder.name, "missing")
        for args, line in (
                (["--file", missing], f"{missing}: No such file or directory"),
                (["--file", self.folder.name], f"{self.folder.name}: Is a directory")):
            with self.subTest(args=args):
                result = send("127.0.0.1", port, *args)
                self.assertEqual((result.returncode, result.stderr.decode()),
                                 (1, f"velmora-send: {line}\n"))
        self.assertFalse(self.listener.connection_waits())

        result = send("--help")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertTrue(result.stdout.decode().startswith("Usage: velmora-send"))


if __name__ == "__main__":
    unittest.main()
