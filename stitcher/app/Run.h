// One run of the stitcher, from the parsed command line to the exit code:
// clip, calibration, job, output, engine, the stages, commit and summary.
#pragma once

#include <atomic>

#include "Options.h"
#include "Status.h"

namespace stitcher {

// Runs the mode the options name. Its failure is returned, not printed (its
// code is the exit code); a run that `interrupted` stopped returns
// kExitInterrupted, and the caller knows by what.
Status runStitcher(const Options& opt, const std::atomic<bool>& interrupted);

}  // namespace stitcher
