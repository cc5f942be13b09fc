// The window quadforge asks for, for the helpers that must get the same one:
// 800x600 at 140,140, double-buffered, -geometry still overriding both.
#ifndef QUADFORGE_TESTS_WINDOW_REQUEST_H
#define QUADFORGE_TESTS_WINDOW_REQUEST_H

#include <GL/glew.h>
#include <GL/freeglut.h>

inline void open_window_as_quadforge_does(int* argc, char** argv, const char* title)
{
    glutInitWindowSize(800, 600);
    glutInitWindowPosition(140, 140);
    glutInitDisplayMode(GLUT_DOUBLE);
    glutInit(argc, argv);
    glutCreateWindow(title);
    glewInit();
}

#endif
