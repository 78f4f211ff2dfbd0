#pragma once

#include <string>

struct GLFWwindow;

// The windowing library is process-wide: every live renderer holds one
// reference, and only the last one to end terminates it, so ending one
// renderer never destroys another renderer's context.
namespace glfwcontext {
// Initialises the library on the first reference. False when that fails;
// the library's reasons then go to *reason when given, else to standard error.
bool acquire(std::string* reason = nullptr);
// Drops one reference; the last one terminates the library.
void release();
// Number of references now held (for tests).
int references();
// The output size to use for a requested one: sizes that no window could
// have (below 1, or so large that the doubled sizes would overflow) become 0,
// for which window creation fails cleanly.
inline int outputSize(int size) { return size > 0 && size <= (1 << 28) ? size : 0; }
// Hidden window with an OpenGL 3.3 core context (4 samples); null on failure.
GLFWwindow* createHiddenWindow(int width, int height);
}  // namespace glfwcontext
