#include "Level.h"

#include <algorithm>
#include <cmath>

namespace stitcher {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMinEdge = 6.0;  // grey levels per pixel across an edge taken in

// The eigenvector of the smallest eigenvalue of a symmetric 3 x 3 matrix,
// and the eigenvalues (rising), by Jacobi rotations.
void eigen3(const double in[3][3], double values[3], double smallest[3]) {
    double a[3][3], v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) a[i][j] = in[i][j];
    for (int sweep = 0; sweep < 50; ++sweep) {
        const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
        if (off < 1e-30) break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (std::fabs(a[p][q]) < 1e-300) continue;
                const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
                const double t = (theta >= 0 ? 1 : -1) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
                const double c = 1 / std::sqrt(t * t + 1), s = t * c;
                for (int k = 0; k < 3; ++k) {
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 3; ++k) {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                for (int k = 0; k < 3; ++k) {
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq;
                    v[k][q] = s * vkp + c * vkq;
                }
            }
    }
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int x, int y) { return a[x][x] < a[y][y]; });
    for (int i = 0; i < 3; ++i) values[i] = a[order[i]][order[i]];
    for (int k = 0; k < 3; ++k) smallest[k] = v[k][order[0]];
}

}  // namespace

void UpFinder::add(const float* grey, int w, int h, const Rot& camera, const std::vector<uint8_t>& skip) {
    auto at = [&](int x, int y) { return grey[static_cast<size_t>(y) * w + x]; };
    for (int y = 1; y + 1 < h; ++y) {
        const double phi = kPi * (y + 0.5) / h, sp = std::sin(phi), cp = std::cos(phi);
        if (sp < 0.2) continue;
        for (int x = 0; x < w; ++x) {
            if (static_cast<size_t>(x) < skip.size() && skip[x]) continue;
            const int xl = x == 0 ? w - 1 : x - 1, xr = x + 1 == w ? 0 : x + 1;
            // Per pixel of arc: across the row scaled by the ring's radius.
            const double gx = (at(xr, y) - at(xl, y)) * 0.5 / sp * (static_cast<double>(h) * 2 / w);
            const double gy = (at(x, y + 1) - at(x, y - 1)) * 0.5;
            const double mag = std::sqrt(gx * gx + gy * gy);
            if (mag < kMinEdge) continue;
            const double theta = 2 * kPi * (x + 0.5) / w, ct = std::cos(theta), st = std::sin(theta);
            // e_theta * gx + e_phi * gy, normalised, into the first frame's axes.
            const double g[3] = {(-st * gx + cp * ct * gy) / mag, (ct * gx + cp * st * gy) / mag, (-sp * gy) / mag};
            double world[3];
            camera.apply(g, world);
            for (double c : world) normals_.push_back(static_cast<float>(c));
            weights_.push_back(static_cast<float>(sp * std::min(mag, 4 * kMinEdge)));
        }
    }
}

bool UpFinder::find(double up[3], std::string* why) const {
    const size_t n = weights_.size();
    double u[3] = {0, 0, 1};
    if (n < 200) {
        if (why) *why = "too few edges";
        return false;
    }
    // Edges within the window of being vertical about the up found so far.
    double values[3] = {0, 0, 0}, taken = 0;
    for (const double window : {20.0, 10.0, 5.0, 3.0, 2.0, 2.0}) {
        const double c = std::sin(window * kPi / 180);
        double m[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
        taken = 0;
        for (size_t i = 0; i < n; ++i) {
            const float* g = &normals_[3 * i];
            const double r = (g[0] * u[0] + g[1] * u[1] + g[2] * u[2]) / c;
            if (std::fabs(r) >= 1) continue;
            const double w = weights_[i] * (1 - r * r) * (1 - r * r);
            taken += w;
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) m[a][b] += w * g[a] * g[b];
        }
        if (!(taken > 0)) {
            if (why) *why = "no vertical edges";
            return false;
        }
        double v[3];
        eigen3(m, values, v);
        const double s = v[2] < 0 ? -1 : 1;
        for (int k = 0; k < 3; ++k) u[k] = s * v[k];
    }
    // The vertical edges must face more than one way around the horizon for
    // both tilts to be tied down, and be a fair share of the picture's edges.
    double total = 0;
    for (float w : weights_) total += w;
    if (values[1] < 0.05 * taken || taken < 0.02 * total) {
        if (why) *why = "too few vertical lines, or all facing one way";
        return false;
    }
    for (int k = 0; k < 3; ++k) up[k] = u[k];
    return true;
}

void levelPath(std::vector<Rot>& path, const double up[3]) {
    for (Rot& s : path) {
        const double z[3] = {s.m[0][2], s.m[1][2], s.m[2][2]};  // where the view's up looks
        const double axis[3] = {z[1] * up[2] - z[2] * up[1], z[2] * up[0] - z[0] * up[2], z[0] * up[1] - z[1] * up[0]};
        const double sine = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
        const double cosine = z[0] * up[0] + z[1] * up[1] + z[2] * up[2];
        if (!(sine > 1e-12)) continue;
        const double angle = std::atan2(sine, cosine);
        const double w[3] = {axis[0] / sine * angle, axis[1] / sine * angle, axis[2] / sine * angle};
        s = Rot::fromVector(w) * s;
    }
}

}  // namespace stitcher
