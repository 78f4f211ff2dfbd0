#include "DualFisheyeModel.h"

#include <iostream>
#include <string>

#include "calibration/Calibration.h"

DualFisheyeModel::DualFisheyeModel(const char* offset)
    : lens0(FisheyeLens::Lens236), lens1(FisheyeLens::Lens236) {
    parseOffset(offset);
}

DualFisheyeModel::~DualFisheyeModel() {}

bool DualFisheyeModel::parseOffset(const char* offset) {
    // A missing text reads like an empty one.
    const std::string text = offset ? offset : "";
    const calibration::Reading reading = calibration::readForRenderer(text.c_str());

    std::cout << text << std::endl;
    std::cout << reading.lensCount << std::endl;
    if (!reading.status) return false;

    const calibration::Calibration& c = reading.calibration;
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
    return true;
}
