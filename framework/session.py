"""One quadforge process looked at from outside (its window, keys, exit
status and standard output), test cases that share a display, and the
selection of each platform's tests."""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from framework.display import WINE, DesktopUnavailable, XServer, end_with_parent, wait_for
from framework.image import Image

QUADFORGE = os.environ.get("QUADFORGE", "quadforge")
GL_SHIM = os.environ.get("GL_SHIM", "")
# Libraries every session preloads ahead of the shim (sanitizer builds only).
PRELOAD = os.environ.get("QUADFORGE_PRELOAD", "")
SANITIZER_REPORT = re.compile(r"\w+Sanitizer|runtime error:")
# What the shim found left at exit (tests/gl_shim.c).
SHIM_LEFT = re.compile(r"shim: left at exit: shaders (.+), programs (.+), in use (\d+)\n")


class Session:
    """One quadforge process run from a folder holding its own resources/."""

    def __init__(self, server, files, args=(), shim=False, program=QUADFORGE,
                 title="quadforge", **env):
        self.server, self.title = server, title
        self.folder = tempfile.mkdtemp(prefix="quadforge-test-")
        os.mkdir(os.path.join(self.folder, "resources"))
        for name, text in files.items():
            self.write(name, text)
        # ASan's runtime must be the first library loaded or it refuses to
        # start, so it goes ahead of the shim rather than switching the check
        # off; the GL driver comes along so that it is still mapped when
        # LeakSanitizer reports at exit, where tests/lsan.supp can name it.
        preload = [PRELOAD] if PRELOAD else []
        self.shim = shim
        if shim:
            preload.append(GL_SHIM)
            env.setdefault("QF_SHIM_COUNT", "1")
        if preload:
            env["LD_PRELOAD"] = " ".join(preload)
        self.stdout_file = tempfile.TemporaryFile(mode="w+b")
        self.stderr_file = tempfile.TemporaryFile(mode="w+b")
        self.program = program
        self.started = time.perf_counter()
        self.process = subprocess.Popen(
            server.command(program, *args), cwd=self.folder, env=server.env(**env),
            stdin=subprocess.PIPE, stdout=self.stdout_file, stderr=self.stderr_file,
            preexec_fn=end_with_parent)
        self.window = None

    def write(self, name, text):
        # Replaced whole, as editors save, so a build never reads half a file.
        path = os.path.join(self.folder, "resources", name)
        with open(path + ".new", "w", newline="") as file:
            file.write(text)
        os.replace(path + ".new", path)

    def find_window(self, step=0.05):
        x = self.server.x
        self.window = wait_for(lambda: x.find(self.title) or self.process.poll() is not None,
                               step=step)
        assert self.window is not True and self.window, (
            f"no {self.title} window appeared (exit status {self.process.poll()}, "
            f"stdout {self.output_text(self.stdout_file)!r}, stderr {self.stderr_text()!r})")
        return self.window

    def geometry(self):
        """(x, y, width, height, title) of the window from the X server."""
        return self.server.x.geometry(self.window)

    def gl_config(self):
        """What GLX says of the visual quadforge draws with (xclient's
        gl_config): its window's, or under Wine that of the child window in
        which Wine gives OpenGL the pixel format's visual."""
        window = self.window
        if WINE:
            children = self.server.x.tree(window)[1]
            assert len(children) == 1, f"Wine's window has {len(children)} child windows"
            window = children[0]
        return self.server.x.gl_config(window)

    def pixels(self):
        image = self.server.x.image(self.window)
        assert image is not None, f"cannot read the pixels of window {self.window}"
        return image

    def centre(self):
        """The colour at the window's centre, or None while it cannot be read."""
        attributes = self.server.x.attributes(self.window)
        image = attributes and self.server.x.image(
            self.window, attributes.width // 2, attributes.height // 2, 1, 1)
        return image and image.pixel(0, 0)

    def wait_for_capture(self, accept, timeout=20.0):
        """Captures until accept(image) holds; returns the last capture."""
        last = {}

        def accepted():
            image = last["capture"] = self.pixels()
            return accept(image)
        wait_for(accepted, timeout, step=0.2)
        return last["capture"]

    def wait_for_colour(self, colour, timeout=20.0):
        """Waits until every pixel shows colour; returns the last capture."""
        return self.wait_for_capture(
            lambda image: image.count_near(colour) == image.width * image.height, timeout)

    def wait_for_picture(self, timeout=20.0):
        """Waits until the window shows more than a flat colour."""
        return self.wait_for_capture(Image.is_picture, timeout)

    def keys(self, *names):
        self.server.x.focus(self.window)
        self.server.x.press(*names)

    def close_window(self):
        """Closes the window as the user does with its close box."""
        if WINE:
            # Wine heeds no WM_DELETE_WINDOW without a window manager;
            # taskkill without /f posts WM_CLOSE, as the close box does.
            self.server.run("taskkill", "/im", os.path.basename(self.program))
        else:
            self.server.x.delete_window(self.window)

    def stderr_text(self):
        """Standard error so far."""
        return self.output_text(self.stderr_file)

    @staticmethod
    def output_text(file):
        """What the process wrote to file so far. pread leaves the file
        offset, which the process shares, where the process writes."""
        size = os.fstat(file.fileno()).st_size
        return os.pread(file.fileno(), size, 0).decode(errors="replace")

    def is_running(self, seconds=1.0):
        time.sleep(seconds)
        return self.process.poll() is None

    def press_enter(self):
        self.process.stdin.write(b"\n")
        self.process.stdin.flush()

    @staticmethod
    def assert_released(stderr):
        left = SHIM_LEFT.search(stderr)
        assert left, "the shim reported nothing at exit: " + stderr
        shaders, programs, in_use = left.groups()
        assert shaders == "none", f"shader objects never deleted: {shaders}"
        assert programs == ("none" if in_use == "0" else in_use), (
            f"programs never deleted: {programs}, with {in_use} in use")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.end()

    def end(self):
        """Ends the process if it still runs and waits for it."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        self._clear_up()

    def _clear_up(self):
        # The next session must not find this window: the server drops it
        # only once it has seen the connection close.
        if self.window:
            wait_for(lambda: not self.server.x.is_viewable(self.window), 10, step=0.001)
        shutil.rmtree(self.folder, ignore_errors=True)

    def finish(self, timeout=20):
        """Waits for the exit; returns (status, stdout, stderr). Fails on any
        sanitizer report, whatever the exit status, and under the shim on any
        shader object or program, but the one in use, never deleted."""
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        finally:
            self._clear_up()
        self.process.stdin.close()
        outputs = []
        for file in (self.stdout_file, self.stderr_file):
            file.seek(0)
            outputs.append(file.read().decode())
            file.close()
        assert not SANITIZER_REPORT.search(outputs[1]), "sanitizer report:\n" + outputs[1]
        if self.shim:
            self.assert_released(outputs[1])
        if WINE:
            # A Windows console program ends every line with CR LF.
            assert "\n" not in outputs[0].replace("\r\n", ""), (
                f"a line feed without a carriage return: {outputs[0]!r}")
            outputs[0] = outputs[0].replace("\r\n", "\n")
        return (status, *outputs)


# The most a Windows frame puts between its outer edge and its client area.
WINDOWS_FRAME = (16, 64)


def placed_at(corner, x, y):
    """Whether a window whose top left corner is at corner was placed at x, y:
    exactly, or under Wine within a Windows frame of it, as Windows places its
    frame's outer edge there."""
    dx, dy = corner[0] - x, corner[1] - y
    if WINE:
        return 0 <= dx <= WINDOWS_FRAME[0] and 0 <= dy <= WINDOWS_FRAME[1]
    return (dx, dy) == (0, 0)


# The shim is a preload into a Linux process: it cannot reach a Windows one.
HAS_SHIM = not WINE
SHIM_REASON = "needs the preloaded shim, which cannot reach a Windows program"


def needs_shim(test):
    """A test of what only the shim can make happen. Under Wine it is skipped,
    in a selection of its own (load_tests)."""
    test.needs_shim = True
    return unittest.skipUnless(HAS_SHIM, SHIM_REASON)(test)


def linux_only(test):
    """A test of the Linux build and install, never run under Wine."""
    test.platforms = ("linux",)
    return test


def wine_only(test):
    """A test of the Windows zip, run under Wine only."""
    test.platforms = ("wine",)
    return test


def _each_test(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from _each_test(test)
        else:
            yield test


def load_tests(_loader, tests, _pattern):
    """The tests of a module that imports this function, for this platform.
    Under Wine, QUADFORGE_TESTS=shim selects the tests that need the shim (so
    that CTest can report them skipped) and anything else the others."""
    platform = "wine" if WINE else "linux"
    shim_selection = WINE and os.environ.get("QUADFORGE_TESTS") == "shim"
    selected = unittest.TestSuite()
    for test in _each_test(tests):
        method = getattr(test, test._testMethodName, None)
        if platform not in getattr(method, "platforms", (platform,)):
            continue
        if WINE and getattr(method, "needs_shim", False) != shim_selection:
            continue
        selected.addTest(test)
    return selected


class XTestCase(unittest.TestCase):
    """Test cases sharing one display per class, of the class's kind of
    display (desktop), started by the first test that runs (a class whose
    tests are all skipped starts none). Where that desktop cannot start on
    this machine, its tests are skipped with the reason; they fail instead
    with QUADFORGE_DESKTOPS_REQUIRED set, as the scripts that install every
    desktop before they run the suite set it."""

    desktop = XServer
    server = None
    unavailable = None

    def setUp(self):
        cls = type(self)
        if cls.server is None and cls.unavailable is None:
            try:
                cls.server = cls.desktop()
            except DesktopUnavailable as reason:
                cls.unavailable = str(reason)
        if cls.unavailable:
            if os.environ.get("QUADFORGE_DESKTOPS_REQUIRED"):
                self.fail(cls.unavailable)
            self.skipTest(cls.unavailable)

    @classmethod
    def tearDownClass(cls):
        if cls.server is not None:
            cls.server.stop()
            cls.server = None

    def start(self, files, **kwargs):
        """A session, under the shim wherever it reaches, so that every exit
        is checked for objects left behind."""
        kwargs.setdefault("shim", HAS_SHIM)
        session = Session(self.server, files, **kwargs)
        # Whatever the outcome, so the next case cannot find this window.
        self.addCleanup(session.end)
        return session

    def start_and_close(self, files, **kwargs):
        """Runs quadforge until its window shows, then closes the window;
        returns (stdout, stderr) of the clean exit."""
        with self.start(files, **kwargs) as session:
            session.find_window()
            session.close_window()
            status, out, err = session.finish(timeout=10)
        self.assertEqual(status, 0)
        return out, err
