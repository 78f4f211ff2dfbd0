#include "ClipCalibration.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "libdec.h"

namespace stitcher {

namespace {

// The reader's calibration for clips that name none.
const char* kBuiltInDefault =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";

// The smallest lens image the renderer gives a picture for.
const int kMinImageSide = 16;

std::vector<std::string> splitFields(const std::string& text) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (true) {
        size_t sep = text.find('_', at);
        fields.push_back(text.substr(at, sep - at));
        if (sep == std::string::npos) break;
        at = sep + 1;
    }
    return fields;
}

// A whole field as the renderer reads it: a number that single precision holds.
bool readNumber(const std::string& field, double& out) {
    if (field.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(field.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(v) || std::fabs(v) > FLT_MAX) return false;
    out = static_cast<double>(static_cast<float>(v));
    return true;
}

std::string number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace

bool isBuiltInDefault(const std::string& text) { return text == kBuiltInDefault; }

Status readOffsetOption(const std::string& text, std::string& offset) {
    if (!isOffsetValid(text.c_str()))
        return Status(kExitOffset, "invalid --offset '" + text +
                                       "': expected 2_radius_x_y_yaw_pitch_roll (per lens)_width_height[_code]");
    offset = trimOffset(text.c_str(), text.size());
    return Status();
}

Status parseCalibration(const std::string& text, Calibration& c) {
    c = Calibration();
    auto refuse = [](const std::string& why) { return Status(kExitOffset, why); };
    std::vector<std::string> fields = splitFields(text);
    char* end = nullptr;
    long lenses = std::strtol(fields[0].c_str(), &end, 10);
    if (fields[0].empty() || *end != '\0' || lenses != 2)
        return refuse("the renderer needs 2 lenses, the calibration has " + fields[0].substr(0, 40));
    if (fields.size() < 15 || fields.size() > 16)
        return refuse("the calibration has " + std::to_string(fields.size()) + " fields, the renderer needs 15 or 16");
    double v[16] = {};
    for (size_t i = 1; i < fields.size(); ++i)
        if (!readNumber(fields[i], v[i]))
            return refuse("field " + std::to_string(i + 1) + " of the calibration ('" + fields[i].substr(0, 40) +
                          "') is not a number the renderer can use");
    for (int b = 0; b < 2; ++b)
        for (int k = 0; k < 6; ++k) c.lens[b][k] = v[1 + 6 * b + k];
    if (v[13] > INT_MAX || v[14] > INT_MAX || std::trunc(v[13]) < kMinImageSide || std::trunc(v[14]) < kMinImageSide)
        return refuse("the calibration's image size " + number(v[13]) + "x" + number(v[14]) + " is too small (" +
                      std::to_string(kMinImageSide) + "x" + std::to_string(kMinImageSide) + " at least)");
    c.imageWidth = static_cast<int>(v[13]);
    c.imageHeight = static_cast<int>(v[14]);
    if (fields.size() == 16) {
        if (v[15] < 0 || std::trunc(v[15]) > INT_MAX)
            return refuse("the calibration's lens code " + fields[15] + " is not a lens code");
        c.lensCode = static_cast<long long>(v[15]);
    }
    for (int b = 0; b < 2; ++b) {
        const double radius = c.lens[b][0], x = c.lens[b][1], y = c.lens[b][2];
        const std::string lens = "lens " + std::to_string(b) + " of the calibration";
        if (!(radius >= 1) || radius > c.imageWidth)
            return refuse(lens + " has radius " + number(radius) + ", not within 1 to the image width " +
                          std::to_string(c.imageWidth));
        if (x < 0 || x > c.imageWidth || y < 0 || y > c.imageHeight)
            return refuse(lens + " is centred at (" + number(x) + ", " + number(y) + "), outside its " +
                          std::to_string(c.imageWidth) + "x" + std::to_string(c.imageHeight) + " image");
    }
    return Status();
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

int defaultSize(const Calibration& c, int frameWidth) {
    int type = static_cast<int>(c.lensCode & 255);
    double slope = type == 2 ? 0.0192 : type == 5 ? 0.0169 : 0.0183;
    double half = type == 2 ? 105.0 : type == 5 ? 110.0 : 118.0;
    auto map = [type](double t) {
        if (type == 5) return 0.0169 * t - 3.77e-5 * t * t + 6.883e-7 * std::pow(t, 3) - 4.166e-9 * std::pow(t, 4);
        if (type == 2) return 0.0192 * t - 7.897e-6 * t * t - 1.045e-7 * std::pow(t, 3) - 2.494e-9 * std::pow(t, 4);
        return 0.0183 * t + 8.474e-6 * t * t - 5.955e-7 * std::pow(t, 3) + 1.014e-9 * std::pow(t, 4) + 0.0007;
    };
    double radius = std::max(c.lens[0][0], c.lens[1][0]) * frameWidth / c.imageWidth;
    double perDegree = radius * slope / map(half);
    int size = static_cast<int>(std::lround(180.0 * perDegree / 16.0)) * 16;
    return std::max(64, std::min(4096, size));
}

void rotationMatrix(double yaw, double pitch, double roll, float m[4][4]) {
    const double d = M_PI / 180.0;
    double cy = std::cos(yaw * d), sy = std::sin(yaw * d);
    double cp = std::cos(pitch * d), sp = std::sin(pitch * d);
    double cr = std::cos(roll * d), sr = std::sin(roll * d);
    double rz[3][3] = {{cy, -sy, 0}, {sy, cy, 0}, {0, 0, 1}};
    double ry[3][3] = {{cp, 0, sp}, {0, 1, 0}, {-sp, 0, cp}};
    double rx[3][3] = {{1, 0, 0}, {0, cr, -sr}, {0, sr, cr}};
    double t[3][3], r[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = rz[i][0] * ry[0][j] + rz[i][1] * ry[1][j] + rz[i][2] * ry[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = t[i][0] * rx[0][j] + t[i][1] * rx[1][j] + t[i][2] * rx[2][j];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = (i < 3 && j < 3) ? static_cast<float>(r[j][i]) : (i == j ? 1.0f : 0.0f);
}

}  // namespace stitcher
