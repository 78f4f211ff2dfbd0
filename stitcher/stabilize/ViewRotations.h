// The stabilised run's view rotations: the camera's motion measured from
// the clip (a pass of its own over the frames) or read from a motion file,
// the path the view follows, and the correction of every frame, with the
// user's view rotation on top.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Clip.h"
#include "Engine.h"
#include "FrameTime.h"
#include "MotionFile.h"
#include "Rotation.h"
#include "Status.h"
#include "ViewPath.h"
#include "Warn.h"

namespace stitcher {

// What the view follows.
struct Stabilizing {
    StabilizeMode mode = StabilizeMode::Off;
    bool level = false;          // world-up from the footage kept up
    double smoothSeconds = 1.0;  // how long a turn must last to be kept (StabilizeMode::Smooth)
    std::string motionIn;        // the corrections from this motion file instead of measuring
    int threads = 0;             // the analysis's worker threads; 0: all cores
    Rot user;                    // the user's view rotation, on top of every frame's correction

    // Whether the view turns per frame.
    bool any() const { return mode != StabilizeMode::Off || level || !motionIn.empty(); }
};

// The frames a run stitches: clip frames first .. first + count - 1 at fps,
// through an engine made with `engine` (per frame rotation or not).
struct StabilizedRange {
    long long first = 1, count = 0;
    Rational fps;
    EngineSpec engine;
};

// What the pass tells as it goes; each may be empty.
struct StabilizeEvents {
    std::function<void(const std::string&)> say;       // a finding, for the user
    Warn warn;                                         // the reader's warnings
    std::function<void(long long frames)> begin;       // the analysis pass starts over this many frames
    std::function<void()> frameDone;                   // a frame is analysed
    std::function<void()> end;                         // the analysis pass ended (before its failure is returned)
};

struct ViewRotations {
    long long first = 0;              // clip frame of view[0]
    std::vector<Rot> view;            // per frame of the range: the engine's view rotation
    std::vector<float> fov;           // per frame of the range where a camera sets it: a flat or planet view's field
    std::vector<MotionRow> rows;      // the motion file's lines, for --motion-out and --motion-plot
    std::string summary;              // what was removed, for the closing lines
};

// Works out every frame's view rotation for the range; says where the
// pictures hold too little texture to measure (the camera's own
// orientation is kept there).
Status planViewRotations(const Stabilizing& how, Clip& clip, const StabilizedRange& range,
                         const std::atomic<bool>& interrupted, const StabilizeEvents& events, ViewRotations& out);

}  // namespace stitcher
