"""The displays quadforge runs on, each of the caller's own: a bare Xvfb
server, Openbox on one, and Wayland sessions with XWayland: Weston, GNOME's
Mutter and KDE's KWin. Every process started here ends with the process that
started it.

With QUADFORGE_WINE naming a Wine prefix, every program (quadforge.exe, the
probe) starts through Wine instead, in a copy of that prefix per display."""
import ctypes
import getpass
import glob
import os
import pwd
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
        self.xauthority = None  # the cookie file a server wants, where it wants one
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

    def _start(self, command, log=None, user=None, with_parent=True, **options):
        """Starts a process that ends with this one (unless with_parent is
        false: it ends by itself), as user (a pwd entry) if given; its output
        goes to the file log, or nowhere."""
        def become_user():
            os.setgid(user.pw_gid)
            os.setuid(user.pw_uid)
            if with_parent:
                end_with_parent()  # after the change of user, which clears it
        output = open(log, "ab") if log else subprocess.DEVNULL
        try:
            process = subprocess.Popen(
                command, stdout=output, stderr=subprocess.STDOUT, **options,
                preexec_fn=become_user if user else end_with_parent if with_parent else None)
        finally:
            if log:
                output.close()
        self.processes.append(process)
        return process

    def _start_server(self, until_last_client=False):
        """Starts the X server; returns its display name. With
        until_last_client, the server ends when its last client leaves,
        rather than with this process."""
        # Concurrent servers (other suites, benchmarks) cannot share a number:
        # with -displayfd Xvfb takes no lock file, but a server whose number is
        # taken cannot listen and exits without answering, and the next
        # number is tried.
        for attempt in range(50):
            number = random.randrange(100, 1000)
            if not os.path.exists(f"/tmp/.X{number}-lock") and self._start_xvfb(
                    number, until_last_client):
                return f":{number}"
        raise RuntimeError("no Xvfb server would start")

    def _start_xvfb(self, number, until_last_client):
        read_end, write_end = os.pipe()
        process = self._start(
            # -noreset: a server that resets when its last client leaves
            # drops clients that connect meanwhile. The screen has room for
            # the benchmark's 1920x1080 window at 140,140.
            ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0",
             "2200x1300x24", "-nolisten", "tcp",
             "-terminate" if until_last_client else "-noreset"],
            with_parent=not until_last_client, pass_fds=[write_end])
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
        return Display(self.display, self.xauthority)

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
        if self.xauthority:
            env["XAUTHORITY"] = self.xauthority
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
        if hasattr(self, "runtime_dir"):  # a Wayland session's
            shutil.rmtree(self.runtime_dir, ignore_errors=True)

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


class Compositor(XServer):
    """A Wayland session: a compositor, headless, with XWayland for X
    programs, which the compositor manages itself; a runtime folder and,
    with session_bus, a session bus of its own. name, _command and _display
    are the desktop's; with unprivileged, a compositor started by root runs
    as nobody."""

    name = ""
    session_bus = True
    unprivileged = False

    def _start_server(self):
        # Weston crashes at start where the X socket folder is missing.
        os.makedirs("/tmp/.X11-unix", exist_ok=True)
        os.chmod("/tmp/.X11-unix", 0o1777)
        self.runtime_dir = tempfile.mkdtemp(prefix=self.name.lower() + "-")  # 0700
        self.log = os.path.join(self.runtime_dir, "log")
        user = pwd.getpwnam("nobody") if self.unprivileged and os.geteuid() == 0 else None
        if user:
            os.chown(self.runtime_dir, user.pw_uid, user.pw_gid)
        env = {name: value for name, value in os.environ.items()
               if name not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY")}
        env.update(XDG_RUNTIME_DIR=self.runtime_dir)
        if user:
            env["HOME"] = self.runtime_dir  # nobody's is not there
        try:
            bus_daemon = self.session_bus and self._start_bus(env, user)
            self.compositor = self._start(self._command(env), log=self.log, user=user, env=env)
            if bus_daemon:
                self._start(["sh", "-c", "while grep -qv ') Z' /proc/$0/stat 2>/dev/null;"
                             " do sleep 0.1; done; kill $1", str(self.compositor.pid),
                             str(bus_daemon.pid)], with_parent=False)
        except OSError as error:
            raise DesktopUnavailable(f"{self.name} cannot run: {error}") from None
        display = wait_for(lambda: self._display() or self.compositor.poll() is not None, 30)
        if display is True or not display:
            raise DesktopUnavailable(f"{self.name} with XWayland did not start (exit status "
                                     f"{self.compositor.poll()}): "
                                     + (" / ".join(self.log_text().strip().splitlines()[-3:])
                                        or "no log"))
        return display

    def _start_bus(self, env, user):
        """Started here, not through dbus-run-session, which passes no signal
        on. The compositor ends with this process, and XWayland with it; the
        bus once the compositor has gone: a compositor that loses its bus
        halfway through its shutdown leaves its X lock files behind."""
        bus = os.path.join(self.runtime_dir, "bus")
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        bus_daemon = self._start(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                  "--address=unix:path=" + bus], log=self.log, user=user,
                                 with_parent=False)
        wait_for(lambda: os.path.exists(bus), 10)
        return bus_daemon

    def log_text(self):
        with open(self.log, errors="replace") as file:
            return file.read()

    def _start_desktop(self):
        self._wait_for_manager(self.name, self.compositor)


class Weston(Compositor):
    """Weston's headless backend, no GPU, with XWayland, managed by Weston's
    own X window manager; no session bus."""

    name = "Weston"
    session_bus = False

    def _command(self, env):
        return ["weston", "--backend=headless-backend.so", "--xwayland",
                f"--socket=quadforge-{os.getpid()}", "--no-config", "--idle-time=0"]

    def _display(self):
        found = re.search(r"xserver listening on display (:\d+)", self.log_text())
        return found and found.group(1)

    def _connect(self):
        # The first connection starts XWayland.
        try:
            return super()._connect()
        except RuntimeError as error:
            raise DesktopUnavailable(f"Weston's XWayland did not answer: {error}") from None


class Mutter(Compositor):
    """GNOME's compositor, Mutter, with one virtual monitor."""

    name = "Mutter"

    def _command(self, env):
        version = subprocess.run(["mutter", "--version"], stdout=subprocess.PIPE, text=True,
                                 check=False).stdout
        if int(re.search(r"(\d+)\.", version).group(1)) >= 40:
            return ["mutter", "--headless", "--wayland", "--virtual-monitor", "1280x1024",
                    f"--wayland-display=quadforge-{os.getpid()}"]
        # Mutter 3.38 (Debian 11) has no headless backend: it runs nested,
        # its monitor a window on an Xvfb server of its own. That server ends
        # when Mutter leaves it: one that ended with Mutter would take Mutter
        # down before it removed its lock files.
        env.update(DISPLAY=XServer._start_server(self, until_last_client=True),
                   MUTTER_DEBUG_DUMMY_MODE_SPECS="1280x1024")
        return ["mutter", "--wayland", "--nested"]

    def _display(self):
        """Its public X display, once its cookie is written: its XWayland
        admits the clients that hold the cookie alone. 3.38 names no display:
        its lock files hold its process id, the lower number the public one."""
        cookies = glob.glob(os.path.join(self.runtime_dir, ".mutter-Xwaylandauth.*"))
        found = re.search(r"Using public X11 display (:\d+)", self.log_text())
        numbers = sorted(int(re.search(r"(\d+)-lock$", lock).group(1))
                         for lock in glob.glob("/tmp/.X*-lock")
                         if _holder(lock) == self.compositor.pid)
        if not cookies or not (found or numbers):
            return None
        self.xauthority = cookies[0]
        return found.group(1) if found else f":{numbers[0]}"


def _holder(lock):
    """The process id in an X lock file, or None."""
    try:
        with open(lock) as file:
            return int(file.read().strip() or 0)
    except (OSError, ValueError):
        return None


class KWin(Compositor):
    """KDE's compositor, KWin, on a virtual output. KWin 5.20 (Debian 11)
    refuses to run as root, so it runs as nobody wherever the tests are root."""

    name = "KWin"
    unprivileged = True

    def _command(self, env):
        # A copy: Debian's binary carries a file capability that a process
        # may be denied ("Operation not permitted"); the copy has none. KWin
        # finds its platform plugin by the binary's name.
        binary = os.path.join(self.runtime_dir, "kwin_wayland")
        shutil.copy(shutil.which("kwin_wayland") or "kwin_wayland", binary)
        # Its log names no X display: a program it starts with XWayland up
        # lets this user's clients in and writes the display down.
        return [binary, "--virtual", "--xwayland", "--no-lockscreen", "--width", "1280",
                "--height", "1024", "--socket", f"quadforge-{os.getpid()}",
                f"sh -c 'xhost +si:localuser:{getpass.getuser()} >/dev/null;"
                " echo $DISPLAY > \"$XDG_RUNTIME_DIR/x-display\"'"]

    def _display(self):
        path = os.path.join(self.runtime_dir, "x-display")
        if not os.path.exists(path):
            return None
        with open(path) as file:
            display = file.read().strip()
        return display if display.startswith(":") else None
