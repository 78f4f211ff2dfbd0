// The per-frame columns of a plan, measured over the whole range once.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "Clip.h"
#include "ColorMatch.h"
#include "Plan.h"
#include "Reader.h"
#include "Status.h"
#include "Warn.h"

class DualFisheyeModel;

namespace stitcher {

struct FrameMeasuring {
    ReadSpec range;                        // the frames (sound is not read)
    const DualFisheyeModel* model = nullptr;  // with colour: the calibration's lens model
    ColorMatch* color = nullptr;          // null: times only
    LensFalloff falloff;                   // with colour: what the engines undo, so that the gains leave it out
    int threads = 1;                       // decoding threads, each with its own session of the clip
    Warn warn;
    std::function<void()> frameDone;
};

// Fills plan.frames ("pts", "duration", and with colour "gains") and
// plan.timescale. The gains are those a whole run measures: the frames are
// decoded and measured in stretches of the range at once, then smoothed in
// frame order through `colour`.
Status measurePlanFrames(Clip& clip, const FrameMeasuring& how, const std::atomic<bool>& interrupted, Plan& plan);

}  // namespace stitcher
