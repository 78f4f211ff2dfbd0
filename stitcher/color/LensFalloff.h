// How each lens darkens toward the rim of its image circle, as colour
// matching measures it and the engines undo it, as V(r), r the distance from
// the image-circle centre in units of its radius (taken as 1 beyond the
// rim), V = 1 on the axis. Per lens either the two-term law
//     V(r) = exp(a r^2 + b r^4),
// or a free-form curve: ln V a quadratic B-spline over q = r^2 (clamped at
// q = 0 and 1, knots evenly spaced) whose kCurvePoints control values c
// start at 0 (on the axis) and end at ln V(1) (the rim). A usable fall-off
// never brightens outward (a <= 0, a + 2b <= 0; for the curve, control
// values that never rise, which keeps the spline from rising) and keeps at
// least kMinRim at the rim.
//
// Its text, which --calibrate prints and --falloff takes:
//     falloff_<a0>_<b0>_<a1>_<b1>
// four plain decimal numbers (digits, one point, a sign in front, no
// exponent), e.g. falloff_-0.3121_-0.2010_-0.2500_-0.1800; or, for the
// curve, falloff_curve_ and lens 0's control values after the first, then
// lens 1's (2 * (kCurvePoints - 1) numbers, each ln V).
#pragma once

#include <string>

#include "Status.h"

namespace stitcher {

struct LensFalloff {
    double a[2] = {0.0, 0.0};
    double b[2] = {0.0, 0.0};
    static constexpr int kCurvePoints = 8;
    bool curve = false;  // the free-form curve below instead of a and b
    double c[2][kCurvePoints] = {};

    static constexpr double kMinRim = 0.2;

    bool flat() const;
    // The curve's basis at q = r^2 (0..1): the first control point whose
    // weight is not zero, and the weights of it and the next two.
    static int curveBasis(double q, double w[3]);
    // ln V(r) and V(r) of lens 0 or 1.
    double logValue(int lens, double r) const;
    double value(int lens, double r) const;
    double rim(int lens) const { return value(lens, 1.0); }
    // True for coefficients that are finite, never brighten outward and
    // keep at least kMinRim at the rim (the curve's also start at 0, and
    // a and b are 0 beside it).
    bool usable() const;
};

// The text above: each coefficient rounded down to five decimals, so that
// what reads back is usable where `f` is, with rim values within 2e-5.
std::string formatFalloff(const LensFalloff& f);
// One line for people: "lens fall-off (value at the rim): lens 0 0.612, lens 1 0.655".
std::string describeFalloff(const LensFalloff& f);
// Reads the text above; kExitUsage with the reason where it is not one, or
// its fall-off is not usable. `out` is set only on success.
Status parseFalloff(const std::string& text, LensFalloff& out);

}  // namespace stitcher
