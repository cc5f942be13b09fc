"""What the project ships: the resources/ pair and the examples draw pictures,
the installed tree runs, and the screenshot script writes its PNG."""
import glob
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

from framework.expect import expected_report, read_pair
from framework.session import XTestCase, linux_only, wine_only
from framework.session import load_tests  # noqa: F401  (unittest's hook: this platform's tests)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAIR = ("full_screen_quad.vert", "full_screen_quad.frag")
LOADED = "Shader load successful.\n"


def example_names():
    return sorted(os.path.basename(os.path.dirname(folder))
                  for folder in glob.glob(os.path.join(ROOT, "examples", "*", "")))


def png_chunks(data):
    """(kind, payload) of each chunk of a PNG file, after its signature."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    chunks, at = [], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        payload = data[at + 8:at + 8 + length]
        crc, = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert crc == zlib.crc32(kind + payload), f"bad CRC in {kind}"
        chunks.append((kind, payload))
        at += 12 + length
    return chunks


class ShippedTest(XTestCase):

    def draw_and_close(self, pair, **kwargs):
        """Runs one session to its first picture; returns (status, stdout, picture)."""
        with self.start(pair, **kwargs) as session:
            session.find_window()
            image = session.wait_for_picture()
            session.close_window()
            status, out, _ = session.finish(timeout=10)
        return status, out, image

    def test_shipped_pair_and_every_example_draw_a_picture(self):
        names = example_names()
        self.assertGreaterEqual(len(names), 2, "expected at least two examples")
        report = expected_report(self.server)
        for folder in ["resources"] + [f"examples/{name}" for name in names]:
            with self.subTest(pair=folder):
                status, out, image = self.draw_and_close(read_pair(os.path.join(ROOT, folder)))
                self.assertEqual(status, 0)
                self.assertEqual(out, report + LOADED)
                self.assertTrue(image.is_picture(),
                                f"one flat colour: {image.colours().most_common(2)}")

    @linux_only
    def test_installed_tree_runs_with_its_own_pair(self):
        prefix = tempfile.mkdtemp(prefix="quadforge-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        subprocess.run([os.environ["CMAKE_COMMAND"], "--install",
                        os.environ["QUADFORGE_BUILD_DIR"], "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)

        share = os.path.join(prefix, "share", "quadforge")
        installed = {os.path.relpath(path, prefix)
                     for path in glob.glob(os.path.join(prefix, "**"), recursive=True)
                     if os.path.isfile(path)}
        self.assertEqual(installed, {"bin/quadforge", "share/man/man1/quadforge.1"}
                         | {f"share/quadforge/resources/{name}" for name in PAIR}
                         | {f"share/quadforge/examples/{example}/{name}"
                            for example in example_names() for name in PAIR})
        program = os.path.join(prefix, "bin", "quadforge")
        self.assertTrue(os.access(program, os.X_OK))

        # The page renders without a warning and has its sections (plain
        # text: -P-cbou leaves out the terminal's bold and underlining).
        page = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-P-cbou",
                               os.path.join(prefix, "share/man/man1/quadforge.1")],
                              check=True, capture_output=True, text=True, timeout=60)
        self.assertEqual(page.stderr, "")
        for section in ("KEYS", "FILES", "EXIT STATUS", "ENVIRONMENT"):
            self.assertIn(f"\n{section}\n", page.stdout)

        # Session copies the installed pair into the resources/ of its folder.
        status, out, _ = self.draw_and_close(read_pair(os.path.join(share, "resources")),
                                             program=program)
        self.assertEqual(status, 0)
        self.assertEqual(out, expected_report(self.server) + LOADED)

    @linux_only
    def test_screenshot_script_writes_an_800x600_png(self):
        folder = tempfile.mkdtemp(prefix="quadforge-screenshot-")
        self.addCleanup(shutil.rmtree, folder, True)
        output = os.path.join(folder, "screenshot.png")
        subprocess.run([sys.executable, os.path.join(ROOT, "docs", "screenshot.py"),
                        "--output", output], check=True, stdout=subprocess.DEVNULL, timeout=120)
        with open(output, "rb") as file:
            chunks = png_chunks(file.read())
        kinds = [kind for kind, _ in chunks]
        self.assertEqual((kinds[0], kinds[-1]), (b"IHDR", b"IEND"))
        # 800x600, 8 bits a channel, RGB, no interlace.
        self.assertEqual(struct.unpack(">IIBBBBB", chunks[0][1]), (800, 600, 8, 2, 0, 0, 0))
        rows = zlib.decompress(b"".join(data for kind, data in chunks if kind == b"IDAT"))
        self.assertEqual(len(rows), 600 * (1 + 800 * 3))

    @wine_only
    def test_windows_folder_runs_with_its_own_pair(self):
        # The folder unpacked from the zip, quadforge.exe in it.
        folder = os.path.dirname(os.environ["QUADFORGE"])
        files = {os.path.relpath(os.path.join(path, name), folder)
                 for path, _, names in os.walk(folder) for name in names}
        texts = {"README.txt", "LICENSE.txt", "LICENSE-freeglut.txt", "LICENSE-GLEW.txt"}
        pairs = {f"{pair}/{name}" for pair in ["resources"]
                 + [f"examples/{example}" for example in example_names()] for name in PAIR}
        self.assertEqual(files, {"quadforge.exe"} | texts | pairs)
        # Text as Notepad writes it, so the shipped pair tests text-mode reading.
        for name in texts | pairs:
            with open(os.path.join(folder, name), "rb") as file:
                text = file.read()
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
            self.assertTrue(text.endswith(b"\r\n"), name)
        status, out, image = self.draw_and_close(read_pair(os.path.join(folder, "resources")))
        self.assertEqual(status, 0)
        self.assertEqual(out, expected_report(self.server) + LOADED)
        self.assertTrue(image.is_picture(), f"one flat colour: {image.colours().most_common(2)}")
