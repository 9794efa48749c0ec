// What the output-row kernels of the AVX2 and AVX-512 files share: how they read
// ahead and how they store 32 bytes. Each file includes this header into its own
// build, so each has its own copy.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kernels.h"

namespace ruv {
namespace avx2 {
namespace {

// A kernel reads this far ahead of the cell pairs it shows, so that a frame's
// cell pairs arrive before they are needed.
inline void read_ahead(const uint8_t* cells) {
    _mm_prefetch(reinterpret_cast<const char*>(cells) + 1024, _MM_HINT_T0);
}

// How a kernel stores 32 bytes: plainly, or non-temporally, whole where both
// lines start on 32-byte boundaries (as a host's page-aligned buffers do), else
// in two 16-byte halves (streamed lines are only known to start on 16-byte
// boundaries). Kernels store 64 bytes of one line, then of the other: a streamed
// cache line is then written whole before the next is begun, which lets each
// write-combining buffer go out at once.
enum class stores { plain, streamed_halves, streamed };

template <stores kind>
inline void store32(uint8_t* p, __m256i v) {
    if (kind == stores::streamed) {
        _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v);
    } else if (kind == stores::streamed_halves) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v));
        _mm_stream_si128(reinterpret_cast<__m128i*>(p + 16), _mm256_extracti128_si256(v, 1));
    } else {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
}

// Plain stores fetch each output line before they write it: a kernel that
// stores plainly asks for its lines this far ahead, so that those fetches
// overlap instead of each holding back a store.
template <stores kind>
inline void fetch_lines_ahead(const uint8_t* upper, const uint8_t* lower) {
    if (kind != stores::plain) return;
    _mm_prefetch(reinterpret_cast<const char*>(upper) + 256, _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(lower) + 256, _MM_HINT_T0);
}

// Whether both lines of a streamed row allow whole 32-byte stores.
inline bool on_32_byte_lines(const uint8_t* upper, const uint8_t* lower) {
    return ((reinterpret_cast<uintptr_t>(upper) | reinterpret_cast<uintptr_t>(lower)) & 31) == 0;
}

// A streamed row kernel: whole 32-byte stores where both lines allow them, else halves.
template <show_row_kernel whole, show_row_kernel halves>
void streamed(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower) {
    (on_32_byte_lines(upper, lower) ? whole : halves)(cells, pairs, upper, lower);
}

}  // namespace
}  // namespace avx2
}  // namespace ruv
