// The taps of a straight run of output pixels whose lens reads all lie
// inside their levels, as a view that moves every frame makes them per
// frame: compiled once per instruction set and chosen at run time, several
// pixels at a time where the machine has AVX2, one at a time elsewhere,
// with the same taps either way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "SampleTable.h"

namespace stitcher {

// A bilinear read's four weights at fractions (fx, fy) in 1/256ths (top
// left, top right, bottom left, bottom right), each rounded alone to
// kWeightOne, the largest taking what rounding left over, so that they add
// up to kWeightOne.
inline void roundedBilinear(int fx, int fy, int q[4]) {
    const int e[4] = {(256 - fx) * (256 - fy), fx * (256 - fy), (256 - fx) * fy, fx * fy};
    int big = 0, sum = 0;
    for (int j = 0; j < 4; ++j) {
        big = e[j] > e[big] ? j : big;
        q[j] = (e[j] * kWeightOne + 32768) >> 16;
        sum += q[j];
    }
    q[big] += kWeightOne - sum;
}

// One lens read along the run: pixel i reads texel position
// (s0 + ds i, t0 + dt i) of a level (texel centres at whole numbers plus
// 0.5, that is, top-left texel of the block at the floor), whose first
// texel is `origin` bytes into its buffer, `stride` bytes a row, `texel`
// bytes a texel; `flags` are the tap's lens and buffer bits.
struct RunRead {
    double s0, t0, ds, dt;
    uint32_t origin, stride, flags;
    uint32_t texel = 3;
};

// Pixel i takes one bilinear read of weight one, its weights from
// `wholeWeights` (wholeWeightTable()). Writes n taps; starts[i] = base + i.
void loneRunTaps(const RunRead& read, int n, const uint32_t* wholeWeights, SampleTap* out, size_t base,
                 size_t* starts);

// Pixel i blends two lenses: reads[0] with weight
// round(clamp(alpha + dalpha i, 0, 1) * kWeightOne), reads[1] with the rest,
// each read's weights rounded alone (the largest taking what rounding left)
// and then scaled to its part the same way. Writes 2n taps, a pixel's lens 0
// read first (reads[1] first where `secondFirst`); starts[i] = base + 2 i.
void blendRunTaps(const RunRead reads[2], double alpha, double dalpha, bool secondFirst, int n, SampleTap* out,
                  size_t base, size_t* starts);

}  // namespace stitcher
