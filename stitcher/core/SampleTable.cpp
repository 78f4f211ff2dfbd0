#include "SampleTable.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

#include "DualFisheyeModel.h"
#include "HugePages.h"
#include "StitchLayout.h"
#include "WorkerPool.h"

namespace stitcher {

namespace {

const double kPi = 3.14159265358979323846;
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
    double u0, ux, uy;
    double v0, vx, vy;
    double lod;
    int mesh;
};

struct Mesh {
    int lens;
    float planeLeft;
};

// The first pass: which triangles, in drawing order, cover each texel of the
// panorama. Most texels have one; the rest are kept aside.
struct Coverage {
    int width = 0, height = 0;
    HugePageVector<uint32_t> first;                         // per texel, kNoTriangle when none
    HugePageVector<std::pair<uint32_t, uint32_t>> further;  // (texel, triangle), sorted by texel, drawing order kept
    std::vector<size_t> rowStart;                        // per row and one more: its first entry in `further`

    int trianglesAt(uint32_t texel, uint32_t out[3]) const {
        const uint32_t f = first[texel];
        if (f == kNoTriangle) return 0;
        out[0] = f & ~kMoreTriangles;
        int n = 1;
        if (f & kMoreTriangles) {
            const size_t row = texel / static_cast<uint32_t>(width);
            const auto end = further.begin() + static_cast<std::ptrdiff_t>(rowStart[row + 1]);
            auto it = std::lower_bound(further.begin() + static_cast<std::ptrdiff_t>(rowStart[row]), end,
                                       std::make_pair(texel, 0u));
            for (; it != end && it->first == texel && n < 3; ++it) out[n++] = it->second;
        }
        return n;
    }
};

// floor() as an integer, without a library call.
inline int64_t floorInt(double v) {
    const int64_t i = static_cast<int64_t>(v);
    return i - (static_cast<double>(i) > v);
}

// Texel positions in 1/256 of a pixel, as the rasteriser snaps vertices.
int64_t snap(double v) { return static_cast<int64_t>(std::llround(v * 256.0)); }

// A triangle's edge functions in window positions of 1/256 pixel, positive
// inside, and the texels its bounding box spans.
struct EdgeSetup {
    int64_t ex[3], ey[3], ec[3];  // E(P) = ex * Px + ey * Py + ec
    bool tieIn[3];                // a texel centre on the edge is inside
    int64_t c0, c1, r0, r1;
};

// Rasterises every mesh of the layout in drawing order. A mesh point (x, y)
// lands at window position (W/2 - x, y + H/2): the projection mirrors x.
// A texel centre exactly on an edge belongs to the triangle if that is its
// left edge (the inside at greater x) or, for a horizontal edge, its edge of
// lower y (the inside at greater y), as the software rasteriser decides for
// frame buffers; texels on an edge that two triangles share are drawn once.
// The triangles are set up in order, then bands of rows are filled on the
// pool's threads, each band taking every triangle in drawing order.
void rasterise(const std::vector<stitchlayout::LayoutMesh>& layout, int width, int height, int frameWidth,
               int frameHeight, WorkerPool& pool, HugePageVector<Triangle>* triangles, std::vector<Mesh>* meshes,
               Coverage* cover) {
    cover->width = width;
    cover->height = height;
    cover->first.assign(static_cast<size_t>(width) * height, kNoTriangle);
    const double halfW = width / 2.0, halfH = height / 2.0;
    HugePageVector<EdgeSetup> edges;
    size_t most = 0;
    for (const stitchlayout::LayoutMesh& mesh : layout) most += mesh.plane.indices.size() / 3;
    edges.reserve(most);
    triangles->reserve(most);

    for (size_t m = 0; m < layout.size(); ++m) {
        const FisheyePlane& plane = layout[m].plane;
        meshes->push_back({layout[m].lens, plane.uvs.size() >= 3 ? plane.uvs[2] : 0.0f});
        const std::vector<float>& v = plane.vertices;
        const std::vector<float>& uv = plane.uvs;
        const std::vector<unsigned int>& idx = plane.indices;
        const size_t vertexCount = std::min(v.size(), uv.size()) / 3;
        for (size_t t = 0; t + 2 < idx.size(); t += 3) {
            if (idx[t] >= vertexCount || idx[t + 1] >= vertexCount || idx[t + 2] >= vertexCount) continue;
            double X[3], Y[3], U[3], V[3];
            int64_t SX[3], SY[3];
            for (int k = 0; k < 3; ++k) {
                const size_t i = idx[t + k];
                X[k] = halfW - v[i * 3];
                Y[k] = v[i * 3 + 1] + halfH;
                U[k] = uv[i * 3];
                V[k] = uv[i * 3 + 1];
                SX[k] = snap(X[k]);
                SY[k] = snap(Y[k]);
            }
            int64_t area = (SX[1] - SX[0]) * (SY[2] - SY[0]) - (SX[2] - SX[0]) * (SY[1] - SY[0]);
            const double d = (X[1] - X[0]) * (Y[2] - Y[0]) - (X[2] - X[0]) * (Y[1] - Y[0]);
            if (area == 0 || d == 0.0 || !std::isfinite(d)) continue;
            bool finite = true;
            for (int k = 0; k < 3; ++k) finite = finite && std::isfinite(U[k]) && std::isfinite(V[k]);
            if (!finite) continue;

            Triangle tri;
            tri.mesh = static_cast<int>(m);
            tri.ux = ((U[1] - U[0]) * (Y[2] - Y[0]) - (U[2] - U[0]) * (Y[1] - Y[0])) / d;
            tri.uy = ((U[2] - U[0]) * (X[1] - X[0]) - (U[1] - U[0]) * (X[2] - X[0])) / d;
            tri.vx = ((V[1] - V[0]) * (Y[2] - Y[0]) - (V[2] - V[0]) * (Y[1] - Y[0])) / d;
            tri.vy = ((V[2] - V[0]) * (X[1] - X[0]) - (V[1] - V[0]) * (X[2] - X[0])) / d;
            tri.u0 = U[0] - tri.ux * X[0] - tri.uy * Y[0];
            tri.v0 = V[0] - tri.vx * X[0] - tri.vy * Y[0];
            // Texels of level 0 per pixel along x and along y.
            const double rhoX = std::hypot(tri.ux * frameWidth, tri.vx * frameHeight);
            const double rhoY = std::hypot(tri.uy * frameWidth, tri.vy * frameHeight);
            tri.lod = std::log2(std::max(rhoX, rhoY));
            triangles->push_back(tri);

            // Counter-clockwise in window coordinates, then edge functions
            // that are positive inside.
            EdgeSetup e;
            int order[3] = {0, 1, 2};
            if (area < 0) std::swap(order[1], order[2]);
            for (int k = 0; k < 3; ++k) {
                const int p = order[k], q = order[(k + 1) % 3];
                const int64_t dx = SX[q] - SX[p], dy = SY[q] - SY[p];
                e.ex[k] = -dy;
                e.ey[k] = dx;
                e.ec[k] = dy * SX[p] - dx * SY[p];
                e.tieIn[k] = e.ex[k] > 0 || (e.ex[k] == 0 && e.ey[k] > 0);
            }
            const int64_t minX = std::min({SX[0], SX[1], SX[2]}), maxX = std::max({SX[0], SX[1], SX[2]});
            const int64_t minY = std::min({SY[0], SY[1], SY[2]}), maxY = std::max({SY[0], SY[1], SY[2]});
            // Texel c has its centre at 256 * c + 128.
            e.c0 = std::max<int64_t>(0, (minX - 128 + 255) >> 8);
            e.c1 = std::min<int64_t>(width - 1, (maxX - 128) >> 8);
            e.r0 = std::max<int64_t>(0, (minY - 128 + 255) >> 8);
            e.r1 = std::min<int64_t>(height - 1, (maxY - 128) >> 8);
            edges.push_back(e);
        }
    }

    const int kRasterRows = 32;
    std::vector<std::vector<std::pair<uint32_t, uint32_t>>> further((height + kRasterRows - 1) / kRasterRows);
    pool.run(further.size(), [&](size_t item) {
        const int64_t rowBegin = static_cast<int64_t>(item) * kRasterRows;
        const int64_t rowEnd = std::min<int64_t>(height, rowBegin + kRasterRows);
        std::vector<std::pair<uint32_t, uint32_t>>& more = further[item];
        for (size_t id = 0; id < edges.size(); ++id) {
            const EdgeSetup& e = edges[id];
            for (int64_t r = std::max(e.r0, rowBegin); r <= e.r1 && r < rowEnd; ++r) {
                const int64_t py = r * 256 + 128;
                for (int64_t c = e.c0; c <= e.c1; ++c) {
                    const int64_t px = c * 256 + 128;
                    bool inside = true;
                    for (int k = 0; k < 3 && inside; ++k) {
                        const int64_t value = e.ex[k] * px + e.ey[k] * py + e.ec[k];
                        inside = value > 0 || (value == 0 && e.tieIn[k]);
                    }
                    if (!inside) continue;
                    const uint32_t texel = static_cast<uint32_t>(r * width + c);
                    uint32_t& f = cover->first[texel];
                    if (f == kNoTriangle) {
                        f = static_cast<uint32_t>(id);
                    } else {
                        f |= kMoreTriangles;
                        more.emplace_back(texel, static_cast<uint32_t>(id));
                    }
                }
            }
        }
        std::stable_sort(more.begin(), more.end(),
                         [](const std::pair<uint32_t, uint32_t>& a, const std::pair<uint32_t, uint32_t>& b) {
                             return a.first < b.first;
                         });
    });
    // Bands hold increasing rows: joined in order, the list stays sorted by texel.
    size_t total = 0;
    for (const auto& more : further) total += more.size();
    cover->further.reserve(total);
    for (const auto& more : further) cover->further.insert(cover->further.end(), more.begin(), more.end());
    cover->rowStart.assign(static_cast<size_t>(height) + 1, cover->further.size());
    for (size_t i = cover->further.size(); i-- > 0;) cover->rowStart[cover->further[i].first / width] = i;
    for (int r = height - 1; r >= 0; --r) cover->rowStart[r] = std::min(cover->rowStart[r], cover->rowStart[r + 1]);
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

// Where levels live: the frame itself unless it is too small to read 2 x 2
// blocks from; levels made per frame side by side in one buffer.
bool placeLevels(SampleTable* table, int usedLevels, std::string* error) {
    std::vector<FrameLevel>& levels = table->levels;
    levels.resize(usedLevels);
    const bool copyFrame = table->frameWidth < 2 || table->frameHeight < 2;
    size_t width = 0;
    int height = 0;
    for (int l = 0; l < usedLevels; ++l) {
        FrameLevel& level = levels[l];
        level.inLevelBuffer = l > 0 || copyFrame;
        if (!level.inLevelBuffer) continue;
        level.origin = width * 3;
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
    table->levelStride = width * 3;
    table->levelBytes = table->levelStride * static_cast<size_t>(height);
    if (table->levelBytes > SampleTap::kOffsetMask) {
        *error = "frame too large for the CPU engine";
        return false;
    }
    return true;
}

// Builds the taps of one pixel from its weighted level reads.
class PixelTaps {
public:
    explicit PixelTaps(const SampleTable& table) : table_(table) {}

    void clear() { count_ = 0; }

    // One mesh's sample at texture position (u, v) with its level of detail.
    void addSample(int lens, double u, double v, double lod, double weight, int maxLevel) {
        if (!(lod > 0.0)) {
            addBilinear(0, lens, u, v, weight);
            return;
        }
        int d = static_cast<int>(std::min(lod, 64.0));
        double f = lod - d;
        d = std::clamp(d, 0, maxLevel);
        f = static_cast<int>(f * 256.0 + 0.5) / 256.0;  // the sampler keeps 8 bits
        // A level with a share of at most kLevelSnap is left out and the
        // other takes its weight: that moves the pixel by at most that share
        // of the difference between the two levels, and saves a read.
        if (f <= kLevelSnap) {
            f = 0.0;
        } else if (f >= 1.0 - kLevelSnap && d < maxLevel) {
            ++d;
            f = 0.0;
        }
        if (d >= maxLevel || f <= 0.0) {
            addBilinear(d, lens, u, v, weight);
            return;
        }
        addBilinear(d, lens, u, v, weight * (1.0 - f));
        addBilinear(d + 1, lens, u, v, weight * f);
    }

    // Quantises the weights (all taps together, so that a full pixel keeps
    // its full weight) and appends the taps. Rounding leaves the sum off by a
    // unit or two at most; those go to the weights that rounding moved most.
    void emit(std::vector<SampleTap>* out) {
        double total = 0.0;
        for (int i = 0; i < count_; ++i)
            for (int k = 0; k < 4; ++k) total += blocks_[i].w[k];
        const double scale = total > 1.0 ? kWeightOne / total : kWeightOne;
        const int target = static_cast<int>(std::lround(std::min(total, 1.0) * kWeightOne));
        int q[kMaxBlocks][4];
        double moved[kMaxBlocks][4];  // rounded minus exact
        int sum = 0;
        for (int i = 0; i < count_; ++i)
            for (int k = 0; k < 4; ++k) {
                const double exact = blocks_[i].w[k] * scale;
                q[i][k] = static_cast<int>(exact + 0.5);
                moved[i][k] = q[i][k] - exact;
                sum += q[i][k];
            }
        while (sum != target) {
            const int step = sum < target ? 1 : -1;
            int bi = -1, bk = 0;
            double best = 0.0;
            for (int i = 0; i < count_; ++i)
                for (int k = 0; k < 4; ++k) {
                    const double gain = -step * moved[i][k];  // how far rounding went against the step
                    if ((bi < 0 || gain > best) && q[i][k] + step >= 0 && q[i][k] + step <= kWeightOne) {
                        best = gain;
                        bi = i;
                        bk = k;
                    }
                }
            if (bi < 0) break;
            q[bi][bk] += step;
            moved[bi][bk] += step;
            sum += step;
        }
        const size_t start = out->size();
        for (uint32_t lens : {0u, SampleTap::kLens1})  // lens 0's taps first
            for (int i = 0; i < count_; ++i) {
                const uint32_t weights = static_cast<uint32_t>(q[i][0]) | static_cast<uint32_t>(q[i][1]) << 8 |
                                         static_cast<uint32_t>(q[i][2]) << 16 | static_cast<uint32_t>(q[i][3]) << 24;
                if (weights != 0 && (blocks_[i].where & SampleTap::kLens1) == lens)
                    out->push_back({blocks_[i].where, weights});
            }
        if (out->size() == start) {  // nothing drawn here: black, reading any valid block
            out->push_back({table_.levels[0].inLevelBuffer ? SampleTap::kLevels : 0u, 0u});
        }
        out->back().where |= SampleTap::kLast;
    }

private:
    static const int kMaxBlocks = 8;
    struct Block {
        uint32_t where;
        double w[4];
    };

    void addBilinear(int l, int lens, double u, double v, double weight) {
        if (!(weight > 0.0) || count_ == kMaxBlocks) return;
        const FrameLevel& level = table_.levels[l];
        // Texel space, 8 bits of fraction as the sampler keeps them.
        const double s = std::clamp(u * level.width - 0.5, -4.0, level.width + 4.0);
        const double t = std::clamp(v * level.height - 0.5, -4.0, level.height + 4.0);
        const int64_t fs = floorInt(s * 256.0);
        const int64_t ft = floorInt(t * 256.0);
        const int i0 = static_cast<int>(fs >> 8), j0 = static_cast<int>(ft >> 8);
        const double fx = (fs & 255) / 256.0, fy = (ft & 255) / 256.0;
        const int cx[2] = {std::clamp(i0, 0, level.width - 1), std::clamp(i0 + 1, 0, level.width - 1)};
        const int cy[2] = {std::clamp(j0, 0, level.height - 1), std::clamp(j0 + 1, 0, level.height - 1)};
        const int bx = std::min(cx[0], level.storedWidth - 2);
        const int by = std::min(cy[0], level.storedHeight - 2);
        Block& b = blocks_[count_++];
        const double wx[2] = {1.0 - fx, fx}, wy[2] = {1.0 - fy, fy};
        if (cx[0] == bx && cx[1] == bx + 1 && cy[0] == by && cy[1] == by + 1) {
            // Inside the level, each texel its own weight (the usual case).
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 2; ++x) b.w[y * 2 + x] = weight * wx[x] * wy[y];
        } else {
            // At an edge, clamped texels share a place and add up.
            std::fill(b.w, b.w + 4, 0.0);
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 2; ++x) b.w[(cy[y] - by) * 2 + (cx[x] - bx)] += weight * wx[x] * wy[y];
        }
        const size_t stride = level.inLevelBuffer ? table_.levelStride : table_.frameStride;
        b.where = static_cast<uint32_t>(level.origin + static_cast<size_t>(by) * stride + static_cast<size_t>(bx) * 3);
        if (level.inLevelBuffer) b.where |= SampleTap::kLevels;
        if (lens == 1) b.where |= SampleTap::kLens1;
    }

    const SampleTable& table_;
    Block blocks_[kMaxBlocks];
    int count_ = 0;
};

// What the second pass and the blending need from the first.
struct FirstPass {
    int width, height;
    bool stereo;
    float blendWidth;
    bool identityView;
    const float (*rotation)[4];
    const HugePageVector<Triangle>& triangles;
    const std::vector<Mesh>& meshes;
    const Coverage& cover;
    // Stitch layout: each mesh's alpha per panorama column (it depends on x alone).
    const std::vector<float>& fade;
};

// Groups the pixels of one tile row (their taps from starts[i] to
// starts[i + 1]) whose taps have the same count, lenses and buffers: pairs
// 2k, 2k + 1 and quads 4k .. 4k + 3, interleaving their taps (the first
// pixel's first tap, the second's, ...). Returns the row's group mask.
uint32_t groupTileRow(const size_t* starts, int pixels, std::vector<SampleTap>* taps) {
    static_assert(kTileColumns <= 32, "a tile row's groups are a 32-bit mask");
    const uint32_t kFlags = SampleTap::kLast | SampleTap::kLens1 | SampleTap::kLevels;
    const auto same = [&](size_t a, size_t b, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (((*taps)[a + i].where & kFlags) != ((*taps)[b + i].where & kFlags)) return false;
        return true;
    };
    SampleTap group[4 * kTileColumns];
    uint32_t mask = 0;
    for (int k = 0; k + 1 < pixels; k += 2) {
        const size_t a = starts[k], n = starts[k + 1] - a;
        if (starts[k + 2] - starts[k + 1] != n || 2 * n > sizeof group / sizeof group[0] / 2 || !same(a, a + n, n))
            continue;
        for (size_t i = 0; i < n; ++i) {
            group[2 * i] = (*taps)[a + i];
            group[2 * i + 1] = (*taps)[a + n + i];
        }
        std::copy(group, group + 2 * n, taps->begin() + static_cast<std::ptrdiff_t>(a));
        mask |= 1u << k;
    }
    // Two pairs of the same taps: their pairs of taps interleaved.
    for (int k = 0; k + 3 < pixels; k += 4) {
        const size_t a = starts[k], n = starts[k + 1] - a;
        if ((mask >> k & 5u) != 5u || starts[k + 2] - a != 2 * n || starts[k + 4] - starts[k + 2] != 2 * n ||
            !same(a, starts[k + 2], 2 * n))
            continue;
        for (size_t i = 0; i < n; ++i) {
            group[4 * i] = (*taps)[a + 2 * i];
            group[4 * i + 1] = (*taps)[a + 2 * i + 1];
            group[4 * i + 2] = (*taps)[a + 2 * n + 2 * i];
            group[4 * i + 3] = (*taps)[a + 2 * n + 2 * i + 1];
        }
        std::copy(group, group + 4 * n, taps->begin() + static_cast<std::ptrdiff_t>(a));
        mask |= 2u << k;
    }
    return mask;
}

// The taps of one band's pixels, tile by tile, appended to the table's.
void buildBand(const FirstPass& pass, const SampleTable& table, int lastLevel, TableBand* band,
               HugePageVector<SampleTap>* tableTaps, std::mutex* tableLock) {
    const int W = pass.width, H = pass.height;
    // Built in a buffer kept by the thread, then appended at its final size.
    thread_local std::vector<SampleTap> taps;
    taps.clear();
    PixelTaps pixel(table);
    band->groups.clear();
    size_t starts[kTileColumns + 1];
    for (int c0 = 0; c0 < W; c0 += kTileColumns) {
        const int c1 = std::min(W, c0 + kTileColumns);
        for (int row = band->row0; row < band->row1; ++row) {
            for (int col = c0; col < c1; ++col) {
                starts[col - c0] = taps.size();
                int tx = col, ty = row;
                if (!pass.identityView) panoramaTexel(col, row, W, H, pass.rotation, &tx, &ty);
                uint32_t tris[3];
                const int n = pass.cover.trianglesAt(static_cast<uint32_t>(ty) * W + tx, tris);
                // The mesh point at the texel's centre, for the layout's alpha.
                const float x = static_cast<float>(W / 2.0 - (tx + 0.5));
                const float y = static_cast<float>(ty + 0.5 - H / 2.0);
                double alpha[3];
                for (int k = 0; k < n; ++k) {
                    const int mesh = pass.triangles[tris[k]].mesh;
                    alpha[k] = pass.stereo
                                   ? stitchlayout::stereoCutAlpha(x, y, static_cast<float>(W), static_cast<float>(H))
                                   : pass.fade[static_cast<size_t>(mesh) * W + tx];
                    alpha[k] = alpha[k] > 0.0 ? std::min(alpha[k], 1.0) : 0.0;
                }
                // Each mesh over the ones drawn before it.
                pixel.clear();
                double over = 1.0;
                for (int k = n - 1; k >= 0; --k) {
                    const Triangle& t = pass.triangles[tris[k]];
                    const double px = tx + 0.5, py = ty + 0.5;
                    pixel.addSample(pass.meshes[t.mesh].lens, t.u0 + t.ux * px + t.uy * py,
                                    t.v0 + t.vx * px + t.vy * py, t.lod, over * alpha[k], lastLevel);
                    over *= 1.0 - alpha[k];
                }
                pixel.emit(&taps);
            }
            starts[c1 - c0] = taps.size();
            band->groups.push_back(groupTileRow(starts, c1 - c0, &taps));
        }
    }
    std::lock_guard<std::mutex> lock(*tableLock);
    band->tapBegin = tableTaps->size();
    tableTaps->insert(tableTaps->end(), taps.begin(), taps.end());
    band->tapEnd = tableTaps->size();
}

// Which texels of each made level the table reads, and so which texels of
// the levels above go into them.
void markNeededTexels(SampleTable* table) {
    std::vector<FrameLevel>& levels = table->levels;
    for (size_t l = 1; l < levels.size(); ++l) {
        FrameLevel& level = levels[l];
        const bool whole = level.width < 2 || level.height < 2;  // padded: made whole
        level.rowBegin.assign(level.height, whole ? 0 : level.width);
        level.rowEnd.assign(level.height, whole ? level.width : 0);
    }
    auto mark = [](FrameLevel& level, int row, int c0, int c1) {
        row = std::clamp(row, 0, level.height - 1);
        level.rowBegin[row] = std::min(level.rowBegin[row], std::max(c0, 0));
        level.rowEnd[row] = std::max(level.rowEnd[row], std::min(c1, level.width));
    };
    for (const SampleTap& tap : table->taps) {
        if (!(tap.where & SampleTap::kLevels)) continue;
        const size_t offset = tap.where & SampleTap::kOffsetMask;
        const int row = static_cast<int>(offset / table->levelStride);
        const size_t column = offset % table->levelStride;
        for (size_t l = 1; l < levels.size(); ++l) {
            FrameLevel& level = levels[l];
            if (column < level.origin || column >= level.origin + static_cast<size_t>(level.storedWidth) * 3)
                continue;
            const int c = static_cast<int>((column - level.origin) / 3);
            mark(level, row, c, c + 2);
            mark(level, row + 1, c, c + 2);
        }
    }
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

}  // namespace

size_t SampleTable::tapCount() const { return taps.size(); }

bool buildSampleTable(const EngineSpec& params, WorkerPool& pool, SampleTable* table, std::string* error) {
    *table = SampleTable();
    if (params.size <= 0 || params.size > (1 << 15)) {
        *error = "output size out of range";
        return false;
    }
    if (params.frameWidth <= 0 || params.frameHeight <= 0 || params.frameWidth > (1 << 16) ||
        params.frameHeight > (1 << 16)) {
        *error = "frame size out of range";
        return false;
    }
    table->outWidth = params.outWidth();
    table->outHeight = params.outHeight();
    table->outStride = params.outStride();
    table->frameWidth = params.frameWidth;
    table->frameHeight = params.frameHeight;
    table->frameStride = static_cast<size_t>(params.frameWidth) * 3;
    if (table->frameStride * static_cast<size_t>(params.frameHeight) > SampleTap::kOffsetMask) {
        *error = "frame too large for the CPU engine";
        return false;
    }
    if (static_cast<uint64_t>(table->outWidth) * table->outHeight >= kMoreTriangles) {
        *error = "output size out of range";
        return false;
    }

    // A text the model cannot read leaves its lenses without size or radius.
    const DualFisheyeModel model(params.offset.c_str());
    if (model.lens0.imageWidth <= 0 || model.lens0.imageHeight <= 0 || !(model.lens0.radius > 0.0f) ||
        !(model.lens1.radius > 0.0f)) {
        *error = "unusable lens calibration";
        return false;
    }
    const int W = table->outWidth, H = table->outHeight;
    const bool stereo = params.layout == Layout::Stereo;
    const std::vector<stitchlayout::LayoutMesh> layout =
        stereo ? stitchlayout::stereoMeshes(model, H) : stitchlayout::stitchMeshes(model, W, H);
    const float blendWidth = stitchlayout::stitchBlendWidth(model, H);

    HugePageVector<Triangle> triangles;
    std::vector<Mesh> meshes;
    Coverage cover;
    rasterise(layout, W, H, params.frameWidth, params.frameHeight, pool, &triangles, &meshes, &cover);

    std::vector<FrameLevel> allLevels;
    planLevels(params.frameWidth, params.frameHeight, &allLevels);
    const int maxLevel = static_cast<int>(allLevels.size()) - 1;
    // Only the levels some triangle reaches are made per frame.
    int lastLevel = 0;
    for (const Triangle& t : triangles)
        if (t.lod > 0.0) lastLevel = std::max(lastLevel, std::min(maxLevel, static_cast<int>(std::min(t.lod, 64.0)) + 1));
    table->levels = allLevels;
    if (!placeLevels(table, lastLevel + 1, error)) return false;

    std::vector<float> fade;
    if (!stereo) {
        fade.resize(meshes.size() * static_cast<size_t>(W));
        for (size_t m = 0; m < meshes.size(); ++m)
            for (int tx = 0; tx < W; ++tx)
                fade[m * W + tx] = stitchlayout::stitchFadeAlpha(static_cast<float>(W / 2.0 - (tx + 0.5)),
                                                                 meshes[m].planeLeft, blendWidth);
    }
    const FirstPass pass{W, H, stereo, blendWidth, isIdentity(params.rotation), params.rotation, triangles, meshes, cover,
                         fade};
    table->bands.resize(static_cast<size_t>((H + kBandRows - 1) / kBandRows));
    // Room for two taps a pixel: only address space until written. Without
    // that much address space the store grows as it fills.
    try {
        table->taps.reserve(static_cast<size_t>(W) * static_cast<size_t>(H) * 2);
    } catch (const std::bad_alloc&) {
    }
    std::mutex tapsLock;
    pool.run(table->bands.size(), [&](size_t b) {
        TableBand& band = table->bands[b];
        band.row0 = static_cast<int>(b) * kBandRows;
        band.row1 = std::min(H, band.row0 + kBandRows);
        buildBand(pass, *table, lastLevel, &band, &table->taps, &tapsLock);
    });
    markNeededTexels(table);
    return true;
}

}  // namespace stitcher
