// The SSE2 kernels, the baseline of every x86 build. This file alone is compiled
// with SSE2 enabled.
#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "cell_output_sse2.h"
#include "delta_walk.h"
#include "kernels.h"
#include "sample_block_sse2.h"

namespace ruv {

namespace sse2 {

// Two cell pairs at a time, then one left over.
template <bool stream>
void show_yuy2_as(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    size_t i = 0;
    for (; i + 2 <= pairs; i += 2) yuy2_two_pairs<stream>(cells + 12 * i, upper + 8 * i, lower + 8 * i);
    if (i < pairs) yuy2_pair(cells + 12 * i, upper + 8 * i, lower + 8 * i);
}

template <bool stream>
void show_rgb32_as(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    for (size_t i = 0; i < pairs; ++i) rgb32_pair<stream>(cells + 12 * i, upper + 16 * i, lower + 16 * i);
}

void show_yuy2(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    show_yuy2_as<false>(cells, pairs, upper, lower);
}
void show_rgb32(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    show_rgb32_as<false>(cells, pairs, upper, lower);
}
void show_yuy2_stream(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    show_yuy2_as<true>(cells, pairs, upper, lower);
}
void show_rgb32_stream(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    show_rgb32_as<true>(cells, pairs, upper, lower);
}

void end_stream() { _mm_sfence(); }

void copy_stream(uint8_t* to, const uint8_t* from, size_t bytes) {
    const size_t head = std::min(bytes, (16 - reinterpret_cast<uintptr_t>(to) % 16) % 16);
    std::memcpy(to, from, head);
    size_t i = head;
    for (; i + 16 <= bytes; i += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(to + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
    }
    std::memcpy(to + i, from + i, bytes - i);
}

struct rebuilder {
    delta_shifts shifts;
    rebuilder(int32_t s2, int32_t s4) : shifts(s2, s4) {}
    size_t operator()(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                      uint8_t* shown) const {
        return rebuild_sample_block(code, payload, predictor, ref, shown, shifts);
    }
};

size_t rebuild_block(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                     uint8_t* shown, int32_t shift2, int32_t shift4) {
    return rebuild_sample_block(code, payload, predictor, ref, shown, delta_shifts(shift2, shift4));
}

}  // namespace sse2

void fill_kernels_sse2(kernel_table& table) {
    table.show_yuy2 = sse2::show_yuy2;
    table.show_rgb32 = sse2::show_rgb32;
    table.show_yuy2_stream = sse2::show_yuy2_stream;
    table.show_rgb32_stream = sse2::show_rgb32_stream;
    table.end_stream = sse2::end_stream;
    table.copy_stream = sse2::copy_stream;
    table.rebuild_row[0] = rebuild_row_with<0, sse2::rebuilder>;
    table.rebuild_row[1] = rebuild_row_with<1, sse2::rebuilder>;
    table.rebuild_row[2] = rebuild_row_with<2, sse2::rebuilder>;
    table.rebuild_block = sse2::rebuild_block;
}

}  // namespace ruv
