// GL 3.3 core contexts for tests, opened the way the renderers open theirs:
// through a hidden window where an X display is named, headless through EGL
// where none is.
#pragma once

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "EglContext.h"
#include "GlDriverPin.h"
#include "RenderSteps.h"
#include "GlfwContext.h"

namespace gltest {

// Whether contexts are expected to come from a window (an X display is named).
inline bool windowExpected() {
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

// What a successful opening prints on the path expected now.
inline std::string openMessages() {
    return windowExpected() ? "init opengl begin" "init glfw success" "create window success" "init glew success"
                            : "init opengl begin" "init egl success" "create context success" "init glew success";
}

// References held on the windowing library and the EGL display together.
inline int sharedReferences() { return glfwcontext::references() + eglcontext::references(); }

// While active, no X display is named, so contexts opened meanwhile are
// headless. The windowing library must not be running: a started one keeps
// its display connection.
class NoDisplay {
public:
    explicit NoDisplay(bool active = true) {
        const char* display = std::getenv("DISPLAY");
        if (!active || !display) return;
        EXPECT_EQ(glfwcontext::references(), 0) << "the windowing library still runs on its display";
        saved_ = display;
        hidden_ = true;
        unsetenv("DISPLAY");
    }
    ~NoDisplay() {
        if (hidden_) setenv("DISPLAY", saved_.c_str(), 1);
    }
    NoDisplay(const NoDisplay&) = delete;
    NoDisplay& operator=(const NoDisplay&) = delete;

private:
    std::string saved_;
    bool hidden_ = false;
};

}  // namespace gltest

// A current context of its own for tests that drive shaders directly. Holding
// one also keeps the shared windowing library or EGL display up.
class GlTestContext {
public:
    // Not inside a capture of standard output: it captures the opening messages.
    GlTestContext() {
        testing::internal::CaptureStdout();
        ok_ = rendersteps::openContext(64, 64, &window_, &hold_) == 0;
        testing::internal::GetCapturedStdout();
    }
    ~GlTestContext() { rendersteps::closeContext(&window_, &hold_, [] {}); }
    GlTestContext(const GlTestContext&) = delete;
    GlTestContext& operator=(const GlTestContext&) = delete;
    bool ok() const { return ok_; }

private:
    GLFWwindow* window_ = nullptr;
    rendersteps::ContextHold hold_;
    bool ok_ = false;
};
