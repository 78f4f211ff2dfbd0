#include "DualFisheyeModel.h"

#include <climits>
#include <cmath>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// Truncation toward zero, refusing values an int cannot hold (a plain cast
// would be undefined there).
bool truncToInt(float value, int* out) {
    if (!std::isfinite(value)) return false;
    const double t = std::trunc(static_cast<double>(value));
    if (t < static_cast<double>(INT_MIN) || t > static_cast<double>(INT_MAX)) return false;
    *out = static_cast<int>(t);
    return true;
}

}  // namespace

DualFisheyeModel::DualFisheyeModel(const char* offset)
    : lens0(FisheyeLens::Lens236), lens1(FisheyeLens::Lens236) {
    parseOffset(offset);
}

DualFisheyeModel::~DualFisheyeModel() {}

bool DualFisheyeModel::parseOffset(const char* offset) {
    // A missing text reads like an empty one.
    const std::string text = offset ? offset : "";
    std::istringstream in(text);

    int count = 0;
    char sep = '\0';
    in >> count;
    in >> sep;

    std::cout << text << std::endl;
    std::cout << count << std::endl;

    if (count != 2) return false;

    float slot[16] = {};
    slot[0] = 2.0f;
    int n = 1;
    while (n <= 15 && sep == '_') {
        float value = 0.0f;
        if (!(in >> value)) break;
        slot[n++] = value;
        sep = '\0';
        in >> sep;
    }
    if (n < 15) return false;

    int code = 260;
    if (n == 16 && !truncToInt(slot[15], &code)) return false;
    const FisheyeLens::LensType type = static_cast<FisheyeLens::LensType>(code & 255);

    int width = 0;
    int height = 0;
    if (!truncToInt(slot[13], &width) || !truncToInt(slot[14], &height)) return false;

    FisheyeLens lens[2] = {FisheyeLens(type), FisheyeLens(type)};
    for (int b = 0; b < 2; ++b) {
        lens[b].radius = slot[1 + 6 * b];
        lens[b].centerX = slot[2 + 6 * b];
        lens[b].centerY = slot[3 + 6 * b];
        lens[b].yaw = slot[4 + 6 * b];
        lens[b].pitch = slot[5 + 6 * b];
        lens[b].roll = slot[6 + 6 * b];
        lens[b].imageWidth = width;
        lens[b].imageHeight = height;
    }
    lens0 = lens[0];
    lens1 = lens[1];
    return true;
}
