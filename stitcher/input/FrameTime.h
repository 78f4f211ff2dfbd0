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

// The samples (per channel) of frames 1 .. frame - 1 at `rate` Hz when every
// frame lasts 1 / fps. (A clip's frames keep their own times: the reader
// takes each frame's sound from them, see Clip::frameTime.)
int64_t audioPosition(long long frame, Rational fps, int rate);

}  // namespace stitcher
