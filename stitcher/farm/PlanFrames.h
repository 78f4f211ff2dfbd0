// The per-frame columns of a plan, measured over the whole range once.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "Clip.h"
#include "ColorMatch.h"
#include "Plan.h"
#include "Reader.h"
#include "SeamTracker.h"
#include "Status.h"
#include "Warn.h"

class DualFisheyeModel;

namespace stitcher {

struct FrameMeasuring {
    ReadSpec range;                        // the frames (sound is not read)
    const DualFisheyeModel* model = nullptr;  // with colour or seams: the calibration's lens model
    ColorMatch* color = nullptr;          // null: times only
    LensFalloff falloff;                   // with colour: what the engines undo, so that the gains leave it out
    // The seams that the segments line up (plan.seam "auto" or "fixed"):
    // the panorama's size they are measured at, and the tracker's settings.
    int size = 0;
    SeamSettings seams;
    std::string* seamReport = nullptr;     // with auto seams: what the tracker found, in words
    int threads = 1;                       // decoding threads, each with its own session of the clip
    Warn warn;
    std::function<void()> frameDone;
};

// How many times measurePlanFrames() reads each frame (for the progress line).
int planFramePasses(const Plan& plan, const FrameMeasuring& how);

// Fills plan.frames ("pts", "duration", and with colour "gains") and
// plan.timescale, and with plan.seam "auto" plan.seamSteps. The gains and
// the seams are those a whole run measures: the frames are decoded and
// measured in stretches of the range at once, then smoothed in frame order
// (through `colour`, and a tracker of its own). With auto seams the frames
// are read twice: the gains leave out the rows where the seams' smoothed
// disparity is large, which is known only once every frame before has been
// measured.
Status measurePlanFrames(Clip& clip, const FrameMeasuring& how, const std::atomic<bool>& interrupted, Plan& plan);

}  // namespace stitcher
