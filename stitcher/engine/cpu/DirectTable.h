// One resample from the lens pictures to every output pixel for a view that
// moves every frame, or an output that is not the panorama (flat, planet).
// Where each output pixel looks in the identity-view panorama is worked out
// exactly on a grid of cells of kViewCell x kViewCell pixels, per rotation,
// and interpolated inside each cell; a cell whose centre and edge midpoints
// the interpolation misses by more than kViewTolerance texels on the sphere
// (near the poles, across the 0/360 degree line) is worked out pixel by
// pixel. The lens texture positions (and the blend where two lenses meet)
// are interpolated the same way, across a whole cell where its midpoints
// agree within kLensTolerance texels, else across squares of kSubCell
// pixels whose corners read the same lenses at the same levels, else
// worked out pixel by pixel. Per frame, each band of output rows is turned
// into taps (SampleTable.h), in the table's own form, and sampled by the
// table's kernels on the thread that made them: no table is kept or
// rebuilt, and the lenses are read once. A view that never moves (no
// rotation per frame) keeps each band's taps from its first frame, so that
// the frames after it are only sampled, as the panorama's table is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Engine.h"
#include "SampleKernel.h"
#include "SampleTable.h"

namespace stitcher {

class WorkerPool;

constexpr int kViewCell = 16;
constexpr double kViewTolerance = 1.0 / 16.0;
// Cells not interpolated whole are worked out on a finer grid of this many pixels.
constexpr int kSubCell = 4;
// The same for lens texture positions, in texels of the lens picture.
constexpr double kLensTolerance = 1.0 / 8.0;
// And for the blend of two lenses (of one).
constexpr double kBlendTolerance = 1.0 / 128.0;

class DirectTable {
public:
    DirectTable();
    ~DirectTable();
    DirectTable(const DirectTable&) = delete;
    DirectTable& operator=(const DirectTable&) = delete;

    // For params (its projection, output size and first rotation), on
    // `pool`'s threads; fails with the reason where that cannot be stitched.
    Status build(const EngineSpec& params, WorkerPool& pool);
    // The view rotation of the following frames (m[i] is column i).
    void setRotation(const float m[4][4]);
    // A flat or planet view's field of view for the next setRotation().
    void setFov(double degrees) { shape_.fov = degrees; }
    double fov() const { return shape_.fov; }

    // The frame's levels to make (levels, sizes; no taps) and the output's sizes.
    const SampleTable& levels() const { return levels_; }
    int outWidth() const { return width_; }
    int outHeight() const { return height_; }
    size_t outStride() const { return stride_; }
    // Bands of output rows, each kViewCell rows (the last fewer).
    size_t bandCount() const { return static_cast<size_t>((height_ + kViewCell - 1) / kViewCell); }
    int bandRow(size_t b) const { return static_cast<int>(b) * kViewCell; }
    // Band b's pixels into `out` (which receives its first row, outStride()
    // bytes a row, padding zeroed), on pool thread `thread`.
    void sampleBand(size_t b, int thread, const uint8_t* frame, const uint8_t* levels, const LensGains& gains,
                    uint8_t* out);

    // Where output pixel (col, row) looks in the panorama under the current
    // rotation, as the cells give it (for tests): texel coordinates, centres
    // at whole numbers.
    void position(int col, int row, double* x, double* y) const;

private:
    struct Cell {
        double lx, ly, rx, ry;      // left and right edge at the cell's top row
        double dlx, dly, drx, dry;  // their steps per row
        bool exact;
        // Where the cell's lens texture positions and blend interpolate as
        // well as its directions do: its lens (and the one under it in a
        // blend, else -1), what the corners show (top left, top right,
        // bottom left, bottom right) and the levels of detail at the
        // middle; else lens -1.
        int lens, under;
        PanoramaField::LensPoint corner[4];
        double lod, lod2;
    };
    struct SubNode {
        bool ok;
        PanoramaField::LensPoint point;
    };
    struct Worker;
    void subNodes(const Cell& c, const double* xy, SubNode* out) const;
    void exact(double col, double row, double* x, double* y) const;
    void lensCell(const double* const checked[5], Cell* cell) const;
    void exactCell(int cx, int cy, double* xy) const;
    void bandTaps(size_t b, Worker& w);

    ViewShape shape_;
    ViewRays rays_;  // shape_'s, as of the last setRotation()
    int width_ = 0, height_ = 0, cellsX_ = 0, cellsY_ = 0;
    size_t stride_ = 0;
    double m_[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    PanoramaField field_;
    SampleTable levels_;
    std::vector<double> sinCol_, cosCol_, sinRow_, cosRow_;  // equirect: per output column and row
    std::vector<double> nodes_;  // x, y per node, (cellsX_ + 1) x (cellsY_ + 1)
    std::vector<Cell> cells_;
    // Exact positions at each cell's middle, the middles of the rows of
    // nodes between cells and those of the columns: x, y each.
    std::vector<double> middles_, rowMiddles_, columnMiddles_;
    std::vector<std::unique_ptr<Worker>> workers_;
    WorkerPool* pool_ = nullptr;  // build()'s, which setRotation() works on
    // The fixed view's bands, each made on its first frame by the thread
    // that samples it (one thread per band and frame).
    struct KeptBand {
        bool ready = false;
        SampleTable table;  // the levels' sizes and the band's taps
        TableBand band;
    };
    bool fixed_ = false;
    std::vector<KeptBand> kept_;
};

}  // namespace stitcher
