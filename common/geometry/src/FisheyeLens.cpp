#include "FisheyeLens.h"

#include "calibration/Calibration.h"

// Calibration fields stay zero until the model fills them, so a lens whose
// offset string could not be read still holds defined values.
FisheyeLens::FisheyeLens(LensType type)
    : centerX(0.0f), centerY(0.0f), radius(0.0f), yaw(0.0f), pitch(0.0f), roll(0.0f),
      imageWidth(0), imageHeight(0), type(type) {}

FisheyeLens::~FisheyeLens() {}

double FisheyeLens::map(double t) const { return calibration::lensModel(type).map(t); }

float FisheyeLens::fieldOfView() const { return calibration::lensModel(type).fieldOfView; }

float FisheyeLens::blendAngle() const { return calibration::lensModel(type).blendAngle; }
