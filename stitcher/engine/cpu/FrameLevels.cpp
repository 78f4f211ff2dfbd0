#include "FrameLevels.h"

#include <algorithm>
#include <cstring>

#include "SampleKernel.h"
#include "WorkerPool.h"

namespace stitcher {

namespace {

const int kRowsPerItem = 16;

struct Plane {
    const uint8_t* data;
    size_t stride;
};

// Any ratio: each texel from the two nearest source texels each way; P
// bytes a texel.
template <int P>
void resampleRow(const uint8_t* a, const uint8_t* b, unsigned fy, const LevelResample& r, int x0, int x1,
                 uint8_t* out) {
    for (int x = x0; x < x1; ++x) {
        const uint8_t* a0 = a + static_cast<size_t>(r.srcX0[x]) * P;
        const uint8_t* a1 = a + static_cast<size_t>(r.srcX1[x]) * P;
        const uint8_t* b0 = b + static_cast<size_t>(r.srcX0[x]) * P;
        const uint8_t* b1 = b + static_cast<size_t>(r.srcX1[x]) * P;
        const unsigned fx = r.fracX[x];
        uint8_t* o = out + static_cast<size_t>(x) * P;
        for (int c = 0; c < P; ++c) {
            const unsigned top = a0[c] * (256 - fx) + a1[c] * fx;
            const unsigned bottom = b0[c] * (256 - fx) + b1[c] * fx;
            o[c] = static_cast<uint8_t>((top * (256 - fy) + bottom * fy + 32768) >> 16);
        }
    }
}

// Repeats the last column and row into the padding of a level smaller than 2 x 2.
void padLevel(const FrameLevel& level, uint8_t* origin, size_t stride, size_t texel) {
    if (level.storedWidth > level.width)
        for (int y = 0; y < level.height; ++y) std::memcpy(origin + y * stride + texel, origin + y * stride, texel);
    if (level.storedHeight > level.height)
        std::memcpy(origin + stride, origin, static_cast<size_t>(level.storedWidth) * texel);
}

}  // namespace

void makeFrameLevels(const SampleTable& table, const uint8_t* frame, uint8_t* levelBuffer, WorkerPool& pool) {
    const size_t stride = table.levelStride;
    const size_t texel = static_cast<size_t>(table.texelBytes);
    for (size_t l = 0; l < table.levels.size(); ++l) {
        const FrameLevel& level = table.levels[l];
        if (!level.inLevelBuffer) continue;
        uint8_t* dst = levelBuffer + level.origin;
        if (l == 0) {  // a frame too small to read 2 x 2 blocks from
            for (int y = 0; y < level.height; ++y)
                std::memcpy(dst + y * stride, frame + y * table.frameStride, static_cast<size_t>(level.width) * texel);
            padLevel(level, dst, stride, texel);
            continue;
        }
        const FrameLevel& above = table.levels[l - 1];
        const Plane src = above.inLevelBuffer ? Plane{levelBuffer + above.origin, stride}
                                              : Plane{frame, table.frameStride};
        const LevelResample& r = level.fromAbove;
        const size_t items = (static_cast<size_t>(level.height) + kRowsPerItem - 1) / kRowsPerItem;
        pool.run(items, [&](size_t item) {
            const int y0 = static_cast<int>(item) * kRowsPerItem;
            const int y1 = std::min(level.height, y0 + kRowsPerItem);
            for (int y = y0; y < y1; ++y) {
                const int x0 = level.rowBegin[y], x1 = level.rowEnd[y];
                if (x0 >= x1) continue;
                uint8_t* out = dst + y * stride;
                const uint8_t* a = src.data + static_cast<size_t>(r.srcY0[y]) * src.stride;
                const uint8_t* b = src.data + static_cast<size_t>(r.srcY1[y]) * src.stride;
                if (r.halves)
                    halveRow(a, b, x0, x1, out, table.texelBytes);
                else if (texel == 4)
                    resampleRow<4>(a, b, r.fracY[y], r, x0, x1, out);
                else
                    resampleRow<3>(a, b, r.fracY[y], r, x0, x1, out);
            }
        });
        padLevel(level, dst, stride, texel);
    }
}

}  // namespace stitcher
