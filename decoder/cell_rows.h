// Where each cell row lands in the output buffer, and showing the cell pairs of
// a picture from one of them on. Intra and delta decoding share both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace ruv {

// Output geometry of one context. YUY2 rows run top-down, so cell row k (counted
// from the bottom of the picture) has its upper line at row height-2-2k; RGB32
// rows run bottom-up, so its upper line is row 2k+1. Offsets are unsigned, as a
// buffer of up to 4 GiB may be addressed from a 32-bit process.
struct row_placement {
    uint8_t* output;
    size_t line;           // bytes of one output row
    size_t height;
    size_t rows;           // cell rows
    size_t pairs_per_row;  // cell pairs in a cell row
    size_t pair_bytes;     // output bytes of one cell pair on one line
    bool rgb;

    row_placement(uint8_t* out, int32_t width, int32_t picture_height, bool rgb_output)
        : output(out),
          line(size_t(width) * (rgb_output ? 4 : 2)),
          height(size_t(picture_height)),
          rows(size_t(picture_height) / 2),
          pairs_per_row(size_t(width) / 4),
          pair_bytes(rgb_output ? 16 : 8),
          rgb(rgb_output) {}

    uint8_t* upper(size_t row) const { return output + (rgb ? 2 * row + 1 : height - 2 - 2 * row) * line; }
    uint8_t* lower(size_t row) const { return output + (rgb ? 2 * row : height - 1 - 2 * row) * line; }
};

// The row kernel of one output kind: the non-temporal one where the context
// streams its output.
struct row_shower {
    show_row_kernel show;

    row_shower(const kernel_table& k, bool rgb, bool streaming)
        : show(streaming ? (rgb ? k.show_rgb32_stream : k.show_yuy2_stream) : (rgb ? k.show_rgb32 : k.show_yuy2)) {}

    void operator()(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) const {
        show(cells, pairs, upper, lower);
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
        show(cells + 12 * pair, count, place.upper(row) + place.pair_bytes * column,
             place.lower(row) + place.pair_bytes * column);
        pair += count;
    }
}

}  // namespace ruv
