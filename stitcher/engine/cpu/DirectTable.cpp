#include "DirectTable.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "CpuEngine.h"  // fastAtan2
#include "WorkerPool.h"

namespace stitcher {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kNodes = kViewCell + 1;  // per side of a cell worked out pixel by pixel

// x - y brought to within half a panorama width of 0.
inline double wrapped(double d, int width) { return d - width * std::round(d / width); }

}  // namespace

// One pool thread's room: its reader of the field, the table its band's
// taps go to (the field's levels, the output's sizes), and the positions
// of the cells it works out pixel by pixel.
struct DirectTable::Worker {
    PanoramaField::ReaderPtr reader;
    SampleTable table;
    TableBand band;
    std::vector<double> exactXy;  // per cell of a tile: kNodes x kNodes positions
};

DirectTable::DirectTable() = default;
DirectTable::~DirectTable() = default;

Status DirectTable::build(const EngineSpec& params, WorkerPool& pool) {
    shape_ = params.view;
    if (!params.reprojected()) {
        shape_.projection = Projection::Equirect;
        shape_.width = params.outWidth();
        shape_.height = params.outHeight();
    }
    width_ = params.outWidth();
    height_ = params.outHeight();
    if (width_ < 2 || height_ < 2 || width_ > (1 << 15) || height_ > (1 << 15))
        return Status(kExitDisplay, "output size out of range");
    if (shape_.projection != Projection::Equirect && !(shape_.fov > 0.0 && shape_.fov < 180.0))
        return Status(kExitDisplay, "field of view out of range");
    stride_ = params.outStride();
    // A view that shows the lenses smaller than the panorama does reads
    // lower levels: the output's pixel against the panorama's texel.
    int lastLevel = 0;
    if (params.reprojected()) {
        double d0[3], d1[3];
        viewDirection(shape_, width_ / 2.0, height_ / 2.0, d0);
        viewDirection(shape_, width_ / 2.0 + 1.0, height_ / 2.0, d1);
        const double pixel = std::acos(std::clamp(d0[0] * d1[0] + d0[1] * d1[1] + d0[2] * d1[2], -1.0, 1.0));
        const double texel = kPi / params.size;
        lastLevel = static_cast<int>(std::ceil(std::log2(std::max(1.0, 2.0 * pixel / texel)))) + 1;
    }
    Status st = field_.build(params, lastLevel, pool, &levels_);
    if (!st.ok()) return st;
    cellsX_ = (width_ + kViewCell - 1) / kViewCell;
    cellsY_ = (height_ + kViewCell - 1) / kViewCell;
    nodes_.assign(static_cast<size_t>(cellsX_ + 1) * (cellsY_ + 1) * 2, 0.0);
    cells_.assign(static_cast<size_t>(cellsX_) * cellsY_, Cell());
    workers_.clear();
    for (int t = 0; t < pool.threads(); ++t) {
        std::unique_ptr<Worker> w(new Worker);
        w->reader = field_.reader();
        w->table = levels_;
        w->table.outWidth = width_;
        w->table.outHeight = height_;
        w->table.outStride = stride_;
        // A band's pixels at their most taps, and room the kernels may read past its last.
        w->table.taps.resize(static_cast<size_t>(kViewCell) * width_ * PanoramaField::kMaxTaps + 64);
        w->band.groups.reserve(static_cast<size_t>(kViewCell) * ((width_ + kTileColumns - 1) / kTileColumns));
        w->exactXy.resize(static_cast<size_t>(kTileColumns / kViewCell) * kNodes * kNodes * 2);
        workers_.push_back(std::move(w));
    }
    setRotation(params.rotation);
    return Status();
}

void DirectTable::exact(double col, double row, double* x, double* y) const {
    double d[3], r[3];
    viewDirection(shape_, col + 0.5, row + 0.5, d);
    for (int k = 0; k < 3; ++k) r[k] = m_[0][k] * d[0] + m_[1][k] * d[1] + m_[2][k] * d[2];
    const int W = field_.width(), H = field_.height();
    const double p = fastAtan2(std::sqrt(r[0] * r[0] + r[1] * r[1]), r[2]);
    double t = fastAtan2(r[1], r[0]);
    if (t < 0.0) t += 2.0 * kPi;
    const double u = t / (2.0 * kPi) * W - 0.5, v = p / kPi * H - 0.5;
    *x = std::isfinite(u) ? u : 0.0;
    *y = std::isfinite(v) ? v : 0.0;
}

void DirectTable::setRotation(const float m[4][4]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m_[i][j] = std::isfinite(m[i][j]) ? m[i][j] : (i == j ? 1.0 : 0.0);
    const int W = field_.width(), H = field_.height();
    const size_t across = static_cast<size_t>(cellsX_ + 1);
    for (int cy = 0; cy <= cellsY_; ++cy)
        for (int cx = 0; cx <= cellsX_; ++cx) {
            double* n = &nodes_[(cy * across + cx) * 2];
            exact(cx * kViewCell, cy * kViewCell, &n[0], &n[1]);
        }
    // A cell is interpolated only where that matches the exact positions at
    // its centre and the middle of each edge.
    for (int cy = 0; cy < cellsY_; ++cy)
        for (int cx = 0; cx < cellsX_; ++cx) {
            const double* n0 = &nodes_[(cy * across + cx) * 2];
            const double* n1 = n0 + across * 2;
            const double ax = n0[0], ay = n0[1];
            const double bx = ax + wrapped(n0[2] - ax, W), by = n0[3];
            const double cxx = ax + wrapped(n1[0] - ax, W), cyy = n1[1];
            const double dx = ax + wrapped(n1[2] - ax, W), dy = n1[3];
            bool ok = true;
            static const double kAt[5][2] = {{0.5, 0.5}, {0.5, 0}, {0, 0.5}, {1, 0.5}, {0.5, 1}};
            for (const auto& at : kAt) {
                const double s = at[0], t = at[1];
                const double ix = (1 - t) * ((1 - s) * ax + s * bx) + t * ((1 - s) * cxx + s * dx);
                const double iy = (1 - t) * ((1 - s) * ay + s * by) + t * ((1 - s) * cyy + s * dy);
                double ex, ey;
                exact(cx * kViewCell + s * kViewCell, cy * kViewCell + t * kViewCell, &ex, &ey);
                // Across a row of the panorama a texel spans sin(polar angle)
                // of one along it: the miss is measured on the sphere.
                const double across = std::sin(kPi * std::clamp((ey + 0.5) / H, 0.0, 1.0));
                if (std::fabs(wrapped(ix - ex, W)) * across > kViewTolerance || std::fabs(iy - ey) > kViewTolerance) {
                    ok = false;
                    break;
                }
            }
            cells_[static_cast<size_t>(cy) * cellsX_ + cx] =
                Cell{ax, ay, bx, by, (cxx - ax) / kViewCell, (cyy - ay) / kViewCell, (dx - bx) / kViewCell,
                     (dy - by) / kViewCell, !ok};
        }
}

// The exact positions of a cell's pixels and one more each way, row after
// row, x unwrapped from the cell's first.
void DirectTable::exactCell(int cx, int cy, double* xy) const {
    const int W = field_.width();
    double first = 0.0;
    for (int j = 0; j < kNodes; ++j)
        for (int i = 0; i < kNodes; ++i) {
            double* p = xy + (j * kNodes + i) * 2;
            exact(cx * kViewCell + i, cy * kViewCell + j, &p[0], &p[1]);
            if (i == 0 && j == 0)
                first = p[0];
            else
                p[0] = first + wrapped(p[0] - first, W);
        }
}

void DirectTable::position(int col, int row, double* x, double* y) const {
    const int cx = col / kViewCell, cy = row / kViewCell, i = col - cx * kViewCell, k = row - cy * kViewCell;
    const Cell& c = cells_[static_cast<size_t>(cy) * cellsX_ + cx];
    if (c.exact) {
        exact(col, row, x, y);
        return;
    }
    const double lx = c.lx + c.dlx * k, ly = c.ly + c.dly * k;
    const double rx = c.rx + c.drx * k, ry = c.ry + c.dry * k;
    *x = lx + (rx - lx) * i / kViewCell;
    *y = ly + (ry - ly) * i / kViewCell;
}

void DirectTable::bandTaps(size_t b, Worker& w) {
    TableBand& band = w.band;
    band.row0 = bandRow(b);
    band.row1 = std::min(height_, band.row0 + kViewCell);
    band.groups.clear();
    band.tapBegin = 0;
    const int cy = static_cast<int>(b);
    SampleTap* const taps = w.table.taps.data();
    size_t at = 0;
    size_t starts[kTileColumns + 1];
    constexpr int kCellsPerTile = kTileColumns / kViewCell;
    static_assert(kTileColumns % kViewCell == 0, "a tile holds whole cells");
    for (int c0 = 0; c0 < width_; c0 += kTileColumns) {
        const int c1 = std::min(width_, c0 + kTileColumns);
        for (int i = 0; i < kCellsPerTile && c0 / kViewCell + i < cellsX_; ++i) {
            const int cx = c0 / kViewCell + i;
            if (cells_[static_cast<size_t>(cy) * cellsX_ + cx].exact)
                exactCell(cx, cy, &w.exactXy[static_cast<size_t>(i) * kNodes * kNodes * 2]);
        }
        for (int row = band.row0; row < band.row1; ++row) {
            const int k = row - band.row0;
            for (int cs = c0; cs < c1; cs += kViewCell) {
                const int cx = cs / kViewCell, ce = std::min(c1, cs + kViewCell);
                const Cell& c = cells_[static_cast<size_t>(cy) * cellsX_ + cx];
                if (c.exact) {
                    const double* xy = &w.exactXy[static_cast<size_t>(cx - c0 / kViewCell) * kNodes * kNodes * 2];
                    for (int col = cs; col < ce; ++col) {
                        const double* p = xy + (k * kNodes + (col - cs)) * 2;
                        const double step[4] = {p[2] - p[0], p[3] - p[1], p[kNodes * 2] - p[0], p[kNodes * 2 + 1] - p[1]};
                        starts[col - c0] = at;
                        at += field_.taps(*w.reader, p[0], p[1], step, taps + at);
                    }
                    continue;
                }
                const double lx = c.lx + c.dlx * k, ly = c.ly + c.dly * k;
                const double sx = (c.rx + c.drx * k - lx) / kViewCell, sy = (c.ry + c.dry * k - ly) / kViewCell;
                const double step[4] = {sx, sy, c.dlx + (c.drx - c.dlx) * 0.5, c.dly + (c.dry - c.dly) * 0.5};
                for (int col = cs; col < ce; ++col) {
                    const int i = col - cs;
                    starts[col - c0] = at;
                    at += field_.taps(*w.reader, lx + sx * i, ly + sy * i, step, taps + at);
                }
            }
            starts[c1 - c0] = at;
            band.groups.push_back(groupTileRow(starts, c1 - c0, taps));
        }
    }
    band.tapEnd = at;
}

void DirectTable::sampleBand(size_t b, int thread, const uint8_t* frame, const uint8_t* levels, const LensGains& gains,
                             uint8_t* out) {
    Worker& w = *workers_[static_cast<size_t>(thread)];
    bandTaps(b, w);
    stitcher::sampleBand(w.table, w.band, frame, levels, gains, out);
}

}  // namespace stitcher
