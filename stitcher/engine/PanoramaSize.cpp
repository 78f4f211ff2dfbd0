#include <algorithm>
#include <cmath>

#include "Engine.h"

namespace stitcher {

int defaultSize(const calibration::Calibration& c, int frameWidth) {
    // The sharper lens's detail at the centre of its circle, spread over 180
    // degrees, in frame pixels.
    const double perDegree = std::max(c.pixelsPerDegreeAtAxis(0), c.pixelsPerDegreeAtAxis(1)) * frameWidth / c.imageWidth;
    const int size = static_cast<int>(std::lround(180.0 * perDegree / 16.0)) * 16;
    return std::max(64, std::min(4096, size));
}

}  // namespace stitcher
