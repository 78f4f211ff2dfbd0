// The stabilised run's view rotations: the camera's motion measured from
// the clip (a pass of its own over the frames, with its progress line) or
// read from a motion file, the path the view follows, and the correction of
// every frame, with the user's view rotation on top.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "Clip.h"
#include "Job.h"
#include "MotionFile.h"
#include "Options.h"
#include "Rotation.h"
#include "Status.h"

namespace stitcher {

struct ViewRotations {
    long long first = 0;              // clip frame of view[0]
    std::vector<Rot> view;            // per frame of the job: the engine's view rotation
    std::vector<MotionRow> rows;      // the motion file's lines, for --motion-out and --motion-plot
    std::string summary;              // what was removed, for the closing lines
};

// Whether a run turns its view per frame.
bool stabilizes(const Options& opt);

// Works out every frame's view rotation for the job; says on the console
// where the pictures hold too little texture to measure (the camera's own
// orientation is kept there).
Status planViewRotations(const Options& opt, Clip& clip, const Job& job, const std::atomic<bool>& interrupted,
                         ViewRotations& out);

}  // namespace stitcher
