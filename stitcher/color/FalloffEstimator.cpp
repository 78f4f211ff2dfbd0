#include "FalloffEstimator.h"

#include <algorithm>
#include <cmath>

#include "DualFisheyeModel.h"
#include "FramePass.h"
#include "OverlapSamples.h"

namespace stitcher {

Status FalloffEstimator::init(const DualFisheyeModel& model, int frameWidth, int frameHeight) {
    group_.clear();
    place_.clear();
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
            place_.push_back(static_cast<int32_t>(k));
        }
        if (ratio_.size() - channelStart < 8) {
            ratio_.resize(channelStart);
            weight_.resize(channelStart);
            feature_.resize(kFeatures * channelStart);
            group_.resize(channelStart);
            place_.resize(channelStart);
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
    const std::vector<int32_t>& place;
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

// Weighted least squares over the cell rows (those of frame `skipFrame` and
// of cell `skipPlace` left out), each group's mean taken out, with Cauchy
// reweighting; false where the data span no range of radii.
bool fitRows(const Rows& d, int skipFrame, int skipPlace, double theta[kK]) {
    const size_t n = d.ratio.size();
    const size_t stride = kK + 1;
    std::vector<double> robust(n, 1.0), residual(n, 0.0), mean(static_cast<size_t>(d.groups) * stride);
    std::vector<double> gw(static_cast<size_t>(d.groups));
    std::vector<float> sorted;
    for (int k = 0; k < kK; ++k) theta[k] = 0.0;
    auto skipped = [&](size_t i) { return d.group[i] / 3 == skipFrame || d.place[i] == skipPlace; };
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
    const Rows rows{group_, place_, ratio_, weight_, feature_, frames_ * 3};
    double theta[kK];
    if (!fitRows(rows, -1, -1, theta)) {
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
            double t[kK];
            if (fitRows(rows, frames ? k : -1, frames ? -1 : k, t)) {
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

FalloffEstimator::Result estimateFalloff(const DualFisheyeModel& model, int frameWidth, int frameHeight,
                                         long long first, long long count,
                                         const std::function<bool(long long frame, uint8_t* bgr)>& read,
                                         const std::atomic<bool>& interrupted, int frames) {
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
    const Status walked = walkFrames(samples, interrupted, [&](FrameItem& item) {
        if (!item.damaged) estimator.add(item.picture.data());
        return Status();
    });
    if (!walked.ok()) {
        out.why = walked.message();
        return out;
    }
    return estimator.fit();
}

}  // namespace stitcher
