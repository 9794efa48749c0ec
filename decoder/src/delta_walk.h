// The walk over one cell row of a delta frame, shared by the kernel levels that
// rebuild sample blocks: each level instantiates it with its own block rebuilder
// in its own source file. A rebuilder's call operator rebuilds one sample block
// and may read up to `over_read` bytes past the payload that its code consumes;
// its `exact` member reads none, for the blocks at the end of the payload.
// Everything here has internal linkage: each kernel source file compiles its own
// copy with its own instruction set, and no copy can stand in for another's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels.h"
#include "sample_block.h"

namespace ruv {
namespace {

// Payload bytes of the two cells' luma codes in a luma byte, and of a chroma code byte.
struct payload_tables {
    uint8_t luma[64];
    uint8_t chroma[256];
    constexpr payload_tables() : luma(), chroma() {
        for (int b = 0; b < 64; ++b) luma[b] = uint8_t(payload_size[b >> 3] + payload_size[b & 7]);
        for (int b = 0; b < 256; ++b) chroma[b] = b < 8 ? payload_size[b] : 0;
    }
};
constexpr payload_tables block_payload_table;

// The four bytes of a mode-table entry as one little-endian word.
inline uint32_t mode_word(const uint8_t* entry) {
    return uint32_t(entry[0]) | uint32_t(entry[1]) << 8 | uint32_t(entry[2]) << 16 | uint32_t(entry[3]) << 24;
}

inline size_t block_payload(uint32_t v) {
    return size_t(block_payload_table.luma[v & 0x3F]) + block_payload_table.chroma[(v >> 8) & 0xFF] +
           block_payload_table.luma[(v >> 16) & 0x3F] + block_payload_table.chroma[v >> 24];
}

// Whether a mode word keeps all six sample blocks: luma codes 0, chroma codes 0 or above 7.
inline bool keeps_block(uint32_t v) {
    const uint32_t chroma0 = (v >> 8) & 0xFF;
    const uint32_t chroma1 = v >> 24;
    return (v & 0x003F003F) == 0 && (chroma0 == 0 || chroma0 > 7) && (chroma1 == 0 || chroma1 > 7);
}

// Rebuilds one cell pair (luma of two cells, then their chroma) under the low 16
// bits of a mode word.
template <bool exact, typename rebuilder>
inline const uint8_t* rebuild_cell_pair(uint32_t v, const uint8_t* payload, uint8_t* ref, uint8_t* shown,
                                        uint8_t* left_y, uint8_t* left_uv, const rebuilder& rebuild) {
    const auto one = [&](uint32_t code, const uint8_t* predictor, uint8_t* r, uint8_t* s) {
        return exact ? rebuild.exact(code, payload, predictor, r, s) : rebuild(code, payload, predictor, r, s);
    };
    payload += one((v >> 3) & 7, left_y, ref, shown);
    std::memset(left_y, ref[0], 4);
    payload += one(v & 7, left_y, ref + 4, shown + 4);
    std::memset(left_y, ref[4], 4);
    payload += one((v >> 8) & 0xFF, left_uv, ref + 8, shown + 8);
    std::memcpy(left_uv, ref + 8, 4);
    return payload;
}

// Whether every block of a row keeps all six sample blocks.
inline bool keeps_every_block(const uint8_t* table, size_t blocks) {
    size_t kept = 0;
    while (kept < blocks && keeps_block(mode_word(table + 4 * kept))) ++kept;
    return kept == blocks;
}

// A row that keeps every block (and has its mode records, if any) leaves the
// reference as it is and shows it: only the predictors and the payload move on.
// Sets row_kept to whether the row is such a row; `all_kept` says whether every
// block keeps (keeps_every_block, or a faster twin of it).
template <size_t record_skip>
bool keep_whole_row(bool all_kept, size_t blocks, const uint8_t* ref, delta_cursor& c) {
    c.row_kept = all_kept && blocks > 0 && size_t(c.payload_end - c.payload) >= blocks * record_skip;
    if (c.row_kept) {
        const uint8_t* last = ref + 24 * (blocks - 1);
        std::memset(c.left_y, last[16], 4);
        std::memcpy(c.left_uv, last + 20, 4);
        c.payload += blocks * record_skip;
    }
    return c.row_kept;
}

// record_skip is the mode record after each block's payload: 1 or 2 bytes in
// coding modes 1 and 2, none in 3 and 4. The mode word shifted right by 16 serves
// cell pair 1 with cell pair 0's field positions.
template <size_t record_skip, typename rebuilder>
size_t rebuild_row_with(const uint8_t* table, size_t blocks, uint8_t* ref, uint8_t* shown, delta_cursor& c) {
    if (keep_whole_row<record_skip>(keeps_every_block(table, blocks), blocks, ref, c)) return blocks;
    const rebuilder rebuild(c.shift2, c.shift4);
    // The running state in locals, which the stores to the reference cannot alias.
    const uint8_t* payload = c.payload;
    const uint8_t* const payload_end = c.payload_end;
    uint8_t left_y[4], left_uv[4];
    std::memcpy(left_y, c.left_y, 4);
    std::memcpy(left_uv, c.left_uv, 4);
    size_t b = 0;
    for (; b < blocks; ++b) {
        const uint32_t v = mode_word(table + 4 * b);
        uint8_t* r = ref + 24 * b;
        uint8_t* s = shown + 24 * b;
        const size_t left = size_t(payload_end - payload);
        if (keeps_block(v)) {
            if (record_skip > left) break;
            // Still parts of a picture: shown as the reference holds them.
            std::memcpy(s, r, 24);
            std::memset(left_y, r[16], 4);
            std::memcpy(left_uv, r + 20, 4);
        } else if (left >= max_block_payload + record_skip + rebuilder::over_read) {
            payload = rebuild_cell_pair<false>(v, payload, r, s, left_y, left_uv, rebuild);
            payload = rebuild_cell_pair<false>(v >> 16, payload, r + 12, s + 12, left_y, left_uv, rebuild);
        } else {
            // Near the end of the payload: this block's payload must fit, and is read exactly.
            if (block_payload(v) + record_skip > left) break;
            payload = rebuild_cell_pair<true>(v, payload, r, s, left_y, left_uv, rebuild);
            payload = rebuild_cell_pair<true>(v >> 16, payload, r + 12, s + 12, left_y, left_uv, rebuild);
        }
        payload += record_skip;
    }
    c.payload = payload;
    std::memcpy(c.left_y, left_y, 4);
    std::memcpy(c.left_uv, left_uv, 4);
    return b;
}

}  // namespace
}  // namespace ruv
