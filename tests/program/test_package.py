"""The Debian package as CI's build folder makes it: cpack -G DEB into a temporary folder,
then its contents, its Depends, stripped programs that still run, and lintian's verdict.

VELMORA_BUILD_DIR names the build folder (holding CPackConfig.cmake).
"""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ.get("VELMORA_BUILD_DIR", "")
# Generous: cpack installs into a staging folder and runs dpkg-shlibdeps.
TIMEOUT = 600

FILES = {
    "./usr/bin/velmora",
    "./usr/bin/velmora-send",
    "./usr/share/applications/velmora.desktop",
    "./usr/share/icons/hicolor/48x48/apps/velmora.png",
    "./usr/share/icons/hicolor/128x128/apps/velmora.png",
    "./usr/share/icons/hicolor/256x256/apps/velmora.png",
    "./usr/share/man/man1/velmora.1.gz",
    "./usr/share/man/man1/velmora-send.1.gz",
    "./usr/share/metainfo/org.velmora.velmora.metainfo.xml",
    "./usr/share/doc/velmora/copyright",
    "./usr/share/doc/velmora/changelog.gz",
}


def run(*args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=TIMEOUT, check=True, **kwargs).stdout


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmora-package-")
        run("cpack", "-G", "DEB", "-B", cls.work,
            "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"))
        debs = [name for name in os.listdir(cls.work) if name.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(cls.work, debs[0])
        cls.root = os.path.join(cls.work, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).strip()

    def test_name_and_files(self):
        self.assertRegex(os.path.basename(self.deb), r"^velmora_1\.0\.0\.1_[a-z0-9]+\.deb$")
        self.assertEqual(self.field("Package"), "velmora")
        listed = {line.split()[-1].rstrip("/") for line in run("dpkg-deb", "-c", self.deb).splitlines()}
        self.assertLessEqual(FILES, listed)
        for path in FILES:
            self.assertTrue(os.path.isfile(os.path.join(self.root, path)), path)

    def test_icons_have_their_folders_sizes(self):
        for size in (48, 128, 256):
            path = os.path.join(self.root, f"usr/share/icons/hicolor/{size}x{size}/apps/velmora.png")
            with open(path, "rb") as icon:
                header = icon.read(24)
            self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n")
            self.assertEqual(struct.unpack(">II", header[16:24]), (size, size))

    def test_depends_come_from_the_shared_libraries(self):
        depends = self.field("Depends")
        for library in ("libqt6core6", "libqt6gui6", "libqt6widgets6", "libboost-thread1.74.0",
                        "libc6", "qt6-qpa-plugins"):
            self.assertRegex(depends, rf"(^|, ){library}( \(|,|$)")

    def test_the_programs_are_stripped_hardened_and_run(self):
        for name in ("velmora", "velmora-send"):
            with self.subTest(program=name):
                program = os.path.join(self.root, "usr/bin", name)
                sections = run("readelf", "-S", "-W", program)
                for section in (".symtab", ".debug_info", ".comment"):
                    self.assertNotIn(section, sections)
                self.assertIn("BIND_NOW", run("readelf", "-d", "-W", program))
                self.assertEqual(run(program, "--version"), f"{name} 1.0.0.1\n")

    def test_man_pages_and_metainfo(self):
        for name, title in (("velmora", ".TH VELMORA 1"), ("velmora-send", ".TH VELMORA\\-SEND 1")):
            page = run("gzip", "-dc", os.path.join(self.root, f"usr/share/man/man1/{name}.1.gz"))
            self.assertTrue(page.startswith(title), page[:40])
        metainfo = os.path.join(self.root, "usr/share/metainfo/org.velmora.velmora.metainfo.xml")
        if shutil.which("appstreamcli") is None:
            self.skipTest("appstreamcli is not installed")
        run("appstreamcli", "validate", "--pedantic", "--no-net", metainfo)

    def test_desktop_entry_validates_without_a_hint(self):
        if shutil.which("desktop-file-validate") is None:
            self.skipTest("desktop-file-validate is not installed")
        entry = os.path.join(self.root, "usr/share/applications/velmora.desktop")
        self.assertEqual(run("desktop-file-validate", entry), "")

    def test_lintian_finds_no_error_or_warning(self):
        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed")
        # Its exit status reflects errors only: the lines are what count.
        report = subprocess.run(["lintian", "--pedantic", "--display-info", self.deb],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=TIMEOUT, check=False).stdout
        findings = [line for line in report.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual(findings, [], report)


if __name__ == "__main__":
    unittest.main()
