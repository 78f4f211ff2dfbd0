// A run's taps, several pixels at a time where the machine has AVX2. The
// positions are worked out in doubles exactly as one pixel at a time works
// them out (this file is compiled without fused multiply-adds), the
// weights in 32-bit lanes with the same rounding, so that every instruction
// set gives the same taps.
#include "RunTaps.h"

#include <algorithm>
#include <array>
#include <cmath>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "RunTaps.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef STITCHER_RUN_TAPS_SHARED
#define STITCHER_RUN_TAPS_SHARED
namespace stitcher {
namespace runtaps {

// floor() as an integer.
inline int64_t floorInt(double v) {
    const int64_t i = static_cast<int64_t>(v);
    return i - (static_cast<double>(i) > v);
}

inline uint32_t packWeights(const int* q) {
    return static_cast<uint32_t>(q[0]) | static_cast<uint32_t>(q[1]) << 8 | static_cast<uint32_t>(q[2]) << 16 |
           static_cast<uint32_t>(q[3]) << 24;
}

// The block pixel i reads and its fractions in 1/256ths.
inline uint32_t blockOf(const RunRead& r, int i, int* fx, int* fy) {
    const int64_t fs = floorInt((r.s0 + r.ds * i) * 256.0), ft = floorInt((r.t0 + r.dt * i) * 256.0);
    *fx = static_cast<int>(fs & 255);
    *fy = static_cast<int>(ft & 255);
    return static_cast<uint32_t>(r.origin + static_cast<size_t>(ft >> 8) * r.stride + static_cast<size_t>(fs >> 8) * r.texel) |
           r.flags;
}

// A lone bilinear read's weights of `part` of kWeightOne: first rounded to
// kWeightOne alone, the largest taking what rounding left over, then each
// scaled to the part the same way.
inline uint32_t partWeights(int fx, int fy, int part) {
    int q[4];
    roundedBilinear(fx, fy, q);
    int s[4], bigPart = 0, partSum = 0;
    for (int k = 0; k < 4; ++k) {
        s[k] = (q[k] * part + kWeightOne / 2) / kWeightOne;
        partSum += s[k];
        if (s[k] > s[bigPart]) bigPart = k;
    }
    s[bigPart] += part - partSum;
    return packWeights(s);
}

// round(clamp(a, 0, 1) * kWeightOne), halves away from zero.
inline int topPart(double a) { return static_cast<int>(std::lround(std::clamp(a, 0.0, 1.0) * kWeightOne)); }

inline void writeBlend(SampleTap a, SampleTap b, bool secondFirst, SampleTap* out) {
    out[0] = secondFirst ? b : a;
    out[1] = secondFirst ? a : b;
    out[1].where |= SampleTap::kLast;
}

}  // namespace runtaps
}  // namespace stitcher
#endif

HWY_BEFORE_NAMESPACE();
namespace stitcher {
namespace HWY_NAMESPACE {

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2

namespace hn = hwy::HWY_NAMESPACE;
using DF = hn::CappedTag<double, 4>;
using DI = hn::Rebind<int32_t, DF>;
constexpr size_t kMaxLanes = 4;

// Lanes i0 .. of a read: the block's offset with the flags, and fs, ft in
// 1/256ths of a texel.
struct LaneReads {
    hn::Vec<DI> where, fx, fy;
};

HWY_INLINE LaneReads laneReads(const RunRead& r, hn::Vec<DF> i) {
    const DF df;
    const DI di;
    const auto k256 = hn::Set(df, 256.0);
    const auto fs = hn::DemoteTo(di, hn::Floor(hn::Mul(hn::Add(hn::Set(df, r.s0), hn::Mul(hn::Set(df, r.ds), i)), k256)));
    const auto ft = hn::DemoteTo(di, hn::Floor(hn::Mul(hn::Add(hn::Set(df, r.t0), hn::Mul(hn::Set(df, r.dt), i)), k256)));
    const auto col = hn::ShiftRight<8>(fs), row = hn::ShiftRight<8>(ft);
    const auto where = hn::Add(hn::Add(hn::Set(di, static_cast<int32_t>(r.origin)),
                                       hn::Mul(row, hn::Set(di, static_cast<int32_t>(r.stride)))),
                               hn::Mul(col, hn::Set(di, static_cast<int32_t>(r.texel))));
    const auto low = hn::Set(di, 255);
    return {hn::Or(where, hn::Set(di, static_cast<int32_t>(r.flags))), hn::And(fs, low), hn::And(ft, low)};
}

// Index 0 .. 3 of the first largest of four lanes' values.
HWY_INLINE hn::Vec<DI> firstLargest(const hn::Vec<DI> v[4]) {
    const DI di;
    auto best = v[0];
    auto at = hn::Zero(di);
    for (int j = 1; j < 4; ++j) {
        const auto more = hn::Gt(v[j], best);
        best = hn::IfThenElse(more, v[j], best);
        at = hn::IfThenElse(more, hn::Set(di, j), at);
    }
    return at;
}

// partWeights() of each lane.
HWY_INLINE hn::Vec<DI> lanePartWeights(const LaneReads& r, hn::Vec<DI> part) {
    const DI di;
    const auto k256 = hn::Set(di, 256), one = hn::Set(di, kWeightOne);
    const auto gx = hn::Sub(k256, r.fx), gy = hn::Sub(k256, r.fy);
    const hn::Vec<DI> e[4] = {hn::Mul(gx, gy), hn::Mul(r.fx, gy), hn::Mul(gx, r.fy), hn::Mul(r.fx, r.fy)};
    hn::Vec<DI> q[4];
    auto sum = hn::Zero(di);
    for (int j = 0; j < 4; ++j) {
        q[j] = hn::ShiftRight<16>(hn::Add(hn::Mul(e[j], one), hn::Set(di, 32768)));
        sum = hn::Add(sum, q[j]);
    }
    const auto big = firstLargest(e);
    const auto left = hn::Sub(one, sum);
    for (int j = 0; j < 4; ++j) q[j] = hn::Add(q[j], hn::IfThenElseZero(hn::Eq(big, hn::Set(di, j)), left));
    // (y + 127) / 255 as (y' + (y' >> 8) + 1) >> 8, y' = y + 127: exact up to 65152.
    hn::Vec<DI> s[4];
    auto partSum = hn::Zero(di);
    for (int k = 0; k < 4; ++k) {
        const auto y = hn::Add(hn::Mul(q[k], part), hn::Set(di, kWeightOne / 2));
        s[k] = hn::ShiftRight<8>(hn::Add(hn::Add(y, hn::ShiftRight<8>(y)), hn::Set(di, 1)));
        partSum = hn::Add(partSum, s[k]);
    }
    const auto bigPart = firstLargest(s);
    const auto partLeft = hn::Sub(part, partSum);
    for (int k = 0; k < 4; ++k) s[k] = hn::Add(s[k], hn::IfThenElseZero(hn::Eq(bigPart, hn::Set(di, k)), partLeft));
    return hn::Or(hn::Or(s[0], hn::ShiftLeft<8>(s[1])), hn::Or(hn::ShiftLeft<16>(s[2]), hn::ShiftLeft<24>(s[3])));
}

void LoneRunTapsImpl(const RunRead& read, int n, const uint32_t* wholeWeights, SampleTap* out, size_t base,
                     size_t* starts) {
    const DF df;
    const DI di;
    const int lanes = static_cast<int>(hn::Lanes(df));
    HWY_ALIGN int32_t where[kMaxLanes], fractions[kMaxLanes];
    for (int i0 = 0; i0 < n; i0 += lanes) {
        const LaneReads r = laneReads(read, hn::Iota(df, static_cast<double>(i0)));
        hn::Store(hn::Or(r.where, hn::Set(di, static_cast<int32_t>(SampleTap::kLast))), di, where);
        // The weights by plain loads: a gather of four costs more than four loads.
        hn::Store(hn::Add(hn::ShiftLeft<8>(r.fy), r.fx), di, fractions);
        const int m = std::min(lanes, n - i0);
        for (int j = 0; j < m; ++j) {
            out[i0 + j] = SampleTap{static_cast<uint32_t>(where[j]), wholeWeights[fractions[j]]};
            starts[i0 + j] = base + static_cast<size_t>(i0 + j);
        }
    }
}

void BlendRunTapsImpl(const RunRead reads[2], double alpha, double dalpha, bool secondFirst, int n, SampleTap* out,
                      size_t base, size_t* starts) {
    const DF df;
    const DI di;
    const int lanes = static_cast<int>(hn::Lanes(df));
    HWY_ALIGN int32_t where[2][kMaxLanes], weights[2][kMaxLanes];
    for (int i0 = 0; i0 < n; i0 += lanes) {
        const auto i = hn::Iota(df, static_cast<double>(i0));
        // round(clamp(alpha + dalpha i, 0, 1) * kWeightOne): whole part and fraction are exact.
        const auto a = hn::Min(hn::Max(hn::Add(hn::Set(df, alpha), hn::Mul(hn::Set(df, dalpha), i)), hn::Zero(df)),
                               hn::Set(df, 1.0));
        const auto x = hn::Mul(a, hn::Set(df, static_cast<double>(kWeightOne)));
        const auto whole = hn::Floor(x);
        const auto up = hn::IfThenElseZero(hn::Ge(hn::Sub(x, whole), hn::Set(df, 0.5)), hn::Set(df, 1.0));
        const auto top = hn::DemoteTo(di, hn::Add(whole, up));
        const auto parts = std::array<hn::Vec<DI>, 2>{top, hn::Sub(hn::Set(di, kWeightOne), top)};
        for (int k = 0; k < 2; ++k) {
            const LaneReads r = laneReads(reads[k], i);
            hn::Store(r.where, di, where[k]);
            hn::Store(lanePartWeights(r, parts[static_cast<size_t>(k)]), di, weights[k]);
        }
        const int m = std::min(lanes, n - i0);
        for (int j = 0; j < m; ++j) {
            const size_t at = static_cast<size_t>(i0 + j);
            runtaps::writeBlend(SampleTap{static_cast<uint32_t>(where[0][j]), static_cast<uint32_t>(weights[0][j])},
                                SampleTap{static_cast<uint32_t>(where[1][j]), static_cast<uint32_t>(weights[1][j])},
                                secondFirst, out + 2 * at);
            starts[at] = base + 2 * at;
        }
    }
}

#else

void LoneRunTapsImpl(const RunRead& read, int n, const uint32_t* wholeWeights, SampleTap* out, size_t base,
                     size_t* starts) {
    for (int i = 0; i < n; ++i) {
        int fx, fy;
        const uint32_t where = runtaps::blockOf(read, i, &fx, &fy);
        out[i] = SampleTap{where | SampleTap::kLast, wholeWeights[static_cast<size_t>(fy) * 256 + static_cast<size_t>(fx)]};
        starts[i] = base + static_cast<size_t>(i);
    }
}

void BlendRunTapsImpl(const RunRead reads[2], double alpha, double dalpha, bool secondFirst, int n, SampleTap* out,
                      size_t base, size_t* starts) {
    for (int i = 0; i < n; ++i) {
        const int top = runtaps::topPart(alpha + dalpha * i);
        SampleTap t[2];
        for (int k = 0; k < 2; ++k) {
            int fx, fy;
            t[k].where = runtaps::blockOf(reads[k], i, &fx, &fy);
            t[k].weights = runtaps::partWeights(fx, fy, k == 0 ? top : kWeightOne - top);
        }
        runtaps::writeBlend(t[0], t[1], secondFirst, out + 2 * static_cast<size_t>(i));
        starts[i] = base + 2 * static_cast<size_t>(i);
    }
}

#endif

}  // namespace HWY_NAMESPACE
}  // namespace stitcher
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace stitcher {

HWY_EXPORT(LoneRunTapsImpl);
HWY_EXPORT(BlendRunTapsImpl);

void loneRunTaps(const RunRead& read, int n, const uint32_t* wholeWeights, SampleTap* out, size_t base,
                 size_t* starts) {
    HWY_DYNAMIC_DISPATCH(LoneRunTapsImpl)(read, n, wholeWeights, out, base, starts);
}

void blendRunTaps(const RunRead reads[2], double alpha, double dalpha, bool secondFirst, int n, SampleTap* out,
                  size_t base, size_t* starts) {
    HWY_DYNAMIC_DISPATCH(BlendRunTapsImpl)(reads, alpha, dalpha, secondFirst, n, out, base, starts);
}

}  // namespace stitcher
#endif
