# Harness shared by the benchmark and the soak: Xvfb, XTEST keys, window pixels, processes.
import ctypes
import os
import subprocess
import tempfile
import time

_x11 = ctypes.CDLL("libX11.so.6")
_xtst = ctypes.CDLL("libXtst.so.6")

_Window = ctypes.c_ulong
_x11.XOpenDisplay.restype = ctypes.c_void_p
_x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x11.XDefaultRootWindow.restype = _Window
_x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_x11.XQueryTree.argtypes = [ctypes.c_void_p, _Window, ctypes.POINTER(_Window), ctypes.POINTER(_Window),
                            ctypes.POINTER(ctypes.POINTER(_Window)), ctypes.POINTER(ctypes.c_uint)]
_x11.XFetchName.argtypes = [ctypes.c_void_p, _Window, ctypes.POINTER(ctypes.c_char_p)]
_x11.XFree.argtypes = [ctypes.c_void_p]
_x11.XGetImage.restype = ctypes.c_void_p
_x11.XGetImage.argtypes = [ctypes.c_void_p, _Window, ctypes.c_int, ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
                           ctypes.c_ulong, ctypes.c_int]
_x11.XGetPixel.restype = ctypes.c_ulong
_x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
_x11.XDestroyImage.argtypes = [ctypes.c_void_p]
_x11.XGetGeometry.argtypes = [ctypes.c_void_p, _Window, ctypes.POINTER(_Window)] + [
    ctypes.POINTER(ctypes.c_int)] * 2 + [ctypes.POINTER(ctypes.c_uint)] * 4
_x11.XTranslateCoordinates.argtypes = [ctypes.c_void_p, _Window, _Window, ctypes.c_int, ctypes.c_int,
                                       ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                                       ctypes.POINTER(_Window)]
_x11.XSetInputFocus.argtypes = [ctypes.c_void_p, _Window, ctypes.c_int, ctypes.c_ulong]
_x11.XStringToKeysym.restype = ctypes.c_ulong
_x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
_x11.XKeysymToKeycode.restype = ctypes.c_ubyte
_x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
_x11.XFlush.argtypes = [ctypes.c_void_p]
_x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
_xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]

# Windows come and go under our feet (one read while it is being mapped or
# destroyed): such errors are expected, and Xlib's default handler would exit.
_X_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_error_handler = _X_ERROR_HANDLER(lambda _display, _event: 0)
_x11.XSetErrorHandler(_error_handler)

MESA_ENV = {"MESA_SHADER_CACHE_DISABLE": "true"}


def start_xvfb(width=2200, height=1300):
    """Starts Xvfb on a free display it picks itself; returns (process, ':N')."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24", "-br", "-nolisten", "tcp"],
        pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        server.kill()
        raise RuntimeError("Xvfb did not report a display")
    return server, ":" + number


def stop_process(process, timeout=5):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def open_display(name):
    display = _x11.XOpenDisplay(name.encode())
    if not display:
        raise RuntimeError(f"cannot open display {name}")
    return display


def close_display(display):
    _x11.XCloseDisplay(display)


def _children(display, window):
    root, parent = _Window(), _Window()
    children = ctypes.POINTER(_Window)()
    count = ctypes.c_uint()
    if not _x11.XQueryTree(display, window, ctypes.byref(root), ctypes.byref(parent), ctypes.byref(children),
                           ctypes.byref(count)):
        return []
    found = [children[i] for i in range(count.value)]
    if children:
        _x11.XFree(children)
    return found


def _name(display, window):
    name = ctypes.c_char_p()
    if not _x11.XFetchName(display, window, ctypes.byref(name)) or not name.value:
        return None
    value = name.value.decode(errors="replace")
    _x11.XFree(name)
    return value


def find_window(display, title):
    """The window whose name is exactly title, searched through the whole tree
    (a window manager reparents it), or None."""
    pending = [_x11.XDefaultRootWindow(display)]
    while pending:
        window = pending.pop()
        for child in _children(display, window):
            if _name(display, child) == title:
                return child
            pending.append(child)
    return None


def window_size(display, window):
    root = _Window()
    x, y, width, height, border, depth = (ctypes.c_int(), ctypes.c_int(), ctypes.c_uint(), ctypes.c_uint(),
                                          ctypes.c_uint(), ctypes.c_uint())
    if not _x11.XGetGeometry(display, window, ctypes.byref(root), ctypes.byref(x), ctypes.byref(y),
                             ctypes.byref(width), ctypes.byref(height), ctypes.byref(border), ctypes.byref(depth)):
        return None
    return width.value, height.value


def pixel(display, window, x, y):
    """The 0xRRGGBB value at x, y in window, or None while it cannot be read."""
    image = _x11.XGetImage(display, window, x, y, 1, 1, 0xFFFFFFFF, 2)  # ZPixmap
    if not image:
        return None
    value = _x11.XGetPixel(image, 0, 0) & 0xFFFFFF
    _x11.XDestroyImage(image)
    return value


def centre_pixel(display, window):
    size = window_size(display, window)
    if size is None:
        return None
    return pixel(display, window, size[0] // 2, size[1] // 2)


def focus(display, window):
    """Puts the pointer over the window's centre and gives it the keyboard."""
    size = window_size(display, window)
    if size is None:
        return
    x, y, child = ctypes.c_int(), ctypes.c_int(), _Window()
    root = _x11.XDefaultRootWindow(display)
    _x11.XTranslateCoordinates(display, window, root, size[0] // 2, size[1] // 2, ctypes.byref(x),
                               ctypes.byref(y), ctypes.byref(child))
    _xtst.XTestFakeMotionEvent(display, -1, x.value, y.value, 0)
    _x11.XSetInputFocus(display, window, 1, 0)  # RevertToPointerRoot, CurrentTime
    _x11.XSync(display, 0)


def press(display, key):
    """Presses and releases one key (an X keysym name: 's', 'Escape')."""
    code = _x11.XKeysymToKeycode(display, _x11.XStringToKeysym(key.encode()))
    _xtst.XTestFakeKeyEvent(display, code, 1, 0)
    _xtst.XTestFakeKeyEvent(display, code, 0, 0)
    _x11.XFlush(display)


def wait_for(condition, timeout, poll=0.0002):
    """Polls condition until it returns a true value; returns it, or None on timeout.
    The short sleep leaves the two cores to the program being measured."""
    deadline = time.perf_counter() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.perf_counter() > deadline:
            return None
        time.sleep(poll)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def colour(i):
    """A distinct colour for step i, never that of step i - 1, never black or white."""
    return (0x28 + (i * 37) % 200) << 16 | (0x28 + (i * 91) % 200) << 8 | (0x28 + (i * 53) % 200)


def shipped_pair(root):
    """The shader pair the project ships, as (vertex, fragment) text."""
    texts = []
    for name in ("full_screen_quad.vert", "full_screen_quad.frag"):
        with open(os.path.join(root, "resources", name)) as file:
            texts.append(file.read())
    return tuple(texts)


def solid_fragment(colour, lines=0):
    """A fragment shader painting 0xRRGGBB exactly. With lines > 0 the file has
    that many lines, most of them arithmetic on uv that cannot be folded away
    (the compiler cannot know uv stays in 0..1), so the work grows with it."""
    r, g, b = ((colour >> shift) & 0xFF for shift in (16, 8, 0))
    head = ["#version 330 core", "in vec2 uv;", "out vec4 frag_color;", "void main()", "{",
            "    float a = uv.x;"]
    tail = [f"    frag_color = a < -1.0 ? vec4(1.0) : vec4({r}.0, {g}.0, {b}.0, 255.0) / 255.0;", "}"]
    body = []
    for i in range(max(0, lines - len(head) - len(tail))):
        axis = "xy"[i % 2]
        body.append(f"    a = a * {0.9990 + (i % 7) * 0.0001:.4f} + uv.{axis};")
    return "\n".join(head + body + tail) + "\n"


SOLID_VERTEX = """#version 330 core
layout(location = 0) in vec2 position;
out vec2 uv;
void main()
{
    uv = position * 0.5 + 0.5;
    gl_Position = vec4(position, 0.0, 1.0);
}
"""


def write_text(path, text):
    # Replaced whole so the program never reads half a file.
    temporary = path + ".tmp"
    with open(temporary, "w") as file:
        file.write(text)
    os.replace(temporary, path)


def make_workdir(vertex, fragment):
    """A temporary working directory with resources/ holding the given pair."""
    directory = tempfile.mkdtemp(prefix="quadforge-bench-")
    os.mkdir(os.path.join(directory, "resources"))
    write_pair(directory, vertex, fragment)
    return directory


def write_pair(directory, vertex, fragment):
    if vertex is not None:
        write_text(os.path.join(directory, "resources", "full_screen_quad.vert"), vertex)
    write_text(os.path.join(directory, "resources", "full_screen_quad.frag"), fragment)


launched = []


def launch(binary, directory, display_name, args=(), extra_env=None):
    """Starts binary in directory; standard output and error go to files there.
    Each program gets a session of its own: a program held stopped (SIGSTOP)
    in our process group would be sent SIGHUP if the shell that started us
    went away mid-run."""
    env = dict(os.environ, DISPLAY=display_name, **MESA_ENV, **(extra_env or {}))
    stdout = open(os.path.join(directory, "stdout.txt"), "w")
    stderr = open(os.path.join(directory, "stderr.txt"), "w")
    process = subprocess.Popen([binary, *args], cwd=directory, env=env, stdout=stdout, stderr=stderr,
                               stdin=subprocess.DEVNULL, start_new_session=True)
    stdout.close()
    stderr.close()
    launched.append(process)
    return process


def kill_launched():
    """Ends whatever this run started and left running, stopped ones included."""
    for process in launched:
        if process.poll() is None:
            process.kill()
            process.wait()


def quit_with_escape(display, process, window, timeout=30):
    """Esc, then the exit status; a program that ignores Esc is killed (None)."""
    if window is not None:
        focus(display, window)
        press(display, "Escape")
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        stop_process(process)
        return None


def read_output(directory, name="stdout.txt"):
    with open(os.path.join(directory, name)) as file:
        return file.read()
