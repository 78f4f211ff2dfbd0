// Where frames and their sound lie in time.
#pragma once

#include <cstdint>

namespace stitcher {

struct Rational {
    int num = 0, den = 1;
};

// Frame rate as a fraction: exact for whole rates and the NTSC family;
// 0/1 when there is none.
Rational frameRate(double fps);

// The samples (per channel) of clip frames 1 .. frame - 1 at `rate` Hz:
// frame f's sound is [audioPosition(f), audioPosition(f + 1)).
int64_t audioPosition(long long frame, Rational fps, int rate);

}  // namespace stitcher
