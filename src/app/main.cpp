// quadforge: one window, one full-screen quad, shaders rebuilt on demand.
#include "callbacks.h"
#include "flags.h"
#include "graphics/graphics.h"

#include <GL/glew.h>
#include <GL/freeglut.h>
#include <cstdio>

namespace {

bool initialize_application()
{
    return initialize_graphics();
}

} // namespace

int main(int argc, char** argv)
{
    glutInitWindowSize(800, 600);
    glutInitWindowPosition(140, 140);
    glutInitDisplayMode(GLUT_DOUBLE);
    // After the window request, so -geometry overrides it.
    glutInit(&argc, argv);
    glutCreateWindow("quadforge");

    if (!initialize_application()) {
        std::printf("Initialization failed, press enter to exit.\n");
        is_running = false;
        has_failed = true;
    }
    glClearColor(1.0F, 1.0F, 1.0F, 1.0F);
    glutKeyboardFunc(on_keyboard);
    glutDisplayFunc(on_display);

    // Our own loop: poll events, draw the requested frame, request the next.
    while (is_running) {
        glutMainLoopEvent();
        glutPostRedisplay();
    }
    if (has_failed) {
        std::getchar();
    }
    // freeglut would close its display from an exit handler, after the GL
    // driver's own handlers ran; some Mesa releases abort then.
    glutExit();
    return has_failed ? 1 : 0;
}
