#include "ViewPath.h"

#include <cmath>
#include <algorithm>
#include <cstdint>

namespace stitcher {

double smoothSigmaFrames(double seconds, double fps) { return seconds * fps / 4.0; }

long long smoothReach(double sigmaFrames) { return static_cast<long long>(std::ceil(3.0 * sigmaFrames)); }

namespace {

// The camera at frame j, beyond the ends mirrored through the end frame, so
// that a steady turn goes on steadily.
Rot cameraAt(const std::vector<Rot>& c, long long j) {
    const long long n = static_cast<long long>(c.size());
    if (j < 0) {
        const long long m = std::min(-j, n - 1);
        return c[0] * (c[m].transposed() * c[0]);
    }
    if (j >= n) {
        const long long m = std::max(2 * (n - 1) - j, 0LL);
        return c[n - 1] * (c[m].transposed() * c[n - 1]);
    }
    return c[j];
}

}  // namespace

void planViewPath(const std::vector<Rot>& cameras, const std::vector<uint8_t>& reliable, StabilizeMode mode,
                  double sigmaFrames, size_t reference, std::vector<Rot>& path, std::vector<Rot>& correction) {
    const size_t n = cameras.size();
    path.assign(n, Rot());
    correction.assign(n, Rot());
    if (n == 0) return;
    const long long reach = smoothReach(sigmaFrames);
    for (size_t k = 0; k < n; ++k) {
        if (mode == StabilizeMode::Lock) {
            path[k] = cameras[std::min(reference, n - 1)];
        } else if (mode == StabilizeMode::Smooth && sigmaFrames > 0) {
            // The weighted mean of the neighbours' orientations, about this
            // frame's (two rounds: the second about the first's mean).
            Rot mean = cameras[k];
            for (int round = 0; round < 2; ++round) {
                double sum[3] = {0, 0, 0}, weights = 0;
                for (long long j = static_cast<long long>(k) - reach; j <= static_cast<long long>(k) + reach; ++j) {
                    const double t = (j - static_cast<double>(k)) / sigmaFrames;
                    const double w = std::exp(-0.5 * t * t);
                    double v[3];
                    (mean.transposed() * cameraAt(cameras, j)).toVector(v);
                    for (int a = 0; a < 3; ++a) sum[a] += w * v[a];
                    weights += w;
                }
                for (double& s : sum) s /= weights;
                mean = mean * Rot::fromVector(sum);
            }
            path[k] = mean;
        } else {
            path[k] = cameras[k];
        }
        if (k < reliable.size() && !reliable[k]) path[k] = cameras[k];
        correction[k] = cameras[k].transposed() * path[k];
    }
}

}  // namespace stitcher
