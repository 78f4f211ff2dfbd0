#include "ColorMatch.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "DualFisheyeModel.h"
#include "OverlapSamples.h"
#include "FisheyePlane.h"
#include "StitchLayout.h"
#include "WorkerPool.h"

namespace stitcher {

namespace {

// Seam sampling: the stitch layout at a nominal size (only the directions
// matter), a grid over each seam band widened by a third of its width on
// either side, clear of the poles and of the rims of the image circles.
const int kLayoutHeight = 720;
const int kColumnsPerBand = 16;
const int kRowsPerBand = 64;
const double kPoleMargin = 0.04;    // of the height, at each pole
const double kMaxRimRatio = 0.97;   // of the image-circle radius
const size_t kMinPairs = 200;

// Robust mean of log ratios: a weighted histogram gives the median and the
// median absolute deviation; the estimate is the weighted mean of the
// ratios within a window around it, twice re-centred.
const double kRange = 2.0;          // log ratios beyond +-2 (7.4x) are outliers
const int kBinsPerUnit = 256;
const int kBins = static_cast<int>(2 * kRange * kBinsPerUnit);
const double kMinWindow = 0.03;
const double kMaxWindow = 0.5;

bool finite(float v) { return std::isfinite(v); }

bool lensUsable(const FisheyeLens& l) {
    return finite(l.centerX) && finite(l.centerY) && finite(l.radius) && l.radius > 0.0f && finite(l.yaw) &&
           finite(l.pitch) && finite(l.roll) && l.imageWidth > 0 && l.imageHeight > 0;
}

Status checkInput(const DualFisheyeModel& model, int frameWidth, int frameHeight) {
    if (!lensUsable(model.lens0) || !lensUsable(model.lens1))
        return Status(kExitOffset, "calibration unreadable, or without image size, radius or finite values");
    if (frameWidth <= 0 || frameHeight <= 0) return Status(kExitInput, "frame size must be positive");
    // Byte offsets into the frame are 32-bit.
    if (static_cast<uint64_t>(frameWidth) * static_cast<uint64_t>(frameHeight) * 3 >= (uint64_t(1) << 32))
        return Status(kExitInput, "frame too large");
    return Status();
}

// Tap at texture coordinates (u, v) of the whole frame, or false when the
// position is near or beyond the rim of the lens's circle or off the frame.
bool makeTap(const FisheyeLens& lens, float u, float v, int fw, int fh, ColorEstimator::Tap* tap, float* radius) {
    const double du = static_cast<double>(u) * lens.imageWidth - lens.centerX;
    const double dv = static_cast<double>(v) * lens.imageHeight - lens.centerY;
    if (!(std::hypot(du, dv) <= kMaxRimRatio * lens.radius)) return false;
    *radius = static_cast<float>(std::hypot(du, dv) / lens.radius);
    // Continuous pixel coordinates, pixel centres at integers.
    double px = static_cast<double>(u) * fw - 0.5, py = static_cast<double>(v) * fh - 0.5;
    if (!(px >= -0.5 && px <= fw - 0.5 && py >= -0.5 && py <= fh - 0.5)) return false;
    px = std::min(std::max(px, 0.0), fw - 1.0);
    py = std::min(std::max(py, 0.0), fh - 1.0);
    int x0 = static_cast<int>(px), y0 = static_cast<int>(py);
    int wx = static_cast<int>(std::lround((px - x0) * kScale));
    int wy = static_cast<int>(std::lround((py - y0) * kScale));
    if (wx == kScale) { ++x0; wx = 0; }
    if (wy == kScale) { ++y0; wy = 0; }
    tap->offset = (static_cast<uint32_t>(y0) * static_cast<uint32_t>(fw) + static_cast<uint32_t>(x0)) * 3u;
    tap->right = x0 + 1 < fw ? 3u : 0u;
    tap->down = y0 + 1 < fh ? static_cast<uint32_t>(fw) * 3u : 0u;
    tap->wx = static_cast<uint8_t>(wx);
    tap->wy = static_cast<uint8_t>(wy);
    return true;
}

// Bilinear B, G, R at a tap, in levels * 16. The tap's offsets count
// 3-byte pixels; a frame of P-byte pixels has them scaled.
template <int P>
inline void sampleTap(const uint8_t* frame, const ColorEstimator::Tap& t, uint16_t out[3]) {
    const uint8_t* p = frame + static_cast<size_t>(t.offset / 3) * P;
    const uint8_t* q = p + static_cast<size_t>(t.down / 3) * P;
    const size_t right = static_cast<size_t>(t.right / 3) * P;
    const int ax = kScale - t.wx, bx = t.wx, ay = kScale - t.wy, by = t.wy;
    for (int c = 0; c < 3; ++c) {
        const int top = p[c] * ax + p[right + c] * bx;
        const int bottom = q[c] * ax + q[right + c] * bx;
        out[c] = static_cast<uint16_t>((top * ay + bottom * by + kScale / 2) / kScale);
    }
}

}  // namespace

bool robustLogMean(const std::vector<float>& r, const std::vector<float>& w, std::vector<float>& hist,
                   float* mean, float* spread, int* used) {
    hist.assign(kBins, 0.0f);
    double total = 0.0;
    for (size_t i = 0; i < r.size(); ++i) {
        const double k = std::floor((r[i] + kRange) * kBinsPerUnit);
        if (k < 0.0 || k >= kBins) continue;
        hist[static_cast<size_t>(k)] += w[i];
        total += w[i];
    }
    if (!(total > 0.0)) return false;

    double acc = 0.0;
    int km = 0;
    for (; km < kBins; ++km) {
        acc += hist[km];
        if (acc >= 0.5 * total) break;
    }
    km = std::min(km, kBins - 1);
    acc = hist[km];
    int j = 0;
    while (acc < 0.5 * total && j < kBins) {
        ++j;
        if (km - j >= 0) acc += hist[km - j];
        if (km + j < kBins) acc += hist[km + j];
    }
    const double sigma = 1.4826 * (j + 0.5) / kBinsPerUnit;
    const double window = std::min(std::max(2.5 * sigma, kMinWindow), kMaxWindow);

    double centre = (km + 0.5) / kBinsPerUnit - kRange;
    int count = 0;
    for (int iter = 0; iter < 2; ++iter) {
        double sw = 0.0, swr = 0.0;
        count = 0;
        for (size_t i = 0; i < r.size(); ++i) {
            if (std::fabs(r[i] - centre) > window) continue;
            sw += w[i];
            swr += w[i] * r[i];
            ++count;
        }
        if (!(sw > 0.0)) return false;
        centre = swr / sw;
    }
    *mean = static_cast<float>(centre);
    *spread = static_cast<float>(sigma);
    *used = count;
    return true;
}

const LogTable& logTable() {
    static const LogTable table;
    return table;
}

namespace {

// Gains are applied in fixed point with 12 fractional bits, by the same
// rule in the tables and the vector path, so both give the same bytes:
// out = min(255, (floor(v * G / 256) + 8) / 16), G = round(gain * 4096).
// Gains that are not finite or are negative count as 1; they are limited
// to below 16.
uint16_t fixedGain(float gain) {
    const double g = std::isfinite(gain) && gain >= 0.0f ? std::min(static_cast<double>(gain), 15.99) : 1.0;
    return static_cast<uint16_t>(std::lround(g * 4096.0));
}

// Table for one gain; true when it changes nothing.
bool buildLut(uint16_t gain, uint8_t lut[256]) {
    bool identity = true;
    for (int v = 0; v < 256; ++v) {
        const int x = (((v * gain) >> 8) + 8) >> 4;
        lut[v] = static_cast<uint8_t>(std::min(x, 255));
        identity = identity && lut[v] == v;
    }
    return identity;
}

// The gains of one lens, ready to apply to runs of whole pixels.
struct LensTables {
    bool active = false;
    uint16_t fixed[3];
    uint8_t lut[3][256];
#if defined(__SSE2__)
    // 48 bytes (16 pixels) as three vectors of 16 bytes, each in two halves
    // of 8 16-bit gains, following the B, G, R pattern.
    __m128i gain[3][2];
#endif

    explicit LensTables(const float gains[3]) {
        uint16_t g[3];
        for (int c = 0; c < 3; ++c) {
            g[c] = fixedGain(gains[c]);
            fixed[c] = g[c];
            if (!buildLut(g[c], lut[c])) active = true;
        }
#if defined(__SSE2__)
        for (int k = 0; k < 3; ++k)
            for (int h = 0; h < 2; ++h) {
                alignas(16) uint16_t lane[8];
                for (int j = 0; j < 8; ++j) lane[j] = g[(16 * k + 8 * h + j) % 3];
                gain[k][h] = _mm_load_si128(reinterpret_cast<const __m128i*>(lane));
            }
#endif
    }

    // `n` bytes from the start of a pixel.
    void apply(uint8_t* p, size_t n) const {
        size_t i = 0;
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi16(8);
        for (; i + 48 <= n; i += 48) {
            for (int k = 0; k < 3; ++k) {
                __m128i* q = reinterpret_cast<__m128i*>(p + i + 16 * k);
                const __m128i v = _mm_loadu_si128(q);
                // v * 256 in 16-bit lanes; the high half of the product is v * G / 256.
                __m128i lo = _mm_mulhi_epu16(_mm_unpacklo_epi8(zero, v), gain[k][0]);
                __m128i hi = _mm_mulhi_epu16(_mm_unpackhi_epi8(zero, v), gain[k][1]);
                lo = _mm_srli_epi16(_mm_add_epi16(lo, half), 4);
                hi = _mm_srli_epi16(_mm_add_epi16(hi, half), 4);
                _mm_storeu_si128(q, _mm_packus_epi16(lo, hi));
            }
        }
#endif
        for (; i < n; ++i) p[i] = lut[i % 3][p[i]];
    }

    // The same for `pixels` pixels, each also lifted by its own factor
    // (4096 / V): the gain of each channel times the lift, by the same
    // rounding rule.
    void applyLifted(uint8_t* p, const uint16_t* lift, size_t pixels) const {
        for (size_t i = 0; i < pixels; ++i, p += 3) {
            const uint32_t l = lift[i];
            for (int c = 0; c < 3; ++c) {
                const uint32_t g = (static_cast<uint32_t>(fixed[c]) * l + 2048u) >> 12;
                const uint32_t x = (((static_cast<uint32_t>(p[c]) * g) >> 8) + 8u) >> 4;
                p[c] = static_cast<uint8_t>(std::min<uint32_t>(x, 255u));
            }
        }
    }
};

}  // namespace

bool ColorGains::identity() const {
    uint8_t lut[256];
    for (int b = 0; b < 2; ++b)
        for (int c = 0; c < 3; ++c)
            if (!buildLut(fixedGain(gain[b][c]), lut)) return false;
    return true;
}

Status ColorEstimator::init(const DualFisheyeModel& model, int frameWidth, int frameHeight, double widenBy) {
    taps_.clear();
    spans_.clear();
    radius_.clear();
    correction_.clear();
    where_.clear();
    parallax_.clear();
    pairs_ = 0;
    Status st = checkInput(model, frameWidth, frameHeight);
    if (!st.ok()) return st;

    const int height = kLayoutHeight;
    const std::vector<stitchlayout::LayoutMesh> meshes = stitchlayout::stitchMeshes(model, 2 * height, height);
    const double band = stitchlayout::stitchBlendWidth(model, height);
    const double widen = band * std::min(std::max(widenBy, 0.0), 4.0);

    // Each mesh fades in over the one drawn before it: where their lenses
    // differ, that band is a seam.
    for (size_t k = 1; k < meshes.size(); ++k) {
        const stitchlayout::LayoutMesh& under = meshes[k - 1];
        const stitchlayout::LayoutMesh& over = meshes[k];
        if (under.lens == over.lens || over.plane.uvs.size() < 3) continue;
        const double left = over.plane.uvs[2];  // the mesh's planeLeft
        float rot[2][3][3];
        fisheyeLensRotation(under.plane.lens, rot[0]);
        fisheyeLensRotation(over.plane.lens, rot[1]);
        const stitchlayout::LayoutMesh* mesh[2] = {&under, &over};
        for (int i = 0; i < kColumnsPerBand; ++i) {
            const double x = left - widen + (band + 2.0 * widen) * (i + 0.5) / kColumnsPerBand;
            for (int j = 0; j < kRowsPerBand; ++j) {
                const double t = kPoleMargin + (1.0 - 2.0 * kPoleMargin) * (j + 0.5) / kRowsPerBand;
                const double y = over.plane.planeHeight * (t - 0.5) + over.plane.posY;
                Tap pair[2];
                float radius[2] = {0.0f, 0.0f};
                bool inside = true;
                for (int m = 0; m < 2 && inside; ++m) {
                    double d[3];
                    mesh[m]->plane.directionAtPoint(x, y, d);
                    float u = 0.0f, v = 0.0f;
                    const FisheyeLens& lens = mesh[m]->plane.lens;
                    fisheyeDirectionToUV(lens, rot[m], d[0], d[1], d[2], &u, &v);
                    Tap& tap = pair[mesh[m]->lens];
                    inside = makeTap(lens, u, v, frameWidth, frameHeight, &tap, &radius[mesh[m]->lens]);
                    tap.slot = static_cast<uint32_t>(2 * pairs_ + mesh[m]->lens);
                }
                if (!inside) continue;
                taps_.push_back(pair[0]);
                taps_.push_back(pair[1]);
                // Mesh 2 over mesh 1 is the first band in the panorama's columns.
                where_.push_back(static_cast<float>((k == 2 ? 0 : 2)) + static_cast<float>(t));
                radius_.push_back(radius[0]);
                radius_.push_back(radius[1]);
                ++pairs_;
            }
        }
    }
    if (pairs_ < kMinPairs) {
        taps_.clear();
        radius_.clear();
        pairs_ = 0;
        return Status(kExitOffset, "the lenses share too few directions to compare their colours");
    }
    std::sort(taps_.begin(), taps_.end(), [](const Tap& a, const Tap& b) { return a.offset < b.offset; });
    // Each tap's 2 x 2 block; blocks of a row closer than a few pixels share a run.
    const size_t rowBytes = static_cast<size_t>(frameWidth) * 3;
    for (const Tap& t : taps_) {
        const int row = static_cast<int>(t.offset / rowBytes), x = static_cast<int>(t.offset % rowBytes / 3);
        spans_.push_back({row, x, x + (t.right ? 2 : 1)});
        if (t.down) spans_.push_back({row + 1, x, x + (t.right ? 2 : 1)});
    }
    std::sort(spans_.begin(), spans_.end(),
              [](const Span& a, const Span& b) { return a.row != b.row ? a.row < b.row : a.x0 < b.x0; });
    size_t kept = 0;
    for (const Span& s : spans_) {
        if (kept && spans_[kept - 1].row == s.row && s.x0 <= spans_[kept - 1].x1 + 8)
            spans_[kept - 1].x1 = std::max(spans_[kept - 1].x1, s.x1);
        else
            spans_[kept++] = s;
    }
    spans_.resize(kept);
    values_.assign(taps_.size() * 3, 0);
    for (int c = 0; c < 3; ++c) {
        ratio_[c].reserve(pairs_);
        weight_[c].reserve(pairs_);
    }
    return Status();
}

void ColorEstimator::setFalloff(const LensFalloff& falloff) {
    correction_.clear();
    if (falloff.flat() || pairs_ == 0) return;
    correction_.resize(pairs_);
    for (size_t p = 0; p < pairs_; ++p)
        correction_[p] = static_cast<float>(falloff.logValue(1, radius_[2 * p + 1]) - falloff.logValue(0, radius_[2 * p]));
}

const uint16_t* ColorEstimator::sample(const uint8_t* frame, int texelBytes) {
    if (texelBytes == 4)
        for (const Tap& t : taps_) sampleTap<4>(frame, t, &values_[t.slot * 3]);
    else
        for (const Tap& t : taps_) sampleTap<3>(frame, t, &values_[t.slot * 3]);
    return values_.data();
}

void ColorEstimator::setSeamShift(const SeamShift& shift) {
    parallax_.assign(pairs_, 0);
    for (size_t p = 0; p < pairs_ && p < where_.size(); ++p) {
        const int band = where_[p] >= 2.0f ? 1 : 0;
        const std::vector<float>& rows = shift.shift[band];
        const size_t windows = static_cast<size_t>(std::max(1, shift.windows));
        if (rows.empty()) continue;
        const size_t height = rows.size() / windows;
        const size_t row = std::min(height - 1, static_cast<size_t>((where_[p] - 2.0f * band) * static_cast<float>(height)));
        for (size_t w = 0; w < windows; ++w) parallax_[p] = parallax_[p] || std::fabs(rows[row * windows + w]) >= 0.5f;
    }
}

ColorEstimate ColorEstimator::estimate(const uint8_t* frame, int texelBytes) {
    ColorEstimate e;
    if (!frame || pairs_ == 0) return e;
    sample(frame, texelBytes);
    const LogTable& log = logTable();
    const int lo = kDark * kScale, hi = kClipped * kScale;
    for (int c = 0; c < 3; ++c) {
        ratio_[c].clear();
        weight_[c].clear();
    }
    for (size_t p = 0; p < pairs_; ++p) {
        const uint16_t* a = &values_[p * 6];
        const uint16_t* b = a + 3;
        for (int c = 0; c < 3; ++c) {
            if (a[c] < lo || a[c] > hi || b[c] < lo || b[c] > hi || (!parallax_.empty() && parallax_[p])) continue;
            ratio_[c].push_back(log.v[a[c]] - log.v[b[c]] + (correction_.empty() ? 0.0f : correction_[p]));
            // Dark samples carry more noise in the ratio.
            weight_[c].push_back(static_cast<float>(std::min(a[c], b[c])));
        }
    }
    const int minUsed = std::max(kMinUsed, static_cast<int>(pairs_ / 20));
    for (int c = 0; c < 3; ++c) {
        if (!robustLogMean(ratio_[c], weight_[c], hist_, &e.logRatio[c], &e.spread[c], &e.used[c])) continue;
        e.confident[c] = e.used[c] >= minUsed && e.spread[c] <= kMaxSpread;
    }
    return e;
}

GainSmoother::GainSmoother(double fps) {
    if (!(fps > 0.5 && fps < 1000.0)) fps = 30.0;
    const double dt = 1.0 / fps;
    alpha_ = 1.0 - std::exp(-dt / kTimeConstant);
    maxStep_ = kMaxRate * dt;
}

void GainSmoother::reset() {
    for (int c = 0; c < 3; ++c) {
        logRatio_[c] = 0.0;
        started_[c] = false;
    }
    holding_ = true;
    gains_ = ColorGains();
}

const ColorGains& GainSmoother::update(const ColorEstimate& e) {
    holding_ = true;
    for (int c = 0; c < 3; ++c) {
        const double r = e.logRatio[c];
        if (!e.confident[c] || !std::isfinite(r)) continue;
        holding_ = false;
        if (!started_[c]) {
            logRatio_[c] = r;  // the first usable estimate as it is
            started_[c] = true;
            continue;
        }
        const double diff = r - logRatio_[c];
        if (std::fabs(diff) <= kDeadBand) continue;
        const double excess = diff - std::copysign(kDeadBand, diff);
        logRatio_[c] += std::min(std::max(alpha_ * excess, -maxStep_), maxStep_);
    }
    // Within the dead band of balance the lenses count as matched: the
    // gains are exactly 1 and the picture stays as it is.
    for (int c = 0; c < 3; ++c) {
        const double r = std::fabs(logRatio_[c]) <= kDeadBand ? 0.0 : logRatio_[c];
        gains_.gain[0][c] = static_cast<float>(std::exp(-0.5 * r));
        gains_.gain[1][c] = static_cast<float>(std::exp(0.5 * r));
    }
    return gains_;
}

Status GainApplier::init(const DualFisheyeModel& model, int frameWidth, int frameHeight, const LensFalloff& falloff) {
    frameWidth_ = frameHeight_ = 0;
    spans_.clear();
    lift_.clear();
    if (!falloff.flat() && !falloff.usable()) return Status(kExitOffset, "unusable lens fall-off");
    Status st = checkInput(model, frameWidth, frameHeight);
    if (!st.ok()) return st;
    const FisheyeLens* lens[2] = {&model.lens0, &model.lens1};
    spans_.assign(static_cast<size_t>(frameHeight) * 4, 0);
    for (int y = 0; y < frameHeight; ++y) {
        int32_t* s = &spans_[static_cast<size_t>(y) * 4];
        for (int b = 0; b < 2; ++b) {
            const FisheyeLens& l = *lens[b];
            // Calibration pixels per frame pixel; the circle is widened by
            // one frame pixel, which bilinear sampling at the rim reaches.
            const double sx = static_cast<double>(l.imageWidth) / frameWidth;
            const double sy = static_cast<double>(l.imageHeight) / frameHeight;
            const double r = l.radius + std::max(sx, sy);
            const double dy = (y + 0.5) * sy - l.centerY;
            if (!(std::fabs(dy) < r)) continue;
            const double half = std::sqrt(r * r - dy * dy);
            // Pixels whose centres lie within [cx - half, cx + half].
            const double x0 = std::ceil((l.centerX - half) / sx - 0.5);
            const double x1 = std::floor((l.centerX + half) / sx - 0.5) + 1.0;
            s[2 * b] = static_cast<int32_t>(std::min(std::max(x0, 0.0), static_cast<double>(frameWidth)));
            s[2 * b + 1] = static_cast<int32_t>(std::min(std::max(x1, 0.0), static_cast<double>(frameWidth)));
        }
        // Circles that overlap share the overlap half and half.
        int32_t *a = s, *c = s + 2;
        if (a[0] < a[1] && c[0] < c[1] && a[0] < c[1] && c[0] < a[1]) {
            if (c[0] < a[0]) std::swap(a, c);
            const int32_t cut = (std::max(a[0], c[0]) + std::min(a[1], c[1])) / 2;
            a[1] = std::min(a[1], cut);
            c[0] = std::max(c[0], cut);
            if (c[1] < c[0]) c[1] = c[0];  // one circle inside the other
        }
    }
    if (!falloff.flat()) {
        lift_.assign(static_cast<size_t>(frameWidth) * static_cast<size_t>(frameHeight), 4096);
        for (int y = 0; y < frameHeight; ++y)
            for (int b = 0; b < 2; ++b) {
                const FisheyeLens& l = *lens[b];
                const double sx = static_cast<double>(l.imageWidth) / frameWidth;
                const double sy = static_cast<double>(l.imageHeight) / frameHeight;
                const double dy = (y + 0.5) * sy - l.centerY;
                const int32_t* s = &spans_[static_cast<size_t>(y) * 4 + 2 * b];
                for (int32_t x = s[0]; x < s[1]; ++x) {
                    const double r = std::hypot((x + 0.5) * sx - l.centerX, dy) / l.radius;
                    lift_[static_cast<size_t>(y) * frameWidth + x] =
                        static_cast<uint16_t>(std::lround(4096.0 / falloff.value(b, r)));
                }
            }
    }
    frameWidth_ = frameWidth;
    frameHeight_ = frameHeight;
    return Status();
}

GainApplier::GainApplier() = default;
GainApplier::~GainApplier() = default;

namespace {

// Applies the gains to rows [y0, y1) of a frame.
struct GainRows {
    const LensTables* lens;
    const int32_t* spans;
    const uint16_t* lift;  // per pixel, or null
    uint8_t* frame;
    int frameWidth;

    void operator()(int y0, int y1) const {
        for (int y = y0; y < y1; ++y) {
            for (int b = 0; b < 2; ++b) {
                if (!lens[b].active && !lift) continue;
                const int32_t x0 = spans[static_cast<size_t>(y) * 4 + 2 * b];
                const int32_t x1 = spans[static_cast<size_t>(y) * 4 + 2 * b + 1];
                if (x0 >= x1) continue;
                const size_t at = static_cast<size_t>(y) * frameWidth + x0;
                uint8_t* run = frame + at * 3;
                if (lift)
                    lens[b].applyLifted(run, lift + at, static_cast<size_t>(x1 - x0));
                else
                    lens[b].apply(run, static_cast<size_t>(x1 - x0) * 3);
            }
        }
    }
};

}  // namespace

bool GainApplier::apply(uint8_t* frame, const ColorGains& gains, WorkerPool& pool) const {
    if (!frame || !ok()) return false;
    const LensTables lens[2] = {LensTables(gains.gain[0]), LensTables(gains.gain[1])};
    if (!lens[0].active && !lens[1].active && lift_.empty()) return false;
    const GainRows rows{lens, spans_.data(), lift_.empty() ? nullptr : lift_.data(), frame, frameWidth_};
    // A few bands a thread, so that a thread held up elsewhere does not hold up the frame.
    const int bands = std::min(frameHeight_, 4 * pool.threads());
    pool.run(static_cast<size_t>(bands), [&](size_t band) {
        const int y0 = static_cast<int>(static_cast<int64_t>(frameHeight_) * static_cast<int64_t>(band) / bands);
        const int y1 = static_cast<int>(static_cast<int64_t>(frameHeight_) * static_cast<int64_t>(band + 1) / bands);
        rows(y0, y1);
    });
    return true;
}

bool GainApplier::apply(uint8_t* frame, const ColorGains& gains, int threads) const {
    if (threads <= 1) {
        WorkerPool here(1);  // no threads: all on this one
        return apply(frame, gains, here);
    }
    std::lock_guard<std::mutex> lock(poolLock_);
    if (!pool_ || poolThreads_ != threads) {
        pool_.reset();
        pool_.reset(new WorkerPool(threads));
        poolThreads_ = threads;
    }
    return apply(frame, gains, *pool_);
}

std::string formatGains(const ColorGains& g) {
    char line[128];
    std::snprintf(line, sizeof line, "color gains B,G,R: lens 0 %.3f %.3f %.3f, lens 1 %.3f %.3f %.3f",
                  g.gain[0][0], g.gain[0][1], g.gain[0][2], g.gain[1][0], g.gain[1][1], g.gain[1][2]);
    return line;
}

Status ColorMatch::init(const DualFisheyeModel& model, int frameWidth, int frameHeight, double fps) {
    smoother_ = GainSmoother(fps);
    last_ = ColorEstimate();
    return estimator_.init(model, frameWidth, frameHeight);
}

const ColorGains& ColorMatch::update(const uint8_t* frame) { return update(estimator_.estimate(frame)); }

const ColorGains& ColorMatch::update(const ColorEstimate& estimate) {
    last_ = estimate;
    return smoother_.update(last_);
}

}  // namespace stitcher
