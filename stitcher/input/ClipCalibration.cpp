#include "ClipCalibration.h"

#include <algorithm>
#include <cmath>

#include "libdec.h"

namespace stitcher {

bool isBuiltInDefault(const std::string& text) { return text == DEFAULT_OFFSET; }

Status readOffsetOption(const std::string& text, std::string& offset) {
    if (!isOffsetValid(text.c_str()))
        return Status(kExitOffset, "invalid --offset '" + text +
                                       "': expected 2_radius_x_y_yaw_pitch_roll (per lens)_width_height[_code]");
    offset = trimOffset(text.c_str(), text.size());
    return Status();
}

Status parseCalibration(const std::string& text, LensRig& out) {
    const calibration::Verdict v = LensRig::make(text, out);
    return v ? Status() : Status(kExitOffset, v.reason());
}

Status checkPictureAspect(const Calibration& c, int frameWidth, int frameHeight, bool fromOffsetOption) {
    // Within 1%: encoders round picture sizes to even or macroblock sizes.
    const double frame = static_cast<double>(frameWidth) / frameHeight;
    const double image = static_cast<double>(c.imageWidth) / c.imageHeight;
    if (std::fabs(frame / image - 1) <= 0.01) return Status();
    return Status(kExitOffset, "the clip's pictures are " + std::to_string(frameWidth) + "x" +
                                   std::to_string(frameHeight) + ", but " +
                                   (fromOffsetOption ? "the --offset calibration" : "its calibration") +
                                   " was made for " + std::to_string(c.imageWidth) + "x" +
                                   std::to_string(c.imageHeight) +
                                   " pictures; give the calibration of this camera with --offset");
}

double litBesideTheLenses(const Calibration& c, int width, int height, const std::function<const uint8_t*(int y)>& row) {
    if (!row || width <= 0 || height <= 0 || c.imageWidth <= 0 || c.imageHeight <= 0) return -1.0;
    // Clear of the circles by a twentieth of their radius, where a lens's
    // rim and its flare have faded out; every fourth pixel each way.
    constexpr double kClear = 1.05, kInner = 0.9;
    constexpr int kLit = 3 * 40, kStep = 4;
    const double sx = static_cast<double>(c.imageWidth) / width, sy = static_cast<double>(c.imageHeight) / height;
    long long outside = 0, lit = 0, inside = 0, insideSum = 0, seen = 0;
    for (int y = kStep / 2; y < height; y += kStep) {
        const uint8_t* line = row(y);
        if (!line) return -1.0;
        for (int x = kStep / 2; x < width; x += kStep) {
            const double ix = (x + 0.5) * sx, iy = (y + 0.5) * sy;
            double nearest = 1e30;
            for (const calibration::Lens& l : c.lens) {
                if (!(l.radius > 0)) return -1.0;
                nearest = std::min(nearest, std::hypot(ix - l.centerX, iy - l.centerY) / l.radius);
            }
            const uint8_t* p = line + static_cast<size_t>(x) * 3;
            const int level = p[0] + p[1] + p[2];
            ++seen;
            if (nearest >= kClear) {
                ++outside;
                lit += level > kLit;
            } else if (nearest <= kInner) {
                ++inside;
                insideSum += level;
            }
        }
    }
    // At least 2% of the picture beside the lenses, and lens images of some light.
    if (outside * 50 < seen || inside == 0 || insideSum < 3 * 24 * inside) return -1.0;
    return static_cast<double>(lit) / static_cast<double>(outside);
}

}  // namespace stitcher
