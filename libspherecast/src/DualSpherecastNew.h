// The two-pass renderer behind the exported Spherecast class.
//
// Principle of operation. Everything that depends only on the calibration and
// the output size is built once, in initOpenGL, while the context is current:
// the lens model (RendererState), one mesh per lens band whose vertices lie
// on the output panorama and whose texture coordinates point into the
// dual-lens frame (FisheyePlane, merged into one list), the frame texture,
// and a full-viewport plane for the second pass (PanoramaPlane). Per frame
// only three things happen:
//   1. setData uploads the BGR frame into the input texture;
//   2. the first pass draws the lens meshes into an off-screen panorama
//      texture, the two lenses faded into each other across the seam band
//      by alpha blending (Stitch), or side by side without a seam (Stereo);
//   3. the second pass draws the plane, which looks the panorama up through
//      the view rotation (updateRotation) into a render buffer, read back
//      as BGR rows into the caller's buffer.
// The green clear colour of the second pass shows wherever the plane does
// not reach, so a geometry fault is visible rather than silently black.
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
