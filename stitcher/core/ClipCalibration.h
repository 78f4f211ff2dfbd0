// Lens calibration as the stitcher uses it: reading the offset text, telling
// whether the renderer can use it, the panorama size it suggests, and the
// view rotation matrix.
#pragma once

#include <string>

#include "Status.h"

namespace stitcher {

struct Calibration {
    double lens[2][6] = {};  // per lens: radius, centre x, centre y, yaw, pitch, roll
    int imageWidth = 0, imageHeight = 0;
    long long lensCode = 260;
};

// The --offset text as the clip reader would take it from a clip (trimmed);
// kExitOffset when it is not of the calibration's form.
Status readOffsetOption(const std::string& text, std::string& offset);

// Reads a two-lens calibration and checks that the renderer can use it: each
// number as the renderer reads it (single precision, finite), an image size
// that can hold the lens circles, each circle centred inside the image with
// a radius from 1 pixel up to the image width, a lens code the renderer can
// hold. kExitOffset with the reason otherwise.
Status parseCalibration(const std::string& text, Calibration& out);

// True for the calibration the reader reports for clips that carry none.
bool isBuiltInDefault(const std::string& text);

// Refuses a calibration made for pictures of another shape than the clip's
// (a portrait clip would be stretched).
Status checkPictureAspect(const Calibration& c, int frameWidth, int frameHeight, bool fromOffsetOption);

// Panorama height that keeps the source's sharpest detail for frames of
// `frameWidth` pixels (64 to 4096, a multiple of 16).
int defaultSize(const Calibration& c, int frameWidth);

// View rotation (degrees) as the engines take it: output direction ->
// direction looked up in the stitched panorama, m[i] = column i.
void rotationMatrix(double yaw, double pitch, double roll, float m[4][4]);

}  // namespace stitcher
