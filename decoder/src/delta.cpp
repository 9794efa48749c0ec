// Delta frames: the mode table is unpacked first, then the picture is walked one
// cell row at a time, bottom row first: the row's 8x2 blocks (one mode word each)
// are rebuilt in place in the reference frame, their shown cell pairs gathered in
// a row buffer, and the row buffer shown on the output lines in one pass.
//
// A malformed frame is rebuilt only as far as it is sound: a frame whose offsets
// leave it is not rebuilt at all, and the walk stops at the first block whose
// payload would pass payload_end. Blocks not rebuilt show the reference frame,
// which keeps them, so output and reference always agree.
#include "cell_rows.h"
#include "decoder.h"

namespace ruv {

frame_fault DecoderContext::decode_delta(const picture_planes* picture, const uint8_t* frame, size_t frame_length) {
    // Coding mode 0 keeps no reference frame: every frame is an intra frame.
    if (m_coding_mode == 0 || !m_ref_frame) return decode_intra(picture, frame, frame_length);

    const delta_layout layout = read_delta_layout(uint32_t(m_coding_mode), frame, frame_length);
    frame_fault fault = layout.fault;
    const bool rebuild = layout.sound();
    if (rebuild && m_coding_mode <= 2) {
        fault = unpack_packed_table(frame + 4, frame + layout.payload_end);
    } else if (rebuild) {
        const uint8_t* table = frame + layout.payload_end;
        fault = unpack_rle_table(table + 4, table + layout.table_length);
    }

    const row_placement place(picture, m_width, m_height, m_rgb_output != 0, m_planar_output != 0);
    const row_shower show(m_kernels, m_rgb_output != 0, m_planar_output != 0, m_stream_delta_output);
    const size_t blocks_per_row = place.pairs_per_row / 2;
    size_t done = 0;  // blocks rebuilt
    if (rebuild) {
        // Coding modes 1 and 2 follow each block's payload with its 1- or 2-byte mode record.
        const rebuild_row_kernel rebuild_row = m_kernels.rebuild_row[m_coding_mode <= 2 ? m_coding_mode : 0];
        delta_cursor cursor{frame + 4, frame + layout.payload_end, m_shift2, m_shift4, {0, 0, 0, 0}, {0, 0, 0, 0},
                            false};
        for (size_t row = 0; row < place.rows; ++row) {
            const size_t first = row * blocks_per_row;
            uint8_t* const ref_row = m_ref_frame + 24 * first;
            const size_t rebuilt = rebuild_row(m_table_opt + 4 * first, blocks_per_row, ref_row, m_shown_row, cursor);
            show(cursor.row_kept ? ref_row : m_shown_row, 2 * rebuilt, place, row, 0);
            done += rebuilt;
            if (rebuilt < blocks_per_row) break;
        }
    }
    if (done < block_count()) {
        show_pairs_from(show, m_ref_frame, 2 * done, place);
        if (rebuild && fault == frame_fault::none) fault = frame_fault::payload_overrun;
    }
    m_kernels.end_stream();
    return fault;
}

}  // namespace ruv
