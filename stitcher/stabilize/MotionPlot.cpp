#include "MotionPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace stitcher {

namespace {

// A 5 x 7 font for the labels: each glyph seven rows of five bits.
struct Glyph {
    char c;
    uint8_t rows[7];
};
const Glyph kFont[] = {
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},   {'2', {14, 17, 1, 2, 4, 8, 31}},
    {'3', {30, 1, 1, 14, 1, 1, 30}},     {'4', {2, 6, 10, 18, 31, 2, 2}},  {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},    {'8', {14, 17, 17, 14, 17, 17, 14}},
    {'9', {14, 17, 17, 15, 1, 2, 12}},   {'.', {0, 0, 0, 0, 0, 12, 12}},   {'-', {0, 0, 0, 31, 0, 0, 0}},
    {'+', {0, 4, 4, 31, 4, 4, 0}},       {'A', {14, 17, 17, 31, 17, 17, 17}}, {'C', {14, 17, 16, 16, 16, 17, 14}},
    {'D', {30, 17, 17, 17, 17, 17, 30}}, {'E', {31, 16, 16, 30, 16, 16, 31}}, {'G', {14, 17, 16, 23, 17, 17, 15}},
    {'H', {17, 17, 17, 31, 17, 17, 17}}, {'I', {14, 4, 4, 4, 4, 4, 14}},   {'L', {16, 16, 16, 16, 16, 16, 31}},
    {'O', {14, 17, 17, 17, 17, 17, 14}}, {'P', {30, 17, 17, 30, 16, 16, 16}}, {'R', {30, 17, 17, 30, 20, 18, 17}},
    {'T', {31, 4, 4, 4, 4, 4, 4}},       {'W', {17, 17, 17, 21, 21, 21, 10}}, {'Y', {17, 17, 10, 4, 4, 4, 4}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
};

class Canvas {
public:
    Canvas(PlotImage& image) : im_(image) {}
    void dot(int x, int y, const uint8_t c[3]) {
        if (x < 0 || y < 0 || x >= im_.width || y >= im_.height) return;
        std::memcpy(&im_.bgr[(static_cast<size_t>(y) * im_.width + x) * 3], c, 3);
    }
    void line(double x0, double y0, double x1, double y1, const uint8_t c[3], int thick) {
        const int steps = static_cast<int>(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0))) + 1;
        for (int i = 0; i <= steps; ++i) {
            const double t = static_cast<double>(i) / steps;
            const int x = static_cast<int>(std::lround(x0 + (x1 - x0) * t)), y = static_cast<int>(std::lround(y0 + (y1 - y0) * t));
            for (int dy = 0; dy < thick; ++dy)
                for (int dx = 0; dx < thick; ++dx) dot(x + dx - thick / 2, y + dy - thick / 2, c);
        }
    }
    void text(int x, int y, const std::string& s, const uint8_t c[3], int scale) {
        for (char ch : s) {
            for (const Glyph& g : kFont)
                if (g.c == ch)
                    for (int r = 0; r < 7; ++r)
                        for (int b = 0; b < 5; ++b)
                            if (g.rows[r] >> (4 - b) & 1)
                                for (int sy = 0; sy < scale; ++sy)
                                    for (int sx = 0; sx < scale; ++sx) dot(x + b * scale + sx, y + r * scale + sy, c);
            x += 6 * scale;
        }
    }

private:
    PlotImage& im_;
};

// A series of angles without the jumps at +-180 degrees.
std::vector<double> unwrapped(const std::vector<MotionRow>& rows, bool smoothed, int axis) {
    std::vector<double> v;
    for (const MotionRow& r : rows) {
        double a = smoothed ? r.smoothed[axis] : r.measured[axis];
        if (!v.empty()) a -= 360.0 * std::round((a - v.back()) / 360.0);
        v.push_back(a);
    }
    return v;
}

}  // namespace

PlotImage plotMotion(const std::vector<MotionRow>& rows, int width, int height) {
    PlotImage im;
    im.width = std::max(width, 200);
    im.height = std::max(height, 150);
    im.bgr.assign(static_cast<size_t>(im.width) * im.height * 3, 255);
    Canvas canvas(im);
    const uint8_t grey[3] = {200, 200, 200}, ink[3] = {40, 40, 40};
    const uint8_t light[3][3] = {{230, 180, 140}, {140, 200, 140}, {140, 150, 235}};  // measured: light blue, green, red
    const uint8_t dark[3][3] = {{150, 60, 10}, {20, 110, 20}, {20, 20, 170}};         // smoothed
    const char* names[3] = {"YAW", "PITCH", "ROLL"};
    const int left = 110, right = im.width - 10, panel = im.height / 3;
    for (int axis = 0; axis < 3; ++axis) {
        const std::vector<double> measured = unwrapped(rows, false, axis), smooth = unwrapped(rows, true, axis);
        double lo = 0, hi = 0;
        for (const std::vector<double>* s : {&measured, &smooth})
            for (double a : *s) lo = std::min(lo, a), hi = std::max(hi, a);
        const double span = std::max(hi - lo, 0.1) * 1.1, mid = (hi + lo) / 2;
        const int top = axis * panel + 8, bottom = (axis + 1) * panel - 8;
        auto yOf = [&](double a) { return bottom - (a - (mid - span / 2)) / span * (bottom - top); };
        auto xOf = [&](size_t i) { return left + (rows.size() > 1 ? static_cast<double>(i) / (rows.size() - 1) : 0.5) * (right - left); };
        canvas.line(left, top, left, bottom, grey, 1);
        canvas.line(left, bottom, right, bottom, grey, 1);
        canvas.line(left, yOf(0), right, yOf(0), grey, 1);
        canvas.text(8, top + 4, names[axis], ink, 2);
        char scale[32];
        std::snprintf(scale, sizeof scale, "%+.2f", mid + span / 2);
        canvas.text(8, top + 24, scale, ink, 1);
        std::snprintf(scale, sizeof scale, "%+.2f", mid - span / 2);
        canvas.text(8, bottom - 8, scale, ink, 1);
        canvas.text(8, (top + bottom) / 2, "DEG", ink, 1);
        for (size_t i = 1; i < rows.size(); ++i)
            canvas.line(xOf(i - 1), yOf(measured[i - 1]), xOf(i), yOf(measured[i]), light[axis], 1);
        for (size_t i = 1; i < rows.size(); ++i)
            canvas.line(xOf(i - 1), yOf(smooth[i - 1]), xOf(i), yOf(smooth[i]), dark[axis], 2);
    }
    return im;
}

}  // namespace stitcher
