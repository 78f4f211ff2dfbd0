#include "ClipCalibration.h"

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

}  // namespace stitcher
