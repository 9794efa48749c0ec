// SSE2 twins of the kernels in cell_output_c.h, bit for bit the same results.
// Stores are unaligned, so any output buffer works; the streaming variants
// store 16 bytes at a time non-temporally and need 16-byte aligned lines. Only kernels_sse2.cpp
// includes this file.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "cell_output_c.h"

namespace ruv {
namespace sse2 {

inline __m128i load_luma8(const uint8_t* cell) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cell));
}

inline __m128i load_chroma4(const uint8_t* cell) {
    int32_t c;
    std::memcpy(&c, cell + 8, 4);
    return _mm_cvtsi32_si128(c);
}

// Luma words A0A1 A2A3 B0B1 B2B3 (and C, D of a second pair in the high half)
// into line order: the upper lines' words, then the lower lines'.
inline __m128i luma_lines(__m128i luma) {
    const __m128i words = _mm_shufflehi_epi16(_mm_shufflelo_epi16(luma, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_shuffle_epi32(words, _MM_SHUFFLE(3, 1, 2, 0));
}

inline void yuy2_pair(const uint8_t* cell, uint8_t* upper, uint8_t* lower) {
    // Upper luma A0 A1 B0 B1 | lower luma A2 A3 B2 B3, interleaved with UA VA UB VB.
    const __m128i luma = _mm_shufflelo_epi16(load_luma8(cell), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i chroma = load_chroma4(cell);
    const __m128i up = _mm_unpacklo_epi8(luma, chroma);
    const __m128i lo = _mm_unpacklo_epi8(_mm_srli_epi64(luma, 32), chroma);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(upper), up);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(lower), lo);
}

// Two neighbouring cell pairs (24 bytes) at once: 16 bytes a line.
// 16-byte stores, plain or non-temporal.
template <bool stream>
inline void store16(uint8_t* p, __m128i v) {
    if (stream) _mm_stream_si128(reinterpret_cast<__m128i*>(p), v);
    else _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

template <bool stream>
inline void yuy2_two_pairs(const uint8_t* cells, uint8_t* upper, uint8_t* lower) {
    const __m128i luma = luma_lines(_mm_unpacklo_epi64(load_luma8(cells), load_luma8(cells + 12)));
    const __m128i chroma = _mm_unpacklo_epi32(load_chroma4(cells), load_chroma4(cells + 12));
    store16<stream>(upper, _mm_unpacklo_epi8(luma, chroma));
    store16<stream>(lower, _mm_unpacklo_epi8(_mm_unpackhi_epi64(luma, luma), chroma));
}

template <bool stream>
inline void rgb32_pair(const uint8_t* cell, uint8_t* upper, uint8_t* lower) {
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
    store16<stream>(upper, _mm_packus_epi16(a_upper, b_upper));
    store16<stream>(lower, _mm_packus_epi16(a_lower, b_lower));
}

}  // namespace sse2
}  // namespace ruv
