#include "ViewRemap.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Angles.h"
#include "SampleKernel.h"

namespace stitcher {

namespace {


// Fixed-point bilinear read at (x, y): x wraps around the panorama, y is
// clamped to its first and last rows (the GL engine's repeat / clamp-to-edge).
// P bytes a texel; a fourth byte comes out 255.
template <int P>
inline void sampleAt(const uint8_t* src, size_t stride, int width, int height, double x, double y, uint8_t* out) {
    const double fx0 = std::floor(x), fy0 = std::floor(y);
    const int fx = static_cast<int>((x - fx0) * 256.0 + 0.5), fy = static_cast<int>((y - fy0) * 256.0 + 0.5);
    int x0 = static_cast<int>(fx0) % width;
    if (x0 < 0) x0 += width;
    const int x1 = x0 + 1 == width ? 0 : x0 + 1;
    int y0 = static_cast<int>(fy0), y1 = y0 + 1;
    y0 = std::clamp(y0, 0, height - 1);
    y1 = std::clamp(y1, 0, height - 1);
    const uint8_t* r0 = src + static_cast<size_t>(y0) * stride;
    const uint8_t* r1 = src + static_cast<size_t>(y1) * stride;
    const uint8_t *a = r0 + P * x0, *b = r0 + P * x1, *c = r1 + P * x0, *d = r1 + P * x1;
    const int wa = (256 - fx) * (256 - fy), wb = fx * (256 - fy), wc = (256 - fx) * fy, wd = fx * fy;
    for (int k = 0; k < 3; ++k)
        out[k] = static_cast<uint8_t>((a[k] * wa + b[k] * wb + c[k] * wc + d[k] * wd + 32768) >> 16);
    if (P == 4) out[3] = 255;
}

// Texel coordinates of the rotated direction r, as rotatedTexel gives them.
inline void texelOfDirection(const double r[3], int width, int height, double* x, double* y) {
    const double p = fastAtan2(std::sqrt(r[0] * r[0] + r[1] * r[1]), r[2]);
    double t = fastAtan2(r[1], r[0]);
    if (t < 0.0) t += 2.0 * kPi;
    double u = t / (2.0 * kPi) * width - 0.5;
    if (u < -0.5) u += width;  // rounding at the line
    if (!(u < width - 0.5)) u -= width;
    *x = std::isfinite(u) ? u : 0.0;
    const double v = p / kPi * height - 0.5;
    *y = std::isfinite(v) ? v : 0.0;
}

}  // namespace

void rotatedTexel(double col, double row, int width, int height, const double m[3][3], double* x, double* y) {
    const double phi = kPi * (row + 0.5) / height;
    const double theta = 2.0 * kPi * (col + 0.5) / width;
    const double d[3] = {std::sin(phi) * std::cos(theta), std::sin(phi) * std::sin(theta), std::cos(phi)};
    double r[3];
    for (int k = 0; k < 3; ++k) r[k] = m[0][k] * d[0] + m[1][k] * d[1] + m[2][k] * d[2];
    texelOfDirection(r, width, height, x, y);
}

void ViewRemap::exact(int col, int row, double* x, double* y) const {
    const double sp = sinPhi_[row], cp = cosPhi_[row];
    const double d[3] = {sp * cosTheta_[col], sp * sinTheta_[col], cp};
    double r[3];
    for (int k = 0; k < 3; ++k) r[k] = m_[0][k] * d[0] + m_[1][k] * d[1] + m_[2][k] * d[2];
    texelOfDirection(r, width_, height_, x, y);
}

void ViewRemap::lookup(int col, int row, double* x, double* y) const {
    if (col < width_ && row < height_)
        exact(col, row, x, y);
    else
        rotatedTexel(col, row, width_, height_, m_, x, y);
}

void ViewRemap::plan(int width, int height, int texelBytes) {
    texel_ = texelBytes == 4 ? 4 : 3;
    width_ = width;
    height_ = height;
    cellsX_ = (width + kRemapCell - 1) / kRemapCell;
    cellsY_ = (height + kRemapCell - 1) / kRemapCell;
    nodes_.assign(static_cast<size_t>(cellsX_ + 1) * (cellsY_ + 1), Node{0, 0});
    exactCells_.assign(static_cast<size_t>(cellsX_) * cellsY_, 0);
    cells_.assign(static_cast<size_t>(cellsX_) * cellsY_, Cell{0, 0, 0, 0, 0, 0, 0, 0});
    sinPhi_.resize(height);
    cosPhi_.resize(height);
    for (int r = 0; r < height; ++r) {
        sinPhi_[r] = std::sin(kPi * (r + 0.5) / height);
        cosPhi_[r] = std::cos(kPi * (r + 0.5) / height);
    }
    sinTheta_.resize(width);
    cosTheta_.resize(width);
    for (int c = 0; c < width; ++c) {
        sinTheta_[c] = std::sin(2.0 * kPi * (c + 0.5) / width);
        cosTheta_[c] = std::cos(2.0 * kPi * (c + 0.5) / width);
    }
}

void ViewRemap::setRotation(const float m[4][4]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m_[i][j] = std::isfinite(m[i][j]) ? m[i][j] : (i == j ? 1.0 : 0.0);
    const int W = width_, H = height_;
    for (int cy = 0; cy <= cellsY_; ++cy)
        for (int cx = 0; cx <= cellsX_; ++cx) {
            double x, y;
            lookup(cx * kRemapCell, cy * kRemapCell, &x, &y);
            nodes_[static_cast<size_t>(cy) * (cellsX_ + 1) + cx] = Node{static_cast<float>(x), static_cast<float>(y)};
        }
    // A cell is interpolated only where that matches the exact lookup at
    // its centre and the middle of each edge.
    for (int cy = 0; cy < cellsY_; ++cy)
        for (int cx = 0; cx < cellsX_; ++cx) {
            const Node* n0 = &nodes_[static_cast<size_t>(cy) * (cellsX_ + 1) + cx];
            const Node* n1 = n0 + cellsX_ + 1;
            const double ax = n0[0].x, ay = n0[0].y;
            auto unwrap = [&](double x) { return x - W * std::round((x - ax) / W); };
            const double bx = unwrap(n0[1].x), cxx = unwrap(n1[0].x), dx = unwrap(n1[1].x);
            const double by = n0[1].y, cyy = n1[0].y, dy = n1[1].y;
            bool ok = true;
            static const double kAt[5][2] = {{0.5, 0.5}, {0.5, 0}, {0, 0.5}, {1, 0.5}, {0.5, 1}};
            for (const auto& at : kAt) {
                const double s = at[0], t = at[1];
                const double ix = (1 - t) * ((1 - s) * ax + s * bx) + t * ((1 - s) * cxx + s * dx);
                const double iy = (1 - t) * ((1 - s) * ay + s * by) + t * ((1 - s) * cyy + s * dy);
                double ex, ey;
                lookup(cx * kRemapCell + static_cast<int>(s * kRemapCell), cy * kRemapCell + static_cast<int>(t * kRemapCell),
                       &ex, &ey);
                // Across a row of the panorama a texel spans sin(polar angle)
                // of one along it: the miss is measured on the sphere.
                const double ddx = std::fabs(ix - ex), wrapped = std::fabs(ddx - W * std::round(ddx / W));
                const double across = std::sin(kPi * std::clamp((ey + 0.5) / H, 0.0, 1.0));
                if (wrapped * across > kRemapTolerance || std::fabs(iy - ey) > kRemapTolerance) {
                    ok = false;
                    break;
                }
            }
            exactCells_[static_cast<size_t>(cy) * cellsX_ + cx] = ok ? 0 : 1;
            const auto fixed = [](double v) { return static_cast<int32_t>(std::lround(v * 65536.0)); };
            cells_[static_cast<size_t>(cy) * cellsX_ + cx] =
                Cell{fixed(ax), fixed(ay), fixed(bx), fixed(by), fixed((cxx - ax) / kRemapCell), fixed((cyy - ay) / kRemapCell),
                     fixed((dx - bx) / kRemapCell), fixed((dy - by) / kRemapCell)};
        }
}

void ViewRemap::remapRows(const uint8_t* src, size_t stride, int row0, int row1, uint8_t* dst) const {
    if (texel_ == 4)
        remapRowsOf<4>(src, stride, row0, row1, dst);
    else
        remapRowsOf<3>(src, stride, row0, row1, dst);
}

template <int P>
void ViewRemap::remapRowsOf(const uint8_t* src, size_t stride, int row0, int row1, uint8_t* dst) const {
    const int W = width_, H = height_;
    const size_t rowBytes = static_cast<size_t>(W) * P;
    for (int row = row0; row < row1; ++row) {
        uint8_t* out = dst + static_cast<size_t>(row - row0) * stride;
        std::memset(out + rowBytes, 0, stride - rowBytes);
        const int cy = row / kRemapCell, k = row - cy * kRemapCell;
        for (int cx = 0; cx < cellsX_; ++cx) {
            const int c0 = cx * kRemapCell, c1 = std::min(W, c0 + kRemapCell);
            if (exactCells_[static_cast<size_t>(cy) * cellsX_ + cx]) {
                for (int col = c0; col < c1; ++col) {
                    double x, y;
                    exact(col, row, &x, &y);
                    sampleAt<P>(src, stride, W, H, x, y, out + P * col);
                }
                continue;
            }
            // The cell's row: from its left edge to its right, linearly, in
            // 16.16 fixed point; 8 bits of each position's fraction weight its texels.
            const Cell& cell = cells_[static_cast<size_t>(cy) * cellsX_ + cx];
            int32_t fxp = cell.lx + cell.dlx * k, fyp = cell.ly + cell.dly * k;
            const int32_t sx = (cell.rx + cell.drx * k - fxp) / kRemapCell, sy = (cell.ry + cell.dry * k - fyp) / kRemapCell;
            const int64_t endX = fxp + static_cast<int64_t>(sx) * (c1 - c0 - 1);
            const int64_t endY = fyp + static_cast<int64_t>(sy) * (c1 - c0 - 1);
            if (std::min<int64_t>(fxp, endX) >= 0 && std::max<int64_t>(fxp, endX) < (static_cast<int64_t>(W - 2) << 16) &&
                std::min<int64_t>(fyp, endY) >= 0 && std::max<int64_t>(fyp, endY) < (static_cast<int64_t>(H - 1) << 16)) {
                // Inside the picture all the way (no wrap, no edge row, a
                // texel to spare on the right for the 4-byte reads).
                remapRun(src, stride, fxp, fyp, sx, sy, c1 - c0, out + P * c0, P, c1 == W);
                continue;
            }
            for (int col = c0; col < c1; ++col, fxp += sx, fyp += sy) {
                int x0 = fxp >> 16;
                const int y = fyp >> 16, fx = (fxp >> 8) & 255, fy = (fyp >> 8) & 255;
                if (static_cast<unsigned>(x0) >= static_cast<unsigned>(W)) x0 = ((x0 % W) + W) % W;
                const int x1 = x0 + 1 == W ? 0 : x0 + 1;
                const int y0 = std::clamp(y, 0, H - 1), y1 = std::clamp(y + 1, 0, H - 1);
                const uint8_t* r0 = src + static_cast<size_t>(y0) * stride;
                const uint8_t* r1 = src + static_cast<size_t>(y1) * stride;
                const uint8_t *a = r0 + P * x0, *b = r0 + P * x1, *c = r1 + P * x0, *d = r1 + P * x1;
                const int wa = (256 - fx) * (256 - fy), wb = fx * (256 - fy), wc = (256 - fx) * fy, wd = fx * fy;
                uint8_t* o = out + P * col;
                for (int k = 0; k < 3; ++k)
                    o[k] = static_cast<uint8_t>((a[k] * wa + b[k] * wb + c[k] * wc + d[k] * wd + 32768) >> 16);
                if (P == 4) o[3] = 255;
            }
        }
    }
}

}  // namespace stitcher
