// Single-pass predecessor of DualSpherecastNew: the same stitch meshes and
// cross-fade, drawn directly into the read-back target.
#include "DualSpherecast.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "GlfwContext.h"
#include "RenderSteps.h"
#include "ShaderLoader.h"
#include "StitchLayout.h"
#include "log/MyLog.h"

namespace {
std::string readShaderFile(const char* path) {
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) {
        libmsg::Print(MYLOG_ERROR, "failed to open shader file:%s", path);
        return std::string();
    }
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

GlProgram loadShaderFiles(const char* vertexPath, const char* fragmentPath) {
    const std::string vertexCode = readShaderFile(vertexPath);
    const std::string fragmentCode = readShaderFile(fragmentPath);
    return GlProgram(LoadShaders(vertexCode.c_str(), fragmentCode.c_str()));
}
}  // namespace

DualSpherecast::DualSpherecast(const char* offset, int size, int frameWidth, int frameHeight)
    : RendererState(offset, size, frameWidth, frameHeight) {}

DualSpherecast::~DualSpherecast() { releaseContext(); }

int DualSpherecast::initOpenGL(int argc, char** argv) {
    releaseContext();

    if (const int failed = rendersteps::openContext(width, height, &window, &context)) {
        releaseContext();
        return failed;
    }

    bindFrameBuffer();
    vertexArray = rendersteps::enableBlendingWithVertexArray();
    glClearColor(0.0f, 0.0f, 0.4f, 0.0f);

    simpleProgramID = loadShaderFiles("./src/shaders/simple.vert", "./src/shaders/simple.frag");
    transformMatLocation = glGetUniformLocation(simpleProgramID, "uTransformMat");
    simpleMvpLocation = glGetUniformLocation(simpleProgramID, "MVP");
    programID = loadShaderFiles("./src/shaders/fisheye.vert", "./src/shaders/fisheye.frag");
    blendWidthLocation = glGetUniformLocation(programID, "uBlendWidth");
    mvpLocation = glGetUniformLocation(programID, "MVP");

    rendersteps::pixelMvp(width, height, mvp);

    bindBuffers();
    bindTexture();
    libmsg::Print(MYLOG_INFO, "init opengl success");
    ready = true;
    return 0;
}

void DualSpherecast::bindFrameBuffer() {
    renderBufferID = rendersteps::createColorRenderBuffer(width, height);
    libmsg::Print(MYLOG_INFO, "create frame buffer");
    frameBufferID = rendersteps::createFrameBuffer(GL_RENDERBUFFER, renderBufferID);
    if (!rendersteps::drawFrameBufferComplete()) return;
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glViewport(0, 0, width, height);
}

void DualSpherecast::bindBuffers() {
    libmsg::Print(MYLOG_INFO, "bind buffers");
    std::vector<float> vertices;
    std::vector<float> uvs;
    std::vector<unsigned int> indices;
    stitchlayout::appendStitchMeshes(model, width, height, &vertices, &uvs, &indices);
    indexCount = static_cast<GLsizei>(indices.size());
    rendersteps::uploadMesh(vertices, uvs, indices, &vertexBufferID, &uvBufferID, &indexBufferID);
}

void DualSpherecast::bindTexture() {
    libmsg::Print(MYLOG_INFO, "create texture");
    textureID = GlTexture::create();
    glBindTexture(GL_TEXTURE_2D, textureID);
    uploadFrame(nullptr);
    textureLocation = glGetUniformLocation(programID, "uTexture2D");
}

void DualSpherecast::logerror() {
    const GLenum code = glGetError();
    libmsg::Print(MYLOG_ERROR, "error:code:%d,desc:%s", static_cast<int>(code),
           reinterpret_cast<const char*>(glewGetErrorString(code)));
}

void DualSpherecast::uploadFrame(const void* data) {
    libmsg::Print(MYLOG_INFO, "set data,width:%d,height:%d", textureWidth, textureHeight);
    rendersteps::makeCurrent(window, context);
    glBindTexture(GL_TEXTURE_2D, textureID);
    logerror();
    rendersteps::loadBgrImage(textureWidth, textureHeight, data);
    logerror();
    rendersteps::clampAndMipmap();
    libmsg::Print(MYLOG_INFO, "set data success");
}

void DualSpherecast::setData(void* data) {
    if (!rendersteps::setDataAccepted(ready)) return;
    uploadFrame(data);
}

void DualSpherecast::render() {
    glClear(GL_COLOR_BUFFER_BIT);
    rendersteps::useProgramWithTexture(programID, mvpLocation, mvp, textureID, textureLocation);
    glUniform1f(blendWidthLocation, stitchlayout::stitchBlendWidth(model, height));
    rendersteps::drawMesh(vertexBufferID, uvBufferID, indexBufferID, indexCount);
}

void DualSpherecast::render(void* out) {
    if (!rendersteps::renderRequestAccepted(ready, out)) return;
    rendersteps::makeCurrent(window, context);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frameBufferID);
    logerror();
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    const GLenum status = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        libmsg::Print(MYLOG_ERROR, "error,draw frame buffer not complete:%d", static_cast<int>(status));
        return;
    }
    render();
    const double t0 = rendersteps::clockSeconds();
    libmsg::Print(MYLOG_INFO, "glReadPixel");
    if (!rendersteps::readBackBgr(frameBufferID, width, height, out)) return;
    libmsg::Print(MYLOG_INFO, "consume:%lf", rendersteps::clockSeconds() - t0);
}

void DualSpherecast::releaseContext() {
    ready = false;
    rendersteps::closeContext(&window, &context,
                              [this] { static_cast<SinglePassObjects&>(*this) = SinglePassObjects(); });
}

void DualSpherecast::deInitOpenGL() {
    releaseContext();
    libmsg::Print(MYLOG_INFO, "deinit opengl");
}
