// Shader programs built from the two files under resources/.
#pragma once

#include <GL/glew.h>

// Shader object name, 0 on failure.
GLuint load_shader(const char* path, GLenum shader_type);
// Linked program name, 0 on failure.
GLuint create_shader_program(const char* vertex_path, const char* fragment_path);
// Replaces the program in use; true when a new one is in use.
bool reload_shaders();
// True when every entry point the shader build calls has been loaded.
bool shader_entry_points_loaded();
