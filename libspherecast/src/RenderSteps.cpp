#include "RenderSteps.h"

#include <GLFW/glfw3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "EglContext.h"
#include "GlfwContext.h"
#include "log/MyLog.h"

namespace rendersteps {

namespace {
// What the window path prints for the step that failed (1 or 2).
const char* const kWindowFailures[] = {"", "failed to init glfw", "failed to create window"};

// The window path up to a current context. Prints its success messages only;
// returns 0, 1 (windowing library) or 2 (window).
int openWindow(int width, int height, GLFWwindow** window, ContextHold* hold, std::string* reasons) {
    if (!glfwcontext::acquire(reasons)) return 1;
    hold->holdsGlfw = true;
    libmsg::Print(MYLOG_INFO, "init glfw success");

    *window = glfwcontext::createHiddenWindow(width, height);
    if (!*window) return 2;
    libmsg::Print(MYLOG_INFO, "create window success");
    makeCurrent(*window, *hold);
    return 0;
}

// The headless path: the shared EGL display, a context of our own, the GL
// entry points. Prints its success messages; the reason for a failure goes
// to *reasons.
bool openHeadless(ContextHold* hold, std::string* reasons) {
    std::string why;
    if (!eglcontext::acquire(&why)) {
        *reasons += "egl: " + why + "\n";
        return false;
    }
    hold->holdsEgl = true;
    libmsg::Print(MYLOG_INFO, "init egl success");

    hold->headless = eglcontext::createContext(&why);
    if (!hold->headless || !makeCurrent(nullptr, *hold)) {
        *reasons += "egl: " + (hold->headless ? std::string("making the context current failed") : why) + "\n";
        return false;
    }
    libmsg::Print(MYLOG_INFO, "create context success");

    // GLEW is built for GLX: once it has loaded the GL entry points it looks
    // for the GLX display, finds none beside an EGL context and reports
    // GLEW_ERROR_NO_GLX_DISPLAY. Only the GL part counts here.
    glewExperimental = GL_TRUE;
    const GLenum loaded = glewInit();
    if ((loaded != GLEW_OK && loaded != GLEW_ERROR_NO_GLX_DISPLAY) || !GLEW_VERSION_3_3) {
        *reasons += "egl: the OpenGL 3.3 entry points did not load\n";
        return false;
    }
    hold->glLoaded = true;
    glGetError();  // the loader's probing of a core context leaves GL_INVALID_ENUM
    libmsg::Print(MYLOG_INFO, "init glew success");
    return true;
}

// Makes nothing current on the calling thread, whichever library made it.
void releaseCurrent() {
    if (glfwcontext::references() > 0 && glfwGetCurrentContext()) glfwMakeContextCurrent(nullptr);
    if (eglcontext::currentContext()) eglcontext::restore(eglcontext::Binding());
}
}  // namespace

int openContext(int width, int height, GLFWwindow** window, ContextHold* hold) {
    libmsg::Print(MYLOG_INFO, "init opengl begin");
    std::string reasons;
    const int failed = openWindow(width, height, window, hold, &reasons);
    if (failed == 0) {
        glewExperimental = GL_TRUE;
        if (glewInit() != GLEW_OK) {
            libmsg::Print(MYLOG_ERROR, "failed to init glew");
            return 3;
        }
        hold->glLoaded = true;
        glGetError();  // the loader's probing of a core context leaves GL_INVALID_ENUM
        libmsg::Print(MYLOG_INFO, "init glew success");
        return 0;
    }

    // No window: a headless context instead, unless no frame buffer could
    // have the size either.
    if (hold->holdsGlfw) {
        hold->holdsGlfw = false;
        glfwcontext::release();
    }
    if (width > 0 && height > 0 && openHeadless(hold, &reasons)) return 0;
    libmsg::Reason(reasons.c_str());
    libmsg::Print(MYLOG_ERROR, "%s", kWindowFailures[failed]);
    return failed;
}

void closeContext(GLFWwindow** window, ContextHold* hold, const std::function<void()>& deleteObjects) {
    if (*window || hold->headless) {
        GLFWwindow* const previousWindow = glfwcontext::references() > 0 ? glfwGetCurrentContext() : nullptr;
        const eglcontext::Binding previousEgl = eglcontext::currentBinding();
        if (makeCurrent(*window, *hold) && hold->glLoaded) deleteObjects();
        releaseCurrent();
        if (previousWindow && previousWindow != *window)
            glfwMakeContextCurrent(previousWindow);
        else if (previousEgl.context && previousEgl.context != hold->headless)
            eglcontext::restore(previousEgl);
        if (*window) glfwDestroyWindow(*window);
        eglcontext::destroyContext(hold->headless);
        *window = nullptr;
        hold->headless = nullptr;
    }
    hold->glLoaded = false;
    if (hold->holdsGlfw) {
        hold->holdsGlfw = false;
        glfwcontext::release();
    }
    if (hold->holdsEgl) {
        hold->holdsEgl = false;
        eglcontext::release();
    }
}

bool makeCurrent(GLFWwindow* window, const ContextHold& hold) {
    if (hold.headless) {
        if (eglcontext::currentContext() == hold.headless) return true;
        // Only one library's context can be current on a thread.
        if (glfwcontext::references() > 0 && glfwGetCurrentContext()) glfwMakeContextCurrent(nullptr);
        return eglcontext::makeCurrent(hold.headless);
    }
    if (!window) return false;
    // Re-binding the current context still costs the driver a flush and a
    // drawable check, so only switch when needed.
    if (glfwGetCurrentContext() == window) return true;
    if (eglcontext::currentContext()) eglcontext::restore(eglcontext::Binding());
    glfwMakeContextCurrent(window);
    return true;
}

double clockSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

GlVertexArray enableBlendingWithVertexArray() {
    glEnable(GL_BLEND);
    glEnable(GL_MULTISAMPLE);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    GlVertexArray vertexArray = GlVertexArray::create();
    glBindVertexArray(vertexArray);
    return vertexArray;
}

void pixelMvp(int width, int height, float out[16]) {
    const float halfW = static_cast<float>(width) / 2.0f;
    const float halfH = static_cast<float>(height) / 2.0f;
    const glm::mat4 projection = glm::ortho(-halfW, halfW, -halfH, halfH, 0.1f, 1000.0f);
    const glm::mat4 view = glm::lookAt(glm::vec3(0, 0, -1), glm::vec3(0, 0, 0), glm::vec3(0, 1, 0));
    const glm::mat4 product = projection * view * glm::mat4(1.0f);
    std::memcpy(out, glm::value_ptr(product), 16 * sizeof(float));
}

void uploadMesh(const std::vector<float>& vertices, const std::vector<float>& uvs,
                const std::vector<unsigned int>& indices, GlBuffer* vertexBuffer, GlBuffer* uvBuffer,
                GlBuffer* indexBuffer) {
    *vertexBuffer = staticBuffer(GL_ARRAY_BUFFER, vertices);
    *uvBuffer = staticBuffer(GL_ARRAY_BUFFER, uvs);
    *indexBuffer = staticBuffer(GL_ELEMENT_ARRAY_BUFFER, indices);
}

void beginPass(GLuint frameBuffer, int width, int height, float r, float g, float b, float a) {
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frameBuffer);
    glViewport(0, 0, width, height);
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glClearColor(r, g, b, a);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void endPass() {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
}

void drawMesh(GLuint vertexBuffer, GLuint uvBuffer, GLuint indexBuffer, GLsizei indexCount) {
    glEnableVertexAttribArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    if (uvBuffer != 0) {
        glEnableVertexAttribArray(1);
        glBindBuffer(GL_ARRAY_BUFFER, uvBuffer);
        glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    }
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer);
    glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_INT, nullptr);
    glDisableVertexAttribArray(0);
    if (uvBuffer != 0) glDisableVertexAttribArray(1);
}

void useProgramWithTexture(GLuint program, GLint mvpLocation, const float mvp[16], GLuint texture,
                           GLint textureLocation) {
    glUseProgram(program);
    glUniformMatrix4fv(mvpLocation, 1, GL_FALSE, mvp);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, texture);
    glUniform1i(textureLocation, 0);
}

void loadBgrImage(int width, int height, const void* data) {
    // Decoded rows are exactly 3 * width bytes, whatever the width.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, width, height, 0, GL_BGR, GL_UNSIGNED_BYTE, data);
}

void clampAndMipmap() {
    // The core profile has no GL_CLAMP; clamping to the edge is what it meant.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glGenerateMipmap(GL_TEXTURE_2D);
}

GlRenderbuffer createColorRenderBuffer(int width, int height) {
    GlRenderbuffer renderBuffer = GlRenderbuffer::create();
    glBindRenderbuffer(GL_RENDERBUFFER, renderBuffer);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA, width, height);
    return renderBuffer;
}

GlFramebuffer createFrameBuffer(GLenum attachKind, GLuint object) {
    GlFramebuffer frameBuffer = GlFramebuffer::create();
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frameBuffer);
    if (attachKind == GL_TEXTURE_2D)
        glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, object, 0);
    else
        glFramebufferRenderbuffer(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, object);
    return frameBuffer;
}

bool drawFrameBufferComplete() {
    const GLenum status = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER);
    if (status == GL_FRAMEBUFFER_COMPLETE) return true;
    libmsg::Print(MYLOG_ERROR, "frame buffer not complete%d", static_cast<int>(status));
    return false;
}

bool setDataAccepted(bool ready) {
    if (ready) return true;
    libmsg::Print(MYLOG_ERROR, "set data ignored,renderer not initialised");
    return false;
}

bool renderRequestAccepted(bool ready, const void* out) {
    libmsg::Print(MYLOG_INFO, "render");
    if (!ready) {
        libmsg::Print(MYLOG_ERROR, "render ignored,renderer not initialised");
        return false;
    }
    if (!out) {
        libmsg::Print(MYLOG_ERROR, "render ignored,no output buffer");
        return false;
    }
    return true;
}

bool readBackBgr(GLuint frameBuffer, int width, int height, void* out) {
    glBindFramebuffer(GL_READ_FRAMEBUFFER, frameBuffer);
    const GLenum status = glCheckFramebufferStatus(GL_READ_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        libmsg::Print(MYLOG_ERROR, "error,read frame buffer not complete:%d", static_cast<int>(status));
        return false;
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glGetError();
    glReadPixels(0, 0, width, height, GL_BGR, GL_UNSIGNED_BYTE, out);
    return true;
}

}  // namespace rendersteps
