#pragma once

namespace stitcher {

// The angle constants every stage works in (radians).
inline constexpr double kPi = 3.14159265358979323846;
inline constexpr double kDeg = kPi / 180;

}  // namespace stitcher
