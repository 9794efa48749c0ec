// Intra frames: the picture's cell pairs, stored as they are, after a 4-byte header word.
#include <algorithm>
#include <cstring>

#include "cell_rows.h"
#include "decoder.h"

namespace ruv {

namespace {

// Decodes the first `present` cell pairs from `cells`, keeping them in `ref` when
// there is one, and shows the rest of the picture from `ref`.
template <bool rgb, bool simd>
void intra_rows(const row_placement& place, const uint8_t* cells, size_t present, uint8_t* ref) {
    for (size_t row = 0; row * place.pairs_per_row < present; ++row) {
        const size_t first = row * place.pairs_per_row;
        const size_t count = std::min(place.pairs_per_row, present - first);
        if (ref) std::memcpy(ref + 12 * first, cells + 12 * first, 12 * count);
        write_pairs<rgb, simd>(cells + 12 * first, count, place.upper(row), place.lower(row), place.pair_bytes);
    }
    if (ref) show_pairs_from<rgb, simd>(ref, present, place);
}

}  // namespace

frame_fault DecoderContext::decode_intra(uint8_t* output, const uint8_t* frame, size_t frame_length) {
    const row_placement place(output, m_width, m_height, m_rgb_output != 0);
    const size_t total = place.rows * place.pairs_per_row;
    // Only whole cell pairs are decoded; with no reference frame (coding mode 0)
    // the output of missing ones is left as the caller had it.
    const size_t present = frame_length > 4 ? std::min(total, (frame_length - 4) / 12) : 0;
    const uint8_t* cells = present > 0 ? frame + 4 : nullptr;
    uint8_t* ref = m_coding_mode != 0 ? m_ref_frame : nullptr;

    if (m_rgb_output) {
        if (m_simd) intra_rows<true, true>(place, cells, present, ref);
        else intra_rows<true, false>(place, cells, present, ref);
    } else {
        if (m_simd) intra_rows<false, true>(place, cells, present, ref);
        else intra_rows<false, false>(place, cells, present, ref);
    }
    return present == total ? frame_fault::none : frame_fault::short_intra;
}

}  // namespace ruv
