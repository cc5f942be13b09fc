"""Runs quadforge on its own Xvfb server and looks at it from outside: the X
server for the window, XTEST for keys, the window's pixels, its exit status and
its standard output. The run command without a display, the end-to-end tests,
the benchmark and the screenshot script all drive quadforge through this
module. The processes it starts end with the process that started them.

With QUADFORGE_WINE naming a Wine prefix, every program (quadforge.exe, the
probe) starts through Wine instead, in a copy of that prefix per server."""
import collections
import ctypes
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

QUADFORGE = os.environ.get("QUADFORGE", "quadforge")
GL_PROBE = os.environ.get("GL_PROBE", "gl_probe")
GL_SHIM = os.environ.get("GL_SHIM", "")
# Libraries every session preloads ahead of the shim (sanitizer builds only).
PRELOAD = os.environ.get("QUADFORGE_PRELOAD", "")
RULE = "-" * 64 + "\n"
SANITIZER_REPORT = re.compile(r"\w+Sanitizer|runtime error:")
WINE_PREFIX = os.environ.get("QUADFORGE_WINE", "")
WINE = bool(WINE_PREFIX)

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


_LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def end_with_parent():
    """Run in a child before it starts its program: the kernel sends it
    SIGTERM when its parent ends, however that ends (kill -9, a CI job cut
    short), so no X server or quadforge outlives its starter."""
    _LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def wait_for(condition, timeout=20.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class XServer:
    """An Xvfb server of the caller's own, on the first free display, with one
    connection to it (x). probe is the driver probe, tests/gl_probe; with
    None the driver's context is taken as it comes."""

    def __init__(self, probe=GL_PROBE):
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
        self.probe, self.override, self.wine_prefix = probe, {}, None
        try:
            if WINE:
                # A prefix of its own: one Wine server per display, and
                # taskkill finds only this server's programs. Beside the
                # original, where the next set-up clears any a killed run left.
                self.wine_prefix = tempfile.mkdtemp(prefix="prefix-",
                                                    dir=os.path.dirname(WINE_PREFIX))
                subprocess.run(["cp", "-a", WINE_PREFIX + "/.", self.wine_prefix], check=True)
            self.x = Display(self.display)
            self.default_version = probe and context_version(self.run(probe).splitlines()[0])
        except BaseException:
            self.stop()
            raise
        if probe and self.default_version < (3, 3):
            # Older Mesa offers 3.3 only when asked; the below-3.3 path is
            # then tested on the default context.
            self.override = OVERRIDE_3_3
            version = ".".join(map(str, self.default_version))
            print(f"\nThe driver's default context is OpenGL {version}: quadforge"
                  " runs with " + " ".join(f"{k}={v}" for k, v in OVERRIDE_3_3.items()),
                  file=sys.stderr)

    def _start(self, number):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            # -noreset: a server that resets when its last client leaves
            # drops clients that connect meanwhile. The screen has room for
            # the benchmark's 1920x1080 window at 140,140.
            ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0",
             "2200x1300x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=end_with_parent)
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
        if self.wine_prefix:
            # No installer dialogs that nobody could answer; no Wine chatter.
            env.update(WINEPREFIX=self.wine_prefix, WINEDLLOVERRIDES="mscoree,mshtml=",
                       WINEDEBUG="-all")
        env.update(self.override)
        env.update(extra)
        return {name: value for name, value in env.items() if value is not None}

    def command(self, program, *args):
        """The command line that starts program, through Wine where it runs."""
        return ["wine", program, *args] if WINE else [program, *args]

    def run(self, program, *args, cwd=None, **extra):
        """Runs a program to its end; returns its standard output, line ends
        as "\n" whatever the platform writes."""
        return subprocess.run(self.command(program, *args), env=self.env(**extra), cwd=cwd,
                              check=True, text=True, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120).stdout

    def stop(self):
        if hasattr(self, "x"):
            self.x.close()
        if self.wine_prefix:
            subprocess.run(["wineserver", "-k"], env=self.env(), check=False, timeout=60)
            shutil.rmtree(self.wine_prefix, ignore_errors=True)
        self.process.terminate()
        self.process.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


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

    def png(self):
        """The image as an 8-bit RGB PNG file. Each row is stored as its
        difference from the row above (filter type 2), which suits smooth
        shader pictures."""
        stride = self.width * 3
        rgb = bytearray(stride * self.height)
        for offset, channel in enumerate(self.channels):
            rgb[offset::3] = channel
        rows = bytearray()
        previous = bytes(stride)
        for y in range(self.height):
            row = rgb[y * stride:(y + 1) * stride]
            rows.append(2)
            rows += bytes((a - b) & 0xFF for a, b in zip(row, previous))
            previous = row

        def chunk(kind, data):
            return (struct.pack(">I", len(data)) + kind + data
                    + struct.pack(">I", zlib.crc32(kind + data)))
        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))

    def save_png(self, path):
        """Writes the PNG whole: a viewer never sees half a file."""
        with open(path + ".new", "wb") as file:
            file.write(self.png())
        os.replace(path + ".new", path)


def _library(name, prototypes):
    """A C library with the prototypes given as {function: (result, [arguments])}."""
    library = ctypes.CDLL(name)
    for function, (result, arguments) in prototypes.items():
        getattr(library, function).restype = result
        getattr(library, function).argtypes = arguments
    return library


_P, _W, _I, _U = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint
_REF = ctypes.POINTER
X11 = _library("libX11.so.6", {
    "XOpenDisplay": (_P, [ctypes.c_char_p]),
    "XCloseDisplay": (_I, [_P]),
    "XDefaultRootWindow": (_W, [_P]),
    "XQueryTree": (_I, [_P, _W, _REF(_W), _REF(_W), _REF(_P), _REF(_U)]),
    "XFetchName": (_I, [_P, _W, _REF(_P)]),
    "XFree": (_I, [_P]),
    "XGetWindowAttributes": (_I, [_P, _W, _P]),
    "XTranslateCoordinates": (_I, [_P, _W, _W, _I, _I, _REF(_I), _REF(_I), _REF(_W)]),
    "XGetImage": (_P, [_P, _W, _I, _I, _U, _U, ctypes.c_ulong, _I]),
    "XDestroyImage": (_I, [_P]),
    "XSetInputFocus": (_I, [_P, _W, _I, ctypes.c_ulong]),
    "XStringToKeysym": (ctypes.c_ulong, [ctypes.c_char_p]),
    "XKeysymToKeycode": (ctypes.c_ubyte, [_P, ctypes.c_ulong]),
    "XkbKeycodeToKeysym": (ctypes.c_ulong, [_P, ctypes.c_ubyte, _I, _I]),
    "XInternAtom": (ctypes.c_ulong, [_P, ctypes.c_char_p, _I]),
    "XSendEvent": (_I, [_P, _W, _I, ctypes.c_long, _P]),
    "XSync": (_I, [_P, _I]),
    "XSetErrorHandler": (_P, [_P]),
})
XTST = _library("libXtst.so.6", {
    "XTestFakeKeyEvent": (_I, [_P, _U, _I, ctypes.c_ulong]),
    "XTestFakeMotionEvent": (_I, [_P, _I, _I, _I, ctypes.c_ulong]),
})
# Windows come and go under a reader's feet; Xlib's default handler would end
# the process over a read of one that just went, and every caller copes with a
# failed call instead.
IGNORE_ERRORS = ctypes.CFUNCTYPE(_I, _P, _P)(lambda _display, _error: 0)
X11.XSetErrorHandler(ctypes.cast(IGNORE_ERRORS, _P))
IS_VIEWABLE = 2


class WindowAttributes(ctypes.Structure):
    _fields_ = [("x", _I), ("y", _I), ("width", _I), ("height", _I), ("border_width", _I),
                ("depth", _I), ("visual", _P), ("root", _W), ("class_", _I),
                ("bit_gravity", _I), ("win_gravity", _I), ("backing_store", _I),
                ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
                ("save_under", _I), ("colormap", _W), ("map_installed", _I), ("map_state", _I),
                ("all_event_masks", ctypes.c_long), ("your_event_mask", ctypes.c_long),
                ("do_not_propagate_mask", ctypes.c_long), ("override_redirect", _I),
                ("screen", _P)]


class XImage(ctypes.Structure):
    """The leading fields of Xlib's XImage."""
    _fields_ = [("width", _I), ("height", _I), ("xoffset", _I), ("format", _I), ("data", _P),
                ("byte_order", _I), ("bitmap_unit", _I), ("bitmap_bit_order", _I),
                ("bitmap_pad", _I), ("depth", _I), ("bytes_per_line", _I),
                ("bits_per_pixel", _I), ("red_mask", ctypes.c_ulong),
                ("green_mask", ctypes.c_ulong), ("blue_mask", ctypes.c_ulong)]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", _I), ("serial", ctypes.c_ulong), ("send_event", _I),
                ("display", _P), ("window", _W), ("message_type", ctypes.c_ulong),
                ("format", _I), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


class Display:
    """One connection to an X server, kept open: windows by title, their
    pixels, keys through XTEST, and the window manager's close request."""

    def __init__(self, name):
        self.handle = X11.XOpenDisplay(name.encode())
        if not self.handle:
            raise RuntimeError("cannot open display " + name)
        self.root = X11.XDefaultRootWindow(self.handle)

    def close(self):
        X11.XCloseDisplay(self.handle)

    def attributes(self, window):
        """The window's attributes, or None once it is gone."""
        attributes = WindowAttributes()
        if not X11.XGetWindowAttributes(self.handle, window, ctypes.byref(attributes)):
            return None
        return attributes

    def is_viewable(self, window):
        attributes = self.attributes(window)
        return attributes is not None and attributes.map_state == IS_VIEWABLE

    def title(self, window):
        name = _P()
        if not X11.XFetchName(self.handle, window, ctypes.byref(name)) or not name.value:
            return None
        title = ctypes.string_at(name.value).decode(errors="replace")
        X11.XFree(name)
        return title

    def find(self, title):
        """The viewable window named title, or None. With no window manager
        every program's window is a child of the root."""
        root, parent, children, count = _W(), _W(), _P(), _U()
        if not X11.XQueryTree(self.handle, self.root, ctypes.byref(root), ctypes.byref(parent),
                              ctypes.byref(children), ctypes.byref(count)):
            return None
        windows = list(ctypes.cast(children, _REF(_W))[:count.value]) if children else []
        if children:
            X11.XFree(children)
        return next((window for window in windows
                     if self.title(window) == title and self.is_viewable(window)), None)

    def geometry(self, window):
        """(x, y, width, height, title); x and y on the screen, outside the
        border, as xwininfo gives them."""
        attributes = self.attributes(window)
        x, y, child = _I(), _I(), _W()
        X11.XTranslateCoordinates(self.handle, window, self.root, -attributes.border_width,
                                  -attributes.border_width, ctypes.byref(x), ctypes.byref(y),
                                  ctypes.byref(child))
        return x.value, y.value, attributes.width, attributes.height, self.title(window)

    def image(self, window, x=0, y=0, width=None, height=None):
        """The pixels of a part of the window (all of it by default), or None
        while it cannot be read."""
        attributes = self.attributes(window)
        if attributes is None:
            return None
        width = attributes.width if width is None else width
        height = attributes.height if height is None else height
        pointer = X11.XGetImage(self.handle, window, x, y, width, height, 0xFFFFFFFF, 2)  # ZPixmap
        if not pointer:
            return None
        image = XImage.from_address(pointer)
        assert image.bits_per_pixel == 32, f"unexpected {image.bits_per_pixel} bits per pixel"
        data = ctypes.string_at(image.data, image.bytes_per_line * height)
        X11.XDestroyImage(pointer)
        rows = b"".join(data[row * image.bytes_per_line: row * image.bytes_per_line + 4 * width]
                        for row in range(height))
        offsets = []
        for mask in (image.red_mask, image.green_mask, image.blue_mask):
            byte = ((mask & -mask).bit_length() - 1) // 8
            offsets.append(byte if image.byte_order == 0 else 3 - byte)
        return Image(width, height, *(rows[offset::4] for offset in offsets))

    def focus(self, window):
        """The pointer to the window's centre and the keyboard to the window
        (with no window manager focus would follow the pointer)."""
        x, y, width, height, _ = self.geometry(window)
        XTST.XTestFakeMotionEvent(self.handle, -1, x + width // 2, y + height // 2, 0)
        X11.XSetInputFocus(self.handle, window, 1, 0)  # RevertToPointerRoot, CurrentTime
        X11.XSync(self.handle, 0)

    def press(self, *names):
        """Presses and releases each key, by its X keysym name ("s", "S",
        "Escape"); a keysym on the shifted level is typed with Shift held."""
        shift = X11.XKeysymToKeycode(self.handle, X11.XStringToKeysym(b"Shift_L"))
        for name in names:
            keysym = X11.XStringToKeysym(name.encode())
            code = X11.XKeysymToKeycode(self.handle, keysym)
            assert code, f"no key for {name!r}"
            held = [shift] if X11.XkbKeycodeToKeysym(self.handle, code, 0, 0) != keysym else []
            for key, down in ([(key, 1) for key in held] + [(code, 1), (code, 0)]
                              + [(key, 0) for key in held]):
                XTST.XTestFakeKeyEvent(self.handle, key, down, 0)
        X11.XSync(self.handle, 0)

    def delete_window(self, window):
        """Closes the window as a window manager would for the user."""
        event = ClientMessage(type=33, send_event=1, window=window, format=32)  # ClientMessage
        event.message_type = X11.XInternAtom(self.handle, b"WM_PROTOCOLS", 0)
        event.data[0] = X11.XInternAtom(self.handle, b"WM_DELETE_WINDOW", 0)
        X11.XSendEvent(self.handle, window, 0, 0, ctypes.byref(event))
        X11.XSync(self.handle, 0)


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
        if shim:
            preload.append(GL_SHIM)
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
            f"stderr {self.stderr_text()!r})")
        return self.window

    def geometry(self):
        """(x, y, width, height, title) of the window from the X server."""
        return self.server.x.geometry(self.window)

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
        """Standard error so far. pread leaves the file offset, which the
        process shares, where the process writes."""
        size = os.fstat(self.stderr_file.fileno()).st_size
        return os.pread(self.stderr_file.fileno(), size, 0).decode(errors="replace")

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
        self._clear_up()

    def _clear_up(self):
        # The next session must not find this window: the server drops it
        # only once it has seen the connection close.
        if self.window:
            wait_for(lambda: not self.server.x.is_viewable(self.window), 10, step=0.001)
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
            self._clear_up()
        self.process.stdin.close()
        outputs = []
        for file in (self.stdout_file, self.stderr_file):
            file.seek(0)
            outputs.append(file.read().decode())
            file.close()
        assert not SANITIZER_REPORT.search(outputs[1]), "sanitizer report:\n" + outputs[1]
        if WINE:
            # A Windows console program ends every line with CR LF.
            assert "\n" not in outputs[0].replace("\r\n", ""), (
                f"a line feed without a carriage return: {outputs[0]!r}")
            outputs[0] = outputs[0].replace("\r\n", "\n")
        return (status, *outputs)


def expected_report(server, **env):
    """The context report quadforge must print, from the driver's own answers."""
    version, vendor, renderer, shading, attachments = (
        server.run(server.probe, **env).splitlines())
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
        names = []
        for number, text in enumerate(sources):
            names.append(f"stage{number}.glsl")
            with open(os.path.join(folder, names[-1]), "w") as file:
                file.write(text)
        out = server.run(server.probe, "compile" if len(names) == 1 else "link", *names,
                         cwd=folder)
    head, log = out.split("<<", 1)
    return head.strip(), log.rsplit(">>", 1)[0]


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
    """Test cases sharing one X server per class, started by the first test
    that runs (a class whose tests are all skipped starts none)."""

    server = None

    def setUp(self):
        if type(self).server is None:
            type(self).server = XServer()

    @classmethod
    def tearDownClass(cls):
        if cls.server is not None:
            cls.server.stop()
            cls.server = None

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
