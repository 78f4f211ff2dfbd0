#include "FalloffEstimator.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "DualFisheyeModel.h"
#include "FisheyePlane.h"
#include "FramePass.h"
#include "OverlapSamples.h"
#include "SeamBands.h"
#include "StitchLayout.h"
#include "Angles.h"

namespace stitcher {

namespace {

// The directions a turned pair of frames is compared on, over the sphere.
constexpr int kDirections = 16384;
// Radii of the lens circle compared (clear of the rim), and the cells: this
// many per lens along each frame's radius, used from this many samples.
constexpr double kMaxRadius = 0.96;
constexpr int kCellsPerRadius = 16;
constexpr uint32_t kMinCellSamples = 12;

}  // namespace

Status FalloffEstimator::init(const DualFisheyeModel& model, int frameWidth, int frameHeight) {
    group_.clear();
    place_.clear();
    ratio_.clear();
    weight_.clear();
    feature_.clear();
    cells_.clear();
    frames_ = 0;
    curveGroup_.clear();
    curvePlace_.clear();
    curveRatio_.clear();
    curveWeight_.clear();
    curveFeature_.clear();
    curveGroups_ = 0;
    pairs_ = 0;
    lens_.clear();
    directions_.clear();
    const Status st = estimator_.init(model, frameWidth, frameHeight, kWiden);
    if (!st.ok()) return st;
    frameWidth_ = frameWidth;
    frameHeight_ = frameHeight;
    // Each lens as its stitch mesh places it (see()).
    const int layoutHeight = 720;
    for (const stitchlayout::LayoutMesh& m : stitchlayout::stitchMeshes(model, 2 * layoutHeight, layoutHeight)) {
        if (static_cast<int>(lens_.size()) != m.lens) continue;  // the first mesh of each lens, in order
        lens_.push_back(m.plane.lens);
        fisheyeLensRotation(m.plane.lens, look_[m.lens].rot);
        look_[m.lens].middle = (m.plane.posX + layoutHeight) / (2.0 * layoutHeight) * 2.0 * kPi;
    }
    // Directions evenly over the sphere (a Fibonacci lattice).
    const double golden = kPi * (3.0 - std::sqrt(5.0));
    for (int k = 0; k < kDirections; ++k) {
        Direction d;
        const double z = 1.0 - (2.0 * k + 1.0) / kDirections, s = std::sqrt(1.0 - z * z), t = golden * k;
        const double v[3] = {s * std::cos(t), s * std::sin(t), z};
        bool any = false;
        for (int l = 0; l < 2; ++l) any = see(l, v, &d.u[l], &d.v[l], &d.r[l]) || any;
        if (!any) continue;
        for (int i = 0; i < 3; ++i) d.d[i] = static_cast<float>(v[i]);
        directions_.push_back(d);
    }
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
        const size_t channelStart = ratio_.size(), curveStart = curveRatio_.size();
        float cf[kCurveFeatures];
        for (size_t k = 0; k + 1 < cells_.size(); ++k) {
            double sa = 0.0, sb = 0.0, f[kFeatures] = {};
            std::fill(cf, cf + kCurveFeatures, 0.0f);
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
                curveFeatures(0, estimator_.radius(p, 0), 1.0, cf);
                curveFeatures(1, estimator_.radius(p, 1), -1.0, cf);
                ++n;
            }
            if (n < kCellPairs / 2 || sa < static_cast<double>(lo) * n || sb < static_cast<double>(lo) * n) continue;
            ratio_.push_back(static_cast<float>(std::log(sa / sb)));
            weight_.push_back(static_cast<float>(n));
            for (int j = 0; j < kFeatures; ++j) feature_.push_back(static_cast<float>(f[j] / n));
            group_.push_back(frames_ * 3 + c);
            place_.push_back(static_cast<int32_t>(k));
            curveRatio_.push_back(ratio_.back());
            curveWeight_.push_back(weight_.back());
            for (int j = 0; j < kCurveFeatures; ++j) curveFeature_.push_back(cf[j] / static_cast<float>(n));
            curveGroup_.push_back(curveGroups_);
            curvePlace_.push_back(pairs_);
        }
        if (ratio_.size() - channelStart < 8) {
            ratio_.resize(channelStart);
            weight_.resize(channelStart);
            feature_.resize(kFeatures * channelStart);
            group_.resize(channelStart);
            place_.resize(channelStart);
            curveRatio_.resize(curveStart);
            curveWeight_.resize(curveStart);
            curveFeature_.resize(kCurveFeatures * curveStart);
            curveGroup_.resize(curveStart);
            curvePlace_.resize(curveStart);
            continue;
        }
        ++curveGroups_;
        any = true;
    }
    if (!any) return false;
    ++frames_;
    return true;
}

void FalloffEstimator::append(const FalloffEstimator& later) {
    for (const int32_t g : later.group_) group_.push_back(g + frames_ * 3);
    place_.insert(place_.end(), later.place_.begin(), later.place_.end());
    ratio_.insert(ratio_.end(), later.ratio_.begin(), later.ratio_.end());
    weight_.insert(weight_.end(), later.weight_.begin(), later.weight_.end());
    feature_.insert(feature_.end(), later.feature_.begin(), later.feature_.end());
    for (const int32_t g : later.curveGroup_) curveGroup_.push_back(g + curveGroups_);
    for (const int32_t p : later.curvePlace_) curvePlace_.push_back(p + pairs_);
    curveRatio_.insert(curveRatio_.end(), later.curveRatio_.begin(), later.curveRatio_.end());
    curveWeight_.insert(curveWeight_.end(), later.curveWeight_.begin(), later.curveWeight_.end());
    curveFeature_.insert(curveFeature_.end(), later.curveFeature_.begin(), later.curveFeature_.end());
    frames_ += later.frames_;
    curveGroups_ += later.curveGroups_;
    pairs_ += later.pairs_;
}

void FalloffEstimator::features(double r0, double r1, double f[kFeatures]) {
    const double q0 = r0 * r0, q1 = r1 * r1;
    f[0] = q0 - q1;
    f[1] = q0 * q0 - q1 * q1;
}

void FalloffEstimator::curveFeatures(int lens, double r, double sign, float* f) {
    double w[3];
    const double q = std::min(r, 1.0);
    const int s = LensFalloff::curveBasis(q * q, w);
    for (int i = 0; i < 3; ++i)
        if (s + i > 0) f[lens * (LensFalloff::kCurvePoints - 1) + s + i - 1] += static_cast<float>(sign * w[i]);
}

bool FalloffEstimator::see(int lens, const double d[3], float* u, float* v, float* r) const {
    *r = -1.0f;
    if (lens_.size() != 2) return false;
    // Into the lens's mesh, whose longitude runs against the panorama's
    // (mirrored about the x axis), turned so that the mesh's middle is at pi.
    const double a = kPi - look_[lens].middle, ca = std::cos(a), sa = std::sin(a);
    const double m[3] = {ca * d[0] + sa * d[1], sa * d[0] - ca * d[1], d[2]};
    const FisheyeLens& l = lens_[static_cast<size_t>(lens)];
    float fu = 0.0f, fv = 0.0f;
    fisheyeDirectionToUV(l, look_[lens].rot, m[0], m[1], m[2], &fu, &fv);
    const double radius = std::hypot(static_cast<double>(fu) * l.imageWidth - l.centerX,
                                     static_cast<double>(fv) * l.imageHeight - l.centerY) / l.radius;
    // Clear of the rim (where the circle's edge blurs into the black around
    // it) and inside the frame.
    if (!(radius <= kMaxRadius) || !(fu >= 0.0f && fu <= 1.0f && fv >= 0.0f && fv <= 1.0f)) return false;
    *u = fu;
    *v = fv;
    *r = static_cast<float>(radius);
    return true;
}

bool FalloffEstimator::addPair(const uint8_t* first, const uint8_t* second, const double turn[3][3]) {
    if (!first || !second || !estimator_.ok()) return false;
    add(first);
    const double trace = turn[0][0] + turn[1][1] + turn[2][2];
    const double degrees = std::acos(std::min(1.0, std::max(-1.0, (trace - 1.0) / 2.0))) * 180.0 / kPi;
    if (!(degrees >= kMinTurn)) return false;
    // Per pair of lenses (the first frame's, the second's) and channel, cells
    // of the directions seen at about the same radii: the sums of their
    // values in the two frames, and their mean features.
    const int perLens = kCellsPerRadius * kCellsPerRadius;
    const size_t cells = 4 * static_cast<size_t>(perLens);
    std::vector<double> sum(cells * 6, 0.0);
    std::vector<float> feature(cells * kCurveFeatures, 0.0f);
    std::vector<uint32_t> count(cells * 3, 0), seen(cells, 0);
    const float lo = ColorEstimator::kDark, hi = ColorEstimator::kClipped;
    for (const Direction& dir : directions_) {
        // The direction in the second frame: the turn's inverse.
        double b[3];
        for (int i = 0; i < 3; ++i) b[i] = turn[0][i] * dir.d[0] + turn[1][i] * dir.d[1] + turn[2][i] * dir.d[2];
        float ub[2], vb[2], rb[2];
        for (int l = 0; l < 2; ++l) see(l, b, &ub[l], &vb[l], &rb[l]);
        for (int la = 0; la < 2; ++la) {
            if (dir.r[la] < 0.0f) continue;
            float va[3];
            sampleFrame(first, frameWidth_, frameHeight_, dir.u[la] * frameWidth_, dir.v[la] * frameHeight_, va);
            for (int lb = 0; lb < 2; ++lb) {
                // One lens at about the same radius in both says nothing.
                if (rb[lb] < 0.0f || (la == lb && std::fabs(dir.r[la] - rb[lb]) < 0.01f)) continue;
                float vb3[3];
                sampleFrame(second, frameWidth_, frameHeight_, ub[lb] * frameWidth_, vb[lb] * frameHeight_, vb3);
                const int ia = std::min(static_cast<int>(dir.r[la] / kMaxRadius * kCellsPerRadius), kCellsPerRadius - 1);
                const int ib = std::min(static_cast<int>(rb[lb] / kMaxRadius * kCellsPerRadius), kCellsPerRadius - 1);
                const size_t cell = static_cast<size_t>((la * 2 + lb) * perLens + ia * kCellsPerRadius + ib);
                bool used = false;
                for (int c = 0; c < 3; ++c) {
                    // Dark and clipped values in either frame are left out.
                    if (va[c] < lo || va[c] > hi || vb3[c] < lo || vb3[c] > hi) continue;
                    sum[cell * 6 + c] += va[c];
                    sum[cell * 6 + 3 + c] += vb3[c];
                    ++count[cell * 3 + c];
                    used = true;
                }
                if (!used) continue;
                float* f = &feature[cell * kCurveFeatures];
                curveFeatures(la, dir.r[la], 1.0, f);
                curveFeatures(lb, rb[lb], -1.0, f);
                ++seen[cell];
            }
        }
    }
    // A row per cell and channel with samples enough; a group per pair of
    // lenses and channel (the two frames' exposures of those lenses).
    const size_t before = curveRatio_.size();
    for (int pair = 0; pair < 4; ++pair)
        for (int c = 0; c < 3; ++c) {
            const size_t start = curveRatio_.size();
            for (int k = 0; k < perLens; ++k) {
                const size_t cell = static_cast<size_t>(pair * perLens + k);
                const uint32_t n = count[cell * 3 + c];
                if (n < kMinCellSamples) continue;
                curveRatio_.push_back(static_cast<float>(std::log(sum[cell * 6 + c] / sum[cell * 6 + 3 + c])));
                curveWeight_.push_back(static_cast<float>(n));
                for (int j = 0; j < kCurveFeatures; ++j)
                    curveFeature_.push_back(feature[cell * kCurveFeatures + j] / static_cast<float>(seen[cell]));
                curveGroup_.push_back(curveGroups_);
                curvePlace_.push_back(pairs_);
            }
            if (curveRatio_.size() - start < 2) {  // one row alone is all group mean
                curveRatio_.resize(start);
                curveWeight_.resize(start);
                curveFeature_.resize(kCurveFeatures * start);
                curveGroup_.resize(start);
                curvePlace_.resize(start);
                continue;
            }
            ++curveGroups_;
        }
    if (curveRatio_.size() == before) return false;
    ++pairs_;
    return true;
}

namespace {

// The prior toward flat, as a share of the data's information (the trace
// of its normal matrix): the slope the data see is left almost untouched,
// the split between r^2 and r^4 that they hardly see goes to the smaller
// coefficients.
const double kFlatPrior = 0.0002;
// The free-form curve's priors (see fitTurned).
const double kSmoothPrior = 0.002;
const double kAlikePrior = 0.0001;
const double kCurveFlatPrior = 0.00002;
const int kFitRounds = 6;
const double kCauchyScale = 2.385;   // of the residuals' robust sigma
// A fall-off is used only where its darkening at the rim stands this many
// of its standard errors (over the frames) clear of none.
const double kSignificance = 4.0;
constexpr int kK = FalloffEstimator::kFeatures;  // the fit's coefficients: a and b

struct Rows {
    const std::vector<int32_t>& group;
    const std::vector<int32_t>& place;
    const std::vector<float>& ratio;
    const std::vector<float>& weight;
    const std::vector<float>& feature;  // k per row
    int groups;
    int k;
};

// Solves the k x k system m x = y (row-major; both changed) by Gaussian
// elimination with partial pivoting; false where it is singular.
bool solve(int n, std::vector<double>& m, std::vector<double>& y, std::vector<double>& x) {
    for (int k = 0; k < n; ++k) {
        int best = k;
        for (int i = k + 1; i < n; ++i)
            if (std::fabs(m[i * n + k]) > std::fabs(m[best * n + k])) best = i;
        if (!(std::fabs(m[best * n + k]) > 1e-300)) return false;
        for (int j = 0; j < n; ++j) std::swap(m[k * n + j], m[best * n + j]);
        std::swap(y[k], y[best]);
        for (int i = k + 1; i < n; ++i) {
            const double f = m[i * n + k] / m[k * n + k];
            for (int j = k; j < n; ++j) m[i * n + j] -= f * m[k * n + j];
            y[i] -= f * y[k];
        }
    }
    x.assign(n, 0.0);
    for (int k = n - 1; k >= 0; --k) {
        double s = y[k];
        for (int j = k + 1; j < n; ++j) s -= m[k * n + j] * x[j];
        x[k] = s / m[k * n + k];
    }
    for (int k = 0; k < n; ++k)
        if (!std::isfinite(x[k])) return false;
    return true;
}

// Weighted least squares over the rows that `skipped` leaves in, each
// group's mean taken out, with Cauchy reweighting, and `prior` (k x k, as a
// share of the trace of the data's normal matrix) added; false where the
// data span no range of radii.
template <typename Skip>
bool fitRows(const Rows& d, const Skip& skipped, const std::vector<double>& prior, std::vector<double>& theta) {
    const int K = d.k;
    const size_t n = d.ratio.size();
    const size_t stride = static_cast<size_t>(K) + 1;
    std::vector<double> robust(n, 1.0), residual(n, 0.0), mean(static_cast<size_t>(d.groups) * stride);
    std::vector<double> gw(static_cast<size_t>(d.groups)), h(static_cast<size_t>(K) * K), y(K), f(K);
    std::vector<float> sorted;
    theta.assign(K, 0.0);
    for (int round = 0; round < kFitRounds; ++round) {
        std::fill(mean.begin(), mean.end(), 0.0);
        std::fill(gw.begin(), gw.end(), 0.0);
        for (size_t i = 0; i < n; ++i) {
            if (skipped(i)) continue;
            const double w = d.weight[i] * robust[i];
            double* m = &mean[static_cast<size_t>(d.group[i]) * stride];
            m[0] += w * d.ratio[i];
            for (int k = 0; k < K; ++k) m[1 + k] += w * d.feature[K * i + k];
            gw[static_cast<size_t>(d.group[i])] += w;
        }
        for (int g = 0; g < d.groups; ++g)
            if (gw[g] > 0.0)
                for (size_t k = 0; k < stride; ++k) mean[static_cast<size_t>(g) * stride + k] /= gw[g];
        std::fill(h.begin(), h.end(), 0.0);
        std::fill(y.begin(), y.end(), 0.0);
        double total = 0.0;
        for (size_t i = 0; i < n; ++i) {
            if (skipped(i)) continue;
            const double w = d.weight[i] * robust[i];
            const double* m = &mean[static_cast<size_t>(d.group[i]) * stride];
            for (int k = 0; k < K; ++k) f[k] = d.feature[K * i + k] - m[1 + k];
            const double e = d.ratio[i] - m[0];
            for (int k = 0; k < K; ++k) {
                if (f[k] == 0.0) continue;
                y[k] += w * f[k] * e;
                for (int j = 0; j < K; ++j) h[k * K + j] += w * f[k] * f[j];
            }
            total += w;
        }
        if (!(total > 0.0)) return false;
        double trace = 0.0;
        for (int k = 0; k < K; ++k) {
            y[k] /= total;
            for (int j = 0; j < K; ++j) h[k * K + j] /= total;
            trace += h[k * K + k];
        }
        if (!(trace > 1e-12)) return false;
        for (size_t k = 0; k < h.size(); ++k) h[k] += prior[k] * trace;
        if (!solve(K, h, y, theta)) return false;
        // Cauchy weights from the residuals' robust scale.
        sorted.clear();
        for (size_t i = 0; i < n; ++i) {
            if (skipped(i)) continue;
            const double* m = &mean[static_cast<size_t>(d.group[i]) * stride];
            double e = d.ratio[i] - m[0];
            for (int k = 0; k < K; ++k) e -= theta[k] * (d.feature[K * i + k] - m[1 + k]);
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
    if (pairs_ >= kMinFrames) return fitTurned();
    const Rows rows{group_, place_, ratio_, weight_, feature_, frames_ * 3, kK};
    std::vector<double> prior(kK * kK, 0.0), theta;
    for (int k = 0; k < kK; ++k) prior[k * kK + k] = kFlatPrior;
    auto skipping = [&](int frame, int place) {
        return [&rows, frame, place](size_t i) { return rows.group[i] / 3 == frame || rows.place[i] == place; };
    };
    if (!fitRows(rows, skipping(-1, -1), prior, theta)) {
        out.why = "the overlap covers no range of radii to measure a fall-off over";
        return out;
    }
    // The standard error of the darkening at the rim over the frames, each
    // left out in turn, and over the cells, each left out in turn: a scene
    // that moves varies from frame to frame, a still one only from place to
    // place (where one line along a seam, drawn a little differently by the
    // two lenses, can make all of a fit).
    auto jackknife = [&](const std::vector<int>& parts, bool frames) {
        double spread = 0.0;
        for (const int k : parts) {
            std::vector<double> t;
            if (fitRows(rows, skipping(frames ? k : -1, frames ? -1 : k), prior, t)) {
                const double e = t[0] + t[1] - theta[0] - theta[1];
                spread += e * e;
            }
        }
        const double n = static_cast<double>(parts.size());
        return n > 1.0 ? std::sqrt(spread * (n - 1.0) / n) : 0.0;
    };
    std::vector<int> frames, places(place_.begin(), place_.end());
    for (int k = 0; k < frames_; ++k) frames.push_back(k);
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    const double rimError = std::max(jackknife(frames, true), jackknife(places, false));
    out.rimError[0] = out.rimError[1] = rimError;
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
    // darkening within the noise of the frames or places, leaves the picture
    // as it was.
    if (f.rim(0) < kFlatRim && -(theta[0] + theta[1]) > kSignificance * rimError)
        out.falloff = f;
    else if (f.rim(0) < kFlatRim)
        out.why = "the fall-off is not clearly there: it differs too much from frame to frame or along the seams";
    return out;
}

FalloffEstimator::Result FalloffEstimator::fitTurned() const {
    Result out;
    const int K = kCurveFeatures, per = LensFalloff::kCurvePoints - 1;
    const Rows rows{curveGroup_, curvePlace_, curveRatio_, curveWeight_, curveFeature_, curveGroups_, K};
    // Priors, as shares of the data's information: toward a smooth curve
    // (second differences of each lens's control values, the first held at
    // 0), toward the lenses alike, and a little toward flat.
    std::vector<double> prior(static_cast<size_t>(K) * K, 0.0);
    auto add = [&](const std::vector<std::pair<int, double>>& term, double weight) {
        for (const auto& a : term)
            for (const auto& b : term) prior[static_cast<size_t>(a.first) * K + b.first] += weight * a.second * b.second;
    };
    for (int l = 0; l < 2; ++l)
        for (int j = 1; j < per; ++j) {
            std::vector<std::pair<int, double>> term = {{l * per + j - 1, -2.0}, {l * per + j, 1.0}};
            if (j > 1) term.push_back({l * per + j - 2, 1.0});
            add(term, kSmoothPrior);
        }
    for (int j = 0; j < per; ++j) add({{j, 1.0}, {per + j, -1.0}}, kAlikePrior);
    for (int k = 0; k < K; ++k) prior[static_cast<size_t>(k) * K + k] += kCurveFlatPrior;
    std::vector<double> theta;
    if (!fitRows(rows, [](size_t) { return false; }, prior, theta)) {
        out.why = "the turned frames cover no range of radii to measure a fall-off over";
        return out;
    }
    // The standard error of each lens's darkening at the rim over the pairs
    // of frames, each left out in turn.
    double spread[2] = {0.0, 0.0};
    for (int k = 0; k < pairs_; ++k) {
        std::vector<double> t;
        if (!fitRows(rows, [&rows, k](size_t i) { return rows.place[i] == k; }, prior, t)) continue;
        for (int l = 0; l < 2; ++l) spread[l] += (t[l * per + per - 1] - theta[l * per + per - 1]) * (t[l * per + per - 1] - theta[l * per + per - 1]);
    }
    LensFalloff f;
    f.curve = true;
    bool clear = false, dark = false;
    for (int l = 0; l < 2; ++l) {
        // Held to a curve that never rises and keeps kMinRim at the rim.
        for (int j = 1; j <= per; ++j) f.c[l][j] = std::min(theta[l * per + j - 1], f.c[l][j - 1]);
        const double least = std::log(LensFalloff::kMinRim);
        if (f.c[l][per] < least)
            for (int j = 1; j <= per; ++j) f.c[l][j] *= least / f.c[l][per];
        const double error = std::sqrt(spread[l] * (pairs_ - 1.0) / pairs_);
        out.rimError[l] = error;
        clear = clear || -f.c[l][per] > kSignificance * error;
        dark = dark || f.rim(l) < kFlatRim;
    }
    if (!f.usable()) {
        out.why = "the fall-off fit gave no usable result";
        return out;
    }
    out.measured = true;
    out.turned = true;
    out.fitted = f;
    if (dark && clear)
        out.falloff = f;
    else if (dark)
        out.why = "the fall-off is not clearly there: it differs too much between the pairs of frames";
    return out;
}

namespace {

// The frames of one reading: numbers[k] with its step in its run (0 starts
// one, -1 a frame alone).
struct Stretch {
    std::vector<long long> numbers;
    std::vector<int> step;
};

// Reads `part`'s frames through `read` into `estimator`, each run followed
// by one follower made for the whole reading and restarted per run. Two
// pictures go round (one read while the other is measured): the readings
// run side by side, and large frames would take much memory.
Status measureStretch(const Stretch& part, const FrameRead& read, int frameWidth, int frameHeight,
                      const TurnRuns& runs, int steps, const std::atomic<bool>& interrupted,
                      FalloffEstimator& estimator) {
    SampledFrames samples(part.numbers, frameWidth, frameHeight, read);
    std::vector<uint8_t> kept;             // the run's first frame
    std::unique_ptr<TurnFollower> follower;
    bool whole = false;                    // the run so far has every frame
    size_t index = 0;
    return walkFrames(samples, interrupted, [&](FrameItem& item) {
        const int at = part.step[index++];
        if (at < 0) {
            if (!item.damaged) estimator.add(item.picture.data());
            return Status();
        }
        if (at == 0) {
            whole = !item.damaged;
            if (whole) {
                kept.assign(item.picture.begin(), item.picture.end());
                if (follower)
                    follower->restart();
                else
                    follower = runs.follower();
                whole = follower != nullptr;
                if (whole)
                    follower->add(kept.data());
                else
                    estimator.add(kept.data());
            }
            return Status();
        }
        if (!whole) return Status();
        if (item.damaged) {
            // The turn cannot be followed past it: the first frame alone.
            estimator.add(kept.data());
            whole = false;
            return Status();
        }
        follower->add(item.picture.data());
        if (at == steps) {
            double turn[3][3];
            if (follower->turn(turn))
                estimator.addPair(kept.data(), item.picture.data(), turn);
            else
                estimator.add(kept.data());
            whole = false;
        }
        return Status();
    }, 2);
}

// Where to share `units` (each a frame or a run of frames, in order)
// between two decoders: the unit the second starts at, 0 for one decoder.
// A decoder decodes from the key picture before the first frame it is asked
// for (`keyBefore`) to the last one. The two take the least work together
// among the splits that cut the decoding's own time by a quarter at least.
size_t twoReaders(const std::vector<Stretch>& units, const std::function<long long(long long)>& keyBefore) {
    auto span = [&](size_t from, size_t to) {  // units [from, to) through one decoder
        return units[to - 1].numbers.back() - keyBefore(units[from].numbers.front()) + 1;
    };
    const long long alone = span(0, units.size());
    size_t best = 0;
    long long least = 0;
    for (size_t k = 1; k < units.size(); ++k) {
        const long long a = span(0, k), b = span(k, units.size());
        if (4 * std::max(a, b) > 3 * alone || (best && a + b >= least)) continue;
        best = k;
        least = a + b;
    }
    return best;
}

// The middles of min(frames, count) equal parts of [first, first + count - 1],
// each (where the clip goes on that far) with the run of frames up to
// `runs.gap` on that the turn is followed over.
std::vector<Stretch> measuredUnits(long long first, long long count, int frames, const TurnRuns& runs) {
    const long long n = std::min<long long>(frames, count);
    const bool turning = runs.follower && runs.gap > 0;
    const int steps = std::max(1, runs.steps);
    std::vector<Stretch> units(static_cast<size_t>(std::max(0LL, n)));
    for (long long k = 0; k < n; ++k) {
        Stretch& unit = units[static_cast<size_t>(k)];
        const long long at = first + (2 * k + 1) * count / (2 * n);
        const bool room = turning && at + runs.gap <= first + count - 1;
        unit.numbers.push_back(at);
        unit.step.push_back(room ? 0 : -1);
        for (int i = 1; room && i <= steps; ++i) {
            unit.numbers.push_back(at + runs.gap * i / steps);
            unit.step.push_back(i);
        }
    }
    return units;
}

}  // namespace

std::vector<long long> falloffFrames(long long first, long long count, int frames, const TurnRuns& runs) {
    std::vector<long long> out;
    if (count <= 0 || frames <= 0) return out;
    for (const Stretch& unit : measuredUnits(first, count, frames, runs))
        out.insert(out.end(), unit.numbers.begin(), unit.numbers.end());
    return out;
}

FalloffEstimator::Result estimateFalloff(const DualFisheyeModel& model, int frameWidth, int frameHeight,
                                         long long first, long long count, const FrameRead& read,
                                         const std::atomic<bool>& interrupted, int frames, const TurnRuns& runs) {
    return estimateFalloff(model, frameWidth, frameHeight, first, count, std::vector<FrameRead>{read}, interrupted,
                           frames, runs);
}

FalloffEstimator::Result estimateFalloff(const DualFisheyeModel& model, int frameWidth, int frameHeight,
                                         long long first, long long count, const std::vector<FrameRead>& reads,
                                         const std::atomic<bool>& interrupted, int frames, const TurnRuns& runs,
                                         const std::function<long long(long long frame)>& keyBefore) {
    FalloffEstimator estimator;
    FalloffEstimator::Result out;
    const Status st = estimator.init(model, frameWidth, frameHeight);
    if (!st.ok()) {
        out.why = st.message();
        return out;
    }
    if (count <= 0 || frames <= 0 || reads.empty() || !reads.front()) {
        out.why = "no frames to measure on";
        return out;
    }
    const int steps = std::max(1, runs.steps);
    // Shared out in stretches of whole runs, one per reader.
    const std::vector<Stretch> units = measuredUnits(first, count, frames, runs);
    // Where each reader's stretch starts: evenly, or where a decoder seeks
    // (see twoReaders) to a frame.
    std::vector<size_t> starts;
    const size_t readers = std::min(units.size(), reads.size());
    if (keyBefore && readers > 1) {
        const size_t split = twoReaders(units, keyBefore);
        starts = split ? std::vector<size_t>{0, split} : std::vector<size_t>{0};
    } else {
        for (size_t k = 0; k < readers; ++k) starts.push_back(k * units.size() / readers);
    }
    std::vector<Stretch> parts(starts.size());
    for (size_t k = 0; k < units.size(); ++k) {
        Stretch& part = parts[static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), k) - starts.begin() - 1)];
        part.numbers.insert(part.numbers.end(), units[k].numbers.begin(), units[k].numbers.end());
        part.step.insert(part.step.end(), units[k].step.begin(), units[k].step.end());
    }
    // The later stretches each on a thread of their own, into copies of the
    // estimator as initialised; where no thread can be had, one after the other.
    std::vector<FalloffEstimator> later;
    std::vector<Status> done(parts.size());
    std::vector<std::thread> threads;
    const Status made = guarded([&] {
        later.assign(parts.size() - 1, estimator);
        return Status();
    });
    if (!made.ok()) {
        out.why = made.message();
        return out;
    }
    auto measure = [&](size_t k) {
        const FrameRead& read = reads[k] ? reads[k] : reads.front();
        done[k] = measureStretch(parts[k], read, frameWidth, frameHeight, runs, steps, interrupted,
                                 k == 0 ? estimator : later[k - 1]);
    };
    size_t started = 1;
    try {
        for (; started < parts.size(); ++started) threads.emplace_back(measure, started);
    } catch (const std::exception&) {
    }
    measure(0);
    for (std::thread& t : threads) t.join();
    for (size_t k = started; k < parts.size(); ++k) measure(k);
    for (size_t k = 0; k < parts.size(); ++k) {
        if (!done[k].ok()) {
            out.why = done[k].message();
            return out;
        }
        if (k > 0) estimator.append(later[k - 1]);
    }
    return estimator.fit();
}

}  // namespace stitcher
