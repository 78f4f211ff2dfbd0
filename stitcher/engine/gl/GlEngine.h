// The stitching engine on OpenGL.
#pragma once

#include <memory>
#include <string>

#include "Engine.h"

namespace stitcher {

// The GL engine: the libspherecast renderer. It makes its OpenGL 3.3 context
// current on the calling thread, the only thread that may use it. Null with
// the reason when no context can be had; `glRenderer`, when given, receives
// the driver's name for the device (GL_RENDERER).
std::unique_ptr<Engine> makeGlEngine(const EngineSpec& params, std::string& error, std::string* glRenderer = nullptr);

}  // namespace stitcher
