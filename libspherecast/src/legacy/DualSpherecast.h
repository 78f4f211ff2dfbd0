#pragma once

#include <GL/glew.h>

#include "GlHandles.h"
#include "RendererState.h"

// What the single-pass renderer owns for the life of its GL context,
// released as a whole (while the context is current) by resetting it.
struct SinglePassObjects {
    GlProgram programID;
    GlProgram simpleProgramID;
    GlTexture textureID;
    GlBuffer vertexBufferID;
    GlBuffer indexBufferID;
    GlBuffer uvBufferID;
    GlFramebuffer frameBufferID;
    GlRenderbuffer renderBufferID;
    GLsizei indexCount = 0;
    GlVertexArray vertexArray;
};

// Earlier single-pass stitcher: draws the stitch meshes straight into the
// read-back render buffer over a dark-blue clear colour, with shader programs
// read from files under ./src/shaders/ (relative to the working directory;
// they are kept in shaders/ beside this file). Stitch layout only, no view
// rotation. Not reached through the facade.
class DualSpherecast : public RendererState, public SinglePassObjects {
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

    GLint simpleMvpLocation = -1;

private:
    void uploadFrame(const void* data);
    void releaseContext();
};
