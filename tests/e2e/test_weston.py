"""quadforge in a Wayland session: Weston, with XWayland and Weston's own X
window manager."""
import os
import subprocess
import sys

from framework.display import XServer, Weston, wait_for
from framework.expect import expected_report, read_pair, solid_fragment
from framework.session import Session, XTestCase
from framework.session import load_tests  # noqa: F401  (unittest's hook: this platform's tests)
from framework.xclient import NORMAL_STATE
from test_shipped import ROOT

GREEN = (40, 190, 60)
LOADED = "Shader load successful.\n"


# Starts both desktops, prints the ids of every process they run, and waits.
DESKTOPS = """
import sys
from framework.display import Openbox, Weston

def descendants(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        children = [int(child) for child in file.read().split()]
    return [pid] + [each for child in children for each in descendants(child)]

with Openbox(probe=None) as openbox, Weston(probe=None) as weston:
    print(*(pid for server in (openbox, weston) for process in server.processes
            for pid in descendants(process.pid)), flush=True)
    sys.stdin.read()
"""


def is_running(pid):
    """True while the process exists and has not exited (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def differing(image, expected):
    """How many pixels differ by more than rounding from expected's."""
    return sum(1 for a, b in zip(zip(*image.channels), zip(*expected.channels))
               if max(abs(p - q) for p, q in zip(a, b)) > 2)


class WestonTest(XTestCase):

    desktop = Weston

    def test_shipped_pair_keys_and_escape(self):
        pair = read_pair(os.path.join(ROOT, "resources"))
        with XServer() as bare, Session(bare, pair) as reference:
            reference.find_window()
            expected = reference.wait_for_picture()
        x = self.server.x
        session = self.start(pair)
        window = session.find_window()
        self.assertNotEqual(x.frame(window), window, "the window should sit in Weston's frame")
        self.assertEqual(x.wm_state(window), NORMAL_STATE)
        self.assertEqual(session.geometry()[2:], (800, 600, "quadforge"))
        # The same picture as on a bare X server, within rounding.
        image = session.wait_for_capture(lambda image: differing(image, expected) == 0)
        self.assertEqual(differing(image, expected), 0,
                         "pixels that differ from the bare server's picture")

        # With no seat, Weston leaves X's keyboard following the pointer.
        x.point_at(window)
        session.write("full_screen_quad.frag", solid_fragment(GREEN))
        x.press("s")
        session.wait_for_colour(GREEN, timeout=10)
        x.press("Escape")
        status, out, _ = session.finish(timeout=10)
        self.assertEqual(status, 0)
        self.assertEqual(out, expected_report(self.server) + LOADED + "Reloading shaders.\n"
                         + LOADED)

    def test_desktops_end_with_a_killed_starter(self):
        starter = subprocess.Popen([sys.executable, "-c", DESKTOPS], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, text=True)
        self.addCleanup(starter.wait)
        pids = [int(pid) for pid in starter.stdout.readline().split()]
        names = {pid: open(f"/proc/{pid}/comm").read().strip() for pid in pids}
        self.assertTrue({"Xvfb", "openbox", "weston", "Xwayland"} <= set(names.values()),
                        f"running: {names}")
        starter.kill()
        self.assertTrue(wait_for(lambda: not any(map(is_running, pids)), 20),
                        "still running: " + ", ".join(names[pid] for pid in pids
                                                      if is_running(pid)))
