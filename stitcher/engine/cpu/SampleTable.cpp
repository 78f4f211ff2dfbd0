#include "SampleTable.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "Angles.h"
#include "DualFisheyeModel.h"
#include "HugePages.h"
#include "RunTaps.h"
#include "StitchLayout.h"
#include "WorkerPool.h"

// For the small steps of the per-pixel work that the compiler would leave
// out of line (a call each costs more than the step).
#define SETUP_INLINE __attribute__((always_inline)) inline

namespace stitcher {

namespace {

const uint32_t kNoTriangle = 0xFFFFFFFFu;
const uint32_t kMoreTriangles = 1u << 31;  // in the coverage map: later meshes cover the texel too
const int kBandRows = 16;
const int kMaxLevels = 32;
// Trilinear shares this small go to the nearer level alone. At a quarter,
// pictures stay 50-55 dB from the renderer's on real footage (52-55 dB at an
// eighth) while a panorama smaller than the lens image reads an eighth fewer
// taps and makes far fewer texels of the level below.
const double kLevelSnap = 1.0 / 4.0;

// One first-pass triangle: texture coordinates as planes over the panorama's
// window coordinates (pixel centres at +0.5), and its level of detail.
struct Triangle {
    Triangle() {}  // left unset: set up in place
    double u0, ux, uy;
    double v0, vx, vy;
    double lod;
    int mesh;
};

struct Mesh {
    int lens;
    float planeLeft;
};

// A buffer of huge pages, left unset.
template <class T>
class HugeBuffer {
public:
    HugeBuffer() = default;
    HugeBuffer(const HugeBuffer&) = delete;
    HugeBuffer& operator=(const HugeBuffer&) = delete;
    ~HugeBuffer() { reset(0); }

    void reset(size_t size) {
        if (data_) HugePageAllocator<T>().deallocate(data_, size_);
        data_ = nullptr;
        size_ = 0;
        if (size > 0) data_ = HugePageAllocator<T>().allocate(size);
        size_ = size;
    }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
};

// The first pass: which triangles, in drawing order, cover each texel of the
// panorama. Most texels have one; the others point to a stack of up to three
// kept by their band of rows.
struct Coverage {
    struct Stack {
        uint32_t triangle[3];
        uint32_t count;
    };
    int width = 0, height = 0;
    int bandRows = 1;
    HugeBuffer<uint32_t> first;              // per texel: a triangle, kMoreTriangles | a stack, or kNoTriangle
    std::vector<std::vector<Stack>> stacks;  // per band of rows

    // Asks for the coverage of a tile row (kTileColumns texels from col) to
    // be brought into cache.
    void prefetch(int col, int row) const {
        const size_t start = static_cast<size_t>(row) * static_cast<size_t>(width);
        __builtin_prefetch(&first[start + static_cast<size_t>(col)]);
        __builtin_prefetch(&first[start + static_cast<size_t>(std::min(col + kTileColumns, width) - 1)]);
    }

    int trianglesAt(int col, int row, uint32_t out[3]) const {
        const uint32_t f = first[static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(col)];
        if (f == kNoTriangle) return 0;
        if (!(f & kMoreTriangles)) {
            out[0] = f;
            return 1;
        }
        const Stack& s = stacks[static_cast<size_t>(row / bandRows)][f & ~kMoreTriangles];
        for (uint32_t k = 0; k < s.count; ++k) out[k] = s.triangle[k];
        return static_cast<int>(s.count);
    }
};

// floor() as an integer, without a library call.
inline int64_t floorInt(double v) {
    const int64_t i = static_cast<int64_t>(v);
    return i - (static_cast<double>(i) > v);
}

// floor(a / b) for b > 0.
inline int64_t floorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return q - (a % b < 0);
}

// llround() without a library call where the value is well inside the
// range: the integer part and the fraction are exact, so are the tests.
inline int64_t roundHalfAway(double v) {
    if (!(std::fabs(v) < 4503599627370496.0)) return std::llround(v);  // 2^52: no fraction left
    const int64_t i = static_cast<int64_t>(v);
    const double fraction = v - static_cast<double>(i);
    return i + (fraction >= 0.5) - (fraction <= -0.5);
}

// Texel positions in 1/256 of a pixel, as the rasteriser snaps vertices.
int64_t snap(double v) { return roundHalfAway(v * 256.0); }

// A triangle's edge functions in window positions of 1/256 pixel, positive
// inside, and the texels its bounding box spans.
struct EdgeSetup {
    EdgeSetup() {}  // left unset: set up in place
    int64_t ex[3], ey[3], ec[3];  // E(P) = ex * Px + ey * Py + ec
    bool tieIn[3];                // a texel centre on the edge is inside
    int64_t c0, c1, r0, r1;
};

// Triangles of one mesh set up together on one thread: the mesh's
// triangles [begin, end), the first of which is set up at `first`.
struct TrianglePart {
    size_t mesh, begin, end, first;
};

// Lists the layout's meshes (lens, plane's left edge) and cuts their
// triangles into parts; triangle i of the layout, meshes in order, is set up
// at i. Returns the number of triangles.
size_t planTriangleParts(const std::vector<stitchlayout::LayoutMesh>& layout, std::vector<Mesh>* meshes,
                         std::vector<TrianglePart>* parts) {
    const size_t kPartTriangles = 2048;
    size_t count = 0;
    for (size_t m = 0; m < layout.size(); ++m) {
        const FisheyePlane& plane = layout[m].plane;
        meshes->push_back({layout[m].lens, plane.uvs.size() >= 3 ? plane.uvs[2] : 0.0f});
        const size_t n = plane.indices.size() / 3;
        for (size_t t = 0; t < n; t += kPartTriangles)
            parts->push_back({m, t, std::min(n, t + kPartTriangles), count + t});
        count += n;
    }
    return count;
}

// A triangle's corners: window positions, exact and snapped, and texture
// coordinates.
struct Corners {
    double X[3], Y[3], U[3], V[3];
    int64_t SX[3], SY[3];
};

// Texture coordinates as planes over the window, and the level of detail:
// the log2 of the most texels of level 0 that one pixel spans, along x or
// y. `d` is the corners' doubled signed area.
void setTexturePlanes(const Corners& k, double d, int frameWidth, int frameHeight, Triangle* tri) {
    const double *X = k.X, *Y = k.Y, *U = k.U, *V = k.V;
    tri->ux = ((U[1] - U[0]) * (Y[2] - Y[0]) - (U[2] - U[0]) * (Y[1] - Y[0])) / d;
    tri->uy = ((U[2] - U[0]) * (X[1] - X[0]) - (U[1] - U[0]) * (X[2] - X[0])) / d;
    tri->vx = ((V[1] - V[0]) * (Y[2] - Y[0]) - (V[2] - V[0]) * (Y[1] - Y[0])) / d;
    tri->vy = ((V[2] - V[0]) * (X[1] - X[0]) - (V[1] - V[0]) * (X[2] - X[0])) / d;
    tri->u0 = U[0] - tri->ux * X[0] - tri->uy * Y[0];
    tri->v0 = V[0] - tri->vx * X[0] - tri->vy * Y[0];
    const double rhoX = std::hypot(tri->ux * frameWidth, tri->vx * frameHeight);
    const double rhoY = std::hypot(tri->uy * frameWidth, tri->vy * frameHeight);
    tri->lod = std::log2(std::max(rhoX, rhoY));
}

// Edge functions over the snapped corners, counter-clockwise in window
// coordinates so that they are positive inside (`area` gives the corners'
// turn), and the texels of the panorama that the bounding box spans.
void setEdges(const Corners& k, int64_t area, int width, int height, EdgeSetup* e) {
    const int64_t *SX = k.SX, *SY = k.SY;
    int order[3] = {0, 1, 2};
    if (area < 0) std::swap(order[1], order[2]);
    for (int i = 0; i < 3; ++i) {
        const int p = order[i], q = order[(i + 1) % 3];
        const int64_t dx = SX[q] - SX[p], dy = SY[q] - SY[p];
        e->ex[i] = -dy;
        e->ey[i] = dx;
        e->ec[i] = dy * SX[p] - dx * SY[p];
        e->tieIn[i] = e->ex[i] > 0 || (e->ex[i] == 0 && e->ey[i] > 0);
    }
    const int64_t minX = std::min({SX[0], SX[1], SX[2]}), maxX = std::max({SX[0], SX[1], SX[2]});
    const int64_t minY = std::min({SY[0], SY[1], SY[2]}), maxY = std::max({SY[0], SY[1], SY[2]});
    // Texel c has its centre at 256 * c + 128.
    e->c0 = std::max<int64_t>(0, (minX - 128 + 255) >> 8);
    e->c1 = std::min<int64_t>(width - 1, (maxX - 128) >> 8);
    e->r0 = std::max<int64_t>(0, (minY - 128 + 255) >> 8);
    e->r1 = std::min<int64_t>(height - 1, (maxY - 128) >> 8);
}

// Sets up triangle n of `plane` for a panorama of width x height. One that
// cannot be drawn (a corner out of range, no area, a coordinate not finite)
// keeps an empty box and no level of detail.
void setUpTriangle(const FisheyePlane& plane, size_t n, int width, int height, int frameWidth, int frameHeight,
                   Triangle* tri, EdgeSetup* e) {
    e->r0 = e->c0 = 0;
    e->r1 = e->c1 = -1;
    tri->lod = 0.0;
    const std::vector<float>& v = plane.vertices;
    const std::vector<float>& uv = plane.uvs;
    const std::vector<unsigned int>& idx = plane.indices;
    const size_t vertexCount = std::min(v.size(), uv.size()) / 3;
    const size_t t = n * 3;
    if (idx[t] >= vertexCount || idx[t + 1] >= vertexCount || idx[t + 2] >= vertexCount) return;
    const double halfW = width / 2.0, halfH = height / 2.0;
    Corners k;
    for (int j = 0; j < 3; ++j) {
        const size_t i = idx[t + j];
        k.X[j] = halfW - v[i * 3];
        k.Y[j] = v[i * 3 + 1] + halfH;
        k.U[j] = uv[i * 3];
        k.V[j] = uv[i * 3 + 1];
        k.SX[j] = snap(k.X[j]);
        k.SY[j] = snap(k.Y[j]);
    }
    const int64_t area = (k.SX[1] - k.SX[0]) * (k.SY[2] - k.SY[0]) - (k.SX[2] - k.SX[0]) * (k.SY[1] - k.SY[0]);
    const double d = (k.X[1] - k.X[0]) * (k.Y[2] - k.Y[0]) - (k.X[2] - k.X[0]) * (k.Y[1] - k.Y[0]);
    if (area == 0 || d == 0.0 || !std::isfinite(d)) return;
    for (int j = 0; j < 3; ++j)
        if (!std::isfinite(k.U[j]) || !std::isfinite(k.V[j])) return;
    setTexturePlanes(k, d, frameWidth, frameHeight, tri);
    setEdges(k, area, width, height, e);
}

// Per band of `bandRows` rows, the triangles whose boxes reach it, in
// drawing order.
std::vector<std::vector<uint32_t>> trianglesPerBand(const HugePageVector<EdgeSetup>& edges, int height,
                                                    int bandRows) {
    std::vector<std::vector<uint32_t>> reaching(static_cast<size_t>((height + bandRows - 1) / bandRows));
    for (size_t id = 0; id < edges.size(); ++id) {
        const EdgeSetup& e = edges[id];
        if (e.r0 > e.r1 || e.c0 > e.c1) continue;
        for (int64_t band = e.r0 / bandRows; band <= e.r1 / bandRows; ++band)
            reaching[static_cast<size_t>(band)].push_back(static_cast<uint32_t>(id));
    }
    return reaching;
}

// The columns [*c0, *c1] of row r whose texel centres all three edges hold
// (empty where *c1 < *c0). Along the row an edge function is a * c + b at
// column c; the texel is inside where it is at least 0 (tie) or 1.
SETUP_INLINE void rowSpan(const EdgeSetup& e, int64_t r, int64_t* c0, int64_t* c1) {
    const int64_t py = r * 256 + 128;
    *c0 = e.c0;
    *c1 = e.c1;
    for (int k = 0; k < 3; ++k) {
        const int64_t a = e.ex[k] * 256, least = e.tieIn[k] ? 0 : 1;
        const int64_t b = e.ex[k] * 128 + e.ey[k] * py + e.ec[k];
        if (a > 0) {
            *c0 = std::max(*c0, -floorDiv(b - least, a));
        } else if (a < 0) {
            *c1 = std::min(*c1, floorDiv(b - least, -a));
        } else if (b < least) {
            *c1 = *c0 - 1;
        }
    }
}

// Triangle `id` drawn over a texel's coverage: the first, or a stack of the
// band's that keeps the first three.
SETUP_INLINE void coverTexel(uint32_t& f, uint32_t id, std::vector<Coverage::Stack>& stacks) {
    if (f == kNoTriangle) {
        f = id;
    } else if (!(f & kMoreTriangles)) {
        stacks.push_back({{f, id, 0}, 2});
        f = kMoreTriangles | static_cast<uint32_t>(stacks.size() - 1);
    } else {
        Coverage::Stack& s = stacks[f & ~kMoreTriangles];
        if (s.count < 3) s.triangle[s.count++] = id;
    }
}

// Rows [rowBegin, rowEnd) of the coverage: cleared, then the triangles that
// reach them drawn in order, into the band's own stacks.
void coverRows(const HugePageVector<EdgeSetup>& edges, const std::vector<uint32_t>& reaching, int64_t rowBegin,
               int64_t rowEnd, std::vector<Coverage::Stack>& stacks, Coverage* cover) {
    const size_t width = static_cast<size_t>(cover->width);
    std::fill(&cover->first[static_cast<size_t>(rowBegin) * width], &cover->first[static_cast<size_t>(rowEnd) * width],
              kNoTriangle);
    for (const uint32_t id : reaching) {
        const EdgeSetup& e = edges[id];
        for (int64_t r = std::max(e.r0, rowBegin); r <= e.r1 && r < rowEnd; ++r) {
            int64_t c0, c1;
            rowSpan(e, r, &c0, &c1);
            uint32_t* row = &cover->first[static_cast<size_t>(r) * width];
            for (int64_t c = c0; c <= c1; ++c) coverTexel(row[c], id, stacks);
        }
    }
}

// Rasterises every mesh of the layout in drawing order. A mesh point (x, y)
// lands at window position (W/2 - x, y + H/2): the projection mirrors x.
// A texel centre exactly on an edge belongs to the triangle if that is its
// left edge (the inside at greater x) or, for a horizontal edge, its edge of
// lower y (the inside at greater y), as the software rasteriser decides for
// frame buffers; texels on an edge that two triangles share are drawn once.
// The triangles are set up in parts, then bands of rows are filled, both on
// the pool's threads, each band taking the triangles that reach it in
// drawing order.
void rasterise(const std::vector<stitchlayout::LayoutMesh>& layout, int width, int height, int frameWidth,
               int frameHeight, WorkerPool& pool, HugePageVector<Triangle>* triangles, std::vector<Mesh>* meshes,
               Coverage* cover) {
    std::vector<TrianglePart> parts;
    const size_t count = planTriangleParts(layout, meshes, &parts);
    HugePageVector<EdgeSetup> edges(count);
    triangles->resize(count);
    pool.run(parts.size(), [&](size_t item) {
        const TrianglePart& part = parts[item];
        for (size_t n = part.begin; n < part.end; ++n) {
            const size_t at = part.first + n - part.begin;
            Triangle& tri = (*triangles)[at];
            tri.mesh = static_cast<int>(part.mesh);
            setUpTriangle(layout[part.mesh].plane, n, width, height, frameWidth, frameHeight, &tri, &edges[at]);
        }
    });

    const int kRasterRows = 32;
    const std::vector<std::vector<uint32_t>> reaching = trianglesPerBand(edges, height, kRasterRows);
    cover->width = width;
    cover->height = height;
    cover->first.reset(static_cast<size_t>(width) * height);
    cover->bandRows = kRasterRows;
    cover->stacks.assign(reaching.size(), {});
    pool.run(reaching.size(), [&](size_t item) {
        const int64_t rowBegin = static_cast<int64_t>(item) * kRasterRows;
        const int64_t rowEnd = std::min<int64_t>(height, rowBegin + kRasterRows);
        coverRows(edges, reaching[item], rowBegin, rowEnd, cover->stacks[item], cover);
    });
}

bool isIdentity(const float m[4][4]) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (m[i][j] != (i == j ? 1.0f : 0.0f)) return false;
    return true;
}

// The second pass: the panorama texel that output pixel (col, row) shows,
// looked up along the rotated direction (m[i] is column i).
void panoramaTexel(int col, int row, int width, int height, const float m[4][4], int* tx, int* ty) {
    const double xi = 1.0 - (col + 0.5) / width;
    const double yi = (row + 0.5) / height;
    const double phi = kPi * yi;
    const double theta = 2.0 * kPi * (1.0 - xi);
    const double d[4] = {std::sin(phi) * std::cos(theta), std::sin(phi) * std::sin(theta), std::cos(phi), 1.0};
    double r[3];
    for (int k = 0; k < 3; ++k) r[k] = m[0][k] * d[0] + m[1][k] * d[1] + m[2][k] * d[2] + m[3][k] * d[3];
    const double p = std::atan2(std::sqrt(r[0] * r[0] + r[1] * r[1]), r[2]);
    double t = std::atan2(r[1], r[0]);
    if (t < 0.0) t += 2.0 * kPi;
    const double u = t / (2.0 * kPi), v = p / kPi;
    const double x = std::floor(u * width), y = std::floor(v * height);
    // NaN (a degenerate matrix) lands on the first texel, as clamping does.
    *tx = x >= 0.0 ? static_cast<int>(std::min<double>(x, width - 1)) : 0;
    *ty = y >= 0.0 ? static_cast<int>(std::min<double>(y, height - 1)) : 0;
}

// Level sizes as GL makes them, down to 1 x 1.
void planLevels(int frameWidth, int frameHeight, std::vector<FrameLevel>* levels) {
    levels->clear();
    int w = frameWidth, h = frameHeight;
    for (;;) {
        FrameLevel level;
        level.width = w;
        level.height = h;
        level.storedWidth = std::max(2, w);
        level.storedHeight = std::max(2, h);
        levels->push_back(level);
        if ((w == 1 && h == 1) || static_cast<int>(levels->size()) == kMaxLevels) break;
        w = std::max(1, w / 2);
        h = std::max(1, h / 2);
    }
}

void planResample(int srcSize, int dstSize, std::vector<int32_t>* s0, std::vector<int32_t>* s1,
                  std::vector<uint8_t>* frac) {
    s0->resize(dstSize);
    s1->resize(dstSize);
    frac->resize(dstSize);
    for (int x = 0; x < dstSize; ++x) {
        const double s = (x + 0.5) * srcSize / dstSize - 0.5;
        const int64_t fixed = static_cast<int64_t>(std::floor(s * 256.0));
        const int64_t i0 = fixed >> 8;
        (*frac)[x] = static_cast<uint8_t>(fixed & 255);
        (*s0)[x] = static_cast<int32_t>(std::clamp<int64_t>(i0, 0, srcSize - 1));
        (*s1)[x] = static_cast<int32_t>(std::clamp<int64_t>(i0 + 1, 0, srcSize - 1));
    }
}

// Why the table cannot be built: no CPU engine for what is asked.
Status cannotBuild(const char* why) { return Status(kExitDisplay, why); }

// Where levels live: the frame itself unless it is too small to read 2 x 2
// blocks from; levels made per frame side by side in one buffer.
Status placeLevels(SampleTable* table, int usedLevels) {
    std::vector<FrameLevel>& levels = table->levels;
    levels.resize(usedLevels);
    const bool copyFrame = table->frameWidth < 2 || table->frameHeight < 2;
    size_t width = 0;
    int height = 0;
    for (int l = 0; l < usedLevels; ++l) {
        FrameLevel& level = levels[l];
        level.inLevelBuffer = l > 0 || copyFrame;
        if (!level.inLevelBuffer) continue;
        level.origin = width * static_cast<size_t>(table->texelBytes);
        width += level.storedWidth;
        height = std::max(height, level.storedHeight);
        if (l > 0) {
            const FrameLevel& above = levels[l - 1];
            planResample(above.width, level.width, &level.fromAbove.srcX0, &level.fromAbove.srcX1,
                         &level.fromAbove.fracX);
            planResample(above.height, level.height, &level.fromAbove.srcY0, &level.fromAbove.srcY1,
                         &level.fromAbove.fracY);
            level.fromAbove.halves = above.width == 2 * level.width && above.height == 2 * level.height;
        }
    }
    table->levelStride = width * static_cast<size_t>(table->texelBytes);
    table->levelBytes = table->levelStride * static_cast<size_t>(height);
    if (table->levelBytes > SampleTap::kOffsetMask) {
        return cannotBuild("frame too large for the CPU engine");
    }
    return Status();
}

// Which columns of each made level's rows the table reads directly: each
// thread marks its own, and the marks are joined when all bands are built.
class alignas(64) NeededTexels {
public:
    explicit NeededTexels(const std::vector<FrameLevel>& levels) : rows_(levels.size()) {
        for (size_t l = 1; l < levels.size(); ++l) {
            rows_[l].width = levels[l].width;
            rows_[l].height = levels[l].height;
            rows_[l].begin.assign(static_cast<size_t>(levels[l].height), levels[l].width);
            rows_[l].end.assign(static_cast<size_t>(levels[l].height), 0);
        }
    }

    // The 2 x 2 block at (col, row) of level l (at least 1); a row below
    // the level is taken as its last.
    void markBlock(int l, int row, int col) {
        Rows& r = rows_[static_cast<size_t>(l)];
        const int c1 = std::min(col + 2, r.width);
        for (const int y : {row, std::min(row + 1, r.height - 1)}) {
            r.begin[static_cast<size_t>(y)] = std::min(r.begin[static_cast<size_t>(y)], col);
            r.end[static_cast<size_t>(y)] = std::max(r.end[static_cast<size_t>(y)], c1);
        }
    }

    // Joins these marks into the levels' own.
    void joinInto(std::vector<FrameLevel>* levels) const {
        for (size_t l = 1; l < levels->size(); ++l) {
            FrameLevel& level = (*levels)[l];
            for (size_t y = 0; y < rows_[l].begin.size(); ++y) {
                level.rowBegin[y] = std::min(level.rowBegin[y], rows_[l].begin[y]);
                level.rowEnd[y] = std::max(level.rowEnd[y], rows_[l].end[y]);
            }
        }
    }

private:
    struct Rows {
        int width = 0, height = 0;
        std::vector<int32_t> begin, end;
    };
    std::vector<Rows> rows_;
};

// Gains as integers of the same order: a whole gain as it is, a double by
// its bits, negative ones turned so that larger is larger. (Zero gains are
// all +0 or all -0 in one settling, so that no equals are split.)
inline int64_t orderKey(int64_t gain) { return gain; }
inline int64_t orderKey(double gain) {
    int64_t bits;
    std::memcpy(&bits, &gain, sizeof bits);
    return bits ^ ((bits >> 63) & INT64_MAX);
}

// Takes units of rounding from the weights that rounding moved most against
// the sum's error (the first of equals), or gives them, until the weights
// add up to `target` or none can move: n weights `qs`, and `ms` rounded
// minus exact for each, in units of which `one` make a weight unit. The sum only moves toward the
// target, so the step stays the same, and each round changes one weight's
// gain alone.
template <class Moved>
void settleRounding(int* qs, Moved* ms, Moved one, int n, int sum, int target) {
    if (sum == target) return;
    const int step = sum < target ? 1 : -1;
    // How far rounding went against the step, for the weights that can move.
    const auto key = [&](int j) {
        const bool movable = qs[j] + step >= 0 && qs[j] + step <= kWeightOne;
        return movable ? orderKey(-step * ms[j]) : INT64_MIN;
    };
    int64_t keys[32];
    for (int j = 0; j < n; ++j) keys[j] = key(j);
    while (sum != target) {
        int64_t best = INT64_MIN;
        int chosen = -1;
        for (int j = 0; j < n; ++j) {
            const bool better = keys[j] > best;  // chosen without branches: which wins is unforeseeable
            best = better ? keys[j] : best;
            chosen = better ? j : chosen;
        }
        if (chosen < 0) break;
        qs[chosen] += step;
        ms[chosen] += step * one;
        sum += step;
        keys[chosen] = key(chosen);
    }
}

// The level a sample of level of detail `lod` reads, and the share in
// 1/256ths of the one below it where it blends the two (else 0), as the
// sampler's trilinear filter does with 8 bits of fraction. A level with a
// share of at most kLevelSnap is left out and the other takes its weight:
// that moves the pixel by at most that share of the difference between the
// two levels, and saves a read.
SETUP_INLINE int levelOf(double lod, int maxLevel, int* share) {
    *share = 0;
    if (!(lod > 0.0)) return 0;
    int d = static_cast<int>(std::min(lod, 64.0));
    double f = lod - d;
    d = std::clamp(d, 0, maxLevel);
    f = static_cast<int>(f * 256.0 + 0.5) / 256.0;
    if (f <= kLevelSnap) {
        f = 0.0;
    } else if (f >= 1.0 - kLevelSnap && d < maxLevel) {
        ++d;
        f = 0.0;
    }
    if (d < maxLevel && f > 0.0) *share = static_cast<int>(f * 256.0);
    return d;
}

// Rounds weights given in 1/2^24 to whole units of 1/kWeightOne, each
// alone, as emit() does; `moved` gets rounded minus exact, in 1/2^24.
// Returns the sum of the rounded weights.
inline int roundAlone(const int32_t* exact, int n, int* q, int64_t* moved) {
    int sum = 0;
    for (int j = 0; j < n; ++j) {
        const int64_t e = static_cast<int64_t>(exact[j]) * kWeightOne;
        q[j] = static_cast<int>((e + (int64_t(1) << 23)) >> 24);
        moved[j] = (static_cast<int64_t>(q[j]) << 24) - e;
        sum += q[j];
    }
    return sum;
}

inline uint32_t packWeights(const int* q) {
    return static_cast<uint32_t>(q[0]) | static_cast<uint32_t>(q[1]) << 8 | static_cast<uint32_t>(q[2]) << 16 |
           static_cast<uint32_t>(q[3]) << 24;
}

// The packed weights of a lone bilinear read of weight one, per pair of
// fractions (fx, fy) in 1/256ths at fy * 256 + fx, rounded as emit() rounds
// them: made once, on the pool of the first table that needs it.
const uint32_t* wholeWeightTable(WorkerPool& pool) {
    static std::once_flag once;
    static std::vector<uint32_t> table;
    std::call_once(once, [&] {
        table.resize(256 * 256);
        pool.run(256, [&](size_t y) {
            for (int x = 0; x < 256; ++x) {
                const int fy = static_cast<int>(y);
                const int32_t exact[4] = {256 * (256 - x) * (256 - fy), 256 * x * (256 - fy), 256 * (256 - x) * fy,
                                          256 * x * fy};
                int q[4];
                int64_t moved[4];
                const int sum = roundAlone(exact, 4, q, moved);
                settleRounding(q, moved, int64_t(1) << 24, 4, sum, kWeightOne);
                table[y * 256 + static_cast<size_t>(x)] = packWeights(q);
            }
        });
    });
    return table.data();
}

// A bilinear read whose 2 x 2 texels all lie inside its level.
struct InsideRead {
    uint32_t where;  // without the lens
    int row, col;    // its top-left texel
    int fx, fy;      // fractions in 1/256ths
};

// A 2 x 2 block of a level that a pixel reads.
struct LevelBlock {
    uint32_t where;
    int level, row, col;  // the level and its top-left texel
};

// Where bilinear reads of the table's levels fall, as the sampler places
// them, and the block a read at a level's edge takes.
class LevelReads {
public:
    explicit LevelReads(const SampleTable& table) : table_(table) {}

    // The read of level l at (u, v), where that is inside the level; false
    // elsewhere.
    SETUP_INLINE bool inside(int l, double u, double v, InsideRead* b) const {
        const FrameLevel& level = table_.levels[l];
        const Spot p = spotOf(level, u, v);
        if (p.col < 0 || p.col > level.width - 2 || p.row < 0 || p.row > level.height - 2) return false;
        b->col = static_cast<int>(p.col);
        b->row = static_cast<int>(p.row);
        b->fx = p.fx;
        b->fy = p.fy;
        b->where = blockWhere(level, p.row, p.col);
        return true;
    }

    // A read at the edge of level l: clamped texels share a place in the
    // block and add up. Sets the block's place and its four weights `w`
    // (the read's `weight` shared out) and `exact` (in 1/2^24 of a sample
    // of weight one, `share` being the level's share in 1/256ths).
    void edge(int l, double u, double v, double weight, int share, LevelBlock* b, double w[4], int32_t exact[4]) const {
        const FrameLevel& level = table_.levels[l];
        const Spot p = spotOf(level, u, v);
        const int i0 = static_cast<int>(p.col), j0 = static_cast<int>(p.row);
        const int fx = p.fx, fy = p.fy;
        const int cx[2] = {std::clamp(i0, 0, level.width - 1), std::clamp(i0 + 1, 0, level.width - 1)};
        const int cy[2] = {std::clamp(j0, 0, level.height - 1), std::clamp(j0 + 1, 0, level.height - 1)};
        const int bx = std::min(cx[0], level.storedWidth - 2);
        const int by = std::min(cy[0], level.storedHeight - 2);
        const double wx[2] = {1.0 - fx / 256.0, fx / 256.0}, wy[2] = {1.0 - fy / 256.0, fy / 256.0};
        const int32_t ex[2] = {share * (256 - fx), share * fx}, ey[2] = {256 - fy, fy};
        std::fill(w, w + 4, 0.0);
        std::fill(exact, exact + 4, 0);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x) {
                w[(cy[y] - by) * 2 + (cx[x] - bx)] += weight * wx[x] * wy[y];
                exact[(cy[y] - by) * 2 + (cx[x] - bx)] += ex[x] * ey[y];
            }
        b->where = blockWhere(level, by, bx);
        b->row = by;
        b->col = bx;
    }

    // A block that is always there to read, for pixels that show nothing:
    // level 0's first, in the frame or, where the frame is copied, the level
    // buffer.
    uint32_t anyBlock() const { return table_.levels[0].inLevelBuffer ? SampleTap::kLevels : 0u; }

private:
    // Where a read of a level at (u, v) falls: its top-left texel and the
    // fractions toward the next, in 1/256ths, as the sampler keeps them.
    struct Spot {
        int64_t col, row;
        int fx, fy;
    };
    SETUP_INLINE static Spot spotOf(const FrameLevel& level, double u, double v) {
        const double s = std::clamp(u * level.width - 0.5, -4.0, level.width + 4.0);
        const double t = std::clamp(v * level.height - 0.5, -4.0, level.height + 4.0);
        const int64_t fs = floorInt(s * 256.0);
        const int64_t ft = floorInt(t * 256.0);
        return {fs >> 8, ft >> 8, static_cast<int>(fs & 255), static_cast<int>(ft & 255)};
    }

    // A block's place: byte offset of its top-left texel, and the level flag.
    SETUP_INLINE uint32_t blockWhere(const FrameLevel& level, int64_t row, int64_t col) const {
        const size_t stride = level.inLevelBuffer ? table_.levelStride : table_.frameStride;
        const uint32_t where = static_cast<uint32_t>(level.origin + static_cast<size_t>(row) * stride +
                                                     static_cast<size_t>(col) * static_cast<size_t>(table_.texelBytes));
        return level.inLevelBuffer ? where | SampleTap::kLevels : where;
    }

    const SampleTable& table_;
};

// The taps of the usual pixel: one sample of weight one (the last mesh drawn
// covers it in full) whose blocks lie inside their levels, worked out in
// integers with the same result as PixelTaps.
class WholePixelTaps {
public:
    // `wholeWeights`: wholeWeightTable().
    WholePixelTaps(const SampleTable& table, const uint32_t* wholeWeights, NeededTexels* needed)
        : reads_(table), wholeWeights_(wholeWeights), needed_(needed) {}

    // Writes the taps of the sample at (u, v) with level of detail `lod` to
    // `out` as PixelTaps would; returns how many, or 0, writing nothing,
    // where a block would pass its level's edge.
    size_t write(int lens, double u, double v, double lod, int maxLevel, SampleTap* out) {
        int share;
        const int d = levelOf(lod, maxLevel, &share);
        InsideRead b[2];
        if (!reads_.inside(d, u, v, &b[0])) return 0;
        const uint32_t lensFlag = lens == 1 ? SampleTap::kLens1 : 0u;
        if (share == 0) {
            *out = {b[0].where | lensFlag | SampleTap::kLast, wholeWeights_[b[0].fy * 256 + b[0].fx]};
            if (d > 0) needed_->markBlock(d, b[0].row, b[0].col);
            return 1;
        }
        if (!reads_.inside(d + 1, u, v, &b[1])) return 0;
        int q[8];
        roundTwoLevels(share, b, q);
        SampleTap* o = out;
        for (int i = 0; i < 2; ++i) {
            const uint32_t weights = packWeights(q + 4 * i);
            if (weights == 0) continue;
            *o++ = {b[i].where | lensFlag, weights};
            if (d + i > 0) needed_->markBlock(d + i, b[i].row, b[i].col);
        }
        o[-1].where |= SampleTap::kLast;  // the weights add up to kWeightOne: one at least is written
        return static_cast<size_t>(o - out);
    }

private:
    // The weights of a sample of weight one split between two levels, the
    // lower one taking `share` 1/256ths: block after block, rounded to
    // units that add up to kWeightOne.
    static void roundTwoLevels(int share, const InsideRead b[2], int q[8]) {
        int32_t exact[8];  // in 1/2^24
        for (int i = 0; i < 2; ++i) {
            const int32_t ex[2] = {(i ? share : 256 - share) * (256 - b[i].fx), (i ? share : 256 - share) * b[i].fx};
            const int32_t ey[2] = {256 - b[i].fy, b[i].fy};
            for (int k = 0; k < 4; ++k) exact[4 * i + k] = ex[k & 1] * ey[k >> 1];
        }
        int64_t moved[8];
        const int sum = roundAlone(exact, 8, q, moved);
        settleRounding(q, moved, int64_t(1) << 24, 8, sum, kWeightOne);
    }

    LevelReads reads_;
    const uint32_t* wholeWeights_;
    NeededTexels* needed_;
};

// Builds the taps of any pixel from its weighted level reads: the samples
// of the meshes that cover it, each over the ones drawn before it.
class PixelTaps {
public:
    PixelTaps(const SampleTable& table, NeededTexels* needed) : reads_(table), needed_(needed) {}

    void clear() {
        count_ = 0;
        total_ = 0.0;
        shares_ = 0;
        whole_ = true;
    }

    // One mesh's sample at texture position (u, v) with its level of detail.
    // A sample of weight one keeps its levels' shares in whole 1/256ths too,
    // so that its weights can be rounded in integers.
    void addSample(int lens, double u, double v, double lod, double weight, int maxLevel) {
        const bool whole = weight == 1.0;
        int share;
        const int d = levelOf(lod, maxLevel, &share);
        if (share == 0) {
            addBilinear(d, lens, u, v, weight, whole ? 256 : -1);
            return;
        }
        const double f = share / 256.0;
        addBilinear(d, lens, u, v, weight * (1.0 - f), whole ? 256 - share : -1);
        addBilinear(d + 1, lens, u, v, weight * f, whole ? share : -1);
    }

    // Quantises the weights and writes the taps to `out`, which has room for
    // kMaxBlocks + 1; returns how many.
    size_t emit(SampleTap* out) {
        int q[kMaxBlocks * 4];
        quantise(q);
        uint32_t packed[kMaxBlocks];
        for (int i = 0; i < count_; ++i) packed[i] = packWeights(q + 4 * i);
        // Each tap written in place and kept or not, without branches: which
        // are kept is unforeseeable (`out` has room for one more).
        SampleTap* o = out;
        for (uint32_t lens : {0u, SampleTap::kLens1})  // lens 0's taps first
            for (int i = 0; i < count_; ++i) {
                const LevelBlock& b = blocks_[i];
                const bool keep = packed[i] != 0 && (b.where & SampleTap::kLens1) == lens;
                *o = {b.where, packed[i]};
                o += keep;
                // A made level: its texels are needed.
                if (keep && b.level > 0) needed_->markBlock(b.level, b.row, b.col);
            }
        if (o == out)  // nothing drawn here: black, reading any valid block
            *o++ = {reads_.anyBlock(), 0u};
        o[-1].where |= SampleTap::kLast;
        return static_cast<size_t>(o - out);
    }

    static const int kMaxBlocks = 8;
    static_assert(kMaxBlocks * 4 <= 32, "settleRounding() keeps keys for 32 weights");

private:
    // The weights in units of 1/kWeightOne, all taps together, so that a
    // full pixel keeps its full weight. Rounding leaves the sum off by a unit
    // or two at most; those go to the weights that rounding moved most.
    // Where the weights are whole 1/2^24ths adding up to one, as for most
    // pixels, that is worked out in integers, with the same result.
    void quantise(int* q) const {
        const int n = count_ * 4;
        if (whole_ && shares_ == 256) {
            int64_t moved[kMaxBlocks * 4];  // in 1/2^24
            const int sum = roundAlone(exact_, n, q, moved);
            settleRounding(q, moved, int64_t(1) << 24, n, sum, kWeightOne);
            return;
        }
        const double total = total_;
        const double scale = total > 1.0 ? kWeightOne / total : kWeightOne;
        const int target = static_cast<int>(roundHalfAway(std::min(total, 1.0) * kWeightOne));
        double moved[kMaxBlocks * 4];  // rounded minus exact
        int sum = 0;
        for (int j = 0; j < n; ++j) {
            const double exact = w_[j] * scale;
            q[j] = static_cast<int>(exact + 0.5);
            moved[j] = q[j] - exact;
            sum += q[j];
        }
        settleRounding(q, moved, 1.0, n, sum, target);
    }

    // `share`: the level's share of a sample of weight one in 1/256ths, or
    // -1 for any other weight.
    SETUP_INLINE void addBilinear(int l, int lens, double u, double v, double weight, int share) {
        if (!(weight > 0.0) || count_ == kMaxBlocks) return;
        LevelBlock& b = blocks_[count_];
        double* w = w_ + count_ * 4;
        int32_t* exact = exact_ + count_ * 4;
        InsideRead in;
        if (reads_.inside(l, u, v, &in)) {
            // Inside the level, each texel its own weight (the usual case).
            const double wx[2] = {1.0 - in.fx / 256.0, in.fx / 256.0}, wy[2] = {1.0 - in.fy / 256.0, in.fy / 256.0};
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 2; ++x) w[y * 2 + x] = weight * wx[x] * wy[y];
            if (share >= 0) {
                const int32_t ex[2] = {share * (256 - in.fx), share * in.fx}, ey[2] = {256 - in.fy, in.fy};
                for (int y = 0; y < 2; ++y)
                    for (int x = 0; x < 2; ++x) exact[y * 2 + x] = ex[x] * ey[y];
            }
            b.where = in.where;
            b.row = in.row;
            b.col = in.col;
        } else {
            reads_.edge(l, u, v, weight, share, &b, w, exact);
        }
        if (lens == 1) b.where |= SampleTap::kLens1;
        b.level = l;
        for (int k = 0; k < 4; ++k) total_ += w[k];  // in quantise()'s order, block after block
        ++count_;
        if (share < 0) whole_ = false;
        shares_ += share;
    }

    LevelReads reads_;
    NeededTexels* needed_;
    LevelBlock blocks_[kMaxBlocks];
    // Each block's weights, top-left, top-right, bottom-left, bottom-right,
    // and the same in 1/2^24 where the sample's weight is one.
    double w_[kMaxBlocks * 4];
    int32_t exact_[kMaxBlocks * 4];
    int count_ = 0;
    double total_ = 0.0;  // of the weights, added up in order
    int shares_ = 0;      // of the samples of weight one
    bool whole_ = true;   // all samples so far of weight one
};

// One band's taps until they go to the table. Grows as it fills.
class TapStore {
public:
    TapStore() = default;
    TapStore(const TapStore&) = delete;
    TapStore& operator=(const TapStore&) = delete;
    ~TapStore() {
        if (data_) HugePageAllocator<SampleTap>().deallocate(data_, capacity_);
    }

    SampleTap* data() const { return data_; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    // Room for n more taps at the end.
    SampleTap* room(size_t n) {
        if (size_ + n > capacity_) grow(std::max({size_ + n, 2 * capacity_, size_t(1) << 16}));
        return data_ + size_;
    }
    void added(size_t n) { size_ += n; }

private:
    void grow(size_t capacity) {
        SampleTap* data = HugePageAllocator<SampleTap>().allocate(capacity);
        if (data_) {
            std::copy(data_, data_ + size_, data);
            HugePageAllocator<SampleTap>().deallocate(data_, capacity_);
        }
        data_ = data;
        capacity_ = capacity;
    }

    SampleTap* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

// Puts the bands' taps into the table in the order of the bands, whichever
// thread builds them when. A band done before those above it waits in its
// store, and its thread takes another; stores go round again once their
// taps are in the table, so that the few there are stay in cache.
class BandQueue {
public:
    explicit BandQueue(SampleTable* table) : table_(table), waiting_(table->bands.size()) {}

    std::unique_ptr<TapStore> store() {
        std::lock_guard<std::mutex> lock(lock_);
        if (spare_.empty()) return std::unique_ptr<TapStore>(new TapStore);
        std::unique_ptr<TapStore> s = std::move(spare_.back());
        spare_.pop_back();
        return s;
    }

    // Band b is built, its tapBegin and tapEnd places in `taps`.
    void done(size_t b, std::unique_ptr<TapStore> taps) {
        std::lock_guard<std::mutex> lock(lock_);
        waiting_[b] = std::move(taps);
        for (; next_ < waiting_.size() && waiting_[next_]; ++next_) {
            TapStore& s = *waiting_[next_];
            TableBand& band = table_->bands[next_];
            const size_t at = table_->taps.size();
            table_->taps.insert(table_->taps.end(), s.data() + band.tapBegin, s.data() + band.tapEnd);
            band.tapEnd = at + (band.tapEnd - band.tapBegin);
            band.tapBegin = at;
            s.clear();
            spare_.push_back(std::move(waiting_[next_]));
        }
    }

private:
    SampleTable* table_;
    std::mutex lock_;
    std::vector<std::unique_ptr<TapStore>> waiting_, spare_;
    size_t next_ = 0;
};

// The fall-off correction folded into the weights: each lens's sample is
// weighed by rim / V(r), at most 1, and the engine's gain for the lens is
// divided by its rim value, so that together they undo V(r).
struct WeightLift {
    bool active = false;
    LensFalloff falloff;
    double cx[2], cy[2], radius[2], width[2], height[2];  // calibration pixels
    double logRim[2];

    WeightLift(const DualFisheyeModel& model, const LensFalloff& f) : active(!f.flat()), falloff(f) {
        const FisheyeLens* lens[2] = {&model.lens0, &model.lens1};
        for (int l = 0; l < 2; ++l) {
            cx[l] = lens[l]->centerX;
            cy[l] = lens[l]->centerY;
            radius[l] = lens[l]->radius;
            width[l] = lens[l]->imageWidth;
            height[l] = lens[l]->imageHeight;
            logRim[l] = f.logValue(l, 1.0);
        }
    }

    // The factor of lens l's sample at texture position (u, v).
    SETUP_INLINE double at(int l, double u, double v) const {
        if (!active) return 1.0;
        const double r = std::hypot(u * width[l] - cx[l], v * height[l] - cy[l]) / radius[l];
        return std::min(1.0, std::exp(logRim[l] - falloff.logValue(l, r)));
    }
};

// What the second pass and the blending need from the first.
struct FirstPass {
    int width, height;
    bool stereo;
    bool identityView;
    const float (*rotation)[4];
    const HugePageVector<Triangle>& triangles;
    const std::vector<Mesh>& meshes;
    const Coverage& cover;
    // Stitch layout: each mesh's alpha per panorama column (it depends on x alone).
    const std::vector<float>& fade;
    const WeightLift& lift;
};

}  // namespace

// Groups the pixels of one tile row (their taps from starts[i] to
// starts[i + 1]) whose taps have the same count, lenses and buffers: pairs
// 2k, 2k + 1 and quads 4k .. 4k + 3, interleaving their taps (the first
// pixel's first tap, the second's, ...). Returns the row's group mask.
uint32_t groupTileRow(const size_t* starts, int pixels, SampleTap* taps) {
    static_assert(kTileColumns <= 32, "a tile row's groups are a 32-bit mask");
    const uint32_t kFlags = SampleTap::kLast | SampleTap::kLens1 | SampleTap::kLevels;
    const auto same = [&](size_t a, size_t b, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if ((taps[a + i].where & kFlags) != (taps[b + i].where & kFlags)) return false;
        return true;
    };
    SampleTap group[4 * kTileColumns];
    uint32_t mask = 0;
    for (int k = 0; k + 1 < pixels; k += 2) {
        const size_t a = starts[k], n = starts[k + 1] - a;
        if (starts[k + 2] - starts[k + 1] != n || 2 * n > sizeof group / sizeof group[0] / 2 || !same(a, a + n, n))
            continue;
        if (n == 1) {  // one tap each: already in order
            mask |= 1u << k;
            continue;
        }
        for (size_t i = 0; i < n; ++i) {
            group[2 * i] = taps[a + i];
            group[2 * i + 1] = taps[a + n + i];
        }
        std::copy(group, group + 2 * n, taps + a);
        mask |= 1u << k;
    }
    // Two pairs of the same taps: their pairs of taps interleaved.
    for (int k = 0; k + 3 < pixels; k += 4) {
        const size_t a = starts[k], n = starts[k + 1] - a;
        if ((mask >> k & 5u) != 5u || starts[k + 2] - a != 2 * n || starts[k + 4] - starts[k + 2] != 2 * n ||
            !same(a, starts[k + 2], 2 * n))
            continue;
        if (n > 1) {
            for (size_t i = 0; i < n; ++i) {
                group[4 * i] = taps[a + 2 * i];
                group[4 * i + 1] = taps[a + 2 * i + 1];
                group[4 * i + 2] = taps[a + 2 * n + 2 * i];
                group[4 * i + 3] = taps[a + 2 * n + 2 * i + 1];
            }
            std::copy(group, group + 4 * n, taps + a);
        }
        mask |= 2u << k;
    }
    return mask;
}

namespace {

// The layout's alpha at panorama texel (tx, ty) for each of the n
// triangles that cover it: the stereo cut's, the same for all, or each
// mesh's fade; taken at the mesh point of the texel's centre.
SETUP_INLINE void meshAlphas(const FirstPass& pass, int tx, int ty, const uint32_t* tris, int n, double* alpha) {
    const int W = pass.width, H = pass.height;
    if (pass.stereo && n > 0) {
        const float x = static_cast<float>(W / 2.0 - (tx + 0.5));
        const float y = static_cast<float>(ty + 0.5 - H / 2.0);
        const double cut = stitchlayout::stereoCutAlpha(x, y, static_cast<float>(W), static_cast<float>(H));
        for (int k = 0; k < n; ++k) alpha[k] = cut;
    } else {
        for (int k = 0; k < n; ++k) alpha[k] = pass.fade[static_cast<size_t>(pass.triangles[tris[k]].mesh) * W + tx];
    }
}

// The taps of the output pixel that shows panorama texel (tx, ty), written
// to `out` (room for PixelTaps::kMaxBlocks + 1); returns how many.
SETUP_INLINE size_t texelTaps(const FirstPass& pass, int tx, int ty, int lastLevel, WholePixelTaps& whole,
                              PixelTaps& pixel, SampleTap* out) {
    uint32_t tris[3];
    const int n = pass.cover.trianglesAt(tx, ty, tris);
    double alpha[3];
    meshAlphas(pass, tx, ty, tris, n, alpha);
    const double px = tx + 0.5, py = ty + 0.5;
    if (n > 0 && alpha[n - 1] >= 1.0 && !pass.lift.active) {  // the last mesh drawn covers it in full
        const Triangle& t = pass.triangles[tris[n - 1]];
        const size_t written = whole.write(pass.meshes[t.mesh].lens, t.u0 + t.ux * px + t.uy * py,
                                           t.v0 + t.vx * px + t.vy * py, t.lod, lastLevel, out);
        if (written > 0) return written;
    }
    // Each mesh over the ones drawn before it.
    pixel.clear();
    double over = 1.0;
    for (int k = n - 1; k >= 0; --k) {
        const double a = alpha[k] > 0.0 ? std::min(alpha[k], 1.0) : 0.0;
        const Triangle& t = pass.triangles[tris[k]];
        const int lens = pass.meshes[t.mesh].lens;
        const double u = t.u0 + t.ux * px + t.uy * py, v = t.v0 + t.vx * px + t.vy * py;
        pixel.addSample(lens, u, v, t.lod, over * a * pass.lift.at(lens, u, v), lastLevel);
        over *= 1.0 - a;
    }
    return pixel.emit(out);
}

// The taps of one band's pixels, tile by tile, appended to `store`; the
// band's tapBegin and tapEnd are left as places there.
void buildBand(const FirstPass& pass, const SampleTable& table, const uint32_t* wholeWeights, int lastLevel,
               TableBand* band, TapStore* store, NeededTexels* needed) {
    const int W = pass.width, H = pass.height;
    WholePixelTaps whole(table, wholeWeights, needed);
    PixelTaps pixel(table, needed);
    band->groups.clear();
    band->tapBegin = store->size();
    size_t starts[kTileColumns + 1];
    for (int c0 = 0; c0 < W; c0 += kTileColumns) {
        const int c1 = std::min(W, c0 + kTileColumns);
        for (int row = band->row0; row < band->row1; ++row) {
            if (pass.identityView && row + 1 < H) pass.cover.prefetch(c0, row + 1);  // the tile's next row
            for (int col = c0; col < c1; ++col) {
                starts[col - c0] = store->size();
                int tx = col, ty = row;
                if (!pass.identityView) panoramaTexel(col, row, W, H, pass.rotation, &tx, &ty);
                SampleTap* out = store->room(PixelTaps::kMaxBlocks + 1);
                store->added(texelTaps(pass, tx, ty, lastLevel, whole, pixel, out));
            }
            starts[c1 - c0] = store->size();
            band->groups.push_back(groupTileRow(starts, c1 - c0, store->data()));
        }
    }
    band->tapEnd = store->size();
}

// Carries the marks of the texels the table reads up the levels: which
// texels of each level above go into them.
void markNeededTexels(SampleTable* table, const std::vector<NeededTexels>& marks) {
    std::vector<FrameLevel>& levels = table->levels;
    for (size_t l = 1; l < levels.size(); ++l) {
        FrameLevel& level = levels[l];
        const bool whole = level.width < 2 || level.height < 2;  // padded: made whole
        level.rowBegin.assign(level.height, whole ? 0 : level.width);
        level.rowEnd.assign(level.height, whole ? level.width : 0);
    }
    for (const NeededTexels& m : marks) m.joinInto(&levels);
    auto mark = [](FrameLevel& level, int row, int c0, int c1) {
        row = std::clamp(row, 0, level.height - 1);
        level.rowBegin[row] = std::min(level.rowBegin[row], std::max(c0, 0));
        level.rowEnd[row] = std::max(level.rowEnd[row], std::min(c1, level.width));
    };
    for (size_t l = levels.size() - 1; l >= 2; --l) {
        const FrameLevel& level = levels[l];
        FrameLevel& above = levels[l - 1];
        const LevelResample& r = level.fromAbove;
        for (int y = 0; y < level.height; ++y) {
            if (level.rowBegin[y] >= level.rowEnd[y]) continue;
            const int c0 = r.srcX0[level.rowBegin[y]], c1 = r.srcX1[level.rowEnd[y] - 1] + 1;
            for (int sy = r.srcY0[y]; sy <= r.srcY1[y]; ++sy) mark(above, sy, c0, c1);
        }
    }
}

// The table's sizes for what `params` asks; fails where the output or the
// frame is out of the table's range.
Status setSizes(const EngineSpec& params, SampleTable* table) {
    if (params.size <= 0 || params.size > (1 << 15)) {
        return cannotBuild("output size out of range");
    }
    if (params.frameWidth <= 0 || params.frameHeight <= 0 || params.frameWidth > (1 << 16) ||
        params.frameHeight > (1 << 16)) {
        return cannotBuild("frame size out of range");
    }
    table->outWidth = params.outWidth();
    table->outHeight = params.outHeight();
    table->outStride = params.outStride();
    table->frameWidth = params.frameWidth;
    table->frameHeight = params.frameHeight;
    if (params.texelBytes != 3 && params.texelBytes != 4) return cannotBuild("pixels of 3 or 4 bytes only");
    table->texelBytes = params.texelBytes;
    table->frameStride = static_cast<size_t>(params.frameWidth) * static_cast<size_t>(params.texelBytes);
    if (table->frameStride * static_cast<size_t>(params.frameHeight) > SampleTap::kOffsetMask) {
        return cannotBuild("frame too large for the CPU engine");
    }
    if (static_cast<uint64_t>(table->outWidth) * table->outHeight >= kMoreTriangles) {
        return cannotBuild("output size out of range");
    }
    return Status();
}

// The last level that some triangle reaches, trilinear blends included:
// only levels up to it are made per frame.
int lastLevelReached(const HugePageVector<Triangle>& triangles, int maxLevel) {
    int lastLevel = 0;
    for (const Triangle& t : triangles)
        if (t.lod > 0.0) lastLevel = std::max(lastLevel, std::min(maxLevel, static_cast<int>(std::min(t.lod, 64.0)) + 1));
    return lastLevel;
}

// The stitch layout's alpha of each mesh per panorama column (it depends on
// x alone), mesh after mesh.
std::vector<float> fadePerColumn(const std::vector<Mesh>& meshes, int W, float blendWidth) {
    std::vector<float> fade(meshes.size() * static_cast<size_t>(W));
    for (size_t m = 0; m < meshes.size(); ++m)
        for (int tx = 0; tx < W; ++tx)
            fade[m * W + tx] =
                stitchlayout::stitchFadeAlpha(static_cast<float>(W / 2.0 - (tx + 0.5)), meshes[m].planeLeft, blendWidth);
    return fade;
}

// The second pass and the blending, band by band on the pool's threads,
// into the table's bands and taps; then the texels each made level needs.
void buildBands(const FirstPass& pass, int lastLevel, WorkerPool& pool, SampleTable* table) {
    const int W = pass.width, H = pass.height;
    const size_t bandCount = static_cast<size_t>((H + kBandRows - 1) / kBandRows);
    table->bands.resize(bandCount);
    const size_t threads = static_cast<size_t>(pool.threads());
    std::vector<NeededTexels> needed(threads, NeededTexels(table->levels));
    // Room for two taps a pixel: only address space until written. Without
    // that much address space the store grows as it fills.
    try {
        table->taps.reserve(static_cast<size_t>(W) * static_cast<size_t>(H) * 2);
    } catch (const std::bad_alloc&) {
    }
    const uint32_t* const wholeWeights = wholeWeightTable(pool);
    BandQueue queue(table);
    pool.run(bandCount, [&](size_t b) {
        TableBand& band = table->bands[b];
        band.row0 = static_cast<int>(b) * kBandRows;
        band.row1 = std::min(H, band.row0 + kBandRows);
        band.groups.reserve(static_cast<size_t>(band.row1 - band.row0) * ((W + kTileColumns - 1) / kTileColumns));
        std::unique_ptr<TapStore> taps = queue.store();
        NeededTexels& marks = needed[static_cast<size_t>(pool.threadIndex())];
        buildBand(pass, *table, wholeWeights, lastLevel, &band, taps.get(), &marks);
        queue.done(b, std::move(taps));
    });
    markNeededTexels(table, needed);
}

}  // namespace

size_t SampleTable::tapCount() const { return taps.size(); }

Status buildSampleTable(const EngineSpec& params, WorkerPool& pool, SampleTable* table) {
    *table = SampleTable();
    Status st = setSizes(params, table);
    if (!st.ok()) return st;
    // A text the model cannot read leaves its lenses without size or radius.
    const DualFisheyeModel& model = params.lens.model();
    if (model.lens0.imageWidth <= 0 || model.lens0.imageHeight <= 0 || !(model.lens0.radius > 0.0f) ||
        !(model.lens1.radius > 0.0f)) {
        return cannotBuild("unusable lens calibration");
    }
    const int W = table->outWidth, H = table->outHeight;
    const bool stereo = params.layout == Layout::Stereo;
    const std::vector<stitchlayout::LayoutMesh> layout =
        stereo ? stitchlayout::stereoMeshes(model, H) : stitchlayout::stitchMeshes(model, W, H);

    // The first pass: the layout's triangles over the panorama.
    HugePageVector<Triangle> triangles;
    std::vector<Mesh> meshes;
    Coverage cover;
    rasterise(layout, W, H, params.frameWidth, params.frameHeight, pool, &triangles, &meshes, &cover);

    std::vector<FrameLevel> allLevels;
    planLevels(params.frameWidth, params.frameHeight, &allLevels);
    const int lastLevel = lastLevelReached(triangles, static_cast<int>(allLevels.size()) - 1);
    table->levels = allLevels;
    st = placeLevels(table, lastLevel + 1);
    if (!st.ok()) return st;

    const std::vector<float> fade =
        stereo ? std::vector<float>() : fadePerColumn(meshes, W, stitchlayout::stitchBlendWidth(model, H));
    if (!params.falloff.flat() && !params.falloff.usable()) return cannotBuild("unusable lens fall-off");
    const WeightLift lift(model, params.falloff);
    const FirstPass pass{W, H, stereo, isIdentity(params.rotation), params.rotation, triangles, meshes, cover,
                         fade, lift};
    buildBands(pass, lastLevel, pool, table);
    return Status();
}


// The field: the first pass kept, and per position the blending of
// texelTaps() with the position's own texture coordinates and level of detail.
static_assert(PanoramaField::kMaxTaps == PixelTaps::kMaxBlocks + 1, "room for a pixel's taps");

struct PanoramaField::State {
    int width = 0, height = 0;
    int lastLevel = 0;
    double frameWidth = 0, frameHeight = 0;
    HugePageVector<Triangle> triangles;
    std::vector<Mesh> meshes;
    Coverage cover;
    float blendWidth = 1.0f;
    std::unique_ptr<WeightLift> lift;
    const uint32_t* wholeWeights = nullptr;
    const SampleTable* table = nullptr;
};

class PanoramaField::Reader {
public:
    explicit Reader(const State& s)
        : needed(s.table->levels), whole(*s.table, s.wholeWeights, &needed), pixel(*s.table, &needed) {}
    NeededTexels needed;  // marked and not read: every level is made whole
    WholePixelTaps whole;
    PixelTaps pixel;
};

PanoramaField::PanoramaField() = default;
PanoramaField::~PanoramaField() = default;

int PanoramaField::width() const { return state_->width; }
int PanoramaField::height() const { return state_->height; }

PanoramaField::ReaderPtr PanoramaField::reader() const { return ReaderPtr(new Reader(*state_)); }

void PanoramaField::ReaderEnd::operator()(Reader* r) const { delete r; }

Status PanoramaField::build(const EngineSpec& params, int lastLevel, WorkerPool& pool, SampleTable* table) {
    state_.reset(new State);
    State& f = *state_;
    EngineSpec panorama = params;
    panorama.view = ViewShape();
    *table = SampleTable();
    Status st = setSizes(panorama, table);
    if (!st.ok()) return st;
    if (params.layout != Layout::Stitch) return cannotBuild("a moving or reprojected view needs the stitch layout");
    const DualFisheyeModel& model = params.lens.model();
    if (model.lens0.imageWidth <= 0 || model.lens0.imageHeight <= 0 || !(model.lens0.radius > 0.0f) ||
        !(model.lens1.radius > 0.0f)) {
        return cannotBuild("unusable lens calibration");
    }
    if (!params.falloff.flat() && !params.falloff.usable()) return cannotBuild("unusable lens fall-off");
    const int W = table->outWidth, H = table->outHeight;
    f.width = W;
    f.height = H;
    f.frameWidth = params.frameWidth;
    f.frameHeight = params.frameHeight;
    const std::vector<stitchlayout::LayoutMesh> layout = stitchlayout::stitchMeshes(model, W, H);
    rasterise(layout, W, H, params.frameWidth, params.frameHeight, pool, &f.triangles, &f.meshes, &f.cover);
    std::vector<FrameLevel> allLevels;
    planLevels(params.frameWidth, params.frameHeight, &allLevels);
    const int maxLevel = static_cast<int>(allLevels.size()) - 1;
    f.lastLevel = std::min(maxLevel, std::max(lastLevel, lastLevelReached(f.triangles, maxLevel)));
    table->levels = allLevels;
    st = placeLevels(table, f.lastLevel + 1);
    if (!st.ok()) return st;
    for (size_t l = 1; l < table->levels.size(); ++l) {
        FrameLevel& level = table->levels[l];
        level.rowBegin.assign(static_cast<size_t>(level.height), 0);
        level.rowEnd.assign(static_cast<size_t>(level.height), level.width);
    }
    f.blendWidth = stitchlayout::stitchBlendWidth(model, H);
    f.lift.reset(new WeightLift(model, params.falloff));
    f.wholeWeights = wholeWeightTable(pool);
    f.table = table;
    return Status();
}

namespace {

// log2 to within about 1e-4, for levels of detail (kept to 1/256ths).
inline double quickLog2(double v) {
    if (!(v > 0.0)) return -1e9;
    int e;
    const double m = std::frexp(v, &e);  // v = m 2^e, m in [0.5, 1)
    const double t = (m - 0.70710678118654752) / (m + 0.70710678118654752);
    const double t2 = t * t;
    return e - 0.5 + t * (2.8853900817779268 + t2 * (0.9617966939259756 + t2 * (0.5770780163555854 + t2 * 0.4121985831)));
}

}  // namespace

size_t PanoramaField::taps(Reader& reader, double x, double y, const double step[4], SampleTap* out) const {
    const State& f = *state_;
    const int W = f.width, H = f.height;
    const double near = std::floor(x + 0.5);
    const double along = x - near;  // from the nearest texel's centre
    int tx = static_cast<int>(near) % W;
    if (tx < 0) tx += W;
    const double ny = std::floor(y + 0.5);
    const int ty = ny < 0 ? 0 : ny >= H ? H - 1 : static_cast<int>(ny);
    // Window coordinates of the position in the frame of texel (tx, ty)'s triangles.
    const double px = tx + 0.5 + along, py = y + 0.5;
    uint32_t tris[3];
    const int n = f.cover.trianglesAt(tx, ty, tris);
    double alpha[3], lod[3], u[3], v[3];
    for (int k = 0; k < n; ++k) {
        const Triangle& t = f.triangles[tris[k]];
        // The mesh's alpha at the position itself (it fades along x alone).
        const float fx = static_cast<float>((W / 2.0 - px - f.meshes[t.mesh].planeLeft) / f.blendWidth);
        alpha[k] = fx <= 0.0f ? 0.0 : fx >= 1.0f ? 1.0 : stitchlayout::stitchFadeAlpha(static_cast<float>(W / 2.0 - px), f.meshes[t.mesh].planeLeft, f.blendWidth);
        u[k] = t.u0 + t.ux * px + t.uy * py;
        v[k] = t.v0 + t.vx * px + t.vy * py;
        // How many lens texels one output pixel spans, along its row and down.
        const double ua = (t.ux * step[0] + t.uy * step[1]) * f.frameWidth, va = (t.vx * step[0] + t.vy * step[1]) * f.frameHeight;
        const double ud = (t.ux * step[2] + t.uy * step[3]) * f.frameWidth, vd = (t.vx * step[2] + t.vy * step[3]) * f.frameHeight;
        lod[k] = 0.5 * quickLog2(std::max(ua * ua + va * va, ud * ud + vd * vd));
    }
    if (n > 0 && alpha[n - 1] >= 1.0 && !f.lift->active) {
        const size_t written =
            reader.whole.write(f.meshes[f.triangles[tris[n - 1]].mesh].lens, u[n - 1], v[n - 1], lod[n - 1], f.lastLevel, out);
        if (written > 0) return written;
    }
    PixelTaps& pixel = reader.pixel;
    pixel.clear();
    double over = 1.0;
    for (int k = n - 1; k >= 0; --k) {
        const double a = alpha[k] > 0.0 ? std::min(alpha[k], 1.0) : 0.0;
        const int lens = f.meshes[f.triangles[tris[k]].mesh].lens;
        pixel.addSample(lens, u[k], v[k], lod[k], over * a * f.lift->at(lens, u[k], v[k]), f.lastLevel);
        over *= 1.0 - a;
    }
    return pixel.emit(out);
}


bool PanoramaField::lensPoint(double x, double y, const double step[4], LensPoint* p) const {
    const State& f = *state_;
    if (f.lift->active) return false;
    const int W = f.width, H = f.height;
    const double near = std::floor(x + 0.5);
    const double along = x - near;
    int tx = static_cast<int>(near) % W;
    if (tx < 0) tx += W;
    const double ny = std::floor(y + 0.5);
    const int ty = ny < 0 ? 0 : ny >= H ? H - 1 : static_cast<int>(ny);
    uint32_t tris[3];
    const int n = f.cover.trianglesAt(tx, ty, tris);
    if (n == 0) return false;
    const double px = tx + 0.5 + along, py = y + 0.5;
    // The last mesh drawn, over the others, and where it is not opaque the
    // one below it, which must be.
    auto sample = [&](uint32_t id, int* lens, double* u, double* v, double* lod, double* alpha) {
        const Triangle& t = f.triangles[id];
        const float fx = static_cast<float>((W / 2.0 - px - f.meshes[t.mesh].planeLeft) / f.blendWidth);
        *alpha = fx <= 0.0f ? 0.0 : fx >= 1.0f ? 1.0
                                   : stitchlayout::stitchFadeAlpha(static_cast<float>(W / 2.0 - px), f.meshes[t.mesh].planeLeft, f.blendWidth);
        *lens = f.meshes[t.mesh].lens;
        *u = t.u0 + t.ux * px + t.uy * py;
        *v = t.v0 + t.vx * px + t.vy * py;
        const double ua = (t.ux * step[0] + t.uy * step[1]) * f.frameWidth, va = (t.vx * step[0] + t.vy * step[1]) * f.frameHeight;
        const double ud = (t.ux * step[2] + t.uy * step[3]) * f.frameWidth, vd = (t.vx * step[2] + t.vy * step[3]) * f.frameHeight;
        *lod = 0.5 * quickLog2(std::max(ua * ua + va * va, ud * ud + vd * vd));
    };
    sample(tris[n - 1], &p->lens, &p->u, &p->v, &p->lod, &p->alpha);
    p->under = -1;
    if (p->alpha >= 1.0) return true;
    if (n < 2 || !(p->alpha > 0.0)) return false;
    double alpha;
    sample(tris[n - 2], &p->under, &p->u2, &p->v2, &p->lod2, &alpha);
    return alpha >= 1.0 && p->under != p->lens;
}

namespace {

// A lone bilinear read's packed weights scaled to `part` of kWeightOne,
// rounded to add up to it exactly.
inline uint32_t scaledWeights(uint32_t w, int part) {
    int q[4], sum = 0, big = 0;
    for (int k = 0; k < 4; ++k) {
        q[k] = (static_cast<int>((w >> (8 * k)) & 255) * part + kWeightOne / 2) / kWeightOne;
        sum += q[k];
        if (q[k] > q[big]) big = k;
    }
    q[big] += part - sum;
    return packWeights(q);
}

}  // namespace

int PanoramaField::levelKey(double lod) const {
    int share;
    const int d = levelOf(lod, state_->lastLevel, &share);
    return d * 256 + share;
}

size_t PanoramaField::runTaps(Reader& reader, const LensRun& run, int n, SampleTap* out, size_t base,
                              size_t* starts) const {
    const State& f = *state_;
    const SampleTable& table = *f.table;
    const size_t texel = static_cast<size_t>(table.texelBytes);
    // Per lens, the one or two levels it reads (the lower one's share in
    // 1/256ths), and their texel positions at the run's ends: where all stay
    // inside their levels, each pixel takes lone bilinear reads, their
    // weights scaled to the level's and the lens's part.
    struct Side {
        const FrameLevel* level;
        double s0, t0, ds, dt;
        uint32_t flags;
        size_t stride;
        int share;  // of the sample, in 1/256ths: 256 for the lens's first level
    } side[4];
    const int lenses = run.under >= 0 ? 2 : 1;
    int sides = 0;
    bool fast = true;
    for (int i = 0; i < lenses && fast; ++i) {
        int share;
        const int d = levelOf(i ? run.lod2 : run.lod, f.lastLevel, &share);
        for (int l = 0; l < (share ? 2 : 1) && fast; ++l) {
            const FrameLevel& level = table.levels[static_cast<size_t>(d + l)];
            Side& k = side[sides++];
            k.level = &level;
            k.share = share == 0 ? 256 : l ? share : 256 - share;
            k.s0 = (i ? run.u2 : run.u) * level.width - 0.5;
            k.t0 = (i ? run.v2 : run.v) * level.height - 0.5;
            k.ds = (i ? run.du2 : run.du) * level.width;
            k.dt = (i ? run.dv2 : run.dv) * level.height;
            const double s1 = k.s0 + k.ds * (n - 1), t1 = k.t0 + k.dt * (n - 1);
            fast = std::min(k.s0, s1) >= 0.0 && std::max(k.s0, s1) < level.width - 1.0 && std::min(k.t0, t1) >= 0.0 &&
                   std::max(k.t0, t1) < level.height - 1.0;
            k.stride = level.inLevelBuffer ? table.levelStride : table.frameStride;
            k.flags = ((i ? run.under : run.lens) == 1 ? SampleTap::kLens1 : 0u) | (level.inLevelBuffer ? SampleTap::kLevels : 0u);
        }
    }
    // The bilinear weights worked out here rather than looked up: a table
    // of every pair of fractions read in the order of a turned view misses
    // the cache at nearly every pixel.
    auto read = [&](const Side& k, int i) {
        const int64_t fs = floorInt((k.s0 + k.ds * i) * 256.0), ft = floorInt((k.t0 + k.dt * i) * 256.0);
        const size_t col = static_cast<size_t>(fs >> 8), row = static_cast<size_t>(ft >> 8);
        int q[4];
        roundedBilinear(static_cast<int>(fs & 255), static_cast<int>(ft & 255), q);
        return SampleTap{static_cast<uint32_t>(k.level->origin + row * k.stride + col * texel) | k.flags, packWeights(q)};
    };
    auto runRead = [texel](const Side& k) {
        return RunRead{k.s0, k.t0, k.ds, k.dt, static_cast<uint32_t>(k.level->origin), static_cast<uint32_t>(k.stride),
                       k.flags, static_cast<uint32_t>(texel)};
    };
    if (fast && sides == 1) {
        // Lone reads: their weights from the table of every pair of fractions.
        loneRunTaps(runRead(side[0]), n, f.wholeWeights, out, base, starts);
        return static_cast<size_t>(n);
    }
    if (fast && sides == 2 && lenses == 2) {
        // Two lenses blended, each read from one level.
        const RunRead reads[2] = {runRead(side[0]), runRead(side[1])};
        blendRunTaps(reads, run.alpha, run.dalpha, run.lens != 0, n, out, base, starts);
        return 2 * static_cast<size_t>(n);
    }
    if (fast) {
        // Lens 0's reads first, as the kernels take a pixel's taps.
        const int lensSides = sides - (lenses == 2 ? (side[sides - 1].share == 256 ? 1 : 2) : 0);
        size_t at = 0;
        for (int i = 0; i < n; ++i) {
            starts[i] = base + at;
            const int top = lenses == 1 ? kWeightOne
                                        : static_cast<int>(std::lround(std::clamp(run.alpha + run.dalpha * i, 0.0, 1.0) * kWeightOne));
            SampleTap t[4];
            int part[4];
            for (int k = 0; k < sides; ++k) {
                const int lensPart = k < lensSides ? top : kWeightOne - top;
                part[k] = side[k].share == 256 ? lensPart : (lensPart * side[k].share + 128) >> 8;
                if (side[k].share != 256 && (k + 1 == lensSides || k + 1 == sides || side[k + 1].share == 256))
                    part[k] = lensPart - part[k - 1];  // a lens's second level takes what its first left
                t[k] = read(side[k], i);
                t[k].weights = scaledWeights(t[k].weights, part[k]);
            }
            size_t o = at;
            for (int pass = 0; pass < 2; ++pass)
                for (int k = 0; k < sides; ++k)
                    if ((k < lensSides ? run.lens : run.under) == pass) out[o++] = t[k];
            out[o - 1].where |= SampleTap::kLast;
            at = o;
        }
        return at;
    }
    size_t at = 0;
    for (int i = 0; i < n; ++i) {
        starts[i] = base + at;
        const double ui = run.u + run.du * i, vi = run.v + run.dv * i;
        size_t written = lenses == 1 ? reader.whole.write(run.lens, ui, vi, run.lod, f.lastLevel, out + at) : 0;
        if (written == 0) {
            const double a = lenses == 1 ? 1.0 : std::clamp(run.alpha + run.dalpha * i, 0.0, 1.0);
            reader.pixel.clear();
            if (lenses == 2)
                reader.pixel.addSample(run.under, run.u2 + run.du2 * i, run.v2 + run.dv2 * i, run.lod2, 1.0 - a, f.lastLevel);
            reader.pixel.addSample(run.lens, ui, vi, run.lod, a, f.lastLevel);
            written = reader.pixel.emit(out + at);
        }
        at += written;
    }
    return at;
}

}  // namespace stitcher
