#pragma once

#include <GL/glew.h>

// Compiles and links one program from two NUL-terminated shader texts. Compile
// and link logs are printed with puts; the program name is returned whether or
// not building succeeded (a broken program only yields -1 uniform locations).
// A null text is taken as an empty one. Needs a current GL context.
GLuint LoadShaders(const char* vertexSource, const char* fragmentSource);
