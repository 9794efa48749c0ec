// The AVX2 row rebuild of delta frames: four 8x2 blocks, that is 24 sample
// blocks, at a time, with no branch on any code and no chain from one sample
// block to the next through memory. Sample block k of a chunk is reference
// bytes 4k to 4k + 3; register r holds sample blocks 8r to 8r + 7, one per
// 32-bit lane. Only kernels_avx2.cpp and kernels_avx512.cpp include this file;
// each builds its own copy (internal linkage) for its own instruction set, and
// passes 1 to 4 are parts that an instruction set may replace (avx2_parts here,
// row_parts in kernels_avx512.cpp).
//
// A chunk is rebuilt in passes, each over all its sample blocks at once:
//  1. codes: the six codes of each mode word, in walk order, one byte each;
//  2. payload: the four payload bytes at each sample block's offset, which an
//     exclusive prefix sum of the codes' payload sizes gives (the mode record
//     counted after the sixth), fetched by one gather per register;
//  3. deltas: the code picks which of three 16-entry tables (2-bit scaled,
//     4-bit scaled, 4-bit unscaled) turns the payload's fields into signed
//     byte deltas; codes without deltas pick none and get 0;
//  4. predictors: along the luma blocks, and along the chroma blocks, each
//     block's result is either its predecessor's plus its delta (codes 4, 6
//     and 7) or stands on its own (source plus delta). This first-order
//     recurrence is solved for all blocks by a log-step scan;
//  5. results: stored = source + delta modulo 256, shown = the same sum
//     clamped, by a saturating signed add with the source moved by 128.
#pragma once

#include <immintrin.h>

#include <cstring>
#include <initializer_list>

#include "delta_walk.h"
#include "kernels.h"
#include "kernels_x86.h"

namespace ruv {
namespace avx2 {
namespace {

constexpr size_t chunk_blocks = 4;

// Byte constants of a chunk, made once at compile time.
struct chunk_constants {
    // Byte k: the mode-word byte that holds the code of sample block k (bytes
    // 24 to 31 are unused and zeroed).
    int8_t code_byte[32];
    // Which field of that byte the code is: luma of the left cell (bits 3-5),
    // luma of the right cell (bits 0-2), or a chroma byte.
    int8_t is_high_luma[32], is_low_luma[32], is_chroma[32];
    // The mode record, counted as payload after the sixth sample block of a block.
    int8_t record_at[32];
    constexpr chunk_constants() : code_byte(), is_high_luma(), is_low_luma(), is_chroma(), record_at() {
        constexpr int8_t byte_of[6] = {0, 0, 1, 2, 2, 3};
        for (int k = 0; k < 32; ++k) {
            const bool used = k < 24;
            const int t = k % 6;
            code_byte[k] = used ? int8_t(4 * (k / 6) + byte_of[t]) : int8_t(-128);
            is_high_luma[k] = used && (t == 0 || t == 3) ? -1 : 0;
            is_low_luma[k] = used && (t == 1 || t == 4) ? -1 : 0;
            is_chroma[k] = used && (t == 2 || t == 5) ? -1 : 0;
            record_at[k] = used && t == 5 ? -1 : 0;
        }
    }
};
constexpr chunk_constants chunk_bytes;

inline __m256i load_bytes(const int8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Byte k: k / 4, which copies byte j of a source into the four bytes 4j to 4j + 3.
inline __m256i fourfold() {
    return _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3,  //
                            4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7);
}
// Byte k: k % 4, its place among those four.
inline __m256i place_in_four() {
    return _mm256_setr_epi8(0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3,  //
                            0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3);
}
// The payload bytes of each code (0..7), in both 128-bit lanes, looked up by `pshufb`.
inline __m256i payload_sizes() {
    return _mm256_setr_epi8(0, 4, 1, 2, 0, 2, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0,  //
                            0, 4, 1, 2, 0, 2, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0);
}

// One byte per code (0..7), in both 128-bit lanes: `yes` for the codes in
// `codes` (a bit per code), `no` for the others; looked up by `pshufb` on codes
// that fill their lanes' four bytes.
inline __m256i per_code_table(uint32_t codes, int8_t yes, int8_t no) {
    const auto b = [&](int c) { return (codes >> c & 1) ? yes : no; };
    return _mm256_setr_epi8(b(0), b(1), b(2), b(3), b(4), b(5), b(6), b(7), no, no, no, no, no, no, no, no,  //
                            b(0), b(1), b(2), b(3), b(4), b(5), b(6), b(7), no, no, no, no, no, no, no, no);
}

// Field values 0 to 15 as signed deltas, before scaling: 4-bit fields, and the
// low 2 bits as 2-bit fields; in both 128-bit lanes.
inline __m256i deltas4() {
    return _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, -8, -7, -6, -5, -4, -3, -2, -1,  //
                            0, 1, 2, 3, 4, 5, 6, 7, -8, -7, -6, -5, -4, -3, -2, -1);
}
inline __m256i deltas2() {
    return _mm256_setr_epi8(0, 1, -2, -1, 0, 1, -2, -1, 0, 1, -2, -1, 0, 1, -2, -1,  //
                            0, 1, -2, -1, 0, 1, -2, -1, 0, 1, -2, -1, 0, 1, -2, -1);
}

// Each byte times 2^n, modulo 256: words shifted, and each byte cleared of the
// bits its lower neighbour shifted into it. Made in registers, so that the row's
// tables are not stored and loaded back.
inline __m256i scale_bytes(__m256i v, int32_t n) {
    return _mm256_and_si256(_mm256_sll_epi16(v, _mm_cvtsi32_si128(n)), _mm256_set1_epi8(int8_t(0xFF << n)));
}

constexpr uint32_t code_bits(std::initializer_list<int> codes) {
    uint32_t bits = 0;
    for (int c : codes) bits |= 1u << c;
    return bits;
}

// The lane moves of pass 4, composed of one-source permutes and blends.

constexpr int lanes_from_b(std::initializer_list<int> index) {
    int mask = 0, k = 0;
    for (int i : index) mask |= (i >= 8) << k++;
    return mask;
}
constexpr bool lanes_of_a_in_place(std::initializer_list<int> index) {
    int k = 0;
    for (int i : index) {
        if (i < 8 && i != k) return false;
        ++k;
    }
    return true;
}

// Lanes picked from a (indices 0 to 7) and b (8 to 15).
template <int... i>
inline __m256i pick_lanes(__m256i a, __m256i b) {
    static_assert(sizeof...(i) == 8, "eight lanes");
    constexpr int from_b = lanes_from_b({i...});
    constexpr bool a_in_place = lanes_of_a_in_place({i...});
    const __m256i low = a_in_place ? a : _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32((i & 7)...));
    return _mm256_blend_epi32(low, _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32((i & 7)...)), from_b);
}

// The lanes of v moved up by n, lanes of `fill` (all alike) moved into the first n.
template <int n>
inline __m256i shift_up(__m256i v, __m256i fill) {
    if constexpr (n == 4) return _mm256_permute2x128_si256(v, fill, 0x02);
    const __m256i moved = n == 1 ? _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6))
                                 : _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 0, 0, 1, 2, 3, 4, 5));
    return _mm256_blend_epi32(moved, fill, (1 << n) - 1);
}

// Bytes of b where mask is all ones, of a where it is 0: one ternary-logic
// instruction in the AVX-512 build of this file.
inline __m256i select_bytes(__m256i a, __m256i b, __m256i mask) {
#if defined(__AVX512VL__)
    return _mm256_ternarylogic_epi32(mask, b, a, 0xCA);
#else
    return _mm256_blendv_epi8(a, b, mask);
#endif
}

// What pass 3 finds for one register of 8 sample blocks.
struct lane_block {
    __m256i delta;    // signed deltas
    __m256i source;   // reference, or payload for LITERAL: the source unless chained
    __m256i chained;  // all ones where the code starts from the predictor (4, 6, 7)
};

// Pass 3 by in-lane table lookups. The tables of a row, made once: the frame's
// deltas (one 16-entry table per 128-bit lane), and per code which delta table
// it takes (a table index with its top bit set yields 0), whether LITERAL takes
// the payload, and whether the code starts from the predictor.
struct looked_up_deltas {
    __m256i delta2, delta4, fine4;  // field value -> signed delta
    __m256i takes_delta2, takes_delta4, takes_fine4, literal, chained;

    looked_up_deltas(int32_t shift2, int32_t shift4)
        : delta2(scale_bytes(deltas2(), shift2)), delta4(scale_bytes(deltas4(), shift4)), fine4(deltas4()) {
        const int8_t none = int8_t(0x80);
        takes_delta2 = per_code_table(code_bits({2, 6}), 0, none);
        takes_delta4 = per_code_table(code_bits({3, 7}), 0, none);
        takes_fine4 = per_code_table(code_bits({5}), 0, none);
        literal = per_code_table(code_bits({1}), -1, 0);
        chained = per_code_table(code_bits({4, 6, 7}), -1, 0);
    }

    // Given the sample blocks' codes (each in all four bytes of its lane), the
    // four payload bytes at each one's offset and their reference bytes.
    lane_block lanes(__m256i code, __m256i payload, __m256i ref) const {
        const __m256i nibbles = _mm256_set1_epi8(0x0F);
        // 4-bit fields: the low halves of bytes 0 and 1, then their high halves.
        const __m256i low = _mm256_and_si256(payload, nibbles);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(payload, 4), nibbles);
        const __m256i fields4 = _mm256_blend_epi16(low, _mm256_slli_epi32(high, 16), 0xAA);
        // 2-bit fields of byte 0: field i in the low bits of byte i.
        const __m256i p0 = _mm256_and_si256(payload, _mm256_set1_epi32(0xFF));
        const __m256i fields2 = _mm256_and_si256(
            _mm256_or_si256(_mm256_or_si256(p0, _mm256_slli_epi32(p0, 6)),
                            _mm256_or_si256(_mm256_slli_epi32(p0, 12), _mm256_slli_epi32(p0, 18))),
            _mm256_set1_epi8(3));
        const auto lookup = [&](__m256i table) { return _mm256_shuffle_epi8(table, code); };
        const __m256i scaled4 = _mm256_shuffle_epi8(delta4, _mm256_or_si256(fields4, lookup(takes_delta4)));
        const __m256i unscaled4 = _mm256_shuffle_epi8(fine4, _mm256_or_si256(fields4, lookup(takes_fine4)));
        const __m256i scaled2 = _mm256_shuffle_epi8(delta2, _mm256_or_si256(fields2, lookup(takes_delta2)));
        return {_mm256_or_si256(_mm256_or_si256(scaled4, unscaled4), scaled2),
                select_bytes(ref, payload, lookup(literal)), lookup(chained)};
    }
};

// The recurrence of pass 4 over 8 blocks in order, one per 32-bit lane: block
// k's value is step_k plus (where chained_k) block k-1's value, bytewise modulo
// 256; block -1's value is `in`. Three log steps compose the steps pairwise.
inline __m256i solve_chain(__m256i chained, __m256i step, __m256i in) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi32(-1);
    // Lanes moved up by 1, 2 and 4, with the identity step (chained, adding 0) moved in.
    step = _mm256_add_epi8(step, _mm256_and_si256(chained, shift_up<1>(step, zero)));
    chained = _mm256_and_si256(chained, shift_up<1>(chained, ones));
    step = _mm256_add_epi8(step, _mm256_and_si256(chained, shift_up<2>(step, zero)));
    chained = _mm256_and_si256(chained, shift_up<2>(chained, ones));
    step = _mm256_add_epi8(step, _mm256_and_si256(chained, shift_up<4>(step, zero)));
    chained = _mm256_and_si256(chained, shift_up<4>(chained, ones));
    return _mm256_add_epi8(step, _mm256_and_si256(chained, in));
}

// Each block's predecessor value: the values moved up one lane, `in` into lane 0.
inline __m256i predecessors(__m256i values, __m256i in) { return shift_up<1>(values, in); }

inline __m256i last_lane(__m256i v) { return _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(7)); }

// Byte 0 of each lane in all four bytes: left_y after a luma block.
inline __m256i first_byte(__m256i v) {
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(0, 0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12,  //
                                                   0, 0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12));
}

// The luma blocks of a chunk in order: sample blocks 0 1 3 4 6 7 9 10 of
// registers (r0: lanes 0-7, r1: 8-15, r2: 16-23), then 12 13 15 16 18 19 21 22;
// and its chroma blocks, 2 5 8 11 14 17 20 23.
inline __m256i luma_first(__m256i r0, __m256i r1) { return pick_lanes<0, 1, 3, 4, 6, 7, 9, 10>(r0, r1); }
inline __m256i luma_second(__m256i r1, __m256i r2) { return pick_lanes<4, 5, 7, 8, 10, 11, 13, 14>(r1, r2); }
inline __m256i chroma_of(__m256i r0, __m256i r1, __m256i r2) {
    return pick_lanes<0, 1, 2, 3, 4, 9, 12, 15>(pick_lanes<2, 5, 8, 11, 14, 5, 6, 7>(r0, r1), r2);
}
// And back: the registers' lanes from the luma blocks (l0, l1) and the chroma ones (ch).
inline __m256i back_r0(__m256i l0, __m256i ch) { return pick_lanes<0, 1, 8, 2, 3, 9, 4, 5>(l0, ch); }
inline __m256i back_r1(__m256i l0, __m256i l1, __m256i ch) {
    return pick_lanes<10, 1, 2, 11, 4, 5, 12, 7>(pick_lanes<0, 6, 7, 3, 8, 9, 6, 10>(l0, l1), ch);
}
inline __m256i back_r2(__m256i l1, __m256i ch) { return pick_lanes<3, 13, 4, 5, 14, 6, 7, 15>(l1, ch); }

// The running state of a row between chunks: the predictors, in every lane.
struct chain_state {
    __m256i left_y;   // the four bytes of left_y
    __m256i left_uv;  // the four bytes of left_uv
};

inline void store_lanes(uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline __m256i load_lanes(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Pass 1 by in-lane shuffles and masks: `words`, the chunk's four mode words in
// both 128-bit lanes, give byte k the code of sample block k (bytes 24 to 31 zero).
struct masked_codes {
    static __m256i of(__m256i words) {
        const __m256i bytes = _mm256_shuffle_epi8(words, load_bytes(chunk_bytes.code_byte));
        const __m256i seven = _mm256_set1_epi8(7);
        const __m256i high_luma = _mm256_and_si256(_mm256_and_si256(_mm256_srli_epi16(bytes, 3), seven),
                                                   load_bytes(chunk_bytes.is_high_luma));
        const __m256i low_luma = _mm256_and_si256(_mm256_and_si256(bytes, seven), load_bytes(chunk_bytes.is_low_luma));
        // Chroma codes above 7 keep: code 0.
        const __m256i small =
            _mm256_cmpeq_epi8(_mm256_and_si256(bytes, _mm256_set1_epi8(int8_t(0xF8))), _mm256_setzero_si256());
        const __m256i chroma = _mm256_and_si256(_mm256_and_si256(bytes, small), load_bytes(chunk_bytes.is_chroma));
        return _mm256_or_si256(_mm256_or_si256(high_luma, low_luma), chroma);
    }
};

// Pass 2, the payload: the four payload bytes at each sample block's offset,
// and the chunk's payload size, mode records included. Offsets are an exclusive
// prefix sum of the codes' sizes (bytes of `codes`, in walk order, the mode
// record counted after the sixth sample block of a block), and one gather per
// register of 8 fetches the bytes. Bytes past a sample block's payload are
// whatever follows it; the gathers may read 4 bytes past the chunk's last offset.
struct gathered_payload {
    template <size_t record_skip>
    static size_t fetch(const uint8_t* payload, __m256i codes, const __m256i (&/*code_lanes*/)[3],
                        __m256i (&out)[3]) {
        // The prefix sum runs in each 128-bit lane, the low lane's total carried into the high one.
        const __m256i sizes = _mm256_add_epi8(
            _mm256_shuffle_epi8(payload_sizes(), codes),
            _mm256_and_si256(load_bytes(chunk_bytes.record_at), _mm256_set1_epi8(int8_t(record_skip))));
        __m256i sum = _mm256_add_epi8(sizes, _mm256_slli_si256(sizes, 1));
        sum = _mm256_add_epi8(sum, _mm256_slli_si256(sum, 2));
        sum = _mm256_add_epi8(sum, _mm256_slli_si256(sum, 4));
        sum = _mm256_add_epi8(sum, _mm256_slli_si256(sum, 8));
        const __m256i low_total = _mm256_shuffle_epi8(sum, _mm256_set1_epi8(15));
        sum = _mm256_add_epi8(sum, _mm256_permute2x128_si256(low_total, low_total, 0x08));
        const __m256i offsets = _mm256_sub_epi8(sum, sizes);
        const __m128i offsets_low = _mm256_castsi256_si128(offsets);
        const int* base = reinterpret_cast<const int*>(payload);
        out[0] = _mm256_i32gather_epi32(base, _mm256_cvtepu8_epi32(offsets_low), 1);
        out[1] = _mm256_i32gather_epi32(base, _mm256_cvtepu8_epi32(_mm_srli_si128(offsets_low, 8)), 1);
        out[2] = _mm256_i32gather_epi32(base, _mm256_cvtepu8_epi32(_mm256_extracti128_si256(offsets, 1)), 1);
        return uint8_t(_mm256_extract_epi8(sum, 23));
    }
};

// What a chunk's passes 1 to 3 find, for passes 4 and 5.
struct chunk_front {
    lane_block lanes[3];  // where every sample block keeps, only the sources: the reference
    size_t payload;       // the chunk's payload and mode records
    bool kept;            // every sample block keeps
};

// Passes 1 to 3 of the four blocks under the mode words at `table`. The payload
// must hold the chunk's largest payload and mode records plus 4 bytes, which
// the gathers may read past the last offset.
template <size_t record_skip, typename Parts>
inline void rebuild_front(const uint8_t* table, const uint8_t* payload, const uint8_t* ref,
                          const typename Parts::deltas& t, chunk_front& f) {
    // Pass 1: the codes, bytes 0-15 for sample blocks 0-15 and 16-23 for 16-23.
    const __m256i codes = Parts::codes::of(
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table))));

    __m256i ref_lanes[3];
    for (int r = 0; r < 3; ++r) ref_lanes[r] = load_lanes(ref + 32 * r);
    f.kept = _mm256_testz_si256(codes, codes);
    if (f.kept) {
        for (int r = 0; r < 3; ++r) f.lanes[r].source = ref_lanes[r];
        f.payload = chunk_blocks * record_skip;
        return;
    }

    // Each sample block's code in the four bytes of its lane, by in-lane shuffles.
    const __m256i codes_low = _mm256_permute4x64_epi64(codes, 0x44), codes_high = _mm256_permute4x64_epi64(codes, 0xEE);
    const __m256i code_lanes[3] = {_mm256_shuffle_epi8(codes_low, fourfold()),
                                   _mm256_shuffle_epi8(codes_low, _mm256_add_epi8(fourfold(), _mm256_set1_epi8(8))),
                                   _mm256_shuffle_epi8(codes_high, fourfold())};
    __m256i pay[3];
    f.payload = Parts::fetch::template fetch<record_skip>(payload, codes, code_lanes, pay);

    // Pass 3: deltas and sources.
    for (int r = 0; r < 3; ++r) f.lanes[r] = t.lanes(code_lanes[r], pay[r], ref_lanes[r]);
}

// Pass 4's predictors by lanes: the luma blocks and the chroma blocks are moved
// into registers of their own, each register's chain solved, and the
// predecessors moved back to the sample blocks' lanes. Luma values are right in
// byte 0 only: the predictor repeats it.
struct lane_chains {
    static void predict(const lane_block (&b)[3], const __m256i (&step)[3], chain_state& state, __m256i (&pred)[3]) {
        const __m256i luma0 =
            solve_chain(luma_first(b[0].chained, b[1].chained), luma_first(step[0], step[1]), state.left_y);
        const __m256i luma0_y = first_byte(luma0);
        const __m256i luma1 = solve_chain(luma_second(b[1].chained, b[2].chained), luma_second(step[1], step[2]),
                                          last_lane(luma0_y));
        const __m256i luma1_y = first_byte(luma1);
        const __m256i pred_l0 = predecessors(luma0_y, state.left_y);
        const __m256i pred_l1 = predecessors(luma1_y, last_lane(luma0_y));
        state.left_y = last_lane(luma1_y);
        // Where no chroma block is chained (often, in moving pictures), no
        // predictor is taken, and the last block's result is its step.
        const __m256i chroma_chained = chroma_of(b[0].chained, b[1].chained, b[2].chained);
        __m256i pred_uv = chroma_chained;
        if (_mm256_testz_si256(chroma_chained, chroma_chained)) {
            state.left_uv = last_lane(step[2]);
        } else {
            const __m256i uv = solve_chain(chroma_chained, chroma_of(step[0], step[1], step[2]), state.left_uv);
            pred_uv = predecessors(uv, state.left_uv);
            state.left_uv = last_lane(uv);
        }
        pred[0] = back_r0(pred_l0, pred_uv);
        pred[1] = back_r1(pred_l0, pred_l1, pred_uv);
        pred[2] = back_r2(pred_l1, pred_uv);
    }
};

// Passes 4 and 5: the reference rewritten in place, the shown cell pairs to `shown`.
template <typename Chains>
inline void rebuild_back(const chunk_front& f, uint8_t* ref, uint8_t* shown, chain_state& state) {
    if (f.kept) {
        // Every sample block keeps: shown as the reference holds it.
        for (int r = 0; r < 3; ++r) store_lanes(shown + 32 * r, f.lanes[r].source);
        state.left_y = _mm256_set1_epi8(int8_t(ref[88]));
        state.left_uv = last_lane(f.lanes[2].source);
        return;
    }
    // Pass 4: a chained block's step is its delta, any other block's its result.
    __m256i step[3], pred[3];
    for (int r = 0; r < 3; ++r) {
        const lane_block& b = f.lanes[r];
        step[r] = select_bytes(_mm256_add_epi8(b.source, b.delta), b.delta, b.chained);
    }
    Chains::predict(f.lanes, step, state, pred);

    // Pass 5: results.
    for (int r = 0; r < 3; ++r) {
        const lane_block& b = f.lanes[r];
        const __m256i source = select_bytes(b.source, pred[r], b.chained);
        store_lanes(ref + 32 * r, _mm256_add_epi8(source, b.delta));
        // Clamped to 0..255: the source moved to -128..127, a saturating signed add, and back.
        const __m256i bias = _mm256_set1_epi8(-128);
        store_lanes(shown + 32 * r, _mm256_xor_si256(_mm256_adds_epi8(_mm256_xor_si256(source, bias), b.delta), bias));
    }
}

// keeps_every_block, eight mode words at a time: luma fields (bits 0-5 of bytes
// 0 and 2) all 0, chroma bytes (1 and 3) 0 or above 7.
inline bool keeps_every_block_wide(const uint8_t* table, size_t blocks) {
    const __m256i luma = _mm256_set1_epi32(0x003F003F);
    const __m256i chroma = _mm256_set1_epi32(int32_t(0xFF00FF00u));
    const __m256i one = _mm256_set1_epi8(1), six = _mm256_set1_epi8(6);
    size_t b = 0;
    for (; b + 8 <= blocks; b += 8) {
        const __m256i words = load_lanes(table + 4 * b);
        // A byte x is a chroma code 1 to 7 where x - 1, unsigned, is at most 6.
        const __m256i less = _mm256_sub_epi8(words, one);
        const __m256i coded = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(less, six), less), chroma);
        if (!_mm256_testz_si256(_mm256_or_si256(_mm256_and_si256(words, luma), coded), _mm256_set1_epi32(-1))) {
            return false;
        }
    }
    return keeps_every_block(table + 4 * b, blocks - b);
}

// The passes that differ by instruction set, chosen together; these are AVX2's.
struct avx2_parts {
    using codes = masked_codes;
    using fetch = gathered_payload;
    using deltas = looked_up_deltas;
    using chains = lane_chains;
};

// The row kernel: whole chunks while the payload has room for the largest,
// then the SSE2 walk for the blocks left over (it stops exactly at the payload's end).
template <size_t record_skip, typename Parts = avx2_parts>
size_t rebuild_row(const uint8_t* table, size_t blocks, uint8_t* ref, uint8_t* shown, delta_cursor& c) {
    if (keep_whole_row<record_skip>(keeps_every_block_wide(table, blocks), blocks, ref, c)) return blocks;
    const typename Parts::deltas t(c.shift2, c.shift4);
    const size_t room = chunk_blocks * (max_block_payload + record_skip) + 4;
    int32_t y, uv;
    std::memcpy(&y, c.left_y, 4);
    std::memcpy(&uv, c.left_uv, 4);
    chain_state state{_mm256_set1_epi32(y), _mm256_set1_epi32(uv)};
    const uint8_t* payload = c.payload;
    size_t b = 0;
    // Software pipelined: the next chunk's passes 1 to 3 are issued before this
    // chunk's passes 4 and 5, so that the processor overlaps the two.
    const auto fits = [&](size_t at, const uint8_t* from) {
        return at + chunk_blocks <= blocks && size_t(c.payload_end - from) >= room;
    };
    if (fits(0, payload)) {
        // Two fronts in turn, each step naming its own, so that both can stay in registers.
        chunk_front front_a, front_b;
        const auto step = [&](chunk_front& now, chunk_front& next) {
            const uint8_t* const next_payload = payload + now.payload;
            const bool more = fits(b + chunk_blocks, next_payload);
            if (more) {
                const size_t n = b + chunk_blocks;
                // The reference 64 blocks ahead, so that a cold frame's arrives before it is needed.
                _mm_prefetch(reinterpret_cast<const char*>(ref + 24 * n) + 24 * 64, _MM_HINT_T0);
                rebuild_front<record_skip, Parts>(table + 4 * n, next_payload, ref + 24 * n, t, next);
            }
            rebuild_back<typename Parts::chains>(now, ref + 24 * b, shown + 24 * b, state);
            payload = next_payload;
            b += chunk_blocks;
            return more;
        };
        rebuild_front<record_skip, Parts>(table, payload, ref, t, front_a);
        while (step(front_a, front_b) && step(front_b, front_a)) {
        }
    }
    c.payload = payload;
    y = _mm256_cvtsi256_si32(state.left_y);
    uv = _mm256_cvtsi256_si32(state.left_uv);
    std::memcpy(c.left_y, &y, 4);
    std::memcpy(c.left_uv, &uv, 4);
    if (b == blocks) return b;
    const size_t rest = sse2::rebuild_rows[record_skip](table + 4 * b, blocks - b, ref + 24 * b, shown + 24 * b, c);
    if (c.row_kept) {
        // The rest kept every block: its shown cell pairs are the reference's.
        std::memcpy(shown + 24 * b, ref + 24 * b, 24 * rest);
        c.row_kept = false;
    }
    return b + rest;
}

}  // namespace
}  // namespace avx2
}  // namespace ruv
