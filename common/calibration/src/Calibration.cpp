#include "calibration/Calibration.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale>
#include <sstream>

const char DEFAULT_OFFSET[] =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_"
    "2880_1440_516";

namespace calibration {

namespace {

// Each coefficient is the double product of mantissa and power of ten, not
// one decimal literal: the two can differ in the last bit.
const LensModel kLensTable[] = {
    {4, 236.0f, 30.0f, 0.0007, 0.0183, 8.474 * 1e-6, -5.955 * 1e-7, 1.014 * 1e-9},
    {2, 210.0f, 25.0f, 0.0, 0.0192, -7.897 * 1e-6, -1.045 * 1e-7, -2.494 * 1e-9},
    {5, 220.0f, 30.0f, 0.0, 0.0169, -3.77 * 1e-5, 6.883 * 1e-7, -4.166 * 1e-9},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Whole-field match of -?[0-9]{1,}\.?[0-9]{0,}
bool IsField(const std::string& f) {
    size_t i = 0;
    const size_t n = f.size();
    if (i < n && f[i] == '-') ++i;
    const size_t firstDigit = i;
    while (i < n && IsDigit(f[i])) ++i;
    if (i == firstDigit) return false;
    if (i < n && f[i] == '.') ++i;
    while (i < n && IsDigit(f[i])) ++i;
    return i == n;
}

// std::stoi in base 10 without exceptions: false when there are no leading
// digits or the value does not fit a signed 32-bit integer.
bool LeadingInt(const std::string& f, long long& value) {
    size_t i = 0;
    const size_t n = f.size();
    while (i < n && IsBlank(f[i])) ++i;
    bool negative = false;
    if (i < n && (f[i] == '+' || f[i] == '-')) {
        negative = f[i] == '-';
        ++i;
    }
    if (i >= n || !IsDigit(f[i])) return false;
    long long v = 0;
    for (; i < n && IsDigit(f[i]); ++i) {
        v = v * 10 + (f[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    value = v;
    return true;
}

// Truncation toward zero, refusing values an int cannot hold (a plain cast
// would be undefined there).
bool TruncToInt(float value, int* out) {
    if (!std::isfinite(value)) return false;
    const double t = std::trunc(static_cast<double>(value));
    if (t < static_cast<double>(INT_MIN) || t > static_cast<double>(INT_MAX)) return false;
    *out = static_cast<int>(t);
    return true;
}

std::string Printed(const char* format, double a, double b = 0.0, double c = 0.0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

// Field k of the text as written, for messages.
std::string FieldText(const std::string& text, int k) {
    std::vector<std::string> fields;
    splitFields(text, "_", fields);
    return k >= 0 && static_cast<size_t>(k) < fields.size() ? fields[k] : std::string();
}

// Why the stream stopped before field n (1-based after the count) was read.
Verdict WhyUnreadable(const std::string& text, int n, char sep, bool numberFailed) {
    const std::string after = n == 1 ? "the lens count" : "field " + std::to_string(n - 1);
    if (numberFailed) {
        const std::string field = FieldText(text, n);
        std::istringstream probe(field);
        probe.imbue(std::locale::classic());
        double wide = 0.0;
        if (probe >> wide && std::isfinite(wide) && std::fabs(wide) > FLT_MAX)
            return Verdict::refused("field " + std::to_string(n) + " (" + field + ") is out of range");
        return Verdict::refused("field " + std::to_string(n) + " (" + field + ") is not a number");
    }
    if (sep != '\0' && sep != '_')
        return Verdict::refused(after + " is followed by '" + std::string(1, sep) + "' instead of '_'");
    return Verdict::refused("the calibration ends after " + after +
                           "; the renderer needs 15 fields: the lens count, six per lens, the image width and "
                           "height (the lens code may follow)");
}

}  // namespace

double LensModel::map(double t) const {
    const double t2 = t * t;
    const double t3 = std::pow(t, 3.0);
    const double t4 = std::pow(t, 4.0);
    double r = c4 * t4 + c3 * t3;
    r = r + c2 * t2;
    r = r + c1 * t;
    return r + c0;
}

const LensModel& lensModel(int type) {
    for (const LensModel& m : kLensTable)
        if (m.type == type) return m;
    return kLensTable[0];
}

double Calibration::pixelsPerDegreeAtAxis(int b) const {
    // The polynomial's slope on the axis is c1; the radius spans map(fov / 2).
    const LensModel& m = model();
    return lens[b].radius * m.c1 / m.map(static_cast<double>(m.fieldOfView * 0.5f));
}

Reading readForRenderer(const char* text) {
    Reading r;
    const std::string whole = text ? text : "";
    std::istringstream in(whole);
    // The decimal separator is the point whatever the host's locale.
    in.imbue(std::locale::classic());

    char sep = '\0';
    const bool counted = static_cast<bool>(in >> r.lensCount);
    in >> sep;
    if (r.lensCount != 2) {
        if (counted)
            r.verdict = Verdict::refused("the renderer takes 2 lenses, the calibration has " + std::to_string(r.lensCount));
        else if (r.lensCount != 0)
            r.verdict = Verdict::refused("the lens count is out of range");
        else
            r.verdict = Verdict::refused("the calibration does not begin with a lens count");
        return r;
    }

    float slot[16] = {};
    slot[0] = 2.0f;
    int n = 1;
    bool numberFailed = false;
    while (n <= 15 && sep == '_') {
        float value = 0.0f;
        if (!(in >> value)) {
            numberFailed = true;
            break;
        }
        slot[n++] = value;
        sep = '\0';
        in >> sep;
    }
    if (n < 15) {
        r.verdict = WhyUnreadable(whole, n, sep, numberFailed);
        return r;
    }

    Calibration& c = r.calibration;
    if (n == 16 && !TruncToInt(slot[15], &c.lensCode)) {
        r.verdict = Verdict::refused("the lens code (" + FieldText(whole, 15) + ") is out of range");
        return r;
    }
    if (!TruncToInt(slot[13], &c.imageWidth) || !TruncToInt(slot[14], &c.imageHeight)) {
        r.verdict = Verdict::refused("the image size (" + FieldText(whole, 13) + " x " + FieldText(whole, 14) +
                                   ") is out of range");
        return r;
    }
    for (int b = 0; b < 2; ++b) {
        Lens& l = c.lens[b];
        l.radius = slot[1 + 6 * b];
        l.centerX = slot[2 + 6 * b];
        l.centerY = slot[3 + 6 * b];
        l.yaw = slot[4 + 6 * b];
        l.pitch = slot[5 + 6 * b];
        l.roll = slot[6 + 6 * b];
    }
    return r;
}

Verdict checkFields(const Calibration& c) {
    const int kMinSide = 16, kMaxSide = 65535;
    if (c.imageWidth < kMinSide || c.imageHeight < kMinSide || c.imageWidth > kMaxSide ||
        c.imageHeight > kMaxSide)
        return Verdict::refused(Printed("the image size %.0f x %.0f is absurd (each side must be 16 to 65535 pixels)",
                                       c.imageWidth, c.imageHeight));
    const double width = c.imageWidth, height = c.imageHeight;
    const double shorter = std::min(width, height), longer = std::max(width, height);
    for (int b = 0; b < 2; ++b) {
        const Lens& l = c.lens[b];
        const std::string who = "lens " + std::to_string(b);
        const float values[6] = {l.radius, l.centerX, l.centerY, l.yaw, l.pitch, l.roll};
        for (float v : values)
            if (!std::isfinite(v)) return Verdict::refused(who + " has a value that is not a finite number");
        if (!(l.radius > 0.0f))
            return Verdict::refused(who + Printed("'s radius (%g) is not positive", l.radius));
        if (l.radius < shorter / 8.0)
            return Verdict::refused(who + Printed("'s radius (%g) is too small for the %.0f x %.0f image", l.radius,
                                                 width, height));
        if (l.radius > longer)
            return Verdict::refused(who + Printed("'s radius (%g) is far larger than the %.0f x %.0f image",
                                                 l.radius, width, height));
        if (l.centerX < 0.0f || l.centerX > width || l.centerY < 0.0f || l.centerY > height)
            return Verdict::refused(who + Printed("'s centre (%g, %g) lies outside the image", l.centerX, l.centerY) +
                                   Printed(" of %.0f x %.0f", width, height));
        const float angles[3] = {l.yaw, l.pitch, l.roll};
        for (float a : angles)
            if (std::fabs(a) > 360.0f)
                return Verdict::refused(who + Printed(" has an angle of %g degrees (at most 360 either way)", a));
    }
    return Verdict::ok();
}

Reading checkUsable(const char* text) {
    Reading r = readForRenderer(text);
    if (r.verdict) r.verdict = checkFields(r.calibration);
    return r;
}

std::string trimToDigits(const char* text, size_t len) {
    if (!text || len == 0 || text[0] == '\0') return std::string();
    // Only the first len characters, and never past the terminator.
    const size_t n = strnlen(text, len);
    size_t start = 0;
    while (start < n && !IsDigit(text[start])) ++start;
    if (start == n) return std::string();
    size_t last = n - 1;
    while (last > start && !IsDigit(text[last])) --last;
    return std::string(text + start, last - start + 1);
}

void splitFields(const std::string& text, const std::string& delimiters, std::vector<std::string>& fields) {
    size_t from = 0;
    for (;;) {
        const size_t at = text.find_first_of(delimiters, from);
        if (at == std::string::npos) break;
        fields.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    fields.push_back(text.substr(from));
}

bool acceptsTrimmedText(const std::string& trimmed) {
    try {
        std::vector<std::string> fields;
        splitFields(trimmed, "_", fields);
        long long lenses = 0;
        if (!LeadingInt(fields[0], lenses) || lenses < 1) return false;
        for (const std::string& f : fields)
            if (!IsField(f)) return false;
        return static_cast<long long>(fields.size()) >= 6 * lenses + 2;
    } catch (...) {
        return false;
    }
}

}  // namespace calibration
