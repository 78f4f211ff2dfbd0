// Compiled once per instruction set and chosen at run time, as the
// sampling kernels are.
#include "SeamTaps.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "SeamTaps.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace stitcher {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR

size_t SeamQuadTapsImpl(const SeamRowTaps&, int, int, SampleTap*) { return 0; }

#else

namespace hn = hwy::HWY_NAMESPACE;
using DF = hn::Simd<float, 4, 0>;
using DI = hn::Simd<int32_t, 4, 0>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;

// Four bilinear reads of `weight` each at continuous pixel coordinates (x,
// y) (centres at +0.5) of a width x height picture, clamped at its edges:
// the block's byte offset with `flags`, and its four weights, which add up
// to `weight` exactly (the right column's share first, then each column's
// bottom share of it). Positions in 1/256 of a texel.
HWY_INLINE void quadTaps(VF x, VF y, int width, int height, VI weight, uint32_t flags, VI* where, VI* weights) {
    const DF df;
    const DI di;
    const VF fx = hn::Min(hn::Max(hn::Sub(x, hn::Set(df, 0.5f)), hn::Zero(df)), hn::Set(df, static_cast<float>(width - 1)));
    const VF fy = hn::Min(hn::Max(hn::Sub(y, hn::Set(df, 0.5f)), hn::Zero(df)), hn::Set(df, static_cast<float>(height - 1)));
    const VI X = hn::ConvertTo(di, hn::MulAdd(fx, hn::Set(df, 256.0f), hn::Set(df, 0.5f)));
    const VI Y = hn::ConvertTo(di, hn::MulAdd(fy, hn::Set(df, 256.0f), hn::Set(df, 0.5f)));
    const VI x0 = hn::Min(hn::ShiftRight<8>(X), hn::Set(di, width - 2));
    const VI y0 = hn::Min(hn::ShiftRight<8>(Y), hn::Set(di, height - 2));
    const VI ax = hn::Sub(X, hn::ShiftLeft<8>(x0)), ay = hn::Sub(Y, hn::ShiftLeft<8>(y0));
    const VI half = hn::Set(di, 128);
    const VI right = hn::ShiftRight<8>(hn::Add(hn::Mul(ax, weight), half)), left = hn::Sub(weight, right);
    const VI w11 = hn::ShiftRight<8>(hn::Add(hn::Mul(right, ay), half));
    const VI w10 = hn::ShiftRight<8>(hn::Add(hn::Mul(left, ay), half));
    *where = hn::Or(hn::Mul(hn::Add(hn::Mul(y0, hn::Set(di, width)), x0), hn::Set(di, 3)),
                    hn::Set(di, static_cast<int32_t>(flags)));
    *weights = hn::Or(hn::Or(hn::Sub(left, w10), hn::ShiftLeft<8>(hn::Sub(right, w11))),
                      hn::Or(hn::ShiftLeft<16>(w10), hn::ShiftLeft<24>(w11)));
}

// Four rows of four as four columns.
HWY_INLINE void transpose(VF a, VF b, VF c, VF d, VF* c0, VF* c1, VF* c2, VF* c3) {
    const DF df;
    const VF t0 = hn::InterleaveLower(df, a, b), t1 = hn::InterleaveLower(df, c, d);
    const VF t2 = hn::InterleaveUpper(df, a, b), t3 = hn::InterleaveUpper(df, c, d);
    *c0 = hn::ConcatLowerLower(df, t1, t0);
    *c1 = hn::ConcatUpperUpper(df, t1, t0);
    *c2 = hn::ConcatLowerLower(df, t3, t2);
    *c3 = hn::ConcatUpperUpper(df, t3, t2);
}

// The four pixels' tap `j` (pixel p's at out[4 j + p]).
HWY_INLINE void storeTaps(VI where, VI weights, SampleTap* out) {
    const DI di;
    int32_t* o = reinterpret_cast<int32_t*>(out);
    hn::StoreU(hn::InterleaveLower(di, where, weights), di, o);
    hn::StoreU(hn::InterleaveUpper(di, where, weights), di, o + 4);
}

size_t SeamQuadTapsImpl(const SeamRowTaps& row, int first, int quads, SampleTap* out) {
    const DF df;
    const DI di;
    const bool fromFrame = row.lower > 0.0f, fromHalf = row.upper > 0.0f;
    const VI three = hn::Set(di, 3);
    const VF one = hn::Set(df, 1.0f), zero = hn::Zero(df), lastPoint = hn::Set(df, row.lastPoint);
    const VF lower = hn::Set(df, row.lower), upper = hn::Set(df, row.upper);
    const VF steps = hn::Set(df, static_cast<float>(row.liftSteps));
    size_t n = 0;
    for (int q = 0; q < quads; ++q) {
        const int i = first + 4 * q;
        // The shift there, as SeamShift::at() reads it.
        VF sh = hn::Zero(df);
        for (int w = 0; w < row.windows; ++w)
            sh = hn::MulAdd(hn::LoadU(df, row.windowShare + static_cast<size_t>(w) * row.columns + i), hn::Set(df, row.rowShift[w]), sh);
        const VF half = hn::Mul(sh, hn::LoadU(df, row.halfFade + i));
        const VF column = hn::Add(hn::Set(df, row.firstColumn), hn::Add(hn::Set(df, static_cast<float>(i)), hn::Iota(df, 0.0f)));
        VI left = hn::Set(di, kWeightOne);
        VI where[4], weights[4];
        size_t taps = 0;
        for (int k = 0; k < 2; ++k) {
            // The lens's point at its shifted column, between the row's whole columns.
            const VF at = hn::Min(hn::Max(hn::MulAdd(hn::Set(df, row.sign[k]), half, column), zero), lastPoint);
            const VI whole = hn::ConvertTo(di, at);
            const VF f = hn::Sub(at, hn::ConvertTo(df, whole));
            // The points on either side: each pixel's two as one row of four
            // floats from each (x, y, r of the first, then x, y, r of the
            // second from two floats on), turned into lanes.
            alignas(16) int32_t at4[4];
            hn::Store(hn::Mul(whole, three), di, at4);
            const float* pts = row.points[k];
            VF px, py, pr, qx, qy, qr, unused;
            transpose(hn::LoadU(df, pts + at4[0]), hn::LoadU(df, pts + at4[1]), hn::LoadU(df, pts + at4[2]),
                      hn::LoadU(df, pts + at4[3]), &px, &py, &pr, &unused);
            transpose(hn::LoadU(df, pts + at4[0] + 2), hn::LoadU(df, pts + at4[1] + 2), hn::LoadU(df, pts + at4[2] + 2),
                      hn::LoadU(df, pts + at4[3] + 2), &unused, &qx, &qy, &qr);
            const VF x = hn::MulAdd(hn::Sub(qx, px), f, px), y = hn::MulAdd(hn::Sub(qy, py), f, py);
            VF weight = hn::LoadU(df, row.weight[k] + i);
            if (row.lift[k]) {
                const VF r = hn::Min(hn::Max(hn::MulAdd(hn::Sub(qr, pr), f, pr), zero), one);
                alignas(16) int32_t step4[4];
                hn::Store(hn::ConvertTo(di, hn::MulAdd(r, steps, hn::Set(df, 0.5f))), di, step4);
                alignas(16) float lift4[4];
                for (int j = 0; j < 4; ++j) lift4[j] = row.lift[k][step4[j]];
                weight = hn::Mul(weight, hn::Load(df, lift4));
            }
            const uint32_t flag = k ? SampleTap::kLens1 : 0u;
            if (fromFrame) {
                const VI w = hn::Min(left, hn::ConvertTo(di, hn::MulAdd(weight, lower, hn::Set(df, 0.5f))));
                left = hn::Sub(left, w);
                quadTaps(x, y, row.frameWidth, row.frameHeight, w, flag, &where[taps], &weights[taps]);
                ++taps;
            }
            if (fromHalf) {
                const VI w = hn::Min(left, hn::ConvertTo(di, hn::MulAdd(weight, upper, hn::Set(df, 0.5f))));
                left = hn::Sub(left, w);
                const VF h = hn::Set(df, 0.5f);
                quadTaps(hn::Mul(x, h), hn::Mul(y, h), row.frameWidth / 2, row.frameHeight / 2, w,
                         flag | SampleTap::kLevels, &where[taps], &weights[taps]);
                ++taps;
            }
        }
        where[taps - 1] = hn::Or(where[taps - 1], hn::Set(di, static_cast<int32_t>(SampleTap::kLast)));
        for (size_t j = 0; j < taps; ++j) storeTaps(where[j], weights[j], out + n + 4 * j);
        n += 4 * taps;
    }
    return n;
}

#endif

}  // namespace HWY_NAMESPACE
}  // namespace stitcher
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace stitcher {

HWY_EXPORT(SeamQuadTapsImpl);

size_t seamQuadTaps(const SeamRowTaps& row, int first, int quads, SampleTap* out) {
    return HWY_DYNAMIC_DISPATCH(SeamQuadTapsImpl)(row, first, quads, out);
}

}  // namespace stitcher
#endif
