"""Keyboard commands in one running session: 's' rebuilds, Esc quits, other
keys do nothing."""
import time

from framework.display import wait_for
from framework.expect import RULE, VERTEX, expected_report, probe_log, solid_fragment
from framework.session import HAS_SHIM, XTestCase
from framework.session import load_tests  # noqa: F401  (unittest's hook: this platform's tests)

RED, GREEN, BLUE = (200, 40, 40), (40, 190, 60), (30, 60, 210)
# With no program in use, the compatibility context's fixed pipeline draws
# the quad in its default colour, white.
WHITE = (255, 255, 255)
BROKEN = "#version 330 core\nout vec4 colour;\nvoid main() { colour = vec4(1.0) }\n"
RELOADED = "Reloading shaders.\nShader load successful.\n"
FRAGMENT = "resources/full_screen_quad.frag"


class KeyboardTest(XTestCase):

    def test_clear_colour_where_the_shader_draws_nothing(self):
        # A red pair fills both buffers; the next pair discards the left half,
        # which must show the clear colour in every frame, never the red.
        session = self.start({"full_screen_quad.vert": VERTEX,
                              "full_screen_quad.frag": solid_fragment(RED)})
        window = session.find_window()
        session.wait_for_colour(RED)
        session.write("full_screen_quad.frag", solid_fragment(BLUE).replace(
            "void main() { ", "void main() { if (gl_FragCoord.x < 400.0) discard; "))
        session.keys("s")
        x = self.server.x

        def halves():
            """Pixels near white on the left, near blue on the right."""
            left, right = x.image(window, 0, 0, 400, 600), x.image(window, 400, 0, 400, 600)
            return left and left.count_near(WHITE), right and right.count_near(BLUE)

        whole = (400 * 600, 400 * 600)
        self.assertTrue(wait_for(lambda: halves() == whole, 10), f"left, right: {halves()}")
        for _ in range(10):
            time.sleep(0.05)
            self.assertEqual(halves(), whole)
        session.keys("Escape")
        self.assertEqual(session.finish(timeout=10)[0], 0)

    def test_session_of_rebuilds_other_keys_and_escape(self):
        session = self.start({"full_screen_quad.vert": VERTEX,
                              "full_screen_quad.frag": solid_fragment(RED)})
        session.find_window()
        session.wait_for_colour(RED)

        session.write("full_screen_quad.frag", solid_fragment(GREEN))
        session.keys("s")
        image = session.wait_for_colour(GREEN, timeout=10)
        self.assertEqual(image.count_near(GREEN), 800 * 600,
                         f"expected all {GREEN}, observed {image.colours().most_common(3)}")

        session.write("full_screen_quad.frag", BROKEN)
        session.keys("s")
        # The next file may replace it only once this build has read it: the
        # frame after the failed build has no program.
        session.wait_for_colour(WHITE, timeout=10)
        session.write("full_screen_quad.frag", solid_fragment(BLUE))
        session.keys("s")
        session.wait_for_colour(BLUE, timeout=10)

        # Nothing of these may print, rebuild or change the picture.
        session.write("full_screen_quad.frag", solid_fragment(RED))
        session.keys("S", "a", "space", "F1", "Left", "Return", "Tab")
        self.assertTrue(session.is_running(0.5))
        image = session.pixels()
        self.assertEqual(image.count_near(BLUE), 800 * 600,
                         f"expected all {BLUE}, observed {image.colours().most_common(3)}")

        for _ in range(20):
            session.keys("s")
        session.wait_for_colour(RED, timeout=10)
        session.keys("Escape")
        status, out, err = session.finish(timeout=10)

        _, log = probe_log(self.server, BROKEN)
        self.assertEqual(status, 0)
        self.assertEqual(out, expected_report(self.server) + "Shader load successful.\n"
                         + RELOADED
                         + "Reloading shaders.\n"
                         + "-- GLSL SHADER COMPILER ERRORS: --------------------------------\n"
                         + f"Filename: {FRAGMENT}\n" + log[:-1] + "\n"
                         + RULE + "Shader load unsuccessful.\n"
                         + RELOADED * 21)
        # 24 builds, all seen by the shim, which checks at exit that only the
        # program in use was left.
        if HAS_SHIM:
            self.assertIn("shim: shaders 48 created 48 deleted, programs 23 created 22 deleted",
                          err)
