#include "DirectTable.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "CpuEngine.h"  // fastAtan2
#include "WorkerPool.h"
#include "Angles.h"

namespace stitcher {

namespace {

constexpr int kNodes = kViewCell + 1;  // per side of a cell worked out pixel by pixel
constexpr int kSubNodes = kViewCell / kSubCell + 1;  // per side of a cell's finer grid

// Where a cell is checked, in cells from its top-left corner: its middle,
// then the middles of its top, left, right and bottom edges.
constexpr double kCheckedAt[5][2] = {{0.5, 0.5}, {0.5, 0}, {0, 0.5}, {1, 0.5}, {0.5, 1}};

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
    std::vector<SubNode> sub;     // per cell of a tile: the lens points of its finer grid
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
    sinCol_.clear();
    if (shape_.projection == Projection::Equirect) {
        for (int c = 0; c < width_; ++c) {
            sinCol_.push_back(std::sin(2.0 * kPi * (c + 0.5) / width_));
            cosCol_.push_back(std::cos(2.0 * kPi * (c + 0.5) / width_));
        }
        for (int r = 0; r < height_; ++r) {
            sinRow_.push_back(std::sin(kPi * (r + 0.5) / height_));
            cosRow_.push_back(std::cos(kPi * (r + 0.5) / height_));
        }
    }
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
        w->sub.resize(static_cast<size_t>(kTileColumns / kViewCell) * kSubNodes * kSubNodes);
        workers_.push_back(std::move(w));
    }
    pool_ = &pool;
    fixed_ = !params.perFrameRotation;
    kept_.clear();
    kept_.resize(fixed_ ? bandCount() : 0);
    setRotation(params.rotation);
    return Status();
}

void DirectTable::exact(double col, double row, double* x, double* y) const {
    double d[3], r[3];
    const int c = static_cast<int>(col), k = static_cast<int>(row);
    if (!sinCol_.empty() && c == col && k == row && c < width_ && k < height_) {  // a pixel of the panorama: its tables
        d[0] = sinRow_[k] * cosCol_[c];
        d[1] = sinRow_[k] * sinCol_[c];
        d[2] = cosRow_[k];
    } else {
        rays_.direction(col + 0.5, row + 0.5, d);
    }
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
    for (KeptBand& k : kept_) k.ready = false;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m_[i][j] = std::isfinite(m[i][j]) ? m[i][j] : (i == j ? 1.0 : 0.0);
    rays_ = ViewRays(shape_);
    const int W = field_.width(), H = field_.height();
    const size_t across = static_cast<size_t>(cellsX_ + 1);
    // The exact positions at the nodes, and those each cell is checked at,
    // its middle and the middles of its edges, each worked out once:
    // neighbours share an edge. A row of nodes at a time on the pool.
    constexpr int kHalf = kViewCell / 2;
    const size_t cellsX = static_cast<size_t>(cellsX_);
    middles_.resize(cellsX * cellsY_ * 2);
    rowMiddles_.resize(cellsX * (cellsY_ + 1) * 2);
    columnMiddles_.resize(across * cellsY_ * 2);
    pool_->run(static_cast<size_t>(cellsY_ + 1), [&](size_t row) {
        const int cy = static_cast<int>(row);
        for (int cx = 0; cx <= cellsX_; ++cx) {
            double* n = &nodes_[(cy * across + cx) * 2];
            exact(cx * kViewCell, cy * kViewCell, &n[0], &n[1]);
            if (cx < cellsX_) {
                double* r = &rowMiddles_[(cy * cellsX + cx) * 2];
                exact(cx * kViewCell + kHalf, cy * kViewCell, &r[0], &r[1]);
            }
            if (cy < cellsY_) {
                double* c = &columnMiddles_[(cy * across + cx) * 2];
                exact(cx * kViewCell, cy * kViewCell + kHalf, &c[0], &c[1]);
            }
            if (cx < cellsX_ && cy < cellsY_) {
                double* c = &middles_[(cy * cellsX + cx) * 2];
                exact(cx * kViewCell + kHalf, cy * kViewCell + kHalf, &c[0], &c[1]);
            }
        }
    });
    // A cell is interpolated only where that matches the exact positions at
    // its centre and the middle of each edge.
    pool_->run(static_cast<size_t>(cellsY_), [&](size_t row) {
        const int cy = static_cast<int>(row);
        for (int cx = 0; cx < cellsX_; ++cx) {
            const double* n0 = &nodes_[(cy * across + cx) * 2];
            const double* n1 = n0 + across * 2;
            const double ax = n0[0], ay = n0[1];
            const double bx = ax + wrapped(n0[2] - ax, W), by = n0[3];
            const double cxx = ax + wrapped(n1[0] - ax, W), cyy = n1[1];
            const double dx = ax + wrapped(n1[2] - ax, W), dy = n1[3];
            bool ok = true;
            // As kCheckedAt lists them.
            const double* const checked[5] = {
                &middles_[(cy * cellsX + cx) * 2], &rowMiddles_[(cy * cellsX + cx) * 2],
                &columnMiddles_[(cy * across + cx) * 2], &columnMiddles_[(cy * across + cx + 1) * 2],
                &rowMiddles_[((cy + 1) * cellsX + cx) * 2]};
            for (int i = 0; i < 5; ++i) {
                const double s = kCheckedAt[i][0], t = kCheckedAt[i][1];
                const double ix = (1 - t) * ((1 - s) * ax + s * bx) + t * ((1 - s) * cxx + s * dx);
                const double iy = (1 - t) * ((1 - s) * ay + s * by) + t * ((1 - s) * cyy + s * dy);
                const double ex = checked[i][0], ey = checked[i][1];
                // Across a row of the panorama a texel spans sin(polar angle)
                // of one along it: the miss is measured on the sphere.
                const double across = std::sin(kPi * std::clamp((ey + 0.5) / H, 0.0, 1.0));
                if (std::fabs(wrapped(ix - ex, W)) * across > kViewTolerance || std::fabs(iy - ey) > kViewTolerance) {
                    ok = false;
                    break;
                }
            }
            Cell& cell = cells_[static_cast<size_t>(cy) * cellsX_ + cx];
            cell = Cell{ax, ay, bx, by, (cxx - ax) / kViewCell, (cyy - ay) / kViewCell, (dx - bx) / kViewCell,
                        (dy - by) / kViewCell, !ok, -1, -1, {}, 0.0, 0.0};
            if (ok) lensCell(checked, &cell);
        }
    });
}

// Whether the cell's lens texture positions (and blend) interpolate across
// it: its corners, edge midpoints and middle all shown by the same lens (or
// the same two, blended), the midpoints where the corners put them.
// `checked`: the exact positions at kCheckedAt.
void DirectTable::lensCell(const double* const checked[5], Cell* c) const {
    const double step[4] = {(c->rx - c->lx) / kViewCell, (c->ry - c->ly) / kViewCell, c->dlx, c->dly};
    PanoramaField::LensPoint p[4];
    static const int kCorner[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    auto same = [](const PanoramaField::LensPoint& a, const PanoramaField::LensPoint& b) {
        return a.lens == b.lens && a.under == b.under;
    };
    for (int i = 0; i < 4; ++i) {
        const double s = kCorner[i][0], t = kCorner[i][1];
        const double x = c->lx + s * (c->rx - c->lx) + t * kViewCell * ((1 - s) * c->dlx + s * c->drx);
        const double y = c->ly + s * (c->ry - c->ly) + t * kViewCell * ((1 - s) * c->dly + s * c->dry);
        if (!field_.lensPoint(x, y, step, &p[i]) || !same(p[i], p[0])) return;
    }
    auto mix = [&](double s, double t, double PanoramaField::LensPoint::*m) {
        return (1 - t) * ((1 - s) * (p[0].*m) + s * (p[1].*m)) + t * ((1 - s) * (p[2].*m) + s * (p[3].*m));
    };
    const double fw = levels_.frameWidth, fh = levels_.frameHeight;
    for (int i = 0; i < 5; ++i) {
        const double s = kCheckedAt[i][0], t = kCheckedAt[i][1];
        const double x = checked[i][0], y = checked[i][1];
        PanoramaField::LensPoint m;
        if (!field_.lensPoint(x, y, step, &m) || !same(m, p[0])) return;
        if (std::fabs(mix(s, t, &PanoramaField::LensPoint::u) - m.u) * fw > kLensTolerance ||
            std::fabs(mix(s, t, &PanoramaField::LensPoint::v) - m.v) * fh > kLensTolerance)
            return;
        if (m.under >= 0 && (std::fabs(mix(s, t, &PanoramaField::LensPoint::u2) - m.u2) * fw > kLensTolerance ||
                             std::fabs(mix(s, t, &PanoramaField::LensPoint::v2) - m.v2) * fh > kLensTolerance ||
                             std::fabs(mix(s, t, &PanoramaField::LensPoint::alpha) - m.alpha) > kBlendTolerance))
            return;
        if (s == 0.5 && t == 0.5) {
            c->lod = m.lod;
            c->lod2 = m.lod2;
        }
    }
    c->lens = p[0].lens;
    c->under = p[0].under;
    for (int i = 0; i < 4; ++i) c->corner[i] = p[i];
}

// The positions of a cell's pixels and one more each way, row after row,
// x unwrapped from the cell's first: exact on a grid of kSubCell pixels,
// interpolated inside each square of it that the interpolation meets at its
// middle, worked out pixel by pixel in the others (about a pole).
void DirectTable::exactCell(int cx, int cy, double* xy) const {
    const int W = field_.width(), H = field_.height();
    constexpr int kSub = kViewCell / kSubCell;
    double first = 0.0;
    auto at = [&](int i, int j, double* p) {
        exact(cx * kViewCell + i, cy * kViewCell + j, &p[0], &p[1]);
        if (i == 0 && j == 0)
            first = p[0];
        else
            p[0] = first + wrapped(p[0] - first, W);
    };
    for (int j = 0; j <= kViewCell; j += kSubCell)
        for (int i = 0; i <= kViewCell; i += kSubCell) at(i, j, xy + (j * kNodes + i) * 2);
    for (int sj = 0; sj < kSub; ++sj)
        for (int si = 0; si < kSub; ++si) {
            const double* a = xy + (sj * kSubCell * kNodes + si * kSubCell) * 2;
            const double* b = a + kSubCell * 2;
            const double* c = a + kSubCell * kNodes * 2;
            const double* d = c + kSubCell * 2;
            double mid[2];
            exact(cx * kViewCell + si * kSubCell + kSubCell / 2, cy * kViewCell + sj * kSubCell + kSubCell / 2, &mid[0], &mid[1]);
            mid[0] = first + wrapped(mid[0] - first, W);
            const double ix = (a[0] + b[0] + c[0] + d[0]) / 4, iy = (a[1] + b[1] + c[1] + d[1]) / 4;
            const double across = std::sin(kPi * std::clamp((mid[1] + 0.5) / H, 0.0, 1.0));
            const bool fits = std::fabs(ix - mid[0]) * across <= kViewTolerance && std::fabs(iy - mid[1]) <= kViewTolerance;
            for (int j = sj * kSubCell; j <= (sj + 1) * kSubCell; ++j)
                for (int i = si * kSubCell; i <= (si + 1) * kSubCell; ++i) {
                    if (i % kSubCell == 0 && j % kSubCell == 0) continue;
                    double* p = xy + (j * kNodes + i) * 2;
                    if (!fits) {
                        at(i, j, p);
                        continue;
                    }
                    const double s = static_cast<double>(i - si * kSubCell) / kSubCell, t = static_cast<double>(j - sj * kSubCell) / kSubCell;
                    for (int k = 0; k < 2; ++k) p[k] = (1 - t) * ((1 - s) * a[k] + s * b[k]) + t * ((1 - s) * c[k] + s * d[k]);
                }
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

namespace {

// The run of `width` pixels across a square whose corners show `p` (top
// left, top right, bottom left, bottom right), at `t` of the way down.
PanoramaField::LensRun runAcross(const PanoramaField::LensPoint* p, double t, int width, double lod, double lod2) {
    using P = PanoramaField::LensPoint;
    auto left = [&](double P::*m) { return p[0].*m + (p[2].*m - p[0].*m) * t; };
    auto right = [&](double P::*m) { return p[1].*m + (p[3].*m - p[1].*m) * t; };
    PanoramaField::LensRun run;
    run.lens = p[0].lens;
    run.under = p[0].under;
    run.lod = lod;
    run.lod2 = lod2;
    run.u = left(&P::u);
    run.v = left(&P::v);
    run.du = (right(&P::u) - run.u) / width;
    run.dv = (right(&P::v) - run.v) / width;
    run.alpha = left(&P::alpha);
    run.dalpha = (right(&P::alpha) - run.alpha) / width;
    run.u2 = left(&P::u2);
    run.v2 = left(&P::v2);
    run.du2 = (right(&P::u2) - run.u2) / width;
    run.dv2 = (right(&P::v2) - run.v2) / width;
    return run;
}

}  // namespace

// The lens points of a cell's grid of kSubCell pixels (kSubNodes a side),
// from its interpolated or (`xy`) exact positions.
void DirectTable::subNodes(const Cell& c, const double* xy, SubNode* out) const {
    for (int j = 0; j < kSubNodes; ++j)
        for (int i = 0; i < kSubNodes; ++i) {
            const int pi = i * kSubCell, pj = j * kSubCell;
            double x, y, step[4];
            if (xy) {
                const double* p = xy + (pj * kNodes + pi) * 2;
                const int ax = pi < kViewCell ? 2 : -2, ay = pj < kViewCell ? kNodes * 2 : -kNodes * 2;
                x = p[0];
                y = p[1];
                step[0] = (p[ax] - p[0]) * (ax > 0 ? 1 : -1);
                step[1] = (p[ax + 1] - p[1]) * (ax > 0 ? 1 : -1);
                step[2] = (p[ay] - p[0]) * (ay > 0 ? 1 : -1);
                step[3] = (p[ay + 1] - p[1]) * (ay > 0 ? 1 : -1);
            } else {
                const double lx = c.lx + c.dlx * pj, ly = c.ly + c.dly * pj;
                const double sx = (c.rx + c.drx * pj - lx) / kViewCell, sy = (c.ry + c.dry * pj - ly) / kViewCell;
                x = lx + sx * pi;
                y = ly + sy * pi;
                step[0] = sx;
                step[1] = sy;
                step[2] = c.dlx + (c.drx - c.dlx) * pi / kViewCell;
                step[3] = c.dly + (c.dry - c.dly) * pi / kViewCell;
            }
            SubNode& n = out[j * kSubNodes + i];
            n.ok = field_.lensPoint(x, y, step, &n.point);
        }
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
    static_assert(kViewCell % kSubCell == 0, "a cell holds whole squares");
    for (int c0 = 0; c0 < width_; c0 += kTileColumns) {
        const int c1 = std::min(width_, c0 + kTileColumns);
        // Cells the lens positions do not interpolate across whole: their
        // positions (exact where the directions need it) and the lens
        // points of their finer grid.
        for (int i = 0; i < kCellsPerTile && c0 / kViewCell + i < cellsX_; ++i) {
            const Cell& c = cells_[static_cast<size_t>(cy) * cellsX_ + c0 / kViewCell + i];
            double* xy = &w.exactXy[static_cast<size_t>(i) * kNodes * kNodes * 2];
            if (c.exact) exactCell(c0 / kViewCell + i, cy, xy);
            if (c.lens < 0) subNodes(c, c.exact ? xy : nullptr, &w.sub[static_cast<size_t>(i) * kSubNodes * kSubNodes]);
        }
        for (int row = band.row0; row < band.row1; ++row) {
            const int k = row - band.row0;
            for (int cs = c0; cs < c1; cs += kViewCell) {
                const int cx = cs / kViewCell, ce = std::min(c1, cs + kViewCell);
                const Cell& c = cells_[static_cast<size_t>(cy) * cellsX_ + cx];
                if (c.lens >= 0) {  // texture positions and blend straight across the row
                    at += field_.runTaps(*w.reader, runAcross(c.corner, static_cast<double>(k) / kViewCell, kViewCell, c.lod, c.lod2),
                                         ce - cs, taps + at, at, starts + (cs - c0));
                    continue;
                }
                const size_t inTile = static_cast<size_t>(cx - c0 / kViewCell);
                const double* xy = &w.exactXy[inTile * kNodes * kNodes * 2];
                const SubNode* sub = &w.sub[inTile * kSubNodes * kSubNodes];
                const int sj = k / kSubCell;
                for (int ss = cs; ss < ce; ss += kSubCell) {
                    const int si = (ss - cs) / kSubCell, se = std::min(ce, ss + kSubCell);
                    const SubNode* n0 = sub + sj * kSubNodes + si;
                    const SubNode* n1 = n0 + kSubNodes;
                    const PanoramaField::LensPoint corner[4] = {n0[0].point, n0[1].point, n1[0].point, n1[1].point};
                    bool same = n0[0].ok && n0[1].ok && n1[0].ok && n1[1].ok;
                    // The same lenses at every corner, each read from the same levels.
                    for (int q = 1; q < 4 && same; ++q)
                        same = corner[q].lens == corner[0].lens && corner[q].under == corner[0].under &&
                               field_.levelKey(corner[q].lod) == field_.levelKey(corner[0].lod) &&
                               (corner[0].under < 0 || field_.levelKey(corner[q].lod2) == field_.levelKey(corner[0].lod2));
                    if (same) {
                        at += field_.runTaps(*w.reader,
                                             runAcross(corner, static_cast<double>(k - sj * kSubCell) / kSubCell, kSubCell,
                                                       corner[0].lod, corner[0].lod2),
                                             se - ss, taps + at, at, starts + (ss - c0));
                        continue;
                    }
                    // Pixel by pixel where the square holds an edge of a lens's view or of a blend.
                    for (int col = ss; col < se; ++col) {
                        double x, y, step[4];
                        if (c.exact) {
                            const double* p = xy + (k * kNodes + (col - cs)) * 2;
                            x = p[0];
                            y = p[1];
                            step[0] = p[2] - p[0];
                            step[1] = p[3] - p[1];
                            step[2] = p[kNodes * 2] - p[0];
                            step[3] = p[kNodes * 2 + 1] - p[1];
                        } else {
                            const double lx = c.lx + c.dlx * k, ly = c.ly + c.dly * k;
                            const double sx = (c.rx + c.drx * k - lx) / kViewCell, sy = (c.ry + c.dry * k - ly) / kViewCell;
                            x = lx + sx * (col - cs);
                            y = ly + sy * (col - cs);
                            step[0] = sx;
                            step[1] = sy;
                            step[2] = c.dlx + (c.drx - c.dlx) * 0.5;
                            step[3] = c.dly + (c.dry - c.dly) * 0.5;
                        }
                        starts[col - c0] = at;
                        at += field_.taps(*w.reader, x, y, step, taps + at);
                    }
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
    if (!fixed_) {
        bandTaps(b, w);
        stitcher::sampleBand(w.table, w.band, frame, levels, gains, out);
        return;
    }
    KeptBand& k = kept_[b];
    if (!k.ready) {
        bandTaps(b, w);
        SampleTable& t = k.table;
        t.outWidth = w.table.outWidth;
        t.outHeight = w.table.outHeight;
        t.outStride = w.table.outStride;
        t.frameWidth = w.table.frameWidth;
        t.frameHeight = w.table.frameHeight;
        t.frameStride = w.table.frameStride;
        t.texelBytes = w.table.texelBytes;
        t.levels = w.table.levels;
        t.levelStride = w.table.levelStride;
        t.levelBytes = w.table.levelBytes;
        // The band's taps and the room the kernels may read past the last.
        t.taps.assign(w.table.taps.begin(), w.table.taps.begin() + static_cast<std::ptrdiff_t>(w.band.tapEnd));
        t.taps.resize(w.band.tapEnd + 64, SampleTap{0, 0});
        t.taps.shrink_to_fit();
        k.band = w.band;
        k.ready = true;
    }
    stitcher::sampleBand(k.table, k.band, frame, levels, gains, out);
}

}  // namespace stitcher
