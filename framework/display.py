"""The displays quadforge runs on, each of the caller's own: a bare Xvfb
server, Openbox on one, and a Wayland session (Weston with XWayland). Every
process started here ends with the process that started it.

With QUADFORGE_WINE naming a Wine prefix, every program (quadforge.exe, the
probe) starts through Wine instead, in a copy of that prefix per display."""
import ctypes
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from framework.xclient import Display

GL_PROBE = os.environ.get("GL_PROBE", "gl_probe")
WINE_PREFIX = os.environ.get("QUADFORGE_WINE", "")
WINE = bool(WINE_PREFIX)
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


class DesktopUnavailable(RuntimeError):
    """A desktop that this machine cannot start; the message says why."""


class XServer:
    """An Xvfb server of the caller's own, on the first free display, with one
    connection to it (x). probe is the driver probe, tests/gl_probe; with
    None the driver's context is taken as it comes. A desktop starts its own
    server (_start_server) or starts more on it (_start_desktop)."""

    def __init__(self, probe=GL_PROBE):
        self.probe, self.override, self.wine_prefix = probe, {}, None
        self.processes = []  # started here, ended in reverse order by stop()
        try:
            self.display = self._start_server()
            if WINE:
                # A prefix of its own: one Wine server per display, and
                # taskkill finds only this server's programs. Beside the
                # original, where the next set-up clears any a killed run left.
                self.wine_prefix = tempfile.mkdtemp(prefix="prefix-",
                                                    dir=os.path.dirname(WINE_PREFIX))
                subprocess.run(["cp", "-a", WINE_PREFIX + "/.", self.wine_prefix], check=True)
                self._keep_wine_server_up()
            self.x = self._connect()
            self._start_desktop()
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

    def _start(self, command, **options):
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=end_with_parent, **options)
        self.processes.append(process)
        return process

    def _start_server(self):
        """Starts the X server; returns its display name."""
        # Concurrent servers (other suites, benchmarks) cannot share a number:
        # with -displayfd Xvfb takes no lock file, but a server whose number is
        # taken cannot listen and exits without answering, and the next
        # number is tried.
        for attempt in range(50):
            number = random.randrange(100, 1000)
            if not os.path.exists(f"/tmp/.X{number}-lock") and self._start_xvfb(number):
                return f":{number}"
        raise RuntimeError("no Xvfb server would start")

    def _start_xvfb(self, number):
        read_end, write_end = os.pipe()
        process = self._start(
            # -noreset: a server that resets when its last client leaves
            # drops clients that connect meanwhile. The screen has room for
            # the benchmark's 1920x1080 window at 140,140.
            ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0",
             "2200x1300x24", "-nolisten", "tcp", "-noreset"], pass_fds=[write_end])
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
        self.processes.remove(process)
        process.kill()
        process.wait()
        return False

    def _keep_wine_server_up(self):
        """Keeps the prefix's Wine server up until stop(). A server whose last
        program ends shuts down and first kills, with status 1 and not a word,
        any program that started meanwhile: the next one of a test. cmd waits
        on a pipe that only this process holds, so it ends with it."""
        self._start(["wine", "cmd"], stdin=subprocess.PIPE, env=self.env())

    def _connect(self):
        return Display(self.display)

    def _start_desktop(self):
        """A bare server has nothing more to start."""

    def _wait_for_manager(self, name, process, timeout=30):
        """Waits until a window manager has claimed the screen: EWMH's check
        window on the root names a window that exists."""
        def managed():
            check = self.x.property(self.x.root, "_NET_SUPPORTING_WM_CHECK")
            return (check and self.x.attributes(check[0]) is not None) or process.poll() is not None
        if not wait_for(managed, timeout) or process.poll() is not None:
            raise DesktopUnavailable(f"{name} did not take the screen within {timeout} s"
                                     f" (exit status {process.poll()})")

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
        as "\n" whatever the platform writes. A file, not a pipe: Wine's own
        processes that a program starts keep its output open."""
        with tempfile.TemporaryFile("w+") as out:
            subprocess.run(self.command(program, *args), env=self.env(**extra), cwd=cwd,
                           check=True, stdout=out, stderr=subprocess.DEVNULL, timeout=120)
            out.seek(0)
            return out.read()

    def stop(self):
        if hasattr(self, "x"):
            self.x.close()
        if self.wine_prefix:
            subprocess.run(["wineserver", "-k"], env=self.env(), check=False, timeout=60)
            shutil.rmtree(self.wine_prefix, ignore_errors=True)
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()



class Openbox(XServer):
    """Openbox managing a private Xvfb: an X11 desktop with reparenting
    frames, focus and EWMH."""

    def _start_desktop(self):
        # No session manager to register with; the system's own rc.xml.
        self._wait_for_manager("Openbox", self._start(["openbox", "--sm-disable"],
                                                      env=self.env()))


class Weston(XServer):
    """A Wayland session: Weston's headless backend, no GPU, with XWayland
    for X programs, managed by Weston's own X window manager."""

    def _start_server(self):
        # Weston crashes at start where the X socket folder is missing.
        os.makedirs("/tmp/.X11-unix", exist_ok=True)
        os.chmod("/tmp/.X11-unix", 0o1777)
        self.runtime_dir = tempfile.mkdtemp(prefix="weston-")  # made 0700, as Wayland wants
        log = os.path.join(self.runtime_dir, "weston.log")
        try:
            self.weston = self._start(
                ["weston", "--backend=headless-backend.so", "--xwayland",
                 f"--socket=quadforge-{os.getpid()}", "--no-config", "--idle-time=0",
                 f"--log={log}"], env=dict(os.environ, XDG_RUNTIME_DIR=self.runtime_dir))
        except OSError as error:
            raise DesktopUnavailable(f"Weston cannot run: {error}") from None

        def log_text():
            if not os.path.exists(log):
                return ""
            with open(log, errors="replace") as file:
                return file.read()

        def listening():
            found = re.search(r"xserver listening on display (:\d+)", log_text())
            return found and found.group(1) or self.weston.poll() is not None
        display = wait_for(listening, 30)
        if display is True or not display:
            raise DesktopUnavailable(f"Weston with XWayland did not start (exit status "
                                     f"{self.weston.poll()}): "
                                     + (" / ".join(log_text().strip().splitlines()[-3:])
                                        or "no log"))
        return display

    def _connect(self):
        # The first connection starts XWayland.
        try:
            return super()._connect()
        except RuntimeError as error:
            raise DesktopUnavailable(f"Weston's XWayland did not answer: {error}") from None

    def _start_desktop(self):
        self._wait_for_manager("Weston's X window manager", self.weston)

    def stop(self):
        super().stop()
        if hasattr(self, "runtime_dir"):
            shutil.rmtree(self.runtime_dir, ignore_errors=True)
