"""Failure paths: a context below OpenGL 3.3, OpenGL errors, missing entry
points, OpenGL objects that cannot be made, and logs with no text."""
import re

from framework.display import OVERRIDE_3_3
from framework.expect import RULE, VERTEX, expected_report, solid_fragment
from framework.session import XTestCase, needs_shim
from framework.session import load_tests  # noqa: F401  (unittest's hook: this platform's tests)

PAIR = {"full_screen_quad.vert": VERTEX, "full_screen_quad.frag": solid_fragment((90, 30, 200))}
TOO_OLD = ("Graphics: Your computer must support at least OpenGL 3.3 Ensure that:\n"
           "- Your graphics drivers are up to date\n"
           "- This application is being allowed access to your graphics card.")
INIT_FAILED = "Initialization failed, press enter to exit.\n"
LOADED = "Shader load successful.\n"
NOT_LOADED = "Shader load unsuccessful.\n"
ENTRY_POINTS = (
    # The quad's
    "glGenVertexArrays", "glGenBuffers", "glBindVertexArray", "glBindBuffer",
    "glEnableVertexAttribArray", "glVertexAttribPointer", "glBufferData",
    # The shader build's
    "glCreateShader", "glShaderSource", "glCompileShader", "glGetShaderiv", "glGetShaderInfoLog",
    "glDeleteShader", "glCreateProgram", "glAttachShader", "glLinkProgram", "glGetProgramiv",
    "glGetProgramInfoLog", "glDetachShader", "glDeleteProgram", "glUseProgram")


class FailureTest(XTestCase):

    def assert_waits_then_exits_1(self, session):
        self.assertTrue(session.is_running(1.5), "should wait for Enter")
        session.press_enter()
        status, out, err = session.finish(timeout=10)
        self.assertEqual(status, 1)
        return out, err

    def start_below_3_3(self):
        """quadforge on the driver's own context where that is below 3.3,
        else on 3.0; returns the session and the environment that made it."""
        old = dict.fromkeys(OVERRIDE_3_3) if self.server.default_version < (3, 3) else {
            "MESA_GL_VERSION_OVERRIDE": "3.0", "MESA_GLSL_VERSION_OVERRIDE": "130"}
        pair = {name: text.replace("#version 330 core", "#version 130").replace(
                    "layout(location = 0) ", "")
                for name, text in PAIR.items()}
        return self.start(pair, **old), old

    def test_context_below_3_3_waits_for_enter_and_exits_1(self):
        session, old = self.start_below_3_3()
        out, _ = self.assert_waits_then_exits_1(session)
        self.assertEqual(out, expected_report(self.server, **old) + LOADED + TOO_OLD + INIT_FAILED)

    @needs_shim
    def test_error_after_a_frame_waits_silently_and_exits_1(self):
        # The first check is start-up's, the second the first frame's.
        session = self.start(PAIR, shim=True, QF_SHIM_ERROR_CALL="2")
        out, _ = self.assert_waits_then_exits_1(session)
        self.assertEqual(out, expected_report(self.server) + LOADED
                         + "OpenGL error 1282 detected while running, exiting.\n")

    @needs_shim
    def test_error_at_start_up_fails_initialization(self):
        session = self.start(PAIR, shim=True, QF_SHIM_ERROR_CALL="1")
        out, _ = self.assert_waits_then_exits_1(session)
        self.assertEqual(out, expected_report(self.server) + LOADED
                         + "OpenGL error 1282 detected, exiting.\n" + INIT_FAILED)

    def test_failure_without_standard_input_exits_1_at_once(self):
        session, _ = self.start_below_3_3()
        session.process.stdin.close()
        self.assertEqual(session.finish(timeout=10)[0], 1)

    @needs_shim
    def test_missing_entry_points_end_as_a_context_too_old(self):
        # Every entry point quadforge checks before it calls, each missing on
        # its own; the first waits for Enter, the others find no input.
        for number, hidden in enumerate(ENTRY_POINTS):
            with self.subTest(hidden=hidden), self.start(
                    PAIR, shim=True, QF_SHIM_HIDE=hidden) as session:
                if number == 0:
                    out, _ = self.assert_waits_then_exits_1(session)
                else:
                    session.process.stdin.close()
                    status, out, _ = session.finish(timeout=10)
                    self.assertEqual(status, 1)
                self.assertEqual(out, expected_report(self.server) + TOO_OLD + INIT_FAILED)

    @needs_shim
    def test_context_strings_missing_print_empty(self):
        missing = ("Vendor", "Renderer", "Shading")
        out, _ = self.start_and_close(PAIR, shim=True, QF_SHIM_NULL_STRING=(
            "GL_VENDOR,GL_RENDERER,GL_SHADING_LANGUAGE_VERSION"))
        report = re.sub(rf"({'|'.join(missing)}): .*\n", r"\1: \n", expected_report(self.server))
        self.assertEqual(out, report + LOADED)

    @needs_shim
    def test_objects_that_cannot_be_made_are_reported_and_released(self):
        cases = (
            ("glCreateShader", "Shader: Unable to create new shader handle while attempting to "
             'load "resources/full_screen_quad.vert"! internal OpenGL error.'),
            ("glCreateProgram", "Program: Unable to create new program handle! internal OpenGL "
             "error."),
        )
        for failing, message in cases:
            with self.subTest(failing=failing):
                out, err = self.start_and_close(PAIR, shim=True, QF_SHIM_ZERO=failing,
                                                QF_SHIM_OPENS="1")
                self.assertEqual(out, expected_report(self.server) + message + NOT_LOADED)
                if failing == "glCreateShader":
                    self.assertNotIn("shim: open", err)

    def test_missing_fragment_file_releases_the_vertex_shader(self):
        out, _ = self.start_and_close({"full_screen_quad.vert": VERTEX})
        self.assertEqual(out, expected_report(self.server)
                         + 'Unable to open shader file "resources/full_screen_quad.frag".'
                         + NOT_LOADED)

    @needs_shim
    def test_logs_print_whole_with_one_line_end(self):
        broken = dict(PAIR, **{"full_screen_quad.frag": "#version 330 core\nvoid main() {\n"})
        # No text at all (a reported length of 0, and of 1: the NUL alone), a
        # log of one line feed (a length of 2), and a log whose last line has
        # no line feed, as some drivers write.
        no_line_feed = "0:2(1): error: unexpected end of file"
        for log, printed in (({"QF_SHIM_ZERO_LOG": "1"}, ""), ({"QF_SHIM_LOG": ""}, ""),
                             ({"QF_SHIM_LOG": "\n"}, ""),
                             ({"QF_SHIM_LOG": no_line_feed}, no_line_feed)):
            with self.subTest(**log):
                out, _ = self.start_and_close(broken, shim=True, **log)
                self.assertEqual(out, expected_report(self.server)
                                 + "-- GLSL SHADER COMPILER ERRORS: --------------------------------\n"
                                 + f"Filename: resources/full_screen_quad.frag\n{printed}\n" + RULE
                                 + NOT_LOADED)
