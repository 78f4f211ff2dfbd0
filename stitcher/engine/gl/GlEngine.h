// The stitching engine on OpenGL.
#pragma once

#include <memory>
#include <string>

#include "Engine.h"

namespace stitcher {

// The GL engine: the libspherecast renderer for the panorama, and its own
// passes in the renderer's context for flat and planet pictures and for the
// seams' warp (GlPasses.h). It makes its OpenGL 3.3 context
// current on the calling thread, the only thread that may use it. Fails with
// the reason when no context can be had.
Status makeGlEngine(const EngineSpec& params, std::unique_ptr<Engine>& engine);

}  // namespace stitcher
