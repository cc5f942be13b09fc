"""The run command on a machine without a display, on a terminal: a virtual
display of its own, keys typed in the terminal, the window saved as a PNG."""
import os
import pty
import re
import select
import shutil
import struct
import tempfile
import unittest
import zlib

from framework.display import wait_for
from framework.expect import solid_fragment
from test_shipped import ROOT, png_chunks

ORANGE = (230, 120, 20)
SAVED = "Saved the window as build/quadforge.png."
NO_XWAYLAND = ("quadforge is an X11 program, and this Wayland session offers no X server"
               " (XWayland): it runs on a virtual display instead.")


def png_colours(path):
    """The set of colours in an 8-bit RGB PNG whose rows are all filter type 2."""
    with open(path, "rb") as file:
        chunks = png_chunks(file.read())
    width, height = struct.unpack(">II", chunks[0][1][:8])
    rows = zlib.decompress(b"".join(data for kind, data in chunks if kind == b"IDAT"))
    stride, previous, colours = 3 * width, bytes(3 * width), set()
    for y in range(height):
        at = y * (stride + 1)
        assert rows[at] == 2, f"row {y} has filter type {rows[at]}"
        previous = bytes((a + b) & 0xFF for a, b in zip(rows[at + 1:at + 1 + stride], previous))
        colours.update(zip(previous[0::3], previous[1::3], previous[2::3]))
    return (width, height), colours


class Run:
    """bash scripts/run.sh in tree, without a display, on a terminal."""

    def __init__(self, tree, **extra):
        env = {name: value for name, value in os.environ.items()
               if name not in ("DISPLAY", "WAYLAND_DISPLAY", "QUADFORGE_BUILD_DIR")}
        env.update(extra)
        self.pid, self.terminal = pty.fork()
        if self.pid == 0:
            os.chdir(tree)
            os.execvpe("bash", ["bash", "scripts/run.sh"], env)
        self.output, self.status = bytearray(), None

    def text(self):
        return self.output.decode(errors="replace")

    def printed(self, text, count=1):
        while select.select([self.terminal], [], [], 0)[0]:
            try:
                self.output.extend(os.read(self.terminal, 4096))
            except OSError:  # the terminal's other end is closed
                break
        return self.text().count(text) >= count

    def type(self, keys):
        os.write(self.terminal, keys)

    def exit_status(self):
        self.printed("")
        if self.status is None:
            done, status = os.waitpid(self.pid, os.WNOHANG)
            if done:
                self.status = os.waitstatus_to_exitcode(status)
        return self.status

    def end(self):
        """Esc, then the run's exit status."""
        self.type(b"\x1b")
        wait_for(lambda: self.exit_status() is not None, timeout=20)
        if self.exit_status() is None:
            os.kill(self.pid, 9)
            os.waitpid(self.pid, 0)
        os.close(self.terminal)
        return self.status


class RunWithoutDisplayTest(unittest.TestCase):

    def test_keys_from_the_terminal_and_a_picture_after_each_frame(self):
        # A copy of the project, so that the run builds and edits its own.
        tree = tempfile.mkdtemp(prefix="quadforge-run-")
        self.addCleanup(shutil.rmtree, tree, True)
        shutil.copytree(ROOT, tree, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns(".git", "build*", "__pycache__"))
        run = Run(tree)
        try:
            self.assertTrue(wait_for(lambda: run.printed(SAVED), timeout=400), run.text())
            display = re.search(r"virtual display \((:\d+)\)", run.text()).group(1)
            size, colours = png_colours(os.path.join(tree, "build", "quadforge.png"))
            self.assertEqual(size, (800, 600))
            self.assertGreater(len(colours), 100, "the shipped pair draws a picture")

            path = os.path.join(tree, "resources", "full_screen_quad.frag")
            with open(path + ".new", "w") as file:
                file.write(solid_fragment(ORANGE))
            os.replace(path + ".new", path)
            run.type(b"s")
            self.assertTrue(wait_for(lambda: run.printed(SAVED, 2), timeout=30), run.text())
            _, colours = png_colours(os.path.join(tree, "build", "quadforge.png"))
            self.assertTrue(all(abs(a - b) <= 2 for colour in colours
                                for a, b in zip(colour, ORANGE)), f"colours {colours}")
        finally:
            status = run.end()
        self.assertEqual(status, 0, run.text())
        self.assertNotIn(NO_XWAYLAND, run.text())
        self.assertTrue(wait_for(lambda: not os.path.exists(f"/tmp/.X11-unix/X{display[1:]}"),
                                 timeout=10), f"Xvfb {display} still runs")

        # Once everything is in place, a second run goes straight to quadforge:
        # no apt, no configuring, nothing built. This one in a Wayland session
        # without XWayland, which it says.
        again = Run(tree, WAYLAND_DISPLAY="wayland-0")
        try:
            self.assertTrue(wait_for(lambda: again.printed(SAVED), timeout=60), again.text())
        finally:
            status = again.end()
        self.assertEqual(status, 0, again.text())
        self.assertEqual(again.text().count(NO_XWAYLAND), 1, again.text())
        for sign in ("Installing:", "-- Configuring", "Building CXX", "Linking CXX"):
            self.assertNotIn(sign, again.text())


if __name__ == "__main__":
    unittest.main()
