"""The operator's options on the real program, without a display.

VELMORA_EXE names the program (build/velmora). DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM
are removed, so an option that reached Qt would abort the program instead of answering.
"""

import os
import subprocess
import unittest

EXE = os.environ.get("VELMORA_EXE", "")
# Only catches a hang; the answer takes milliseconds.
TIMEOUT = 30


def run(*args, stdout=subprocess.PIPE):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    return subprocess.run([EXE, *args], stdout=stdout, stderr=subprocess.PIPE, env=env,
                          timeout=TIMEOUT, check=False)


class OptionsTest(unittest.TestCase):
    def test_help_without_a_display(self):
        for option in ("--help", "-h"):
            with self.subTest(option=option):
                result = run(option)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, b"")
                text = result.stdout.decode()
                self.assertTrue(text.startswith("Usage: velmora"), text)
                for needed in ("VELMORA_HANDOFF_STATE", "VELMORA_HANDOFF_CHANNEL",
                               "hand-off confirmation channel", "velmora(1)"):
                    self.assertIn(needed, text)

    def test_version_without_a_display(self):
        for option in ("--version", "-V"):
            with self.subTest(option=option):
                result = run(option)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, b"velmora 1.0.0.1\n")
                self.assertEqual(result.stderr, b"")

    def test_unknown_options_are_refused_before_qt_starts(self):
        for args in (["--port", "12345"], ["-x"], ["-"], ["--"], ["-1x"], ["--Help"],
                     ["3", "--port"], ["--help", "--port"]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, b"")
                bad = next(a for a in args if a not in ("3", "--help"))
                self.assertEqual(result.stderr.decode(),
                                 f"velmora: unknown option '{bad}'\n"
                                 "Try 'velmora --help' for more information.\n")
        # Descriptor values keep their place: '-' and digits is no option.
        for args in (["-1", "--version"], ["-12", "7", "-V"]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, b"velmora 1.0.0.1\n", b""))

    def test_an_unwritable_answer_is_a_failure(self):
        with open("/dev/full", "wb") as full:
            result = run("--help", stdout=full)
        self.assertEqual(result.returncode, 1)


if __name__ == "__main__":
    unittest.main()
