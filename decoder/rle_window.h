// Windows of run-length code bytes, as the SIMD readers take them: 32 bytes
// starting at a code, read without a branch per code. Count bytes are the bytes
// that follow an odd-length stretch of bytes with the run bit (bit 6) set, found
// for the whole window with integer masks, as escaped characters are found;
// every other byte is a code, and each code's entry count is 1, or its run's
// count byte. A window reads one byte past itself: the count byte of a run at
// its end. Only the kernel files of the instruction sets include this file, each
// for its own copy (internal linkage).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ruv {
namespace {

constexpr size_t rle_window = 32;
// Entries of one code inside a window: a longer run ends the window's codes.
constexpr uint32_t rle_window_entries = 4;

// Positions of count bytes in a window whose byte 0 is a code: runs has bit i
// set where byte i has the run bit. A run code's count byte is not itself a code,
// so in a stretch of run-bit bytes the codes and count bytes alternate from its
// start, and a stretch ends the byte after its last code that is a run.
inline uint32_t count_bytes(uint32_t runs) {
    const uint32_t even = 0x55555555u;
    const uint32_t follows_run = runs << 1;
    const uint32_t odd_starts = runs & ~even & ~follows_run;
    // Adding a stretch's start bit to the stretch carries to the byte after its end.
    const uint32_t after_odd_start = (odd_starts + runs) << 1;
    return (even ^ after_odd_start) & follows_run;
}

}  // namespace
}  // namespace ruv
