#include "SeamBands.h"

#include <algorithm>
#include <cmath>

#include "FisheyePlane.h"
#include "StitchLayout.h"

namespace stitcher {

bool SeamShift::any() const {
    for (const std::vector<float>& s : shift)
        for (float v : s)
            if (v != 0.0f) return true;
    return false;
}

float SeamShift::at(int b, int row, float t) const {
    const float* s = shift[b].data() + static_cast<size_t>(row) * static_cast<size_t>(windows);
    const float x = t * static_cast<float>(windows + 1) - 1.0f;
    if (x <= 0.0f) return s[0];
    if (x >= static_cast<float>(windows - 1)) return s[windows - 1];
    const int k = static_cast<int>(x);
    return s[k] + (s[k + 1] - s[k]) * (x - static_cast<float>(k));
}

SeamBands::SeamBands(const DualFisheyeModel& model, int size, int frameWidth, int frameHeight, int margin)
    : width_(2 * size), height_(size), margin_(std::max(1, margin)) {
    const std::vector<stitchlayout::LayoutMesh> meshes = stitchlayout::stitchMeshes(model, width_, height_);
    const float blendW = stitchlayout::stitchBlendWidth(model, height_);
    // Mesh x runs against the output columns: x = W/2 - (col + 0.5). The
    // band of mesh i (drawn over mesh i - 1) lies where its own x is within
    // blendW of its left edge; its higher x, the lower columns, are mesh i's
    // side. Mesh 2's band comes first in the columns.
    const int topMesh[2] = {2, 1};
    for (int b = 0; b < 2; ++b) {
        const FisheyePlane& top = meshes[static_cast<size_t>(topMesh[b])].plane;
        const float left = top.posX - static_cast<float>(top.planeWidth / 2);
        int c0 = width_, c1 = 0;
        for (int col = 0; col < width_; ++col) {
            const float x = static_cast<float>(width_) / 2.0f - (static_cast<float>(col) + 0.5f);
            if (x > left && x < left + blendW) {
                c0 = std::min(c0, col);
                c1 = std::max(c1, col + 1);
            }
        }
        if (c1 <= c0) c0 = c1 = 0;
        begin_[b] = c0;
        end_[b] = c1;
        for (int col = c0; col < c1; ++col) {
            const float x = static_cast<float>(width_) / 2.0f - (static_cast<float>(col) + 0.5f);
            share_[b].push_back(1.0f - stitchlayout::stitchFadeAlpha(x, left, blendW));
        }
        lens_[b][0] = meshes[static_cast<size_t>(topMesh[b])].lens;
        lens_[b][1] = meshes[static_cast<size_t>(topMesh[b] - 1)].lens;
    }
    span_ = std::max(end_[0] - begin_[0], end_[1] - begin_[1]) + 2 * margin_;
    for (int b = 0; b < 2; ++b)
        for (int side = 0; side < 2; ++side) {
            const int meshIndex = side == 0 ? topMesh[b] : topMesh[b] - 1;
            const FisheyePlane& plane = meshes[static_cast<size_t>(meshIndex)].plane;
            const FisheyeLens& lens = plane.lens;
            float m[3][3];
            fisheyeLensRotation(lens, m);
            const double sx = lens.imageWidth > 0 ? static_cast<double>(frameWidth) / lens.imageWidth : 0.0;
            const double sy = lens.imageHeight > 0 ? static_cast<double>(frameHeight) / lens.imageHeight : 0.0;
            std::vector<Point>& pts = points_[b][side];
            pts.assign(static_cast<size_t>(span_) * static_cast<size_t>(height_), Point{0, 0, 0});
            if (end_[b] <= begin_[b]) continue;
            // Exactly on every other row within kLatitudeLimit of the
            // horizon (the lens mapping is smooth there), linear between.
            const auto exact = [&](int row, int i) {
                const double col = begin_[b] - margin_ + i;
                double d[3];
                plane.directionAtPoint(width_ / 2.0 - (col + 0.5), row + 0.5 - height_ / 2.0, d);
                float u = 0, v = 0;
                fisheyeDirectionToUV(lens, m, d[0], d[1], d[2], &u, &v);
                const double px = static_cast<double>(u) * lens.imageWidth, py = static_cast<double>(v) * lens.imageHeight;
                const double r = lens.radius > 0 ? std::hypot(px - lens.centerX, py - lens.centerY) / lens.radius : 0.0;
                pts[static_cast<size_t>(row) * span_ + i] =
                    Point{static_cast<float>(px * sx), static_cast<float>(py * sy), static_cast<float>(std::min(r, 1.0))};
            };
            const int first = firstRow(), last = lastRow();
            for (int row = first; row <= last; row += 2)
                for (int i = 0; i < span_; ++i) exact(row, i);
            for (int row = first + 1; row <= last; row += 2)
                for (int i = 0; i < span_; ++i) {
                    if (row == last) {
                        exact(row, i);
                        continue;
                    }
                    const Point& a = pts[static_cast<size_t>(row - 1) * span_ + i];
                    const Point& c = pts[static_cast<size_t>(row + 1) * span_ + i];
                    pts[static_cast<size_t>(row) * span_ + i] = Point{(a.x + c.x) / 2, (a.y + c.y) / 2, (a.r + c.r) / 2};
                }
        }
    if (end_[0] > begin_[0]) {
        // At the band's middle, on the horizon: the larger of the steps along
        // and across the rows, as a level of detail takes it.
        const size_t at = static_cast<size_t>(height_ / 2) * span_ + static_cast<size_t>(margin_ + (end_[0] - begin_[0]) / 2);
        const Point* p = &points_[0][0][at];
        const Point* below = p + span_;
        density_ = std::max(0.25f, static_cast<float>(std::max(std::hypot(p[1].x - p[0].x, p[1].y - p[0].y),
                                                                std::hypot(below->x - p->x, below->y - p->y))));
    }
}

void SeamBands::lensPoint(int b, int side, int row, float col, float* fx, float* fy, float* radius) const {
    float t = col - static_cast<float>(begin_[b] - margin_);
    t = std::min(std::max(t, 0.0f), static_cast<float>(span_ - 1) - 1e-3f);
    const int i = static_cast<int>(t);
    const float f = t - static_cast<float>(i);
    const Point& a = points_[b][side][static_cast<size_t>(row) * span_ + i];
    const Point& c = points_[b][side][static_cast<size_t>(row) * span_ + std::min(i + 1, span_ - 1)];
    *fx = a.x + (c.x - a.x) * f;
    *fy = a.y + (c.y - a.y) * f;
    *radius = a.r + (c.r - a.r) * f;
}

int SeamBands::firstRow() const {
    return std::max(0, static_cast<int>(std::floor((90.0 - kLatitudeLimit) / 180.0 * height_)) - 1);
}

int SeamBands::lastRow() const { return height_ - 1 - firstRow(); }

double SeamBands::arcPerColumn(int row) const {
    const double pi = 3.14159265358979323846;
    return 2.0 * pi / width_ * std::sin(pi * (row + 0.5) / height_);
}

namespace {

// The 2 x 2 texels of a packed BGR frame around (x, y) (pixel centres at
// halves, clamped to the frame) and the weights of the right and lower ones.
struct TexelBlock {
    const uint8_t *a, *b, *c, *d;  // top-left, top-right, bottom-left, bottom-right
    float ax, ay;

    TexelBlock(const uint8_t* frame, int width, int height, float x, float y) {
        float fx = x - 0.5f, fy = y - 0.5f;
        fx = std::min(std::max(fx, 0.0f), static_cast<float>(width - 1));
        fy = std::min(std::max(fy, 0.0f), static_cast<float>(height - 1));
        const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
        const int x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
        ax = fx - static_cast<float>(x0);
        ay = fy - static_cast<float>(y0);
        const size_t stride = static_cast<size_t>(width) * 3;
        const uint8_t* r0 = frame + static_cast<size_t>(y0) * stride;
        const uint8_t* r1 = frame + static_cast<size_t>(y1) * stride;
        a = r0 + static_cast<size_t>(x0) * 3;
        b = r0 + static_cast<size_t>(x1) * 3;
        c = r1 + static_cast<size_t>(x0) * 3;
        d = r1 + static_cast<size_t>(x1) * 3;
    }
};

}  // namespace

void sampleFrame(const uint8_t* frame, int width, int height, float x, float y, float out[3]) {
    const TexelBlock t(frame, width, height, x, y);
    for (int k = 0; k < 3; ++k) {
        const float top = t.a[k] + (t.b[k] - t.a[k]) * t.ax;
        const float bottom = t.c[k] + (t.d[k] - t.c[k]) * t.ax;
        out[k] = top + (bottom - top) * t.ay;
    }
}

float sampleFrameSum(const uint8_t* frame, int width, int height, float x, float y) {
    const TexelBlock t(frame, width, height, x, y);
    const float top =
        static_cast<float>(t.a[0] + t.a[1] + t.a[2]) * (1 - t.ax) + static_cast<float>(t.b[0] + t.b[1] + t.b[2]) * t.ax;
    const float bottom =
        static_cast<float>(t.c[0] + t.c[1] + t.c[2]) * (1 - t.ax) + static_cast<float>(t.d[0] + t.d[1] + t.d[2]) * t.ax;
    return top + (bottom - top) * t.ay;
}

}  // namespace stitcher
