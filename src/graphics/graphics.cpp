// Graphics: entry points, context report, fixed pipeline state and the quad.
#include "graphics.h"

#include "shaders.h"

#include <GL/glew.h>
#include <cstdio>

namespace {

GLuint fsq_vao = 0;
GLuint fsq_vbo = 0;

void print_context_report()
{
    GLint max_color_attachments = 0;
    glGetIntegerv(GL_MAX_COLOR_ATTACHMENTS, &max_color_attachments);
    const auto gl_string = [](GLenum name) {
        const GLubyte* value = glGetString(name);
        return value != nullptr ? reinterpret_cast<const char*>(value) : "";
    };
    std::printf("----------------------------------------------------------------\n");
    std::printf("Graphics Successfully Initialized\n");
    std::printf("OpenGL Info\n");
    std::printf("======================\n");
    std::printf("              Version: %s\n", gl_string(GL_VERSION));
    std::printf("               Vendor: %s\n", gl_string(GL_VENDOR));
    std::printf("             Renderer: %s\n", gl_string(GL_RENDERER));
    std::printf("              Shading: %s\n", gl_string(GL_SHADING_LANGUAGE_VERSION));
    std::printf("Misc Stats\n");
    std::printf("======================\n");
    std::printf("Max Color Attachments: %d\n", max_color_attachments);
    std::printf("----------------------------------------------------------------\n");
}

// GLEW's version flags come from the version string, not from the pointers it
// managed to load, so the pointers called before the version check are checked.
bool quad_entry_points_loaded()
{
    return glGenVertexArrays && glGenBuffers && glBindVertexArray && glBindBuffer
        && glEnableVertexAttribArray && glVertexAttribPointer && glBufferData;
}

} // namespace

bool initialize_graphics()
{
    glewInit();
    print_context_report();
    const bool has_entry_points = quad_entry_points_loaded() && shader_entry_points_loaded();
    if (has_entry_points) {
        create_full_screen_quad();
        reload_shaders();
    }
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glFrontFace(GL_CCW);
    glDisable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glDisable(GL_DEPTH_TEST);

    if (!GLEW_VERSION_3_3 || !has_entry_points) {
        std::printf("Graphics: Your computer must support at least OpenGL 3.3 Ensure that:\n"
                    "- Your graphics drivers are up to date\n"
                    "- This application is being allowed access to your graphics card.");
        return false;
    }
    const GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        std::printf("OpenGL error %d detected, exiting.\n", static_cast<int>(error));
        return false;
    }
    return true;
}

void create_full_screen_quad()
{
    glGenVertexArrays(1, &fsq_vao);
    glGenBuffers(1, &fsq_vbo);
    glBindVertexArray(fsq_vao);
    glBindBuffer(GL_ARRAY_BUFFER, fsq_vbo);

    // Two counter-clockwise triangles covering clip space.
    const GLfloat fsq_verts[12] = {
        -1.0F, -1.0F, 1.0F, -1.0F, -1.0F, 1.0F, // lower-left half
        -1.0F, 1.0F,  1.0F, -1.0F, 1.0F,  1.0F, // upper-right half
    };
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
    glBufferData(GL_ARRAY_BUFFER, sizeof fsq_verts, fsq_verts, GL_STATIC_DRAW);
    glBindVertexArray(0);
}

void draw_full_screen_quad()
{
    glBindVertexArray(fsq_vao);
    glDrawArrays(GL_TRIANGLES, 0, 6);
    glBindVertexArray(0);
}
