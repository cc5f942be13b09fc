/* Preloaded into quadforge by the tests to drive paths the driver never takes
 * by itself. Each behaviour is off unless its variable is set:
 *   QF_SHIM_ERROR_CALL=N   the Nth glGetError call reports GL_INVALID_OPERATION
 *   QF_SHIM_HIDE=a,b       entry points a and b fail to load
 *   QF_SHIM_NULL_STRING=a  glGetString answers NULL for the names listed (GL_VENDOR...)
 *   QF_SHIM_ZERO=a,b       glCreateShader / glCreateProgram return 0
 *   QF_SHIM_ZERO_LOG=1     info logs report a length of 0
 *   QF_SHIM_LOG=text       info logs are text, their length its length + 1
 *   QF_SHIM_COUNT=1        print shader and program object counts at exit, and
 *                          the objects not deleted and the program in use
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

/* Object names created and not yet deleted. */
typedef struct {
    GLuint* names;
    size_t count, capacity;
} name_set;

static void add_name(name_set* set, GLuint name)
{
    if (set->count == set->capacity) {
        set->capacity = set->capacity ? 2 * set->capacity : 64;
        set->names = realloc(set->names, set->capacity * sizeof *set->names);
        if (set->names == NULL) {
            abort();
        }
    }
    set->names[set->count++] = name;
}

static void remove_name(name_set* set, GLuint name)
{
    for (size_t i = 0; i < set->count; ++i) {
        if (set->names[i] == name) {
            set->names[i] = set->names[--set->count];
            return;
        }
    }
}

static void print_names(const name_set* set)
{
    if (set->count == 0) {
        fputs("none", stderr);
    }
    for (size_t i = 0; i < set->count; ++i) {
        fprintf(stderr, "%s%u", i ? " " : "", set->names[i]);
    }
}

const GLubyte* glGetString(GLenum name)
{
    static const struct {
        GLenum name;
        const char* text;
    } names[] = {
        {GL_VERSION, "GL_VERSION"},
        {GL_VENDOR, "GL_VENDOR"},
        {GL_RENDERER, "GL_RENDERER"},
        {GL_SHADING_LANGUAGE_VERSION, "GL_SHADING_LANGUAGE_VERSION"},
    };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (names[i].name == name && listed("QF_SHIM_NULL_STRING", names[i].text)) {
            return NULL;
        }
    }
    return ((const GLubyte* (*)(GLenum))next("glGetString"))(name);
}

static struct {
    GLuint (*create_shader)(GLenum);
    void (*delete_shader)(GLuint);
    GLuint (*create_program)(void);
    void (*delete_program)(GLuint);
    void (*use_program)(GLuint);
    void (*get_shaderiv)(GLuint, GLenum, GLint*);
    void (*get_programiv)(GLuint, GLenum, GLint*);
    void (*get_shader_info_log)(GLuint, GLsizei, GLsizei*, GLchar*);
    void (*get_program_info_log)(GLuint, GLsizei, GLsizei*, GLchar*);
    unsigned shaders_created, shaders_deleted, programs_created, programs_deleted;
    name_set shaders_left, programs_left;
    GLuint in_use;
} gl;

static GLuint create_shader(GLenum type)
{
    if (listed("QF_SHIM_ZERO", "glCreateShader")) {
        return 0;
    }
    const GLuint shader = gl.create_shader(type);
    if (shader != 0) {
        gl.shaders_created++;
        add_name(&gl.shaders_left, shader);
    }
    return shader;
}

static void delete_shader(GLuint shader)
{
    gl.shaders_deleted += shader != 0;
    remove_name(&gl.shaders_left, shader);
    gl.delete_shader(shader);
}

static GLuint create_program(void)
{
    if (listed("QF_SHIM_ZERO", "glCreateProgram")) {
        return 0;
    }
    const GLuint program = gl.create_program();
    if (program != 0) {
        gl.programs_created++;
        add_name(&gl.programs_left, program);
    }
    return program;
}

static void delete_program(GLuint program)
{
    gl.programs_deleted += program != 0;
    remove_name(&gl.programs_left, program);
    gl.delete_program(program);
}

static void use_program(GLuint program)
{
    gl.in_use = program;
    gl.use_program(program);
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
        {"glUseProgram", &gl.use_program, (proc_t)use_program},
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
        fputs("shim: left at exit: shaders ", stderr);
        print_names(&gl.shaders_left);
        fputs(", programs ", stderr);
        print_names(&gl.programs_left);
        fprintf(stderr, ", in use %u\n", gl.in_use);
    }
}
