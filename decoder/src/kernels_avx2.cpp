// The AVX2 kernels: output rows eight (YUY2) or four (RGB32) cell pairs at a
// time (show_rows_avx2.h), delta rows four blocks at a time (rebuild_rows_avx2.h),
// the SSE2 kernels for what is left over, the record lengths of packed mode
// tables 32 positions at a time, and the run-length mode table of coding modes
// 3 and 4 in windows of 32 code bytes. This file alone is compiled with AVX2
// enabled, and calls no inline function with external linkage, so no AVX2 code
// can reach a processor without AVX2.
#include <immintrin.h>

#include <cstring>

#include "kernels.h"
#include "kernels_x86.h"
#include "rebuild_rows_avx2.h"
#include "rle_window.h"
#include "show_rows_avx2.h"

namespace ruv {

namespace avx2 {

inline __m256i load_two(const uint8_t* low, const uint8_t* high) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// Runs a kernel's `lines` (both lines of n pairs, 32 bytes each) over a row:
// twice a step, each line's 64 bytes stored together, then once where n pairs
// are left. Returns the pairs shown.
template <stores kind, size_t n, typename Lines>
inline size_t show_steps(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower, Lines lines) {
    __m256i ups[2], los[2];
    size_t i = 0, at = 0;  // pairs shown, bytes of each line written
    row_stores<kind> out(upper, lower, pairs * (32 / n));
    for (; i + 2 * n <= pairs; i += 2 * n, at += 64) {
        const uint8_t* c = cells + 12 * i;
        read_ahead(c);
        fetch_lines_ahead<kind>(upper + at, lower + at);
        lines(c, ups[0], los[0]);
        lines(c + 12 * n, ups[1], los[1]);
        out.step(at, ups[0], ups[1], los[0], los[1]);
    }
    out.finish();
    if (i + n <= pairs) {
        lines(cells + 12 * i, ups[0], los[0]);
        store32<stores::plain>(upper + at, ups[0]);
        store32<stores::plain>(lower + at, los[0]);
        i += n;
    }
    return i;
}

// Bytes of a cell pair at offset o of a lane into its upper and lower YUY2 lines:
// luma A0 A1 B0 B1 (upper) and A2 A3 B2 B3 (lower), each with U V of its cell.
#define RUV_YUY2_LANE(o)                                                                                   \
    o + 0, o + 8, o + 1, o + 9, o + 4, o + 10, o + 5, o + 11, o + 2, o + 8, o + 3, o + 9, o + 6, o + 10, \
        o + 7, o + 11

template <stores kind>
void show_yuy2_as(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    // Pairs 0, 1 and 2 are loaded from their start; pair 3 from 4 bytes before,
    // so that no load reaches past the last pair.
    const __m256i order01 = _mm256_setr_epi8(RUV_YUY2_LANE(0), RUV_YUY2_LANE(0));
    const __m256i order23 = _mm256_setr_epi8(RUV_YUY2_LANE(0), RUV_YUY2_LANE(4));
    // The two lines of four pairs.
    const auto lines = [&](const uint8_t* c, __m256i& ups, __m256i& los) {
        const __m256i p01 = _mm256_shuffle_epi8(load_two(c, c + 12), order01);    // up0 lo0 | up1 lo1
        const __m256i p23 = _mm256_shuffle_epi8(load_two(c + 24, c + 32), order23);  // up2 lo2 | up3 lo3
        ups = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(p01, p23), _MM_SHUFFLE(3, 1, 2, 0));
        los = _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(p01, p23), _MM_SHUFFLE(3, 1, 2, 0));
    };
    const size_t i = show_steps<kind, 4>(cells, pairs, upper, lower, lines);
    if (i < pairs) sse2::show_yuy2(cells + 12 * i, pairs - i, upper + 8 * i, lower + 8 * i);
}
#undef RUV_YUY2_LANE

// RGB32 with one cell pair in each 128-bit lane. Each cell's chroma gives the
// offsets (dB, dG, dR, 0) of its four pixels, as in the SSE2 kernel; the sums
// with luma are then formed in bytes: adding the positive part and subtracting
// the negative part of an offset, both saturating, clamps luma + offset to
// 0..255 exactly as the 16-bit sum and an unsigned pack would.
struct rgb32_lines {
    const __m256i zero = _mm256_setzero_si256();
    // Coefficients times 4 lanes of centred chroma: the high half of each product
    // is floor(chroma * coefficient / 16384), as in the scalar kernel.
    const __m256i coef = _mm256_setr_epi16(29016, -5662, -11706, 22973, 29016, -5662, -11706, 22973,  //
                                           29016, -5662, -11706, 22973, 29016, -5662, -11706, 22973);
    const __m256i keep01 = _mm256_setr_epi16(-1, -1, 0, 0, -1, -1, 0, 0, -1, -1, 0, 0, -1, -1, 0, 0);
    const __m256i keep12 = _mm256_setr_epi16(0, -1, -1, 0, 0, -1, -1, 0, 0, -1, -1, 0, 0, -1, -1, 0);
    // A line's pixels are A A B B: cell A's offsets twice, then cell B's.
    const __m256i offsets_of_line = _mm256_setr_epi8(0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7,  //
                                                     0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7);
    // Luma A0 A1 B0 B1 (upper line) and A2 A3 B2 B3 (lower), each in all four bytes of its pixel.
    const __m256i upper_luma = _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 4, 4, 4, 4, 5, 5, 5, 5,  //
                                                0, 0, 0, 0, 1, 1, 1, 1, 4, 4, 4, 4, 5, 5, 5, 5);
    const __m256i lower_luma = _mm256_setr_epi8(2, 2, 2, 2, 3, 3, 3, 3, 6, 6, 6, 6, 7, 7, 7, 7,  //
                                                2, 2, 2, 2, 3, 3, 3, 3, 6, 6, 6, 6, 7, 7, 7, 7);
    // The second pair is loaded from 4 bytes before it (so that no load reaches
    // past it) and moved down to the start of its lane.
    const __m256i align = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,  //
                                           4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15, 15, 15, 15);
    // Pairs of cells (B of pair k, A of pair k + 1): from a load at byte 4 of
    // pair k, B's luma is at 0-3 and A's at 8-11; from one at byte 8, B's chroma
    // at 2-3 and A's at 12-13.
    const __m256i odd_upper_luma = _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 8, 8, 8, 8, 9, 9, 9, 9,  //
                                                    0, 0, 0, 0, 1, 1, 1, 1, 8, 8, 8, 8, 9, 9, 9, 9);
    const __m256i odd_lower_luma = _mm256_setr_epi8(2, 2, 2, 2, 3, 3, 3, 3, 10, 10, 10, 10, 11, 11, 11, 11,  //
                                                    2, 2, 2, 2, 3, 3, 3, 3, 10, 10, 10, 10, 11, 11, 11, 11);
    const __m256i odd_chroma = _mm256_setr_epi8(2, 3, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                                2, 3, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);

    // Both lines of pairs c and c + 12, one a lane.
    void pairs(const uint8_t* c, __m256i& ups, __m256i& los) const {
        const __m256i cell = _mm256_shuffle_epi8(load_two(c, c + 8), align);
        lines(cell, _mm256_srli_si256(cell, 8), upper_luma, lower_luma, ups, los);
    }
    // Both lines of the pairs of cells from pair c and from pair c + 12; reads
    // bytes 4 to 35.
    void odd_pairs(const uint8_t* c, __m256i& ups, __m256i& los) const {
        const __m256i luma = load_two(c + 4, c + 16);
        const __m256i chroma = _mm256_shuffle_epi8(load_two(c + 8, c + 20), odd_chroma);
        lines(luma, chroma, odd_upper_luma, odd_lower_luma, ups, los);
    }

    // The two lines of each lane's pair: its luma picked from `luma` by the two
    // orders, its chroma UA VA UB VB the first bytes of `chroma`.
    void lines(__m256i luma, __m256i chroma_bytes, __m256i upper_order, __m256i lower_order, __m256i& ups,
               __m256i& los) const {
        // Lanes UA UA VA VA UB UB VB VB of each pair, centred and times 4.
        __m256i chroma = _mm256_unpacklo_epi8(chroma_bytes, zero);
        chroma = _mm256_unpacklo_epi16(chroma, chroma);
        chroma = _mm256_slli_epi16(_mm256_sub_epi16(chroma, _mm256_set1_epi16(128)), 2);
        const __m256i t = _mm256_mulhi_epi16(chroma, coef);  // dB, gU, gV, dR for each cell
        // (dB, gU + gV, dR, 0) for each cell, then its positive and negative parts as bytes.
        const __m256i offs = _mm256_add_epi16(_mm256_and_si256(t, keep01), _mm256_and_si256(_mm256_srli_epi64(t, 16), keep12));
        const __m256i up = _mm256_shuffle_epi8(_mm256_packus_epi16(offs, offs), offsets_of_line);
        const __m256i neg = _mm256_sub_epi16(zero, offs);
        const __m256i down = _mm256_shuffle_epi8(_mm256_packus_epi16(neg, neg), offsets_of_line);
        ups = _mm256_subs_epu8(_mm256_adds_epu8(_mm256_shuffle_epi8(luma, upper_order), up), down);
        los = _mm256_subs_epu8(_mm256_adds_epu8(_mm256_shuffle_epi8(luma, lower_order), up), down);
    }
};

template <stores kind>
void show_rgb32_as(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    const rgb32_lines rgb;
    const auto lines = [&](const uint8_t* c, __m256i& ups, __m256i& los) { rgb.pairs(c, ups, los); };
    const size_t i = show_steps<kind, 2>(cells, pairs, upper, lower, lines);
    if (i < pairs) sse2::show_rgb32(cells + 12 * i, pairs - i, upper + 16 * i, lower + 16 * i);
}

// Bytes [from, to) of both lines of `pairs` pairs (at most four), shown into a
// scratch row and copied by plain 8-byte stores.
inline void show_rgb32_part(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower, size_t from,
                            size_t to) {
    alignas(16) uint8_t rows[2][64];
    sse2::show_rgb32(cells, pairs, rows[0], rows[1]);
    copy_words(upper, rows[0], from, to);
    copy_words(lower, rows[1], from, to);
}

// RGB32 lines that both start 8 bytes past a 16-byte boundary, at the same
// place in a cache line: each 16 bytes of a cache line hold cell B of one pair
// and cell A of the next, so a step of pairs would straddle cache lines. The
// pairs before the first pair whose cell B starts a cache line, and that pair's
// cell A, are stored plainly; from its cell B the rows step along four pairs of
// cells (B of pair k, A of pair k + 1) a step, on whole cache lines; the last
// two to five pairs (from a cell B) are stored plainly again. (A plain whole
// cache line after those pairs, as the other rows have, gains these nothing.)
template <stores kind>
void show_rgb32_split(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    const size_t head = (56 - reinterpret_cast<uintptr_t>(upper) % 64) / 16;
    if (head + 6 > pairs) return show_rgb32_as<stores::plain>(cells, pairs, upper, lower);
    show_rgb32_part(cells, head + 1, upper, lower, 0, 16 * head + 8);
    const rgb32_lines rgb;
    __m256i ups[2], los[2];
    size_t i = head;   // the pair of cells (B of pair head, A of head + 1) first
    row_stores<kind> rows(upper + 8, lower + 8, 16 * pairs);
    for (; i + 6 <= pairs; i += 4) {
        const uint8_t* c = cells + 12 * i;
        read_ahead(c);
        rgb.odd_pairs(c, ups[0], los[0]);
        rgb.odd_pairs(c + 24, ups[1], los[1]);
        rows.step(16 * i, ups[0], ups[1], los[0], los[1]);
    }
    rows.finish();
    // From cell B of pair i: two to five pairs.
    for (size_t skip = 8; i < pairs; i += 4, skip = 0) {
        const size_t n = pairs - i < 4 ? pairs - i : 4;
        show_rgb32_part(cells + 12 * i, n, upper + 16 * i, lower + 16 * i, skip, 16 * n);
    }
}

// The streaming copy, 32 bytes a non-temporal store after a head that brings
// the destination to a 32-byte boundary.
void copy_stream(uint8_t* to, const uint8_t* from, size_t bytes) {
    // (No std::min: this file calls no inline function with external linkage.)
    const size_t to_boundary = (32 - reinterpret_cast<uintptr_t>(to) % 32) % 32;
    const size_t head = bytes < to_boundary ? bytes : to_boundary;
    std::memcpy(to, from, head);
    size_t i = head;
    for (; i + 32 <= bytes; i += 32) {
        _mm256_stream_si256(reinterpret_cast<__m256i*>(to + i),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i)));
    }
    std::memcpy(to + i, from + i, bytes - i);
}

// Payload bytes of the codes in a nibble of a mode record, by coding mode 1
// (four 1-bit codes) and 2 (two 2-bit codes), made once at compile time.
struct nibble_payloads {
    alignas(16) uint8_t bytes[2][16];
    constexpr nibble_payloads() : bytes() {
        for (int n = 0; n < 16; ++n) {
            bytes[0][n] = uint8_t(4 * ((n & 1) + (n >> 1 & 1) + (n >> 2 & 1) + (n >> 3 & 1)));
            bytes[1][n] = uint8_t(payload_size[n & 3] + payload_size[n >> 2 & 3]);
        }
    }
};
constexpr nibble_payloads nibble_payload;

// Record lengths at every end position, 32 positions a step, by nibble lookups.
// Coding mode 1: one byte d, six 1-bit codes of 4 payload bytes each (bits 0-3,
// then bits 4-5). Coding mode 2: two bytes, low then high, six 2-bit codes
// (four in the low byte, two in the high byte's low nibble).
template <size_t mode>
void record_steps(const uint8_t* records, size_t from, size_t to, uint8_t* steps) {
    const uint8_t* const table = nibble_payload.bytes[mode - 1];
    const auto nibble = [&](uint32_t n) { return table[n]; };
    const __m256i sizes = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
    const __m256i low4 = _mm256_set1_epi8(0x0F), own = _mm256_set1_epi8(int8_t(mode));
    const auto lookup = [&](__m256i n) { return _mm256_shuffle_epi8(sizes, n); };
    size_t i = from;
    for (; i + 32 <= to; i += 32) {
        // Byte k of `last`: the mode record's last byte for end position i + k.
        const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(records + i - 1));
        __m256i payload;
        if (mode == 1) {
            payload = _mm256_add_epi8(lookup(_mm256_and_si256(last, low4)),
                                      lookup(_mm256_and_si256(_mm256_srli_epi16(last, 4), _mm256_set1_epi8(3))));
        } else {
            const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(records + i - 2));
            payload = _mm256_add_epi8(
                _mm256_add_epi8(lookup(_mm256_and_si256(first, low4)),
                                lookup(_mm256_and_si256(_mm256_srli_epi16(first, 4), low4))),
                lookup(_mm256_and_si256(last, low4)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(steps + (i - from)), _mm256_add_epi8(payload, own));
    }
    for (; i < to; ++i) {
        const uint8_t last = records[i - 1];
        steps[i - from] = mode == 1 ? uint8_t(1 + nibble(last & 15u) + nibble(last >> 4 & 3u))
                                    : uint8_t(2 + nibble(records[i - 2] & 15u) + nibble(records[i - 2] >> 4) +
                                              nibble(last & 15u));
    }
}

// The parts of the run-length reader (rle_window.h): 32 table bytes a step.
namespace {

// Byte k of the result is all ones where k is below n.
inline __m256i first_bytes(uint32_t n) {
    const __m256i k = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,  //
                                       16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(int8_t(n < 32 ? n : 32)), k);
}

// Writes the bytes of v where mask is set over the table's 32 bytes at p.
inline void blend_into(uint8_t* p, __m256i v, __m256i mask) {
    store_lanes(p, _mm256_blendv_epi8(load_lanes(p), v, mask));
}

struct window_parts {
    static constexpr size_t step = 32;

    static window_masks masks(const uint8_t* p, uint8_t* counts) {
        const __m256i one = _mm256_set1_epi8(1), run_bit = _mm256_set1_epi8(0x40);
        const __m256i bytes = load_lanes(p);
        const __m256i next = load_lanes(p + 1);
        const __m256i is_run = _mm256_cmpeq_epi8(_mm256_and_si256(bytes, run_bit), run_bit);
        // Counts 1 to 4: count - 1, unsigned, at most three.
        const __m256i less = _mm256_sub_epi8(next, one);
        const __m256i short_count =
            _mm256_cmpeq_epi8(_mm256_min_epu8(less, _mm256_set1_epi8(int8_t(rle_window_entries - 1))), less);
        store_lanes(counts, _mm256_blendv_epi8(one, next, is_run));
        return {uint32_t(_mm256_movemask_epi8(is_run)), uint32_t(_mm256_movemask_epi8(bytes)),
                uint32_t(_mm256_movemask_epi8(short_count))};
    }

    static void spread_luma(uint8_t* y, uint32_t n, const uint8_t* entries) {
        const __m256i even_bytes = _mm256_set1_epi16(0x00FF);
        for (uint32_t k = 0; k < n; k += 16) {
            // Entry k to table byte 2k, by widening bytes to words.
            const __m256i words = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries + k)));
            blend_into(y + 2 * k, words, _mm256_and_si256(even_bytes, first_bytes(2 * (n - k))));
        }
    }

    static void spread_chroma(uint8_t* uv, uint32_t n, const uint8_t* entries) {
        const __m256i chroma_bytes = _mm256_set1_epi32(int32_t(0xFF00FF00u)), seven = _mm256_set1_epi32(7);
        for (uint32_t k = 0; k < n; k += 8) {
            const __m256i b = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(entries + k)));
            const __m256i words = _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(b, 3), seven), 8),
                                                  _mm256_slli_epi32(_mm256_and_si256(b, seven), 24));
            blend_into(uv + 4 * k, words, _mm256_and_si256(chroma_bytes, first_bytes(4 * (n - k))));
        }
    }
};

}  // namespace
}  // namespace avx2

void fill_kernels_avx2(kernel_table& table) {
    using avx2::stores;
    table.show_yuy2 = avx2::aligned_rows<8, avx2::show_yuy2_as<stores::plain>, avx2::show_yuy2_as<stores::plain>,
                                              avx2::show_yuy2_as<stores::plain>>;
    table.show_rgb32 = avx2::aligned_rows<16, avx2::show_rgb32_as<stores::plain>, avx2::show_rgb32_as<stores::plain>,
                                              avx2::show_rgb32_as<stores::plain>, avx2::show_rgb32_split<stores::plain>>;
    table.show_yuy2_stream = avx2::aligned_rows<8, avx2::show_yuy2_as<stores::streamed>, avx2::show_yuy2_as<stores::shifted>,
                                                    avx2::show_yuy2_as<stores::plain>>;
    table.show_rgb32_stream = avx2::aligned_rows<16, avx2::show_rgb32_as<stores::streamed>, avx2::show_rgb32_as<stores::shifted>,
                                                    avx2::show_rgb32_as<stores::plain>, avx2::show_rgb32_split<stores::streamed>>;
    table.show_i420 = avx2::show_i420_as<false>;
    table.show_i420_stream = avx2::show_i420_stream;
    table.copy_stream = avx2::copy_stream;
    table.rebuild_row[0] = avx2::rebuild_row<0>;
    table.rebuild_row[1] = avx2::rebuild_row<1>;
    table.rebuild_row[2] = avx2::rebuild_row<2>;
    table.record_steps[0] = avx2::record_steps<1>;
    table.record_steps[1] = avx2::record_steps<2>;
    table.rle_codes = read_windows<taken_window<avx2::window_parts>>;
}

}  // namespace ruv
