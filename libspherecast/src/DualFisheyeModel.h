// The two calibrated lenses of a dual-fisheye camera, read from an offset string.
#pragma once

#include "FisheyeLens.h"

class DualFisheyeModel {
public:
    // Lenses start as type 4 with zero calibration; a text that cannot be
    // read leaves them so.
    DualFisheyeModel(const char* offset);
    ~DualFisheyeModel();

    // Replaces both lenses when the text is a readable two-lens calibration;
    // otherwise returns false and changes nothing. Echoes the text and the
    // lens count to standard output.
    bool parseOffset(const char* offset);

    FisheyeLens lens0;
    FisheyeLens lens1;
};
