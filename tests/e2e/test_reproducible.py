"""The same source gives the same bytes: the Windows zip and this release's
Debian package, built again from a copy of the tree at another path, into
another folder, equal the first byte for byte."""
import glob
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from test_shipped import ROOT

WINDOWS_DIR = os.environ.get("QUADFORGE_WINDOWS_DIR", "")
WINDOWS_SKIP = os.environ.get("QUADFORGE_WINDOWS_SKIP", "")


def digest(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


class ReproducibleTest(unittest.TestCase):

    def elsewhere(self):
        """A copy of the tree and an empty build folder, at paths of their own."""
        folder = tempfile.mkdtemp(prefix="quadforge-again-")
        self.addCleanup(shutil.rmtree, folder, True)
        tree, build = os.path.join(folder, "tree"), os.path.join(folder, "build")
        shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns("build*", "__pycache__"))
        os.mkdir(build)
        return tree, build

    def build(self, script, tree, build):
        """Runs a build script of the tree; returns the path it prints last."""
        done = subprocess.run(["bash", os.path.join(tree, "scripts", script)], cwd=tree,
                              env=dict(os.environ, QUADFORGE_BUILD_DIR=build), check=True,
                              stdout=subprocess.PIPE, text=True, timeout=900)
        return os.path.join(tree, done.stdout.splitlines()[-1])

    @unittest.skipUnless(WINDOWS_DIR, f"no Windows build: {WINDOWS_SKIP}")
    def test_windows_zip(self):
        # The test command's own build, which the Wine tests unpack.
        first, = glob.glob(os.path.join(WINDOWS_DIR, "quadforge-*-win64.zip"))
        tree, build = self.elsewhere()
        # The libraries, built once, are the same input to both.
        shutil.copytree(os.path.join(WINDOWS_DIR, "deps"), os.path.join(build, "windows", "deps"))
        second = self.build("windows.sh", tree, build)
        with zipfile.ZipFile(first) as one, zipfile.ZipFile(second) as other:
            entries = [[(entry.filename, entry.date_time, entry.external_attr, entry.CRC)
                        for entry in archive.infolist()] for archive in (one, other)]
        self.assertEqual(entries[0], entries[1])
        self.assertEqual(digest(first), digest(second))

    def test_debian_package(self):
        packages = [self.build("package.sh", *self.elsewhere()) for _ in range(2)]
        self.assertEqual(digest(packages[0]), digest(packages[1]))


if __name__ == "__main__":
    unittest.main()
