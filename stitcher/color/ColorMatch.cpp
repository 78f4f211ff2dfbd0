#include "ColorMatch.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "DualFisheyeModel.h"
#include "FramePass.h"
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
const double kMaxSpread = 0.3;      // above it the lenses do not see the same thing
const int kMinUsed = 64;

// Sampled values carry 4 fractional bits: levels * 16.
const int kScale = 16;

// ln(i / 16) for the fixed-point sample values.
struct LogTable {
    float v[255 * kScale + 1];
    LogTable() {
        v[0] = 0.0f;  // never used: zero is below the dark limit
        for (int i = 1; i <= 255 * kScale; ++i) v[i] = static_cast<float>(std::log(static_cast<double>(i) / kScale));
    }
};

const LogTable& logTable() {
    static const LogTable table;
    return table;
}

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

// Bilinear B, G, R at a tap, in levels * 16.
inline void sampleTap(const uint8_t* frame, const ColorEstimator::Tap& t, uint16_t out[3]) {
    const uint8_t* p = frame + t.offset;
    const uint8_t* q = p + t.down;
    const int ax = kScale - t.wx, bx = t.wx, ay = kScale - t.wy, by = t.wy;
    for (int c = 0; c < 3; ++c) {
        const int top = p[c] * ax + p[t.right + c] * bx;
        const int bottom = q[c] * ax + q[t.right + c] * bx;
        out[c] = static_cast<uint16_t>((top * ay + bottom * by + kScale / 2) / kScale);
    }
}

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
    radius_.clear();
    correction_.clear();
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

const uint16_t* ColorEstimator::sample(const uint8_t* frame) {
    for (const Tap& t : taps_) sampleTap(frame, t, &values_[t.slot * 3]);
    return values_.data();
}

ColorEstimate ColorEstimator::estimate(const uint8_t* frame) {
    ColorEstimate e;
    if (!frame || pairs_ == 0) return e;
    sample(frame);
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
            if (a[c] < lo || a[c] > hi || b[c] < lo || b[c] > hi) continue;
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

Status FalloffEstimator::init(const DualFisheyeModel& model, int frameWidth, int frameHeight) {
    group_.clear();
    ratio_.clear();
    weight_.clear();
    feature_.clear();
    cells_.clear();
    frames_ = 0;
    const Status st = estimator_.init(model, frameWidth, frameHeight, kWiden);
    if (!st.ok()) return st;
    // Cells: runs of pairs that follow each other along one column of a
    // band, so at nearly the same radii in both lenses.
    const size_t pairs = estimator_.pairCount();
    for (size_t p = 0; p < pairs; ++p) {
        const double d = estimator_.radius(p, 0) - estimator_.radius(p, 1);
        const bool same = !cells_.empty() && p - cells_.back() < kCellPairs &&
                          std::fabs(d - (estimator_.radius(p - 1, 0) - estimator_.radius(p - 1, 1))) < 0.01;
        if (!same) cells_.push_back(static_cast<uint32_t>(p));
    }
    cells_.push_back(static_cast<uint32_t>(pairs));
    return st;
}

bool FalloffEstimator::add(const uint8_t* frame) {
    if (!frame || !estimator_.ok()) return false;
    const size_t pairs = estimator_.pairCount();
    const uint16_t* values = estimator_.sample(frame);
    const LogTable& log = logTable();
    const int lo = ColorEstimator::kDark * kScale, hi = ColorEstimator::kClipped * kScale;
    const int minUsed = std::max(kMinUsed, static_cast<int>(pairs / 20));
    std::vector<float> r, w, hist;
    bool any = false;
    for (int c = 0; c < 3; ++c) {
        // Whether the lenses see the same thing here at all: the spread of
        // the samples' log ratios. A channel too dark, too bright or where
        // they do not adds nothing.
        r.clear();
        w.clear();
        for (size_t p = 0; p < pairs; ++p) {
            const uint16_t a = values[p * 6 + c], b = values[p * 6 + 3 + c];
            if (a < lo || a > hi || b < lo || b > hi) continue;
            r.push_back(log.v[a] - log.v[b]);
            w.push_back(1.0f);
        }
        float mean = 0.0f, spread = 0.0f;
        int used = 0;
        if (static_cast<int>(r.size()) < minUsed || !robustLogMean(r, w, hist, &mean, &spread, &used) ||
            used < minUsed || spread > kMaxSpread)
            continue;
        // Per cell, the ratio of the two lenses' sums: a mean over scattered
        // directions is the same however sharply a lens draws the scene,
        // where a mean of log ratios is not (the lens nearer its rim draws
        // it softer). A cell with a clipped sample in either lens is left
        // out whole (leaving out the sample would favour the softer lens,
        // which clips less); dark samples are as linear as the rest.
        const size_t channelStart = ratio_.size();
        for (size_t k = 0; k + 1 < cells_.size(); ++k) {
            double sa = 0.0, sb = 0.0, f[kFeatures] = {};
            uint32_t n = 0;
            for (uint32_t p = cells_[k]; p < cells_[k + 1]; ++p) {
                const uint16_t a = values[p * 6 + c], b = values[p * 6 + 3 + c];
                if (a > hi || b > hi) {
                    n = 0;
                    break;
                }
                sa += a;
                sb += b;
                double g[kFeatures];
                features(estimator_.radius(p, 0), estimator_.radius(p, 1), g);
                for (int j = 0; j < kFeatures; ++j) f[j] += g[j];
                ++n;
            }
            if (n < kCellPairs / 2 || sa < static_cast<double>(lo) * n || sb < static_cast<double>(lo) * n) continue;
            ratio_.push_back(static_cast<float>(std::log(sa / sb)));
            weight_.push_back(static_cast<float>(n));
            for (int j = 0; j < kFeatures; ++j) feature_.push_back(static_cast<float>(f[j] / n));
            group_.push_back(frames_ * 3 + c);
        }
        if (ratio_.size() - channelStart < 8) {
            ratio_.resize(channelStart);
            weight_.resize(channelStart);
            feature_.resize(kFeatures * channelStart);
            group_.resize(channelStart);
            continue;
        }
        any = true;
    }
    if (!any) return false;
    ++frames_;
    return true;
}

void FalloffEstimator::features(double r0, double r1, double f[kFeatures]) {
    const double q0 = r0 * r0, q1 = r1 * r1;
    f[0] = q0 - q1;
    f[1] = q0 * q0 - q1 * q1;
}

namespace {

// The prior toward flat, as a share of the data's information (the trace
// of its normal matrix): the slope the data see is left almost untouched,
// the split between r^2 and r^4 that they hardly see goes to the smaller
// coefficients.
const double kFlatPrior = 0.0002;
const int kFitRounds = 6;
const double kCauchyScale = 2.385;   // of the residuals' robust sigma
// A fall-off is used only where its darkening at the rim stands this many
// of its standard errors (over the frames) clear of none.
const double kSignificance = 4.0;
constexpr int kK = FalloffEstimator::kFeatures;  // the fit's coefficients: a and b

struct Rows {
    const std::vector<int32_t>& group;
    const std::vector<float>& ratio;
    const std::vector<float>& weight;
    const std::vector<float>& feature;  // kK per row
    int groups;
};

// Solves the kK x kK system m x = y in place (Gaussian elimination with
// partial pivoting); false where it is singular.
bool solve(double m[kK][kK], double y[kK], double x[kK]) {
    for (int k = 0; k < kK; ++k) {
        int best = k;
        for (int i = k + 1; i < kK; ++i)
            if (std::fabs(m[i][k]) > std::fabs(m[best][k])) best = i;
        if (!(std::fabs(m[best][k]) > 1e-300)) return false;
        for (int j = 0; j < kK; ++j) std::swap(m[k][j], m[best][j]);
        std::swap(y[k], y[best]);
        for (int i = k + 1; i < kK; ++i) {
            const double f = m[i][k] / m[k][k];
            for (int j = k; j < kK; ++j) m[i][j] -= f * m[k][j];
            y[i] -= f * y[k];
        }
    }
    for (int k = kK - 1; k >= 0; --k) {
        double s = y[k];
        for (int j = k + 1; j < kK; ++j) s -= m[k][j] * x[j];
        x[k] = s / m[k][k];
    }
    for (int k = 0; k < kK; ++k)
        if (!std::isfinite(x[k])) return false;
    return true;
}

// Weighted least squares over the cell rows (those of frame `skipFrame`
// left out), each group's mean taken out, with Cauchy reweighting; false
// where the data span no range of radii.
bool fitRows(const Rows& d, int skipFrame, double theta[kK]) {
    const size_t n = d.ratio.size();
    const size_t stride = kK + 1;
    std::vector<double> robust(n, 1.0), residual(n, 0.0), mean(static_cast<size_t>(d.groups) * stride);
    std::vector<double> gw(static_cast<size_t>(d.groups));
    std::vector<float> sorted;
    for (int k = 0; k < kK; ++k) theta[k] = 0.0;
    auto skipped = [&](size_t i) { return skipFrame >= 0 && d.group[i] / 3 == skipFrame; };
    for (int round = 0; round < kFitRounds; ++round) {
        std::fill(mean.begin(), mean.end(), 0.0);
        std::fill(gw.begin(), gw.end(), 0.0);
        for (size_t i = 0; i < n; ++i) {
            if (skipped(i)) continue;
            const double w = d.weight[i] * robust[i];
            double* m = &mean[static_cast<size_t>(d.group[i]) * stride];
            m[0] += w * d.ratio[i];
            for (int k = 0; k < kK; ++k) m[1 + k] += w * d.feature[kK * i + k];
            gw[static_cast<size_t>(d.group[i])] += w;
        }
        for (int g = 0; g < d.groups; ++g)
            if (gw[g] > 0.0)
                for (size_t k = 0; k < stride; ++k) mean[static_cast<size_t>(g) * stride + k] /= gw[g];
        double h[kK][kK] = {}, y[kK] = {}, total = 0.0;
        for (size_t i = 0; i < n; ++i) {
            if (skipped(i)) continue;
            const double w = d.weight[i] * robust[i];
            const double* m = &mean[static_cast<size_t>(d.group[i]) * stride];
            double f[kK];
            for (int k = 0; k < kK; ++k) f[k] = d.feature[kK * i + k] - m[1 + k];
            const double e = d.ratio[i] - m[0];
            for (int k = 0; k < kK; ++k) {
                y[k] += w * f[k] * e;
                for (int j = 0; j < kK; ++j) h[k][j] += w * f[k] * f[j];
            }
            total += w;
        }
        if (!(total > 0.0)) return false;
        double trace = 0.0;
        for (int k = 0; k < kK; ++k) {
            y[k] /= total;
            for (int j = 0; j < kK; ++j) h[k][j] /= total;
            trace += h[k][k];
        }
        if (!(trace > 1e-12)) return false;
        for (int k = 0; k < kK; ++k) h[k][k] += kFlatPrior * trace;
        if (!solve(h, y, theta)) return false;
        // Cauchy weights from the residuals' robust scale.
        sorted.clear();
        for (size_t i = 0; i < n; ++i) {
            if (skipped(i)) continue;
            const double* m = &mean[static_cast<size_t>(d.group[i]) * stride];
            double e = d.ratio[i] - m[0];
            for (int k = 0; k < kK; ++k) e -= theta[k] * (d.feature[kK * i + k] - m[1 + k]);
            residual[i] = e;
            sorted.push_back(static_cast<float>(std::fabs(e)));
        }
        if (sorted.empty()) return false;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
        const double sigma = std::max(1.4826 * sorted[sorted.size() / 2], 1e-4);
        for (size_t i = 0; i < n; ++i) {
            const double u = residual[i] / (kCauchyScale * sigma);
            robust[i] = 1.0 / (1.0 + u * u);
        }
    }
    return true;
}

// Holds one lens's coefficients to a fall-off that never brightens outward
// and keeps at least LensFalloff::kMinRim at the rim.
void holdMonotonic(double* a, double* b) {
    *a = std::min(*a, 0.0);
    if (*a + 2.0 * *b > 0.0) *b = -*a / 2.0;
    const double least = std::log(LensFalloff::kMinRim);
    if (*a + *b < least) {
        const double k = least / (*a + *b);
        *a *= k;
        *b *= k;
    }
}

}  // namespace

FalloffEstimator::Result FalloffEstimator::fit() const {
    Result out;
    if (frames_ < kMinFrames) {
        out.why = frames_ == 0 ? "no frame shows usable detail where the lenses overlap (too dark, clipped, or the "
                                 "lenses disagree)"
                               : "too few frames show usable detail where the lenses overlap";
        return out;
    }
    const Rows rows{group_, ratio_, weight_, feature_, frames_ * 3};
    double theta[kK];
    if (!fitRows(rows, -1, theta)) {
        out.why = "the overlap covers no range of radii to measure a fall-off over";
        return out;
    }
    // The standard error of the darkening at the rim over the frames, each
    // left out in turn.
    double spread = 0.0;
    for (int k = 0; k < frames_; ++k) {
        double t[kK];
        if (fitRows(rows, k, t)) spread += (t[0] + t[1] - theta[0] - theta[1]) * (t[0] + t[1] - theta[0] - theta[1]);
    }
    const double rimError = std::sqrt(spread * (frames_ - 1) / frames_);
    holdMonotonic(&theta[0], &theta[1]);
    LensFalloff f;
    for (int l = 0; l < 2; ++l) {
        f.a[l] = theta[0];
        f.b[l] = theta[1];
    }
    if (!f.usable()) {
        out.why = "the fall-off fit gave no usable result";
        return out;
    }
    out.measured = true;
    out.fitted = f;
    // Only what the data clearly show is undone: a rim this close to 1, or a
    // darkening within the noise of the frames, leaves the picture as it was.
    if (f.rim(0) < kFlatRim && -(theta[0] + theta[1]) > kSignificance * rimError)
        out.falloff = f;
    else if (f.rim(0) < kFlatRim)
        out.why = "the fall-off is not clearly there: it differs too much from frame to frame";
    return out;
}

FalloffEstimator::Result estimateFalloff(const DualFisheyeModel& model, int frameWidth, int frameHeight,
                                         long long first, long long count,
                                         const std::function<bool(long long frame, uint8_t* bgr)>& read, int frames) {
    FalloffEstimator estimator;
    FalloffEstimator::Result out;
    const Status st = estimator.init(model, frameWidth, frameHeight);
    if (!st.ok()) {
        out.why = st.message();
        return out;
    }
    if (count <= 0 || frames <= 0 || !read) {
        out.why = "no frames to measure on";
        return out;
    }
    const long long n = std::min<long long>(frames, count);
    std::vector<long long> numbers;
    for (long long k = 0; k < n; ++k) numbers.push_back(first + (2 * k + 1) * count / (2 * n));  // the middles of n equal parts
    SampledFrames samples(numbers, frameWidth, frameHeight, read);
    static const std::atomic<bool> uninterrupted{false};
    const Status walked = walkFrames(samples, uninterrupted, [&](FrameItem& item) {
        if (!item.damaged) estimator.add(item.picture.data());
        return Status();
    });
    if (!walked.ok()) {
        out.why = walked.message();
        return out;
    }
    return estimator.fit();
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
