// quadforge_baseline: quadforge's window, quad and shaders with nothing else,
// for the benchmark to measure quadforge against. A frame is quadforge's:
// clear, bind the quad's vertex array, draw, unbind, swap, check for errors.
// With --bare a frame only draws and swaps. 's' rebuilds the shaders and
// prints the compile+link time, then the time to the end of the next frame.
#include "window_request.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
GLuint program = 0;
GLuint vao = 0;
bool bare = false;
bool running = true;
// Mesa finishes a shader's machine code only when it first draws with it, so
// the frame after a rebuild is timed too.
bool time_next_frame = false;
Clock::time_point rebuild_start;

double ms_since_rebuild()
{
    return std::chrono::duration<double, std::milli>(Clock::now() - rebuild_start).count();
}

// The files are read before the clock starts: the time is compile+link alone.
void rebuild()
{
    std::stringstream sources[2];
    sources[0] << std::ifstream("resources/full_screen_quad.vert").rdbuf();
    sources[1] << std::ifstream("resources/full_screen_quad.frag").rdbuf();
    rebuild_start = Clock::now();
    const GLuint next = glCreateProgram();
    for (const GLenum type : {GL_VERTEX_SHADER, GL_FRAGMENT_SHADER}) {
        const std::string source = sources[type == GL_FRAGMENT_SHADER].str();
        const char* text = source.c_str();
        const GLuint stage = glCreateShader(type);
        glShaderSource(stage, 1, &text, nullptr);
        glCompileShader(stage);
        glAttachShader(next, stage);
        glDeleteShader(stage);
    }
    glLinkProgram(next);
    GLint linked = 0;
    glGetProgramiv(next, GL_LINK_STATUS, &linked);
    std::printf("compile+link %.3f ms %s\n", ms_since_rebuild(), linked != 0 ? "ok" : "failed");
    glDeleteProgram(program);
    program = next;
    glUseProgram(program);
    time_next_frame = true;
}

void display()
{
    if (!bare) {
        glClear(GL_COLOR_BUFFER_BIT);
        glBindVertexArray(vao);
    }
    glDrawArrays(GL_TRIANGLES, 0, 6);
    if (!bare) {
        glBindVertexArray(0);
    }
    glutSwapBuffers();
    if (!bare && glGetError() != GL_NO_ERROR) {
        std::exit(1);
    }
    if (time_next_frame) {
        glFinish();
        std::printf("first frame %.3f ms\n", ms_since_rebuild());
        time_next_frame = false;
    }
}

} // namespace

int main(int argc, char** argv)
{
    bare = argc > 1 && std::strcmp(argv[1], "--bare") == 0;
    open_window_as_quadforge_does(&argc, argv, bare ? "quadforge_bare" : "quadforge_baseline");

    const GLfloat corners[12] = {-1, -1, 1, -1, -1, 1, -1, 1, 1, -1, 1, 1};
    GLuint vbo = 0;
    glGenVertexArrays(1, &vao);
    glGenBuffers(1, &vbo);
    glBindVertexArray(vao); // and left bound for a bare frame
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof corners, corners, GL_STATIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
    glClearColor(1.0F, 1.0F, 1.0F, 1.0F);
    rebuild();

    glutKeyboardFunc([](unsigned char key, int /*x*/, int /*y*/) {
        running = running && key != 27;
        if (key == 's') {
            rebuild();
        }
    });
    // quadforge's loop: poll events, draw the requested frame, request the next.
    glutDisplayFunc(display);
    while (running) {
        glutMainLoopEvent();
        glutPostRedisplay();
    }
    glutExit();
    return 0;
}
