#include "LensFalloff.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace stitcher {

double LensFalloff::logValue(int lens, double r) const {
    const int l = lens == 1 ? 1 : 0;
    const double q = r > 1.0 ? 1.0 : r * r;  // NaN stays NaN
    return q * (a[l] + b[l] * q);
}

double LensFalloff::value(int lens, double r) const { return std::exp(logValue(lens, r)); }

bool LensFalloff::usable() const {
    for (int l = 0; l < 2; ++l) {
        if (!std::isfinite(a[l]) || !std::isfinite(b[l])) return false;
        if (a[l] > 0.0 || a[l] + 2.0 * b[l] > 0.0) return false;
        if (!(a[l] + b[l] >= std::log(kMinRim) - 1e-4)) return false;  // the text's rounding kept in
    }
    return true;
}

namespace {

// Rounded down to the text's five decimals, so that a fall-off that never
// brightens outward still does not after the rounding.
double down5(double v) { return std::isfinite(v) && std::fabs(v) < 1e9 ? std::floor(v * 1e5) / 1e5 : v; }

}  // namespace

std::string formatFalloff(const LensFalloff& f) {
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
    const std::string prefix = "falloff_";
    const Status bad(kExitUsage, "the fall-off '" + text.substr(0, 80) + (text.size() > 80 ? "...'" : "'") +
                                     " is not falloff_A0_B0_A1_B1 (four decimal numbers)");
    if (text.size() > 200 || text.compare(0, prefix.size(), prefix) != 0) return bad;
    double v[4];
    const char* p = text.c_str() + prefix.size();
    for (int i = 0; i < 4; ++i) {
        if (!readNumber(p, v[i])) return bad;
        if (i < 3) {
            if (*p != '_') return bad;
            ++p;
        }
    }
    if (*p != '\0') return bad;
    LensFalloff f;
    f.a[0] = v[0];
    f.b[0] = v[1];
    f.a[1] = v[2];
    f.b[1] = v[3];
    if (!f.usable())
        return Status(kExitUsage, "the fall-off '" + text +
                                      "' cannot be used: it must not brighten toward the rim (A <= 0, A + 2B <= 0) "
                                      "and must keep at least a fifth of the light there");
    out = f;
    return Status();
}

}  // namespace stitcher
