#pragma once

#include <GL/glew.h>

#include <memory>
#include <vector>

#include "GlHandles.h"
#include "PanoramaPlane.h"
#include "RendererState.h"

// What the two-pass renderer owns for the life of its GL context, released
// as a whole (while the context is current) by resetting it.
struct TwoPassObjects {
    std::unique_ptr<PanoramaPlane> panoramaPlane;
    GlProgram programID;
    GlProgram panoramaProgramID;
    GlTexture textureID;
    GlFramebuffer frameBufferID;
    GlTexture frameTextureID;
    GlBuffer vertexBufferID;
    GlBuffer indexBufferID;
    GlBuffer uvBufferID;
    GlBuffer panoramaVertexBufferID;
    GlBuffer panoramaIndexBufferID;
    GLsizei panoramaIndexCount = 0;
    GLsizei indexCount = 0;
    GlRenderbuffer renderBufferID;
    GlFramebuffer renderFrameBufferID;
    GlVertexArray vertexArray;
};

// Two-pass GPU stitcher behind the exported Spherecast facade.
// Fields are public so that tests can check the GL state they describe.
class DualSpherecastNew : public RendererState, public TwoPassObjects {
public:
    enum RenderType { Stitch = 0, Stereo = 1 };

    DualSpherecastNew(const char* offset, int size, int frameWidth, int frameHeight, RenderType type);
    ~DualSpherecastNew();
    DualSpherecastNew(const DualSpherecastNew&) = delete;
    DualSpherecastNew& operator=(const DualSpherecastNew&) = delete;

    // 0 success; 1 windowing library, 2 window, 3 GL loader failed.
    int initOpenGL(int argc, char** argv);
    // Releases the GL objects, the context and this renderer's shared references.
    void deInitOpenGL();

    void setData(void* data);
    void render(void* out);
    void updateRotation(float m[4][4]);
    // The second pass reads the panorama bilinearly (wrapping across its
    // left and right edges) instead of at the nearest texel.
    void setLinearPanorama(bool linear);
    bool linearPanorama = false;

    void render();                 // first pass into frameTextureID
    void renderFromFrameBuffer();  // second pass into renderBufferID
    void bindShaderProgram();
    void bindRenderBufferShaderProgram();

    void initScene();
    void createBuffers(std::vector<float>* vertices, std::vector<float>* uvs, std::vector<unsigned int>* indices);
    void createStitchPlaneBuffers(std::vector<float>* vertices, std::vector<float>* uvs, std::vector<unsigned int>* indices);
    void createStereoBuffers(std::vector<float>* vertices, std::vector<float>* uvs, std::vector<unsigned int>* indices);
    void initRenderBufferScene();

    RenderType renderType;
    GLint panoramaMvpLocation = -1;
    GLint panoramaTextureLocation = -1;
    GLint posXLocation = -1, posYLocation = -1, widthLocation = -1, heightLocation = -1;
    GLint planeWidthLocation = -1, planeHeightLocation = -1, rotMatrixLocation = -1;
    float rotationMatrix[16];

private:
    void uploadFrame(const void* data);
    void makeCurrent();
    // Deletes GL objects, context and plane; drops the shared references.
    void releaseContext();
};
