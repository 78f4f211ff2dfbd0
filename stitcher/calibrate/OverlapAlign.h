// Photometric alignment of the two lenses over their overlap: the engine
// behind CalibrationRefine (see there for the method).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DualFisheyeModel;
class FisheyeLens;

namespace stitcher {
namespace overlap {

// Grey pictures of one frame, full size first, each level half the one before.
struct GreyLevel {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> px;
};
using GreyPyramid = std::vector<GreyLevel>;

// Levels down to about `minWidth` pixels across. `bgr` holds packed rows of
// 3 * width bytes.
GreyPyramid buildPyramid(const uint8_t* bgr, int width, int height, int minWidth);

// The refined parameters, in calibration pixels and degrees.
enum Param { C0X, C0Y, R0, C1X, C1Y, R1, YAW1, PITCH1, ROLL1, kParamCount };

struct Params {
    double v[kParamCount] = {};
};

Params paramsOf(const DualFisheyeModel& model);
// The model with the parameters put in (everything else as it was).
void applyParams(const Params& p, DualFisheyeModel* model);

struct AlignResult {
    Params params;              // the start's when nothing was aligned
    double errorBefore = -1.0;  // per textured sample, at full resolution
    double errorAfter = -1.0;
    std::vector<int> framesUsed;  // indices into the frames given
    bool tooLittleTexture = false;
};

struct AlignSettings {
    int threads = 2;
    int minFrames = 1;
    // The largest parallax across the seams, radians: the lenses' baseline
    // over the nearest distance a thing may be seen at.
    double maxParallax = 0.1;
};

// Aligns lens 1 and both image circles to lens 0 over the overlap, starting
// from `start`. All frames share one size. Frames with too little detail in
// the overlap are left out; when fewer than settings.minFrames remain, nothing
// is aligned (framesUsed says which had detail).
AlignResult alignOverlap(const DualFisheyeModel& start, const std::vector<const GreyPyramid*>& frames,
                         const AlignSettings& settings);

}  // namespace overlap
}  // namespace stitcher
