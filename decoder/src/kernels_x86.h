// Kernels of one x86 level that a higher level calls for what it leaves over
// (the last cell pairs or blocks of a row).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace ruv {
namespace sse2 {
void show_yuy2(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);
void show_rgb32(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);
void show_yuy2_stream(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);
void show_rgb32_stream(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);
// By mode record bytes after each block's payload: 0, 1, 2.
extern const rebuild_row_kernel rebuild_rows[3];
}  // namespace sse2
}  // namespace ruv
