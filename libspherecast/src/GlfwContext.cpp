#include "GlfwContext.h"

#include <GLFW/glfw3.h>

#include <cstdio>
#include <mutex>

namespace glfwcontext {
namespace {
std::mutex gMutex;
int gReferences = 0;

// The library's own reasons go to standard error; standard output carries
// the renderer's progress messages.
void reportError(int code, const char* description) {
    fprintf(stderr, "glfw error %d: %s\n", code, description ? description : "");
}
}  // namespace

bool acquire() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gReferences == 0) {
        glfwSetErrorCallback(reportError);
        if (glfwInit() != GLFW_TRUE) return false;
    }
    ++gReferences;
    return true;
}

void release() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gReferences == 0) return;
    if (--gReferences == 0) glfwTerminate();
}

int references() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gReferences;
}

GLFWwindow* createHiddenWindow(int width, int height) {
    if (width <= 0 || height <= 0) return nullptr;
    glfwWindowHint(GLFW_SAMPLES, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GL_TRUE);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_VISIBLE, GL_FALSE);
    return glfwCreateWindow(width, height, "hidden", nullptr, nullptr);
}
}  // namespace glfwcontext
