#include "DualFisheyeModel.h"

#include <string>

#include "calibration/Calibration.h"

DualFisheyeModel::DualFisheyeModel(const char* offset, int* lensCount)
    : lens0(FisheyeLens::Lens236), lens1(FisheyeLens::Lens236) {
    parseOffset(offset, lensCount);
}

DualFisheyeModel::DualFisheyeModel(const calibration::Calibration& c)
    : lens0(FisheyeLens::Lens236), lens1(FisheyeLens::Lens236) {
    setLenses(c);
}

DualFisheyeModel::~DualFisheyeModel() {}

bool DualFisheyeModel::parseOffset(const char* offset, int* lensCount) {
    // A missing text reads like an empty one.
    const calibration::Reading reading = calibration::readForRenderer(offset ? offset : "");
    if (lensCount) *lensCount = reading.lensCount;
    if (!reading.verdict) return false;
    setLenses(reading.calibration);
    return true;
}

void DualFisheyeModel::setLenses(const calibration::Calibration& c) {
    const FisheyeLens::LensType type = static_cast<FisheyeLens::LensType>(c.lensType());
    FisheyeLens lens[2] = {FisheyeLens(type), FisheyeLens(type)};
    for (int b = 0; b < 2; ++b) {
        lens[b].radius = c.lens[b].radius;
        lens[b].centerX = c.lens[b].centerX;
        lens[b].centerY = c.lens[b].centerY;
        lens[b].yaw = c.lens[b].yaw;
        lens[b].pitch = c.lens[b].pitch;
        lens[b].roll = c.lens[b].roll;
        lens[b].imageWidth = c.imageWidth;
        lens[b].imageHeight = c.imageHeight;
    }
    lens0 = lens[0];
    lens1 = lens[1];
}
