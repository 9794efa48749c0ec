// The scalar kernels: the reference that every other level matches bit for bit,
// and what processors without a SIMD level run.
#include <cstring>

#include "cell_output_c.h"
#include "delta_walk.h"
#include "kernels.h"
#include "sample_block.h"

namespace ruv {

namespace c {

template <void (*pair)(const uint8_t*, uint8_t*, uint8_t*), size_t pair_bytes>
void show_row(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    for (size_t i = 0; i < pairs; ++i) pair(cells + 12 * i, upper + pair_bytes * i, lower + pair_bytes * i);
}

void show_i420(const uint8_t* cells, size_t pairs, uint8_t* y_upper, uint8_t* y_lower, uint8_t* u, uint8_t* v) {
    for (size_t i = 0; i < pairs; ++i) i420_pair_c(cells + 12 * i, y_upper + 4 * i, y_lower + 4 * i, u + 2 * i, v + 2 * i);
}

void end_stream() {}

void copy(uint8_t* to, const uint8_t* from, size_t bytes) { std::memcpy(to, from, bytes); }

struct rebuilder {
    static constexpr size_t over_read = 0;
    int32_t shift2, shift4;
    rebuilder(int32_t s2, int32_t s4) : shift2(s2), shift4(s4) {}
    size_t operator()(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                      uint8_t* shown) const {
        return rebuild_sample_block_c(code, payload, predictor, ref, shown, shift2, shift4);
    }
    size_t exact(uint32_t code, const uint8_t* payload, const uint8_t* predictor, uint8_t* ref,
                 uint8_t* shown) const {
        return rebuild_sample_block_c(code, payload, predictor, ref, shown, shift2, shift4);
    }
};

}  // namespace c

void fill_kernels_c(kernel_table& table) {
    table.show_yuy2 = c::show_row<yuy2_pair_c, 8>;
    table.show_rgb32 = c::show_row<rgb32_pair_c, 16>;
    table.show_yuy2_stream = table.show_yuy2;
    table.show_rgb32_stream = table.show_rgb32;
    table.show_i420 = c::show_i420;
    table.show_i420_stream = c::show_i420;
    table.end_stream = c::end_stream;
    table.copy_stream = c::copy;
    table.rebuild_row[0] = rebuild_row_with<0, c::rebuilder>;
    table.rebuild_row[1] = rebuild_row_with<1, c::rebuilder>;
    table.rebuild_row[2] = rebuild_row_with<2, c::rebuilder>;
    table.rebuild_block = rebuild_sample_block_c;
}

}  // namespace ruv
