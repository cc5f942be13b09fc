// Callbacks: one frame per redisplay, and the keyboard commands.
#include "callbacks.h"

#include "flags.h"
#include "graphics/graphics.h"
#include "graphics/shaders.h"

#include <GL/freeglut.h>
#include <cstdio>

void on_display()
{
    glClear(GL_COLOR_BUFFER_BIT);
    draw_full_screen_quad();
    glutSwapBuffers();
    // After the swap, so the frame that raised the error is still shown.
    const GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        std::printf("OpenGL error %d detected while running, exiting.\n", static_cast<int>(error));
        is_running = false;
        has_failed = true;
    }
}

void on_keyboard(unsigned char key, int /*x*/, int /*y*/)
{
    switch (key) {
    case 27: // Esc
        is_running = false;
        break;
    case 's':
        std::printf("Reloading shaders.\n");
        reload_shaders();
        break;
    default:
        break;
    }
}
