"""quadforge on the desktops its users run, driven as a user drives it through
the window manager: frames, focus, resizing, minimizing and closing. One set
of cases for Openbox on an X server and for the Wayland sessions of GNOME
(Mutter) and KDE (KWin), where quadforge is an X client of XWayland; what a
desktop does differently is stated beside it. QUADFORGE_DESKTOP=Name runs one
desktop's cases alone."""
import os
import shutil
import subprocess
import sys
import unittest

from framework.display import KWin, Mutter, Openbox, wait_for
from framework.expect import VERTEX, expected_report, solid_fragment
from framework.session import XTestCase, linux_only, placed_at
from framework.session import load_tests as platform_tests
from framework.xclient import ICONIC_STATE, NORMAL_STATE

RED, GREEN, BLUE = (200, 40, 40), (40, 190, 60), (30, 60, 210)
LOADED = "Shader load successful.\n"
RELOADED = "Reloading shaders.\n" + LOADED
FRAME_LINE = " frames in "  # freeglut's GLUT_FPS report


def pair(colour):
    return {"full_screen_quad.vert": VERTEX, "full_screen_quad.frag": solid_fragment(colour)}


# Starts a desktop by the name of its class, prints its display and the ids
# of every process it runs, and waits.
STARTER = """
import sys
from framework import display

def descendants(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        children = [int(child) for child in file.read().split()]
    return [pid] + [each for child in children for each in descendants(child)]

with getattr(display, sys.argv[1])(probe=None) as server:
    print(server.display, getattr(server, "runtime_dir", "-"),
          *(pid for process in server.processes for pid in descendants(process.pid)), flush=True)
    sys.stdin.read()
"""


def is_running(pid):
    """True while the process exists and has not exited (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def assert_ends_with_a_killed_starter(case, desktop, names):
    """Every process of the desktop, among them those called names, and its X
    lock file are gone once the process that started it is killed with -9."""
    starter = subprocess.Popen([sys.executable, "-c", STARTER, desktop], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    case.addCleanup(starter.wait)
    display, runtime_dir, *pids = starter.stdout.readline().split()
    if runtime_dir != "-":  # what the killed starter could not remove
        case.addCleanup(shutil.rmtree, runtime_dir, True)
    pids = [int(pid) for pid in pids]
    running = {}
    for pid in pids:
        with open(f"/proc/{pid}/comm") as file:
            running[pid] = file.read().strip()
    case.assertTrue(set(names) <= set(running.values()), f"running: {running}")
    starter.kill()
    case.assertTrue(wait_for(lambda: not any(map(is_running, pids)), 20),
                    "still running: " + ", ".join(running[pid] for pid in pids if is_running(pid)))
    lock = f"/tmp/.X{display[1:]}-lock"
    case.assertTrue(wait_for(lambda: not os.path.exists(lock), 10), f"{lock} left behind")


class DesktopCases:
    """The cases, for an XTestCase that names its desktop and the processes
    that make it up."""

    processes = ()
    # Whether a minimized window stays mapped, so that freeglut goes on
    # drawing it.
    draws_while_minimized = False

    def managed(self, session):
        """quadforge's window once the manager has framed and shown it: some
        managers map the frame first and size it around the client later."""
        x = self.server.x
        window = session.find_window()

        def framed():
            frame = x.frame(window)
            if frame == window or x.wm_state(window) != NORMAL_STATE or not x.is_viewable(window):
                return False
            fx, fy, fw, fh, _ = x.geometry(frame)
            cx, cy, cw, ch, _ = x.geometry(window)
            return fx <= cx and fy <= cy and cx + cw <= fx + fw and cy + ch <= fy + fh
        self.assertTrue(wait_for(framed, 10), f"never framed: window {x.geometry(window)}, "
                        f"frame {x.geometry(x.frame(window))}, WM_STATE {x.wm_state(window)}")
        return window

    def visible_corner(self, window):
        """Where the window's frame shows: the client's corner less the
        frame's left and top (a frame may also have invisible borders)."""
        x = self.server.x
        left, _, top, _ = x.frame_extents(window) or (0, 0, 0, 0)
        cx, cy = x.geometry(window)[:2]
        return cx - left, cy - top

    def assert_filled(self, session, colour, width, height):
        """The next frames cover the whole width x height client area."""
        image = session.wait_for_colour(colour, timeout=10)
        self.assertEqual((image.width, image.height), (width, height))
        self.assertEqual(image.count_near(colour), width * height,
                         f"expected all {colour}, observed {image.colours().most_common(3)}")

    def wait_for_state(self, window, state, viewable):
        x = self.server.x
        self.assertTrue(wait_for(lambda: x.wm_state(window) == state
                                 and x.is_viewable(window) == viewable, 10),
                        f"WM_STATE {x.wm_state(window)}, viewable {x.is_viewable(window)}")

    def assert_s_then_escape(self, session):
        """With the keyboard quadforge's, 's' draws the green pair now in its
        folder and Esc ends it with every line printed."""
        self.server.x.press("s")
        self.assert_filled(session, GREEN, 800, 600)
        self.server.x.press("Escape")
        status, out, _ = session.finish(timeout=10)
        self.assertEqual(status, 0)
        self.assertEqual(out, expected_report(self.server) + LOADED + RELOADED)

    def test_managed_placed_and_closed_by_the_manager(self):
        for args, place, size in (((), (140, 140), (800, 600)),
                                  (("-geometry", "640x480+10+20"), (10, 20), (640, 480))):
            with self.subTest(args=args), self.start(pair(RED), args=args) as session:
                window = self.managed(session)
                self.assertEqual(session.geometry()[2:], (*size, "quadforge"))
                corner = self.visible_corner(window)
                self.assertTrue(placed_at(corner, *place), f"frame at {corner}, placed at {place}")
                self.assert_filled(session, RED, *size)
                self.server.x.close_by_manager(window)
                status, out, _ = session.finish(timeout=10)
                self.assertEqual(status, 0)
                self.assertEqual(out, expected_report(self.server) + LOADED)

    def test_keys_follow_the_managers_focus(self):
        x = self.server.x
        session = self.start(pair(RED))
        window = self.managed(session)
        self.assert_filled(session, RED, 800, 600)
        other = x.create_window("another program")
        self.addCleanup(x.destroy_window, other)
        x.activate(other)
        self.assertTrue(wait_for(lambda: x.input_focus() == other, 10), "the other window"
                        " never got the focus")
        # Typed into the other window: quadforge must not rebuild.
        session.write("full_screen_quad.frag", solid_fragment(GREEN))
        x.press("s")
        self.assertTrue(session.is_running(0.5))
        self.assert_filled(session, RED, 800, 600)

        x.activate(window)
        self.assertTrue(wait_for(lambda: x.input_focus() == window, 10), "quadforge never got"
                        " the focus back")
        self.assert_s_then_escape(session)

    def test_resized_by_the_manager_the_frames_fill_the_window(self):
        x = self.server.x
        session = self.start(pair(BLUE))
        window = self.managed(session)
        self.assert_filled(session, BLUE, 800, 600)
        for width, height in ((1024, 700), (500, 320)):
            with self.subTest(size=(width, height)):
                x.move_resize(window, 60, 40, width, height)
                self.assertTrue(wait_for(lambda: session.geometry()[2:4] == (width, height), 10),
                                f"the manager left the window at {session.geometry()[2:4]}")
                self.assert_filled(session, BLUE, width, height)
        x.close_by_manager(window)
        self.assertEqual(session.finish(timeout=10)[0], 0)

    # Under Wine 10 the restored window does not get the focus back.
    @linux_only
    def test_frames_resume_after_minimize_and_restore(self):
        x = self.server.x
        session = self.start(pair(RED), GLUT_FPS="100")
        window = self.managed(session)
        self.assert_filled(session, RED, 800, 600)
        placed = x.geometry(x.frame(window))
        x.iconify(window)
        self.wait_for_state(window, ICONIC_STATE, self.draws_while_minimized)
        self.assertTrue(session.is_running(0.3))
        frames = session.stderr_text().count(FRAME_LINE)
        self.assertTrue(session.is_running(1.0))
        self.assertEqual(session.stderr_text().count(FRAME_LINE) > frames,
                         self.draws_while_minimized, "frames drawn while minimized")

        # As a pager or task bar restores it.
        x.activate(window)
        self.wait_for_state(window, NORMAL_STATE, True)
        self.assertTrue(wait_for(lambda: x.geometry(x.frame(window)) == placed, 10))
        self.assertTrue(wait_for(lambda: x.input_focus() == window, 10))
        frames = session.stderr_text().count(FRAME_LINE)
        self.assertTrue(wait_for(lambda: session.stderr_text().count(FRAME_LINE) > frames, 5),
                        "no frames after the restore")
        session.write("full_screen_quad.frag", solid_fragment(GREEN))
        self.assert_s_then_escape(session)

    @linux_only
    def test_desktop_ends_with_a_killed_starter(self):
        assert_ends_with_a_killed_starter(self, self.desktop.__name__, self.processes)


class OpenboxTest(DesktopCases, XTestCase):
    """Openbox managing a private Xvfb. It unmaps a minimized window and, on
    restore, animates the frame from the bottom of the screen to its place."""

    desktop = Openbox
    processes = ("Xvfb", "openbox")


class MutterTest(DesktopCases, XTestCase):
    """GNOME's Mutter: the client sits under a 37-pixel title bar, inside a
    frame with invisible borders around it. A minimized window stays mapped
    (WM_STATE Iconic, _NET_WM_STATE_HIDDEN, moved below a guard window), so
    freeglut never learns that it is hidden and goes on drawing it."""

    desktop = Mutter
    processes = ("dbus-daemon", "mutter", "Xwayland")
    draws_while_minimized = True


class KWinTest(DesktopCases, XTestCase):
    """KDE's KWin: it maps a frame of 1x1 and sizes it around the client a
    moment later; a minimized window is unmapped."""

    desktop = KWin
    processes = ("dbus-daemon", "kwin_wayland", "Xwayland")


def load_tests(loader, tests, pattern):
    """This platform's cases, of the desktop QUADFORGE_DESKTOP names, or of all."""
    desktop = os.environ.get("QUADFORGE_DESKTOP")
    return unittest.TestSuite(test for test in platform_tests(loader, tests, pattern)
                              if desktop in (None, type(test).desktop.__name__))
