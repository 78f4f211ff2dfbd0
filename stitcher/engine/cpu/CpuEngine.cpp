// How the CPU engine works.
//
// Set-up, once per engine (SampleTable.cpp): the renderer's own geometry
// (the layout's meshes, from the lens calibration) is rasterised into a
// coverage map of the panorama, which says which triangles, in drawing
// order, cover each texel. Every output pixel is then followed through the
// view rotation to its panorama texel, and the meshes covering it are
// blended as the renderer blends them, each read bilinearly from the one or
// two levels of the frame that its triangle's level of detail picks. What
// comes out is a table of taps, each a 2 x 2 block of the frame or of a
// prefiltered level with four 8-bit weights; on real calibrations most
// pixels have one or two. The taps are stored band by band of output rows,
// tile by tile, and neighbours with matching taps are marked to be sampled
// together.
//
// Per frame: the levels the table reads are made, only the texels it needs
// (FrameLevels.cpp), then the pool's threads sample the bands
// (SampleKernel.cpp): per tap, two 8-byte loads and a few vector
// multiply-adds; per pixel, one multiply by each lens's gain, which also
// scales the sum back to bytes. No geometry is left to work out and nothing
// is allocated, so a frame costs about one pass over the table plus its
// scattered texel reads; stitchYuv() converts each band to YUV while it is
// still in cache.
#include "CpuEngine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <exception>
#include <vector>

#include "FrameLevels.h"
#include "SampleKernel.h"
#include "SampleTable.h"
#include "DirectTable.h"
#include "SeamWarp.h"
#include "ViewRemap.h"
#include "WorkerPool.h"
#include "YuvConvert.h"

namespace stitcher {

struct CpuEngine::State {
    EngineSpec params;
    std::unique_ptr<WorkerPool> pool;
    SampleTable table;
    HugePageVector<uint8_t> levels;
    LensGains gains;
    double rim[2] = {1.0, 1.0};  // each lens's fall-off at the rim, folded into the table
    // Per pool thread, one band's packed rows on their way to YUV.
    HugePageVector<uint8_t> bandRows;
    size_t bandBytes = 0;
    // A band converts alone only where its rows pair up as in the whole picture.
    bool evenBands = true;
    // With a rotation per frame on the panorama: the identity-view panorama
    // and its lookup.
    bool turned = false;
    HugePageVector<uint8_t> identityView;
    ViewRemap remap;
    // The seams' warp, where a disparity has been set, and where each tile
    // of each table band begins in its taps (made once the warp has work),
    // for passing over the tiles that the warp redoes.
    std::unique_ptr<SeamWarp> seam;
    std::vector<std::vector<size_t>> tileTaps;
    // A flat or planet output: the lenses sampled straight into the view,
    // band by band (DirectTable.h), under a view that may move per frame.
    bool direct = false;
    DirectTable view;
    // The table or the view's: the sizes and levels each frame needs.
    const SampleTable& levelTable() const { return direct ? view.levels() : table; }
    size_t bandCount() const { return direct ? view.bandCount() : table.bands.size(); }
    int bandRow(size_t b) const { return direct ? view.bandRow(b) : table.bands[b].row0; }
    int bandEnd(size_t b) const { return b + 1 < bandCount() ? bandRow(b + 1) : params.outHeight(); }
    size_t outStride() const { return direct ? view.outStride() : table.outStride; }
};

CpuEngine::CpuEngine(std::unique_ptr<State> state) : state_(std::move(state)) {}

CpuEngine::~CpuEngine() = default;

Status CpuEngine::create(const EngineSpec& params, std::unique_ptr<CpuEngine>& engine) {
    try {
        return guarded([&]() -> Status {
            std::unique_ptr<State> state(new State);
            state->params = params;
            state->pool.reset(new WorkerPool(params.threads));
            Status st;
            if (params.perFrameRotation && params.layout != Layout::Stitch)
                return Status(kExitDisplay, "a view rotation per frame needs the stitch layout");
            if (params.texelBytes != 3 && params.texelBytes != 4)
                return Status(kExitDisplay, "the cpu engine takes pixels of 3 or 4 bytes");
            state->direct = params.reprojected();
            if (state->direct) {
                st = state->view.build(params, *state->pool);
            } else {
                // A panorama turned per frame is stitched in the identity view
                // and looked up along each pixel's turned direction.
                EngineSpec tableSpec = params;
                if (params.perFrameRotation)
                    for (int i = 0; i < 4; ++i)
                        for (int j = 0; j < 4; ++j) tableSpec.rotation[i][j] = i == j ? 1.0f : 0.0f;
                st = buildSampleTable(tableSpec, *state->pool, &state->table);
            }
            if (!st.ok()) return st;
            state->levels.assign(state->levelTable().levelBytes, 0);
            for (int lens = 0; lens < 2; ++lens) state->rim[lens] = params.falloff.flat() ? 1.0 : params.falloff.rim(lens);
            const float one[2][3] = {{1, 1, 1}, {1, 1, 1}};
            int tallest = 0;
            for (size_t b = 0; b < state->bandCount(); ++b) {
                const int row0 = state->bandRow(b);
                const int row1 = b + 1 < state->bandCount() ? state->bandRow(b + 1) : params.outHeight();
                tallest = std::max(tallest, row1 - row0);
                state->evenBands = state->evenBands && row0 % 2 == 0;
            }
            state->bandBytes = static_cast<size_t>(tallest) * state->outStride();
            state->bandRows.assign(state->bandBytes * static_cast<size_t>(state->pool->threads()), 0);
            if (params.perFrameRotation && !state->direct) {
                state->turned = true;
                state->identityView.assign(params.outBytes(), 0);
                state->remap.plan(params.outWidth(), params.outHeight(), params.texelBytes);
                state->remap.setRotation(params.rotation);
            }
            state->seam.reset(new SeamWarp(params, state->pool->threads()));
            engine.reset(new CpuEngine(std::move(state)));
            engine->setGains(one);
            return Status();
        }, [] { return Status(kExitDisplay, "not enough memory for the CPU engine's tables"); });
    } catch (const std::exception& e) {
        return Status(kExitDisplay, std::string("CPU engine set-up failed: ") + e.what());
    }
}

namespace {

// Table band b's rows into `rows`, less the tiles the seam warp redoes in full.
void sampleTable(CpuEngine::State& s, size_t b, const uint8_t* frame, const uint8_t* levels, uint8_t* rows) {
    const TableBand& band = s.table.bands[b];
    int runs[2][2];
    const int n = s.tileTaps.empty() ? 0 : s.seam->redoneTiles(band.row0, band.row1, runs);
    if (n == 0) {
        sampleBand(s.table, band, frame, levels, s.gains, rows);
        return;
    }
    const std::vector<size_t>& starts = s.tileTaps[b];
    int at = 0;
    for (int k = 0; k < n; ++k) {
        sampleBandTiles(s.table, band, starts, at, runs[k][0], frame, levels, s.gains, rows);
        at = runs[k][1];
    }
    sampleBandTiles(s.table, band, starts, at, static_cast<int>(starts.size()) - 1, frame, levels, s.gains, rows);
}

// The identity-view panorama of a frame, for the per-frame rotation's lookup.
void stitchIdentityView(CpuEngine::State& s, const uint8_t* frame) {
    const uint8_t* levels = s.levels.data();
    uint8_t* pano = s.identityView.data();
    s.pool->run(s.table.bands.size(), [&s, frame, levels, pano](size_t b) {
        const TableBand& band = s.table.bands[b];
        sampleTable(s, b, frame, levels, pano + static_cast<size_t>(band.row0) * s.table.outStride);
        s.seam->apply(frame, band.row0, band.row1, pano + static_cast<size_t>(band.row0) * s.table.outStride,
                      s.table.outStride, s.gains, s.pool->threadIndex());
    });
}

}  // namespace

namespace {

Status noBuffer() { return Status(kExitFailed, "the cpu engine was given no frame or no room for the panorama"); }

}  // namespace

Status CpuEngine::stitch(uint8_t* frame, uint8_t* out) { return stitchFrom(frame, out); }

Status CpuEngine::stitchFrom(const uint8_t* frame, uint8_t* out) {
    if (!frame || !out) return noBuffer();
    State& s = *state_;
    if (s.direct) {
        if (!s.levels.empty()) makeFrameLevels(s.levelTable(), frame, s.levels.data(), *s.pool);
        s.seam->prepare(frame, *s.pool);
        s.pool->run(s.bandCount(), [&s, frame, out](size_t b) {
            uint8_t* rows = out + static_cast<size_t>(s.bandRow(b)) * s.outStride();
            s.view.sampleBand(b, s.pool->threadIndex(), frame, s.levels.data(), s.gains, rows);
            s.seam->apply(frame, s.bandRow(b), s.bandEnd(b), rows, s.outStride(), s.gains, s.pool->threadIndex());
        });
        return Status();
    }
    if (!s.levels.empty()) makeFrameLevels(s.table, frame, s.levels.data(), *s.pool);
    s.seam->prepare(frame, *s.pool);
    const uint8_t* levels = s.levels.data();
    if (s.turned) {
        stitchIdentityView(s, frame);
        s.pool->run(s.table.bands.size(), [&s, out](size_t b) {
            const TableBand& band = s.table.bands[b];
            s.remap.remapRows(s.identityView.data(), s.table.outStride, band.row0, band.row1,
                              out + static_cast<size_t>(band.row0) * s.table.outStride);
        });
        return Status();
    }
    s.pool->run(s.table.bands.size(), [&s, frame, levels, out](size_t b) {
        const TableBand& band = s.table.bands[b];
        sampleTable(s, b, frame, levels, out + static_cast<size_t>(band.row0) * s.table.outStride);
        s.seam->apply(frame, band.row0, band.row1, out + static_cast<size_t>(band.row0) * s.table.outStride,
                      s.table.outStride, s.gains, s.pool->threadIndex());
    });
    return Status();
}

Status CpuEngine::stitchBands(const uint8_t* frame, const BandTaker& take) {
    if (!frame || !take) return noBuffer();
    State& s = *state_;
    if (!s.levels.empty()) makeFrameLevels(s.levelTable(), frame, s.levels.data(), *s.pool);
    s.seam->prepare(frame, *s.pool);
    if (s.direct) {
        s.pool->run(s.bandCount(), [&s, &take, frame](size_t b) {
            uint8_t* rows = s.bandRows.data() + static_cast<size_t>(s.pool->threadIndex()) * s.bandBytes;
            s.view.sampleBand(b, s.pool->threadIndex(), frame, s.levels.data(), s.gains, rows);
            s.seam->apply(frame, s.bandRow(b), s.bandEnd(b), rows, s.outStride(), s.gains, s.pool->threadIndex());
            take(s.bandRow(b), s.bandEnd(b), rows);
        });
        return Status();
    }
    const uint8_t* levels = s.levels.data();
    if (s.turned) stitchIdentityView(s, frame);
    s.pool->run(s.table.bands.size(), [&s, &take, frame, levels](size_t b) {
        const TableBand& band = s.table.bands[b];
        uint8_t* rows = s.bandRows.data() + static_cast<size_t>(s.pool->threadIndex()) * s.bandBytes;
        if (s.turned)
            s.remap.remapRows(s.identityView.data(), s.table.outStride, band.row0, band.row1, rows);
        else {
            sampleTable(s, b, frame, levels, rows);
            s.seam->apply(frame, band.row0, band.row1, rows, s.table.outStride, s.gains, s.pool->threadIndex());
        }
        take(band.row0, band.row1, rows);
    });
    return Status();
}

Status CpuEngine::stitchYuv(uint8_t* frame, const YuvPlanes& out) {
    if (!frame || !out.data[0] || !out.data[1] || !out.data[2]) return noBuffer();
    State& s = *state_;
    if (!writesYuv()) return Engine::stitchYuv(frame, out);
    return stitchBands(frame, [&s, &out](int r, int r1, const uint8_t* rows) {
        const int c = r / 2;
        bgrToYuv420(rows, static_cast<int>(s.outStride()), s.params.outWidth(), r1 - r,
                    out.data[0] + static_cast<ptrdiff_t>(r) * out.stride[0], out.stride[0],
                    out.data[1] + static_cast<ptrdiff_t>(c) * out.stride[1], out.stride[1],
                    out.data[2] + static_cast<ptrdiff_t>(c) * out.stride[2], out.stride[2]);
    });
}

bool CpuEngine::writesYuv() const { return state_->evenBands && state_->params.texelBytes == 3; }

Status CpuEngine::unpack(const SourcePicture& source, uint8_t* frame) {
    if (!frame) return noBuffer();
    if (state_->params.texelBytes != 3) return Status(kExitFailed, "the cpu engine unpacks into 3-byte pixels only");
    // Bands of an even number of rows, a few per thread, so that a thread
    // that is held up elsewhere leaves its share to the others.
    const int height = source.height();
    const size_t stride = static_cast<size_t>(source.width()) * 3;
    const int tasks = std::max(1, std::min(height / 16, 4 * state_->pool->threads()));
    const int rows = ((height + tasks - 1) / tasks + 1) & ~1;
    std::atomic<bool> failed{false};
    state_->pool->run(static_cast<size_t>(tasks), [&](size_t t) {
        const int r0 = std::min(height, static_cast<int>(t) * rows), r1 = std::min(height, r0 + rows);
        if (r0 < r1 && !source.toBgr(r0, r1, 0, source.width(), frame + static_cast<size_t>(r0) * stride, stride))
            failed = true;
    });
    if (failed) return Status(kExitFailed, "the decoded picture could not be converted");
    return Status();
}

void CpuEngine::setGains(const float gains[2][3]) {
    LensGains g;
    for (int lens = 0; lens < 2; ++lens)
        for (int c = 0; c < 3; ++c) {
            const float v = gains ? gains[lens][c] : 1.0f;
            // The table weighs each lens by rim / V(r): its rim value comes back here.
            g.q[lens][c] = gainFactor(static_cast<float>((std::isfinite(v) ? v : 1.0f) / state_->rim[lens]));
        }
    state_->gains = g;
}

bool CpuEngine::setRotation(const float m[4][4]) {
    if (!state_->params.perFrameRotation || !m) return false;
    if (state_->direct) {
        state_->view.setRotation(m);
        state_->seam->setView(m, state_->view.fov());
    } else
        state_->remap.setRotation(m);
    return true;
}

bool CpuEngine::setFov(double degrees) {
    if (!state_->params.perFrameRotation || !state_->params.reprojected() || !(degrees > 0.0 && degrees < 180.0)) return false;
    state_->view.setFov(degrees);
    return true;
}

bool CpuEngine::setSeamShift(const SeamShift& shift) {
    State& s = *state_;
    if (!s.seam->setShift(shift)) return false;
    if (s.seam->active() && !s.direct && s.tileTaps.empty()) {
        std::vector<std::vector<size_t>> starts(s.table.bands.size());
        s.pool->run(starts.size(), [&s, &starts](size_t b) { starts[b] = tileTaps(s.table, s.table.bands[b]); });
        s.tileTaps.swap(starts);
    }
    return true;
}

int CpuEngine::threads() const { return state_->pool->threads(); }

const EngineSpec& CpuEngine::params() const { return state_->params; }

size_t CpuEngine::tableBytes() const {
    return state_->table.tapCount() * sizeof(SampleTap) + state_->levels.size();
}

bool cpuEngineLinesUpSeams(const EngineSpec& params) { return SeamWarp::usableFor(params); }

Status makeCpuEngine(const EngineSpec& params, std::unique_ptr<Engine>& engine) {
    std::unique_ptr<CpuEngine> cpu;
    Status st = CpuEngine::create(params, cpu);
    if (st.ok()) engine = std::move(cpu);
    return st;
}

}  // namespace stitcher
