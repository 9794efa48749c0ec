// Kernels of one x86 level that a higher level calls for what it leaves over
// (the last cell pairs of a row).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ruv {
namespace sse2 {
void show_yuy2(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);
void show_rgb32(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);
void show_yuy2_stream(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);
void show_rgb32_stream(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);
}  // namespace sse2
}  // namespace ruv
