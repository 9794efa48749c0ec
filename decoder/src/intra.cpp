// Intra frames: the picture's cell pairs, stored as they are, after a 4-byte header word.
#include <algorithm>
#include <cstring>

#include "cell_rows.h"
#include "decoder.h"

namespace ruv {

frame_fault DecoderContext::decode_intra(const picture_planes* picture, const uint8_t* frame, size_t frame_length) {
    const row_placement place(picture, m_width, m_height, m_rgb_output != 0, m_planar_output != 0);
    const size_t total = place.rows * place.pairs_per_row;
    // Only whole cell pairs are decoded; with no reference frame (coding mode 0)
    // the output of missing ones is left as the caller had it.
    const size_t present = frame_length > 4 ? std::min(total, (frame_length - 4) / 12) : 0;
    const uint8_t* cells = present > 0 ? frame + 4 : nullptr;
    uint8_t* ref = m_coding_mode != 0 ? m_ref_frame : nullptr;
    const row_shower show(m_kernels, m_rgb_output != 0, m_planar_output != 0, m_stream_output);
    // A reference kept without showing it is read again by the next frame: it
    // stays in the cache.
    const auto keep = m_stream_output && place.shown ? m_kernels.copy_stream
                                                      : [](uint8_t* to, const uint8_t* from, size_t n) {
                                                            std::memcpy(to, from, n);
                                                        };

    // The first `present` cell pairs come from the frame (and are kept in the
    // reference when there is one); the rest of the picture shows the reference.
    for (size_t row = 0; row * place.pairs_per_row < present; ++row) {
        const size_t first = row * place.pairs_per_row;
        const size_t count = std::min(place.pairs_per_row, present - first);
        if (ref) keep(ref + 12 * first, cells + 12 * first, 12 * count);
        show(cells + 12 * first, count, place, row, 0);
    }
    if (ref) show_pairs_from(show, ref, present, place);
    m_kernels.end_stream();
    return present == total ? frame_fault::none : frame_fault::short_intra;
}

}  // namespace ruv
