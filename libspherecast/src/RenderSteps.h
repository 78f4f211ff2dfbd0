#pragma once

#include <GL/glew.h>

#include <functional>
#include <vector>

#include "GlHandles.h"

struct GLFWwindow;

// The steps both renderers take the same way: opening and closing their
// context, setting up their objects, drawing and reading back each frame.
// The steps that print progress messages print exactly the renderers'
// texts, in the renderers' order.
namespace rendersteps {

// What openContext set up besides the window, so that closeContext can undo
// exactly that.
struct ContextHold {
    void* headless = nullptr;  // the EGL context, when no window could be opened
    bool holdsGlfw = false;    // a reference on the windowing library
    bool holdsEgl = false;     // a reference on the shared EGL display
    bool glLoaded = false;     // the GL entry points are loaded
};

// Opens an OpenGL 3.3 core context and makes it current, printing each step:
// a hidden width x height window where the windowing library can open one,
// else a headless EGL context (no default frame buffer). *window and *hold
// record what was set up as each step succeeds, so that after a failure the
// caller can release it. Returns 0, or the step of the window path that
// failed when the headless path fails too: 1 (windowing library), 2 (window),
// 3 (GL loader, window path only).
int openContext(int width, int height, GLFWwindow** window, ContextHold* hold);

// Undoes openContext: with the renderer's context current, runs deleteObjects
// when the entry points were loaded, then gives the calling thread back the
// context it had (none if that was the renderer's), destroys the window or
// the headless context and drops the references held. Clears *hold.
void closeContext(GLFWwindow** window, ContextHold* hold, const std::function<void()>& deleteObjects);

// Makes the renderer's context current on the calling thread unless it is;
// false when that fails.
bool makeCurrent(GLFWwindow* window, const ContextHold& hold);

// Monotonic seconds, for frame timings.
double clockSeconds();

// Alpha blending for the cross-fade and multisampling on; returns a new
// vertex array, left bound.
GlVertexArray enableBlendingWithVertexArray();

// Column-major projection of width x height output pixels centred on the
// origin, seen from z = -1 (which mirrors x).
void pixelMvp(int width, int height, float out[16]);

// A new static buffer holding `data`, left bound to `target`.
template <class T>
GlBuffer staticBuffer(GLenum target, const std::vector<T>& data) {
    GlBuffer buffer = GlBuffer::create();
    glBindBuffer(target, buffer);
    glBufferData(target, static_cast<GLsizeiptr>(data.size() * sizeof(T)), data.data(), GL_STATIC_DRAW);
    return buffer;
}

// Copies a mesh into three new static buffers (positions, texture
// coordinates, indices).
void uploadMesh(const std::vector<float>& vertices, const std::vector<float>& uvs,
                const std::vector<unsigned int>& indices, GlBuffer* vertexBuffer, GlBuffer* uvBuffer,
                GlBuffer* indexBuffer);

// Starts a pass: drawing into colour attachment 0 of `frameBuffer` over the
// whole width x height output, cleared to (r, g, b, a).
void beginPass(GLuint frameBuffer, int width, int height, float r, float g, float b, float a);
// Ends a pass: the default frame buffer and no buffers bound.
void endPass();

// Draws an indexed mesh with three floats of position at attribute 0 and,
// unless uvBuffer is 0, three of texture data at attribute 1.
void drawMesh(GLuint vertexBuffer, GLuint uvBuffer, GLuint indexBuffer, GLsizei indexCount);

// Uses `program` with its MVP matrix and `texture` on unit 0.
void useProgramWithTexture(GLuint program, GLint mvpLocation, const float mvp[16], GLuint texture,
                           GLint textureLocation);

// Loads a BGR frame (null: storage only) into the bound texture.
void loadBgrImage(int width, int height, const void* data);
// Edge clamping, trilinear filtering and fresh mipmaps for the bound texture.
void clampAndMipmap();

// A new RGBA render buffer of width x height, left bound.
GlRenderbuffer createColorRenderBuffer(int width, int height);
// A new frame buffer, left bound for drawing, with `object` (a GL_TEXTURE_2D
// texture or, for any other kind, a render buffer) as colour attachment 0.
GlFramebuffer createFrameBuffer(GLenum attachKind, GLuint object);
// Whether the bound draw frame buffer is complete; prints its status if not.
bool drawFrameBufferComplete();

// The check that opens setData: prints the reason for refusing when the
// renderer is not ready.
bool setDataAccepted(bool ready);
// The checks that open render(out): prints "render", then the reason for
// refusing when the renderer is not ready or there is no output buffer.
bool renderRequestAccepted(bool ready, const void* out);
// Reads the frame buffer's colour attachment 0 into `out` as BGR rows
// (4-byte aligned, bottom row first); false, printed, when it is not complete.
bool readBackBgr(GLuint frameBuffer, int width, int height, void* out);

}  // namespace rendersteps
