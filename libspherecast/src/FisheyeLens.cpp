#include "FisheyeLens.h"

#include <cmath>

// Calibration fields stay zero until the model fills them, so a lens whose
// offset string could not be read still holds defined values.
FisheyeLens::FisheyeLens(LensType type)
    : centerX(0.0f), centerY(0.0f), radius(0.0f), yaw(0.0f), pitch(0.0f), roll(0.0f),
      imageWidth(0), imageHeight(0), type(type) {}

FisheyeLens::~FisheyeLens() {}

double FisheyeLens::map(double t) const {
    // Each coefficient is the double product mantissa * power of ten, not one
    // decimal literal: the two can differ in the last bit.
    const double t2 = t * t;
    const double t3 = std::pow(t, 3.0);
    const double t4 = std::pow(t, 4.0);
    switch (type) {
    case Lens220: {
        const double c1 = 0.0169, c2 = -3.77 * 1e-5, c3 = 6.883 * 1e-7, c4 = -4.166 * 1e-9;
        double r = c4 * t4 + c3 * t3;
        r = r + c2 * t2;
        r = r + c1 * t;
        return r;
    }
    case Lens210: {
        const double c1 = 0.0192, c2 = -7.897 * 1e-6, c3 = -1.045 * 1e-7, c4 = -2.494 * 1e-9;
        double r = c4 * t4 + c3 * t3;
        r = r + c2 * t2;
        r = r + c1 * t;
        return r;
    }
    default: {
        const double c1 = 0.0183, c2 = 8.474 * 1e-6, c3 = -5.955 * 1e-7, c4 = 1.014 * 1e-9, c0 = 0.0007;
        double r = c4 * t4 + c3 * t3;
        r = r + c2 * t2;
        r = r + c1 * t;
        r = r + c0;
        return r;
    }
    }
}

float FisheyeLens::fieldOfView() const {
    if (type == Lens210) return 210.0f;
    if (type == Lens220) return 220.0f;
    return 236.0f;
}

float FisheyeLens::blendAngle() const {
    return type == Lens210 ? 25.0f : 30.0f;
}
