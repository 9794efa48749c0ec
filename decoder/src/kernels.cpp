// Choosing kernels: the processor's features, read once, and the table they fill.
#include "kernels.h"

#include <atomic>
#include <cstring>

#if RUV_X86_KERNELS
#include <cpuid.h>
#endif

namespace ruv {

namespace {

#if RUV_X86_KERNELS
// The register state the operating system saves on a context switch (XCR0).
uint64_t saved_register_state() {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return uint64_t(hi) << 32 | lo;
}

uint32_t detect() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    uint32_t mask = 0;
    if (d & bit_SSE2) mask |= kernels_sse2;
    // AVX2 needs the instructions and an operating system that saves the 256-bit
    // registers (XMM and YMM state in XCR0, which OSXSAVE says may be read).
    const bool os_saves_ymm = (c & bit_OSXSAVE) && (c & bit_AVX) && (saved_register_state() & 6) == 6;
    unsigned a7, b7, c7, d7;
    if (!os_saves_ymm || !__get_cpuid_count(7, 0, &a7, &b7, &c7, &d7) || !(b7 & bit_AVX2)) return mask;
    mask |= kernels_avx2;
    // AVX-512 needs the opmask and all 512-bit register state saved too (XCR0
    // bits 5-7), even where only its 256-bit forms are used; its kernels also
    // use BMI2 and POPCNT.
    const unsigned avx512_b = bit_AVX512F | bit_AVX512BW | bit_AVX512VL | bit_BMI2;
    const unsigned avx512_c = bit_AVX512VBMI | bit_AVX512VBMI2;
    if ((saved_register_state() & 0xE6) == 0xE6 && (b7 & avx512_b) == avx512_b && (c7 & avx512_c) == avx512_c &&
        (c & bit_POPCNT)) {
        mask |= kernels_avx512;
    }
    return mask;
}

size_t core_cache() {
    // Leaf 0x80000006 gives the second-level cache in KiB in ECX bits 16-31, on
    // both Intel and AMD processors.
    unsigned a, b, c, d;
    if (__get_cpuid(0x80000006, &a, &b, &c, &d) && (c >> 16) != 0) return size_t(c >> 16) << 10;
    return 0;
}
#else
uint32_t detect() { return 0; }
size_t core_cache() { return 0; }
#endif

// The levels in rising order, each with the mask that uses exactly it, and the
// kernels each one sets.
constexpr kernel_level levels_in_order[] = {
    {"scalar", 0},
#if RUV_X86_KERNELS
    {"sse2", kernels_sse2},
    {"avx2", kernels_sse2 | kernels_avx2},
    {"avx512", kernels_sse2 | kernels_avx2 | kernels_avx512},
#endif
};
constexpr void (*level_fills[])(kernel_table&) = {
    fill_kernels_c,
#if RUV_X86_KERNELS
    fill_kernels_sse2,
    fill_kernels_avx2,
    fill_kernels_avx512,
#endif
};
static_assert(sizeof levels_in_order / sizeof levels_in_order[0] == sizeof level_fills / sizeof level_fills[0],
              "one fill a level");

}  // namespace

// Found by the first call. No guarded static: threads that race here store the
// same value, and the codec DLL, which has no C++ runtime start-up, needs none.
uint32_t detected_kernel_mask() {
    constexpr uint32_t unknown = ~0u;   // detect() sets only the level bits
    static std::atomic<uint32_t> found{unknown};
    uint32_t mask = found.load(std::memory_order_relaxed);
    if (mask == unknown) {
        mask = detect();
        found.store(mask, std::memory_order_relaxed);
    }
    return mask;
}

size_t detected_core_cache_bytes() {
    static std::atomic<size_t> found{0};   // 0: not yet found
    size_t bytes = found.load(std::memory_order_relaxed);
    if (bytes == 0) {
        bytes = core_cache();
        if (bytes == 0) bytes = size_t(1) << 20;
        found.store(bytes, std::memory_order_relaxed);
    }
    return bytes;
}

void kernel_table::fill(uint32_t mask) {
    const kernel_level_list usable = kernel_levels(mask & detected_kernel_mask());
    for (size_t i = 0; i < usable.size(); ++i) level_fills[i](*this);
}

kernel_level_list kernel_levels(uint32_t available) {
    constexpr size_t all = sizeof levels_in_order / sizeof levels_in_order[0];
    size_t count = 1;
    while (count < all && (available & levels_in_order[count].mask) == levels_in_order[count].mask) ++count;
    return {levels_in_order, count};
}

bool kernel_mask_of(const char* name, uint32_t& mask) {
    for (const kernel_level& level : kernel_levels(kernels_all)) {
        if (std::strcmp(level.name, name) == 0) {
            mask = level.mask;
            return true;
        }
    }
    return false;
}

const char* kernel_level_name(uint32_t mask) {
    return kernel_levels(mask & detected_kernel_mask()).back().name;
}

}  // namespace ruv
