#pragma once

struct GLFWwindow;

// The windowing library is process-wide: every live renderer holds one
// reference, and only the last one to end terminates it, so ending one
// renderer never destroys another renderer's context.
namespace glfwcontext {
// Initialises the library on the first reference. False when that fails.
bool acquire();
// Drops one reference; the last one terminates the library.
void release();
// Number of references now held (for tests).
int references();
// Hidden window with an OpenGL 3.3 core context (4 samples); null on failure.
GLFWwindow* createHiddenWindow(int width, int height);
}  // namespace glfwcontext
