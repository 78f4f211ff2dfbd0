// What the colour estimator and the fall-off fit share about the samples
// they take where the lenses overlap: the samples' fixed-point scale, the
// log table over it, and the robust mean of log ratios with the limits a
// channel's ratios must meet to be trusted. Internal to color/.
#pragma once

#include <cmath>
#include <vector>

namespace stitcher {

// Sampled values carry 4 fractional bits: levels * 16.
constexpr int kScale = 16;
// A channel's ratios are trusted from this many samples (or a twentieth of
// the pairs, where more) whose spread stays within kMaxSpread: above it the
// lenses do not see the same thing.
constexpr int kMinUsed = 64;
constexpr double kMaxSpread = 0.3;

// ln(i / 16) for the fixed-point sample values.
struct LogTable {
    float v[255 * kScale + 1];
    LogTable() {
        v[0] = 0.0f;  // never used: zero is below the dark limit
        for (int i = 1; i <= 255 * kScale; ++i) v[i] = static_cast<float>(std::log(static_cast<double>(i) / kScale));
    }
};
const LogTable& logTable();

// Robust mean of the log ratios `r` weighed by `w` (`hist` is scratch):
// their mean, spread and how many were used; false where none could be.
bool robustLogMean(const std::vector<float>& r, const std::vector<float>& w, std::vector<float>& hist,
                   float* mean, float* spread, int* used);

}  // namespace stitcher
