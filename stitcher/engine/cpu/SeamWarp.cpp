#include "SeamWarp.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "SeamTaps.h"
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
// packed BGR picture of width x height texels of `texel` bytes (at least 2 x 2), clamped at
// the edges as the frame's reads are: the tap, its four weights adding up
// to `weight` exactly. Positions in 1/256 of a texel.
// The texels' rows lie `rowBase` rows into their buffer, `stride` texels apart.
inline __attribute__((always_inline)) SampleTap bilinearTap(float x, float y, int width, int height, int stride, int rowBase,
                                                            uint32_t weight, uint32_t flags, int texel) {
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
    t.where = static_cast<uint32_t>((static_cast<size_t>(y0 + rowBase) * static_cast<size_t>(stride) + static_cast<size_t>(x0)) * static_cast<size_t>(texel)) | flags;
    t.weights = w00 | w01 << 8 | w10 << 16 | w11 << 24;
    return t;
}

// The same read with its weights rounded more simply: the right column's
// share of `weight` first, then each column's bottom share of that, so that
// the four add up to `weight` exactly and none goes below none. Positions
// in 1/256 of a texel, as above.
inline __attribute__((always_inline)) SampleTap quickTap(float x, float y, int width, int height, int stride, uint32_t weight,
                                                         uint32_t flags, int texel) {
    const float fx = std::min(std::max(x - 0.5f, 0.0f), static_cast<float>(width - 1));
    const float fy = std::min(std::max(y - 0.5f, 0.0f), static_cast<float>(height - 1));
    const int X = static_cast<int>(fx * 256.0f + 0.5f), Y = static_cast<int>(fy * 256.0f + 0.5f);
    const int x0 = std::min(X >> 8, width - 2), y0 = std::min(Y >> 8, height - 2);
    const uint32_t ax = static_cast<uint32_t>(X - (x0 << 8)), ay = static_cast<uint32_t>(Y - (y0 << 8));  // 0 .. 256
    const uint32_t right = (ax * weight + 128u) >> 8, left = weight - right;
    const uint32_t w11 = (right * ay + 128u) >> 8, w10 = (left * ay + 128u) >> 8;
    SampleTap t;
    t.where = static_cast<uint32_t>((static_cast<size_t>(y0) * static_cast<size_t>(stride) + static_cast<size_t>(x0)) * static_cast<size_t>(texel)) | flags;
    t.weights = (left - w10) | (right - w11) << 8 | w10 << 16 | w11 << 24;
    return t;
}

}  // namespace

bool SeamWarp::usableFor(const EngineSpec& params) {
    return params.layout == Layout::Stitch && (params.reprojected() || params.perFrameRotation || identity(params.rotation)) &&
           params.frameWidth >= 2 && params.frameHeight >= 2;
}

SeamWarp::SeamWarp(const EngineSpec& params, int threads) : params_(params), threads_(std::max(1, threads)) {
    usable_ = usableFor(params);
    view_ = params.reprojected();
    if (view_) {
        viewRows_.resize(static_cast<size_t>(params.view.height));
        viewRowEpoch_.assign(static_cast<size_t>(params.view.height), 0);
        setView(params.rotation, params.view.fov);
    }
}

void SeamWarp::setView(const float m[4][4], double fov) {
    if (!view_) return;
    shape_ = params_.view;
    shape_.fov = fov;
    rays_ = ViewRays(shape_);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) rotation_[i][j] = m[i][j];  // column i
    ++viewEpoch_;
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
    if (shift.windows != shift_.windows) ++viewEpoch_;  // a view's pixels hold their windows
    shift_ = shift;
    active_ = most > 0;
    if (!active_) return true;
    const int needed = static_cast<int>(std::ceil(most / 2.0f)) + 2;
    const bool remade = !bands_ || bands_->margin() < needed;
    if (remade) makeBands(needed);

    const SeamBands& bands = *bands_;
    // Where each warped column reads the shift (as SeamShift::at() does) and how much of it.
    for (int b = 0; b < 2; ++b) {
        const int c0 = bands.begin(b), c1 = bands.end(b);
        const float width = static_cast<float>(c1 - c0);
        w0_[b] = c0 + static_cast<int>(kUnwarped * width);
        w1_[b] = std::max(w0_[b], c1 - static_cast<int>(kUnwarped * width));
        const size_t n = static_cast<size_t>(w1_[b] - w0_[b]);
        columns_[b].resize(n);
        Lanes& l = lanes_[b];
        for (std::vector<float>* v : {&l.halfFade, &l.weight[0], &l.weight[1]}) v->resize(n);
        l.windowShare.assign(n * static_cast<size_t>(shift.windows), 0.0f);
        for (size_t i = 0; i < n; ++i) {
            const int col = w0_[b] + static_cast<int>(i);
            Column& c = columns_[b][i];
            const float t = (static_cast<float>(col - c0) + 0.5f) / width;
            l.halfFade[i] = 0.5f * fade(t);
            const float right = bands.rightShare(b, col);
            for (int k = 0; k < 2; ++k) l.weight[k][i] = (bands.lens(b, 0) == k ? 1.0f - right : right) * static_cast<float>(kWeightOne);
            const float x = t * static_cast<float>(shift.windows + 1) - 1.0f;
            if (x <= 0.0f) c.window = 0, c.next = 0.0f;
            else if (x >= static_cast<float>(shift.windows - 1)) c.window = shift.windows - 1, c.next = 0.0f;
            else c.window = static_cast<int>(x), c.next = x - static_cast<float>(c.window);
            l.windowShare[static_cast<size_t>(c.window) * n + i] += 1.0f - c.next;
            if (c.next > 0.0f) l.windowShare[static_cast<size_t>(c.window + 1) * n + i] += c.next;
        }
    }
    if (!view_ && (remade || cache_[0].valid.empty() || cacheWindows_ != shift.windows)) makeCache();
    return true;
}

void SeamWarp::makeCache() {
    const SeamBands& bands = *bands_;
    const int rows = std::max(0, bands.lastRow() + 1 - bands.firstRow());
    const size_t texel = static_cast<size_t>(params_.texelBytes);
    for (int b = 0; b < 2; ++b) {
        RowCache& c = cache_[b];
        const int width = w1_[b] - w0_[b];
        // Four taps a pixel at most; a group mask per tile.
        const size_t slot = static_cast<size_t>(width) * 4;
        const size_t tiles = static_cast<size_t>(width / kTileColumns + 1);
        c.table.frameWidth = params_.frameWidth;
        c.table.frameHeight = params_.frameHeight;
        c.table.texelBytes = params_.texelBytes;
        c.table.frameStride = static_cast<size_t>(params_.frameWidth) * texel;
        c.table.levelStride = static_cast<size_t>(params_.frameWidth / 2) * texel;
        c.table.outWidth = width;
        c.table.outStride = static_cast<size_t>(width) * texel + 4;
        c.table.taps.assign(slot * static_cast<size_t>(rows), SampleTap{0, 0});
        c.rows.assign(static_cast<size_t>(rows), TableBand());
        for (int r = 0; r < rows; ++r) {
            TableBand& band = c.rows[static_cast<size_t>(r)];
            band.row0 = 0, band.row1 = 1;
            band.tapBegin = band.tapEnd = slot * static_cast<size_t>(r);
            band.groups.assign(tiles, 0);
        }
        c.shift.assign(static_cast<size_t>(rows) * static_cast<size_t>(std::max(1, shift_.windows)), 0.0f);
        c.valid.assign(static_cast<size_t>(rows), 0);
    }
    cacheWindows_ = shift_.windows;
}

void SeamWarp::makeBands(int needed) {
    const size_t texel = static_cast<size_t>(params_.texelBytes);
    ++viewEpoch_;
    bands_.reset(new SeamBands(params_.lens.model(), params_.size, params_.frameWidth, params_.frameHeight,
                               std::max(needed, 8)));
    const SeamBands& bands = *bands_;
    // Where the frame is finer than the panorama the table reads between
    // the frame and its half-size level, by the log of the ratio
    // (trilinear); the warp does the same, with a half-size copy of the
    // frame's rows that the bands and their margins reach.
    halfShare_ = std::min(1.0f, std::max(0.0f, std::log2(bands.density())));
    // A view's pixels may each need the copies, and coarser ones where the
    // view is coarser than the panorama: they are made for any.
    halved_ = (view_ || halfShare_ > 0.05f) && params_.frameWidth >= 4 && params_.frameHeight >= 4;
    levelCount_ = 0;
    if (halved_) {
        levelCount_ = 1;
        while (view_ && levelCount_ < kMostLevels && (params_.frameWidth >> (levelCount_ + 1)) >= 2 &&
               (params_.frameHeight >> (levelCount_ + 1)) >= 2)
            ++levelCount_;
        for (int k = 1; k <= levelCount_; ++k) levelRow_[k] = k == 1 ? 0 : levelRow_[k - 1] + (params_.frameHeight >> (k - 1));
    }
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
        // A margin that the coarser levels keep a row of.
        const int margin = 2 << levelCount_;
        halfRow0_ = std::max(0, std::min(hh, static_cast<int>(std::floor(top * 0.5f)) - margin));
        halfRow1_ = std::max(halfRow0_, std::min(hh, static_cast<int>(std::ceil(bottom * 0.5f)) + margin));
        const int levelRows = levelRow_[levelCount_] + (params_.frameHeight >> levelCount_);
        half_.assign(static_cast<size_t>(params_.frameWidth / 2) * static_cast<size_t>(levelRows) * texel, 0);
        halfSpans_.clear();
        if (!view_) {
            // Per row of the copy, the texels each band's side reads (its
            // blocks' two columns and rows, two texels more each way for the
            // rounding), merged where they meet.
            const int hw = params_.frameWidth / 2;
            std::vector<int> reach(static_cast<size_t>(hh) * 8);
            for (size_t i = 0; i < reach.size(); i += 2) reach[i] = hw, reach[i + 1] = 0;
            for (int b = 0; b < 2; ++b)
                for (int side = 0; side < 2; ++side)
                    for (int row = bands.firstRow(); row <= bands.lastRow() && bands.end(b) > bands.begin(b); ++row) {
                        const SeamBands::Point* p = bands.rowPoints(b, side, row);
                        for (int i = 0; i < bands.span(); ++i) {
                            const float fx = std::min(std::max(0.5f * p[i].x - 0.5f, 0.0f), static_cast<float>(hw - 1));
                            const float fy = std::min(std::max(0.5f * p[i].y - 0.5f, 0.0f), static_cast<float>(hh - 1));
                            const int x = static_cast<int>(fx), y = static_cast<int>(fy);
                            for (int r = std::max(0, y - 2); r <= std::min(hh - 1, y + 3); ++r) {
                                int* at = &reach[(static_cast<size_t>(r) * 4 + static_cast<size_t>(b * 2 + side)) * 2];
                                at[0] = std::min(at[0], std::max(0, x - 2));
                                at[1] = std::max(at[1], std::min(hw, x + 4));
                            }
                        }
                    }
            for (int r = 0; r < hh; ++r) {
                std::pair<int, int> runs[4];
                int n = 0;
                for (int k = 0; k < 4; ++k) {
                    const int* at = &reach[(static_cast<size_t>(r) * 4 + static_cast<size_t>(k)) * 2];
                    if (at[1] > at[0]) runs[n++] = {at[0], at[1]};
                }
                // Four at most: in order of their first texel.
                for (int i = 1; i < n; ++i)
                    for (int j = i; j > 0 && runs[j] < runs[j - 1]; --j) std::swap(runs[j], runs[j - 1]);
                for (int k = 0; k < n; ++k) {
                    if (!halfSpans_.empty() && halfSpans_.back().row == r && runs[k].first <= halfSpans_.back().x1)
                        halfSpans_.back().x1 = std::max(halfSpans_.back().x1, runs[k].second);
                    else
                        halfSpans_.push_back(Span{r, runs[k].first, runs[k].second});
                }
            }
        }
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
    // Per thread, room for one row of the widest band (or of the view): four taps a pixel at most.
    const int widest = std::max({bands.end(0) - bands.begin(0), bands.end(1) - bands.begin(1), view_ ? shape_.width : 0});
    scratch_.reset(new Scratch[static_cast<size_t>(threads_)]);
    for (int t = 0; t < threads_; ++t) {
        Scratch& s = scratch_[static_cast<size_t>(t)];
        s.table.frameWidth = params_.frameWidth;
        s.table.frameHeight = params_.frameHeight;
        s.table.texelBytes = params_.texelBytes;
        s.table.frameStride = static_cast<size_t>(params_.frameWidth) * texel;
        s.table.levelStride = static_cast<size_t>(params_.frameWidth / 2) * texel;
        s.table.taps.assign(static_cast<size_t>(widest) * 4, SampleTap{0, 0});
        s.table.outStride = static_cast<size_t>(widest) * texel + 4;
        s.band.groups.assign(static_cast<size_t>(widest / kTileColumns + 1), 0);
        s.pixels.assign(s.table.outStride, 0);
        s.columns.assign(static_cast<size_t>(widest), 0);
    }
}

void SeamWarp::prepare(const uint8_t* frame, WorkerPool& pool) {
    if (!active_ || !halved_) return;
    const int w = params_.frameWidth / 2;
    const int texel = params_.texelBytes;
    const size_t stride = static_cast<size_t>(params_.frameWidth) * static_cast<size_t>(texel);
    if (!view_) {
        const size_t spans = halfSpans_.size();
        const size_t tasks = std::max<size_t>(1, std::min(spans / 16, static_cast<size_t>(4 * pool.threads())));
        pool.run(tasks, [&](size_t k) {
            for (size_t i = spans * k / tasks; i < spans * (k + 1) / tasks; ++i) {
                const Span& sp = halfSpans_[i];
                halveRow(frame + static_cast<size_t>(2 * sp.row) * stride, frame + static_cast<size_t>(2 * sp.row + 1) * stride,
                         sp.x0, sp.x1, half_.data() + static_cast<size_t>(sp.row) * static_cast<size_t>(w) * static_cast<size_t>(texel),
                         texel);
            }
        });
        return;
    }
    const int rows = halfRow1_ - halfRow0_, tasks = std::max(1, std::min(rows / 8, 4 * pool.threads()));
    pool.run(static_cast<size_t>(tasks), [&](size_t k) {
        const int y0 = halfRow0_ + static_cast<int>(static_cast<long>(rows) * static_cast<long>(k) / tasks);
        const int y1 = halfRow0_ + static_cast<int>(static_cast<long>(rows) * static_cast<long>(k + 1) / tasks);
        for (int y = y0; y < y1; ++y)
            halveRow(frame + static_cast<size_t>(2 * y) * stride, frame + static_cast<size_t>(2 * y + 1) * stride, 0, w,
                     half_.data() + static_cast<size_t>(y) * static_cast<size_t>(w) * static_cast<size_t>(texel), texel);
    });
    // The coarser levels of a view, each from the one before, as far as the bands reach.
    const size_t levelStride = static_cast<size_t>(w) * static_cast<size_t>(texel);
    for (int k = 2, r0 = halfRow0_, r1 = halfRow1_; k <= levelCount_; ++k) {
        const int width = params_.frameWidth >> k, height = params_.frameHeight >> k;
        r0 = std::min(height, (r0 + 1) / 2);  // from rows of the level before that were made
        r1 = std::max(r0, std::min(height, r1 / 2));
        uint8_t* from = half_.data() + static_cast<size_t>(levelRow_[k - 1]) * levelStride;
        uint8_t* to = half_.data() + static_cast<size_t>(levelRow_[k]) * levelStride;
        for (int y = r0; y < r1; ++y)
            halveRow(from + static_cast<size_t>(2 * y) * levelStride, from + static_cast<size_t>(2 * y + 1) * levelStride, 0,
                     width, to + static_cast<size_t>(y) * levelStride, texel);
    }
}

// The taps of row `row`'s warped pixels of band b, written straight in the
// table's groups: neighbours whose lenses match (all of them but where a
// lens fades out) as quads, tap by tap, the four pixels side by side.
size_t SeamWarp::rowTaps(int b, int row, SampleTap* out, uint32_t* mask) const {
    const SeamBands& bands = *bands_;
    const int w0 = w0_[b], w1 = w1_[b];
    const float* rowShift = shift_.shift[b].data() + static_cast<size_t>(row) * static_cast<size_t>(shift_.windows);
    // Lens k's points along the row (lens 0's taps come first, whichever side it is on).
    const int sideOf[2] = {bands.lens(b, 0) == 0 ? 0 : 1, bands.lens(b, 0) == 0 ? 1 : 0};
    const SeamBands::Point* points[2] = {bands.rowPoints(b, sideOf[0], row), bands.rowPoints(b, sideOf[1], row)};
    const float origin = static_cast<float>(bands.begin(b) - bands.margin());
    const float lastPoint = static_cast<float>(bands.span() - 1) - 1e-3f;
    // Each lens read from the frame and from the half-size copy, by the
    // ratio's log as the table reads; a read of no share is left out.
    const float upper = halved_ ? std::min(1.0f, halfShare_) : 0.0f, lower = 1.0f - upper;
    const bool fromFrame = lower > 0.0f, fromHalf = upper > 0.0f;
    const bool lifted = !params_.falloff.flat();
    const int fw = params_.frameWidth, fh = params_.frameHeight, texel = params_.texelBytes;
    const Column* columns = columns_[b].data() - w0;
    const Lanes& l = lanes_[b];
    // Pixel `col`'s taps at out[0], out[ways], ...; returns how many.
    const auto pixel = [&](int col, SampleTap* out, size_t ways) __attribute__((always_inline)) {
        const Column& c = columns[col];
        const float* sw = rowShift + c.window;
        float sh = c.next > 0.0f ? sw[0] + (sw[1] - sw[0]) * c.next : sw[0];
        if (!std::isfinite(sh)) sh = 0.0f;
        const float half = sh * l.halfFade[static_cast<size_t>(col - w0)];
        uint32_t left = kWeightOne;
        size_t n = 0;
        for (int k = 0; k < 2; ++k) {
            // The lens's point at its shifted column, between the row's whole columns.
            float at = static_cast<float>(col) + (sideOf[k] == 0 ? half : -half) - origin;
            at = std::min(std::max(at, 0.0f), lastPoint);
            const int i = static_cast<int>(at);
            const float f = at - static_cast<float>(i);
            const SeamBands::Point& p = points[k][i];
            const SeamBands::Point& q = points[k][i + 1];
            const float x = p.x + (q.x - p.x) * f, y = p.y + (q.y - p.y) * f;
            float weight = l.weight[k][static_cast<size_t>(col - w0)];
            if (lifted) {
                const float r = p.r + (q.r - p.r) * f;
                weight *= lift_[k][static_cast<size_t>(std::min(1.0f, std::max(0.0f, r)) * kLiftSteps + 0.5f)];
            }
            const uint32_t flag = k ? SampleTap::kLens1 : 0u;
            if (fromFrame) {
                const uint32_t q0 = std::min(left, static_cast<uint32_t>(weight * lower + 0.5f));
                left -= q0;
                out[ways * n++] = quickTap(x, y, fw, fh, fw, q0, flag, texel);
            }
            if (fromHalf) {
                const uint32_t q1 = std::min(left, static_cast<uint32_t>(weight * upper + 0.5f));
                left -= q1;
                out[ways * n++] = quickTap(0.5f * x, 0.5f * y, fw / 2, fh / 2, fw / 2, q1, flag | SampleTap::kLevels, texel);
            }
        }
        out[ways * (n - 1)].where |= SampleTap::kLast;  // the frame or the copy has a share: n > 0
        return n;
    };
    // Four columns at a time where the vectors can.
    SeamRowTaps quad;
    quad.halfFade = l.halfFade.data();
    // The row's shifts, none where one is not finite.
    float finite[16];
    const bool few = shift_.windows <= 16;
    for (int w = 0; w < shift_.windows && few; ++w) finite[w] = std::isfinite(rowShift[w]) ? rowShift[w] : 0.0f;
    quad.rowShift = finite;
    quad.windows = shift_.windows;
    quad.windowShare = l.windowShare.data();
    quad.columns = w1 - w0;
    for (int k = 0; k < 2; ++k) {
        quad.weight[k] = l.weight[k].data();
        quad.points[k] = &points[k]->x;
        quad.sign[k] = sideOf[k] == 0 ? 1.0f : -1.0f;
        quad.lift[k] = lifted ? lift_[k].data() : nullptr;
    }
    quad.firstColumn = static_cast<float>(w0) - origin;
    quad.lastPoint = lastPoint;
    quad.liftSteps = kLiftSteps;
    quad.lower = fromFrame ? lower : 0.0f, quad.upper = upper;
    quad.frameWidth = fw, quad.frameHeight = fh;
    quad.texelBytes = texel;
    size_t n = 0;
    for (int tile = w0; tile < w1; tile += kTileColumns) {
        const int tileEnd = std::min(w1, tile + kTileColumns);
        uint32_t bits = 0;
        for (int col = tile; col < tileEnd;) {
            // The largest group that starts here: quads at multiples of 4, pairs of 2.
            const auto alike = [&](int at, int ways) { return (at - tile) % ways == 0 && at + ways <= tileEnd; };
            if (few && alike(col, 4)) {
                int quads = 1;
                while (alike(col + 4 * quads, 4)) ++quads;
                const size_t taps = seamQuadTaps(quad, col - w0, quads, out + n);
                if (taps > 0) {
                    for (int q = 0; q < quads; ++q) bits |= 3u << (col + 4 * q - tile);
                    n += taps;
                    col += 4 * quads;
                    continue;
                }
            }
            const int ways = alike(col, 4) ? 4 : alike(col, 2) ? 2 : 1;
            size_t taps = 0;
            for (int p = 0; p < ways; ++p) taps = pixel(col + p, out + n + p, static_cast<size_t>(ways));
            n += taps * static_cast<size_t>(ways);
            if (ways == 4) bits |= 3u << (col - tile);
            else if (ways == 2) bits |= 1u << (col - tile);
            col += ways;
        }
        *mask++ = bits;
    }
    return n;
}

size_t SeamWarp::pixelTaps(const float x[2], const float y[2], const float r[2], const float share[2], float level,
                           SampleTap* out) const {
    const int fw = params_.frameWidth, fh = params_.frameHeight;
    // Between two levels: the frame (0) or a copy (levelRow_), by the fraction.
    level = std::min(level, static_cast<float>(levelCount_));
    const int coarse = std::min(static_cast<int>(level), std::max(0, levelCount_ - 1));
    const float upper = level - static_cast<float>(coarse), lower = 1.0f - upper, full = static_cast<float>(kWeightOne);
    const int stride = fw / 2;
    const bool lifted = !params_.falloff.flat();
    const auto read = [&](int k, float x, float y, uint32_t weight, uint32_t flag) __attribute__((always_inline)) {
        if (k == 0) return bilinearTap(x, y, fw, fh, fw, 0, weight, flag, params_.texelBytes);
        const float scale = 1.0f / static_cast<float>(1 << k);
        return bilinearTap(x * scale, y * scale, fw >> k, fh >> k, stride, levelRow_[k], weight, flag | SampleTap::kLevels,
                           params_.texelBytes);
    };
    // Each lens's weight rounded, the second's kept within full scale.
    uint32_t left = kWeightOne;
    size_t n = 0;
    for (int lens = 0; lens < 2; ++lens) {
        if (share[lens] < 1.0f / 512.0f) continue;
        float weight = share[lens] * full;
        if (lifted)
            weight *= lift_[lens][static_cast<size_t>(std::min(1.0f, std::max(0.0f, r[lens])) * kLiftSteps + 0.5f)];
        const uint32_t flag = lens ? SampleTap::kLens1 : 0u;
        const uint32_t q0 = std::min(left, static_cast<uint32_t>(weight * lower + 0.5f));
        left -= q0;
        out[n++] = read(coarse, x[lens], y[lens], q0, flag);
        if (upper > 0.0f) {
            const uint32_t q1 = std::min(left, static_cast<uint32_t>(weight * upper + 0.5f));
            left -= q1;
            out[n++] = read(coarse + 1, x[lens], y[lens], q1, flag);
        }
    }
    if (n == 0) out[n++] = SampleTap{0, 0};  // no lens to speak of: black, as the table has it
    out[n - 1].where |= SampleTap::kLast;
    return n;
}

void SeamWarp::findViewPixels(int y, std::vector<ViewPixel>& found) const {
    found.clear();
    const SeamBands& bands = *bands_;
    const double pi = 3.14159265358979323846;
    const int W = bands.width(), H = bands.height();
    // Each band's warped columns as a wedge of longitudes: a direction is in
    // it where it lies counter-clockwise of the first edge and clockwise of the last.
    double edge[2][2][2];
    for (int b = 0; b < 2; ++b)
        for (int e = 0; e < 2; ++e) {
            const double col = e == 0 ? w0_[b] - 1.0 : w1_[b] + 1.0;
            const double t = 2.0 * pi * (col + 0.5) / W;
            edge[b][e][0] = std::cos(t);
            edge[b][e][1] = std::sin(t);
        }
    const auto turned = [this](double x, double y, double r[3]) {
        double d[3];
        rays_.direction(x, y, d);
        for (int k = 0; k < 3; ++k) r[k] = rotation_[0][k] * d[0] + rotation_[1][k] * d[1] + rotation_[2][k] * d[2];
    };
    // Frame pixels per radian of the panorama where the bands' density is measured.
    const double framePerRadian = bands.density() / (pi / H);
    const float lastRow = static_cast<float>(bands.lastRow()) - 1e-3f;
    const auto test = [&](int x, const double r[3]) {
        for (int b = 0; b < 2; ++b) {
            if (w1_[b] <= w0_[b]) continue;
            const double* a = edge[b][0];
            const double* c = edge[b][1];
            if (a[0] * r[1] - a[1] * r[0] < 0.0 || r[0] * c[1] - r[1] * c[0] < 0.0) continue;
            double theta = std::atan2(r[1], r[0]);
            if (theta < 0.0) theta += 2.0 * pi;
            const float col = static_cast<float>(theta / (2.0 * pi) * W - 0.5);
            const float row = static_cast<float>(std::acos(std::fmax(-1.0, std::fmin(1.0, r[2]))) / pi * H - 0.5);
            if (col < static_cast<float>(w0_[b]) || col > static_cast<float>(w1_[b] - 1) ||
                row < static_cast<float>(bands.firstRow()) || row > lastRow)
                continue;
            const float t = (col - static_cast<float>(bands.begin(b)) + 0.5f) / static_cast<float>(bands.end(b) - bands.begin(b));
            ViewPixel v;
            v.halfFade = 0.5f * fade(t);
            if (v.halfFade == 0.0f) return;  // never moved
            // The view's pixel size here, against the panorama's, decides how
            // much of the smaller copies the read takes, as the table decides it.
            double right[3], below[3];
            turned(x + 1.5, y + 0.5, right);
            turned(x + 0.5, y + 1.5, below);
            double step = 0;
            for (const double* q : {right, below}) {
                double d2 = 0;
                for (int k = 0; k < 3; ++k) d2 += (q[k] - r[k]) * (q[k] - r[k]);
                step = std::max(step, std::sqrt(d2));
            }
            const float level = static_cast<float>(std::log2(std::max(1e-9, step * framePerRadian)));
            v.x = x, v.b = b, v.col = col, v.level = level > 0.05f ? level : 0.0f;
            v.row = static_cast<int>(row);
            v.down = row - static_cast<float>(v.row);
            // The shift's windows as SeamShift::at() reads them.
            const float at = t * static_cast<float>(shift_.windows + 1) - 1.0f;
            if (at <= 0.0f) v.window = 0, v.next = 0.0f;
            else if (at >= static_cast<float>(shift_.windows - 1)) v.window = shift_.windows - 1, v.next = 0.0f;
            else v.window = static_cast<int>(at), v.next = at - static_cast<float>(v.window);
            const int c0 = std::min(static_cast<int>(col), bands.end(b) - 1), c1 = std::min(c0 + 1, bands.end(b) - 1);
            const float fc = col - static_cast<float>(c0);
            v.right = bands.rightShare(b, c0) + (bands.rightShare(b, c1) - bands.rightShare(b, c0)) * fc;
            found.push_back(v);
            return;
        }
    };
    // The row is tried every kStep pixels first. Each test is a plane through
    // the centre, and a direction's distance to a plane changes no faster
    // than the direction itself: a stretch whose two ends both lie further
    // out than the arc between them has no pixel inside.
    constexpr int kStep = 8;
    const double zMost = std::cos(pi * (bands.firstRow() + 0.5) / H);  // |z| of the followed rows
    const auto maybe = [&](const double* p, const double* q) {
        double chord = 0;
        for (int k = 0; k < 3; ++k) chord += (q[k] - p[k]) * (q[k] - p[k]);
        const double arc = 1.05 * std::sqrt(chord) + 1e-9;
        if ((p[2] > zMost + arc && q[2] > zMost + arc) || (p[2] < -zMost - arc && q[2] < -zMost - arc)) return false;
        for (int b = 0; b < 2; ++b) {
            if (w1_[b] <= w0_[b]) continue;
            const double* a = edge[b][0];
            const double* c = edge[b][1];
            const bool before = a[0] * p[1] - a[1] * p[0] < -arc && a[0] * q[1] - a[1] * q[0] < -arc;
            const bool after = p[0] * c[1] - p[1] * c[0] < -arc && q[0] * c[1] - q[1] * c[0] < -arc;
            if (!before && !after) return true;
        }
        return false;
    };
    // Stretches [x0, x1] of the row, each pixel tried once.
    double p[3], q[3];
    turned(0.5, y + 0.5, p);
    for (int x0 = 0; x0 < shape_.width; x0 += kStep) {
        const int x1 = std::min(x0 + kStep, shape_.width - 1), end = x1 == shape_.width - 1 ? x1 + 1 : x1;
        turned(x1 + 0.5, y + 0.5, q);
        if (x1 == x0 || maybe(p, q))
            for (int x = x0; x < end; ++x) {
                double r[3];
                turned(x + 0.5, y + 0.5, r);
                test(x, r);
            }
        std::copy(q, q + 3, p);
    }
}

void SeamWarp::applyView(const uint8_t* frame, int row0, int row1, uint8_t* rows, size_t stride, const LensGains& gains,
                         Scratch& s) const {
    const SeamBands& bands = *bands_;
    const float origin0[2] = {static_cast<float>(bands.begin(0) - bands.margin()), static_cast<float>(bands.begin(1) - bands.margin())};
    const float lastPoint = static_cast<float>(bands.span() - 1) - 1e-3f;
    for (int y = std::max(0, row0); y < std::min(row1, shape_.height); ++y) {
        std::vector<ViewPixel>& pixels = viewRows_[static_cast<size_t>(y)];
        if (viewRowEpoch_[static_cast<size_t>(y)] != viewEpoch_) {
            findViewPixels(y, pixels);
            viewRowEpoch_[static_cast<size_t>(y)] = viewEpoch_;
        }
        if (pixels.empty()) continue;
        SampleTap* out = s.table.taps.data();
        size_t n = 0, count = 0;
        size_t starts[kTileColumns + 1];
        uint32_t* mask = s.band.groups.data();
        for (const ViewPixel& v : pixels) {
            if (shift_.shift[v.b].empty()) continue;
            const int b = v.b;
            const float* above = shift_.shift[b].data() + static_cast<size_t>(v.row) * static_cast<size_t>(shift_.windows) + v.window;
            const float* below = above + shift_.windows;
            const float sa = v.next > 0.0f ? above[0] + (above[1] - above[0]) * v.next : above[0];
            const float sb = v.next > 0.0f ? below[0] + (below[1] - below[0]) * v.next : below[0];
            float sh = sa + (sb - sa) * v.down;
            if (!std::isfinite(sh)) sh = 0.0f;
            const float half = sh * v.halfFade;
            if (half == 0.0f) continue;
            // Each lens's point at its shifted column, between whole columns and rows.
            float x[2], yy[2], r[2], share[2];
            for (int side = 0; side < 2; ++side) {
                const int lens = bands.lens(b, side);
                share[lens] = side == 0 ? 1.0f - v.right : v.right;
                float at = v.col + (side == 0 ? half : -half) - origin0[b];
                at = std::min(std::max(at, 0.0f), lastPoint);
                const int i = static_cast<int>(at);
                const float f = at - static_cast<float>(i);
                const SeamBands::Point* p = bands.rowPoints(b, side, v.row) + i;
                const SeamBands::Point* q = p + bands.span();
                const auto lerp = [f](float a0, float a1) { return a0 + (a1 - a0) * f; };
                const float px = lerp(p[0].x, p[1].x), py = lerp(p[0].y, p[1].y), pr = lerp(p[0].r, p[1].r);
                const float qx = lerp(q[0].x, q[1].x), qy = lerp(q[0].y, q[1].y), qr = lerp(q[0].r, q[1].r);
                x[lens] = px + (qx - px) * v.down, yy[lens] = py + (qy - py) * v.down, r[lens] = pr + (qr - pr) * v.down;
            }
            if (count % kTileColumns == 0 && count > 0) {
                starts[kTileColumns] = n;
                *mask++ = groupTileRow(starts, kTileColumns, out);
            }
            starts[count % kTileColumns] = n;
            n += pixelTaps(x, yy, r, share, halved_ ? v.level : 0.0f, out + n);
            s.columns[count++] = v.x;
        }
        if (count == 0) continue;
        const int tail = static_cast<int>((count - 1) % kTileColumns) + 1;
        starts[tail] = n;
        *mask++ = groupTileRow(starts, tail, out);
        s.table.outWidth = static_cast<int>(count);
        s.band.row0 = 0;
        s.band.row1 = 1;
        s.band.tapBegin = 0;
        s.band.tapEnd = n;
        sampleBand(s.table, s.band, frame, half_.data(), gains, s.pixels.data());
        uint8_t* row = rows + static_cast<size_t>(y - row0) * stride;
        const size_t texel = static_cast<size_t>(params_.texelBytes);
        for (size_t i = 0; i < count; ++i)
            std::copy(&s.pixels[texel * i], &s.pixels[texel * i] + texel, row + static_cast<size_t>(s.columns[i]) * texel);
    }
}

void SeamWarp::apply(const uint8_t* frame, int row0, int row1, uint8_t* rows, size_t stride, const LensGains& gains,
                     int thread) const {
    if (!active_ || !bands_ || thread < 0 || thread >= threads_) return;
    const SeamBands& bands = *bands_;
    Scratch& s = scratch_[static_cast<size_t>(thread)];
    if (view_) {
        applyView(frame, row0, row1, rows, stride, gains, s);
        return;
    }
    for (int b = 0; b < 2; ++b) {
        if (shift_.shift[b].empty() || w1_[b] <= w0_[b]) continue;
        RowCache& c = cache_[b];
        const size_t windows = static_cast<size_t>(shift_.windows);
        for (int row = std::max(row0, bands.firstRow()); row < std::min(row1, bands.lastRow() + 1); ++row) {
            if (!rowWarped(b, row)) continue;
            // The taps again only where the row's shift has changed.
            const size_t at = static_cast<size_t>(row - bands.firstRow());
            TableBand& band = c.rows[at];
            const float* rowShift = shift_.shift[b].data() + static_cast<size_t>(row) * windows;
            float* kept = c.shift.data() + at * windows;
            if (!c.valid[at] || std::memcmp(kept, rowShift, windows * sizeof(float)) != 0) {
                band.tapEnd = band.tapBegin + rowTaps(b, row, c.table.taps.data() + band.tapBegin, band.groups.data());
                std::memcpy(kept, rowShift, windows * sizeof(float));
                c.valid[at] = 1;
            }
            sampleBand(c.table, band, frame, half_.data(), gains, s.pixels.data());
            const int texel = params_.texelBytes;
            std::copy(s.pixels.begin(), s.pixels.begin() + texel * (w1_[b] - w0_[b]),
                      rows + static_cast<size_t>(row - row0) * stride + static_cast<size_t>(w0_[b]) * static_cast<size_t>(texel));
        }
    }
}

bool SeamWarp::rowWarped(int b, int row) const {
    const float* rowShift = shift_.shift[b].data() + static_cast<size_t>(row) * static_cast<size_t>(shift_.windows);
    for (int k = 0; k < shift_.windows; ++k)
        if (rowShift[k] != 0.0f && std::isfinite(rowShift[k])) return true;
    return false;
}

int SeamWarp::redoneTiles(int row0, int row1, int runs[2][2]) const {
    if (!active_ || view_ || !bands_ || row0 < bands_->firstRow() || row1 > bands_->lastRow() + 1) return 0;
    int n = 0;
    for (int b = 0; b < 2; ++b) {
        const int first = (w0_[b] + kTileColumns - 1) / kTileColumns, end = w1_[b] / kTileColumns;
        if (shift_.shift[b].empty() || end <= first) continue;
        bool all = true;
        for (int row = row0; row < row1 && all; ++row) all = rowWarped(b, row);
        if (!all) continue;
        runs[n][0] = first, runs[n][1] = end;
        ++n;
    }
    if (n == 2 && runs[1][0] < runs[0][0]) std::swap(runs[0], runs[1]);
    return n;
}

}  // namespace stitcher
