// Writing runs of cell pairs to the two output lines of a cell row, and where
// each cell row lands in the output buffer. Intra and delta decoding share both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cell_output_c.h"
#include "cell_output_sse2.h"

namespace ruv {

using pair_kernel = void (*)(const uint8_t* cell, uint8_t* upper, uint8_t* lower);

// Output geometry of one context: cell row k's two lines are upper(k) and lower(k).
// YUY2 fills the buffer from its last two rows upwards, RGB32 from its first two downwards.
struct row_placement {
    uint8_t* first_upper;
    ptrdiff_t step;        // from one cell row's lines to the next one's
    ptrdiff_t upper_to_lower;
    size_t pair_bytes;     // output bytes of one cell pair on one line

    row_placement(uint8_t* output, int32_t width, int32_t height, bool rgb) {
        const ptrdiff_t line = ptrdiff_t(width) * (rgb ? 4 : 2);
        pair_bytes = rgb ? 16 : 8;
        if (rgb) {
            first_upper = output + line;
            step = 2 * line;
            upper_to_lower = -line;
        } else {
            first_upper = output + (ptrdiff_t(height) - 2) * line;
            step = -2 * line;
            upper_to_lower = line;
        }
    }
    uint8_t* upper(size_t row) const { return first_upper + ptrdiff_t(row) * step; }
};

// The pair kernel for an output kind and kernel family.
template <bool rgb, bool simd>
constexpr pair_kernel pair_kernel_for() {
#if RUV_SSE2
    if (simd) return rgb ? rgb32_pair_sse2 : yuy2_pair_sse2;
#endif
    return rgb ? rgb32_pair_c : yuy2_pair_c;
}

// Writes `pairs` consecutive cell pairs, left to right, from the given place on the upper line.
template <bool rgb, bool simd>
inline void write_pairs(const uint8_t* cells, size_t pairs, uint8_t* upper, ptrdiff_t upper_to_lower,
                        size_t pair_bytes) {
    size_t i = 0;
#if RUV_SSE2
    if (simd && !rgb) {
        for (; i + 2 <= pairs; i += 2) {
            yuy2_two_pairs_sse2(cells + 12 * i, upper + pair_bytes * i, upper + upper_to_lower + pair_bytes * i);
        }
    }
#endif
    constexpr pair_kernel kernel = pair_kernel_for<rgb, simd>();
    for (; i < pairs; ++i) {
        kernel(cells + 12 * i, upper + pair_bytes * i, upper + upper_to_lower + pair_bytes * i);
    }
}

}  // namespace ruv
