#include "LensRig.h"

#include <utility>

LensRig::LensRig() : model_(nullptr) {}

LensRig::LensRig(std::string text, const calibration::Calibration& values)
    : text_(std::move(text)), values_(values), model_(values) {}

calibration::Verdict LensRig::make(const std::string& text, LensRig& out) {
    const calibration::Reading r = calibration::checkUsable(text.c_str());
    if (r.verdict) out = LensRig(text, r.calibration);
    return r.verdict;
}
