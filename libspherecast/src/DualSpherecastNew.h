#pragma once

#include <GL/glew.h>

#include <vector>

#include "DualFisheyeModel.h"
#include "GlSetup.h"

struct GLFWwindow;
class PanoramaPlane;

// Two-pass GPU stitcher behind the exported Spherecast facade.
// Fields are public so that tests can check the GL state they describe.
class DualSpherecastNew {
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

    void render();                 // first pass into frameTextureID
    void renderFromFrameBuffer();  // second pass into renderBufferID
    void bindShaderProgram();
    void bindRenderBufferShaderProgram();

    void initScene();
    void createBuffers(std::vector<float>* vertices, std::vector<float>* uvs, std::vector<unsigned int>* indices);
    void createStitchPlaneBuffers(std::vector<float>* vertices, std::vector<float>* uvs, std::vector<unsigned int>* indices);
    void createStereoBuffers(std::vector<float>* vertices, std::vector<float>* uvs, std::vector<unsigned int>* indices);
    void initRenderBufferScene();

    // True between a successful initOpenGL and deInitOpenGL.
    bool isReady() const { return ready; }

    int width;
    int height;
    int textureWidth;
    int textureHeight;
    DualFisheyeModel model;
    RenderType renderType;
    PanoramaPlane* panoramaPlane = nullptr;
    GLFWwindow* window = nullptr;
    GLuint programID = 0;
    GLuint panoramaProgramID = 0;
    GLuint textureID = 0;
    GLuint frameBufferID = 0;
    GLuint frameTextureID = 0;
    GLuint vertexBufferID = 0;
    GLuint indexBufferID = 0;
    GLuint uvBufferID = 0;
    GLuint panoramaVertexBufferID = 0;
    GLuint panoramaIndexBufferID = 0;
    GLint blendWidthLocation = -1;
    GLint mvpLocation = -1;
    GLint panoramaMvpLocation = -1;
    GLint textureLocation = -1;
    GLint panoramaTextureLocation = -1;
    GLint transformMatLocation = -1;
    GLsizei panoramaIndexCount = 0;
    GLsizei indexCount = 0;
    GLuint renderBufferID = 0;
    GLuint renderFrameBufferID = 0;
    GLint posXLocation = -1, posYLocation = -1, widthLocation = -1, heightLocation = -1;
    GLint planeWidthLocation = -1, planeHeightLocation = -1, rotMatrixLocation = -1;
    float rotationMatrix[16];
    float mvp[16];

private:
    void uploadFrame(const void* data);
    void makeCurrent();
    // Deletes GL objects, context and plane; drops the shared references.
    void releaseContext();
    void deleteGlObjects();

    GLuint vertexArrayID = 0;
    glsetup::ContextHold context;
    bool ready = false;
};
