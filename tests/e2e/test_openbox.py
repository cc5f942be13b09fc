"""quadforge under a window manager, Openbox, driven as a user drives it
through the manager: frames, focus, resizing, minimizing and closing."""
from framework.display import Openbox, wait_for
from framework.expect import VERTEX, expected_report, solid_fragment
from framework.session import XTestCase, linux_only, placed_at
from framework.session import load_tests  # noqa: F401  (unittest's hook: this platform's tests)
from framework.xclient import ICONIC_STATE, NORMAL_STATE

RED, GREEN, BLUE = (200, 40, 40), (40, 190, 60), (30, 60, 210)
LOADED = "Shader load successful.\n"
RELOADED = "Reloading shaders.\n" + LOADED


def pair(colour):
    return {"full_screen_quad.vert": VERTEX, "full_screen_quad.frag": solid_fragment(colour)}


class OpenboxTest(XTestCase):

    desktop = Openbox

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
        # The frame goes where -geometry says (the client's corner, as the
        # manager places a frame by the hints' gravity), the client area
        # inside it.
        for args, size in (((), (800, 600)), (("-geometry", "640x480+10+20"), (640, 480))):
            with self.subTest(args=args), self.start(pair(RED), args=args) as session:
                window = session.find_window()
                x = self.server.x
                frame = x.frame(window)
                self.assertNotEqual(frame, window, "the window should sit in the manager's frame")
                self.wait_for_state(window, NORMAL_STATE, True)
                placed = session.geometry()
                self.assertEqual(placed[2:], (*size, "quadforge"))
                if args:
                    # Under Wine the manager's frame lands a few pixels in
                    # (3, 3 in Wine 8, 3, 10 in Wine 10).
                    corner = x.geometry(frame)[:2]
                    self.assertTrue(placed_at(corner, 10, 20),
                                    f"frame at {corner}, placed at 10, 20")
                self.assert_filled(session, RED, *size)
                x.close_by_manager(window)
                status, out, _ = session.finish(timeout=10)
                self.assertEqual(status, 0)
                self.assertEqual(out, expected_report(self.server) + LOADED)

    def test_keys_follow_the_managers_focus(self):
        x = self.server.x
        session = self.start(pair(RED))
        window = session.find_window()
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
        window = session.find_window()
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
        session = self.start(pair(RED))
        window = session.find_window()
        self.assert_filled(session, RED, 800, 600)
        placed = x.geometry(x.frame(window))
        x.iconify(window)
        self.wait_for_state(window, ICONIC_STATE, False)
        self.assertTrue(session.is_running(0.5))

        # As a pager or task bar restores it; Openbox then animates the frame
        # from the bottom of the screen back to its place.
        x.activate(window)
        self.wait_for_state(window, NORMAL_STATE, True)
        self.assertTrue(wait_for(lambda: x.geometry(x.frame(window)) == placed, 10))
        self.assertTrue(wait_for(lambda: x.input_focus() == window, 10))
        session.write("full_screen_quad.frag", solid_fragment(GREEN))
        self.assert_s_then_escape(session)
