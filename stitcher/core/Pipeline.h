// The run's three stages at work together: the reader decodes ahead on its
// own thread, the calling thread (which owns the engine, and with it any GL
// context) stitches, and the writer encodes on its own thread.
#pragma once

#include <atomic>

#include "ColorMatch.h"
#include "Console.h"
#include "Engine.h"
#include "Reader.h"
#include "Status.h"
#include "Writers.h"

namespace stitcher {

struct PipelineStats {
    long long done = 0;  // frames written
    double readBusy = 0, stitchBusy = 0, writeBusy = 0;  // seconds each stage worked
};

// Runs every frame of the reader through the engine into the sink, then
// finishes the sink. With `colour`, each frame's gains are measured as
// decoded and handed to the engine before it stitches the frame. Stops
// early on the first failure or when `interrupted` turns true
// (kExitInterrupted).
Status runPipeline(Reader& reader, ColorMatch* colour, Engine& engine, const EngineSpec& params, FrameSink& sink,
                   const std::atomic<bool>& interrupted, console::Progress& progress, PipelineStats& stats);

}  // namespace stitcher
