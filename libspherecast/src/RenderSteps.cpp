#include "RenderSteps.h"

#include <GLFW/glfw3.h>

#include <cstdio>
#include <cstring>
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "GlfwContext.h"

namespace rendersteps {

int openContext(int width, int height, GLFWwindow** window, bool* holdsGlfw, bool* glLoaded) {
    printf("init opengl begin");
    if (!glfwcontext::acquire()) {
        printf("failed to init glfw");
        return 1;
    }
    *holdsGlfw = true;
    printf("init glfw success");

    *window = glfwcontext::createHiddenWindow(width, height);
    if (!*window) {
        printf("failed to create window");
        return 2;
    }
    printf("create window success");

    glfwMakeContextCurrent(*window);
    glewExperimental = GL_TRUE;
    if (glewInit() != GLEW_OK) {
        printf("failed to init glew");
        return 3;
    }
    *glLoaded = true;
    glGetError();  // the loader's probing of a core context leaves GL_INVALID_ENUM
    printf("init glew success");
    return 0;
}

void closeContext(GLFWwindow** window, bool* glLoaded, bool* holdsGlfw,
                  const std::function<void()>& deleteObjects) {
    if (*window) {
        GLFWwindow* previous = glfwGetCurrentContext();
        glfwMakeContextCurrent(*window);
        if (*glLoaded) deleteObjects();
        glfwMakeContextCurrent(previous != *window ? previous : nullptr);
        glfwDestroyWindow(*window);
        *window = nullptr;
    }
    *glLoaded = false;
    if (*holdsGlfw) {
        *holdsGlfw = false;
        glfwcontext::release();
    }
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
    printf("frame buffer not complete%d", static_cast<int>(status));
    return false;
}

bool setDataAccepted(bool ready) {
    if (ready) return true;
    printf("set data ignored,renderer not initialised");
    return false;
}

bool renderRequestAccepted(bool ready, const void* out) {
    printf("render");
    if (!ready) {
        printf("render ignored,renderer not initialised");
        return false;
    }
    if (!out) {
        printf("render ignored,no output buffer");
        return false;
    }
    return true;
}

bool readBackBgr(GLuint frameBuffer, int width, int height, void* out) {
    glBindFramebuffer(GL_READ_FRAMEBUFFER, frameBuffer);
    const GLenum status = glCheckFramebufferStatus(GL_READ_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        printf("error,read frame buffer not complete:%d", static_cast<int>(status));
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
