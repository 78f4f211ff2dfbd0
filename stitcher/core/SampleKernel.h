// The CPU engine's per-frame work, in fixed point: output pixels from a
// sample table, and the frame's prefiltered levels.
#pragma once

#include <cstdint>

#include "SampleTable.h"

namespace stitcher {

// Per-lens, per-channel (B, G, R) gains in 1/kGainOne, applied to each
// lens's share of a pixel after interpolation.
constexpr uint32_t kGainOne = 4096;
struct LensGains {
    uint32_t q[2][3] = {{kGainOne, kGainOne, kGainOne}, {kGainOne, kGainOne, kGainOne}};
    bool unity = true;  // all kGainOne: the plain path
};

// Writes the rows of `band` into `out` (table.outStride bytes per row,
// padding bytes zeroed). `levels` is the level buffer made for this frame.
void sampleBand(const SampleTable& table, const TableBand& band, const uint8_t* frame, const uint8_t* levels,
                const LensGains& gains, uint8_t* out);

// Texels [x0, x1) of a level row at half the width of its source rows `a`
// and `b`: each the average of a 2 x 2 block.
void halveRow(const uint8_t* a, const uint8_t* b, int x0, int x1, uint8_t* out);

}  // namespace stitcher
