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

#include <cstdio>
#include <cstring>

#include "GlfwContext.h"
#include "RenderSteps.h"
#include "ShaderBuilder.h"
#include "ShaderLoader.h"
#include "StitchLayout.h"
#include "log/MyLog.h"

namespace {
const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

GlFramebuffer createFrameBufferStatusChecked(GLenum attachKind, GLuint object) {
    GlFramebuffer frameBuffer = rendersteps::createFrameBuffer(attachKind, object);
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    rendersteps::drawFrameBufferComplete();
    return frameBuffer;
}

GlProgram buildProgram(const std::string& vertexCode, const std::string& fragmentCode) {
    return GlProgram(LoadShaders(vertexCode.c_str(), fragmentCode.c_str()));
}
}  // namespace

DualSpherecastNew::DualSpherecastNew(const char* offset, int size, int frameWidth, int frameHeight,
                                     RenderType type)
    : RendererState(offset, size, frameWidth, frameHeight), renderType(type) {
    std::memcpy(rotationMatrix, kIdentity, sizeof rotationMatrix);
    if (renderType == Stereo) height *= 2;
}

DualSpherecastNew::~DualSpherecastNew() { releaseContext(); }

int DualSpherecastNew::initOpenGL(int argc, char** argv) {
    // A repeated initialisation replaces the first set of objects instead of leaking it.
    releaseContext();

    if (const int failed = rendersteps::openContext(width, height, &window, &context)) {
        releaseContext();
        return failed;
    }

    vertexArray = rendersteps::enableBlendingWithVertexArray();

    panoramaProgramID =
        buildProgram(ShaderBuilder::buildPanoramaVertexCode(), ShaderBuilder::buildPanoramaFragmentCode());
    transformMatLocation = glGetUniformLocation(panoramaProgramID, "uTransformMat");
    panoramaMvpLocation = glGetUniformLocation(panoramaProgramID, "MVP");
    panoramaTextureLocation = glGetUniformLocation(panoramaProgramID, "uTexture2D");
    posXLocation = glGetUniformLocation(panoramaProgramID, "uPosX");
    posYLocation = glGetUniformLocation(panoramaProgramID, "uPosY");
    widthLocation = glGetUniformLocation(panoramaProgramID, "uWidth");
    heightLocation = glGetUniformLocation(panoramaProgramID, "uHeight");

    if (renderType == Stereo) {
        programID = buildProgram(ShaderBuilder::buildStereoVertexCode(), ShaderBuilder::buildStereoFragmentCode());
        planeWidthLocation = glGetUniformLocation(programID, "uPlaneWidth");
        planeHeightLocation = glGetUniformLocation(programID, "uPlaneHeight");
        rotMatrixLocation = glGetUniformLocation(programID, "uRotMatrix");
    } else {
        programID = buildProgram(ShaderBuilder::buildFisheyeVertexCode(), ShaderBuilder::buildFisheyeFragmentCode());
        blendWidthLocation = glGetUniformLocation(programID, "uBlendWidth");
    }
    mvpLocation = glGetUniformLocation(programID, "MVP");
    textureLocation = glGetUniformLocation(programID, "uTexture2D");

    rendersteps::pixelMvp(width, height, mvp);

    std::memcpy(rotationMatrix, kIdentity, sizeof rotationMatrix);

    initScene();
    initRenderBufferScene();
    ready = true;
    return 0;
}

namespace {

// Filter and wrap of the bound first-pass texture.
void setPanoramaFilter(bool linear) {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, linear ? GL_REPEAT : GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, linear ? GL_LINEAR : GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, linear ? GL_LINEAR : GL_NEAREST);
}

}  // namespace

void DualSpherecastNew::createBuffers(std::vector<float>* vertices, std::vector<float>* uvs,
                                      std::vector<unsigned int>* indices) {
    if (renderType == Stereo)
        createStereoBuffers(vertices, uvs, indices);
    else
        createStitchPlaneBuffers(vertices, uvs, indices);
}

void DualSpherecastNew::createStitchPlaneBuffers(std::vector<float>* vertices, std::vector<float>* uvs,
                                                 std::vector<unsigned int>* indices) {
    stitchlayout::appendStitchMeshes(model, width, height, vertices, uvs, indices);
}

void DualSpherecastNew::createStereoBuffers(std::vector<float>* vertices, std::vector<float>* uvs,
                                            std::vector<unsigned int>* indices) {
    stitchlayout::appendStereoMeshes(model, height, vertices, uvs, indices);
}

void DualSpherecastNew::initScene() {
    std::vector<float> vertices;
    std::vector<float> uvs;
    std::vector<unsigned int> indices;
    createBuffers(&vertices, &uvs, &indices);
    indexCount = static_cast<GLsizei>(indices.size());
    rendersteps::uploadMesh(vertices, uvs, indices, &vertexBufferID, &uvBufferID, &indexBufferID);

    libmsg::Print(MYLOG_INFO, "create texture");
    textureID = GlTexture::create();
    glBindTexture(GL_TEXTURE_2D, textureID);
    uploadFrame(nullptr);

    frameTextureID = GlTexture::create();
    glBindTexture(GL_TEXTURE_2D, frameTextureID);
    setPanoramaFilter(linearPanorama);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, width, height, 0, GL_RGB, GL_UNSIGNED_BYTE, nullptr);

    libmsg::Print(MYLOG_INFO, "create frame buffer");
    frameBufferID = createFrameBufferStatusChecked(GL_TEXTURE_2D, frameTextureID);
}

void DualSpherecastNew::initRenderBufferScene() {
    panoramaPlane.reset(
        new PanoramaPlane(static_cast<float>(width), static_cast<float>(height), 4, 2, 0.0f, 0.0f));
    panoramaIndexCount = static_cast<GLsizei>(panoramaPlane->indices.size());

    panoramaVertexBufferID = rendersteps::staticBuffer(GL_ARRAY_BUFFER, panoramaPlane->vertices);
    panoramaIndexBufferID = rendersteps::staticBuffer(GL_ELEMENT_ARRAY_BUFFER, panoramaPlane->indices);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);

    renderBufferID = rendersteps::createColorRenderBuffer(width, height);

    libmsg::Print(MYLOG_INFO, "create frame buffer");
    renderFrameBufferID = createFrameBufferStatusChecked(GL_RENDERBUFFER, renderBufferID);
}

void DualSpherecastNew::makeCurrent() {
    rendersteps::makeCurrent(window, context);
}

void DualSpherecastNew::uploadFrame(const void* data) {
    libmsg::Print(MYLOG_INFO, "set data,width:%d,height:%d", textureWidth, textureHeight);
    makeCurrent();
    glBindTexture(GL_TEXTURE_2D, textureID);
    rendersteps::loadBgrImage(textureWidth, textureHeight, data);
    rendersteps::clampAndMipmap();
    libmsg::Print(MYLOG_INFO, "set data success");
}

void DualSpherecastNew::setData(void* data) {
    if (!rendersteps::setDataAccepted(ready)) return;
    uploadFrame(data);
}

void DualSpherecastNew::bindShaderProgram() {
    rendersteps::useProgramWithTexture(programID, mvpLocation, mvp, textureID, textureLocation);
    if (renderType == Stereo) {
        glUniform1f(planeWidthLocation, static_cast<float>(width));
        glUniform1f(planeHeightLocation, static_cast<float>(height) * 0.5f);
        glUniformMatrix4fv(rotMatrixLocation, 1, GL_FALSE, stitchlayout::kStereoRotation);
    } else {
        // One band width for all three meshes, taken from lens 0.
        glUniform1f(blendWidthLocation, stitchlayout::stitchBlendWidth(model, height));
    }
}

void DualSpherecastNew::render() {
    rendersteps::beginPass(frameBufferID, width, height, 0.0f, 0.0f, 0.0f, 0.0f);
    bindShaderProgram();
    rendersteps::drawMesh(vertexBufferID, uvBufferID, indexBufferID, indexCount);
    rendersteps::endPass();
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
    // Green marks whatever the plane leaves uncovered.
    rendersteps::beginPass(renderFrameBufferID, width, height, 0.0f, 255.0f, 0.0f, 0.0f);
    bindRenderBufferShaderProgram();
    rendersteps::drawMesh(panoramaVertexBufferID, 0, panoramaIndexBufferID, panoramaIndexCount);
    rendersteps::endPass();
}

void DualSpherecastNew::render(void* out) {
    if (!rendersteps::renderRequestAccepted(ready, out)) return;
    // Another renderer may have made its own context current since setData.
    makeCurrent();
    const double t0 = rendersteps::clockSeconds();
    render();
    renderFromFrameBuffer();

    if (!rendersteps::readBackBgr(renderFrameBufferID, width, height, out)) return;
    libmsg::Print(MYLOG_INFO, "consume:%lf", rendersteps::clockSeconds() - t0);
}

void DualSpherecastNew::setLinearPanorama(bool linear) {
    if (linear == linearPanorama) return;
    linearPanorama = linear;
    if (!frameTextureID) return;  // set when the texture is made
    makeCurrent();
    glBindTexture(GL_TEXTURE_2D, frameTextureID);
    setPanoramaFilter(linear);
}

void DualSpherecastNew::updateRotation(float m[4][4]) {
    if (!m) {
        libmsg::Print(MYLOG_ERROR, "update rotation ignored,no matrix");
        return;
    }
    std::memcpy(rotationMatrix, m, sizeof rotationMatrix);
}

void DualSpherecastNew::releaseContext() {
    ready = false;
    rendersteps::closeContext(&window, &context,
                              [this] { static_cast<TwoPassObjects&>(*this) = TwoPassObjects(); });
}

void DualSpherecastNew::deInitOpenGL() {
    releaseContext();
    libmsg::Print(MYLOG_INFO, "deinit opengl");
}
