// The AVX-512 kernels, on 256-bit registers: output rows four cell pairs at a
// time by two-source byte permutes, the run-length mode table of coding
// modes 3 and 4, 32 code bytes at a time, and the delta rows of the AVX2 kernel
// (rebuild_rows_avx2.h), built here again for AVX-512 with parts of its own:
// codes cut by multishift, the payload of coding modes 3 and 4 fetched by byte
// expansion instead of gathers, every delta from one byte permute, and the
// predictor chains solved in bytes. This file alone is compiled with AVX-512
// (and BMI2, POPCNT) enabled and calls no inline function with external
// linkage, so none of its code can reach a processor without them.
//
// A window of 32 code bytes (rle_window.h), once its codes and their counts are
// found:
//  1. per kind (bit 7), the codes and their counts are compressed into order,
//     each code copied into four slots and the slots beyond its count dropped by
//     one more compress, which leaves the kind's entries in order (where no
//     count in the window passes 1, the compressed codes are the entries);
//  2. luma entries are spread to every second table byte, chroma entries to
//     bytes 1 and 3 of each mode word, and written by masked stores, which leave
//     every other table byte as it was.
// A window stops before a run of more than four entries (or of 256), which is
// written whole by masked stores, and the next window starts after it. Where a
// window's entries or such a run could reach the table's end, the scalar reader
// takes the code.
#include <immintrin.h>

#include "cell_output_c.h"
#include "kernels.h"
#include "rebuild_rows_avx2.h"
#include "rle_window.h"
#include "show_rows_avx2.h"

namespace ruv {

namespace avx512 {
namespace {

using avx2::fetch_lines_ahead;
using avx2::fourfold;
using avx2::load_bytes;
using avx2::load_lanes;
using avx2::place_in_four;
using avx2::read_ahead;
using avx2::row_stores;
using avx2::aligned_rows;
using avx2::copy_words;
using avx2::stores;

// Byte k of the result is byte index[k] of v. (The zero-masking form: GCC's plain
// one leaves its unused pass-through operand uninitialised and warns of it.)
inline __m256i permute_bytes(__m256i index, __m256i v) { return _mm256_maskz_permutexvar_epi8(~0u, index, v); }

// The byte constants of multishift_codes, made once at compile time.
struct code_cut_bytes {
    int8_t words[32], offsets[32], chroma_high[32], used[32];
    constexpr code_cut_bytes() : words(), offsets(), chroma_high(), used() {
        constexpr int8_t at[6] = {3, 0, 8, 19, 16, 24};  // bit of each code in its mode word
        for (int k = 0; k < 32; ++k) {
            const int group = k / 8, first_word = group < 2 ? group : 2;  // words of sample blocks 8g to 8g+7
            words[k] = int8_t(k < 16 ? 4 * first_word + k % 8 : 8 + k % 8);
            const bool in_use = k < 24;
            const int t = k % 6;
            offsets[k] = in_use ? int8_t(32 * (k / 6 - first_word) + at[t]) : 0;
            chroma_high[k] = in_use && (t == 2 || t == 5) ? int8_t(0xF8) : 0;
            used[k] = in_use ? 7 : 0;
        }
    }
};
constexpr code_cut_bytes code_cut;

// The row kernel's pass 1 by multishift: one shuffle puts into each 64-bit
// group of bytes the two mode words its eight sample blocks read, and one
// multishift cuts each code's bits out of them (luma codes at bits 3 and 0 of
// bytes 0 and 2, chroma codes the whole of bytes 1 and 3); chroma codes above 7
// keep, code 0.
struct multishift_codes {
    static __m256i of(__m256i words) {
        const __m256i grouped = _mm256_shuffle_epi8(words, load_bytes(code_cut.words));
        const __m256i fields = _mm256_maskz_multishift_epi64_epi8(~0u, load_bytes(code_cut.offsets), grouped);
        const __m256i small =
            _mm256_cmpeq_epi8(_mm256_and_si256(fields, load_bytes(code_cut.chroma_high)), _mm256_setzero_si256());
        return _mm256_ternarylogic_epi32(fields, load_bytes(code_cut.used), small, 0x80);  // fields & used & small
    }
};

// The row kernel's payload fetch without gathers, for coding modes 3 and 4, whose
// payload has no mode records between blocks: each register's sample blocks take
// their payload bytes in order, expanded from one load into the low bytes of
// their lanes (the other bytes 0). A register's bytes are its lanes' first
// payload-size bytes, so the mask's population is its payload size, and the next
// register starts there. No byte past the chunk's payload is read.
struct expanded_payload {
    template <size_t record_skip>
    static size_t fetch(const uint8_t* payload, __m256i /*codes*/, const __m256i (&code_lanes)[3], __m256i (&out)[3]) {
        static_assert(record_skip == 0, "mode records lie between the blocks' payloads");
        const __m256i sizes = avx2::payload_sizes();
        const __m256i slot = place_in_four();
        size_t at = 0;
        for (int r = 0; r < 3; ++r) {
            const uint32_t take =
                _mm256_movepi8_mask(_mm256_cmpgt_epi8(_mm256_shuffle_epi8(sizes, code_lanes[r]), slot));
            out[r] = _mm256_maskz_expandloadu_epi8(take, payload + at);
            at += uint32_t(_mm_popcnt_u32(take));
        }
        return at;
    }
};

// The row kernel's pass 3 in a few instructions a register: each sample block's
// four delta fields are cut from its payload by one multishift, whose bit offsets
// the code picks (2-bit fields at bits 0, 2, 4, 6; 4-bit fields at 0, 8, 4, 12),
// and one byte permute of a 64-entry table turns field and code into the delta.
// The table holds the scaled 4-bit deltas (entries 0-15), the unscaled ones
// (16-31), the scaled 2-bit ones (32-47, by the field's low 2 bits) and zeros
// (48-63); the code gives the part, the field's low 4 bits the entry.
struct permuted_deltas {
    __m256i table_low, table_high;  // entries 0-31 and 32-63
    __m256i two_bit, part, literal, chained;

    permuted_deltas(int32_t shift2, int32_t shift4)
        : table_low(_mm256_blend_epi32(avx2::scale_bytes(avx2::deltas4(), shift4), avx2::deltas4(), 0xF0)),
          table_high(_mm256_blend_epi32(avx2::scale_bytes(avx2::deltas2(), shift2), _mm256_setzero_si256(), 0xF0)) {
        using avx2::code_bits;
        using avx2::per_code_table;
        two_bit = per_code_table(code_bits({2, 6}), -1, 0);
        // Parts by code: 3 and 7 scaled 4-bit, 5 unscaled, 2 and 6 2-bit, the others zeros.
        part = _mm256_or_si256(_mm256_or_si256(per_code_table(code_bits({5}), 16, 0),
                                               per_code_table(code_bits({2, 6}), 32, 0)),
                               per_code_table(code_bits({0, 1, 4}), 48, 0));
        literal = per_code_table(code_bits({1}), -1, 0);
        chained = per_code_table(code_bits({4, 6, 7}), -1, 0);
    }

    avx2::lane_block lanes(__m256i code, __m256i payload, __m256i ref) const {
        // Bit offsets within each 64-bit pair of lanes.
        const __m256i offsets4 = _mm256_setr_epi8(0, 8, 4, 12, 32, 40, 36, 44, 0, 8, 4, 12, 32, 40, 36, 44,  //
                                                  0, 8, 4, 12, 32, 40, 36, 44, 0, 8, 4, 12, 32, 40, 36, 44);
        const __m256i offsets2 = _mm256_setr_epi8(0, 2, 4, 6, 32, 34, 36, 38, 0, 2, 4, 6, 32, 34, 36, 38,  //
                                                  0, 2, 4, 6, 32, 34, 36, 38, 0, 2, 4, 6, 32, 34, 36, 38);
        const auto lookup = [&](__m256i table) { return _mm256_shuffle_epi8(table, code); };
        const __m256i offsets = avx2::select_bytes(offsets4, offsets2, lookup(two_bit));
        // (The zero-masking form, as in permute_bytes.)
        const __m256i fields = _mm256_maskz_multishift_epi64_epi8(~0u, offsets, payload);
        // (fields & 15) | part
        const __m256i index = _mm256_ternarylogic_epi32(fields, _mm256_set1_epi8(0x0F), lookup(part), 0xEA);
        return {_mm256_permutex2var_epi8(table_low, index, table_high),
                avx2::select_bytes(ref, payload, lookup(literal)), lookup(chained)};
    }
};

// The row kernel's pass 4 in bytes. A luma block's value matters only in byte
// 0, so the 16 luma blocks of a chunk are one register of bytes, and their chain
// one log-step scan of in-lane byte shifts. The chroma blocks' bytes are laid out
// by byte: bytes 8i to 8i + 7 hold byte i (U, V, U, V) of chroma blocks 0 to 7,
// so each 64-bit group holds one chain, scanned by 64-bit shifts. Neither scan
// needs a lane-crossing permute; the layouts are made by byte permutes, once
// for the steps, once for the chained flags and once back for the predictors.

// The byte indices of those layouts, made once at compile time. Byte b of the
// chunk's registers (0 to 95) is sample block b / 4's byte b % 4.
struct chain_indices {
    int8_t kinds_low[32], kinds_high[32];    // luma blocks' byte 0 (0-15), then chroma blocks' (16-23)
    int8_t chroma_low[32], chroma_high[32];  // chroma bytes by byte
    uint32_t kinds_from_r2, chroma_from_r2;  // the bytes taken from register 2
    int8_t back[3][32];                      // register r's predictors from luma and chroma bytes
    constexpr chain_indices()
        : kinds_low(), kinds_high(), chroma_low(), chroma_high(), kinds_from_r2(), chroma_from_r2(), back() {
        constexpr int luma_of[6] = {0, 1, -1, 2, 3, -1};  // luma block of the four in a block of six
        const auto take = [](int b, int8_t& low, int8_t& high, uint32_t& from_r2, int k) {
            low = int8_t(b < 64 ? b : 0);
            high = int8_t(b < 64 ? 0 : b - 64);
            if (b >= 64) from_r2 |= 1u << k;
        };
        for (int j = 0; j < 16; ++j) {
            const int w = 6 * (j / 4) + (j % 4 < 2 ? j % 4 : j % 4 + 1);
            take(4 * w, kinds_low[j], kinds_high[j], kinds_from_r2, j);
        }
        for (int m = 0; m < 8; ++m) {
            const int w = 6 * (m / 2) + 2 + 3 * (m % 2);
            take(4 * w, kinds_low[16 + m], kinds_high[16 + m], kinds_from_r2, 16 + m);
            for (int i = 0; i < 4; ++i) {
                take(4 * w + i, chroma_low[8 * i + m], chroma_high[8 * i + m], chroma_from_r2, 8 * i + m);
            }
        }
        for (int w = 0; w < 24; ++w) {
            const int t = w % 6, j = 4 * (w / 6) + luma_of[t], m = 2 * (w / 6) + (t == 5);
            for (int i = 0; i < 4; ++i) {
                // Luma block 0 takes the incoming predictor's four bytes, at 16 to 19.
                const int from = luma_of[t] < 0 ? 32 + 8 * i + m : j == 0 ? 16 + i : j;
                back[w / 8][4 * (w % 8) + i] = int8_t(from);
            }
        }
    }
};
constexpr chain_indices chain_index;

struct byte_chains {
    // Bytes of the chunk's three registers picked by a layout's indices.
    static __m256i gather(const __m256i (&v)[3], const int8_t* low, const int8_t* high, uint32_t from_r2) {
        const __m256i first = _mm256_permutex2var_epi8(v[0], avx2::load_bytes(low), v[1]);
        return _mm256_mask_permutexvar_epi8(first, from_r2, avx2::load_bytes(high), v[2]);
    }

    // One log step of the luma scan: steps n bytes apart composed; the shift
    // moves in the identity step (chained, adding 0), whose chained bytes `fill` sets.
    template <int n>
    static void luma_level(__m128i& s, __m128i& c, __m128i fill) {
        s = _mm_add_epi8(s, _mm_and_si128(c, _mm_slli_si128(s, n)));
        c = _mm_ternarylogic_epi32(c, _mm_slli_si128(c, n), fill, 0xE0);  // c & (moved | fill)
    }
    // The same for the chroma scan, n bytes apart within each 64-bit group.
    template <int n>
    static void chroma_level(__m256i& s, __m256i& c) {
        const __m256i fill = _mm256_set1_epi64x(int64_t((1ull << (8 * n)) - 1));
        s = _mm256_add_epi8(s, _mm256_and_si256(c, _mm256_slli_epi64(s, 8 * n)));
        c = _mm256_ternarylogic_epi32(c, _mm256_slli_epi64(c, 8 * n), fill, 0xE0);
    }

    static void predict(const avx2::lane_block (&b)[3], const __m256i (&step)[3], avx2::chain_state& state,
                        __m256i (&pred)[3]) {
        const __m256i chained_lanes[3] = {b[0].chained, b[1].chained, b[2].chained};
        const chain_indices& x = chain_index;
        const __m256i chained = gather(chained_lanes, x.kinds_low, x.kinds_high, x.kinds_from_r2);

        // Luma.
        __m128i s = _mm256_castsi256_si128(gather(step, x.kinds_low, x.kinds_high, x.kinds_from_r2));
        __m128i c = _mm256_castsi256_si128(chained);
        luma_level<1>(s, c, _mm_set_epi64x(0, 0xFF));
        luma_level<2>(s, c, _mm_set_epi64x(0, 0xFFFF));
        luma_level<4>(s, c, _mm_set_epi64x(0, 0xFFFFFFFF));
        luma_level<8>(s, c, _mm_set_epi64x(0, -1));
        const __m128i in = _mm256_castsi256_si128(_mm256_shuffle_epi8(state.left_y, _mm256_setzero_si256()));
        const __m128i luma = _mm_add_epi8(s, _mm_and_si128(c, in));
        // Luma predecessors in bytes 0-15 (byte 0 unused), the incoming predictor at 16-19.
        const __m256i luma_pred = _mm256_blend_epi32(_mm256_castsi128_si256(_mm_alignr_epi8(luma, in, 15)),
                                                     state.left_y, 0xF0);
        state.left_y = permute_bytes(_mm256_set1_epi8(15), _mm256_castsi128_si256(luma));

        // Chroma. Where no chroma block is chained (often, in moving pictures),
        // no predictor is taken, and the last block's result is its step.
        if (_mm256_testz_si256(chained, _mm256_setr_epi64x(0, 0, -1, 0))) {
            state.left_uv = avx2::last_lane(step[2]);
            // The chroma lanes' predictors are unused: any bytes will do.
            for (int r = 0; r < 3; ++r) {
                pred[r] = _mm256_permutex2var_epi8(luma_pred, avx2::load_bytes(x.back[r]), luma_pred);
            }
            return;
        }
        // The chained flags of the eight blocks (bytes 16-23) in every group.
        __m256i su = gather(step, x.chroma_low, x.chroma_high, x.chroma_from_r2);
        __m256i cu = _mm256_permute4x64_epi64(chained, 0xAA);
        chroma_level<1>(su, cu);
        chroma_level<2>(su, cu);
        chroma_level<4>(su, cu);
        // Byte i of the incoming predictor in every byte of group i.
        const __m256i in_uv = _mm256_shuffle_epi8(
            state.left_uv, _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                            2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3));
        const __m256i uv = _mm256_add_epi8(su, _mm256_and_si256(cu, in_uv));
        // Predecessors: each group moved up one byte, the incoming byte into byte 0.
        const __m256i pred_uv = _mm256_ternarylogic_epi32(_mm256_slli_epi64(uv, 8), in_uv, _mm256_set1_epi64x(0xFF),
                                                          0xF8);  // moved | (in & first)
        state.left_uv = permute_bytes(_mm256_setr_epi8(7, 15, 23, 31, 7, 15, 23, 31, 7, 15, 23, 31, 7, 15, 23, 31,  //
                                                       7, 15, 23, 31, 7, 15, 23, 31, 7, 15, 23, 31, 7, 15, 23, 31),
                                      uv);
        for (int r = 0; r < 3; ++r) pred[r] = _mm256_permutex2var_epi8(luma_pred, avx2::load_bytes(x.back[r]), pred_uv);
    }
};

// The row kernel's AVX-512 passes; the payload fetch by coding mode.
template <typename Fetch>
struct row_parts {
    using codes = multishift_codes;
    using fetch = Fetch;
    using deltas = permuted_deltas;
    using chains = byte_chains;
};

// The entries of one kind's codes (the window bytes in `bytes` marked in
// `codes`, n of them) repeated by their counts in `counts` (1 to 4), in order,
// eight codes at a time: `emit` gets each group's entries, packed from byte 0,
// and their number. Where every count is 1 the codes are the entries, all at
// once; where the window has no code of the kind, nothing is compressed.
template <typename Emit>
inline void expand_runs(__m256i bytes, __m256i counts, uint32_t codes, uint32_t n, bool all_single, Emit&& emit) {
    if (n == 0) return;
    const __m256i values = _mm256_maskz_compress_epi8(codes, bytes);
    if (all_single) {
        emit(values, n);
        return;
    }
    const __m256i code_counts = _mm256_maskz_compress_epi8(codes, counts);
    const __m256i slot = place_in_four(), next_group = _mm256_set1_epi8(8);
    __m256i from = fourfold();
    for (uint32_t done = 0; done < n; done += 8, from = _mm256_add_epi8(from, next_group)) {
        // Codes past the last have count 0: the compress zeroed them.
        const __mmask32 used = _mm256_cmpgt_epu8_mask(permute_bytes(from, code_counts), slot);
        emit(_mm256_maskz_compress_epi8(used, permute_bytes(from, values)), uint32_t(_mm_popcnt_u32(used)));
    }
}

// Masks of the first n bytes of 32, n below 256 (bzhi reads only the low 8 bits
// of its count): all for n of 32 or more.
inline __mmask32 first_bytes(uint32_t n) { return _bzhi_u32(~0u, n); }

// Entries b (byte 0 of each word, the rest 0) as chroma words: (b >> 3) & 7 to
// byte 1, b & 7 to byte 3.
inline __m256i chroma_words(__m256i b) {
    const __m256i seven = _mm256_set1_epi32(7);
    return _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(b, 3), seven), 8),
                           _mm256_slli_epi32(_mm256_and_si256(b, seven), 24));
}

// The run-length window writer (rle_window.h): masks by byte compares, entries
// written by compress and masked stores, which leave every other table byte as
// it was and write none past the entries.
struct compressed_window {
    static constexpr size_t step = 0;
    __m256i bytes, next;
    uint32_t runs;

    window_masks masks(const uint8_t* p) {
        bytes = load_lanes(p);
        next = load_lanes(p + 1);
        runs = _mm256_test_epi8_mask(bytes, _mm256_set1_epi8(0x40));
        // Counts 1 to 4: count - 1, unsigned, at most three.
        const uint32_t short_counts = _mm256_cmple_epu8_mask(
            _mm256_sub_epi8(next, _mm256_set1_epi8(1)), _mm256_set1_epi8(int8_t(rle_window_entries - 1)));
        return {runs, _mm256_movepi8_mask(bytes), short_counts};
    }

    void write(const uint8_t* /*p*/, uint32_t luma_codes, uint32_t chroma_codes, uint8_t*& y, uint8_t*& uv) const {
        const __mmask32 even_bytes = 0x55555555u, chroma_bytes = 0xAAAAAAAAu, word_starts = 0x11111111u;
        const __m256i counts = _mm256_mask_blend_epi8(runs, _mm256_set1_epi8(1), next);
        // Busy pictures: often no run of more than one entry in the whole window.
        const bool all_single =
            (runs & (luma_codes | chroma_codes) & _mm256_cmpneq_epi8_mask(next, _mm256_set1_epi8(1))) == 0;
        const uint32_t luma_n = uint32_t(_mm_popcnt_u32(luma_codes));
        const uint32_t chroma_n = uint32_t(_mm_popcnt_u32(chroma_codes));

        // Luma entries, one table byte each, every second byte.
        expand_runs(bytes, counts, luma_codes, luma_n, all_single, [&](__m256i entries, uint32_t n) {
                        // Entry k to byte 2k, by widening bytes to words.
                        const __m256i low = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(entries));
                        const __m256i high = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(entries, 1));
                        _mm256_mask_storeu_epi8(y, even_bytes & first_bytes(2 * n), low);
                        // Past 16 entries the second half; else an empty store (at y, in the table).
                        const bool two = n > 16;
                        _mm256_mask_storeu_epi8(y + (two ? 32 : 0), even_bytes & first_bytes(two ? 2 * n - 32 : 0),
                                                high);
                        y += 2 * n;
                    });
        // Chroma entries, bytes 1 and 3 of one mode word each, eight words a store.
        expand_runs(bytes, counts, chroma_codes, chroma_n, all_single, [&](__m256i entries, uint32_t n) {
                        __m256i from = fourfold();
                        for (uint32_t done = 0; done < n; done += 8, from = _mm256_add_epi8(from, _mm256_set1_epi8(8))) {
                            // Entry b alone in byte 0 of its word.
                            const __m256i b = _mm256_maskz_permutexvar_epi8(word_starts, from, entries);
                            const uint32_t left = n - done;
                            _mm256_mask_storeu_epi8(uv, chroma_bytes & first_bytes(4 * left), chroma_words(b));
                            uv += 4 * (left < 8 ? left : 8);
                        }
                    });
    }

    // A run of `p[1]` entries (0 meaning 256) of the code at p, written whole by
    // masked stores (16 luma or 8 chroma entries a store) where the table has room
    // for all of it; false, with nothing written, where it has not.
    static bool write_run(const uint8_t* p, uint8_t*& y, uint8_t*& uv, const uint8_t* table_end) {
        const uint8_t b = p[0];
        const uint32_t count = p[1] == 0 ? 256 : p[1];
        if (b < 0x80) {
            if (size_t(table_end - y) < 2 * size_t(count)) return false;
            const __m256i value = _mm256_set1_epi16(b);
            for (uint32_t done = 0; done < count; done += 16) {
                _mm256_mask_storeu_epi8(y + 2 * done, 0x55555555u & first_bytes(count - done < 16 ? 2 * (count - done) : 32),
                                        value);
            }
            y += 2 * count;
        } else {
            if (size_t(table_end - uv) < 4 * size_t(count)) return false;
            const __m256i value = chroma_words(_mm256_set1_epi32(b));
            for (uint32_t done = 0; done < count; done += 8) {
                _mm256_mask_storeu_epi8(uv + 4 * done, 0xAAAAAAAAu & first_bytes(count - done < 8 ? 4 * (count - done) : 32),
                                        value);
            }
            uv += 4 * count;
        }
        return true;
    }
};

// Output rows, four cell pairs (48 bytes) a step: two loads (bytes 0-31 and
// 16-47) from which two-source byte permutes pick every output register. The
// last one to three pairs of a row take the same steps on masked loads and
// stores, which touch no byte outside the row.

// Where byte j (0 to 47) of four cell pairs lies in the two loads.
constexpr int8_t in_loads(int j) { return int8_t(j < 32 ? j : j + 16); }

// The same for the four pairs of cells (B of pair k, A of pair k + 1), k from
// 0 to 3, whose real bytes (12 k + 4 to 12 k + 57) are loaded as 64 bytes from
// byte 4 on: a row that starts in the middle of a pair then steps along those.
constexpr int8_t in_odd_loads(int j) {
    const int p = j / 12, o = j % 12;
    const int real = o < 4 ? 12 * p + 4 + o : o < 8 ? 12 * p + 8 + o : o < 10 ? 12 * p + 2 + o : 12 * p + 10 + o;
    return int8_t(real - 4);
}

// The byte permutes of the output rows, made once at compile time; `odd` for
// the pairs of cells (B, A) of in_odd_loads.
struct show_bytes {
    // YUY2: each line of four pairs, luma and chroma of the cells A and B of each.
    int8_t yuy2[2][32];
    // RGB32: U and V of cell k (pair k / 2) in the low bytes of words 2k and 2k + 1.
    int8_t chroma[32];
    // RGB32, the upper and lower lines of pairs 0-1 and of pairs 2-3: the luma of
    // each pixel in its four bytes.
    int8_t luma[2][2][32];
    // RGB32, cells 0-3 or 4-7: the offsets (dB, dG, dR, 0) of each pixel's cell,
    // from the lane of the offset bytes that holds those cells.
    int8_t offsets[2][32];
    constexpr explicit show_bytes(bool odd) : yuy2(), chroma(), luma(), offsets() {
        const auto in_loads = [odd](int j) { return odd ? in_odd_loads(j) : avx512::in_loads(j); };
        for (int q = 0; q < 32; ++q) {
            const int pixel = q / 4, b = q % 4;
            // YUY2: Y0 U Y1 V of cell q / 4, pair q / 8.
            const int cell = q / 4, pair_at = 12 * (cell / 2), own = 4 * (cell % 2);
            for (int line = 0; line < 2; ++line) {
                yuy2[line][q] = in_loads(b % 2 ? pair_at + 8 + 2 * (cell % 2) + b / 2 : pair_at + own + 2 * line + b / 2);
            }
            chroma[q] = b % 2 ? 0 : in_loads(12 * (cell / 2) + 8 + 2 * (cell % 2) + b / 2);
            for (int half = 0; half < 2; ++half) {
                const int k = 4 * half + pixel / 2;  // the pixel's cell
                for (int line = 0; line < 2; ++line) {
                    luma[half][line][q] = in_loads(12 * (k / 2) + 4 * (k % 2) + 2 * line + pixel % 2);
                }
                const int c = pixel / 2, lane = 16 * half;
                const int8_t from[4] = {int8_t(lane + 2 * c), int8_t(lane + 8 + 2 * c), int8_t(lane + 2 * c + 1),
                                        int8_t(lane + 9)};
                offsets[half][q] = from[b];
            }
        }
    }
};
constexpr show_bytes show_order(false), show_odd_order(true);

// The two loads of four pairs at `cells`; of their first n alone, by masked
// loads, where n is below 4.
struct four_pairs {
    __m256i low, high;
    four_pairs(const uint8_t* cells, uint32_t n) {
        if (n == 4) {
            low = load_lanes(cells), high = load_lanes(cells + 16);
        } else {
            low = _mm256_maskz_loadu_epi8(first_bytes(12 * n), cells);
            high = _mm256_maskz_loadu_epi8(first_bytes(12 * n > 16 ? 12 * n - 16 : 0), cells + 16);
        }
    }
    // The four pairs of cells (B of pair k, A of pair k + 1) from `cells` on, as
    // in_odd_loads places them; reads bytes 4 to 67.
    static four_pairs odd(const uint8_t* cells) { return four_pairs(load_lanes(cells + 4), load_lanes(cells + 36)); }
    __m256i pick(__m256i index) const { return _mm256_permutex2var_epi8(low, index, high); }

private:
    four_pairs(__m256i l, __m256i h) : low(l), high(h) {}
};

// The first `bytes` bytes of v (a multiple of 8; none where it is not
// positive), for the last pairs of a row: by plain 8-byte stores, as a masked
// store beside cache lines being streamed costs several times a step.
inline void store_first(uint8_t* p, __m256i v, int bytes) {
    if (bytes <= 0) return;
    alignas(32) uint8_t scratch[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(scratch), v);
    copy_words(p, scratch, 0, bytes < 32 ? size_t(bytes) : 32);
}

// YUY2, eight pairs (64 bytes of each line) a step.
template <stores kind>
void show_yuy2_as(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    const __m256i to_upper = load_bytes(show_order.yuy2[0]), to_lower = load_bytes(show_order.yuy2[1]);
    size_t i = 0;
    row_stores<kind> out(upper, lower, 8 * pairs);
    for (; i + 8 <= pairs; i += 8) {
        const uint8_t* c = cells + 12 * i;
        read_ahead(c);
        fetch_lines_ahead<kind>(upper + 8 * i, lower + 8 * i);
        const four_pairs a(c, 4), b(c + 48, 4);
        out.step(8 * i, a.pick(to_upper), b.pick(to_upper), a.pick(to_lower), b.pick(to_lower));
    }
    out.finish();
    for (; i < pairs; i += 4) {
        const uint32_t n = pairs - i < 4 ? uint32_t(pairs - i) : 4;
        const four_pairs a(cells + 12 * i, n);
        store_first(upper + 8 * i, a.pick(to_upper), int(8 * n));
        store_first(lower + 8 * i, a.pick(to_lower), int(8 * n));
    }
}

// RGB32 as in the AVX2 kernel, four pairs (eight cells) a step: the chroma of
// all eight in one register of words, their offsets (dB, dG, dR, 0) as positive
// and negative parts in bytes, then luma + offset clamped by two saturating byte
// operations.
struct rgb32_step {
    __m256i chroma_order, luma_order[2][2], offset_order[2], blue_red, green;
    explicit rgb32_step(const show_bytes& order = show_order)
        : chroma_order(load_bytes(order.chroma)),
          luma_order{{load_bytes(order.luma[0][0]), load_bytes(order.luma[0][1])},
                     {load_bytes(order.luma[1][0]), load_bytes(order.luma[1][1])}},
          offset_order{load_bytes(order.offsets[0]), load_bytes(order.offsets[1])},
          // Words (U, V) of each cell times (blue, red) and (green of U, green of V).
          blue_red(_mm256_set1_epi32(int32_t(uint32_t(coef_v_red) << 16 | uint16_t(coef_u_blue)))),
          green(_mm256_set1_epi32(int32_t(uint32_t(coef_v_green) << 16 | uint16_t(coef_u_green)))) {}

    // The offsets of the eight cells of `in` as positive and negative parts: per
    // lane (four cells), dB dR of each cell in bytes 0-7, dG 0 of each in bytes 8-15.
    void cell_offsets(const four_pairs& in, __m256i& plus, __m256i& minus) const {
        const __m256i zero = _mm256_setzero_si256();
        // Centred chroma times 4: the high half of each product is then
        // floor(chroma * coefficient / 16384), as in the scalar kernel.
        __m256i uv = _mm256_maskz_permutex2var_epi8(0x55555555u, in.low, chroma_order, in.high);
        uv = _mm256_slli_epi16(_mm256_sub_epi16(uv, _mm256_set1_epi16(128)), 2);
        const __m256i db_dr = _mm256_mulhi_epi16(uv, blue_red);
        // gU + gV in the low word of each cell's 32 bits, its sign in the high word.
        const __m256i dg = _mm256_madd_epi16(_mm256_mulhi_epi16(uv, green), _mm256_set1_epi16(1));
        plus = _mm256_packus_epi16(db_dr, dg);
        minus = _mm256_packus_epi16(_mm256_sub_epi16(zero, db_dr), _mm256_sub_epi32(zero, dg));
    }

    // Line l's bytes of the pairs 0-1 (half 0) and 2-3 (half 1).
    void lines(const four_pairs& in, __m256i out[2][2]) const {
        __m256i plus, minus;
        cell_offsets(in, plus, minus);
        for (int half = 0; half < 2; ++half) {
            const __m256i add = permute_bytes(offset_order[half], plus);
            const __m256i take = permute_bytes(offset_order[half], minus);
            for (int l = 0; l < 2; ++l) {
                out[l][half] = _mm256_subs_epu8(_mm256_adds_epu8(in.pick(luma_order[half][l]), add), take);
            }
        }
    }
};

template <stores kind>
void show_rgb32_as(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    const rgb32_step step;
    __m256i out[2][2];
    size_t i = 0;
    row_stores<kind> rows(upper, lower, 16 * pairs);
    for (; i + 4 <= pairs; i += 4) {
        const uint8_t* c = cells + 12 * i;
        read_ahead(c);
        fetch_lines_ahead<kind>(upper + 16 * i, lower + 16 * i);
        step.lines(four_pairs(c, 4), out);
        rows.step(16 * i, out[0][0], out[0][1], out[1][0], out[1][1]);
    }
    rows.finish();
    if (i == pairs) return;
    const uint32_t n = uint32_t(pairs - i);
    step.lines(four_pairs(cells + 12 * i, n), out);
    for (int l = 0; l < 2; ++l) {
        uint8_t* line = (l ? lower : upper) + 16 * i;
        store_first(line, out[l][0], int(16 * n));
        store_first(line + 32, out[l][1], int(16 * n) - 32);
    }
}

// Bytes [from, to) of a line's 64 bytes, given as two halves, at p; both
// multiples of 4.
inline void store_range(uint8_t* p, __m256i low, __m256i high, uint32_t from, uint32_t to) {
    alignas(32) uint8_t line[64];
    _mm256_store_si256(reinterpret_cast<__m256i*>(line), low);
    _mm256_store_si256(reinterpret_cast<__m256i*>(line + 32), high);
    copy_words(p, line, from, to);
}

// RGB32 lines that both start 8 bytes past a 16-byte boundary, at the same
// place in a cache line: each 16 bytes of a cache line hold cell B of one pair
// and cell A of the next, so a step of four pairs would straddle cache lines.
// The pairs before the first pair whose cell B starts a cache line, and that
// pair's cell A, are stored plainly; from its cell B the rows step along four
// pairs of cells (B of pair k, A of pair k + 1) a step, on whole cache lines;
// the last two to five pairs (from a cell B) are stored plainly again. (A plain
// whole cache line after those pairs, as the other rows have, gains these nothing.)
template <stores kind>
void show_rgb32_split(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    const size_t head = (56 - reinterpret_cast<uintptr_t>(upper) % 64) / 16;
    if (head + 6 > pairs) return show_rgb32_as<stores::plain>(cells, pairs, upper, lower);
    const rgb32_step even, odd(show_odd_order);
    __m256i out[2][2];
    even.lines(four_pairs(cells, uint32_t(head + 1)), out);
    for (int l = 0; l < 2; ++l) store_range(l ? lower : upper, out[l][0], out[l][1], 0, uint32_t(16 * head + 8));
    size_t i = head;   // the pair of cells (B of pair head, A of head + 1) first
    row_stores<kind> rows(upper + 8, lower + 8, 16 * pairs);
    for (; i + 6 <= pairs; i += 4) {
        const uint8_t* c = cells + 12 * i;
        read_ahead(c);
        odd.lines(four_pairs::odd(c), out);
        rows.step(16 * i, out[0][0], out[0][1], out[1][0], out[1][1]);
    }
    rows.finish();
    // From cell B of pair i: two to five pairs.
    for (uint32_t skip = 8; i < pairs; i += 4, skip = 0) {
        const uint32_t n = pairs - i < 4 ? uint32_t(pairs - i) : 4;
        even.lines(four_pairs(cells + 12 * i, n), out);
        for (int l = 0; l < 2; ++l) store_range((l ? lower : upper) + 16 * i, out[l][0], out[l][1], skip, 16 * n);
    }
}

// RGB32 lines that both start 4 or 12 bytes past a 16-byte boundary, at the
// same place in a cache line (heap blocks on 4-byte boundaries): there a cache
// line holds the 16 pixels from pixel `p` of a pair on (p = 3 or 1), which touch
// nine cells. Each step shows pixels 4k + p to 4k + p + 15 of both lines from
// the 64 bytes from pair k (the luma) and the offsets of the cells of pairs k
// to k + 3, made by the step before, and of pairs k + 4 to k + 7, made by its own.
struct phased_bytes {
    int8_t luma[2][2][32];  // [half][line]: from the 64 bytes from pair k
    int8_t offsets[2][32];  // [half]: from the offsets of pairs k to k + 3, then of k + 4 to k + 7
    constexpr explicit phased_bytes(int p) : luma(), offsets() {
        for (int half = 0; half < 2; ++half) {
            for (int q = 0; q < 32; ++q) {
                const int at = p + 8 * half + q / 4, b = q % 4;  // pixel from pair k's first, byte
                const int cell = at / 2;                         // from pair k's cell A
                for (int line = 0; line < 2; ++line) {
                    luma[half][line][q] = int8_t(12 * (cell / 2) + 4 * (cell % 2) + 2 * line + at % 2);
                }
                const int own = cell < 8 ? 0 : 32, lane = 16 * (cell % 8 / 4), c = cell % 4;
                const int from[4] = {lane + 2 * c, lane + 8 + 2 * c, lane + 2 * c + 1, lane + 9};
                offsets[half][q] = int8_t(own + from[b]);
            }
        }
    }
};
constexpr phased_bytes phase_one(1), phase_three(3);

// The pairs up to the first step on whole cache lines (and the first p pixels
// of its pair) are stored plainly, then the steps, then the last pairs plainly.
template <stores kind>
void show_rgb32_phased(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    const int lead = int(reinterpret_cast<uintptr_t>(upper) % 64);
    const int p = lead % 16 == 12 ? 1 : 3;
    const size_t head = size_t(64 - lead - 4 * p) % 64 / 16;  // the pair of the first step
    if (head + 8 > pairs) return show_rgb32_as<stores::plain>(cells, pairs, upper, lower);
    const phased_bytes& order = p == 1 ? phase_one : phase_three;
    const __m256i luma[2][2] = {{load_bytes(order.luma[0][0]), load_bytes(order.luma[0][1])},
                                {load_bytes(order.luma[1][0]), load_bytes(order.luma[1][1])}};
    const __m256i offsets[2] = {load_bytes(order.offsets[0]), load_bytes(order.offsets[1])};
    const rgb32_step step;
    __m256i out[2][2];
    show_rgb32_as<stores::plain>(cells, head, upper, lower);
    step.lines(four_pairs(cells + 12 * head, 1), out);
    for (int l = 0; l < 2; ++l) store_range((l ? lower : upper) + 16 * head, out[l][0], out[l][1], 0, 4 * p);
    __m256i plus, minus;
    step.cell_offsets(four_pairs(cells + 12 * head, 4), plus, minus);
    size_t i = head;
    row_stores<kind> rows(upper + 4 * p, lower + 4 * p, 16 * pairs);
    for (; i + 8 <= pairs; i += 4) {  // reads pairs i to i + 7
        const uint8_t* c = cells + 12 * i;
        read_ahead(c);
        __m256i next_plus, next_minus;
        step.cell_offsets(four_pairs(c + 48, 4), next_plus, next_minus);
        const __m256i low = load_lanes(c), high = load_lanes(c + 32);
        for (int half = 0; half < 2; ++half) {
            const __m256i add = _mm256_permutex2var_epi8(plus, offsets[half], next_plus);
            const __m256i take = _mm256_permutex2var_epi8(minus, offsets[half], next_minus);
            for (int l = 0; l < 2; ++l) {
                const __m256i y = _mm256_permutex2var_epi8(low, luma[half][l], high);
                out[l][half] = _mm256_subs_epu8(_mm256_adds_epu8(y, add), take);
            }
        }
        rows.step(16 * i, out[0][0], out[0][1], out[1][0], out[1][1]);
        plus = next_plus, minus = next_minus;
    }
    rows.finish();
    // From pixel p of pair i: the last four to seven pairs.
    for (uint32_t skip = 4 * uint32_t(p); i < pairs; i += 4, skip = 0) {
        const uint32_t n = pairs - i < 4 ? uint32_t(pairs - i) : 4;
        step.lines(four_pairs(cells + 12 * i, n), out);
        for (int l = 0; l < 2; ++l) store_range((l ? lower : upper) + 16 * i, out[l][0], out[l][1], skip, 16 * n);
    }
}

}  // namespace
}  // namespace avx512

void fill_kernels_avx512(kernel_table& table) {
    using avx512::stores;
    table.show_yuy2 = avx512::aligned_rows<8, avx512::show_yuy2_as<stores::plain>, avx512::show_yuy2_as<stores::plain>,
                                              avx512::show_yuy2_as<stores::plain>>;
    table.show_rgb32 = avx512::aligned_rows<16, avx512::show_rgb32_as<stores::plain>, avx512::show_rgb32_as<stores::plain>,
                                              avx512::show_rgb32_as<stores::plain>, avx512::show_rgb32_split<stores::plain>,
                                              avx512::show_rgb32_phased<stores::plain>>;
    table.show_yuy2_stream = avx512::aligned_rows<8, avx512::show_yuy2_as<stores::streamed>, avx512::show_yuy2_as<stores::shifted>,
                                                    avx512::show_yuy2_as<stores::plain>>;
    table.show_rgb32_stream = avx512::aligned_rows<16, avx512::show_rgb32_as<stores::streamed>, avx512::show_rgb32_as<stores::shifted>,
                                                    avx512::show_rgb32_as<stores::plain>, avx512::show_rgb32_split<stores::streamed>,
                                                    avx512::show_rgb32_phased<stores::streamed>>;
    table.show_i420 = avx2::show_i420_as<false>;
    table.show_i420_stream = avx2::show_i420_stream;
    table.rle_codes = read_windows<avx512::compressed_window>;
    // The AVX2 row kernel, this file's own copy, built for AVX-512.
    table.rebuild_row[0] = avx2::rebuild_row<0, avx512::row_parts<avx512::expanded_payload>>;
    table.rebuild_row[1] = avx2::rebuild_row<1, avx512::row_parts<avx2::gathered_payload>>;
    table.rebuild_row[2] = avx2::rebuild_row<2, avx512::row_parts<avx2::gathered_payload>>;
}

}  // namespace ruv
