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
using D4 = hn::Simd<float, 4, 0>;
using V4 = hn::Vec<D4>;
using I4 = hn::Simd<int32_t, 4, 0>;
using VI4 = hn::Vec<I4>;

// Bilinear reads of `weight` each at continuous pixel coordinates (x, y)
// (centres at +0.5) of a width x height picture, clamped at its edges: the
// block's byte offset with `flags`, and its four weights, which add up to
// `weight` exactly (the right column's share first, then each column's
// bottom share of it). Positions in 1/256 of a texel.
template <class DF, class VF = hn::Vec<DF>, class DI = hn::RebindToSigned<DF>, class VI = hn::Vec<DI>>
HWY_INLINE void readTaps(DF df, VF x, VF y, int width, int height, int texel, VI weight, uint32_t flags, VI* where,
                         VI* weights) {
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
    *where = hn::Or(hn::Mul(hn::Add(hn::Mul(y0, hn::Set(di, width)), x0), hn::Set(di, texel)),
                    hn::Set(di, static_cast<int32_t>(flags)));
    *weights = hn::Or(hn::Or(hn::Sub(left, w10), hn::ShiftLeft<8>(hn::Sub(right, w11))),
                      hn::Or(hn::ShiftLeft<16>(w10), hn::ShiftLeft<24>(w11)));
}

// Four rows of four as four columns.
HWY_INLINE void transpose(V4 a, V4 b, V4 c, V4 d, V4* c0, V4* c1, V4* c2, V4* c3) {
    const D4 df;
    const V4 t0 = hn::InterleaveLower(df, a, b), t1 = hn::InterleaveLower(df, c, d);
    const V4 t2 = hn::InterleaveUpper(df, a, b), t3 = hn::InterleaveUpper(df, c, d);
    *c0 = hn::ConcatLowerLower(df, t1, t0);
    *c1 = hn::ConcatUpperUpper(df, t1, t0);
    *c2 = hn::ConcatLowerLower(df, t3, t2);
    *c3 = hn::ConcatUpperUpper(df, t3, t2);
}

// One quad's tap `j` (pixel p's at out[4 j + p]).
HWY_INLINE void storeTaps(VI4 where, VI4 weights, SampleTap* out) {
    const I4 di;
    int32_t* o = reinterpret_cast<int32_t*>(out);
    hn::StoreU(hn::InterleaveLower(di, where, weights), di, o);
    hn::StoreU(hn::InterleaveUpper(di, where, weights), di, o + 4);
}

// Quads side by side in one vector, and back.
HWY_INLINE V4 join(D4, const V4* parts) { return parts[0]; }
HWY_INLINE VI4 quad(I4, VI4 v, int) { return v; }
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
using D8 = hn::Simd<float, 8, 0>;
using I8 = hn::Simd<int32_t, 8, 0>;
HWY_INLINE hn::Vec<D8> join(D8 d, const V4* parts) { return hn::Combine(d, parts[1], parts[0]); }
HWY_INLINE VI4 quad(I8, hn::Vec<I8> v, int q) { return q == 0 ? hn::LowerHalf(I4(), v) : hn::UpperHalf(I4(), v); }
#endif

// The taps of the quads of one vector's columns from column i; returns how many.
template <class DF>
HWY_INLINE size_t vectorTaps(DF df, const SeamRowTaps& row, int i, SampleTap* out) {
    using VF = hn::Vec<DF>;
    using DI = hn::RebindToSigned<DF>;
    using VI = hn::Vec<DI>;
    const DI di;
    constexpr int kQuads = static_cast<int>(hn::MaxLanes(DF())) / 4;
    const bool fromFrame = row.lower > 0.0f, fromHalf = row.upper > 0.0f;
    const VF zero = hn::Zero(df);
    // The shift there, as SeamShift::at() reads it.
    VF sh = zero;
    for (int w = 0; w < row.windows; ++w)
        sh = hn::MulAdd(hn::LoadU(df, row.windowShare + static_cast<size_t>(w) * row.columns + i), hn::Set(df, row.rowShift[w]), sh);
    const VF half = hn::Mul(sh, hn::LoadU(df, row.halfFade + i));
    const VF column = hn::Add(hn::Set(df, row.firstColumn + static_cast<float>(i)), hn::Iota(df, 0.0f));
    VI left = hn::Set(di, kWeightOne);
    VI where[4], weights[4];
    size_t taps = 0;
    for (int k = 0; k < 2; ++k) {
        // The lens's point at its shifted column, between the row's whole columns.
        const VF at = hn::Min(hn::Max(hn::MulAdd(hn::Set(df, row.sign[k]), half, column), zero), hn::Set(df, row.lastPoint));
        const VI whole = hn::ConvertTo(di, at);
        const VF f = hn::Sub(at, hn::ConvertTo(df, whole));
        // The points on either side: each pixel's two as one row of four
        // floats from each (x, y, r of the first, then x, y, r of the second
        // from two floats on), turned into lanes four pixels at a time.
        alignas(32) int32_t index[8];
        hn::Store(hn::Mul(whole, hn::Set(di, 3)), di, index);
        const float* pts = row.points[k];
        V4 p[3][2], q[3][2], unused;
        const D4 d4;
        for (int c = 0; c < kQuads; ++c) {
            const int32_t* at4 = index + 4 * c;
            transpose(hn::LoadU(d4, pts + at4[0]), hn::LoadU(d4, pts + at4[1]), hn::LoadU(d4, pts + at4[2]),
                      hn::LoadU(d4, pts + at4[3]), &p[0][c], &p[1][c], &p[2][c], &unused);
            transpose(hn::LoadU(d4, pts + at4[0] + 2), hn::LoadU(d4, pts + at4[1] + 2), hn::LoadU(d4, pts + at4[2] + 2),
                      hn::LoadU(d4, pts + at4[3] + 2), &unused, &q[0][c], &q[1][c], &q[2][c]);
        }
        const VF px = join(df, p[0]), py = join(df, p[1]), qx = join(df, q[0]), qy = join(df, q[1]);
        const VF x = hn::MulAdd(hn::Sub(qx, px), f, px), y = hn::MulAdd(hn::Sub(qy, py), f, py);
        VF weight = hn::LoadU(df, row.weight[k] + i);
        if (row.lift[k]) {
            const VF pr = join(df, p[2]), qr = join(df, q[2]);
            const VF r = hn::Min(hn::Max(hn::MulAdd(hn::Sub(qr, pr), f, pr), zero), hn::Set(df, 1.0f));
            alignas(32) int32_t step[8];
            hn::Store(hn::ConvertTo(di, hn::MulAdd(r, hn::Set(df, static_cast<float>(row.liftSteps)), hn::Set(df, 0.5f))), di, step);
            alignas(32) float lift[8];
            for (int j = 0; j < 4 * kQuads; ++j) lift[j] = row.lift[k][step[j]];
            weight = hn::Mul(weight, hn::Load(df, lift));
        }
        const uint32_t flag = k ? SampleTap::kLens1 : 0u;
        if (fromFrame) {
            const VI w = hn::Min(left, hn::ConvertTo(di, hn::MulAdd(weight, hn::Set(df, row.lower), hn::Set(df, 0.5f))));
            left = hn::Sub(left, w);
            readTaps(df, x, y, row.frameWidth, row.frameHeight, row.texelBytes, w, flag, &where[taps], &weights[taps]);
            ++taps;
        }
        if (fromHalf) {
            const VI w = hn::Min(left, hn::ConvertTo(di, hn::MulAdd(weight, hn::Set(df, row.upper), hn::Set(df, 0.5f))));
            left = hn::Sub(left, w);
            const VF h = hn::Set(df, 0.5f);
            readTaps(df, hn::Mul(x, h), hn::Mul(y, h), row.frameWidth / 2, row.frameHeight / 2, row.texelBytes, w,
                     flag | SampleTap::kLevels,
                     &where[taps], &weights[taps]);
            ++taps;
        }
    }
    where[taps - 1] = hn::Or(where[taps - 1], hn::Set(di, static_cast<int32_t>(SampleTap::kLast)));
    for (int c = 0; c < kQuads; ++c)
        for (size_t j = 0; j < taps; ++j)
            storeTaps(quad(di, where[j], c), quad(di, weights[j], c), out + 4 * taps * static_cast<size_t>(c) + 4 * j);
    return 4 * taps * static_cast<size_t>(kQuads);
}

size_t SeamQuadTapsImpl(const SeamRowTaps& row, int first, int quads, SampleTap* out) {
    size_t n = 0;
    int q = 0;
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    for (; q + 2 <= quads; q += 2) n += vectorTaps(D8(), row, first + 4 * q, out + n);
#endif
    for (; q < quads; ++q) n += vectorTaps(D4(), row, first + 4 * q, out + n);
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
