// The path the view follows through a stabilised clip, and the correction
// that puts each frame's view on it.
//
// A frame's panorama shows the world turned by the camera's orientation C
// (it looks along C d where the first frame looked along d). The view is
// turned by the correction M = C^T S, so that the output shows the world as
// the path S has it: smooth, the camera's orientation low-passed (a
// Gaussian over time, its width from --smooth; a turn that lasts longer
// than that is kept, shake is removed; at the clip's ends the path goes on
// as the camera went, so a steady pan stays steady); lock, S fixed at the
// reference frame's orientation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Rotation.h"

namespace stitcher {

enum class StabilizeMode { Off, Smooth, Lock };

// Frames of the Gaussian's standard deviation for a --smooth of `seconds`:
// a quarter of it, so that a turn as long as `seconds` keeps most of itself
// (one of that period passes 29%, one twice as long 73%) while shake at 2
// Hz and above keeps under 1% at the default of one second.
double smoothSigmaFrames(double seconds, double fps);

// How far on each side of a frame the smoothing reaches, in frames.
long long smoothReach(double sigmaFrames);

// Per frame of `cameras`: the path and the correction. `reference`: the
// frame lock holds. Frames not `reliable` keep the camera's orientation
// (their correction is none).
void planViewPath(const std::vector<Rot>& cameras, const std::vector<uint8_t>& reliable, StabilizeMode mode,
                  double sigmaFrames, size_t reference, std::vector<Rot>& path, std::vector<Rot>& correction);

}  // namespace stitcher
