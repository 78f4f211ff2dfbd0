// Two-pass dual-fisheye stitcher.
//
// All geometry is computed once on the CPU: each stitch mesh is a grid in
// output pixels whose vertices carry the point of one lens image that sees
// that output direction. Per frame the dual-fisheye picture is uploaded as a
// texture; pass 1 draws the meshes into an off-screen equirectangular image,
// each fading in over its left blend band so that the lens images cross-fade
// (or, for the stacked layout, one 360-degree mesh per lens, cut beyond
// 100-102 degrees); pass 2 draws one plane over the whole output whose fragment
// shader looks each output direction up in the pass-1 image through the view
// rotation; the result is read back as BGR rows, bottom row first.
#include "DualSpherecastNew.h"

#include <GLFW/glfw3.h>

#include <cstdio>
#include <cstring>
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "FisheyePlane.h"
#include "GlfwContext.h"
#include "PanoramaPlane.h"
#include "ShaderBuilder.h"
#include "ShaderLoader.h"

namespace {
const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// +90 degrees about y, as single precision gives it: measures the stereo cut
// from the middle of each half instead of from the pole.
const float kStereoRotation[16] = {-4.371139e-8f, 0, -1, 0, 0, 0.99999994f, 0, 0,
                                   1, 0, -4.371139e-8f, 0, 0, 0, 0, 1};

// Appends one mesh, raising its indices past the vertices already merged.
void appendMesh(const FisheyePlane& plane, std::vector<float>* vertices, std::vector<float>* uvs,
                std::vector<unsigned int>* indices) {
    std::vector<unsigned int> meshIndices = plane.indiceData();
    if (!vertices->empty()) {
        const unsigned int offset = static_cast<unsigned int>(vertices->size()) / 3u;
        for (unsigned int& index : meshIndices) index += offset;
    }
    const std::vector<float> meshVertices = plane.vertData();
    const std::vector<float> meshUvs = plane.uvData();
    vertices->insert(vertices->end(), meshVertices.begin(), meshVertices.end());
    indices->insert(indices->end(), meshIndices.begin(), meshIndices.end());
    uvs->insert(uvs->end(), meshUvs.begin(), meshUvs.end());
}

GLuint createFrameBufferStatusChecked(GLenum attachKind, GLuint object) {
    GLuint frameBuffer = 0;
    glGenFramebuffers(1, &frameBuffer);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frameBuffer);
    if (attachKind == GL_TEXTURE_2D)
        glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, object, 0);
    else
        glFramebufferRenderbuffer(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, object);
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    const GLenum status = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) printf("frame buffer not complete%d", static_cast<int>(status));
    return frameBuffer;
}
}  // namespace

DualSpherecastNew::DualSpherecastNew(const char* offset, int size, int frameWidth, int frameHeight,
                                     RenderType type)
    : width(glfwcontext::outputSize(size) * 2),
      height(glfwcontext::outputSize(size)),
      textureWidth(frameWidth),
      textureHeight(frameHeight),
      model(offset ? offset : ""),
      renderType(type) {
    std::memcpy(rotationMatrix, kIdentity, sizeof rotationMatrix);
    std::memcpy(mvp, kIdentity, sizeof mvp);
    if (renderType == Stereo) height *= 2;
}

DualSpherecastNew::~DualSpherecastNew() { releaseContext(); }

int DualSpherecastNew::initOpenGL(int argc, char** argv) {
    // A repeated initialisation replaces the first set of objects instead of leaking it.
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

    glEnable(GL_BLEND);
    glEnable(GL_MULTISAMPLE);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glGenVertexArrays(1, &vertexArrayID);
    glBindVertexArray(vertexArrayID);

    {
        const std::string vertexCode = ShaderBuilder::buildPanoramaVertexCode();
        const std::string fragmentCode = ShaderBuilder::buildPanoramaFragmentCode();
        panoramaProgramID = LoadShaders(vertexCode.c_str(), fragmentCode.c_str());
    }
    transformMatLocation = glGetUniformLocation(panoramaProgramID, "uTransformMat");
    panoramaMvpLocation = glGetUniformLocation(panoramaProgramID, "MVP");
    panoramaTextureLocation = glGetUniformLocation(panoramaProgramID, "uTexture2D");
    posXLocation = glGetUniformLocation(panoramaProgramID, "uPosX");
    posYLocation = glGetUniformLocation(panoramaProgramID, "uPosY");
    widthLocation = glGetUniformLocation(panoramaProgramID, "uWidth");
    heightLocation = glGetUniformLocation(panoramaProgramID, "uHeight");

    if (renderType == Stereo) {
        const std::string vertexCode = ShaderBuilder::buildStereoVertexCode();
        const std::string fragmentCode = ShaderBuilder::buildStereoFragmentCode();
        programID = LoadShaders(vertexCode.c_str(), fragmentCode.c_str());
        planeWidthLocation = glGetUniformLocation(programID, "uPlaneWidth");
        planeHeightLocation = glGetUniformLocation(programID, "uPlaneHeight");
        rotMatrixLocation = glGetUniformLocation(programID, "uRotMatrix");
    } else {
        const std::string vertexCode = ShaderBuilder::buildFisheyeVertexCode();
        const std::string fragmentCode = ShaderBuilder::buildFisheyeFragmentCode();
        programID = LoadShaders(vertexCode.c_str(), fragmentCode.c_str());
        blendWidthLocation = glGetUniformLocation(programID, "uBlendWidth");
    }
    mvpLocation = glGetUniformLocation(programID, "MVP");
    textureLocation = glGetUniformLocation(programID, "uTexture2D");

    // Output pixels centred on the origin; the view from z = -1 mirrors x.
    const float halfW = static_cast<float>(width) / 2.0f;
    const float halfH = static_cast<float>(height) / 2.0f;
    const glm::mat4 projection = glm::ortho(-halfW, halfW, -halfH, halfH, 0.1f, 1000.0f);
    const glm::mat4 view = glm::lookAt(glm::vec3(0, 0, -1), glm::vec3(0, 0, 0), glm::vec3(0, 1, 0));
    const glm::mat4 product = projection * view * glm::mat4(1.0f);
    std::memcpy(mvp, glm::value_ptr(product), sizeof mvp);

    std::memcpy(rotationMatrix, kIdentity, sizeof rotationMatrix);

    initScene();
    initRenderBufferScene();
    ready = true;
    return 0;
}

void DualSpherecastNew::createBuffers(std::vector<float>* vertices, std::vector<float>* uvs,
                                      std::vector<unsigned int>* indices) {
    if (renderType == Stereo)
        createStereoBuffers(vertices, uvs, indices);
    else
        createStitchPlaneBuffers(vertices, uvs, indices);
}

void appendStitchMeshes(const DualFisheyeModel& model, int width, int height, std::vector<float>* vertices,
                        std::vector<float>* uvs, std::vector<unsigned int>* indices) {
    // Lens 0 twice: the picture runs on across the left/right edge.
    const FisheyeLens lenses[3] = {model.lens0, model.lens1, model.lens0};
    const float hf = static_cast<float>(height);
    for (int i = 0; i < 3; ++i) {
        const float b = lenses[i].blendAngle();
        const float planeW = (b + 180.0f) / 180.0f * hf;
        const float blendW = b / 180.0f * hf;
        const float step = planeW - blendW;
        const float t = static_cast<float>(-(width / 2)) - blendW;
        float c = planeW * 0.5f + t;
        c = c - step * 0.5f;
        const float cx = static_cast<float>(i) * step + c;
        const FisheyePlane plane(lenses[i], height, 100, 50, cx, 0.0f, 0);
        appendMesh(plane, vertices, uvs, indices);
    }
}

void DualSpherecastNew::createStitchPlaneBuffers(std::vector<float>* vertices, std::vector<float>* uvs,
                                                 std::vector<unsigned int>* indices) {
    appendStitchMeshes(model, width, height, vertices, uvs, indices);
}

void DualSpherecastNew::createStereoBuffers(std::vector<float>* vertices, std::vector<float>* uvs,
                                            std::vector<unsigned int>* indices) {
    const int half = height / 2;
    const int quarter = height / 4;
    const FisheyePlane upper(model.lens0, half, 100, 50, 0.0f, static_cast<float>(quarter), 360);
    const FisheyePlane lower(model.lens1, half, 100, 50, 0.0f, static_cast<float>(-quarter), 360);
    appendMesh(upper, vertices, uvs, indices);
    appendMesh(lower, vertices, uvs, indices);
}

void DualSpherecastNew::initScene() {
    std::vector<float> vertices;
    std::vector<float> uvs;
    std::vector<unsigned int> indices;
    createBuffers(&vertices, &uvs, &indices);
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

    printf("create texture");
    glGenTextures(1, &textureID);
    glBindTexture(GL_TEXTURE_2D, textureID);
    uploadFrame(nullptr);

    glGenTextures(1, &frameTextureID);
    glBindTexture(GL_TEXTURE_2D, frameTextureID);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, width, height, 0, GL_RGB, GL_UNSIGNED_BYTE, nullptr);

    printf("create frame buffer");
    frameBufferID = createFrameBufferStatusChecked(GL_TEXTURE_2D, frameTextureID);
}

void DualSpherecastNew::initRenderBufferScene() {
    panoramaPlane = new PanoramaPlane(static_cast<float>(width), static_cast<float>(height), 4, 2, 0.0f, 0.0f);
    panoramaIndexCount = static_cast<GLsizei>(panoramaPlane->indices.size());

    glGenBuffers(1, &panoramaVertexBufferID);
    glBindBuffer(GL_ARRAY_BUFFER, panoramaVertexBufferID);
    glBufferData(GL_ARRAY_BUFFER, panoramaPlane->vertices.size() * sizeof(float),
                 panoramaPlane->vertices.data(), GL_STATIC_DRAW);
    glGenBuffers(1, &panoramaIndexBufferID);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, panoramaIndexBufferID);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, panoramaPlane->indices.size() * sizeof(unsigned int),
                 panoramaPlane->indices.data(), GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);

    glGenRenderbuffers(1, &renderBufferID);
    glBindRenderbuffer(GL_RENDERBUFFER, renderBufferID);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA, width, height);

    printf("create frame buffer");
    renderFrameBufferID = createFrameBufferStatusChecked(GL_RENDERBUFFER, renderBufferID);
}

void DualSpherecastNew::makeCurrent() {
    // Re-binding the current context still costs the driver a flush and a
    // drawable check, so only switch when needed.
    if (glfwGetCurrentContext() != window) glfwMakeContextCurrent(window);
}

void DualSpherecastNew::uploadFrame(const void* data) {
    printf("set data,width:%d,height:%d", textureWidth, textureHeight);
    makeCurrent();
    glBindTexture(GL_TEXTURE_2D, textureID);
    // Decoded rows are exactly 3 * width bytes, whatever the width.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, textureWidth, textureHeight, 0, GL_BGR, GL_UNSIGNED_BYTE, data);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glGenerateMipmap(GL_TEXTURE_2D);
    printf("set data success");
}

void DualSpherecastNew::setData(void* data) {
    if (!ready) {
        printf("set data ignored,renderer not initialised");
        return;
    }
    uploadFrame(data);
}

void DualSpherecastNew::bindShaderProgram() {
    glUseProgram(programID);
    glUniformMatrix4fv(mvpLocation, 1, GL_FALSE, mvp);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, textureID);
    glUniform1i(textureLocation, 0);
    if (renderType == Stereo) {
        glUniform1f(planeWidthLocation, static_cast<float>(width));
        glUniform1f(planeHeightLocation, static_cast<float>(height) * 0.5f);
        glUniformMatrix4fv(rotMatrixLocation, 1, GL_FALSE, kStereoRotation);
    } else {
        // One band width for all three meshes, taken from lens 0.
        glUniform1f(blendWidthLocation, model.lens0.blendAngle() / 180.0f * static_cast<float>(height));
    }
}

void DualSpherecastNew::render() {
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frameBufferID);
    glViewport(0, 0, width, height);
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    bindShaderProgram();

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
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
}

void DualSpherecastNew::bindRenderBufferShaderProgram() {
    glUseProgram(panoramaProgramID);
    glUniformMatrix4fv(panoramaMvpLocation, 1, GL_FALSE, mvp);
    glUniformMatrix4fv(transformMatLocation, 1, GL_FALSE, rotationMatrix);
    glUniform1f(posXLocation, panoramaPlane->posX);
    glUniform1f(posYLocation, panoramaPlane->posY);
    glUniform1f(widthLocation, panoramaPlane->planeWidth);
    glUniform1f(heightLocation, panoramaPlane->planeHeight);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, frameTextureID);
    glUniform1i(panoramaTextureLocation, 0);
}

void DualSpherecastNew::renderFromFrameBuffer() {
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, renderFrameBufferID);
    glViewport(0, 0, width, height);
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    // Green marks whatever the plane leaves uncovered.
    glClearColor(0.0f, 255.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    bindRenderBufferShaderProgram();

    glEnableVertexAttribArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, panoramaVertexBufferID);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, panoramaIndexBufferID);
    glDrawElements(GL_TRIANGLES, panoramaIndexCount, GL_UNSIGNED_INT, nullptr);

    glDisableVertexAttribArray(0);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
}

void DualSpherecastNew::render(void* out) {
    printf("render");
    if (!ready) {
        printf("render ignored,renderer not initialised");
        return;
    }
    if (!out) {
        printf("render ignored,no output buffer");
        return;
    }
    // Another renderer may have made its own context current since setData.
    makeCurrent();
    const double t0 = glfwGetTime();
    render();
    renderFromFrameBuffer();

    glBindFramebuffer(GL_READ_FRAMEBUFFER, renderFrameBufferID);
    const GLenum status = glCheckFramebufferStatus(GL_READ_FRAMEBUFFER);
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

void DualSpherecastNew::updateRotation(float m[4][4]) {
    if (!m) {
        printf("update rotation ignored,no matrix");
        return;
    }
    std::memcpy(rotationMatrix, m, sizeof rotationMatrix);
}

void DualSpherecastNew::deleteGlObjects() {
    const GLuint buffers[] = {vertexBufferID, uvBufferID, indexBufferID, panoramaVertexBufferID,
                              panoramaIndexBufferID};
    glDeleteBuffers(5, buffers);
    const GLuint textures[] = {textureID, frameTextureID};
    glDeleteTextures(2, textures);
    const GLuint frameBuffers[] = {frameBufferID, renderFrameBufferID};
    glDeleteFramebuffers(2, frameBuffers);
    glDeleteRenderbuffers(1, &renderBufferID);
    glDeleteVertexArrays(1, &vertexArrayID);
    glDeleteProgram(programID);
    glDeleteProgram(panoramaProgramID);
}

void DualSpherecastNew::releaseContext() {
    ready = false;
    if (window) {
        GLFWwindow* previous = glfwGetCurrentContext();
        glfwMakeContextCurrent(window);
        if (glLoaded) deleteGlObjects();
        glfwMakeContextCurrent(previous != window ? previous : nullptr);
        glfwDestroyWindow(window);
        window = nullptr;
    }
    glLoaded = false;
    vertexBufferID = uvBufferID = indexBufferID = panoramaVertexBufferID = panoramaIndexBufferID = 0;
    textureID = frameTextureID = frameBufferID = renderFrameBufferID = renderBufferID = 0;
    vertexArrayID = programID = panoramaProgramID = 0;
    indexCount = panoramaIndexCount = 0;
    delete panoramaPlane;
    panoramaPlane = nullptr;
    if (holdsGlfw) {
        holdsGlfw = false;
        glfwcontext::release();
    }
}

void DualSpherecastNew::deInitOpenGL() {
    releaseContext();
    printf("deinit opengl");
}
