"""quadforge in a Wayland session: Weston, with XWayland and Weston's own X
window manager."""
import os

from framework.display import XServer, Weston
from framework.expect import expected_report, read_pair, solid_fragment
from framework.session import Session, XTestCase
from framework.session import load_tests  # noqa: F401  (unittest's hook: this platform's tests)
from framework.xclient import NORMAL_STATE
from test_desktops import assert_ends_with_a_killed_starter
from test_shipped import ROOT

GREEN = (40, 190, 60)
LOADED = "Shader load successful.\n"


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

    def test_desktop_ends_with_a_killed_starter(self):
        assert_ends_with_a_killed_starter(self, "Weston", ("weston", "Xwayland"))
