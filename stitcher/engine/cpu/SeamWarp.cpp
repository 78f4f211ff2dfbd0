#include "SeamWarp.h"

#include <algorithm>
#include <cmath>

#include "SampleKernel.h"

namespace stitcher {

namespace {

bool identity(const float m[4][4]) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (m[i][j] != (i == j ? 1.0f : 0.0f)) return false;
    return true;
}

// How much of the half disparity applies at fraction t across a band: all
// over its middle half, none in its outer tenths (where one lens weighs in
// below 1/400 of the cross-fade), smooth in between.
constexpr float kUnwarped = 0.1f, kFull = 0.25f;
float fade(float t) {
    const float e = (std::min(t, 1.0f - t) - kUnwarped) / (kFull - kUnwarped);
    if (e >= 1.0f) return 1.0f;
    if (e <= 0.0f) return 0.0f;
    return e * e * (3.0f - 2.0f * e);
}

}  // namespace

bool SeamWarp::usableFor(const EngineSpec& params) {
    return params.layout == Layout::Stitch && (params.perFrameRotation || identity(params.rotation));
}

SeamWarp::SeamWarp(const EngineSpec& params) : params_(params) { usable_ = usableFor(params); }

bool SeamWarp::setShift(const SeamShift& shift) {
    if (!usable_) return false;
    float most = 0;
    for (int b = 0; b < 2; ++b) {
        if (shift.windows < 1 ||
            (!shift.shift[b].empty() && shift.shift[b].size() != static_cast<size_t>(params_.size) * static_cast<size_t>(shift.windows)))
            return false;
        for (float v : shift.shift[b])
            if (std::isfinite(v)) most = std::max(most, std::fabs(v));
    }
    shift_ = shift;
    active_ = most > 0;
    if (!active_) return true;
    const int needed = static_cast<int>(std::ceil(most / 2.0f)) + 2;
    if (!bands_ || bands_->margin() < needed) {
        bands_.reset(new SeamBands(params_.lens.model(), params_.size, params_.frameWidth, params_.frameHeight,
                                   std::max(needed, 8)));
        // Where the frame is finer than the panorama the table reads
        // between the frame and its half-size level, by the log of the
        // ratio (trilinear); the warp does the same, with a half-size copy.
        halfShare_ = std::min(1.0f, std::max(0.0f, std::log2(bands_->density())));
        halved_ = halfShare_ > 0.05f && params_.frameWidth >= 4 && params_.frameHeight >= 4;
        if (halved_) half_.assign(static_cast<size_t>(params_.frameWidth / 2) * static_cast<size_t>(params_.frameHeight / 2) * 3, 0);
    }
    return true;
}

void SeamWarp::setGains(const float gains[2][3]) {
    for (int lens = 0; lens < 2; ++lens)
        for (int c = 0; c < 3; ++c) {
            const float v = gains ? gains[lens][c] : 1.0f;
            gains_[lens][c] = std::isfinite(v) ? std::min(std::max(v, 0.0f), 15.9f) : 1.0f;
        }
}

void SeamWarp::prepare(const uint8_t* frame) {
    if (!active_ || !halved_) return;
    const int w = params_.frameWidth / 2, h = params_.frameHeight / 2;
    const size_t stride = static_cast<size_t>(params_.frameWidth) * 3;
    for (int y = 0; y < h; ++y)
        halveRow(frame + static_cast<size_t>(2 * y) * stride, frame + static_cast<size_t>(2 * y + 1) * stride, 0, w,
                 half_.data() + static_cast<size_t>(y) * static_cast<size_t>(w) * 3);
}

void SeamWarp::apply(const uint8_t* frame, int row0, int row1, uint8_t* rows, size_t stride) const {
    if (!active_ || !bands_) return;
    const SeamBands& bands = *bands_;
    const int hw = params_.frameWidth / 2, hh = params_.frameHeight / 2;
    const float fine = halved_ ? 1.0f - halfShare_ : 1.0f;
    for (int b = 0; b < 2; ++b) {
        if (shift_.shift[b].empty()) continue;
        const int c0 = bands.begin(b), c1 = bands.end(b);
        const float width = static_cast<float>(c1 - c0);
        for (int row = std::max(row0, bands.firstRow()); row < std::min(row1, bands.lastRow() + 1); ++row) {
            const float* rowShift = shift_.shift[b].data() + static_cast<size_t>(row) * static_cast<size_t>(shift_.windows);
            bool none = true;
            for (int k = 0; k < shift_.windows; ++k) none = none && (rowShift[k] == 0.0f || !std::isfinite(rowShift[k]));
            if (none) continue;
            uint8_t* o = rows + static_cast<size_t>(row - row0) * stride;
            const int w0 = c0 + static_cast<int>(kUnwarped * width), w1 = c1 - static_cast<int>(kUnwarped * width);
            for (int col = w0; col < w1; ++col) {
                const float t = (static_cast<float>(col - c0) + 0.5f) / width;
                const float s = shift_.at(b, row, t);
                const float half = std::isfinite(s) ? 0.5f * s * fade(t) : 0.0f;
                const float right = bands.rightShare(b, col);
                float sum[3] = {0, 0, 0};
                for (int side = 0; side < 2; ++side) {
                    const float share = side == 0 ? 1.0f - right : right;
                    if (share < 1.0f / 512.0f) continue;
                    const int lens = bands.lens(b, side);
                    float x, y, r, bgr[3];
                    bands.lensPoint(b, side, row, static_cast<float>(col) + (side == 0 ? half : -half), &x, &y, &r);
                    sampleFrame(frame, params_.frameWidth, params_.frameHeight, x, y, bgr);
                    if (halved_) {
                        float coarse[3];
                        sampleFrame(half_.data(), hw, hh, x * 0.5f, y * 0.5f, coarse);
                        for (int c = 0; c < 3; ++c) bgr[c] = bgr[c] * fine + coarse[c] * halfShare_;
                    }
                    const float weight =
                        share / static_cast<float>(params_.falloff.flat() ? 1.0 : params_.falloff.value(lens, r));
                    for (int c = 0; c < 3; ++c) sum[c] += bgr[c] * weight * gains_[lens][c];
                }
                for (int c = 0; c < 3; ++c)
                    o[col * 3 + c] = static_cast<uint8_t>(std::min(255.0f, std::max(0.0f, sum[c] + 0.5f)));
            }
        }
    }
}

}  // namespace stitcher
