"""The EDK II platform harness on bad input, for real: a source version apt
cannot fetch, and a build that fails. Each must stop with the reason and
leave no image behind. Run after edk2.build, whose fetched source the
failing build reuses.

  test_edk2_refusals.py SOURCE_CACHE MODULES_FOLDER --strap-mark GUID=IMAGE --planted GUID=IMAGE"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "edk2_platform.py")


def run_tool(out, modules, *extra):
    command = [sys.executable, TOOL, "--out", out, "--modules", modules, *TESTBED_FILES, *extra]
    return subprocess.run(command, capture_output=True, text=True)


def images(folder):
    return sorted(name for _, _, files in os.walk(folder) for name in files if name.endswith(".fd"))


class RefusalTest(unittest.TestCase):
    def test_a_version_apt_cannot_fetch(self):
        with tempfile.TemporaryDirectory() as out:
            done = run_tool(out, MODULES, "--source-version", "0.0-not-a-version")
            self.assertEqual(done.returncode, 1)
            self.assertIn("cannot fetch the edk2 source version 0.0-not-a-version", done.stderr)
            self.assertFalse(os.path.exists(os.path.join(out, "source", "edk2-0.0-not-a-version")))
            self.assertEqual(images(out), [])

    def test_a_failed_build_shows_its_log_and_leaves_no_image(self):
        with tempfile.TemporaryDirectory() as out:
            modules = os.path.join(out, "modules")
            shutil.copytree(MODULES, modules)
            inf = os.path.join(modules, "SmbiosBoardName", "SmbiosBoardName.inf")
            with open(inf, "a") as handle:
                handle.write("[Sources]\n  Missing.c\n")  # a binary module with a source it lacks
            done = run_tool(os.path.join(out, "edk2"), modules, "--source-cache", SOURCE_CACHE)
            self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
            self.assertIn("the EDK II build failed", done.stderr)
            self.assertIn("the last lines of", done.stderr)
            self.assertIn("Missing.c", done.stderr)
            self.assertEqual(images(out), [])


if __name__ == "__main__":
    SOURCE_CACHE, MODULES, TESTBED_FILES = sys.argv[1], sys.argv[2], sys.argv[3:]
    unittest.main(argv=sys.argv[:1])
