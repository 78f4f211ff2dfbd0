// Helpers for tests that run the renderer on small frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "DefaultOffset.h"
#include "GlDriverPin.h"

namespace rendertest {

using testutil::kDefaultOffset;

// Read-back row: 3 * width bytes raised to a multiple of 4.
inline size_t rowStride(int width) { return (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3); }

// Frame of w x h BGR pixels, rows of exactly 3 * w bytes, left half one
// colour and right half another (each lens image sits in one half).
inline std::vector<uint8_t> halvesFrame(int w, int h, const uint8_t left[3], const uint8_t right[3]) {
    std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) f[(static_cast<size_t>(y) * w + x) * 3 + c] = x < w / 2 ? left[c] : right[c];
    return f;
}

inline const uint8_t* pixel(const std::vector<uint8_t>& out, int width, int col, int row) {
    return &out[row * rowStride(width) + static_cast<size_t>(col) * 3];
}

}  // namespace rendertest
