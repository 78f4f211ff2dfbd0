#include "LensFalloff.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace stitcher {

namespace {

constexpr int kSpans = LensFalloff::kCurvePoints - 2;

// The curve's knots: three at each end, the rest evenly between.
double knot(int i) {
    return i <= 2 ? 0.0 : i >= kSpans + 2 ? 1.0 : static_cast<double>(i - 2) / kSpans;
}

}  // namespace

int LensFalloff::curveBasis(double q, double w[3]) {
    q = q > 0.0 ? (q < 1.0 ? q : 1.0) : 0.0;  // NaN to 0
    const int s = std::min(static_cast<int>(q * kSpans), kSpans - 1);
    // Cox-de Boor for degree 2 on the span [knot(s + 2), knot(s + 3)).
    const int i = s + 2;
    double left[3], right[3];
    w[0] = 1.0;
    for (int j = 1; j <= 2; ++j) {
        left[j] = q - knot(i + 1 - j);
        right[j] = knot(i + j) - q;
        double saved = 0.0;
        for (int r = 0; r < j; ++r) {
            const double t = w[r] / (right[r + 1] + left[j - r]);
            w[r] = saved + right[r + 1] * t;
            saved = left[j - r] * t;
        }
        w[j] = saved;
    }
    return s;
}

bool LensFalloff::flat() const {
    if (a[0] != 0.0 || b[0] != 0.0 || a[1] != 0.0 || b[1] != 0.0) return false;
    if (curve)
        for (int l = 0; l < 2; ++l)
            for (int k = 0; k < kCurvePoints; ++k)
                if (c[l][k] != 0.0) return false;
    return true;
}

double LensFalloff::logValue(int lens, double r) const {
    const int l = lens == 1 ? 1 : 0;
    const double q = r > 1.0 ? 1.0 : r * r;  // NaN stays NaN
    if (curve) {
        if (std::isnan(q)) return q;
        double w[3];
        const int s = curveBasis(q, w);
        return w[0] * c[l][s] + w[1] * c[l][s + 1] + w[2] * c[l][s + 2];
    }
    return q * (a[l] + b[l] * q);
}

double LensFalloff::value(int lens, double r) const { return std::exp(logValue(lens, r)); }

bool LensFalloff::usable() const {
    if (curve) {
        if (a[0] != 0.0 || b[0] != 0.0 || a[1] != 0.0 || b[1] != 0.0) return false;
        for (int l = 0; l < 2; ++l) {
            if (c[l][0] != 0.0) return false;
            for (int k = 1; k < kCurvePoints; ++k)
                if (!std::isfinite(c[l][k]) || c[l][k] > c[l][k - 1]) return false;
            if (!(c[l][kCurvePoints - 1] >= std::log(kMinRim) - 1e-4)) return false;
        }
        return true;
    }
    for (int l = 0; l < 2; ++l) {
        if (!std::isfinite(a[l]) || !std::isfinite(b[l])) return false;
        if (a[l] > 0.0 || a[l] + 2.0 * b[l] > 0.0) return false;
        if (!(a[l] + b[l] >= std::log(kMinRim) - 1e-4)) return false;  // the text's rounding kept in
    }
    return true;
}

namespace {

// Rounded down to the text's five decimals, so that a fall-off that never
// brightens outward still does not after the rounding. A value read from
// such a text stays as it is (v * 1e5 may land a hair below its integer),
// so that the text of what a text gives is that text.
double down5(double v) { return std::isfinite(v) && std::fabs(v) < 1e9 ? std::floor(v * 1e5 + 1e-6) / 1e5 : v; }

}  // namespace

std::string formatFalloff(const LensFalloff& f) {
    if (f.curve) {
        // Rounding each value down keeps them in order: a curve that never
        // rises still does not.
        std::string text = "falloff_curve";
        for (int l = 0; l < 2; ++l)
            for (int k = 1; k < LensFalloff::kCurvePoints; ++k) {
                char one[40];
                std::snprintf(one, sizeof one, "_%.5f", down5(f.c[l][k]));
                text += one;
            }
        return text;
    }
    char text[160];
    std::snprintf(text, sizeof text, "falloff_%.5f_%.5f_%.5f_%.5f", down5(f.a[0]), down5(f.b[0]), down5(f.a[1]),
                  down5(f.b[1]));
    return text;
}

std::string describeFalloff(const LensFalloff& f) {
    char text[96];
    std::snprintf(text, sizeof text, "lens fall-off (value at the rim): lens 0 %.3f, lens 1 %.3f", f.rim(0), f.rim(1));
    return text;
}

namespace {

// One plain decimal number from `p` up to the next '_' or the end; false
// for anything else (an exponent, "inf", spaces, more than 24 characters).
bool readNumber(const char*& p, double& v) {
    const char* start = p;
    if (*p == '-' || *p == '+') ++p;
    int digits = 0, points = 0;
    for (; *p && *p != '_'; ++p) {
        if (*p >= '0' && *p <= '9') {
            ++digits;
        } else if (*p == '.' && points == 0) {
            ++points;
        } else {
            return false;
        }
    }
    if (digits == 0 || p - start > 24) return false;
    char buffer[32];
    const size_t n = static_cast<size_t>(p - start);
    for (size_t i = 0; i < n; ++i) buffer[i] = start[i];
    buffer[n] = '\0';
    char* end = nullptr;
    v = std::strtod(buffer, &end);
    return end == buffer + n && std::isfinite(v);
}

}  // namespace

Status parseFalloff(const std::string& text, LensFalloff& out) {
    const std::string prefix = "falloff_", curve = "falloff_curve_";
    const int perLens = LensFalloff::kCurvePoints - 1;
    const Status bad(kExitUsage, "the fall-off '" + text.substr(0, 80) + (text.size() > 80 ? "...'" : "'") +
                                     " is not falloff_A0_B0_A1_B1 (four decimal numbers) nor falloff_curve_ and " +
                                     std::to_string(2 * perLens) + " decimal numbers");
    if (text.size() > 400 || text.compare(0, prefix.size(), prefix) != 0) return bad;
    const bool isCurve = text.compare(0, curve.size(), curve) == 0;
    const int count = isCurve ? 2 * perLens : 4;
    double v[2 * perLens];
    const char* p = text.c_str() + (isCurve ? curve.size() : prefix.size());
    for (int i = 0; i < count; ++i) {
        if (!readNumber(p, v[i])) return bad;
        if (i < count - 1) {
            if (*p != '_') return bad;
            ++p;
        }
    }
    if (*p != '\0') return bad;
    LensFalloff f;
    if (isCurve) {
        f.curve = true;
        for (int l = 0; l < 2; ++l)
            for (int k = 1; k <= perLens; ++k) f.c[l][k] = v[l * perLens + k - 1];
    } else {
        f.a[0] = v[0];
        f.b[0] = v[1];
        f.a[1] = v[2];
        f.b[1] = v[3];
    }
    if (!f.usable())
        return Status(kExitUsage, "the fall-off '" + text +
                                      "' cannot be used: it must not brighten toward the rim (A <= 0, A + 2B <= 0; a curve's values "
                                      "never rising) "
                                      "and must keep at least a fifth of the light there");
    out = f;
    return Status();
}

}  // namespace stitcher
