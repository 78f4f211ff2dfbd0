// The run's three stages at work together: the reader decodes ahead on its
// own thread, the calling thread (which owns the engine, and with it any GL
// context) stitches, and the writer encodes on its own thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "ColorMatch.h"
#include "Engine.h"
#include "FrameSource.h"
#include "SeamTracker.h"
#include "Status.h"
#include "Writers.h"

namespace stitcher {

struct PipelineStats {
    long long done = 0;  // frames written
    double readBusy = 0, stitchBusy = 0, writeBusy = 0;  // seconds each stage worked
};

// What the pipeline tells its caller as the frames go through; each may be empty.
struct PipelineEvents {
    std::function<void()> frameDone;  // a frame is stitched
    std::function<void()> end;        // no frame follows (before the sink finishes)
    // A frame's colour gains, where they have moved noticeably from the last told.
    std::function<void(long long frame, const std::string& gains)> gains;
};

// Every frame of a source (the reader) through an engine into a sink. The
// source's thread starts reading as soon as the pipeline is made, so that the
// first frames are ready by the time the engine and the encoder are set up;
// run() then stitches and writes them. Frames are held in a few buffers that
// go round: source -> engine -> writer -> source.
class Pipeline {
public:
    // Each frame's view rotation, by clip frame number, for an engine made
    // for one per frame: put with the frame as it is read and handed to the
    // engine before it stitches the frame. Called on the reader's thread;
    // false fails the run. `fov`, 0 on the call, may take the frame's field
    // of view, for an engine that draws a flat or planet view.
    using RotationOf = std::function<bool(long long frame, float m[4][4], float* fov)>;

    Pipeline(FrameSource& source, const std::atomic<bool>& interrupted, RotationOf rotationOf = nullptr);
    // Stops the reader if run() was never called (a set-up that failed).
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // Runs the frames through, then finishes the sink. With `colour`, each
    // frame's gains are taken (measured as decoded, or planned) and handed
    // to the engine before it stitches the frame. Stops early on the first failure or when
    // `interrupted` turns true (kExitInterrupted). Once only.
    Status run(FrameGains* color, Engine& engine, const EngineSpec& params, FrameSink& sink,
               const PipelineEvents& events, PipelineStats& stats);
    // Before run(): each frame's seam disparity is taken from `seams`
    // (measured, or planned) and handed to the engine before it stitches the frame.
    void setSeams(FrameSeams* seams);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace stitcher
