// The CPU engine's set-up: for every output pixel, which texels of the
// dual-fisheye frame (or of its prefiltered levels) it blends and with what
// weights, worked out once from the renderer's own geometry so that the
// per-frame work is only sampling.
//
// The picture is the renderer's: its first pass draws the layout's meshes
// over a transparent black panorama, the rasteriser interpolating texture
// coordinates linearly across each triangle, sampling the frame through
// mipmaps (trilinear) and blending each mesh over the ones drawn before it
// with the layout's alpha; its second pass looks every output pixel's
// rotated direction up in that panorama (nearest texel). So an output pixel
// is a fixed blend of at most a few bilinear reads of the frame's levels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Engine.h"
#include "HugePages.h"
#include "Status.h"

namespace stitcher {

class WorkerPool;

// One bilinear read: a 2 x 2 block of texels and the weight of each.
struct SampleTap {
    // Byte offset of the block's top-left texel in its buffer, and flags.
    uint32_t where;
    // Top-left, top-right, bottom-left, bottom-right weight, one byte each
    // from the lowest. The taps of one pixel add up to at most kWeightOne.
    uint32_t weights;

    static constexpr uint32_t kLast = 1u << 31;    // last tap of its pixel
    static constexpr uint32_t kLens1 = 1u << 30;   // reads lens 1's image
    static constexpr uint32_t kLevels = 1u << 29;  // reads the level buffer, not the frame
    static constexpr uint32_t kOffsetMask = kLevels - 1;
};

// Weight of a fully covered pixel.
constexpr int kWeightOne = 255;

// How one level is made from the one above it, as the driver's mipmap
// generation does: a linear resample of the whole level, one destination
// texel from the two nearest source texels each way.
struct LevelResample {
    std::vector<int32_t> srcX0, srcX1;  // source texel per destination column (clamped)
    std::vector<uint8_t> fracX;         // weight of srcX1, 1/256ths
    std::vector<int32_t> srcY0, srcY1;
    std::vector<uint8_t> fracY;
    bool halves = false;                // exactly 2 x 2 source texels per texel
};

// One level of the frame: level 0 is the frame itself, each further one
// half the size (rounded down, at least 1).
struct FrameLevel {
    int width = 0, height = 0;              // its texel size
    int storedWidth = 0, storedHeight = 0;  // at least 2 x 2, edges repeated
    bool inLevelBuffer = false;             // else the caller's frame
    size_t origin = 0;                      // byte offset of its first texel
    LevelResample fromAbove;                // levels > 0
    // Per texel row, the columns [begin, end) that the table reads, directly
    // or through the levels below: only those are made per frame.
    std::vector<int32_t> rowBegin, rowEnd;
};

// Pixels are listed by tiles of this many columns across a band, and
// within a tile row after row, so that neighbouring reads stay in cache.
constexpr int kTileColumns = 32;

// Output rows [row0, row1) and the taps of their pixels (the table's taps
// [tapBegin, tapEnd)), tile by tile; a pixel's taps of lens 0 come before
// those of lens 1. Neighbours whose taps match in count, lens and buffer are
// sampled together as a group: a pair (columns 2k, 2k + 1 of a tile) or a
// quad (4k .. 4k + 3). A pair's taps alternate, the first pixel's then the
// second's; a quad's go by pairs of taps, pixels 0 and 1, then 2 and 3.
struct TableBand {
    int row0 = 0, row1 = 0;
    size_t tapBegin = 0, tapEnd = 0;
    // Per tile row, in the order of the taps: bit k marks the pair that
    // starts at the tile's column k; bits k and k + 1 the quad there.
    std::vector<uint32_t> groups;
};

struct SampleTable {
    int outWidth = 0, outHeight = 0;
    size_t outStride = 0;
    int frameWidth = 0, frameHeight = 0;
    size_t frameStride = 0;
    int texelBytes = 3;  // of the frame, the levels and the output (EngineSpec::texelBytes)
    // Levels 0 .. levels.size() - 1 are read; those in the level buffer
    // are made per frame.
    std::vector<FrameLevel> levels;
    size_t levelStride = 0;      // bytes per row of the level buffer
    size_t levelBytes = 0;       // size of the level buffer
    std::vector<TableBand> bands;
    HugePageVector<SampleTap> taps;  // the bands', each band's together

    size_t tapCount() const;
};

// Builds the table for what `params` asks, its view rotation included; fails
// with the reason where that cannot be stitched.
Status buildSampleTable(const EngineSpec& params, WorkerPool& pool, SampleTable* table);

// Groups the pixels of one tile row whose taps (pixel i's from starts[i] to
// starts[i + 1]) match in count, lens and buffer, as TableBand describes;
// returns the row's group mask.
uint32_t groupTileRow(const size_t* starts, int pixels, SampleTap* taps);

// The stitched panorama as a field over continuous positions: for a point
// of the identity-view panorama, the taps of the lens pictures that show it,
// blended as the table blends them, each lens read at the level of detail
// that an output pixel of the given footprint needs. A view that moves
// every frame is sampled through it from the lenses in one resample,
// without building a table.
class PanoramaField {
public:
    // Most taps one position gives, the last's room included.
    static constexpr int kMaxTaps = 9;
    // Per thread: its scratch for working out taps.
    class Reader;
    struct ReaderEnd {
        void operator()(Reader* r) const;
    };
    using ReaderPtr = std::unique_ptr<Reader, ReaderEnd>;

    PanoramaField();
    ~PanoramaField();
    PanoramaField(const PanoramaField&) = delete;
    PanoramaField& operator=(const PanoramaField&) = delete;

    // The panorama's geometry for `params` (its view left out: the field is
    // the identity view's), and into `table` its sizes and the frame's
    // levels, each made whole per frame, down to level `lastLevel` at least
    // where the frame has it. The table gets no taps.
    Status build(const EngineSpec& params, int lastLevel, WorkerPool& pool, SampleTable* table);
    ReaderPtr reader() const;

    int width() const;
    int height() const;
    // Writes the taps at panorama position (x, y) (texel centres at whole
    // numbers; x wraps around) to `out`, room for kMaxTaps; `step` is how far
    // in the panorama one output pixel reaches along its row (step[0], step[1])
    // and down its column (step[2], step[3]). Returns how many.
    size_t taps(Reader& reader, double x, double y, const double step[4], SampleTap* out) const;

    // Where the last mesh drawn at position (x, y) shows its lens in full,
    // or blends it (alpha) over another lens's mesh that is opaque there,
    // and no fall-off is lifted: the lenses, their texture positions and
    // levels of detail for the footprint `step` (under: -1 where the first
    // shows alone). False elsewhere.
    struct LensPoint {
        int lens;
        double u, v, lod, alpha;
        int under;
        double u2, v2, lod2;
    };
    bool lensPoint(double x, double y, const double step[4], LensPoint* p) const;
    // A straight run of pixels over such points: pixel i reads (u + i du,
    // v + i dv) of `lens` with weight alpha + i dalpha, and where `under`
    // is a lens, the rest from it at (u2 + i du2, v2 + i dv2).
    struct LensRun {
        int lens, under;
        double u, v, du, dv, lod, alpha, dalpha;
        double u2, v2, du2, dv2, lod2;
    };
    // Which level or levels (and how shared) a sample of level of detail
    // `lod` reads: equal for equal reads.
    int levelKey(double lod) const;
    // The taps of n such pixels, one pixel after another from out[0];
    // starts[i] gets `base` plus where pixel i's taps begin. Returns how many.
    size_t runTaps(Reader& reader, const LensRun& run, int n, SampleTap* out, size_t base, size_t* starts) const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace stitcher
