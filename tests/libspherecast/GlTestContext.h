// A hidden GL 3.3 core context for tests that drive shaders directly.
#pragma once

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include "GlDriverPin.h"
#include "GlfwContext.h"

class GlTestContext {
public:
    GlTestContext() {
        if (!glfwcontext::acquire()) return;
        held_ = true;
        window_ = glfwcontext::createHiddenWindow(64, 64);
        if (!window_) return;
        glfwMakeContextCurrent(window_);
        glewExperimental = GL_TRUE;
        ok_ = glewInit() == GLEW_OK;
        glGetError();
    }
    ~GlTestContext() {
        if (window_) glfwDestroyWindow(window_);
        if (held_) glfwcontext::release();
    }
    bool ok() const { return ok_; }

private:
    GLFWwindow* window_ = nullptr;
    bool held_ = false;
    bool ok_ = false;
};
