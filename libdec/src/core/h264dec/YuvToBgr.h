// Planar 8-bit YUV pictures to packed BGR24, read with the colour matrix and
// range they were made with and rounded to the nearest level (within 0.05 of
// a level before rounding). Each chroma sample stands for the pixels it
// covers (2 x 2 of them in 4:2:0).
#pragma once

#include <cstdint>
#include <vector>

class CYuvToBgr {
public:
    // kr, kb: the matrix's luma weights of red and blue; fullRange: samples
    // span 0-255, else 16-235 (luma) and 16-240 (chroma).
    void Set(double kr, double kb, bool fullRange);
    // `width` x `height` pixels from the planes Y, U, V (chroma subsampled by
    // 2^shiftX across and 2^shiftY down, shifts 0 or 1) into `bgr`, rows
    // `bgrStride` bytes apart. `firstLine`: the picture row that planes[0]
    // starts at, planes[1] and planes[2] starting at its chroma row
    // (firstLine >> shiftY), so that a band of rows pairs its chroma rows as
    // the whole picture does.
    void Convert(const uint8_t* const planes[3], const int strides[3], int width, int height, int shiftX, int shiftY,
                 uint8_t* bgr, int bgrStride, int firstLine = 0);

    // Fixed point, the same steps on every instruction set: a luma step
    // weighs luma / 256 of a 1/64 level; chroma weights are in 1/8192 of a
    // level, and bias (1/64 levels) holds the luma offset and the rounding.
    struct Weights {
        int16_t luma;
        int16_t rv, gu, gv, bu;
        int32_t bias;
    };

private:
    Weights m_w{};
    // One row's chroma terms for R, G and B, one per pixel, in 1/64 levels.
    std::vector<int16_t> m_terms;
};
