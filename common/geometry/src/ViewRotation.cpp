#include "ViewRotation.h"

#include <cmath>

void viewRotationMatrix(double yaw, double pitch, double roll, float m[4][4]) {
    const double d = M_PI / 180.0;
    const double cy = std::cos(yaw * d), sy = std::sin(yaw * d);
    const double cp = std::cos(pitch * d), sp = std::sin(pitch * d);
    const double cr = std::cos(roll * d), sr = std::sin(roll * d);
    const double rz[3][3] = {{cy, -sy, 0}, {sy, cy, 0}, {0, 0, 1}};
    const double ry[3][3] = {{cp, 0, sp}, {0, 1, 0}, {-sp, 0, cp}};
    const double rx[3][3] = {{1, 0, 0}, {0, cr, -sr}, {0, sr, cr}};
    double t[3][3], r[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = rz[i][0] * ry[0][j] + rz[i][1] * ry[1][j] + rz[i][2] * ry[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = t[i][0] * rx[0][j] + t[i][1] * rx[1][j] + t[i][2] * rx[2][j];
    // Column-major: m[i][j] is row j of column i.
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = (i < 3 && j < 3) ? static_cast<float>(r[j][i]) : (i == j ? 1.0f : 0.0f);
}
