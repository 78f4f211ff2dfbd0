#pragma once

#include <string>

// Headless OpenGL 3.3 core contexts through EGL, for machines where no window
// can be opened (no X display: GPU servers, CI). Such a context has no
// default frame buffer; the renderers draw into frame buffer objects only.
//
// All contexts live on one display shared by the process: every open context
// holds one reference on it, and the last one to close terminates it.
namespace eglcontext {

// An EGLContext; null for none.
using Context = void*;

// Takes a reference on the shared display, opening it on the first one: a
// hardware device first, then the surfaceless platform, then software
// devices, the first where an OpenGL 3.3 core context can be made. False,
// with the reason in *reason, when there is none.
bool acquire(std::string* reason);
// Drops one reference; the last one terminates the display.
void release();
// Number of references now held.
int references();

// A new OpenGL 3.3 core context on the shared display (a reference must be
// held); null on failure, with the reason in *reason.
Context createContext(std::string* reason);
// Destroys a context that is current nowhere.
void destroyContext(Context context);

// Makes `context` current on the calling thread, without a surface.
bool makeCurrent(Context context);
// The context current on the calling thread, whoever made it.
Context currentContext();

// What is current on the calling thread (display, surfaces, context), saved
// so that it can be put back after a context of ours was made current.
struct Binding {
    void* display = nullptr;
    void* draw = nullptr;
    void* read = nullptr;
    Context context = nullptr;
};
Binding currentBinding();
// Makes `binding` current again, or nothing current when it holds no context.
void restore(const Binding& binding);

}  // namespace eglcontext
