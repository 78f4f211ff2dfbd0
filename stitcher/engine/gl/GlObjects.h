// The GL engine's own GL objects, in the renderer's owning handles
// (GlHandles.h): each deletes its object when reset, given another or
// destroyed, and moves but never copies. Also the compiling and linking of
// a program.
#pragma once

#include <GL/glew.h>

#include <string>

#include "GlHandles.h"

namespace stitcher {
namespace gl {

using Buffer = GlBuffer;
using Texture = GlTexture;
using Framebuffer = GlFramebuffer;
using VertexArray = GlVertexArray;
using Program = glhandle::Handle<glhandle::ProgramKind>;

inline Buffer newBuffer() { return Buffer::create(); }
inline Texture newTexture() { return Texture::create(); }
inline Framebuffer newFramebuffer() { return Framebuffer::create(); }
inline VertexArray newVertexArray() { return VertexArray::create(); }

// Compiles and links a vertex and a fragment shader; an empty program and
// the driver's log in *error where either fails.
Program buildProgram(const char* vertex, const char* fragment, std::string* error);

}  // namespace gl
}  // namespace stitcher
