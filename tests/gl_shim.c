/* Preloaded into quadforge by the tests to drive paths the driver never takes
 * by itself. Each behaviour is off unless its variable is set:
 *   QF_SHIM_ERROR_CALL=N   the Nth glGetError call reports GL_INVALID_OPERATION
 *   QF_SHIM_HIDE=a,b       entry points a and b fail to load
 *   QF_SHIM_ZERO=a,b       glCreateShader / glCreateProgram return 0
 *   QF_SHIM_ZERO_LOG=1     info logs report a length of 0
 *   QF_SHIM_LOG=text       info logs are text, their length its length + 1
 *   QF_SHIM_COUNT=1        print shader and program object counts at exit
 *   QF_SHIM_OPENS=1        print each fopen of a resources/ path */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef void (*proc_t)(void);

static int listed(const char* variable, const char* name)
{
    const char* list = getenv(variable);
    const size_t length = strlen(name);
    for (const char* at = list; at != NULL && (at = strstr(at, name)) != NULL; at += length) {
        if ((at == list || at[-1] == ',') && (at[length] == ',' || at[length] == '\0')) {
            return 1;
        }
    }
    return 0;
}

static int enabled(const char* variable)
{
    return getenv(variable) != NULL;
}

/* The real function behind name; dlsym's object pointer copied bitwise. */
static proc_t next(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    proc_t function;
    memcpy(&function, &symbol, sizeof function);
    return function;
}

GLenum glGetError(void)
{
    static unsigned calls;
    GLenum (*real)(void) = (GLenum(*)(void))next("glGetError");
    const GLenum error = real();
    const char* at = getenv("QF_SHIM_ERROR_CALL");
    return (at != NULL && strtoul(at, NULL, 10) == ++calls) ? GL_INVALID_OPERATION : error;
}

static struct {
    GLuint (*create_shader)(GLenum);
    void (*delete_shader)(GLuint);
    GLuint (*create_program)(void);
    void (*delete_program)(GLuint);
    void (*get_shaderiv)(GLuint, GLenum, GLint*);
    void (*get_programiv)(GLuint, GLenum, GLint*);
    void (*get_shader_info_log)(GLuint, GLsizei, GLsizei*, GLchar*);
    void (*get_program_info_log)(GLuint, GLsizei, GLsizei*, GLchar*);
    unsigned shaders_created, shaders_deleted, programs_created, programs_deleted;
} gl;

static GLuint create_shader(GLenum type)
{
    if (listed("QF_SHIM_ZERO", "glCreateShader")) {
        return 0;
    }
    const GLuint shader = gl.create_shader(type);
    gl.shaders_created += shader != 0;
    return shader;
}

static void delete_shader(GLuint shader)
{
    gl.shaders_deleted += shader != 0;
    gl.delete_shader(shader);
}

static GLuint create_program(void)
{
    if (listed("QF_SHIM_ZERO", "glCreateProgram")) {
        return 0;
    }
    const GLuint program = gl.create_program();
    gl.programs_created += program != 0;
    return program;
}

static void delete_program(GLuint program)
{
    gl.programs_deleted += program != 0;
    gl.delete_program(program);
}

/* The reported log length, as QF_SHIM_ZERO_LOG or QF_SHIM_LOG steer it. */
static void steer_log_length(GLenum name, GLint* value)
{
    const char* text = getenv("QF_SHIM_LOG");
    if (name == GL_INFO_LOG_LENGTH && enabled("QF_SHIM_ZERO_LOG")) {
        *value = 0;
    } else if (name == GL_INFO_LOG_LENGTH && text != NULL) {
        *value = (GLint)strlen(text) + 1;
    }
}

static void get_shaderiv(GLuint shader, GLenum name, GLint* value)
{
    gl.get_shaderiv(shader, name, value);
    steer_log_length(name, value);
}

static void get_programiv(GLuint program, GLenum name, GLint* value)
{
    gl.get_programiv(program, name, value);
    steer_log_length(name, value);
}

/* Writes QF_SHIM_LOG as the driver would: at most size - 1 characters and a
 * NUL. Returns 0 when the variable is not set and the driver's log stands. */
static int write_log(GLsizei size, GLsizei* length, GLchar* log)
{
    const char* text = getenv("QF_SHIM_LOG");
    if (text == NULL) {
        return 0;
    }
    GLsizei written = 0;
    for (; written + 1 < size && text[written] != '\0'; ++written) {
        log[written] = text[written];
    }
    if (size > 0) {
        log[written] = '\0';
    }
    if (length != NULL) {
        *length = written;
    }
    return 1;
}

static void get_shader_info_log(GLuint shader, GLsizei size, GLsizei* length, GLchar* log)
{
    if (!write_log(size, length, log)) {
        gl.get_shader_info_log(shader, size, length, log);
    }
}

static void get_program_info_log(GLuint program, GLsizei size, GLsizei* length, GLchar* log)
{
    if (!write_log(size, length, log)) {
        gl.get_program_info_log(program, size, length, log);
    }
}

/* Swaps a loaded entry point for its wrapper, keeping the real one. */
static proc_t wrap(const char* name, proc_t real)
{
    static const struct {
        const char* name;
        void* slot;
        proc_t wrapper;
    } wrappers[] = {
        {"glCreateShader", &gl.create_shader, (proc_t)create_shader},
        {"glDeleteShader", &gl.delete_shader, (proc_t)delete_shader},
        {"glCreateProgram", &gl.create_program, (proc_t)create_program},
        {"glDeleteProgram", &gl.delete_program, (proc_t)delete_program},
        {"glGetShaderiv", &gl.get_shaderiv, (proc_t)get_shaderiv},
        {"glGetProgramiv", &gl.get_programiv, (proc_t)get_programiv},
        {"glGetShaderInfoLog", &gl.get_shader_info_log, (proc_t)get_shader_info_log},
        {"glGetProgramInfoLog", &gl.get_program_info_log, (proc_t)get_program_info_log},
    };
    for (size_t i = 0; real != NULL && i < sizeof wrappers / sizeof wrappers[0]; ++i) {
        if (strcmp(name, wrappers[i].name) == 0) {
            memcpy(wrappers[i].slot, &real, sizeof real);
            return wrappers[i].wrapper;
        }
    }
    return real;
}

proc_t glXGetProcAddressARB(const GLubyte* name)
{
    proc_t (*real)(const GLubyte*) = (proc_t(*)(const GLubyte*))next("glXGetProcAddressARB");
    if (listed("QF_SHIM_HIDE", (const char*)name)) {
        return NULL;
    }
    return wrap((const char*)name, real(name));
}

proc_t glXGetProcAddress(const GLubyte* name)
{
    return glXGetProcAddressARB(name);
}

static void log_open(const char* path)
{
    if (enabled("QF_SHIM_OPENS") && strncmp(path, "resources/", 10) == 0) {
        fprintf(stderr, "shim: open %s\n", path);
    }
}

FILE* fopen(const char* path, const char* mode)
{
    log_open(path);
    return ((FILE * (*)(const char*, const char*)) next("fopen"))(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    log_open(path);
    return ((FILE * (*)(const char*, const char*)) next("fopen64"))(path, mode);
}

__attribute__((destructor)) static void print_counts(void)
{
    if (enabled("QF_SHIM_COUNT")) {
        fprintf(stderr, "shim: shaders %u created %u deleted, programs %u created %u deleted\n",
                gl.shaders_created, gl.shaders_deleted, gl.programs_created, gl.programs_deleted);
    }
}
