// Per-frame sampling, compiled once per instruction set and chosen at run
// time. A tap reads its 2 x 2 block as two 8-byte rows (texels 0 and 1 of
// the top row, then texels 0 and 1 of the bottom row read from two bytes
// earlier, so that no read passes the block's last texel), weighs the
// bytes in 16-bit lanes and adds them to the pixel's sum, which is divided
// by kWeightOne once per pixel. Frames of 4-byte texels (SampleTable::texelBytes)
// read each row of a block as exactly its two texels, the fourth bytes
// weighed by 0, and get 4-byte pixels out, the fourth byte 255.
#include "SampleKernel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "SampleKernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef STITCHER_SAMPLE_KERNEL_SHARED
#define STITCHER_SAMPLE_KERNEL_SHARED
// The per-pixel work is written as lambdas; they belong inside the loops.
#define KERNEL_INLINE_LAMBDA __attribute__((always_inline))
namespace stitcher {
namespace kernel {

// The tiles of a band sampled, [first, end), and where the first one's taps begin.
struct Tiles {
    int first, end;
    size_t tap;
};

// A pixel from its lens shares (weighted sums, 16 bits each) and their
// gains: the gained sum in 1/16 of a level, rounded and saturated.
inline uint32_t gainedValue(uint32_t share0, uint32_t share1, uint32_t gain0, uint32_t gain1) {
    const uint32_t v = ((share0 * gain0) >> 16) + ((share1 * gain1) >> 16);
    return (v + 8) >> 4 < 255u ? (v + 8) >> 4 : 255u;
}

// The lens of a tap, 0 or 1.
inline unsigned tapLens(const SampleTap& t) { return (t.where >> 30) & 1u; }

// B, G, R in the low three bytes. All but a row's last pixel are written
// with one 4-byte store whose fourth byte the next pixel overwrites; a
// 4-byte pixel gets 255 there.
constexpr uint32_t kOpaque = 0xFF000000u;
template <int P>
inline void storePixel(uint8_t* o, uint32_t bgr, bool lastInRow) {
    if (P == 4) {
        bgr |= kOpaque;
        std::memcpy(o, &bgr, 4);
    } else if (__builtin_expect(lastInRow, 0)) {
        o[0] = static_cast<uint8_t>(bgr);
        o[1] = static_cast<uint8_t>(bgr >> 8);
        o[2] = static_cast<uint8_t>(bgr >> 16);
    } else {
        std::memcpy(o, &bgr, 4);
    }
}

// One byte of a level made by halving: the rounded average of a 2 x 2 block.
inline uint8_t halveByte(unsigned a0, unsigned a1, unsigned b0, unsigned b1) {
    return static_cast<uint8_t>((a0 + a1 + b0 + b1 + 2) >> 2);
}

template <int P>
inline void halveRange(const uint8_t* a, const uint8_t* b, int x0, int x1, uint8_t* out) {
    for (int x = x0; x < x1; ++x)
        for (int c = 0; c < P; ++c) {
            const size_t i = static_cast<size_t>(x) * 2 * P + c;
            out[static_cast<size_t>(x) * P + c] = halveByte(a[i], a[i + P], b[i], b[i + P]);
        }
}

struct Sources {
    const uint8_t* base[2];  // frame, level buffer
    size_t stride[2];
};

inline const uint8_t* tapBlock(const SampleTap& t, const Sources& s, size_t* stride) {
    const unsigned which = (t.where >> 29) & 1u;  // SampleTap::kLevels
    *stride = s.stride[which];
    return s.base[which] + (t.where & SampleTap::kOffsetMask);
}

// A remapped pixel (remapRun) in the low three bytes, B, G, R: the 2 x 2
// block at (x, y), 16.16 fixed point, weighed by 8 bits of each fraction,
// each row's pair to 1/16 of a level first, then the two rows.
template <int P>
inline uint32_t remapPixel(const uint8_t* src, size_t stride, int32_t x, int32_t y) {
    const uint32_t fx = static_cast<uint32_t>(x >> 8) & 255u, fy = static_cast<uint32_t>(y >> 8) & 255u;
    const uint8_t* a = src + static_cast<size_t>(y >> 16) * stride + static_cast<size_t>(P) * static_cast<size_t>(x >> 16);
    const uint8_t* c = a + stride;
    uint32_t bgr = 0;
    for (int k = 0; k < 3; ++k) {
        const uint32_t top = a[k] * (256u - fx) + a[P + k] * fx, bottom = c[k] * (256u - fx) + c[P + k] * fx;
        bgr |= (((top >> 4) * (256u - fy) + (bottom >> 4) * fy + 2048u) >> 12) << (8 * k);
    }
    return bgr;
}

}  // namespace kernel
}  // namespace stitcher
#endif

HWY_BEFORE_NAMESPACE();
namespace stitcher {
namespace HWY_NAMESPACE {

// Calls group(ways, o, lastInRow) for each lone pixel (ways 1), pair (2) and
// quad (4) of the band, in the order the table lists them, o pointing at the
// group's first output byte (`out` holds the band's first row, P bytes a
// pixel) and lastInRow saying whether its last pixel ends its row.
// Only the tiles [tile0, tile1) (the band's first and last by default).
template <int P, class Group>
HWY_INLINE void forEachGroup(const SampleTable& table, const TableBand& band, const kernel::Tiles& tiles, uint8_t* out,
                             Group group) {
    const uint32_t* masks = band.groups.data() + static_cast<size_t>(tiles.first) * static_cast<size_t>(band.row1 - band.row0);
    const int end = tiles.end * kTileColumns < table.outWidth ? tiles.end * kTileColumns : table.outWidth;
    for (int c0 = tiles.first * kTileColumns; c0 < end; c0 += kTileColumns) {
        const int c1 = c0 + kTileColumns < table.outWidth ? c0 + kTileColumns : table.outWidth;
        for (int row = band.row0; row < band.row1; ++row) {
            const uint32_t mask = *masks++;
            uint8_t* o = out + static_cast<size_t>(row - band.row0) * table.outStride + static_cast<size_t>(c0) * P;
            for (int col = c0; col < c1;) {
                const unsigned bits = mask >> (col - c0) & 3u;
                const int ways = bits == 3u ? 4 : bits == 1u ? 2 : 1;
                group(ways, o, col + ways - 1 == table.outWidth - 1);
                col += ways;
                o += P * ways;
            }
        }
    }
}

// Each pixel of a group alone, reading every `ways`th tap. pixel(first,
// step, &bgr) returns the number of taps the pixel has.
template <int P, class Pixel>
HWY_INLINE const SampleTap* groupAlone(const SampleTap* tap, int ways, uint8_t* o, bool lastInRow, Pixel pixel) {
    uint32_t bgr[4];
    size_t n = 0;
    for (int w = 0; w < ways; ++w) n = pixel(tap + w, static_cast<size_t>(ways), &bgr[w]);
    for (int w = 0; w < ways; ++w) kernel::storePixel<P>(o + P * w, bgr[w], lastInRow && w == ways - 1);
    return tap + n * static_cast<size_t>(ways);
}

#if HWY_TARGET == HWY_SCALAR

// Three 16-bit lanes in a 64-bit word.
inline uint64_t spread(uint32_t t) {
    return (t & 0xFFu) | (static_cast<uint64_t>(t & 0xFF00u) << 8) | (static_cast<uint64_t>(t & 0xFF0000u) << 16);
}

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

template <int P>
void sampleTiles(const SampleTable& table, const TableBand& band, const kernel::Tiles& tiles, const kernel::Sources& src,
                 const LensGains& gains, uint8_t* out) {
    // A row's second texel: three bytes on, read from two bytes on and
    // shifted, so that no read passes the block; or four bytes on.
    const auto second = [](const uint8_t* p) { return P == 4 ? load32(p + 4) : load32(p + 2) >> 8; };
    const auto pixel = [&](const SampleTap* tap, size_t step, uint32_t* value) KERNEL_INLINE_LAMBDA {
        // One running sum; lens 0's part is set aside where lens 1's taps begin.
        uint64_t acc = 0, lens0 = 0;
        unsigned lens = 0;
        size_t n = 0;
        for (;; ++n) {
            const SampleTap& t = tap[n * step];
            if (kernel::tapLens(t) != lens) {
                lens0 = acc;
                acc = 0;
                lens = 1;
            }
            size_t s;
            const uint8_t* p = kernel::tapBlock(t, src, &s);
            const uint32_t w = t.weights;
            acc += spread(load32(p)) * (w & 0xFF) + spread(second(p)) * ((w >> 8) & 0xFF) +
                   spread(load32(p + s)) * ((w >> 16) & 0xFF) + spread(second(p + s)) * (w >> 24);
            if (t.where & SampleTap::kLast) break;
        }
        uint32_t bgr = 0;
        for (int k = 0; k < 3; ++k)
            bgr |= kernel::gainedValue(static_cast<uint32_t>(lens0 >> (16 * k)) & 0xFFFF,
                                       static_cast<uint32_t>(acc >> (16 * k)) & 0xFFFF, gains.q[0][k], gains.q[lens][k])
                   << (8 * k);
        *value = bgr;
        return n + 1;
    };
    const SampleTap* tap = table.taps.data() + tiles.tap;
    forEachGroup<P>(table, band, tiles, out, [&](int ways, uint8_t* o, bool lastInRow) KERNEL_INLINE_LAMBDA {
        tap = groupAlone<P>(tap, ways, o, lastInRow, pixel);
    });
}

void HalveRowImpl(const uint8_t* a, const uint8_t* b, int x0, int x1, uint8_t* out) {
    kernel::halveRange<3>(a, b, x0, x1, out);
}

void HalveRow4Impl(const uint8_t* a, const uint8_t* b, int x0, int x1, uint8_t* out) {
    kernel::halveRange<4>(a, b, x0, x1, out);
}

#else

namespace hn = hwy::HWY_NAMESPACE;

// Lanes 0-2 of each 128-bit block: the B, G, R sums of a pixel's weighted
// top and bottom rows (3-byte texels: the bottom row read two bytes early;
// 4-byte ones: each row's second texel in lanes 4-6).
template <int P, class D, class V>
HWY_INLINE V weightedRowSums(D d16, V top, V bottom) {
    if (P == 4) {
        const V rows = hn::Add(top, bottom);
        return hn::Add(rows, hn::ShiftRightLanes<4>(d16, rows));
    }
    return hn::Add(hn::Add(top, hn::ShiftRightLanes<3>(d16, top)),
                   hn::Add(hn::ShiftRightLanes<2>(d16, bottom), hn::ShiftRightLanes<5>(d16, bottom)));
}

// Where a block's bottom row is read, from its top-left texel plus the row
// stride: 3-byte texels two bytes early, so that no read passes the block.
template <int P>
constexpr size_t kBottomBack = P == 4 ? 0 : 2;

// Four texels at a time: 24 bytes of each source row in, 12 bytes out.
void HalveRowImpl(const uint8_t* a, const uint8_t* b, int x0, int x1, uint8_t* out) {
    const hn::Full128<uint8_t> d8;
    const hn::Full64<uint8_t> d8x8;
    const hn::Full128<uint16_t> d16;
    const hn::Full128<int16_t> di16;
    // Bytes 0-7 hold the sums for source bytes 0-7, bytes 8-15 those for 8-15,
    // of which each output texel takes the first three of every six.
    alignas(16) static const uint8_t kFirst[16] = {0, 1, 2, 6, 7, 8, 12, 13, 14, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
    alignas(16) static const uint8_t kSecond[16] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 2, 3, 4, 0x80, 0x80, 0x80, 0x80};
    const auto first = hn::Load(d8, kFirst), second = hn::Load(d8, kSecond);
    const auto two = hn::Set(d16, 2);
    int x = x0;
    // The 16-byte store writes 4 bytes past the 12: leave the last group to the scalar code.
    for (; x + 6 <= x1; x += 4) {
        const size_t i = static_cast<size_t>(x) * 6;
        // Column sums of the two rows, source bytes 0-7, 8-15, 16-23.
        const auto s0 = hn::Add(hn::PromoteTo(d16, hn::LoadU(d8x8, a + i)), hn::PromoteTo(d16, hn::LoadU(d8x8, b + i)));
        const auto s1 = hn::Add(hn::PromoteTo(d16, hn::LoadU(d8x8, a + i + 8)), hn::PromoteTo(d16, hn::LoadU(d8x8, b + i + 8)));
        const auto s2 = hn::Add(hn::PromoteTo(d16, hn::LoadU(d8x8, a + i + 16)), hn::PromoteTo(d16, hn::LoadU(d8x8, b + i + 16)));
        // Each plus the same channel of the next texel, three bytes on.
        const auto t0 = hn::Add(s0, hn::CombineShiftRightBytes<6>(d16, s1, s0));
        const auto t1 = hn::Add(s1, hn::CombineShiftRightBytes<6>(d16, s2, s1));
        const auto t2 = hn::Add(s2, hn::ShiftRightLanes<3>(d16, s2));
        const auto q0 = hn::DemoteTo(d8x8, hn::BitCast(di16, hn::ShiftRight<2>(hn::Add(t0, two))));
        const auto q1 = hn::DemoteTo(d8x8, hn::BitCast(di16, hn::ShiftRight<2>(hn::Add(t1, two))));
        const auto q2 = hn::DemoteTo(d8x8, hn::BitCast(di16, hn::ShiftRight<2>(hn::Add(t2, two))));
        const auto q01 = hn::Combine(d8, q1, q0);
        const auto q2x = hn::Combine(d8, q2, q2);
        hn::StoreU(hn::Or(hn::TableLookupBytesOr0(q01, first), hn::TableLookupBytesOr0(q2x, second)), d8,
                   out + static_cast<size_t>(x) * 3);
    }
    kernel::halveRange<3>(a, b, x, x1, out);
}

// 4-byte texels, two at a time: 16 bytes of each source row in, 8 out.
void HalveRow4Impl(const uint8_t* a, const uint8_t* b, int x0, int x1, uint8_t* out) {
    const hn::Full64<uint8_t> d8x8;
    const hn::Full128<uint16_t> d16;
    const hn::Full128<uint64_t> d64;
    const hn::Full128<int16_t> di16;
    const auto two = hn::Set(d16, 2);
    int x = x0;
    for (; x + 2 <= x1; x += 2) {
        const size_t i = static_cast<size_t>(x) * 8;
        // Column sums of the source texels 0 and 1, and 2 and 3, four 16-bit lanes a texel.
        const auto s0 = hn::Add(hn::PromoteTo(d16, hn::LoadU(d8x8, a + i)), hn::PromoteTo(d16, hn::LoadU(d8x8, b + i)));
        const auto s1 = hn::Add(hn::PromoteTo(d16, hn::LoadU(d8x8, a + i + 8)), hn::PromoteTo(d16, hn::LoadU(d8x8, b + i + 8)));
        // Texels 0 and 2 beside texels 1 and 3: their sum is each output texel's block.
        const auto e0 = hn::BitCast(d64, s0), e1 = hn::BitCast(d64, s1);
        const auto sum = hn::Add(hn::BitCast(d16, hn::InterleaveLower(d64, e0, e1)), hn::BitCast(d16, hn::InterleaveUpper(d64, e0, e1)));
        hn::StoreU(hn::DemoteTo(d8x8, hn::BitCast(di16, hn::ShiftRight<2>(hn::Add(sum, two)))), d8x8,
                   out + static_cast<size_t>(x) * 4);
    }
    kernel::halveRange<4>(a, b, x, x1, out);
}

// The per-pixel work below is split into steps that are all inlined into
// sampleTiles(), one loop per band: a call per pixel or per tap would cost
// more than the step, and the vectors of gains and indices stay in registers.

// Weight bytes 0..3 spread to 16-bit lanes: the top row holds texel 0 in
// lanes 0-2 and texel 1 in lanes 3-5; the bottom row, read two bytes early,
// texel 0 in lanes 2-4 and texel 1 in lanes 5-7.
alignas(16) static const uint8_t kTop[16] = {0, 0x80, 0, 0x80, 0, 0x80, 1, 0x80, 1, 0x80, 1, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) static const uint8_t kBottom[16] = {0x80, 0x80, 0x80, 0x80, 2, 0x80, 2, 0x80,
                                                2, 0x80, 3, 0x80, 3, 0x80, 3, 0x80};
// 4-byte texels: texel 0 in lanes 0-2 and texel 1 in lanes 4-6 of either
// row, the fourth bytes (lanes 3 and 7) weighed by 0.
alignas(16) static const uint8_t kTop4[16] = {0, 0x80, 0, 0x80, 0, 0x80, 0x80, 0x80, 1, 0x80, 1, 0x80, 1, 0x80, 0x80, 0x80};
alignas(16) static const uint8_t kBottom4[16] = {2, 0x80, 2, 0x80, 2, 0x80, 0x80, 0x80, 3, 0x80, 3, 0x80, 3, 0x80, 0x80, 0x80};

using V16 = hn::Vec<hn::Full128<uint16_t>>;
using V8 = hn::Vec<hn::Full128<uint8_t>>;

// A lens's gains in lanes 0-2 (B, G, R), 0 in the others.
HWY_INLINE V16 gainLanes(const LensGains& gains, int lens) {
    alignas(16) uint16_t g[8] = {};
    for (int c = 0; c < 3; ++c) g[c] = gains.q[lens][c];
    return hn::Load(hn::Full128<uint16_t>(), g);
}

// Each lens's share (lanes 0-2 of every 128-bit block) times its gain, in
// 1/16 of a level, rounded and narrowed to bytes. The sum cannot pass 16
// bits: the shares add up to at most the full scale. `share1` is the share
// of lens `lens`, which is lens 0's whole sum where a pixel reads lens 0 alone.
template <class D16, class V>
HWY_INLINE auto gainedBytes(D16 d16, V share0, V share1, unsigned lens, V gain0, V gain1) {
    const auto v = hn::Add(hn::MulHigh(share1, lens ? gain1 : gain0), hn::MulHigh(share0, gain0));
    const auto q = hn::ShiftRight<4>(hn::Add(v, hn::Set(d16, 8)));
    return hn::DemoteTo(hn::Rebind<uint8_t, D16>(), hn::BitCast(hn::RebindToSigned<D16>(), q));
}

// One pixel alone, whose taps are tap[0], tap[step], ...: its B, G, R in the
// low three bytes of *value. One running sum; lens 0's part is set aside
// where lens 1's taps begin. Returns the pixel's tap count.
template <int P>
HWY_INLINE size_t samplePixel(const SampleTap* tap, size_t step, const kernel::Sources& src,
                              V16 gain0, V16 gain1, uint32_t* value) {
    const hn::Full128<uint16_t> d16;
    const hn::Full128<uint8_t> d8;
    const hn::Full128<uint32_t> d32;
    const hn::Full64<uint8_t> d8x8;
    const auto topIndex = hn::Load(d8, P == 4 ? kTop4 : kTop), bottomIndex = hn::Load(d8, P == 4 ? kBottom4 : kBottom);
    auto top = hn::Zero(d16), bottom = hn::Zero(d16);
    auto share0 = top;
    unsigned lens = 0;
    size_t n = 0;
    for (;; ++n) {
        const SampleTap& t = tap[n * step];
        if (kernel::tapLens(t) != lens) {
            share0 = weightedRowSums<P>(d16, top, bottom);
            top = bottom = hn::Zero(d16);
            lens = 1;
        }
        size_t s;
        const uint8_t* p = kernel::tapBlock(t, src, &s);
        const auto weights = hn::BitCast(d8, hn::Set(d32, t.weights));
        top = hn::Add(top, hn::Mul(hn::PromoteTo(d16, hn::LoadU(d8x8, p)),
                                   hn::BitCast(d16, hn::TableLookupBytesOr0(weights, topIndex))));
        bottom = hn::Add(bottom, hn::Mul(hn::PromoteTo(d16, hn::LoadU(d8x8, p + s - kBottomBack<P>)),
                                         hn::BitCast(d16, hn::TableLookupBytesOr0(weights, bottomIndex))));
        if (t.where & SampleTap::kLast) break;
    }
    const auto bytes = gainedBytes(d16, share0, weightedRowSums<P>(d16, top, bottom), lens, gain0, gain1);
    *value = hn::GetLane(hn::BitCast(hn::Full64<uint32_t>(), bytes));
    return n + 1;
}

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
// Neighbours sampled together, a group in one vector: pixel k of it in
// 128-bit block k with the same lanes as a lone pixel's.

// The weights of two taps (16 bytes, in each block): the even blocks spread
// the first tap's, bytes 4-7, the odd ones the second's, 12-15.
alignas(64) static const uint8_t kGroupTop[64] = {
    4,  0x80, 4,  0x80, 4,  0x80, 5,  0x80, 5,  0x80, 5,  0x80, 0x80, 0x80, 0x80, 0x80,
    12, 0x80, 12, 0x80, 12, 0x80, 13, 0x80, 13, 0x80, 13, 0x80, 0x80, 0x80, 0x80, 0x80,
    4,  0x80, 4,  0x80, 4,  0x80, 5,  0x80, 5,  0x80, 5,  0x80, 0x80, 0x80, 0x80, 0x80,
    12, 0x80, 12, 0x80, 12, 0x80, 13, 0x80, 13, 0x80, 13, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(64) static const uint8_t kGroupBottom[64] = {
    0x80, 0x80, 0x80, 0x80, 6,  0x80, 6,  0x80, 6,  0x80, 7,  0x80, 7,  0x80, 7,  0x80,
    0x80, 0x80, 0x80, 0x80, 14, 0x80, 14, 0x80, 14, 0x80, 15, 0x80, 15, 0x80, 15, 0x80,
    0x80, 0x80, 0x80, 0x80, 6,  0x80, 6,  0x80, 6,  0x80, 7,  0x80, 7,  0x80, 7,  0x80,
    0x80, 0x80, 0x80, 0x80, 14, 0x80, 14, 0x80, 14, 0x80, 15, 0x80, 15, 0x80, 15, 0x80};
// The same for 4-byte texels.
alignas(64) static const uint8_t kGroupTop4[64] = {
    4,  0x80, 4,  0x80, 4,  0x80, 0x80, 0x80, 5,  0x80, 5,  0x80, 5,  0x80, 0x80, 0x80,
    12, 0x80, 12, 0x80, 12, 0x80, 0x80, 0x80, 13, 0x80, 13, 0x80, 13, 0x80, 0x80, 0x80,
    4,  0x80, 4,  0x80, 4,  0x80, 0x80, 0x80, 5,  0x80, 5,  0x80, 5,  0x80, 0x80, 0x80,
    12, 0x80, 12, 0x80, 12, 0x80, 0x80, 0x80, 13, 0x80, 13, 0x80, 13, 0x80, 0x80, 0x80};
alignas(64) static const uint8_t kGroupBottom4[64] = {
    6,  0x80, 6,  0x80, 6,  0x80, 0x80, 0x80, 7,  0x80, 7,  0x80, 7,  0x80, 0x80, 0x80,
    14, 0x80, 14, 0x80, 14, 0x80, 0x80, 0x80, 15, 0x80, 15, 0x80, 15, 0x80, 0x80, 0x80,
    6,  0x80, 6,  0x80, 6,  0x80, 0x80, 0x80, 7,  0x80, 7,  0x80, 7,  0x80, 0x80, 0x80,
    14, 0x80, 14, 0x80, 14, 0x80, 0x80, 0x80, 15, 0x80, 15, 0x80, 15, 0x80, 0x80, 0x80};
// Two pixels' six bytes from their demoted lanes 0-2 and 8-10; as 4-byte
// pixels, each with a fourth byte of 0 that the store sets to 255.
alignas(16) static const uint8_t kPairBytes[16] = {0, 1, 2, 8, 9, 10, 0x80, 0x80,
                                                   0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) static const uint8_t kPairBytes4[16] = {0, 1, 2, 0x80, 8, 9, 10, 0x80,
                                                    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

using P16 = hn::Vec<hn::Full256<uint16_t>>;

// Where the groups read: the frame and level buffer, and the band's end.
struct GroupSources {
    kernel::Sources src;
    const SampleTap* tapEnd;
};

// The top-left texel of tap t's block, plus `offset` bytes.
HWY_INLINE const uint8_t* blockAt(const uint8_t* base, const SampleTap& t, size_t offset) {
    return base + (t.where & SampleTap::kOffsetMask) + offset;
}

// The reads of a later group's first pixel, far enough ahead for them to
// arrive in time: texels are read along curves that the hardware does not
// foresee.
HWY_INLINE void prefetchAhead(const SampleTap* t, const GroupSources& g) {
    constexpr ptrdiff_t kPrefetchTaps = 256;
    if (t + kPrefetchTaps < g.tapEnd) {
        const uint32_t ahead = t[kPrefetchTaps].where;
        const unsigned which = (ahead >> 29) & 1u;
        const uint8_t* p = g.src.base[which] + (ahead & SampleTap::kOffsetMask);
        __builtin_prefetch(p);
        __builtin_prefetch(p + g.src.stride[which]);
    }
}

// Samples the pixels of a group: each tap's weights and 2 x 2 block for all
// of them at once, `t` passing the group's taps. tapWeights(t) loads the
// weights of the group's taps t[0 ..], rows(base, t, offset) their rows.
// Returns the pixels' bytes as gainedBytes() makes them.
template <int P, class D16, class TapWeights, class Rows, class V>
HWY_INLINE auto sampleGroup(D16 d16, const SampleTap*& t, size_t step, const GroupSources& g, TapWeights tapWeights,
                            Rows rows, V gain0, V gain1) {
    const hn::Repartition<uint8_t, D16> dbytes;
    const auto topIdx = hn::Load(dbytes, P == 4 ? kGroupTop4 : kGroupTop);
    const auto bottomIdx = hn::Load(dbytes, P == 4 ? kGroupBottom4 : kGroupBottom);
    auto top = hn::Zero(d16), bottom = hn::Zero(d16);
    auto share0 = top;
    unsigned lens = 0;
    for (;; t += step) {
        prefetchAhead(t, g);
        // The group's taps have the same flags.
        const uint32_t where = t[0].where;
        if (((where >> 30) & 1u) != lens) {
            share0 = weightedRowSums<P>(d16, top, bottom);
            top = bottom = hn::Zero(d16);
            lens = 1;
        }
        const unsigned which = (where >> 29) & 1u;
        const uint8_t* base = g.src.base[which];
        const size_t s = g.src.stride[which];
        const auto weights = tapWeights(t);
        top = hn::Add(top, hn::Mul(hn::PromoteTo(d16, rows(base, t, 0)),
                                   hn::BitCast(d16, hn::TableLookupBytesOr0(weights, topIdx))));
        bottom = hn::Add(bottom, hn::Mul(hn::PromoteTo(d16, rows(base, t, s - kBottomBack<P>)),
                                         hn::BitCast(d16, hn::TableLookupBytesOr0(weights, bottomIdx))));
        if (where & SampleTap::kLast) break;
    }
    t += step;
    return gainedBytes(d16, share0, weightedRowSums<P>(d16, top, bottom), lens, gain0, gain1);
}

// Stores a pair's six bytes; the two after them belong to a pixel written
// later, unless the pair ends its row. 4-byte pixels: the pair's eight.
template <int P>
HWY_INLINE void storePair(uint8_t* o, V8 bytes, bool lastInRow) {
    const auto six = hn::TableLookupBytesOr0(bytes, hn::Load(hn::Full128<uint8_t>(), P == 4 ? kPairBytes4 : kPairBytes));
    const uint64_t value = hn::GetLane(hn::BitCast(hn::Full128<uint64_t>(), six));
    if (P == 4) {
        const uint64_t opaque = value | (uint64_t{kernel::kOpaque} << 32 | kernel::kOpaque);
        std::memcpy(o, &opaque, 8);
    } else if (__builtin_expect(lastInRow, 0))
        std::memcpy(o, &value, 6);
    else
        std::memcpy(o, &value, 8);
}

// A pair whose taps are t[0], t[1], t[step], t[step + 1], ...; the gains
// for both pixels.
template <int P>
HWY_INLINE void samplePair(const SampleTap*& t, size_t step, const GroupSources& g, P16 gain0,
                           P16 gain1, uint8_t* o, bool lastInRow) {
    const hn::Full256<uint16_t> p16;
    const hn::Full256<uint8_t> p8;
    const hn::Full128<uint8_t> d8;
    const hn::Full64<uint8_t> d8x8;
    const auto bytes = sampleGroup<P>(
        p16, t, step, g, [&](const SampleTap* s) { return hn::LoadDup128(p8, reinterpret_cast<const uint8_t*>(s)); },
        [&](const uint8_t* base, const SampleTap* s, size_t off) {
            return hn::Combine(d8, hn::LoadU(d8x8, blockAt(base, s[1], off)), hn::LoadU(d8x8, blockAt(base, s[0], off)));
        },
        gain0, gain1);
    storePair<P>(o, bytes, lastInRow);
}

// A quad, its taps by pairs as the table lists them: in one vector where
// the machine has 512-bit ones, else as two pairs.
template <int P>
HWY_INLINE void sampleQuad(const SampleTap*& t, const GroupSources& g, P16 gain0,
                           P16 gain1, uint8_t* o, bool lastInRow) {
#if HWY_TARGET <= HWY_AVX3
    const hn::Full512<uint16_t> q16;
    const hn::Full256<uint8_t> h8;
    const hn::Full512<uint8_t> q8;
    const hn::Full128<uint8_t> d8;
    const hn::Full64<uint8_t> d8x8;
    const auto bytes = sampleGroup<P>(
        q16, t, 4, g,
        [&](const SampleTap* s) {
            return hn::Combine(q8, hn::LoadDup128(h8, reinterpret_cast<const uint8_t*>(s + 2)),
                               hn::LoadDup128(h8, reinterpret_cast<const uint8_t*>(s)));
        },
        [&](const uint8_t* base, const SampleTap* s, size_t off) {
            return hn::Combine(
                h8, hn::Combine(d8, hn::LoadU(d8x8, blockAt(base, s[3], off)), hn::LoadU(d8x8, blockAt(base, s[2], off))),
                hn::Combine(d8, hn::LoadU(d8x8, blockAt(base, s[1], off)), hn::LoadU(d8x8, blockAt(base, s[0], off))));
        },
        hn::Combine(q16, gain0, gain0), hn::Combine(q16, gain1, gain1));
    storePair<P>(o, hn::LowerHalf(d8, bytes), false);
    storePair<P>(o + 2 * P, hn::UpperHalf(d8, bytes), lastInRow);
#else
    const SampleTap* second = t + 2;
    samplePair<P>(t, 4, g, gain0, gain1, o, false);
    samplePair<P>(second, 4, g, gain0, gain1, o + 2 * P, lastInRow);  // t has passed the quad's taps
#endif
}
#endif

// The band's pixels as the table groups them: lone pixels, and pairs and
// quads where 256-bit vectors take a group at once.
template <int P>
void sampleTiles(const SampleTable& table, const TableBand& band, const kernel::Tiles& tiles, const kernel::Sources& src,
                 const LensGains& gains, uint8_t* out) {
    const auto gain0 = gainLanes(gains, 0), gain1 = gainLanes(gains, 1);
    const SampleTap* tap = table.taps.data() + tiles.tap;
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    const hn::Full256<uint16_t> p16;
    const GroupSources g{src, table.taps.data() + band.tapEnd};
    const auto pairGain0 = hn::Combine(p16, gain0, gain0), pairGain1 = hn::Combine(p16, gain1, gain1);
    forEachGroup<P>(table, band, tiles, out, [&](int ways, uint8_t* o, bool lastInRow) KERNEL_INLINE_LAMBDA {
        if (ways == 1) {
            uint32_t bgr;
            tap += samplePixel<P>(tap, 1, src, gain0, gain1, &bgr);
            kernel::storePixel<P>(o, bgr, lastInRow);
        } else if (ways == 2) {
            samplePair<P>(tap, 2, g, pairGain0, pairGain1, o, lastInRow);
        } else {
            sampleQuad<P>(tap, g, pairGain0, pairGain1, o, lastInRow);
        }
    });
#else
    const auto pixel = [&](const SampleTap* t, size_t step, uint32_t* value) KERNEL_INLINE_LAMBDA {
        return samplePixel<P>(t, step, src, gain0, gain1, value);
    };
    forEachGroup<P>(table, band, tiles, out, [&](int ways, uint8_t* o, bool lastInRow) KERNEL_INLINE_LAMBDA {
        tap = groupAlone<P>(tap, ways, o, lastInRow, pixel);
    });
#endif
}

#endif

void SampleBandImpl(const SampleTable& table, const TableBand& band, const kernel::Tiles& tiles, const uint8_t* frame,
                    const uint8_t* levels, const LensGains& gains, uint8_t* out) {
    const kernel::Sources src = {{frame, levels}, {table.frameStride, table.levelStride}};
    if (table.texelBytes == 4)
        sampleTiles<4>(table, band, tiles, src, gains, out);
    else
        sampleTiles<3>(table, band, tiles, src, gains, out);
    const size_t rowBytes = static_cast<size_t>(table.outWidth) * static_cast<size_t>(table.texelBytes);
    if (table.outStride > rowBytes)
        for (int row = band.row0; row < band.row1; ++row)
            std::memset(out + static_cast<size_t>(row - band.row0) * table.outStride + rowBytes, 0,
                        table.outStride - rowBytes);
}

// n pixels of a remap run (remapRun()).
template <int P>
HWY_INLINE void remapRunOf(const uint8_t* src, size_t stride, int32_t x, int32_t y, int32_t sx, int32_t sy, int n,
                           uint8_t* out, bool rowEnd) {
#if HWY_TARGET == HWY_SCALAR
    for (int j = 0; j < n; ++j)
        kernel::storePixel<P>(out + P * j, kernel::remapPixel<P>(src, stride, x + j * sx, y + j * sy), rowEnd && j == n - 1);
#else
    namespace hn = hwy::HWY_NAMESPACE;
    const hn::ScalableTag<int32_t> di;
    const hn::RebindToUnsigned<decltype(di)> du;
    const int lanes = static_cast<int>(hn::Lanes(di));
    alignas(64) uint32_t px[HWY_LANES(uint32_t)];
    const auto s = hn::Set(di, static_cast<int32_t>(stride)), texel = hn::Set(di, P);
    const auto byte = hn::Set(du, 255u), whole = hn::Set(du, 256u), half = hn::Set(du, 2048u);
    const int32_t* base = reinterpret_cast<const int32_t*>(src);
    for (int j0 = 0; j0 < n; j0 += lanes) {
        // The lanes past the run read its last pixel again, and are not stored.
        const auto j = hn::Min(hn::Iota(di, j0), hn::Set(di, n - 1));
        const auto px0 = hn::Add(hn::Set(di, x), hn::Mul(j, hn::Set(di, sx)));
        const auto py0 = hn::Add(hn::Set(di, y), hn::Mul(j, hn::Set(di, sy)));
        const auto fx = hn::And(hn::BitCast(du, hn::ShiftRight<8>(px0)), byte);
        const auto fy = hn::And(hn::BitCast(du, hn::ShiftRight<8>(py0)), byte);
        const auto at = hn::Add(hn::Mul(hn::ShiftRight<16>(py0), s), hn::Mul(hn::ShiftRight<16>(px0), texel));
        // Each texel's bytes from its first: B, G, R (and the next byte).
        const auto a = hn::BitCast(du, hn::GatherOffset(di, base, at));
        const auto b = hn::BitCast(du, hn::GatherOffset(di, base, hn::Add(at, texel)));
        const auto c = hn::BitCast(du, hn::GatherOffset(di, base, hn::Add(at, s)));
        const auto d = hn::BitCast(du, hn::GatherOffset(di, base, hn::Add(hn::Add(at, s), texel)));
        const auto fx0 = hn::Sub(whole, fx), fy0 = hn::Sub(whole, fy);
        auto bgr = P == 4 ? hn::Set(du, kernel::kOpaque) : hn::Zero(du);
        auto channel = [&](auto shift) HWY_ATTR {
            constexpr int k = decltype(shift)::value;
            const auto top = hn::Add(hn::Mul(hn::And(hn::ShiftRight<8 * k>(a), byte), fx0), hn::Mul(hn::And(hn::ShiftRight<8 * k>(b), byte), fx));
            const auto bottom = hn::Add(hn::Mul(hn::And(hn::ShiftRight<8 * k>(c), byte), fx0), hn::Mul(hn::And(hn::ShiftRight<8 * k>(d), byte), fx));
            const auto v = hn::Add(hn::Add(hn::Mul(hn::ShiftRight<4>(top), fy0), hn::Mul(hn::ShiftRight<4>(bottom), fy)), half);
            bgr = hn::Or(bgr, hn::ShiftLeft<8 * k>(hn::ShiftRight<12>(v)));
        };
        channel(std::integral_constant<int, 0>());
        channel(std::integral_constant<int, 1>());
        channel(std::integral_constant<int, 2>());
        hn::Store(bgr, du, px);
        const int m = std::min(lanes, n - j0);
        uint8_t* o = out + static_cast<size_t>(P) * static_cast<size_t>(j0);
        for (int i = 0; i < m; ++i) kernel::storePixel<P>(o + P * i, px[i], rowEnd && j0 + i == n - 1);
    }
#endif
}

void RemapRunImpl(const uint8_t* src, size_t stride, int32_t x, int32_t y, int32_t sx, int32_t sy, int n, uint8_t* out,
                  int texelBytes, bool rowEnd) {
    if (texelBytes == 4)
        remapRunOf<4>(src, stride, x, y, sx, sy, n, out, rowEnd);
    else
        remapRunOf<3>(src, stride, x, y, sx, sy, n, out, rowEnd);
}

}  // namespace HWY_NAMESPACE
}  // namespace stitcher
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace stitcher {

uint16_t gainFactor(float gain) {
    if (!(gain > 0.0f)) return 0;
    return static_cast<uint16_t>(std::lround(std::min(gain, kMaxGain) * kGainScale));
}

LensGains::LensGains() {
    for (auto& lens : q)
        for (uint16_t& g : lens) g = gainFactor(1.0f);
}

HWY_EXPORT(SampleBandImpl);
HWY_EXPORT(HalveRowImpl);
HWY_EXPORT(HalveRow4Impl);
HWY_EXPORT(RemapRunImpl);

void remapRun(const uint8_t* src, size_t stride, int32_t x, int32_t y, int32_t sx, int32_t sy, int n, uint8_t* out,
              int texelBytes, bool rowEnd) {
    HWY_DYNAMIC_DISPATCH(RemapRunImpl)(src, stride, x, y, sx, sy, n, out, texelBytes, rowEnd);
}

void halveRow(const uint8_t* a, const uint8_t* b, int x0, int x1, uint8_t* out, int texelBytes) {
    if (texelBytes == 4)
        HWY_DYNAMIC_DISPATCH(HalveRow4Impl)(a, b, x0, x1, out);
    else
        HWY_DYNAMIC_DISPATCH(HalveRowImpl)(a, b, x0, x1, out);
}

void sampleBand(const SampleTable& table, const TableBand& band, const uint8_t* frame, const uint8_t* levels,
                const LensGains& gains, uint8_t* out) {
    const kernel::Tiles all = {0, (table.outWidth + kTileColumns - 1) / kTileColumns, band.tapBegin};
    HWY_DYNAMIC_DISPATCH(SampleBandImpl)(table, band, all, frame, levels, gains, out);
}

std::vector<size_t> tileTaps(const SampleTable& table, const TableBand& band) {
    const int tiles = (table.outWidth + kTileColumns - 1) / kTileColumns;
    std::vector<size_t> starts(static_cast<size_t>(tiles) + 1, band.tapEnd);
    size_t tap = band.tapBegin;
    for (int t = 0; t < tiles; ++t) {
        starts[static_cast<size_t>(t)] = tap;
        const int columns = std::min(kTileColumns, table.outWidth - t * kTileColumns);
        // Every pixel's taps end with one marked last, whatever order its group gives them.
        for (long pixels = static_cast<long>(columns) * (band.row1 - band.row0); pixels > 0 && tap < band.tapEnd; ++tap)
            pixels -= (table.taps[tap].where & SampleTap::kLast) != 0;
    }
    return starts;
}

void sampleBandTiles(const SampleTable& table, const TableBand& band, const std::vector<size_t>& starts, int first, int end,
                     const uint8_t* frame, const uint8_t* levels, const LensGains& gains, uint8_t* out) {
    if (end <= first) return;
    const kernel::Tiles some = {first, end, starts[static_cast<size_t>(first)]};
    HWY_DYNAMIC_DISPATCH(SampleBandImpl)(table, band, some, frame, levels, gains, out);
}

}  // namespace stitcher
#endif
