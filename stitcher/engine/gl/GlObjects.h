// Owning handles of the GL engine's own GL objects: each deletes its object
// when reset, given another or destroyed, and moves but never copies.
// Deleting needs the object's context current, so owners drop their
// handles while it is. Also the compiling and linking of a program.
#pragma once

#include <GL/glew.h>

#include <string>
#include <utility>

namespace stitcher {
namespace gl {

template <void (*Destroy)(GLuint)>
class Handle {
public:
    Handle() = default;
    explicit Handle(GLuint name) : name_(name) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : name_(std::exchange(other.name_, 0)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            name_ = std::exchange(other.name_, 0);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    operator GLuint() const { return name_; }
    void reset() {
        if (name_ != 0) Destroy(name_);
        name_ = 0;
    }

private:
    GLuint name_ = 0;
};

inline void deleteBuffer(GLuint n) { glDeleteBuffers(1, &n); }
inline void deleteTexture(GLuint n) { glDeleteTextures(1, &n); }
inline void deleteFramebuffer(GLuint n) { glDeleteFramebuffers(1, &n); }
inline void deleteVertexArray(GLuint n) { glDeleteVertexArrays(1, &n); }
inline void deleteProgram(GLuint n) { glDeleteProgram(n); }

using Buffer = Handle<deleteBuffer>;
using Texture = Handle<deleteTexture>;
using Framebuffer = Handle<deleteFramebuffer>;
using VertexArray = Handle<deleteVertexArray>;
using Program = Handle<deleteProgram>;

inline Buffer newBuffer() { GLuint n = 0; glGenBuffers(1, &n); return Buffer(n); }
inline Texture newTexture() { GLuint n = 0; glGenTextures(1, &n); return Texture(n); }
inline Framebuffer newFramebuffer() { GLuint n = 0; glGenFramebuffers(1, &n); return Framebuffer(n); }
inline VertexArray newVertexArray() { GLuint n = 0; glGenVertexArrays(1, &n); return VertexArray(n); }

// Compiles and links a vertex and a fragment shader; an empty program and
// the driver's log in *error where either fails.
Program buildProgram(const char* vertex, const char* fragment, std::string* error);

}  // namespace gl
}  // namespace stitcher
