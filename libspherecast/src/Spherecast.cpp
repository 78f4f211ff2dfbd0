// The exported Spherecast class: a thin, exception-proof shell over the
// two-pass renderer (DualSpherecastNew). Every call checks that a renderer
// was made and that it is ready; a failure becomes a log message and a
// no-op (or false), never an exception into the host, whose binary
// interface is fixed. Settings that the fixed class layout has no room for
// (the bilinear panorama lookup) are kept in a table beside it.
#include "Spherecast.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <set>

#include "DualSpherecastNew.h"
#include "log/MyLog.h"
#include "spherecast_internal.h"

namespace {

// The renderers whose host asked for the bilinear panorama lookup (see
// spherecast_internal.h). Kept beside the class, whose layout is fixed; each
// renderer takes its setting when it is set up and before each frame.
std::mutex g_linearLock;
std::set<const Spherecast*> g_linear;

bool linearLookupFor(const Spherecast* s) {
    std::lock_guard<std::mutex> hold(g_linearLock);
    return g_linear.count(s) != 0;
}

}  // namespace

// Nothing may propagate into the host: failures become messages and no-ops.
Spherecast::Spherecast(const char* offset, int size, int frameWidth, int frameHeight, Spherecast::RenderType type)
    : renderer(nullptr) {
    try {
        renderer = new DualSpherecastNew(offset, size, frameWidth, frameHeight,
                                         static_cast<int>(type) == 1 ? DualSpherecastNew::Stereo
                                                                     : DualSpherecastNew::Stitch);
    } catch (...) {
        libmsg::Print(MYLOG_ERROR, "failed to create renderer");
    }
}

Spherecast::~Spherecast() {
    delete renderer;
    std::lock_guard<std::mutex> hold(g_linearLock);
    g_linear.erase(this);
}

bool Spherecast::initRenderer(int argc, char** argv) {
    if (!renderer) return false;
    try {
        renderer->setLinearPanorama(linearLookupFor(this));
        return renderer->initOpenGL(argc, argv) == 0;
    } catch (...) {
        libmsg::Print(MYLOG_ERROR, "failed to init renderer");
        renderer->deInitOpenGL();
        return false;
    }
}

void Spherecast::setData(void* frame) {
    if (renderer) renderer->setData(frame);
}

void Spherecast::render(void* out) {
    if (!renderer) return;
    try {
        renderer->setLinearPanorama(linearLookupFor(this));
    } catch (...) {
        libmsg::Print(MYLOG_ERROR, "failed to set the panorama lookup");
    }
    renderer->render(out);
}

void Spherecast::deInitRenderer() {
    if (renderer) renderer->deInitOpenGL();
}

void Spherecast::updateRotation(float m[4][4]) {
    if (renderer) renderer->updateRotation(m);
}

namespace spherecast {

void SetLinearPanoramaLookup(Spherecast& renderer, bool linear) {
    try {
        std::lock_guard<std::mutex> hold(g_linearLock);
        if (linear)
            g_linear.insert(&renderer);
        else
            g_linear.erase(&renderer);
    } catch (...) {
        libmsg::Print(MYLOG_ERROR, "failed to set the panorama lookup");
    }
}

}  // namespace spherecast
