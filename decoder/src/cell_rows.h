// Where each cell row lands in the output picture, and showing the cell pairs
// of a picture from one of them on. Intra and delta decoding share both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder.h"
#include "kernels.h"

namespace ruv {

// Output geometry of one decode. Cell row k (counted from the bottom of the
// picture) has its upper line at picture row height-2-2k and its lower line at
// height-1-2k (rows counted from the top), and, in I420, its chroma at chroma
// row rows-1-k. With no picture, nothing is shown.
struct row_placement {
    picture_planes planes;
    bool shown;
    size_t height;
    size_t rows;           // cell rows
    size_t pairs_per_row;  // cell pairs in a cell row
    size_t pair_bytes;     // bytes of one cell pair on one line of plane 0

    row_placement(const picture_planes* picture, int32_t width, int32_t picture_height, bool rgb, bool planar)
        : planes(picture ? *picture : picture_planes{}),
          shown(picture != nullptr),
          height(size_t(picture_height)),
          rows(size_t(picture_height) / 2),
          pairs_per_row(size_t(width) / 4),
          pair_bytes(planar ? 4 : rgb ? 16 : 8) {}

    uint8_t* line(size_t plane, size_t row_from_top) const {
        return planes.top[plane] + ptrdiff_t(row_from_top) * planes.stride[plane];
    }
    uint8_t* upper(size_t row) const { return line(0, height - 2 - 2 * row); }
    uint8_t* lower(size_t row) const { return line(0, height - 1 - 2 * row); }
    uint8_t* chroma(size_t plane, size_t row) const { return line(plane, rows - 1 - row); }
};

// The row kernel of one output kind: the non-temporal one where the context
// streams its output.
struct row_shower {
    show_row_kernel show;
    show_i420_kernel show_i420;  // I420 output; null for YUY2 and RGB32

    row_shower(const kernel_table& k, bool rgb, bool planar, bool streaming)
        : show(streaming ? (rgb ? k.show_rgb32_stream : k.show_yuy2_stream) : (rgb ? k.show_rgb32 : k.show_yuy2)),
          show_i420(planar ? (streaming ? k.show_i420_stream : k.show_i420) : nullptr) {}

    // Shows `pairs` cell pairs of cell row `row` from cell pair `column` on.
    void operator()(const uint8_t* cells, size_t pairs, const row_placement& place, size_t row, size_t column) const {
        if (!place.shown) return;
        const size_t at = place.pair_bytes * column;
        if (show_i420) {
            show_i420(cells, pairs, place.upper(row) + at, place.lower(row) + at, place.chroma(1, row) + 2 * column,
                      place.chroma(2, row) + 2 * column);
        } else {
            show(cells, pairs, place.upper(row) + at, place.lower(row) + at);
        }
    }
};

// Shows cell pairs from number `first` (in stream order) to the end of the
// picture, as `cells` (a whole picture of cell pairs) holds them.
inline void show_pairs_from(const row_shower& show, const uint8_t* cells, size_t first, const row_placement& place) {
    const size_t total = place.rows * place.pairs_per_row;
    for (size_t pair = first; pair < total;) {
        const size_t row = pair / place.pairs_per_row;
        const size_t column = pair % place.pairs_per_row;
        const size_t count = place.pairs_per_row - column;
        show(cells + 12 * pair, count, place, row, column);
        pair += count;
    }
}

}  // namespace ruv
