// SSE2 twins of the kernels in cell_output_c.h, bit for bit the same results.
// Stores are unaligned, so any output buffer works.
#pragma once

#include "decoder.h"

#if RUV_SSE2
#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "cell_output_c.h"

namespace ruv {

inline __m128i load_luma8(const uint8_t* cell) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cell));
}

inline __m128i load_chroma4(const uint8_t* cell) {
    int32_t c;
    std::memcpy(&c, cell + 8, 4);
    return _mm_cvtsi32_si128(c);
}

inline void yuy2_pair_sse2(const uint8_t* cell, uint8_t* upper, uint8_t* lower) {
    const __m128i zero = _mm_setzero_si128();
    // Luma A0 A1 A2 A3 B0 B1 B2 B3 into line order A0 A1 B0 B1 | A2 A3 B2 B3.
    const __m128i luma = _mm_shuffle_epi32(_mm_unpacklo_epi8(load_luma8(cell), zero), _MM_SHUFFLE(3, 1, 2, 0));
    // Chroma UA VA UB VB, once for each line, in the high bytes.
    __m128i chroma = _mm_unpacklo_epi8(load_chroma4(cell), zero);
    chroma = _mm_slli_epi16(_mm_unpacklo_epi64(chroma, chroma), 8);
    const __m128i lines = _mm_or_si128(luma, chroma);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(upper), lines);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(lower), _mm_unpackhi_epi64(lines, lines));
}

inline void rgb32_pair_sse2(const uint8_t* cell, uint8_t* upper, uint8_t* lower) {
    const __m128i zero = _mm_setzero_si128();
    // Lanes UA UA VA VA UB UB VB VB, centred and times 4: the high half of the
    // 32-bit product with a coefficient is then floor(u * coefficient / 16384).
    __m128i chroma = _mm_unpacklo_epi8(load_chroma4(cell), zero);
    chroma = _mm_unpacklo_epi16(chroma, chroma);
    chroma = _mm_slli_epi16(_mm_sub_epi16(chroma, _mm_set1_epi16(128)), 2);
    const __m128i coef = _mm_setr_epi16(coef_u_blue, coef_u_green, coef_v_green, coef_v_red,
                                        coef_u_blue, coef_u_green, coef_v_green, coef_v_red);
    const __m128i t = _mm_mulhi_epi16(chroma, coef);  // dB, gU, gV, dR for each cell
    // (dB, gU + gV, dR, 0) for each cell.
    const __m128i keep01 = _mm_setr_epi16(-1, -1, 0, 0, -1, -1, 0, 0);
    const __m128i keep12 = _mm_setr_epi16(0, -1, -1, 0, 0, -1, -1, 0);
    const __m128i offs = _mm_add_epi16(_mm_and_si128(t, keep01), _mm_and_si128(_mm_srli_epi64(t, 16), keep12));
    const __m128i offs_a = _mm_unpacklo_epi64(offs, offs);
    const __m128i offs_b = _mm_unpackhi_epi64(offs, offs);

    // Each luma sample in four lanes: A0 A0 A1 A1 A2 A2 A3 A3 then pixel pairs.
    const __m128i y16 = _mm_unpacklo_epi8(load_luma8(cell), zero);
    const __m128i ya = _mm_unpacklo_epi16(y16, y16);
    const __m128i yb = _mm_unpackhi_epi16(y16, y16);
    const __m128i a_upper = _mm_add_epi16(_mm_unpacklo_epi32(ya, ya), offs_a);
    const __m128i a_lower = _mm_add_epi16(_mm_unpackhi_epi32(ya, ya), offs_a);
    const __m128i b_upper = _mm_add_epi16(_mm_unpacklo_epi32(yb, yb), offs_b);
    const __m128i b_lower = _mm_add_epi16(_mm_unpackhi_epi32(yb, yb), offs_b);
    // Unsigned saturation clamps to 0..255; the fourth lane carries the luma unchanged.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(upper), _mm_packus_epi16(a_upper, b_upper));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lower), _mm_packus_epi16(a_lower, b_lower));
}

}  // namespace ruv
#endif
