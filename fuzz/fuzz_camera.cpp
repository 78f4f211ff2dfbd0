// The camera file: the parser on arbitrary text, and the path it gives for
// whatever it accepts: every pose a rotation, every field of view in range,
// the keys met where they are.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CameraPath.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    stitcher::CameraPath path;
    if (!stitcher::CameraPath::parse(text, path).ok()) return 0;
    if (path.keys().empty()) std::abort();
    const double first = path.keys().front().time, last = path.keys().back().time;
    for (int i = -1; i <= 9; ++i) {
        const double t = first + (last - first) * i / 8.0;
        const stitcher::CameraPose p = path.at(t);
        if (!(p.fov > 0 && p.fov < 180)) std::abort();
        const stitcher::Rot rt = p.view * p.view.transposed();
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                if (!(std::fabs(rt.m[r][c] - (r == c)) < 1e-6)) std::abort();
    }
    for (const stitcher::CameraKey& k : path.keys())
        if (!(path.at(k.time).view.degreesTo(stitcher::Rot::fromAngles(k.yaw, k.pitch, k.roll)) < 1e-3)) std::abort();
    return 0;
}
