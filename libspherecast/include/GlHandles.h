// Owning handles of GL objects, for the renderer and this project's own GL
// hosts. Each kind of object is created and deleted in one place (its Kind
// below); a handle deletes its object when it is reset, assigned another or
// destroyed, and handles move but never copy. Deleting needs the object's
// context current, so owners drop their handles while it is (a handle
// holding no object makes no GL call).
#pragma once

#include <GL/glew.h>

#include <utility>

namespace glhandle {

template <class Kind>
class Handle {
public:
    Handle() = default;
    // Takes ownership of an object made elsewhere (a linked program).
    explicit Handle(GLuint name) : name_(name) {}
    // A new object of this kind.
    static Handle create() { return Handle(Kind::create()); }

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

    GLuint get() const { return name_; }
    // The GL name, for GL calls (0 when the handle holds nothing).
    operator GLuint() const { return name_; }

    void reset() {
        if (name_ == 0) return;
        Kind::destroy(name_);
        name_ = 0;
    }

private:
    GLuint name_ = 0;
};

struct BufferKind {
    static GLuint create() { GLuint n = 0; glGenBuffers(1, &n); return n; }
    static void destroy(GLuint n) { glDeleteBuffers(1, &n); }
};
struct TextureKind {
    static GLuint create() { GLuint n = 0; glGenTextures(1, &n); return n; }
    static void destroy(GLuint n) { glDeleteTextures(1, &n); }
};
struct FramebufferKind {
    static GLuint create() { GLuint n = 0; glGenFramebuffers(1, &n); return n; }
    static void destroy(GLuint n) { glDeleteFramebuffers(1, &n); }
};
struct RenderbufferKind {
    static GLuint create() { GLuint n = 0; glGenRenderbuffers(1, &n); return n; }
    static void destroy(GLuint n) { glDeleteRenderbuffers(1, &n); }
};
struct VertexArrayKind {
    static GLuint create() { GLuint n = 0; glGenVertexArrays(1, &n); return n; }
    static void destroy(GLuint n) { glDeleteVertexArrays(1, &n); }
};
// Programs come from LoadShaders, which compiles and links them.
struct ProgramKind {
    static void destroy(GLuint n) { glDeleteProgram(n); }
};

}  // namespace glhandle

using GlBuffer = glhandle::Handle<glhandle::BufferKind>;
using GlTexture = glhandle::Handle<glhandle::TextureKind>;
using GlFramebuffer = glhandle::Handle<glhandle::FramebufferKind>;
using GlRenderbuffer = glhandle::Handle<glhandle::RenderbufferKind>;
using GlVertexArray = glhandle::Handle<glhandle::VertexArrayKind>;
using GlProgram = glhandle::Handle<glhandle::ProgramKind>;
