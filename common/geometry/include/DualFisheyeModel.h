// The two calibrated lenses of a dual-fisheye camera, read from an offset string.
#pragma once

#include "FisheyeLens.h"

namespace calibration {
struct Calibration;
}

class DualFisheyeModel {
public:
    // Lenses start as type 4 with zero calibration; a text that cannot be
    // read leaves them so. `lensCount` (when given) receives the number of
    // lenses the text names. Prints nothing (the renderer echoes the text).
    DualFisheyeModel(const char* offset, int* lensCount = nullptr);
    // The lenses of a calibration already read.
    explicit DualFisheyeModel(const calibration::Calibration& c);
    ~DualFisheyeModel();

    // Replaces both lenses when the text is a readable two-lens calibration;
    // otherwise returns false and changes nothing. Prints nothing.
    bool parseOffset(const char* offset, int* lensCount = nullptr);

    FisheyeLens lens0;
    FisheyeLens lens1;

private:
    void setLenses(const calibration::Calibration& c);
};
