#include "SeamWarp.h"

#include <algorithm>
#include <cmath>

#include "WorkerPool.h"

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

// A bilinear read of `weight` (units of 1 / kWeightOne, at most
// kWeightOne) at continuous pixel coordinates (x, y) (centres at +0.5) of a
// packed BGR buffer of width x height texels (at least 2 x 2), clamped at
// the edges as the frame's reads are: the tap, its four weights adding up
// to `weight` exactly. Positions in 1/256 of a texel.
inline __attribute__((always_inline)) SampleTap bilinearTap(float x, float y, int width, int height, uint32_t weight, uint32_t flags) {
    const float fx = std::min(std::max(x - 0.5f, 0.0f), static_cast<float>(width - 1));
    const float fy = std::min(std::max(y - 0.5f, 0.0f), static_cast<float>(height - 1));
    const int X = static_cast<int>(fx * 256.0f + 0.5f), Y = static_cast<int>(fy * 256.0f + 0.5f);
    const int x0 = std::min(X >> 8, width - 2), y0 = std::min(Y >> 8, height - 2);
    const uint32_t ax = static_cast<uint32_t>(X - (x0 << 8)), ay = static_cast<uint32_t>(Y - (y0 << 8));  // 0 .. 256
    // Each rounded; the right column's and the bottom row's sums rounded
    // as wholes, never below their shared corner's.
    uint32_t w11 = (ax * ay * weight + 32768u) >> 16;
    uint32_t w01 = ((ax * weight + 128u) >> 8) - w11;  // top right
    uint32_t w10 = ((ay * weight + 128u) >> 8) - w11;  // bottom left
    // Where the three rounded up past the whole (the top-left's share
    // rounded below none), the excess comes off the corner first, then off
    // the larger side: no weight goes below none.
    uint32_t excess = w01 + w10 + w11 > weight ? w01 + w10 + w11 - weight : 0;
    const uint32_t corner = std::min(excess, w11);
    w11 -= corner;
    excess -= corner;
    uint32_t& larger = w01 >= w10 ? w01 : w10;
    const uint32_t side = std::min(excess, larger);
    larger -= side;
    excess -= side;
    uint32_t& smaller = w01 >= w10 ? w10 : w01;
    smaller -= std::min(excess, smaller);
    const uint32_t w00 = weight - w01 - w10 - w11;
    SampleTap t;
    t.where = static_cast<uint32_t>((static_cast<size_t>(y0) * static_cast<size_t>(width) + static_cast<size_t>(x0)) * 3) | flags;
    t.weights = w00 | w01 << 8 | w10 << 16 | w11 << 24;
    return t;
}

}  // namespace

bool SeamWarp::usableFor(const EngineSpec& params) {
    return params.layout == Layout::Stitch && (params.perFrameRotation || identity(params.rotation)) &&
           params.frameWidth >= 2 && params.frameHeight >= 2;
}

SeamWarp::SeamWarp(const EngineSpec& params, int threads) : params_(params), threads_(std::max(1, threads)) {
    usable_ = usableFor(params);
}

SeamWarp::~SeamWarp() = default;

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
    if (!bands_ || bands_->margin() < needed) makeBands(needed);
    const SeamBands& bands = *bands_;
    // Where each warped column reads the shift (as SeamShift::at() does) and how much of it.
    for (int b = 0; b < 2; ++b) {
        const int c0 = bands.begin(b), c1 = bands.end(b);
        const float width = static_cast<float>(c1 - c0);
        w0_[b] = c0 + static_cast<int>(kUnwarped * width);
        w1_[b] = std::max(w0_[b], c1 - static_cast<int>(kUnwarped * width));
        columns_[b].resize(static_cast<size_t>(w1_[b] - w0_[b]));
        for (int col = w0_[b]; col < w1_[b]; ++col) {
            Column& c = columns_[b][static_cast<size_t>(col - w0_[b])];
            const float t = (static_cast<float>(col - c0) + 0.5f) / width;
            c.halfFade = 0.5f * fade(t);
            c.right = bands.rightShare(b, col);
            const float x = t * static_cast<float>(shift.windows + 1) - 1.0f;
            if (x <= 0.0f) c.window = 0, c.next = 0.0f;
            else if (x >= static_cast<float>(shift.windows - 1)) c.window = shift.windows - 1, c.next = 0.0f;
            else c.window = static_cast<int>(x), c.next = x - static_cast<float>(c.window);
        }
    }
    return true;
}

void SeamWarp::makeBands(int needed) {
    bands_.reset(new SeamBands(params_.lens.model(), params_.size, params_.frameWidth, params_.frameHeight,
                               std::max(needed, 8)));
    const SeamBands& bands = *bands_;
    // Where the frame is finer than the panorama the table reads between
    // the frame and its half-size level, by the log of the ratio
    // (trilinear); the warp does the same, with a half-size copy of the
    // frame's rows that the bands and their margins reach.
    halfShare_ = std::min(1.0f, std::max(0.0f, std::log2(bands.density())));
    halved_ = halfShare_ > 0.05f && params_.frameWidth >= 4 && params_.frameHeight >= 4;
    if (halved_) {
        const int hh = params_.frameHeight / 2;
        float top = static_cast<float>(params_.frameHeight), bottom = 0;
        for (int b = 0; b < 2; ++b)
            for (int side = 0; side < 2; ++side)
                for (int row = bands.firstRow(); row <= bands.lastRow() && bands.end(b) > bands.begin(b); ++row)
                    for (int col = bands.begin(b) - bands.margin(); col < bands.end(b) + bands.margin(); ++col) {
                        float x, y, r;
                        bands.lensPoint(b, side, row, static_cast<float>(col), &x, &y, &r);
                        top = std::min(top, y);
                        bottom = std::max(bottom, y);
                    }
        halfRow0_ = std::max(0, std::min(hh, static_cast<int>(std::floor(top * 0.5f)) - 2));
        halfRow1_ = std::max(halfRow0_, std::min(hh, static_cast<int>(std::ceil(bottom * 0.5f)) + 2));
        half_.assign(static_cast<size_t>(params_.frameWidth / 2) * static_cast<size_t>(hh) * 3, 0);
    }
    for (int lens = 0; lens < 2; ++lens) {
        lift_[lens].resize(kLiftSteps + 1);
        const double logRim = params_.falloff.flat() ? 0.0 : params_.falloff.logValue(lens, 1.0);
        for (int i = 0; i <= kLiftSteps; ++i)
            lift_[lens][static_cast<size_t>(i)] =
                params_.falloff.flat()
                    ? 1.0f
                    : static_cast<float>(std::min(1.0, std::exp(logRim - params_.falloff.logValue(lens, static_cast<double>(i) / kLiftSteps))));
    }
    // Per thread, room for one row of the widest band: four taps a pixel at most.
    const int widest = std::max(bands.end(0) - bands.begin(0), bands.end(1) - bands.begin(1));
    scratch_.reset(new Scratch[static_cast<size_t>(threads_)]);
    for (int t = 0; t < threads_; ++t) {
        Scratch& s = scratch_[static_cast<size_t>(t)];
        s.table.frameWidth = params_.frameWidth;
        s.table.frameHeight = params_.frameHeight;
        s.table.frameStride = static_cast<size_t>(params_.frameWidth) * 3;
        s.table.levelStride = static_cast<size_t>(params_.frameWidth / 2) * 3;
        s.table.taps.assign(static_cast<size_t>(widest) * 4, SampleTap{0, 0});
        s.table.outStride = static_cast<size_t>(widest) * 3 + 4;
        s.band.groups.assign(static_cast<size_t>(widest / kTileColumns + 1), 0);
        s.pixels.assign(s.table.outStride, 0);
    }
}

void SeamWarp::prepare(const uint8_t* frame, WorkerPool& pool) {
    if (!active_ || !halved_) return;
    const int w = params_.frameWidth / 2;
    const size_t stride = static_cast<size_t>(params_.frameWidth) * 3;
    const int rows = halfRow1_ - halfRow0_, tasks = std::max(1, std::min(rows / 8, 4 * pool.threads()));
    pool.run(static_cast<size_t>(tasks), [&](size_t k) {
        const int y0 = halfRow0_ + static_cast<int>(static_cast<long>(rows) * static_cast<long>(k) / tasks);
        const int y1 = halfRow0_ + static_cast<int>(static_cast<long>(rows) * static_cast<long>(k + 1) / tasks);
        for (int y = y0; y < y1; ++y)
            halveRow(frame + static_cast<size_t>(2 * y) * stride, frame + static_cast<size_t>(2 * y + 1) * stride, 0, w,
                     half_.data() + static_cast<size_t>(y) * static_cast<size_t>(w) * 3);
    });
}

// The taps of row `row`'s warped pixels of band b, tile by tile, grouped
// as the table groups its own.
void SeamWarp::rowTaps(int b, int row, Scratch& s) const {
    const SeamBands& bands = *bands_;
    const int w0 = w0_[b], w1 = w1_[b];
    const int fw = params_.frameWidth, fh = params_.frameHeight;
    const float fine = halved_ ? 1.0f - halfShare_ : 1.0f;
    const float full = static_cast<float>(kWeightOne);
    const float* rowShift = shift_.shift[b].data() + static_cast<size_t>(row) * static_cast<size_t>(shift_.windows);
    // Lens 0's taps come before lens 1's, whichever side it is on.
    const int firstSide = bands.lens(b, 0) == 0 ? 0 : 1;
    const SeamBands::Point* points[2] = {bands.rowPoints(b, 0, row), bands.rowPoints(b, 1, row)};
    const float origin = static_cast<float>(bands.begin(b) - bands.margin());
    const float lastPoint = static_cast<float>(bands.span() - 1) - 1e-3f;
    const bool lifted = !params_.falloff.flat();
    SampleTap* out = s.table.taps.data();
    size_t n = 0;
    size_t starts[kTileColumns + 1];
    uint32_t* mask = s.band.groups.data();
    for (int tile = w0; tile < w1; tile += kTileColumns) {
        const int tileEnd = std::min(w1, tile + kTileColumns);
        for (int col = tile; col < tileEnd; ++col) {
            starts[col - tile] = n;
            const Column& c = columns_[b][static_cast<size_t>(col - w0)];
            const float* sw = rowShift + c.window;
            float sh = c.next > 0.0f ? sw[0] + (sw[1] - sw[0]) * c.next : sw[0];
            if (!std::isfinite(sh)) sh = 0.0f;
            const float half = sh * c.halfFade;
            // Each lens's weight rounded, the second's kept within full scale.
            uint32_t left = kWeightOne;
            for (int k = 0; k < 2; ++k) {
                const int side = k == 0 ? firstSide : 1 - firstSide, lens = k;
                const float share = side == 0 ? 1.0f - c.right : c.right;
                if (share < 1.0f / 512.0f) continue;
                // The lens's point at the shifted column, between the row's whole columns.
                float at = static_cast<float>(col) + (side == 0 ? half : -half) - origin;
                at = std::min(std::max(at, 0.0f), lastPoint);
                const int i = static_cast<int>(at);
                const float f = at - static_cast<float>(i);
                const SeamBands::Point& p = points[side][i];
                const SeamBands::Point& q = points[side][i + 1];
                const float x = p.x + (q.x - p.x) * f, y = p.y + (q.y - p.y) * f;
                float weight = share * full;
                if (lifted) {
                    const float r = p.r + (q.r - p.r) * f;
                    weight *= lift_[lens][static_cast<size_t>(std::min(1.0f, std::max(0.0f, r)) * kLiftSteps + 0.5f)];
                }
                const uint32_t flag = lens ? SampleTap::kLens1 : 0u;
                const uint32_t q0 = std::min(left, static_cast<uint32_t>(weight * fine + 0.5f));
                left -= q0;
                out[n++] = bilinearTap(x, y, fw, fh, q0, flag);
                if (halved_) {
                    const uint32_t q1 = std::min(left, static_cast<uint32_t>(weight * halfShare_ + 0.5f));
                    left -= q1;
                    out[n++] = bilinearTap(x * 0.5f, y * 0.5f, fw / 2, fh / 2, q1, flag | SampleTap::kLevels);
                }
            }
            out[n - 1].where |= SampleTap::kLast;
        }
        starts[tileEnd - tile] = n;
        *mask++ = groupTileRow(starts, tileEnd - tile, out + 0);
    }
    s.table.outWidth = w1 - w0;
    s.band.row0 = 0;
    s.band.row1 = 1;
    s.band.tapBegin = 0;
    s.band.tapEnd = n;
}

void SeamWarp::apply(const uint8_t* frame, int row0, int row1, uint8_t* rows, size_t stride, const LensGains& gains,
                     int thread) const {
    if (!active_ || !bands_ || thread < 0 || thread >= threads_) return;
    const SeamBands& bands = *bands_;
    Scratch& s = scratch_[static_cast<size_t>(thread)];
    for (int b = 0; b < 2; ++b) {
        if (shift_.shift[b].empty() || w1_[b] <= w0_[b]) continue;
        for (int row = std::max(row0, bands.firstRow()); row < std::min(row1, bands.lastRow() + 1); ++row) {
            const float* rowShift = shift_.shift[b].data() + static_cast<size_t>(row) * static_cast<size_t>(shift_.windows);
            bool none = true;
            for (int k = 0; k < shift_.windows; ++k) none = none && (rowShift[k] == 0.0f || !std::isfinite(rowShift[k]));
            if (none) continue;
            rowTaps(b, row, s);
            sampleBand(s.table, s.band, frame, half_.data(), gains, s.pixels.data());
            std::copy(s.pixels.begin(), s.pixels.begin() + 3 * (w1_[b] - w0_[b]),
                      rows + static_cast<size_t>(row - row0) * stride + static_cast<size_t>(w0_[b]) * 3);
        }
    }
}

}  // namespace stitcher
