#include "GlfwContext.h"

#include <GLFW/glfw3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "SharedReferences.h"
#include "log/MyLog.h"

namespace glfwcontext {
namespace {
SharedReferences gReferences;
// Where the reasons of a failing start go (set while starting); null: standard error.
std::string* gStartReasons = nullptr;

// The library's own reasons go to standard error; standard output carries
// the renderer's progress messages.
void reportError(int code, const char* description) {
    char text[512];
    snprintf(text, sizeof text, "glfw error %d: %s\n", code, description ? description : "");
    if (gStartReasons)
        *gStartReasons += text;
    else
        libmsg::Reason(text);
}

bool start(std::string* reason) {
    glfwSetErrorCallback(reportError);
    std::string reasons;
    gStartReasons = &reasons;
    // Right after the previous connection closed, a busy X server may
    // refuse the next one for a moment: try a few times before failing.
    // Without a display named there is nothing to wait for.
    const char* display = std::getenv("DISPLAY");
    const int attempts = display && *display ? 4 : 1;
    bool started = false;
    for (int attempt = 0; attempt < attempts && !started; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100 * attempt));
        started = glfwInit() == GLFW_TRUE;
    }
    gStartReasons = nullptr;
    if (!started) {
        if (reason)
            *reason = reasons;
        else
            libmsg::Reason(reasons.c_str());
    }
    return started;
}
}  // namespace

bool acquire(std::string* reason) {
    return gReferences.acquire([reason] { return start(reason); });
}

void release() {
    gReferences.release([] { glfwTerminate(); });
}

int references() { return gReferences.count(); }

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
