// Intra frames: the picture's cell pairs, stored as they are, after a 4-byte header word.
#include <algorithm>
#include <cstring>

#include "cell_rows.h"
#include "decoder.h"

namespace ruv {

namespace {

// Decodes the first `present` cell pairs from `cells` (keeping them in `ref` when
// there is one) and shows the rest of the picture from `ref`, where there is one.
template <bool rgb, bool simd>
void intra_rows(const row_placement& place, const uint8_t* cells, size_t present, uint8_t* ref,
                size_t rows, size_t pairs_per_row) {
    for (size_t row = 0; row < rows; ++row) {
        const size_t first = row * pairs_per_row;
        const size_t from_frame = present > first ? std::min(pairs_per_row, present - first) : 0;
        uint8_t* upper = place.upper(row);
        if (from_frame > 0) {
            if (ref) std::memcpy(ref + 12 * first, cells + 12 * first, 12 * from_frame);
            write_pairs<rgb, simd>(cells + 12 * first, from_frame, upper, place.upper_to_lower, place.pair_bytes);
        }
        if (from_frame < pairs_per_row && ref) {
            const size_t rest = first + from_frame;
            write_pairs<rgb, simd>(ref + 12 * rest, pairs_per_row - from_frame, upper + place.pair_bytes * from_frame,
                                place.upper_to_lower, place.pair_bytes);
        }
    }
}

}  // namespace

frame_fault DecoderContext::decode_intra(uint8_t* output, const uint8_t* frame, size_t frame_length) {
    const size_t pairs_per_row = size_t(m_width / 4);
    const size_t rows = size_t(m_height / 2);
    const size_t total = pairs_per_row * rows;
    // Only whole cell pairs are decoded; with no reference frame (coding mode 0)
    // the output of missing ones is left as the caller had it.
    const size_t present = frame_length > 4 ? std::min(total, (frame_length - 4) / 12) : 0;
    const uint8_t* cells = present > 0 ? frame + 4 : nullptr;
    uint8_t* ref = m_coding_mode != 0 ? m_ref_frame : nullptr;
    const row_placement place(output, m_width, m_height, m_rgb_output != 0);

    if (m_rgb_output) {
        if (m_simd) intra_rows<true, true>(place, cells, present, ref, rows, pairs_per_row);
        else intra_rows<true, false>(place, cells, present, ref, rows, pairs_per_row);
    } else {
        if (m_simd) intra_rows<false, true>(place, cells, present, ref, rows, pairs_per_row);
        else intra_rows<false, false>(place, cells, present, ref, rows, pairs_per_row);
    }
    return present == total ? frame_fault::none : frame_fault::short_intra;
}

}  // namespace ruv
