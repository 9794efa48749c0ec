// What the output-row kernels of the AVX2 and AVX-512 files share: how they read
// ahead and how they store 32 bytes. Each file includes this header into its own
// build, so each has its own copy.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kernels.h"

namespace ruv {
namespace avx2 {
namespace {

// A kernel reads this far ahead of the cell pairs it shows, so that a frame's
// cell pairs arrive before they are needed.
inline void read_ahead(const uint8_t* cells) {
    _mm_prefetch(reinterpret_cast<const char*>(cells) + 1024, _MM_HINT_T0);
}

// How a kernel stores its rows: plainly; non-temporally onto lines that start
// on cache lines; or non-temporally onto lines that start anywhere (on a 4-byte
// boundary without byte permutes), each step's bytes shifted onto the line's
// own cache lines. Kernels store 64 bytes of one line, then of the other: a
// streamed cache line is then written whole before the next is begun, which
// lets each write-combining buffer go out at once. (A streamed cache line
// written in parts, a step apart, costs many times a whole one.)
enum class stores { plain, streamed, shifted };

template <stores kind>
inline void store32(uint8_t* p, __m256i v) {
    if (kind == stores::streamed) {
        _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v);
    } else {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
}

// Shifting a line's bytes by r bytes (0 to 31) onto 32-byte boundaries: each
// vector is rotated once (byte j of the result is byte (j - r) mod 32 of it),
// and the 32 bytes at an address r bytes before a vector b, whose vector a came
// just before, are then the first r bytes of rotated a and the rest of rotated b.
#ifdef __AVX512VBMI__
struct shifter {
    __m256i index;
    __mmask32 from_a;
    explicit shifter(uint32_t r)
        : index(_mm256_and_si256(_mm256_add_epi8(_mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                                                  16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
                                                                  29, 30, 31),
                                                 _mm256_set1_epi8(int8_t(32 - r))),
                                 _mm256_set1_epi8(31))),
          from_a(__mmask32((uint64_t(1) << r) - 1)) {}
    __m256i rotate(__m256i v) const { return _mm256_maskz_permutexvar_epi8(~0u, index, v); }
    __m256i merge(__m256i rotated_a, __m256i rotated_b) const {
        return _mm256_mask_blend_epi8(from_a, rotated_b, rotated_a);
    }
};

// Stores bytes [from, to) of v at p + from.
inline void store_bytes(uint8_t* p, __m256i v, uint32_t from, uint32_t to) {
    const uint64_t upto = (uint64_t(1) << to) - 1, below = (uint64_t(1) << from) - 1;
    _mm256_mask_storeu_epi8(p, __mmask32(upto & ~below), v);
}
#else
// Without byte permutes, r is a multiple of 4 and whole dwords are rotated.
struct shifter {
    __m256i index;
    __m256i from_a;
    explicit shifter(uint32_t r)
        : index(_mm256_and_si256(_mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                  _mm256_set1_epi32(int32_t(8 - r / 4))),
                                 _mm256_set1_epi32(7))),
          from_a(_mm256_cmpgt_epi32(_mm256_set1_epi32(int32_t(r / 4)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))) {}
    __m256i rotate(__m256i v) const { return _mm256_permutevar8x32_epi32(v, index); }
    __m256i merge(__m256i rotated_a, __m256i rotated_b) const {
        return _mm256_blendv_epi8(rotated_b, rotated_a, from_a);
    }
};

// Stores bytes [from, to) of v at p + from; both are multiples of 4.
inline void store_bytes(uint8_t* p, __m256i v, uint32_t from, uint32_t to) {
    const __m256i j = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    const __m256i in = _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(int32_t(from)), j),
                                           _mm256_cmpgt_epi32(_mm256_set1_epi32(int32_t(to)), j));
    _mm256_maskstore_epi32(reinterpret_cast<int*>(p), in, v);
}
#endif

// Bytes [from, to) of `scratch` to the same place of `line`, both multiples of
// 4, by plain 8-byte stores (4-byte ones at an odd end): for the ends of rows
// whose middle is streamed, as a masked store beside a cache line that is being
// streamed costs several times a step on some processors.
inline void copy_words(uint8_t* line, const uint8_t* scratch, size_t from, size_t to) {
    size_t at = from;
    if (at % 8 != 0 && at < to) __builtin_memcpy(line + at, scratch + at, 4), at += 4;
    for (; at + 8 <= to; at += 8) __builtin_memcpy(line + at, scratch + at, 8);
    if (at < to) __builtin_memcpy(line + at, scratch + at, 4);
}

// One output line streamed onto its own cache lines from wherever it starts,
// `lead` bytes into the cache line `base`. Step s of the kernel gives the line's
// bytes 64s to 64s + 63 (v0, v1); the cache line base + 64s then holds the last
// `lead` of the bytes before them and the first 64 - lead of them, and is
// streamed whole. The first cache line (bytes before the line are not ours)
// and the bytes after the last whole one are stored plainly, at finish: a plain
// store waits for its cache line to be read, so both are asked for when the
// line begins, to arrive while the line is worked on.
struct line_streamer {
    uint8_t* base;
    uint32_t lead;
    shifter shift;
    __m256i h0 = _mm256_setzero_si256(), h1 = _mm256_setzero_si256();  // the step before, rotated
    __m256i head0 = _mm256_setzero_si256(), head1 = _mm256_setzero_si256();
    size_t steps = 0;

    line_streamer(uint8_t* line, size_t length)
        : base(line - reinterpret_cast<uintptr_t>(line) % 64),
          lead(uint32_t(reinterpret_cast<uintptr_t>(line) % 64)),
          shift(lead % 32) {
        _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T0);
        if (length > 0) _mm_prefetch(reinterpret_cast<const char*>(line + length - 1), _MM_HINT_T0);
    }

    void step(__m256i v0, __m256i v1) {
        const __m256i r0 = shift.rotate(v0), r1 = shift.rotate(v1);
        const __m256i lo = lead < 32 ? shift.merge(h1, r0) : shift.merge(h0, h1);
        const __m256i hi = lead < 32 ? shift.merge(r0, r1) : shift.merge(h1, r0);
        h0 = r0, h1 = r1;
        if (steps == 0) {
            head0 = lo, head1 = hi;
        } else {
            uint8_t* at = base + 64 * steps;
            _mm256_stream_si256(reinterpret_cast<__m256i*>(at), lo);
            _mm256_stream_si256(reinterpret_cast<__m256i*>(at + 32), hi);
        }
        ++steps;
    }

    // Stores the `lead` bytes after the last streamed cache line, then the first one.
    void finish() const {
        if (steps == 0) return;
        uint8_t* at = base + 64 * steps;
        if (lead < 32) {
            store_bytes(at, h1, 0, lead);
        } else {
            store_bytes(at, shift.merge(h0, h1), 0, 32);
            store_bytes(at + 32, h1, 0, lead - 32);
        }
        store_bytes(base, head0, lead < 32 ? lead : 32, 32);
        store_bytes(base + 32, head1, lead < 32 ? 0 : lead - 32, 32);
    }
};

// Where a kernel's steps store both lines of a row: each step gives 64 bytes of
// each line, at `at` bytes into it.
template <stores kind>
struct row_stores {
    uint8_t* upper;
    uint8_t* lower;
    row_stores(uint8_t* up, uint8_t* down, size_t) : upper(up), lower(down) {}
    void step(size_t at, __m256i up0, __m256i up1, __m256i down0, __m256i down1) {
        store32<kind>(upper + at, up0);
        store32<kind>(upper + at + 32, up1);
        store32<kind>(lower + at, down0);
        store32<kind>(lower + at + 32, down1);
    }
    void finish() const {}
};

template <>
struct row_stores<stores::shifted> {
    line_streamer upper, lower;
    row_stores(uint8_t* up, uint8_t* down, size_t length) : upper(up, length), lower(down, length) {}
    void step(size_t, __m256i up0, __m256i up1, __m256i down0, __m256i down1) {
        upper.step(up0, up1);
        lower.step(down0, down1);
    }
    void finish() const {
        upper.finish();
        lower.finish();
    }
};

// A row kernel for lines anywhere, from a kernel's variants: where both lines
// start at the same place in a cache line, a whole number of cell pairs into it
// (on a cache line included), the pairs up to the second cache line plainly and
// the rest straight; RGB32 lines at the same place 8 bytes past a 16-byte
// boundary by `split_pairs`, and 4 bytes past an 8-byte boundary by `phased`,
// where the level has them; else shifted onto the cache lines (anywhere with
// byte permutes, on 4-byte boundaries without), or stored plainly. Lines whose
// first whole cache line is stored plainly before the rest are streamed take
// 0.7 to 0.8 times as long, cold, as lines streamed from their start (on the
// AMD EPYC of the benchmarks), so these rows begin so; rows that start inside
// a pair gain nothing by it. Shifting costs a permute and a blend for each 32
// bytes, which the RGB32 rows feel. Stored plainly, the same choice writes
// whole cache lines a step where it can, which is faster too where they are
// not in the core's cache.
template <size_t pair_bytes, show_row_kernel on_cache_lines, show_row_kernel shifted, show_row_kernel plain,
          show_row_kernel split_pairs = nullptr, show_row_kernel phased = nullptr>
void aligned_rows(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    const uintptr_t lead = reinterpret_cast<uintptr_t>(upper) % 64;
    const uintptr_t both = reinterpret_cast<uintptr_t>(upper) | reinterpret_cast<uintptr_t>(lower);
    if (reinterpret_cast<uintptr_t>(lower) % 64 == lead && lead % pair_bytes == 0) {
        const size_t head = (64 + (64 - lead) % 64) / pair_bytes;
        if (head >= pairs) return plain(cells, pairs, upper, lower);
        plain(cells, head, upper, lower);
        return on_cache_lines(cells + 12 * head, pairs - head, upper + pair_bytes * head, lower + pair_bytes * head);
    }
    if (split_pairs && reinterpret_cast<uintptr_t>(lower) % 64 == lead && lead % 16 == 8)
        return split_pairs(cells, pairs, upper, lower);
    if (phased && reinterpret_cast<uintptr_t>(lower) % 64 == lead && lead % 8 == 4)
        return phased(cells, pairs, upper, lower);
#ifdef __AVX512VBMI__
    constexpr uintptr_t shiftable = 1;
#else
    constexpr uintptr_t shiftable = 4;
#endif
    (both % shiftable == 0 ? shifted : plain)(cells, pairs, upper, lower);
}

// How an I420 kernel stores its chroma: plainly where each step's 16 bytes of
// U and of V fall, or realigned (see chroma_realigner).
enum class chroma_stores { plain, realigned };

// Chroma lines (U and V at the same place in a cache line) streamed from
// wherever they start: a step's 16 bytes of each plane, C_k, fall r bytes past a
// 16-byte boundary, so the 16 bytes at each boundary are taken as the last r
// bytes of C_(k-1) and the first 16 - r of C_k (one byte shuffle of each, U and V
// in the two lanes) and streamed where they lie in a whole cache line between
// the first and the last step's own bytes, stored plainly elsewhere. C_0 and the
// last step's bytes are stored plainly where they fall, for the bytes at either
// end. (A cache line streamed whole costs a fraction of one stored plainly,
// which is read before it is written.)
struct chroma_realigner {
    __m256i from_before, from_own, before = _mm256_setzero_si256();
    uint8_t* u;
    uint8_t* v;
    size_t at = 0;                    // C_k's bytes from u, v
    uintptr_t stream_from, stream_to;  // addresses (of U) of the streamed cache lines
    size_t skew;                       // 16 - r: where the 16-byte boundaries are from u

    chroma_realigner(uint8_t* u_line, uint8_t* v_line, size_t steps) : u(u_line), v(v_line) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(u_line), r = start % 16;
        skew = 16 - r;
        // Byte q of each lane: from C_(k-1), byte q + 16 - r where q < r; from
        // C_k, byte q - r where q >= r; a byte whose top bit is set gives 0.
        const __m256i q = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,  //
                                           0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m256i below = _mm256_add_epi8(q, _mm256_set1_epi8(int8_t(16 - r)));
        from_before = _mm256_or_si256(below, _mm256_cmpgt_epi8(below, _mm256_set1_epi8(15)));
        from_own = _mm256_sub_epi8(q, _mm256_set1_epi8(int8_t(r)));
        stream_from = (start + 16 + 63) / 64 * 64;
        stream_to = steps ? (start + 16 * (steps - 1)) / 64 * 64 : 0;
    }

    // U in the low lane of `planes`, V in the high lane.
    void step(__m256i planes) {
        if (at == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u), _mm256_castsi256_si128(planes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(v), _mm256_extracti128_si256(planes, 1));
        } else {
            const __m256i aligned = _mm256_or_si256(_mm256_shuffle_epi8(before, from_before),
                                                    _mm256_shuffle_epi8(planes, from_own));
            const size_t to = at - 16 + skew;  // the boundary these 16 bytes start at
            __m128i* const pu = reinterpret_cast<__m128i*>(u + to);
            __m128i* const pv = reinterpret_cast<__m128i*>(v + to);
            const uintptr_t where = reinterpret_cast<uintptr_t>(pu);
            if (where >= stream_from && where < stream_to) {
                _mm_stream_si128(pu, _mm256_castsi256_si128(aligned));
                _mm_stream_si128(pv, _mm256_extracti128_si256(aligned, 1));
            } else {
                _mm_store_si128(pu, _mm256_castsi256_si128(aligned));
                _mm_store_si128(pv, _mm256_extracti128_si256(aligned, 1));
            }
        }
        before = planes;
        at += 16;
    }

    // The last step's own 16 bytes.
    void finish() const {
        if (at == 0) return;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + at - 16), _mm256_castsi256_si128(before));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + at - 16), _mm256_extracti128_si256(before, 1));
    }
};

// I420, eight cell pairs a step: each pair's 12 bytes picked into dwords (upper
// luma, lower luma, UA UB VA VB) in its own 128-bit lane, the dwords of eight
// pairs gathered by unpacks and one dword permute, and the chroma dwords split
// into U and V. Odd pairs are loaded from 4 bytes before them, so that no load
// reaches past the last pair. The last one to seven pairs are copied byte by byte.
// The luma is stored plainly or streamed (onto cache lines), the chroma plainly
// or realigned.
template <bool stream_luma, chroma_stores chroma = chroma_stores::plain>
void show_i420_as(const uint8_t* cells, size_t pairs, uint8_t* y_upper, uint8_t* y_lower, uint8_t* u, uint8_t* v) {
    const __m256i pick = _mm256_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 10, 9, 11, -1, -1, -1, -1,  //
                                          4, 5, 8, 9, 6, 7, 10, 11, 12, 14, 13, 15, -1, -1, -1, -1);
    const __m256i in_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i split = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15,  //
                                           0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
    chroma_realigner realign(u, v, chroma == chroma_stores::realigned ? pairs / 8 : 0);
    size_t i = 0;
    for (; i + 8 <= pairs; i += 8) {
        const uint8_t* c = cells + 12 * i;
        read_ahead(c);
        __m256i p[4];
        for (int j = 0; j < 4; ++j) {
            const __m128i even = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 24 * j));
            const __m128i odd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 24 * j + 8));
            p[j] = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(even), odd, 1), pick);
        }
        const __m256i luma01 = _mm256_unpacklo_epi32(p[0], p[1]), luma23 = _mm256_unpacklo_epi32(p[2], p[3]);
        const __m256i chroma01 = _mm256_unpackhi_epi32(p[0], p[1]), chroma23 = _mm256_unpackhi_epi32(p[2], p[3]);
        const __m256i up = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(luma01, luma23), in_order);
        const __m256i down = _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi64(luma01, luma23), in_order);
        const __m256i both = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(chroma01, chroma23), in_order);
        // U of pairs 0-3, V of 0-3 | U of 4-7, V of 4-7, then U in the low half, V in the high.
        const __m256i planes = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(both, split), _MM_SHUFFLE(3, 1, 2, 0));
        uint8_t* const yu = y_upper + 4 * i;
        uint8_t* const yl = y_lower + 4 * i;
        if (stream_luma) {
            _mm256_stream_si256(reinterpret_cast<__m256i*>(yu), up);
            _mm256_stream_si256(reinterpret_cast<__m256i*>(yl), down);
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(yu), up);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(yl), down);
        }
        if (chroma == chroma_stores::realigned) {
            realign.step(planes);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u + 2 * i), _mm256_castsi256_si128(planes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(v + 2 * i), _mm256_extracti128_si256(planes, 1));
        }
    }
    if (chroma == chroma_stores::realigned) realign.finish();
    for (; i < pairs; ++i) {
        const uint8_t* c = cells + 12 * i;
        uint8_t* const yu = y_upper + 4 * i;
        uint8_t* const yl = y_lower + 4 * i;
        yu[0] = c[0], yu[1] = c[1], yu[2] = c[4], yu[3] = c[5];
        yl[0] = c[2], yl[1] = c[3], yl[2] = c[6], yl[3] = c[7];
        u[2 * i] = c[8], u[2 * i + 1] = c[10];
        v[2 * i] = c[9], v[2 * i + 1] = c[11];
    }
}

// Streamed I420: where both luma lines start at the same place in a cache line,
// the luma from its first whole cache line on (its second, where the lines
// start on one) is streamed in whole cache lines (16 pairs at a time), with the
// chroma realigned where U and V start at the same place in a cache line and
// plain elsewhere; then the pairs before and after are stored plainly. (A cache
// line streamed in part and then written plainly costs many times a whole one;
// and, cold, the plain pairs before cost less after the streamed ones than
// before them.) Rows on cache lines gain from a plain first cache line, as the
// packed rows do; at other offsets it left the chroma one more plain cache
// line at each end, and the slowest offsets at 1.2 to 1.3 times the fastest,
// against 1.05 to 1.18 without. Where the luma lines start apart, or not on
// 4-byte boundaries, every store is plain.
inline void show_i420_stream(const uint8_t* cells, size_t pairs, uint8_t* y_upper, uint8_t* y_lower, uint8_t* u,
                             uint8_t* v) {
    const uintptr_t lead = reinterpret_cast<uintptr_t>(y_upper) % 64;
    const size_t head = lead == 0 ? 16 : (64 - lead) / 4;
    if (reinterpret_cast<uintptr_t>(y_lower) % 64 != lead || lead % 4 != 0 || head + 16 > pairs)
        return show_i420_as<false>(cells, pairs, y_upper, y_lower, u, v);
    const size_t body = (pairs - head) / 16 * 16, rest = head + body;
    const bool realign = reinterpret_cast<uintptr_t>(u) % 64 == reinterpret_cast<uintptr_t>(v) % 64;
    (realign ? show_i420_as<true, chroma_stores::realigned> : show_i420_as<true>)(
        cells + 12 * head, body, y_upper + 4 * head, y_lower + 4 * head, u + 2 * head, v + 2 * head);
    show_i420_as<false>(cells, head, y_upper, y_lower, u, v);
    show_i420_as<false>(cells + 12 * rest, pairs - rest, y_upper + 4 * rest, y_lower + 4 * rest, u + 2 * rest,
                        v + 2 * rest);
}

// Plain stores fetch each output line before they write it: a kernel that
// stores plainly asks for its lines this far ahead, so that those fetches
// overlap instead of each holding back a store.
template <stores kind>
inline void fetch_lines_ahead(const uint8_t* upper, const uint8_t* lower) {
    if (kind != stores::plain) return;
    _mm_prefetch(reinterpret_cast<const char*>(upper) + 256, _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(lower) + 256, _MM_HINT_T0);
}

}  // namespace
}  // namespace avx2
}  // namespace ruv
