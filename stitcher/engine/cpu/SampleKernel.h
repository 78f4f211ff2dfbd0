// The CPU engine's per-frame work, in fixed point: output pixels from a
// sample table, and the frame's prefiltered levels.
#pragma once

#include <cstdint>
#include <vector>

#include "SampleTable.h"

namespace stitcher {

// Per-lens, per-channel (B, G, R) gains as the kernel applies them: to each
// lens's share of a pixel's weighted sum (at most 255 * kWeightOne), as the
// high half of a 16 x 16-bit product that leaves the pixel value in 1/16
// of a level. A gain of g is gainFactor(g); 1 leaves a lens as it is.
constexpr double kGainScale = 16.0 / 255.0 * 65536.0;  // per unit of gain
constexpr float kMaxGain = 15.9f;                      // keeps kGainScale * gain below 65536
uint16_t gainFactor(float gain);
struct LensGains {
    uint16_t q[2][3];
    LensGains();
};

// Writes the rows of `band` into `out`, which receives the band's first row
// (table.outStride bytes per row, table.texelBytes per pixel, padding bytes zeroed). `levels` is the level buffer made for this frame.
void sampleBand(const SampleTable& table, const TableBand& band, const uint8_t* frame, const uint8_t* levels,
                const LensGains& gains, uint8_t* out);

// Where each tile of `band` (kTileColumns output columns, the last one
// narrower) begins in the table's taps, and after them the band's end.
std::vector<size_t> tileTaps(const SampleTable& table, const TableBand& band);
// sampleBand() for tiles [first, end) of the band only, `starts` being its tileTaps().
void sampleBandTiles(const SampleTable& table, const TableBand& band, const std::vector<size_t>& starts, int first, int end,
                     const uint8_t* frame, const uint8_t* levels, const LensGains& gains, uint8_t* out);

// Texels [x0, x1) of a level row at half the width of its source rows `a`
// and `b`: each the average of a 2 x 2 block; texels of 3 or 4 bytes.
void halveRow(const uint8_t* a, const uint8_t* b, int x0, int x1, uint8_t* out, int texelBytes = 3);

// n pixels of a picture looked up in another (`src`, `stride` bytes a row,
// texels of 3 or 4 bytes), pixel j bilinearly at (x + j sx, y + j sy) in
// 16.16 fixed point, 8 bits of each fraction weighing its 2 x 2 block. Every
// block must lie inside the picture with a texel to spare on its right.
// 3-byte pixels but the last are stored as 4 bytes (the fourth is the next
// pixel's to write); the last too where it does not end a row (`rowEnd`).
// 4-byte pixels get 255 in their fourth byte.
void remapRun(const uint8_t* src, size_t stride, int32_t x, int32_t y, int32_t sx, int32_t sy, int n, uint8_t* out,
              int texelBytes, bool rowEnd);

}  // namespace stitcher
