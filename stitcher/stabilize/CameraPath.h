// A keyframed virtual camera: where the view looks and how wide, over the
// run's time, read from a CSV file of keys
//
//     time,yaw,pitch,roll,fov,ease
//
// (seconds from the first frame shown, degrees as --yaw, --pitch, --roll and
// --fov take them, and how the camera goes on to the next key: linear or
// smooth). Lines that start with # are comments; a first line of the column
// names is allowed. The camera is in the world's frame: a stabilised run
// turns it with the world, not with the camera's shake.
//
// Between keys, `linear` turns at a steady rate along the shortest arc
// (slerp) and changes the field of view linearly; `smooth` passes through
// every key with the angular velocity continuous across it (zero at the
// first and last key, where the camera holds): a cubic in the rotation's
// own space (the rotation vector from the key), never angle by angle, so
// that a turn through the zenith does not spin. Before the first key and
// after the last the camera holds.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "Rotation.h"
#include "Status.h"

namespace stitcher {

struct CameraKey {
    double time = 0;                   // seconds
    double yaw = 0, pitch = 0, roll = 0, fov = 100;  // degrees
    bool smooth = false;               // the ease toward the next key
    int line = 0;                      // in its file
};

struct CameraPose {
    Rot view;        // as userView() makes it of the angles
    double fov = 100;
};

class CameraPath {
public:
    // Reads the keys of `text`; refuses (kExitUsage) with the line and the
    // reason a file that is empty, has a line with missing or extra columns,
    // a value that is not a finite number, a field of view out of (0, 180),
    // an unknown ease, or times that do not increase (by a millisecond at least).
    static Status parse(const std::string& text, CameraPath& out);
    // parse() of a file, its name before the reason.
    static Status read(const std::string& path, CameraPath& out);

    CameraPose at(double seconds) const;
    const std::vector<CameraKey>& keys() const { return keys_; }
    double widestFov() const;

private:
    void prepare();
    std::vector<CameraKey> keys_;
    std::vector<Rot> rots_;
    // Per key: the angular velocity (world frame, radians per second) and
    // the field of view's rate that a smooth segment meets there.
    std::vector<std::array<double, 3>> spin_;
    std::vector<double> fovRate_;
};

}  // namespace stitcher
