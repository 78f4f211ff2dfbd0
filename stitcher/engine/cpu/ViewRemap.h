// The CPU engine's per-frame view rotation: the panorama stitched with the
// identity view, looked up bilinearly along each output pixel's rotated
// direction (the GL engine's second pass with a linear lookup). Where each
// output pixel looks is worked out exactly on a grid of cells of
// kRemapCell x kRemapCell pixels and interpolated inside each cell; a cell
// whose centre and edge midpoints the interpolation misses by more than
// kRemapTolerance texels on the sphere (a texel's width across a row counts
// as much as it spans there: near the poles, less) is worked out pixel by
// pixel: near the poles, across the 0/360 degree line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CpuEngine.h"  // fastAtan2

namespace stitcher {

constexpr int kRemapCell = 16;
constexpr double kRemapTolerance = 1.0 / 16.0;

// Where output pixel (col, row) of a width x height panorama looks in the
// identity-view panorama through rotation m (m[i] is column i, as the
// renderer takes it): continuous texel coordinates with texel centres at
// whole numbers, x in [-0.5, width - 0.5), y in [-0.5, height - 0.5].
void rotatedTexel(double col, double row, int width, int height, const double m[3][3], double* x, double* y);

class ViewRemap {
public:
    // For a width x height panorama (both at least 2) of 3- or 4-byte
    // pixels (a fourth byte comes out 255).
    void plan(int width, int height, int texelBytes = 3);
    // Makes the cell grid for rotation m (column-major, as the renderer takes it).
    void setRotation(const float m[4][4]);
    // Output rows [row0, row1) from `src` (the identity-view panorama) into
    // `dst`, which receives row0; both have `stride` bytes per row, padding zeroed.
    void remapRows(const uint8_t* src, size_t stride, int row0, int row1, uint8_t* dst) const;

private:
    struct Node {
        float x, y;
    };
    // An interpolated cell in 16.16 fixed point: its left and right edges'
    // positions at its top row and their steps per row, x unwrapped from
    // the top left corner's.
    struct Cell {
        int32_t lx, ly, rx, ry, dlx, dly, drx, dry;
    };
    template <int P>
    void remapRowsOf(const uint8_t* src, size_t stride, int row0, int row1, uint8_t* dst) const;
    // exact() inside the tables, rotatedTexel() beyond them.
    void lookup(int col, int row, double* x, double* y) const;
    // Where output pixel (col, row) looks, from the tables of its row and column.
    void exact(int col, int row, double* x, double* y) const;
    int width_ = 0, height_ = 0, cellsX_ = 0, cellsY_ = 0;
    int texel_ = 3;
    std::vector<double> sinPhi_, cosPhi_, sinTheta_, cosTheta_;  // per row, per column
    double m_[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    std::vector<Node> nodes_;          // (cellsX_ + 1) x (cellsY_ + 1)
    std::vector<uint8_t> exactCells_;  // 1: worked out pixel by pixel
    std::vector<Cell> cells_;          // cellsX_ x cellsY_
};

}  // namespace stitcher
