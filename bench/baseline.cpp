// quadforge_baseline: the same window, quad and shaders as quadforge, nothing else.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

GLuint program = 0;
GLuint vao = 0;
bool running = true;
// Set by a rebuild: the next frame is timed too, since Mesa finishes the
// shader's machine code only when it is first drawn with.
bool time_next_frame = false;
std::chrono::steady_clock::time_point rebuild_start;

std::string read_file(const char* path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

GLuint compile(GLenum type, const std::string& source)
{
    const GLuint shader = glCreateShader(type);
    const char* text = source.c_str();
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    return shader;
}

// Files are read before the clock starts: the time printed is compile+link only.
void rebuild()
{
    const std::string vert = read_file("resources/full_screen_quad.vert");
    const std::string frag = read_file("resources/full_screen_quad.frag");
    rebuild_start = std::chrono::steady_clock::now();
    const GLuint vs = compile(GL_VERTEX_SHADER, vert);
    const GLuint fs = compile(GL_FRAGMENT_SHADER, frag);
    const GLuint next = glCreateProgram();
    glAttachShader(next, vs);
    glAttachShader(next, fs);
    glLinkProgram(next);
    GLint linked = 0;
    glGetProgramiv(next, GL_LINK_STATUS, &linked);
    const std::chrono::duration<double, std::milli> took
        = std::chrono::steady_clock::now() - rebuild_start;
    std::printf("compile+link %.3f ms %s\n", took.count(), linked != 0 ? "ok" : "failed");
    time_next_frame = true;
    glDeleteShader(vs);
    glDeleteShader(fs);
    glDeleteProgram(program);
    program = next;
    glUseProgram(program);
}

void display()
{
    glBindVertexArray(vao);
    glDrawArrays(GL_TRIANGLES, 0, 6);
    glutSwapBuffers();
    if (time_next_frame) {
        glFinish();
        const std::chrono::duration<double, std::milli> took
            = std::chrono::steady_clock::now() - rebuild_start;
        std::printf("first frame %.3f ms\n", took.count());
        time_next_frame = false;
    }
}

void keyboard(unsigned char key, int /*x*/, int /*y*/)
{
    if (key == 27) {
        running = false;
    } else if (key == 's') {
        rebuild();
    }
}

} // namespace

int main(int argc, char** argv)
{
    glutInitWindowSize(800, 600);
    glutInitWindowPosition(140, 140);
    glutInitDisplayMode(GLUT_DOUBLE);
    glutInit(&argc, argv);
    glutCreateWindow("quadforge_baseline");
    glewInit();

    const GLfloat corners[12] = {-1, -1, 1, -1, -1, 1, -1, 1, 1, -1, 1, 1};
    GLuint vbo = 0;
    glGenVertexArrays(1, &vao);
    glGenBuffers(1, &vbo);
    glBindVertexArray(vao);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof corners, corners, GL_STATIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
    rebuild();

    glutKeyboardFunc(keyboard);
    glutDisplayFunc(display);
    while (running) {
        glutMainLoopEvent();
        glutPostRedisplay();
    }
    return 0;
}
