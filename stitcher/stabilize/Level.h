// World-up from the footage. A vertical line of the world lies on a great
// circle through the zenith, so the picture's gradient across it, a tangent
// of the sphere, is at right angles to up: up is the direction least along
// the gradients of vertical edges. The edges of many frames are gathered,
// each turned into the first frame's axes by that frame's camera
// orientation; up is then fitted robustly (edges that are not vertical, the
// horizon's and most others, do not fit and drop out), starting from the
// camera's own up and narrowing the edges taken in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Rotation.h"

namespace stitcher {

class UpFinder {
public:
    // The edges of a w x h grey panorama (row 0 at the +z pole) of a frame
    // whose camera orientation is `camera`; columns marked in `skip` (the
    // seams, whose edges are vertical in the camera, not the world) are left out.
    void add(const float* grey, int w, int h, const Rot& camera, const std::vector<uint8_t>& skip);
    // World-up in the first frame's axes, the one nearer its +z; false, with
    // the reason, where the edges do not tie it down.
    bool find(double up[3], std::string* why) const;
    size_t edges() const { return normals_.size() / 3; }

private:
    std::vector<float> normals_;  // unit gradient directions, three per edge
    std::vector<float> weights_;
};

// The path turned so that each frame's view has `up` up: each path
// orientation is turned the least way that takes its view's up (+z) onto `up`.
void levelPath(std::vector<Rot>& path, const double up[3]);

}  // namespace stitcher
