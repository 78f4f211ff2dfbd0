#include "GlfwContext.h"

#include <GLFW/glfw3.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

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
        // Right after the previous connection closed, a busy X server may
        // refuse the next one for a moment: try a few times before failing.
        bool started = false;
        for (int attempt = 0; attempt < 4 && !started; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100 * attempt));
            started = glfwInit() == GLFW_TRUE;
        }
        if (!started) return false;
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
