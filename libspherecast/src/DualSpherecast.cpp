// Single-pass predecessor of DualSpherecastNew: the same stitch meshes and
// cross-fade, drawn directly into the read-back target.
#include "DualSpherecast.h"

#include <GLFW/glfw3.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "DualSpherecastNew.h"
#include "GlfwContext.h"
#include "ShaderLoader.h"

namespace {
std::string readShaderFile(const char* path) {
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) {
        printf("failed to open shader file:%s", path);
        return std::string();
    }
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

GLuint loadShaderFiles(const char* vertexPath, const char* fragmentPath) {
    const std::string vertexCode = readShaderFile(vertexPath);
    const std::string fragmentCode = readShaderFile(fragmentPath);
    return LoadShaders(vertexCode.c_str(), fragmentCode.c_str());
}
}  // namespace

DualSpherecast::DualSpherecast(const char* offset, int size, int frameWidth, int frameHeight)
    : width(glfwcontext::outputSize(size) * 2),
      height(glfwcontext::outputSize(size)),
      textureWidth(frameWidth),
      textureHeight(frameHeight),
      model(offset ? offset : "") {
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    std::memcpy(mvp, identity, sizeof mvp);
}

DualSpherecast::~DualSpherecast() { releaseContext(); }

int DualSpherecast::initOpenGL(int argc, char** argv) {
    releaseContext();

    printf("init opengl begin");
    if (!glfwcontext::acquire()) {
        printf("failed to init glfw");
        return 1;
    }
    holdsGlfw = true;
    printf("init glfw success");

    window = glfwcontext::createHiddenWindow(width, height);
    if (!window) {
        printf("failed to create window");
        releaseContext();
        return 2;
    }
    printf("create window success");

    glfwMakeContextCurrent(window);
    glewExperimental = GL_TRUE;
    if (glewInit() != GLEW_OK) {
        releaseContext();
        printf("failed to init glew");
        return 3;
    }
    glLoaded = true;
    glGetError();  // the loader's probing of a core context leaves GL_INVALID_ENUM
    printf("init glew success");

    bindFrameBuffer();
    glEnable(GL_BLEND);
    glEnable(GL_MULTISAMPLE);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glClearColor(0.0f, 0.0f, 0.4f, 0.0f);
    glGenVertexArrays(1, &vertexArrayID);
    glBindVertexArray(vertexArrayID);

    simpleProgramID = loadShaderFiles("./src/shaders/simple.vert", "./src/shaders/simple.frag");
    transformMatLocation = glGetUniformLocation(simpleProgramID, "uTransformMat");
    simpleMvpLocation = glGetUniformLocation(simpleProgramID, "MVP");
    programID = loadShaderFiles("./src/shaders/fisheye.vert", "./src/shaders/fisheye.frag");
    blendWidthLocation = glGetUniformLocation(programID, "uBlendWidth");
    mvpLocation = glGetUniformLocation(programID, "MVP");

    const float halfW = static_cast<float>(width) / 2.0f;
    const float halfH = static_cast<float>(height) / 2.0f;
    const glm::mat4 product = glm::ortho(-halfW, halfW, -halfH, halfH, 0.1f, 1000.0f) *
                              glm::lookAt(glm::vec3(0, 0, -1), glm::vec3(0, 0, 0), glm::vec3(0, 1, 0)) *
                              glm::mat4(1.0f);
    std::memcpy(mvp, glm::value_ptr(product), sizeof mvp);

    bindBuffers();
    bindTexture();
    printf("init opengl success");
    ready = true;
    return 0;
}

void DualSpherecast::bindFrameBuffer() {
    glGenRenderbuffers(1, &renderBufferID);
    glBindRenderbuffer(GL_RENDERBUFFER, renderBufferID);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA, width, height);
    printf("create frame buffer");
    glGenFramebuffers(1, &frameBufferID);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frameBufferID);
    glFramebufferRenderbuffer(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderBufferID);
    const GLenum status = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        printf("frame buffer not complete%d", static_cast<int>(status));
        return;
    }
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glViewport(0, 0, width, height);
}

void DualSpherecast::bindBuffers() {
    printf("bind buffers");
    std::vector<float> vertices;
    std::vector<float> uvs;
    std::vector<unsigned int> indices;
    appendStitchMeshes(model, width, height, &vertices, &uvs, &indices);
    indexCount = static_cast<GLsizei>(indices.size());
    glGenBuffers(1, &vertexBufferID);
    glBindBuffer(GL_ARRAY_BUFFER, vertexBufferID);
    glBufferData(GL_ARRAY_BUFFER, vertices.size() * sizeof(float), vertices.data(), GL_STATIC_DRAW);
    glGenBuffers(1, &uvBufferID);
    glBindBuffer(GL_ARRAY_BUFFER, uvBufferID);
    glBufferData(GL_ARRAY_BUFFER, uvs.size() * sizeof(float), uvs.data(), GL_STATIC_DRAW);
    glGenBuffers(1, &indexBufferID);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBufferID);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, indices.size() * sizeof(unsigned int), indices.data(),
                 GL_STATIC_DRAW);
}

void DualSpherecast::bindTexture() {
    printf("create texture");
    glGenTextures(1, &textureID);
    glBindTexture(GL_TEXTURE_2D, textureID);
    uploadFrame(nullptr);
    textureLocation = glGetUniformLocation(programID, "uTexture2D");
}

void DualSpherecast::logerror() {
    const GLenum code = glGetError();
    printf("error:code:%d,desc:%s", static_cast<int>(code),
           reinterpret_cast<const char*>(glewGetErrorString(code)));
}

void DualSpherecast::uploadFrame(const void* data) {
    printf("set data,width:%d,height:%d", textureWidth, textureHeight);
    glfwMakeContextCurrent(window);
    glBindTexture(GL_TEXTURE_2D, textureID);
    logerror();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);  // decoded rows are exactly 3 * width bytes
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, textureWidth, textureHeight, 0, GL_BGR, GL_UNSIGNED_BYTE, data);
    logerror();
    // The core profile has no GL_CLAMP; clamping to the edge is what it meant.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glGenerateMipmap(GL_TEXTURE_2D);
    printf("set data success");
}

void DualSpherecast::setData(void* data) {
    if (!ready) {
        printf("set data ignored,renderer not initialised");
        return;
    }
    uploadFrame(data);
}

void DualSpherecast::render() {
    glClear(GL_COLOR_BUFFER_BIT);
    glUseProgram(programID);
    glUniformMatrix4fv(mvpLocation, 1, GL_FALSE, mvp);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, textureID);
    glUniform1i(textureLocation, 0);
    glUniform1f(blendWidthLocation, model.lens0.blendAngle() / 180.0f * static_cast<float>(height));
    glEnableVertexAttribArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, vertexBufferID);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(1);
    glBindBuffer(GL_ARRAY_BUFFER, uvBufferID);
    glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBufferID);
    glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_INT, nullptr);
    glDisableVertexAttribArray(0);
    glDisableVertexAttribArray(1);
}

void DualSpherecast::render(void* out) {
    printf("render");
    if (!ready) {
        printf("render ignored,renderer not initialised");
        return;
    }
    if (!out) {
        printf("render ignored,no output buffer");
        return;
    }
    glfwMakeContextCurrent(window);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frameBufferID);
    logerror();
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    GLenum status = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        printf("error,draw frame buffer not complete:%d", static_cast<int>(status));
        return;
    }
    render();
    const double t0 = glfwGetTime();
    printf("glReadPixel");
    glBindFramebuffer(GL_READ_FRAMEBUFFER, frameBufferID);
    status = glCheckFramebufferStatus(GL_READ_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        printf("error,read frame buffer not complete:%d", static_cast<int>(status));
        return;
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glGetError();
    glReadPixels(0, 0, width, height, GL_BGR, GL_UNSIGNED_BYTE, out);
    printf("consume:%lf", glfwGetTime() - t0);
}

void DualSpherecast::releaseContext() {
    ready = false;
    if (window) {
        GLFWwindow* previous = glfwGetCurrentContext();
        glfwMakeContextCurrent(window);
        if (glLoaded) {
            const GLuint buffers[] = {vertexBufferID, uvBufferID, indexBufferID};
            glDeleteBuffers(3, buffers);
            glDeleteTextures(1, &textureID);
            glDeleteFramebuffers(1, &frameBufferID);
            glDeleteRenderbuffers(1, &renderBufferID);
            glDeleteVertexArrays(1, &vertexArrayID);
            glDeleteProgram(programID);
            glDeleteProgram(simpleProgramID);
        }
        glfwMakeContextCurrent(previous != window ? previous : nullptr);
        glfwDestroyWindow(window);
        window = nullptr;
    }
    glLoaded = false;
    vertexBufferID = uvBufferID = indexBufferID = textureID = frameBufferID = renderBufferID = 0;
    vertexArrayID = programID = simpleProgramID = 0;
    indexCount = 0;
    if (holdsGlfw) {
        holdsGlfw = false;
        glfwcontext::release();
    }
}

void DualSpherecast::deInitOpenGL() {
    releaseContext();
    printf("deinit opengl");
}
