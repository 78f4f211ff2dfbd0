// Fixed point in 16-bit lanes: each product is the high half of an 8.8
// value times a 0.16 coefficient, so that every term and sum carries 8
// fractional bits and stays below 65536. The scalar code does the same
// integer steps, so every instruction set gives the same bytes.
#include "YuvConvert.h"

#include <cstddef>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "YuvConvert.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef STITCHER_YUV_CONVERT_SHARED
#define STITCHER_YUV_CONVERT_SHARED
namespace stitcher {
namespace yuv {

constexpr double kKr = 0.2126, kKb = 0.0722, kKg = 1.0 - kKr - kKb;
constexpr double kLumaRange = 219.0 / 255.0, kChromaRange = 224.0 / 255.0;
constexpr uint16_t q16(double c) { return static_cast<uint16_t>(c * 65536.0 + 0.5); }

// Luma: pixel values shifted left by 8; chroma: sums of four shifted left by 6.
constexpr uint16_t kYR = q16(kKr * kLumaRange), kYG = q16(kKg * kLumaRange), kYB = q16(kKb * kLumaRange);
constexpr uint16_t kUR = q16(kKr / (2 * (1 - kKb)) * kChromaRange), kUG = q16(kKg / (2 * (1 - kKb)) * kChromaRange),
                   kUB = q16(0.5 * kChromaRange);
constexpr uint16_t kVR = q16(0.5 * kChromaRange), kVG = q16(kKg / (2 * (1 - kKr)) * kChromaRange),
                   kVB = q16(kKb / (2 * (1 - kKr)) * kChromaRange);
constexpr uint16_t kYBias = 16 * 256 + 128, kCBias = 128 * 256 + 128;  // offsets, with rounding

inline uint32_t mulHigh(uint32_t a, uint32_t c) { return (a * c) >> 16; }

inline uint8_t luma(unsigned b, unsigned g, unsigned r) {
    return static_cast<uint8_t>((mulHigh(r << 8, kYR) + mulHigh(g << 8, kYG) + mulHigh(b << 8, kYB) + kYBias) >> 8);
}

// From the sums of a block's four pixels.
inline void chroma(unsigned b4, unsigned g4, unsigned r4, uint8_t* u, uint8_t* v) {
    *u = static_cast<uint8_t>((kCBias + mulHigh(b4 << 6, kUB) - mulHigh(r4 << 6, kUR) - mulHigh(g4 << 6, kUG)) >> 8);
    *v = static_cast<uint8_t>((kCBias + mulHigh(r4 << 6, kVR) - mulHigh(g4 << 6, kVG) - mulHigh(b4 << 6, kVB)) >> 8);
}

// Pixels [x0, width) of a row pair; `b` may be `a` (an odd last row).
inline void convertTail(const uint8_t* a, const uint8_t* b, int x0, int width, uint8_t* ya, uint8_t* yb, uint8_t* u,
                        uint8_t* v) {
    for (int x = x0; x < width; x += 2) {
        const int x1 = x + 1 < width ? x + 1 : x;
        const uint8_t* p[4] = {a + 3 * x, a + 3 * x1, b + 3 * x, b + 3 * x1};
        ya[x] = luma(p[0][0], p[0][1], p[0][2]);
        yb[x] = luma(p[2][0], p[2][1], p[2][2]);
        if (x1 != x) {
            ya[x1] = luma(p[1][0], p[1][1], p[1][2]);
            yb[x1] = luma(p[3][0], p[3][1], p[3][2]);
        }
        unsigned s[3];
        for (int c = 0; c < 3; ++c) s[c] = p[0][c] + p[1][c] + p[2][c] + p[3][c];
        chroma(s[0], s[1], s[2], u + x / 2, v + x / 2);
    }
}

}  // namespace yuv
}  // namespace stitcher
#endif

HWY_BEFORE_NAMESPACE();
namespace stitcher {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR

void RowPairImpl(const uint8_t* a, const uint8_t* b, int width, uint8_t* ya, uint8_t* yb, uint8_t* u, uint8_t* v) {
    yuv::convertTail(a, b, 0, width, ya, yb, u, v);
}

#else

namespace hn = hwy::HWY_NAMESPACE;

// Up to 32 pixels of each row at a time (16 without 256-bit vectors).
void RowPairImpl(const uint8_t* a, const uint8_t* b, int width, uint8_t* ya, uint8_t* yb, uint8_t* u, uint8_t* v) {
    const hn::CappedTag<uint8_t, 32> d8;
    const hn::Half<decltype(d8)> d8h;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    const hn::Repartition<int16_t, decltype(d8)> di16;
    using V8 = hn::Vec<decltype(d8)>;
    using V16 = hn::Vec<decltype(d16)>;
    const int lanes = static_cast<int>(hn::Lanes(d8));
    const auto yr = hn::Set(d16, yuv::kYR), yg = hn::Set(d16, yuv::kYG), yb16 = hn::Set(d16, yuv::kYB);
    const auto ur = hn::Set(d16, yuv::kUR), ug = hn::Set(d16, yuv::kUG), ub = hn::Set(d16, yuv::kUB);
    const auto vr = hn::Set(d16, yuv::kVR), vg = hn::Set(d16, yuv::kVG), vb = hn::Set(d16, yuv::kVB);
    const auto yBias = hn::Set(d16, yuv::kYBias), cBias = hn::Set(d16, yuv::kCBias);
    const auto lowByte = hn::Set(d16, 0xFF);

    // Half a vector of luma values from as many pixels' channels in 16-bit lanes.
    auto lumaHalf = [&](V16 b16, V16 g16, V16 r16) {
        auto s = hn::Add(hn::MulHigh(hn::ShiftLeft<8>(r16), yr), hn::MulHigh(hn::ShiftLeft<8>(g16), yg));
        s = hn::Add(hn::Add(s, hn::MulHigh(hn::ShiftLeft<8>(b16), yb16)), yBias);
        return hn::DemoteTo(d8h, hn::BitCast(di16, hn::ShiftRight<8>(s)));
    };
    auto luma = [&](V8 bv, V8 gv, V8 rv, uint8_t* out) {
        const auto lo = lumaHalf(hn::PromoteTo(d16, hn::LowerHalf(d8h, bv)), hn::PromoteTo(d16, hn::LowerHalf(d8h, gv)),
                                 hn::PromoteTo(d16, hn::LowerHalf(d8h, rv)));
        const auto hi = lumaHalf(hn::PromoteTo(d16, hn::UpperHalf(d8h, bv)), hn::PromoteTo(d16, hn::UpperHalf(d8h, gv)),
                                 hn::PromoteTo(d16, hn::UpperHalf(d8h, rv)));
        hn::StoreU(hn::Combine(d8, hi, lo), d8, out);
    };
    // Per 16-bit lane, the sum of the two bytes of each row: a block's four pixels.
    auto blockSums = [&](V8 p, V8 q) {
        const auto p16 = hn::BitCast(d16, p), q16 = hn::BitCast(d16, q);
        return hn::Add(hn::Add(hn::And(p16, lowByte), hn::ShiftRight<8>(p16)),
                       hn::Add(hn::And(q16, lowByte), hn::ShiftRight<8>(q16)));
    };

    int x = 0;
    for (; x + lanes <= width; x += lanes) {
        V8 b0, g0, r0, b1, g1, r1;
        hn::LoadInterleaved3(d8, a + 3 * x, b0, g0, r0);
        hn::LoadInterleaved3(d8, b + 3 * x, b1, g1, r1);
        luma(b0, g0, r0, ya + x);
        luma(b1, g1, r1, yb + x);
        const auto sb = hn::ShiftLeft<6>(blockSums(b0, b1));
        const auto sg = hn::ShiftLeft<6>(blockSums(g0, g1));
        const auto sr = hn::ShiftLeft<6>(blockSums(r0, r1));
        const auto cu = hn::Sub(hn::Sub(hn::Add(cBias, hn::MulHigh(sb, ub)), hn::MulHigh(sr, ur)), hn::MulHigh(sg, ug));
        const auto cv = hn::Sub(hn::Sub(hn::Add(cBias, hn::MulHigh(sr, vr)), hn::MulHigh(sg, vg)), hn::MulHigh(sb, vb));
        hn::StoreU(hn::DemoteTo(d8h, hn::BitCast(di16, hn::ShiftRight<8>(cu))), d8h, u + x / 2);
        hn::StoreU(hn::DemoteTo(d8h, hn::BitCast(di16, hn::ShiftRight<8>(cv))), d8h, v + x / 2);
    }
    yuv::convertTail(a, b, x, width, ya, yb, u, v);
}

#endif

}  // namespace HWY_NAMESPACE
}  // namespace stitcher
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace stitcher {

HWY_EXPORT(RowPairImpl);

void bgrToYuv420(const uint8_t* bgr, int bgrStride, int width, int height, uint8_t* y, int yStride, uint8_t* u,
                 int uStride, uint8_t* v, int vStride) {
    if (width <= 0 || height <= 0) return;
    const auto rowPair = HWY_DYNAMIC_DISPATCH(RowPairImpl);
    for (int r = 0; r < height; r += 2) {
        const int r1 = r + 1 < height ? r + 1 : r;
        const uint8_t* a = bgr + static_cast<ptrdiff_t>(r) * bgrStride;
        const uint8_t* b = bgr + static_cast<ptrdiff_t>(r1) * bgrStride;
        rowPair(a, b, width, y + static_cast<ptrdiff_t>(r) * yStride, y + static_cast<ptrdiff_t>(r1) * yStride,
                u + static_cast<ptrdiff_t>(r / 2) * uStride, v + static_cast<ptrdiff_t>(r / 2) * vStride);
    }
}

}  // namespace stitcher
#endif
