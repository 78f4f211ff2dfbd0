// Lens calibration as the stitcher uses it: the --offset text, the check
// that the renderer can use a calibration (the calibration unit's rule), the
// picture shape it was made for and the panorama size it suggests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "LensRig.h"
#include "Status.h"
#include "calibration/Calibration.h"

namespace stitcher {

using calibration::Calibration;

// The --offset text as the clip reader would take it from a clip (trimmed);
// kExitOffset when it is not of the calibration's form.
Status readOffsetOption(const std::string& text, std::string& offset);

// The lens rig of `text`, refused (kExitOffset, with the reason) unless its
// picture shows the lens images; `out` is changed only when it is accepted.
Status parseCalibration(const std::string& text, LensRig& out);

// True for the calibration the reader reports for clips that carry none.
bool isBuiltInDefault(const std::string& text);

// Refuses a calibration made for pictures of another shape than the clip's
// (a portrait clip would be stretched).
Status checkPictureAspect(const Calibration& c, int frameWidth, int frameHeight, bool fromOffsetOption);

// Of a picture of width x height, the share of what lies clear of both lens
// circles of `c` that is lit. Two lens images leave it dark, as the lenses
// cast no light there; a panorama or an ordinary video fills it. Below 0
// where the picture cannot tell: too little of it lies outside the circles,
// or the lens images themselves are dark (a fade from black, a night).
// `row(y)` gives row y as packed BGR (every fourth row is read), or null
// where it cannot be had (below 0 then too).
double litBesideTheLenses(const Calibration& c, int width, int height, const std::function<const uint8_t*(int y)>& row);

}  // namespace stitcher
