"""Start-up, the window, the frame and the shader build, seen from outside."""
from framework.expect import RULE, VERTEX, expected_report, probe_log, solid_fragment
from framework.session import HAS_SHIM, XTestCase, placed_at
from framework.session import load_tests  # noqa: F401  (unittest's hook: this platform's tests)

TEAL = (20, 160, 140)


class StartupTest(XTestCase):

    def assert_window(self, session, x, y, width, height):
        """The window as requested: a double-buffered RGBA visual, the client
        area width x height at x, y; on Windows the window's frame is placed
        there and the client area lies inside it."""
        config = session.gl_config()
        self.assertEqual({name: config.get(name) for name in ("use_gl", "rgba", "double_buffer")},
                         {"use_gl": 1, "rgba": 1, "double_buffer": 1}, f"visual: {config}")
        placed = session.geometry()
        self.assertEqual(placed[2:], (width, height, "quadforge"))
        self.assertTrue(placed_at(placed[:2], x, y),
                        f"client area at {placed[:2]}, window placed at {(x, y)}")

    def test_window_frame_report_and_close(self):
        # Files saved with either line end; Windows reads them in text mode.
        for line_end in ("\n", "\r\n"):
            with self.subTest(line_end=line_end), self.start(
                    {"full_screen_quad.vert": VERTEX.replace("\n", line_end),
                     "full_screen_quad.frag": solid_fragment(TEAL).replace("\n", line_end)}
            ) as session:
                session.find_window()
                self.assert_window(session, 140, 140, 800, 600)
                image = session.wait_for_colour(TEAL)
                self.assertEqual((image.width, image.height), (800, 600))
                self.assertEqual(image.count_near(TEAL), 800 * 600, f"expected all pixels {TEAL},"
                                 f" observed {image.colours().most_common(4)}")
                session.close_window()
                status, out, _ = session.finish(timeout=10)
                self.assertEqual(status, 0)
                self.assertEqual(out, expected_report(self.server) + "Shader load successful.\n")

    def test_geometry_option_moves_and_resizes_and_quad_follows(self):
        for geometry, expected in (("640x480+10+20", (10, 20, 640, 480)),
                                   ("640x480", (140, 140, 640, 480))):
            with self.subTest(geometry=geometry), self.start(
                    {"full_screen_quad.vert": VERTEX, "full_screen_quad.frag": solid_fragment(TEAL)},
                    args=("-geometry", geometry)) as session:
                session.find_window()
                self.assert_window(session, *expected)
                image = session.wait_for_colour(TEAL)
                self.assertEqual(image.count_near(TEAL), 640 * 480)
                session.close_window()
                self.assertEqual(session.finish(timeout=10)[0], 0)

    def test_missing_vertex_file_skips_fragment_file_and_keeps_running(self):
        session = self.start({"full_screen_quad.frag": solid_fragment(TEAL)}, QF_SHIM_OPENS="1")
        session.find_window()
        self.assertTrue(session.is_running())
        session.close_window()
        status, out, err = session.finish(timeout=10)
        self.assertEqual(status, 0)
        self.assertEqual(out, expected_report(self.server)
                         + 'Unable to open shader file "resources/full_screen_quad.vert".'
                         + "Shader load unsuccessful.\n")
        if HAS_SHIM:
            self.assertNotIn("full_screen_quad.frag", err)

    def test_compile_error_report_ends_at_last_log_line(self):
        # A syntax error in either stage (a parser's log names no stage), and
        # an empty file.
        syntax_error = "#version 330 core\nout vec4 colour;\nvoid main() { colour = vec4(1.0) }\n"
        pair = {"full_screen_quad.vert": VERTEX, "full_screen_quad.frag": solid_fragment(TEAL)}
        for name, broken in (("full_screen_quad.frag", syntax_error),
                             ("full_screen_quad.frag", ""), ("full_screen_quad.vert", syntax_error)):
            with self.subTest(name=name, broken=broken):
                out, _ = self.start_and_close(dict(pair, **{name: broken}))
                _, log = probe_log(self.server, broken)
                self.assertTrue(log.endswith("\n"), "the driver's log should end in a line feed")
                self.assertEqual(out, expected_report(self.server)
                                 + "-- GLSL SHADER COMPILER ERRORS: --------------------------------\n"
                                 + f"Filename: resources/{name}\n" + log[:-1] + "\n" + RULE
                                 + "Shader load unsuccessful.\n")

    def test_link_error_names_the_program(self):
        # Compiles, but calls a function that no stage defines.
        fragment = ("#version 330 core\nvec4 tint();\nout vec4 colour;\n"
                    "void main() { colour = tint(); }\n")
        out, _ = self.start_and_close({"full_screen_quad.vert": VERTEX,
                                       "full_screen_quad.frag": fragment})
        program, log = probe_log(self.server, VERTEX, fragment)
        self.assertEqual(out, expected_report(self.server)
                         + "-- GLSL SHADER PROGRAM LINKING ERRORS :-------------------------\n"
                         + f"Program ID: {program}\n" + log.removesuffix("\n") + "\n" + RULE
                         + "Shader load unsuccessful.\n")
