"""The Debian package: lintian-clean (scripts/package.sh fails otherwise),
exactly the files a user needs, and its program loads the shipped pair."""
import os
import subprocess
import tempfile

from framework.session import XTestCase
from test_shipped import PAIR, ROOT, example_names


class PackageTest(XTestCase):

    def test_package_holds_the_program_and_its_files_and_runs(self):
        built = subprocess.run(["bash", os.path.join(ROOT, "scripts", "package.sh")],
                               check=True, stdout=subprocess.PIPE, text=True, timeout=900)
        deb = built.stdout.splitlines()[-1]
        listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, stdout=subprocess.PIPE,
                                 text=True).stdout
        files = {line.split()[5][2:] for line in listing.splitlines() if not line.startswith("d")}
        share = "usr/share/quadforge"
        self.assertEqual(files, {"usr/bin/quadforge", "usr/share/man/man1/quadforge.1.gz",
                                 "usr/share/doc/quadforge/changelog.gz",
                                 "usr/share/doc/quadforge/copyright"}
                         | {f"{share}/resources/{name}" for name in PAIR}
                         | {f"{share}/examples/{example}/{name}"
                            for example in example_names() for name in PAIR})

        with tempfile.TemporaryDirectory() as unpacked:
            subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
            smoke = subprocess.run(
                ["sh", os.path.join(ROOT, "debian", "tests", "smoke")],
                env=dict(os.environ, **self.server.override,
                         QUADFORGE=os.path.join(unpacked, "usr/bin/quadforge"),
                         QUADFORGE_SHARE=os.path.join(unpacked, share)),
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
        self.assertEqual(smoke.returncode, 0, smoke.stdout)
