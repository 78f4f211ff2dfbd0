// The join of a plan's segments into one video: the segments' packets as
// they are (no re-encoding), at the plan's times, and the clip's sound for
// the whole range encoded once, so that it runs on across the borders.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Clip.h"
#include "Plan.h"
#include "Status.h"
#include "Warn.h"

namespace stitcher {

// Checks that `files` are every segment of `plan`, each once and whole.
// On success `ordered` holds them in the plan's order and `found` one line
// per segment; kExitPlan naming every segment that is missing, doubled, of
// another plan, not a segment at all or cut short.
Status checkSegments(const Plan& plan, const std::vector<std::string>& files, std::vector<std::string>& ordered,
                     std::vector<std::string>& found);

struct JoinSpec {
    std::string path;   // where the video is written
    std::string name;   // the output as the user knows it
    Clip* clip = nullptr;  // the clip where the plan carries its sound or metadata
    Warn warn;
    std::function<void()> frameDone;
};

// Writes the checked segments (checkSegments' `ordered`) as one video.
// Stops with kExitInterrupted when `interrupted` turns true.
Status joinSegments(const Plan& plan, const std::vector<std::string>& ordered, const JoinSpec& joining,
                    const std::atomic<bool>& interrupted);

}  // namespace stitcher
