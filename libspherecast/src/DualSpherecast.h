#pragma once

#include <GL/glew.h>

#include "DualFisheyeModel.h"
#include "GlSetup.h"

struct GLFWwindow;

// Earlier single-pass stitcher: draws the stitch meshes straight into the
// read-back render buffer over a dark-blue clear colour, with shader programs
// read from files under ./src/shaders/ (relative to the working directory).
// Stitch layout only, no view rotation. Not reached through the facade.
class DualSpherecast {
public:
    DualSpherecast(const char* offset, int size, int frameWidth, int frameHeight);
    ~DualSpherecast();
    DualSpherecast(const DualSpherecast&) = delete;
    DualSpherecast& operator=(const DualSpherecast&) = delete;

    int initOpenGL(int argc, char** argv);
    void setData(void* data);
    void render(void* out);
    void render();
    void deInitOpenGL();

    void bindFrameBuffer();
    void bindBuffers();
    void bindTexture();
    void bindProgram() {}
    // Prints the pending GL error (also when there is none).
    void logerror();

    bool isReady() const { return ready; }

    int width;
    int height;
    int textureWidth;
    int textureHeight;
    DualFisheyeModel model;
    GLFWwindow* window = nullptr;
    GLuint programID = 0;
    GLuint simpleProgramID = 0;
    GLuint textureID = 0;
    GLuint vertexBufferID = 0;
    GLuint indexBufferID = 0;
    GLuint uvBufferID = 0;
    GLuint frameBufferID = 0;
    GLuint renderBufferID = 0;
    GLint blendWidthLocation = -1;
    GLint mvpLocation = -1;
    GLint simpleMvpLocation = -1;
    GLint textureLocation = -1;
    GLint transformMatLocation = -1;
    GLsizei indexCount = 0;
    float mvp[16];

private:
    void uploadFrame(const void* data);
    void releaseContext();

    GLuint vertexArrayID = 0;
    glsetup::ContextHold context;
    bool ready = false;
};
