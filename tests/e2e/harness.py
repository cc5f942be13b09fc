"""Runs quadforge on its own Xvfb server and looks at it from outside: the X
server for the window, XTEST for keys, the window's pixels, its exit status and
its standard output."""
import collections
import ctypes
import os
import random
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

QUADFORGE = os.environ.get("QUADFORGE", "quadforge")
GL_PROBE = os.environ.get("GL_PROBE", "gl_probe")
GL_SHIM = os.environ.get("GL_SHIM", "")
# Libraries every session preloads ahead of the shim (sanitizer builds only).
PRELOAD = os.environ.get("QUADFORGE_PRELOAD", "")
RULE = "-" * 64 + "\n"
SANITIZER_REPORT = re.compile(r"\w+Sanitizer|runtime error:")

# Test pairs: a pass-through vertex stage and solid-colour fragment stages.
VERTEX = """#version 330 core
layout(location = 0) in vec2 position;
void main() { gl_Position = vec4(position, 0.0, 1.0); }
"""


def solid_fragment(rgb):
    r, g, b = (c / 255.0 for c in rgb)
    return ("#version 330 core\nout vec4 colour;\n"
            f"void main() {{ colour = vec4({r:.6f}, {g:.6f}, {b:.6f}, 1.0); }}\n")


def read_pair(folder):
    """The shader pair in folder, as Session takes its files."""
    pair = {}
    for name in ("full_screen_quad.vert", "full_screen_quad.frag"):
        with open(os.path.join(folder, name), newline="") as file:
            pair[name] = file.read()
    return pair


OVERRIDE_3_3 = {"MESA_GL_VERSION_OVERRIDE": "3.3COMPAT", "MESA_GLSL_VERSION_OVERRIDE": "330"}


def context_version(version):
    """(major, minor) from the start of a GL_VERSION string."""
    major, minor = re.match(r"(\d+)\.(\d+)", version).groups()
    return int(major), int(minor)


def wait_for(condition, timeout=20.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class XServer:
    """An Xvfb server of the test's own, on the first free display."""

    def __init__(self):
        # Concurrent servers (other suites, benchmarks) cannot share a number:
        # with -displayfd Xvfb takes no lock file, but a server whose number is
        # taken cannot listen and exits without answering, and the next
        # number is tried.
        for attempt in range(50):
            number = random.randrange(100, 1000)
            if not os.path.exists(f"/tmp/.X{number}-lock") and self._start(number):
                self.display = f":{number}"
                break
        else:
            raise RuntimeError("no Xvfb server would start")
        self.override = {}
        self.default_version = context_version(self.run(GL_PROBE).splitlines()[0])
        if self.default_version < (3, 3):
            # Older Mesa offers 3.3 only when asked; the below-3.3 path is
            # then tested on the default context.
            self.override = OVERRIDE_3_3
            print(f"\nThe driver's default context is OpenGL {self.default_version}: tests that"
                  " need 3.3 run with " + " ".join(f"{k}={v}" for k, v in OVERRIDE_3_3.items()),
                  file=sys.stderr)

    def _start(self, number):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            # -noreset: a server that resets when its last client leaves
            # (an xdotool search) drops clients that connect meanwhile.
            ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0",
             "1280x1024x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        # The server writes its number and a line feed once it listens; the
        # pipe stays open until the line feed is in.
        answer = b""
        while not answer.endswith(b"\n") and select.select([read_end], [], [], 30)[0]:
            chunk = os.read(read_end, 32)
            if not chunk:
                break
            answer += chunk
        os.close(read_end)
        if answer.strip() == str(number).encode():
            return True
        self.process.kill()
        self.process.wait()
        return False

    def env(self, **extra):
        env = dict(os.environ, DISPLAY=self.display, MESA_SHADER_CACHE_DISABLE="true",
                   GALLIUM_DRIVER="llvmpipe", LIBGL_ALWAYS_SOFTWARE="1")
        env.update(self.override)
        env.update(extra)
        return {name: value for name, value in env.items() if value is not None}

    def run(self, *command, **extra):
        return subprocess.run(command, env=self.env(**extra), check=True, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60).stdout

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Image:
    """A window's pixels, one channel per bytes object, rows top to bottom."""

    def __init__(self, width, height, red, green, blue):
        self.width, self.height = width, height
        self.channels = (red, green, blue)

    def pixel(self, x, y):
        return tuple(channel[y * self.width + x] for channel in self.channels)

    def colours(self):
        return collections.Counter(zip(*self.channels))

    def is_picture(self):
        """True unless one colour covers nine tenths of the pixels or more."""
        most = self.colours().most_common(1)[0][1]
        return most < 0.9 * self.width * self.height

    def count_near(self, colour, tolerance=2):
        """How many pixels lie within tolerance of colour on every channel."""
        return sum(n for c, n in self.colours().items()
                   if all(abs(a - b) <= tolerance for a, b in zip(c, colour)))


def capture(display, window):
    """The window's pixels, read with xwd (32 bits a pixel, byte-wide masks)."""
    data = subprocess.run(["xwd", "-silent", "-id", str(window), "-display", display],
                          check=True, stdout=subprocess.PIPE).stdout
    header = struct.unpack(">25I", data[:100])
    header_size, width, height = header[0], header[4], header[5]
    byte_order, bits_per_pixel, bytes_per_line = header[7], header[11], header[12]
    masks, ncolors = header[14:17], header[19]
    assert bits_per_pixel == 32, f"unexpected {bits_per_pixel} bits per pixel"
    pixels = data[header_size + 12 * ncolors:]
    rows = b"".join(pixels[y * bytes_per_line: y * bytes_per_line + 4 * width]
                    for y in range(height))
    offsets = []
    for mask in masks:
        byte = ((mask & -mask).bit_length() - 1) // 8
        offsets.append(byte if byte_order == 0 else 3 - byte)
    return Image(width, height, *(rows[o::4] for o in offsets))


class Xlib:
    """The few Xlib calls the tools on the machine do not offer."""

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                    ("pad", ctypes.c_long * 12)]

    def __init__(self):
        self.lib = ctypes.CDLL("libX11.so.6")
        self.lib.XOpenDisplay.restype = ctypes.c_void_p
        self.lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.lib.XInternAtom.restype = ctypes.c_ulong
        self.lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                        ctypes.c_long, ctypes.c_void_p]
        self.lib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    def send_delete_window(self, display_name, window):
        """Closes the window as a window manager would for the user."""
        display = self.lib.XOpenDisplay(display_name.encode())
        assert display, "cannot open " + display_name
        event = self.ClientMessage(type=33, send_event=1, window=window, format=32)
        event.message_type = self.lib.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.data[0] = self.lib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        self.lib.XSendEvent(display, window, 0, 0, ctypes.byref(event))
        self.lib.XCloseDisplay(display)


class Session:
    """One quadforge process run from a folder holding its own resources/."""

    def __init__(self, server, files, args=(), shim=False, program=QUADFORGE, **env):
        self.server = server
        self.folder = tempfile.mkdtemp(prefix="quadforge-test-")
        os.mkdir(os.path.join(self.folder, "resources"))
        for name, text in files.items():
            self.write(name, text)
        # ASan's runtime must be the first library loaded or it refuses to
        # start, so it goes ahead of the shim rather than switching the check
        # off; the GL driver comes along so that it is still mapped when
        # LeakSanitizer reports at exit, where tests/lsan.supp can name it.
        preload = [PRELOAD] if PRELOAD else []
        if shim:
            preload.append(GL_SHIM)
        if preload:
            env["LD_PRELOAD"] = " ".join(preload)
        self.stdout_file = tempfile.TemporaryFile(mode="w+b")
        self.stderr_file = tempfile.TemporaryFile(mode="w+b")
        self.process = subprocess.Popen(
            [program, *args], cwd=self.folder, env=server.env(**env),
            stdin=subprocess.PIPE, stdout=self.stdout_file, stderr=self.stderr_file)
        self.window = None

    def write(self, name, text):
        with open(os.path.join(self.folder, "resources", name), "w", newline="") as file:
            file.write(text)

    def find_window(self):
        def search():
            found = subprocess.run(
                ["xdotool", "search", "--onlyvisible", "--name", "^quadforge$"],
                env=self.server.env(), text=True, stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL).stdout.split()
            return int(found[0]) if found else None
        self.window = wait_for(lambda: search() or self.process.poll() is not None)
        assert self.window is not True and self.window, (
            f"no quadforge window appeared (exit status {self.process.poll()}, "
            f"stderr {self.stderr_file.seek(0) or self.stderr_file.read()!r})")
        return self.window

    def geometry(self):
        """(x, y, width, height, title) of the window from the X server."""
        info = self.server.run("xwininfo", "-id", str(self.window))
        fields = dict(line.strip().split(":", 1) for line in info.splitlines()
                      if ":" in line and not line.startswith("xwininfo"))
        title = info.split('"', 1)[1].rsplit('"', 1)[0]
        return (int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]),
                int(fields["Width"]), int(fields["Height"]), title)

    def pixels(self):
        return capture(self.server.display, self.window)

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
        # Focus follows the pointer with no window manager.
        x, y, width, height, _ = self.geometry()
        self.server.run("xdotool", "mousemove", str(x + width // 2), str(y + height // 2))
        self.server.run("xdotool", "windowfocus", str(self.window))
        self.server.run("xdotool", "key", "--delay", "50", *names)

    def close_window(self):
        Xlib().send_delete_window(self.server.display, self.window)

    def is_running(self, seconds=1.0):
        time.sleep(seconds)
        return self.process.poll() is None

    def press_enter(self):
        self.process.stdin.write(b"\n")
        self.process.stdin.flush()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.end()

    def end(self):
        """Ends the process if it still runs and waits for it."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        shutil.rmtree(self.folder, ignore_errors=True)

    def finish(self, timeout=20):
        """Waits for the exit; returns (status, stdout, stderr). Fails on any
        sanitizer report, whatever the exit status."""
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)
        self.process.stdin.close()
        outputs = []
        for file in (self.stdout_file, self.stderr_file):
            file.seek(0)
            outputs.append(file.read().decode())
            file.close()
        assert not SANITIZER_REPORT.search(outputs[1]), "sanitizer report:\n" + outputs[1]
        return (status, *outputs)


def expected_report(server, **env):
    """The context report quadforge must print, from the driver's own answers."""
    version, vendor, renderer, shading, attachments = (
        server.run(GL_PROBE, **env).splitlines())
    return (RULE + "Graphics Successfully Initialized\nOpenGL Info\n" + "=" * 22 + "\n"
            f"              Version: {version}\n"
            f"               Vendor: {vendor}\n"
            f"             Renderer: {renderer}\n"
            f"              Shading: {shading}\n"
            "Misc Stats\n" + "=" * 22 + "\n"
            f"Max Color Attachments: {attachments}\n" + RULE)


def probe_log(server, *sources):
    """The driver's own log for sources: one fragment stage is compiled, a
    vertex and fragment pair linked. Returns (program name or "", log), the
    log with its line feeds as the driver gives them."""
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for number, text in enumerate(sources):
            paths.append(os.path.join(folder, f"stage{number}.glsl"))
            with open(paths[-1], "w") as file:
                file.write(text)
        out = server.run(GL_PROBE, "compile" if len(paths) == 1 else "link", *paths)
    head, log = out.split("<<", 1)
    return head.strip(), log.rsplit(">>", 1)[0]


class XTestCase(unittest.TestCase):
    """Test cases sharing one X server per class."""

    @classmethod
    def setUpClass(cls):
        cls.server = XServer()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def start(self, files, **kwargs):
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
