// Delta frames: the mode table is unpacked first, then the picture is walked one
// 8x2 block (one mode word) at a time, bottom cell row first, each block's six
// sample blocks rebuilt in place in the reference frame and its two cell pairs
// written to the output.
//
// A malformed frame is rebuilt only as far as it is sound: a frame whose offsets
// leave it is not rebuilt at all, and the walk stops at the first block whose
// payload would pass payload_end. Blocks not rebuilt show the reference frame,
// which keeps them, so output and reference always agree.
#include <cstring>
#include <type_traits>

#include "cell_rows.h"
#include "decoder.h"
#include "le.h"
#include "sample_block.h"
#include "sample_block_sse2.h"

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

size_t block_payload(uint32_t v) {
    return size_t(block_payload_table.luma[v & 0x3F]) + block_payload_table.chroma[(v >> 8) & 0xFF] +
           block_payload_table.luma[(v >> 16) & 0x3F] + block_payload_table.chroma[v >> 24];
}

// Whether a mode word keeps all six sample blocks: luma codes 0, chroma codes 0 or above 7.
bool keeps_block(uint32_t v) {
    const uint32_t chroma0 = (v >> 8) & 0xFF;
    const uint32_t chroma1 = v >> 24;
    return (v & 0x003F003F) == 0 && (chroma0 == 0 || chroma0 > 7) && (chroma1 == 0 || chroma1 > 7);
}

// The sample-block kernels of one kernel family, with the frame's shifts.
struct scalar_rebuilder {
    int32_t shift2, shift4;
    scalar_rebuilder(int32_t s2, int32_t s4) : shift2(s2), shift4(s4) {}
    size_t operator()(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                      uint8_t* shown) const {
        return rebuild_sample_block_c(code, payload, predictor, ref, shown, shift2, shift4);
    }
};

#if RUV_SSE2
struct sse2_rebuilder {
    delta_shifts_sse2 shifts;
    sse2_rebuilder(int32_t s2, int32_t s4) : shifts(s2, s4) {}
    size_t operator()(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                      uint8_t* shown) const {
        return rebuild_sample_block_sse2(code, payload, predictor, ref, shown, shifts);
    }
};
template <bool simd>
using block_rebuilder = std::conditional_t<simd, sse2_rebuilder, scalar_rebuilder>;
#else
template <bool simd>
using block_rebuilder = scalar_rebuilder;
#endif

// The state that one delta frame carries from block to block.
struct walk_state {
    const uint8_t* payload;  // next payload byte
    uint8_t left_y[4];       // four copies of the upper-left luma of the last luma block
    uint8_t left_uv[4];      // the last chroma block
};

// Rebuilds one cell pair (luma of two cells, then their chroma) under the low 16
// bits of a mode word, and writes it to the output lines.
template <bool rgb, bool simd>
inline void rebuild_cell_pair(uint32_t v, uint8_t* ref, walk_state& s, const block_rebuilder<simd>& rebuild,
                              uint8_t* upper, uint8_t* lower) {
    uint8_t shown[12];
    s.payload += rebuild((v >> 3) & 7, s.payload, s.left_y, ref, shown);
    std::memset(s.left_y, ref[0], 4);
    s.payload += rebuild(v & 7, s.payload, s.left_y, ref + 4, shown + 4);
    std::memset(s.left_y, ref[4], 4);
    s.payload += rebuild((v >> 8) & 0xFF, s.payload, s.left_uv, ref + 8, shown + 8);
    std::memcpy(s.left_uv, ref + 8, 4);
    pair_kernel_for<rgb, simd>()(shown, upper, lower);
}

// Rebuilds the six sample blocks of one 8x2 block and shows its two cell pairs.
// The mode word shifted right by 16 serves cell pair 1 with cell pair 0's field positions.
template <bool rgb, bool simd>
inline void rebuild_mode_word(uint32_t v, uint8_t* ref, walk_state& s, const block_rebuilder<simd>& rebuild,
                              uint8_t* upper, uint8_t* lower, size_t pair_bytes) {
    if (keeps_block(v)) {
        // Still parts of a picture: shown straight from the reference.
        write_pairs<rgb, simd>(ref, 2, upper, lower, pair_bytes);
        std::memset(s.left_y, ref[16], 4);
        std::memcpy(s.left_uv, ref + 20, 4);
        return;
    }
    rebuild_cell_pair<rgb, simd>(v, ref, s, rebuild, upper, lower);
    rebuild_cell_pair<rgb, simd>(v >> 16, ref + 12, s, rebuild, upper + pair_bytes, lower + pair_bytes);
}

// One of the specialised walks: record_skip is the mode record after each
// block's payload (1 or 2 bytes in coding modes 1 and 2, none in 3 and 4).
// Returns the number of blocks rebuilt; the rest are left to the caller.
template <size_t record_skip, bool rgb, bool simd>
size_t walk(const DecoderContext& ctx, const row_placement& place, const uint8_t* payload,
            const uint8_t* payload_end) {
    const block_rebuilder<simd> rebuild(ctx.m_shift2, ctx.m_shift4);
    const size_t rows = place.rows;
    const size_t blocks_per_row = place.pairs_per_row / 2;
    const uint8_t* table = ctx.m_table_opt;
    uint8_t* ref = ctx.m_ref_frame;
    walk_state s{payload, {0, 0, 0, 0}, {0, 0, 0, 0}};

    for (size_t row = 0; row < rows; ++row) {
        uint8_t* upper = place.upper(row);
        uint8_t* lower = place.lower(row);
        for (size_t b = 0; b < blocks_per_row; ++b) {
            const uint32_t v = read_le32(table);
            // Near the end of the payload, check that this block's payload fits.
            const size_t left = size_t(payload_end - s.payload);
            if (left < max_block_payload + record_skip && block_payload(v) + record_skip > left) {
                return row * blocks_per_row + b;
            }
            rebuild_mode_word<rgb, simd>(v, ref, s, rebuild, upper, lower, place.pair_bytes);
            s.payload += record_skip;
            table += 4;
            ref += 24;
            upper += 2 * place.pair_bytes;
            lower += 2 * place.pair_bytes;
        }
    }
    return rows * blocks_per_row;
}

template <bool rgb, bool simd>
size_t walk_for_mode(const DecoderContext& ctx, const row_placement& place, const uint8_t* payload,
                     const uint8_t* payload_end) {
    switch (ctx.m_coding_mode) {
        case 1: return walk<1, rgb, simd>(ctx, place, payload, payload_end);
        case 2: return walk<2, rgb, simd>(ctx, place, payload, payload_end);
        default: return walk<0, rgb, simd>(ctx, place, payload, payload_end);
    }
}

template <bool rgb, bool simd>
frame_fault decode_delta_as(const DecoderContext& ctx, uint8_t* output, const uint8_t* payload,
                            const uint8_t* payload_end, bool rebuild, frame_fault fault) {
    const row_placement place(output, ctx.m_width, ctx.m_height, rgb);
    const size_t done = rebuild ? walk_for_mode<rgb, simd>(ctx, place, payload, payload_end) : 0;
    if (done < ctx.block_count()) {
        show_pairs_from<rgb, simd>(ctx.m_ref_frame, 2 * done, place);
        if (rebuild && fault == frame_fault::none) fault = frame_fault::payload_overrun;
    }
    return fault;
}

}  // namespace

frame_fault DecoderContext::decode_delta(uint8_t* output, const uint8_t* frame, size_t frame_length) {
    // Coding mode 0 keeps no reference frame: every frame is an intra frame.
    if (m_coding_mode == 0 || !m_ref_frame) return decode_intra(output, frame, frame_length);

    const delta_layout layout = read_delta_layout(uint32_t(m_coding_mode), frame, frame_length);
    frame_fault fault = layout.fault;
    const bool rebuild = layout.sound();
    if (rebuild && m_coding_mode <= 2) {
        fault = unpack_packed_table(frame + 4, frame + layout.payload_end);
    } else if (rebuild) {
        const uint8_t* table = frame + layout.payload_end;
        fault = unpack_rle_table(table + 4, table + layout.table_length);
    }

    const uint8_t* payload = rebuild ? frame + 4 : nullptr;
    const uint8_t* end = rebuild ? frame + layout.payload_end : nullptr;
    if (m_rgb_output) {
        return m_simd ? decode_delta_as<true, true>(*this, output, payload, end, rebuild, fault)
                      : decode_delta_as<true, false>(*this, output, payload, end, rebuild, fault);
    }
    return m_simd ? decode_delta_as<false, true>(*this, output, payload, end, rebuild, fault)
                  : decode_delta_as<false, false>(*this, output, payload, end, rebuild, fault);
}

}  // namespace ruv
