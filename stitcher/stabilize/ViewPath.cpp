#include "ViewPath.h"

#include <cmath>
#include <algorithm>
#include <cstdint>

namespace stitcher {

double smoothSigmaFrames(double seconds, double fps) { return seconds * fps / 4.0; }

long long smoothReach(double sigmaFrames) { return static_cast<long long>(std::ceil(3.0 * sigmaFrames)); }

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
            // A line through the neighbours' orientations, each weighted by
            // the Gaussian, taken at this frame: in the middle of the clip
            // their weighted mean; near its ends, where the neighbours lie on
            // one side, a steady turn still comes out as it is. Worked out
            // about this frame's orientation, then once more about the result.
            Rot mean = cameras[k];
            const long long lo = std::max(0LL, static_cast<long long>(k) - reach);
            const long long hi = std::min(static_cast<long long>(n) - 1, static_cast<long long>(k) + reach);
            for (int round = 0; round < 2; ++round) {
                double s0 = 0, s1 = 0, s2 = 0, t0[3] = {0, 0, 0}, t1[3] = {0, 0, 0};
                for (long long j = lo; j <= hi; ++j) {
                    const double t = (j - static_cast<double>(k)) / sigmaFrames;
                    const double w = std::exp(-0.5 * t * t);
                    double v[3];
                    (mean.transposed() * cameras[static_cast<size_t>(j)]).toVector(v);
                    s0 += w, s1 += w * t, s2 += w * t * t;
                    for (int a = 0; a < 3; ++a) t0[a] += w * v[a], t1[a] += w * t * v[a];
                }
                const double det = s0 * s2 - s1 * s1;
                double at[3];
                for (int a = 0; a < 3; ++a) at[a] = det > 1e-12 * s0 * s0 ? (s2 * t0[a] - s1 * t1[a]) / det : t0[a] / s0;
                mean = mean * Rot::fromVector(at);
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
