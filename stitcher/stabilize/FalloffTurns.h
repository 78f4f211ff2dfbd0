// The camera's turn over the short runs of frames that the lenses' fall-off
// is measured on (FalloffEstimator): the motion analysis over each run.
#pragma once

#include <functional>
#include <memory>

#include "Engine.h"
#include "FalloffEstimator.h"

namespace stitcher {

// A maker of followers, each a motion analysis of its own for runs of
// frames of the clip `clip` describes (its calibration and frame size), one
// run after another, on `threads` threads (0: all cores). A follower whose
// analysis cannot be made (out of memory) or that loses the camera on a
// frame measures no turn.
std::function<std::unique_ptr<TurnFollower>()> motionTurns(const EngineSpec& clip, int threads);

// The runs for a clip at `fps`: a quarter of a second on (each frame of it
// decoded), followed in two steps.
TurnRuns falloffRuns(const EngineSpec& clip, double fps, int threads);

}  // namespace stitcher
