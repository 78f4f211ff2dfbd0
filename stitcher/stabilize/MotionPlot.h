// The motion file as a picture: yaw, pitch and roll over the frames, one
// panel each, the measured camera in a light line and the smoothed path the
// view follows in a dark one, each panel scaled to its own range (named
// beside it in degrees, the grey line at zero).
#pragma once

#include <cstdint>
#include <vector>

#include "MotionFile.h"

namespace stitcher {

struct PlotImage {
    int width = 0, height = 0;
    std::vector<uint8_t> bgr;  // packed rows, the first at the top
};

PlotImage plotMotion(const std::vector<MotionRow>& rows, int width = 960, int height = 600);

}  // namespace stitcher
