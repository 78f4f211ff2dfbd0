// One clip over many machines, as the command line runs it: --plan-out
// decides once what a whole run decides, --plan --segment K/N stitches one
// segment as the plan has it, --join puts the segments together with the
// clip's sound. The modes themselves are farm/'s (FarmModes.h): this is
// their adapter, from the options and to the console, with the whole run's
// steps (calibration, job, fall-off, view, colour, the stitch) handed in.
#pragma once

#include <atomic>

#include "Clip.h"
#include "Options.h"
#include "Status.h"

namespace stitcher {

Status runPlan(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted);
Status runSegment(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted);
Status runJoin(const Options& opt, const std::atomic<bool>& interrupted);

}  // namespace stitcher
