// One checked two-lens calibration: its text as given, the values the
// renderer reads from it and the lens model built from them. It is made once,
// where a calibration enters (an option, a clip, a plan, a refinement), and
// handed on by reference, so that nothing reads the text or builds the model
// again.
#pragma once

#include <string>

#include "DualFisheyeModel.h"
#include "calibration/Calibration.h"

class LensRig {
public:
    // No calibration: an empty text, and the lenses a text that cannot be
    // read leaves (type 4, zero size and radius), which every use refuses.
    LensRig();

    // The calibration `text` read as the renderer reads it, refused (with the
    // reason) unless its picture shows the lens images; `out` is changed only
    // when it is accepted.
    static calibration::Verdict make(const std::string& text, LensRig& out);

    const std::string& text() const { return text_; }
    const calibration::Calibration& values() const { return values_; }
    const DualFisheyeModel& model() const { return model_; }

private:
    LensRig(std::string text, const calibration::Calibration& values);

    std::string text_;
    calibration::Calibration values_;
    DualFisheyeModel model_;
};
