// Packed BGR pictures to the encoder's planar 4:2:0 YUV: BT.709 matrix,
// full-range 8-bit BGR in, limited-range (16-235, 16-240) YUV out, each
// chroma sample from the average of its 2 x 2 block of pixels. Vectorised
// for the instruction sets the machine has; every instruction set gives the
// same bytes.
#pragma once

#include <cstdint>

namespace stitcher {

// Planar 4:2:0 YUV as the video encoder takes it: Y of the picture's
// size, U and V of half that each way (rounded up); rows `stride`
// bytes apart, the first at the top.
struct YuvPlanes {
    uint8_t* data[3] = {nullptr, nullptr, nullptr};
    int stride[3] = {0, 0, 0};
};

// `width` x `height` pixels of `bgr` (rows `bgrStride` bytes apart, the
// first at the top) into the planes `y` (width x height), `u` and `v`
// ((width + 1) / 2 x (height + 1) / 2); an odd last column or row counts
// twice in its block.
void bgrToYuv420(const uint8_t* bgr, int bgrStride, int width, int height, uint8_t* y, int yStride, uint8_t* u,
                 int uStride, uint8_t* v, int vStride);

}  // namespace stitcher
