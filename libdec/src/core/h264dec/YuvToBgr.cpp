// Each row: the chroma terms of its pixels first (32-bit products, kept in
// 1/64 levels), then per pixel the luma term plus each chroma term with
// saturation, shifted to levels and clamped. The SSSE3 code does the same
// integer steps as the plain one, so both give the same bytes (defining
// YUVTOBGR_PLAIN builds the plain one alone, to compare them).
#include "h264dec/YuvToBgr.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(YUVTOBGR_PLAIN)
#include <immintrin.h>
#define YUVTOBGR_X86 1
#endif

namespace {

using Weights = CYuvToBgr::Weights;

inline int16_t Term(int32_t product, int32_t bias) {
    return static_cast<int16_t>(std::min(32767, std::max(-32768, ((product + 64) >> 7) + bias)));
}

inline uint8_t Level(int32_t luma, int16_t term) {
    const int32_t s = std::min(32767, std::max(-32768, luma + term));
    return static_cast<uint8_t>(std::min(255, std::max(0, s >> 6)));
}

inline int32_t LumaTerm(const Weights& w, uint8_t y) {
    return ((static_cast<int32_t>(y) << 7) * w.luma + (1 << 14)) >> 15;
}

// Chroma terms of chroma samples [c0, cw), each written for 1 << shiftX pixels.
void TermsPlain(const Weights& w, const uint8_t* u, const uint8_t* v, size_t c0, size_t cw, int shiftX, int16_t* r,
                int16_t* g, int16_t* b) {
    for (size_t c = c0; c < cw; ++c) {
        const int32_t du = u[c] - 128, dv = v[c] - 128;
        const int16_t tr = Term(w.rv * dv, w.bias), tg = Term(w.gu * du + w.gv * dv, w.bias),
                      tb = Term(w.bu * du, w.bias);
        for (size_t k = c << shiftX; k < (c + 1) << shiftX; ++k) r[k] = tr, g[k] = tg, b[k] = tb;
    }
}

void PixelsPlain(const Weights& w, const uint8_t* y, size_t x0, size_t width, const int16_t* r, const int16_t* g,
                 const int16_t* b, uint8_t* out) {
    for (size_t x = x0; x < width; ++x) {
        const int32_t l = LumaTerm(w, y[x]);
        out[3 * x] = Level(l, b[x]);
        out[3 * x + 1] = Level(l, g[x]);
        out[3 * x + 2] = Level(l, r[x]);
    }
}

void RowPlain(const Weights& w, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width, int shiftX,
              bool newChroma, int16_t* r, int16_t* g, int16_t* b, uint8_t* out) {
    if (newChroma) TermsPlain(w, u, v, 0, (width + (size_t(1) << shiftX) - 1) >> shiftX, shiftX, r, g, b);
    PixelsPlain(w, y, 0, width, r, g, b, out);
}

#ifdef YUVTOBGR_X86

// 8 chroma terms from 4 + 4 pairs (du, dv) against the weight pair (a, b).
__attribute__((target("ssse3"))) inline __m128i Terms8(__m128i lo, __m128i hi, int16_t a, int16_t b, __m128i bias) {
    const __m128i wpair = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(a)) |
                                         (static_cast<int32_t>(static_cast<uint16_t>(b)) << 16));
    const __m128i round = _mm_set1_epi32(64);
    __m128i p = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(lo, wpair), round), 7), bias);
    __m128i q = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(hi, wpair), round), 7), bias);
    return _mm_packs_epi32(p, q);
}

__attribute__((target("ssse3"))) inline void StoreTerms(__m128i t, int shiftX, int16_t* at) {
    if (shiftX) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_unpacklo_epi16(t, t));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 8), _mm_unpackhi_epi16(t, t));
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), t);
    }
}

// 16 levels of one channel from the luma terms and 16 chroma terms.
__attribute__((target("ssse3"))) inline __m128i Channel(__m128i l0, __m128i l1, const int16_t* t) {
    const __m128i a = _mm_srai_epi16(_mm_adds_epi16(l0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(t))), 6);
    const __m128i b = _mm_srai_epi16(_mm_adds_epi16(l1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 8))), 6);
    return _mm_packus_epi16(a, b);
}

__attribute__((target("ssse3"))) void RowSsse3(const Weights& w, const uint8_t* y, const uint8_t* u, const uint8_t* v,
                                               size_t width, int shiftX, bool newChroma, int16_t* r, int16_t* g,
                                               int16_t* b, uint8_t* out) {
    if (newChroma) {
        const size_t cw = (width + (size_t(1) << shiftX) - 1) >> shiftX;
        const __m128i bias = _mm_set1_epi32(w.bias), zero = _mm_setzero_si128(), c128 = _mm_set1_epi16(128);
        size_t c = 0;
        for (; c + 8 <= cw; c += 8) {
            const __m128i du =
                _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + c)), zero), c128);
            const __m128i dv =
                _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + c)), zero), c128);
            const __m128i lo = _mm_unpacklo_epi16(du, dv), hi = _mm_unpackhi_epi16(du, dv);
            const size_t at = c << shiftX;
            StoreTerms(Terms8(lo, hi, 0, w.rv, bias), shiftX, r + at);
            StoreTerms(Terms8(lo, hi, w.gu, w.gv, bias), shiftX, g + at);
            StoreTerms(Terms8(lo, hi, w.bu, 0, bias), shiftX, b + at);
        }
        TermsPlain(w, u, v, c, cw, shiftX, r, g, b);
    }
    const __m128i luma = _mm_set1_epi16(w.luma), zero = _mm_setzero_si128();
    // Byte order of 16 pixels' B, G, R from the three channel vectors.
    const __m128i b0 = _mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5);
    const __m128i g0 = _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1);
    const __m128i r0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m128i b1 = _mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1);
    const __m128i g1 = _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10);
    const __m128i r1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1);
    const __m128i b2 = _mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1);
    const __m128i g2 = _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1);
    const __m128i r2 = _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15);
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i yy = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        const __m128i l0 = _mm_mulhrs_epi16(_mm_slli_epi16(_mm_unpacklo_epi8(yy, zero), 7), luma);
        const __m128i l1 = _mm_mulhrs_epi16(_mm_slli_epi16(_mm_unpackhi_epi8(yy, zero), 7), luma);
        const __m128i bv = Channel(l0, l1, b + x), gv = Channel(l0, l1, g + x), rv = Channel(l0, l1, r + x);
        __m128i* o = reinterpret_cast<__m128i*>(out + 3 * x);
        _mm_storeu_si128(o, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(bv, b0), _mm_shuffle_epi8(gv, g0)),
                                         _mm_shuffle_epi8(rv, r0)));
        _mm_storeu_si128(o + 1, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(bv, b1), _mm_shuffle_epi8(gv, g1)),
                                             _mm_shuffle_epi8(rv, r1)));
        _mm_storeu_si128(o + 2, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(bv, b2), _mm_shuffle_epi8(gv, g2)),
                                             _mm_shuffle_epi8(rv, r2)));
    }
    PixelsPlain(w, y, x, width, r, g, b, out);
}

#endif

}  // namespace

void CYuvToBgr::Set(double kr, double kb, bool fullRange) {
    const double kg = 1.0 - kr - kb;
    const double yScale = fullRange ? 1.0 : 255.0 / 219.0, cScale = fullRange ? 1.0 : 255.0 / 224.0;
    auto chroma = [&](double c) { return static_cast<int16_t>(std::lround(c * cScale * 8192.0)); };
    m_w.luma = static_cast<int16_t>(std::lround(yScale * 64.0 * 256.0));
    m_w.rv = chroma(2 * (1 - kr));
    m_w.bu = chroma(2 * (1 - kb));
    m_w.gu = chroma(-2 * (1 - kb) * kb / kg);
    m_w.gv = chroma(-2 * (1 - kr) * kr / kg);
    const double yOffset = fullRange ? 0.0 : 16.0;
    m_w.bias = static_cast<int32_t>(std::lround(32.0 - yOffset * yScale * 64.0));
}

void CYuvToBgr::Convert(const uint8_t* const planes[3], const int strides[3], int width, int height, int shiftX,
                        int shiftY, uint8_t* bgr, int bgrStride, int firstLine) {
    if (width <= 0 || height <= 0) return;
    const size_t w = static_cast<size_t>(width);
    const size_t span = (((w + 1) >> 1) << 1) + 16;  // room for a duplicated odd last sample and one vector
    m_terms.resize(3 * span);
    int16_t *r = m_terms.data(), *g = r + span, *b = g + span;
#ifdef YUVTOBGR_X86
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    auto* row = ssse3 ? RowSsse3 : RowPlain;
#else
    auto* row = RowPlain;
#endif
    int chromaRow = -1;
    for (int line = 0; line < height; ++line) {
        const int c = ((firstLine + line) >> shiftY) - (firstLine >> shiftY);
        row(m_w, planes[0] + static_cast<ptrdiff_t>(line) * strides[0],
            planes[1] + static_cast<ptrdiff_t>(c) * strides[1], planes[2] + static_cast<ptrdiff_t>(c) * strides[2], w,
            shiftX, c != chromaRow, r, g, b, bgr + static_cast<ptrdiff_t>(line) * bgrStride);
        chromaRow = c;
    }
}
