// Asks the driver directly what quadforge should report: context strings and
// compiler or linker logs, from a window requested the same way.
#include "window_request.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string read_file(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

GLuint compile(GLenum type, const char* path)
{
    const std::string source = read_file(path);
    const char* text = source.c_str();
    const GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    return shader;
}

// Prints the raw log between markers, so trailing line feeds stay visible.
void print_log(const std::string& log)
{
    std::printf("<<%s>>\n", log.c_str());
}

std::string shader_log(GLuint shader)
{
    char log[65536] = "";
    glGetShaderInfoLog(shader, sizeof log, nullptr, log);
    return log;
}

} // namespace

int main(int argc, char** argv)
{
    open_window_as_quadforge_does(&argc, argv, "gl_probe");

    if (argc == 1) {
        GLint max_color_attachments = 0;
        glGetIntegerv(GL_MAX_COLOR_ATTACHMENTS, &max_color_attachments);
        for (GLenum name : {GL_VERSION, GL_VENDOR, GL_RENDERER, GL_SHADING_LANGUAGE_VERSION}) {
            std::printf("%s\n", reinterpret_cast<const char*>(glGetString(name)));
        }
        std::printf("%d\n", max_color_attachments);
    } else if (argc == 3 && std::strcmp(argv[1], "compile") == 0) {
        print_log(shader_log(compile(GL_FRAGMENT_SHADER, argv[2])));
    } else if (argc == 4 && std::strcmp(argv[1], "link") == 0) {
        const GLuint vertex = compile(GL_VERTEX_SHADER, argv[2]);
        const GLuint fragment = compile(GL_FRAGMENT_SHADER, argv[3]);
        const GLuint program = glCreateProgram();
        glAttachShader(program, vertex);
        glAttachShader(program, fragment);
        glLinkProgram(program);
        char log[65536] = "";
        glGetProgramInfoLog(program, sizeof log, nullptr, log);
        std::printf("%u\n", program);
        print_log(log);
    } else {
        std::fprintf(stderr, "usage: gl_probe [compile FRAG | link VERT FRAG]\n");
        return 2;
    }
    // As quadforge does: close the display before the driver's exit handlers run.
    glutExit();
    return 0;
}
