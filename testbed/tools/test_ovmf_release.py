"""The release fetch's apt entry, taken from made-up system sources."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ovmf_release  # noqa: E402

DEB822 = """Types: deb
# a comment between fields
URIs: http://archive.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main
"""
ONE_LINE = """# deb http://commented.example/debian bookworm main
deb http://security.example/debian-security bookworm-security main
deb [arch=amd64 signed-by=/usr/share/keyrings/other.gpg] http://archive.example/debian bookworm main
"""


class ArchiveEntryTest(unittest.TestCase):
    def entry(self, files):
        with tempfile.TemporaryDirectory() as folder:
            os.makedirs(os.path.join(folder, "parts"))
            for name, text in files.items():
                with open(os.path.join(folder, name), "w") as handle:
                    handle.write(text)
            with open(os.path.join(folder, "os-release"), "w") as handle:
                handle.write('NAME="Debian"\nVERSION_CODENAME=bookworm\n')
            saved = ovmf_release.SYSTEM_SOURCES, ovmf_release.OS_RELEASE
            ovmf_release.SYSTEM_SOURCES = (os.path.join(folder, "sources.list"), os.path.join(folder, "parts"))
            ovmf_release.OS_RELEASE = os.path.join(folder, "os-release")
            try:
                return ovmf_release.archive_entry("trixie")
            finally:
                ovmf_release.SYSTEM_SOURCES, ovmf_release.OS_RELEASE = saved

    def test_takes_the_release_archive_and_its_keyring_in_either_format(self):
        self.assertEqual(self.entry({"parts/debian.sources": DEB822}),
                         "Types: deb\nURIs: http://archive.example/debian\nSuites: trixie\nComponents: main\n"
                         "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n")
        self.assertEqual(self.entry({"sources.list": ONE_LINE}),
                         "Types: deb\nURIs: http://archive.example/debian\nSuites: trixie\nComponents: main\n"
                         "Signed-By: /usr/share/keyrings/other.gpg\n")

    def test_refuses_sources_without_the_release_archive(self):
        security_only = {"sources.list": ONE_LINE.split("\n")[1] + "\n", "parts/off.sources.disabled": DEB822}
        with self.assertRaises(ovmf_release.FetchError):
            self.entry(security_only)


if __name__ == "__main__":
    unittest.main()
