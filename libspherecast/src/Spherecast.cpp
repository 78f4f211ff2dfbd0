#include "Spherecast.h"

#include <cstdio>
#include <new>

#include "DualSpherecastNew.h"
#include "MyLog.h"
#include "spherecast_internal.h"

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

Spherecast::~Spherecast() { delete renderer; }

bool Spherecast::initRenderer(int argc, char** argv) {
    if (!renderer) return false;
    try {
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
    if (renderer) renderer->render(out);
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
        if (renderer.renderer) renderer.renderer->setLinearPanorama(linear);
    } catch (...) {
        libmsg::Print(MYLOG_ERROR, "failed to set the panorama lookup");
    }
}

}  // namespace spherecast
