// Shaders: compile, link and swap in the program that draws every frame.
#include "shaders.h"

#include "text_file.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* const vertex_shader_path = "resources/full_screen_quad.vert";
const char* const fragment_shader_path = "resources/full_screen_quad.frag";

GLuint shader_program = 0;

const char* const closing_rule
    = "----------------------------------------------------------------\n";

// Prints the log line and the closing rule of a report. The buffer has
// exactly the reported length, zeroed, so a driver that writes less still
// leaves a terminated text; a length of 0 prints an empty log line.
void print_log_and_rule(GLuint object, GLint log_length, PFNGLGETSHADERINFOLOGPROC get_log)
{
    char* log_buffer = nullptr;
    if (log_length > 0) {
        log_buffer = static_cast<char*>(std::calloc(static_cast<size_t>(log_length), 1));
    }
    if (log_buffer != nullptr) {
        get_log(object, log_length, nullptr, log_buffer);
        log_buffer[log_length - 1] = '\0';
        if (log_length >= 2 && log_buffer[log_length - 2] == '\n') {
            log_buffer[log_length - 2] = '\0';
        }
    }
    std::printf("%s\n", log_buffer != nullptr ? log_buffer : "");
    std::printf("%s", closing_rule);
    std::free(log_buffer);
}

void print_compile_report(GLuint shader, const char* path)
{
    GLint compile_log_buffer_size = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &compile_log_buffer_size);
    std::printf("-- GLSL SHADER COMPILER ERRORS: --------------------------------\n");
    std::printf("Filename: %s\n", path);
    print_log_and_rule(shader, compile_log_buffer_size, glGetShaderInfoLog);
}

void print_link_report(GLuint program)
{
    GLint link_log_buffer_size = 0;
    glGetProgramiv(program, GL_INFO_LOG_LENGTH, &link_log_buffer_size);
    std::printf("-- GLSL SHADER PROGRAM LINKING ERRORS :-------------------------\n");
    std::printf("Program ID: %d\n", static_cast<int>(program));
    print_log_and_rule(program, link_log_buffer_size, glGetProgramInfoLog);
}

} // namespace

bool shader_entry_points_loaded()
{
    return glCreateShader && glShaderSource && glCompileShader && glGetShaderiv
        && glGetShaderInfoLog && glDeleteShader && glCreateProgram && glAttachShader
        && glLinkProgram && glGetProgramiv && glGetProgramInfoLog && glDetachShader
        && glDeleteProgram && glUseProgram;
}

GLuint load_shader(const char* path, GLenum shader_type)
{
    const GLuint shader = glCreateShader(shader_type);
    if (shader == 0) {
        std::printf("Shader: Unable to create new shader handle while attempting to load \"%s\"! "
                    "internal OpenGL error.",
                    path);
        return 0;
    }
    const TextFile shader_string(path);
    if (!shader_string.is_open()) {
        std::printf("Unable to open shader file \"%s\".", path);
        glDeleteShader(shader);
        return 0;
    }
    const char* shader_c_str = shader_string.c_str();
    glShaderSource(shader, 1, &shader_c_str, nullptr);
    glCompileShader(shader);

    GLint shader_compile_success = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &shader_compile_success);
    if (shader_compile_success != 0) {
        return shader;
    }
    print_compile_report(shader, path);
    glDeleteShader(shader);
    return 0;
}

GLuint create_shader_program(const char* vertex_path, const char* fragment_path)
{
    const GLuint vertex_shader = load_shader(vertex_path, GL_VERTEX_SHADER);
    if (vertex_shader == 0) {
        return 0;
    }
    const GLuint fragment_shader = load_shader(fragment_path, GL_FRAGMENT_SHADER);
    if (fragment_shader == 0) {
        glDeleteShader(vertex_shader);
        return 0;
    }
    const GLuint program = glCreateProgram();
    if (program == 0) {
        std::printf("Program: Unable to create new program handle! internal OpenGL error.");
        glDeleteShader(vertex_shader);
        glDeleteShader(fragment_shader);
        return 0;
    }
    glAttachShader(program, vertex_shader);
    glAttachShader(program, fragment_shader);
    glLinkProgram(program);

    GLint prog_link_success = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &prog_link_success);
    if (prog_link_success != 0) {
        // Flagged now, freed with the program: rebuilds leave nothing behind.
        glDeleteShader(vertex_shader);
        glDeleteShader(fragment_shader);
        return program;
    }
    print_link_report(program);
    glDetachShader(program, vertex_shader);
    glDetachShader(program, fragment_shader);
    glDeleteShader(vertex_shader);
    glDeleteShader(fragment_shader);
    glDeleteProgram(program);
    return 0;
}

bool reload_shaders()
{
    glDeleteProgram(shader_program);
    shader_program = create_shader_program(vertex_shader_path, fragment_shader_path);
    glUseProgram(shader_program);
    if (shader_program != 0) {
        std::printf("Shader load successful.\n");
        return true;
    }
    std::printf("Shader load unsuccessful.\n");
    return false;
}
