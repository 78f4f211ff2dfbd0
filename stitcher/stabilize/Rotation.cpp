#include "Rotation.h"

#include <algorithm>
#include <cmath>

#include "Angles.h"

namespace stitcher {

Rot Rot::fromAngles(double yaw, double pitch, double roll) {
    const double cy = std::cos(yaw * kDeg), sy = std::sin(yaw * kDeg);
    const double cp = std::cos(pitch * kDeg), sp = std::sin(pitch * kDeg);
    const double cr = std::cos(roll * kDeg), sr = std::sin(roll * kDeg);
    Rot z, y, x;
    z.m[0][0] = cy, z.m[0][1] = -sy, z.m[1][0] = sy, z.m[1][1] = cy;
    y.m[0][0] = cp, y.m[0][2] = sp, y.m[2][0] = -sp, y.m[2][2] = cp;
    x.m[1][1] = cr, x.m[1][2] = -sr, x.m[2][1] = sr, x.m[2][2] = cr;
    return z * y * x;
}

Rot Rot::fromVector(const double w[3]) {
    const double a = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    Rot r;
    if (!(a > 1e-12)) {
        // First order: I + [w]x.
        r.m[0][1] = -w[2], r.m[0][2] = w[1], r.m[1][0] = w[2], r.m[1][2] = -w[0], r.m[2][0] = -w[1], r.m[2][1] = w[0];
        return r;
    }
    const double k[3] = {w[0] / a, w[1] / a, w[2] / a};
    const double c = std::cos(a), s = std::sin(a), t = 1 - c;
    r.m[0][0] = c + k[0] * k[0] * t;
    r.m[0][1] = k[0] * k[1] * t - k[2] * s;
    r.m[0][2] = k[0] * k[2] * t + k[1] * s;
    r.m[1][0] = k[1] * k[0] * t + k[2] * s;
    r.m[1][1] = c + k[1] * k[1] * t;
    r.m[1][2] = k[1] * k[2] * t - k[0] * s;
    r.m[2][0] = k[2] * k[0] * t - k[1] * s;
    r.m[2][1] = k[2] * k[1] * t + k[0] * s;
    r.m[2][2] = c + k[2] * k[2] * t;
    return r;
}

void Rot::toVector(double w[3]) const {
    const double c = std::clamp((m[0][0] + m[1][1] + m[2][2] - 1) / 2, -1.0, 1.0);
    const double a = std::acos(c);
    const double v[3] = {m[2][1] - m[1][2], m[0][2] - m[2][0], m[1][0] - m[0][1]};
    if (a < 1e-6) {
        for (int i = 0; i < 3; ++i) w[i] = v[i] / 2;
        return;
    }
    if (a > 3.14159265358979323846 - 1e-6) {  // half turn: the axis from the diagonal
        int i = 0;
        for (int k = 1; k < 3; ++k)
            if (m[k][k] > m[i][i]) i = k;
        double axis[3];
        axis[i] = std::sqrt(std::max(0.0, (m[i][i] + 1) / 2));
        for (int k = 0; k < 3; ++k)
            if (k != i) axis[k] = (m[i][k] + m[k][i]) / (4 * axis[i]);
        for (int k = 0; k < 3; ++k) w[k] = axis[k] * a;
        return;
    }
    const double f = a / (2 * std::sin(a));
    for (int i = 0; i < 3; ++i) w[i] = v[i] * f;
}

void Rot::toAngles(double* yaw, double* pitch, double* roll) const {
    *pitch = std::asin(std::clamp(-m[2][0], -1.0, 1.0)) / kDeg;
    if (std::fabs(m[2][0]) < 1 - 1e-12) {
        *yaw = std::atan2(m[1][0], m[0][0]) / kDeg;
        *roll = std::atan2(m[2][1], m[2][2]) / kDeg;
    } else {  // straight up or down: all turn about one axis, put into yaw
        *yaw = std::atan2(-m[0][1], m[1][1]) / kDeg;
        *roll = 0;
    }
}

double Rot::degreesTo(const Rot& other) const {
    double w[3];
    (transposed() * other).toVector(w);
    return std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]) / kDeg;
}

Rot Rot::transposed() const {
    Rot t;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t.m[i][j] = m[j][i];
    return t;
}

Rot Rot::operator*(const Rot& b) const {
    Rot r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r.m[i][j] = m[i][0] * b.m[0][j] + m[i][1] * b.m[1][j] + m[i][2] * b.m[2][j];
    return r;
}

void Rot::apply(const double v[3], double out[3]) const {
    for (int i = 0; i < 3; ++i) out[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
}

void Rot::toRenderer(float out[4][4]) const {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) out[i][j] = (i < 3 && j < 3) ? static_cast<float>(m[j][i]) : (i == j ? 1.0f : 0.0f);
}

}  // namespace stitcher
