// One run of the stitcher, from the parsed command line to the exit code:
// clip, calibration, job, output, engine, the stages, commit and summary.
#pragma once

#include <atomic>

#include "Options.h"

namespace stitcher {

// Returns the exit code. Every message has been printed when it returns,
// except for a run that `interrupted` stopped (kExitInterrupted): the caller
// knows by what.
int runStitcher(const Options& opt, const std::atomic<bool>& interrupted);

}  // namespace stitcher
