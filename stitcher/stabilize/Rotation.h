// Rotations of the unit sphere for the motion of the camera and the view:
// 3 x 3 matrices in double precision, in the panorama's axes (z through the
// first row's pole, x through the first lens's axis). Angles are degrees,
// as the user gives them: R = Rz(yaw) Ry(pitch) Rx(roll), the renderer's
// view rotation.
#pragma once

namespace stitcher {

struct Rot {
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

    static Rot fromAngles(double yaw, double pitch, double roll);
    // exp of the rotation vector w (radians, axis times angle).
    static Rot fromVector(const double w[3]);
    // The rotation vector (log), the angle at most pi.
    void toVector(double w[3]) const;
    // Yaw, pitch and roll in degrees, fromAngles' inverse (pitch within +-90).
    void toAngles(double* yaw, double* pitch, double* roll) const;
    // Degrees between this and `other`.
    double degreesTo(const Rot& other) const;

    Rot transposed() const;
    Rot operator*(const Rot& b) const;
    void apply(const double v[3], double out[3]) const;
    // As the renderer's column-major 4 x 4 matrix.
    void toRenderer(float out[4][4]) const;
};

}  // namespace stitcher
