// The SSE2 kernels, the baseline of every x86 build: output rows, delta rows one
// sample block at a time, and the run-length mode table of coding modes 3 and 4
// in windows of 32 code bytes. This file alone is compiled with SSE2 enabled.
#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "cell_output_sse2.h"
#include "delta_walk.h"
#include "kernels.h"
#include "kernels_x86.h"
#include "rle_window.h"
#include "sample_block_sse2.h"

namespace ruv {

namespace sse2 {

// Two cell pairs at a time, then one left over.
template <bool stream>
void show_yuy2_as(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    size_t i = 0;
    for (; i + 2 <= pairs; i += 2) yuy2_two_pairs<stream>(cells + 12 * i, upper + 8 * i, lower + 8 * i);
    if (i < pairs) yuy2_pair(cells + 12 * i, upper + 8 * i, lower + 8 * i);
}

template <bool stream>
void show_rgb32_as(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    for (size_t i = 0; i < pairs; ++i) rgb32_pair<stream>(cells + 12 * i, upper + 16 * i, lower + 16 * i);
}

void show_yuy2(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    show_yuy2_as<false>(cells, pairs, upper, lower);
}
void show_rgb32(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    show_rgb32_as<false>(cells, pairs, upper, lower);
}
// Streamed where both lines start on 16-byte boundaries, which the stores
// need; plain elsewhere.
static bool on_16_byte_lines(const uint8_t* upper, const uint8_t* lower) {
    return ((reinterpret_cast<uintptr_t>(upper) | reinterpret_cast<uintptr_t>(lower)) & 15) == 0;
}
void show_yuy2_stream(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    (on_16_byte_lines(upper, lower) ? show_yuy2_as<true> : show_yuy2_as<false>)(cells, pairs, upper, lower);
}
void show_rgb32_stream(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    (on_16_byte_lines(upper, lower) ? show_rgb32_as<true> : show_rgb32_as<false>)(cells, pairs, upper, lower);
}

void end_stream() { _mm_sfence(); }

void copy_stream(uint8_t* to, const uint8_t* from, size_t bytes) {
    const size_t head = std::min(bytes, (16 - reinterpret_cast<uintptr_t>(to) % 16) % 16);
    std::memcpy(to, from, head);
    size_t i = head;
    for (; i + 16 <= bytes; i += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(to + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
    }
    std::memcpy(to + i, from + i, bytes - i);
}

// Sample blocks without a branch on their code: the code picks, from tables, the
// block the samples start from (reference, predictor or, for LITERAL, the
// payload itself) and how the delta fields are cut from the first two payload
// bytes. With both bytes as one 16-bit word W in every lane, lane i of W times
// a per-code multiplier has its field at the top bits: DELTA2 fields at bits 2i
// (times 1 << (14 - 2i)); 4-bit fields at bits 0, 8, 4, 12 (times 1 << 12,
// 1 << 4, 1 << 8, 1). The other bits are cleared and one arithmetic right shift
// sign-extends and scales the field; codes without deltas multiply by 0. It reads
// the four bytes at the payload, whatever the code: over_read is 3.
struct rebuilder {
    static constexpr size_t over_read = 3;
    enum : uint8_t { from_ref, from_predictor, from_payload };

    struct code_plan {
        int16_t multiplier[8];
        int16_t field[8];
    };
    static constexpr int16_t d2_field = int16_t(0xC000), d4_field = int16_t(0xF000);
    static constexpr code_plan plans[8] = {
        {{0}, {0}},                                                                           // KEEP
        {{0}, {0}},                                                                           // LITERAL
        {{1 << 14, 1 << 12, 1 << 10, 1 << 8}, {d2_field, d2_field, d2_field, d2_field}},     // DELTA2
        {{1 << 12, 1 << 4, 1 << 8, 1}, {d4_field, d4_field, d4_field, d4_field}},            // DELTA4
        {{0}, {0}},                                                                           // LEFT
        {{1 << 12, 1 << 4, 1 << 8, 1}, {d4_field, d4_field, d4_field, d4_field}},            // DELTA4_FINE
        {{1 << 14, 1 << 12, 1 << 10, 1 << 8}, {d2_field, d2_field, d2_field, d2_field}},     // LEFT_DELTA2
        {{1 << 12, 1 << 4, 1 << 8, 1}, {d4_field, d4_field, d4_field, d4_field}},            // LEFT_DELTA4
    };
    static constexpr uint8_t source_of[8] = {from_ref,       from_payload, from_ref,       from_ref,
                                             from_predictor, from_ref,     from_predictor, from_predictor};

    __m128i count[8];  // right shift of each code's fields
    delta_shifts shifts;

    rebuilder(int32_t s2, int32_t s4) : shifts(s2, s4) {
        const int32_t counts[8] = {0, 0, 14 - s2, 12 - s4, 0, 12, 14 - s2, 12 - s4};
        for (int i = 0; i < 8; ++i) count[i] = _mm_cvtsi32_si128(counts[i]);
    }

    size_t operator()(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                      uint8_t* shown) const {
        const uint32_t i = code < 8 ? code : 0;  // chroma codes above 7 keep
        const uint8_t* const sources[3] = {ref, predictor, payload};
        const __m128i base = load4_u16(sources[source_of[i]]);
        int32_t bytes;
        std::memcpy(&bytes, payload, 4);
        const __m128i word = _mm_shufflelo_epi16(_mm_cvtsi32_si128(bytes), 0);
        const code_plan& plan = plans[i];
        const __m128i fields = _mm_and_si128(
            _mm_mullo_epi16(word, _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.multiplier))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.field)));
        const __m128i sums = _mm_add_epi16(base, _mm_sra_epi16(fields, count[i]));
        store4(ref, _mm_packus_epi16(_mm_and_si128(sums, _mm_set1_epi16(0xFF)), sums));
        store4(shown, _mm_packus_epi16(sums, sums));
        return payload_size[i];
    }

    size_t exact(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                 uint8_t* shown) const {
        return rebuild_sample_block(code, payload, predictor, ref, shown, shifts);
    }
};

size_t rebuild_block(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                     uint8_t* shown, int32_t shift2, int32_t shift4) {
    return rebuilder(shift2, shift4)(code, payload, predictor, ref, shown);
}

const rebuild_row_kernel rebuild_rows[3] = {rebuild_row_with<0, rebuilder>, rebuild_row_with<1, rebuilder>,
                                             rebuild_row_with<2, rebuilder>};

// The parts of the run-length reader (rle_window.h): 16 table bytes a step; a
// window's 32 code bytes in two halves.
namespace {

inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Byte k of the result is all ones where k is below n.
inline __m128i first_bytes(uint32_t n) {
    const __m128i k = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_cmpgt_epi8(_mm_set1_epi8(int8_t(n < 16 ? n : 16)), k);
}

// Writes the bytes of v where mask is set over the table's 16 bytes at p.
inline void blend_into(uint8_t* p, __m128i v, __m128i mask) {
    const __m128i kept = _mm_andnot_si128(mask, load16(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_or_si128(kept, _mm_and_si128(mask, v)));
}

struct window_parts {
    static constexpr size_t step = 16;

    static window_masks masks(const uint8_t* p, uint8_t* counts) {
        const __m128i one = _mm_set1_epi8(1), run_bit = _mm_set1_epi8(0x40);
        const __m128i most = _mm_set1_epi8(int8_t(rle_window_entries - 1));
        window_masks m{0, 0, 0};
        for (int half = 0; half < 2; ++half) {
            const __m128i bytes = load16(p + 16 * half);
            const __m128i next = load16(p + 16 * half + 1);
            const __m128i is_run = _mm_cmpeq_epi8(_mm_and_si128(bytes, run_bit), run_bit);
            // Counts 1 to 4: count - 1, unsigned, at most three.
            const __m128i less = _mm_sub_epi8(next, one);
            const __m128i short_count = _mm_cmpeq_epi8(_mm_min_epu8(less, most), less);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(counts + 16 * half),
                             _mm_or_si128(_mm_and_si128(is_run, next), _mm_andnot_si128(is_run, one)));
            const int at = 16 * half;
            m.runs |= uint32_t(_mm_movemask_epi8(is_run)) << at;
            m.chroma |= uint32_t(_mm_movemask_epi8(bytes)) << at;
            m.short_counts |= uint32_t(_mm_movemask_epi8(short_count)) << at;
        }
        return m;
    }

    static void spread_luma(uint8_t* y, uint32_t n, const uint8_t* entries) {
        const __m128i even_bytes = _mm_set1_epi16(0x00FF), zero = _mm_setzero_si128();
        for (uint32_t k = 0; k < n; k += 8) {
            // Entry k to table byte 2k, by widening bytes to words.
            const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(entries + k));
            const __m128i words = _mm_unpacklo_epi8(bytes, zero);
            blend_into(y + 2 * k, words, _mm_and_si128(even_bytes, first_bytes(2 * (n - k))));
        }
    }

    static void spread_chroma(uint8_t* uv, uint32_t n, const uint8_t* entries) {
        const __m128i chroma_bytes = _mm_set1_epi32(int32_t(0xFF00FF00u)), seven = _mm_set1_epi32(7);
        const __m128i zero = _mm_setzero_si128();
        for (uint32_t k = 0; k < n; k += 4) {
            int32_t four;
            std::memcpy(&four, entries + k, 4);
            const __m128i b = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero), zero);
            const __m128i words = _mm_or_si128(_mm_slli_epi32(_mm_and_si128(_mm_srli_epi32(b, 3), seven), 8),
                                               _mm_slli_epi32(_mm_and_si128(b, seven), 24));
            blend_into(uv + 4 * k, words, _mm_and_si128(chroma_bytes, first_bytes(4 * (n - k))));
        }
    }
};

}  // namespace

}  // namespace sse2

void fill_kernels_sse2(kernel_table& table) {
    table.show_yuy2 = sse2::show_yuy2;
    table.show_rgb32 = sse2::show_rgb32;
    table.show_yuy2_stream = sse2::show_yuy2_stream;
    table.show_rgb32_stream = sse2::show_rgb32_stream;
    table.end_stream = sse2::end_stream;
    table.copy_stream = sse2::copy_stream;
    for (size_t skip = 0; skip < 3; ++skip) table.rebuild_row[skip] = sse2::rebuild_rows[skip];
    table.rebuild_block = sse2::rebuild_block;
    table.rle_codes = read_windows<taken_window<sse2::window_parts>>;
}

}  // namespace ruv
