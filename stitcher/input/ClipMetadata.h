// The clip's metadata that still describes a video of some of its frames:
// when and where it was recorded, its title and comment, its chapters within
// the stretch, the timecode of the stretch's first frame, and its camera-
// motion track ("camm") where the video's view is the camera's own.
#pragma once

#include <string>
#include <vector>

#include "Clip.h"
#include "FrameTime.h"
#include "MovieMetadata.h"

namespace stitcher {

struct CarriedMetadata {
    MovieMetadata movie;             // what goes into the video
    std::vector<std::string> items;  // what is carried over, in words, one each
    bool motion = false;             // the clip has a camera-motion track
    bool motionKept = false;         // ... and the video carries it
};

// Whether a video's view is the camera's own: no view rotation (--yaw,
// --pitch, --roll), no view that turns per frame (stabilisation, levelling,
// a motion file), no display turn of the clip.
bool viewIsCamera(double yaw, double pitch, double roll, bool perFrameView, int displayTurn);

// For the frames first .. first + count - 1 at `fps`; `viewIsCamera`: the
// video's view is the camera's (no view rotation, stabilisation or levelling,
// no display turn). What cannot be read is left out.
CarriedMetadata carriedMetadata(Clip& clip, long long first, long long count, Rational fps, bool viewIsCamera);

}  // namespace stitcher
