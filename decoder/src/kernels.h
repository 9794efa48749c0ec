// The kernels a context decodes with: one table per context, filled once at setup
// with the scalar kernels and then overridden, level by level, by those of each
// instruction set that the processor and the operating system support and the
// context's mask allows. Each instruction set's kernels live in their own source
// file (kernels_<set>.cpp), the only one compiled with that set's flags.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ruv {

// Kernel levels, as bits of a mask; a level is used only with every level below it.
constexpr uint32_t kernels_sse2 = 1u << 0;
constexpr uint32_t kernels_avx2 = 1u << 1;
// AVX-512 with byte and word operations, 128/256-bit forms, byte permutes and
// byte compress/expand (F, BW, VL, VBMI, VBMI2), used on 256-bit registers only.
constexpr uint32_t kernels_avx512 = 1u << 2;
constexpr uint32_t kernels_all = ~0u;

// The levels that this processor and operating system run, found once.
uint32_t detected_kernel_mask();
// Bytes of the second-level cache of one core (an estimate where the processor
// does not say), found once.
size_t detected_core_cache_bytes();

struct kernel_level {
    const char* name;   // "scalar", "sse2", "avx2", "avx512"
    uint32_t mask;      // the mask that makes a context use exactly this level
};
// Levels in rising order, from the library's one static table: nothing is
// allocated, so that the codec DLL needs no C++ runtime for them.
struct kernel_level_list {
    const kernel_level* first;
    size_t count;   // at least 1: the scalar level
    const kernel_level* begin() const { return first; }
    const kernel_level* end() const { return first + count; }
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const kernel_level& operator[](size_t i) const { return first[i]; }
    const kernel_level& back() const { return first[count - 1]; }
};
// The scalar level, then each level in `available` in rising order.
kernel_level_list kernel_levels(uint32_t available);
// The mask of a level by name; false for a name this build does not know.
bool kernel_mask_of(const char* name, uint32_t& mask);
// The name of the highest level that a mask allows on this machine.
const char* kernel_level_name(uint32_t mask);

// What a delta frame carries from block to block.
struct delta_cursor {
    const uint8_t* payload;       // next payload byte
    const uint8_t* payload_end;
    int32_t shift2, shift4;       // left shifts of 2-bit and scaled 4-bit deltas
    uint8_t left_y[4];            // four copies of the upper-left luma of the last luma block
    uint8_t left_uv[4];           // the last chroma block
    bool row_kept;                // the row rebuilt last kept every block: its shown cell pairs are the reference's
};

// Shows `pairs` cell pairs (12 bytes each) on the two output lines of a cell row.
using show_row_kernel = void (*)(const uint8_t* cells, size_t pairs, uint8_t* upper, uint8_t* lower);

// Shows `pairs` cell pairs as I420: 4 bytes of luma a pair on each of the two
// luma lines, and the pair's two U and two V samples on its chroma lines.
using show_i420_kernel = void (*)(const uint8_t* cells, size_t pairs, uint8_t* y_upper, uint8_t* y_lower, uint8_t* u,
                                  uint8_t* v);

// Rebuilds up to `blocks` 8x2 blocks of a cell row under their mode words (4 table
// bytes each): the reference cell pairs in place, the shown ones to `shown`
// (unless the row keeps every block, which sets row_kept). Stops before the first
// block whose payload and mode record would pass payload_end and returns the
// number of blocks rebuilt.
using rebuild_row_kernel = size_t (*)(const uint8_t* table, size_t blocks, uint8_t* ref, uint8_t* shown,
                                      delta_cursor& cursor);

// Rebuilds one sample block by one code; returns the payload bytes consumed.
// It may read four payload bytes, whatever the code.
using rebuild_block_kernel = size_t (*)(uint32_t code, const uint8_t* payload, const uint8_t* predictor,
                                        uint8_t* ref, uint8_t* shown, int32_t shift2, int32_t shift4);

// Expands run-length code bytes (codes up to codes_end) into the mode table at
// the cursors opt_y and opt_uv, as the scalar reader would, in whole windows of
// code bytes: it stops before a window whose entries could reach table_end, before
// a long run that could, and where fewer than a window's bytes are left. Returns
// the first code byte it did not take, always the start of a code.
using rle_codes_kernel = const uint8_t* (*)(const uint8_t* codes, const uint8_t* codes_end, uint8_t*& opt_y,
                                            uint8_t*& opt_uv, const uint8_t* table_end);

// The records of coding modes 1 and 2 are found from the end of their area, each
// from the one after it. For each end position i in [from, to) (bytes from the
// area's start), steps[i - from] is the length of the record that would end
// there: its mode record (`mode` bytes, at i - mode; from is at least that) and
// the payload its codes call for.
using record_steps_kernel = void (*)(const uint8_t* records, size_t from, size_t to, uint8_t* steps);

struct kernel_table {
    show_row_kernel show_yuy2 = nullptr;
    show_row_kernel show_rgb32 = nullptr;
    // The same with non-temporal stores, for outputs larger than the processor's
    // own cache: their lines are then written without being read first. Lines
    // may start anywhere; where a level cannot stream them from there, it
    // stores them plainly. end_stream, after the last row, orders those stores
    // before any later ones.
    show_row_kernel show_yuy2_stream = nullptr;
    show_row_kernel show_rgb32_stream = nullptr;
    show_i420_kernel show_i420 = nullptr;
    show_i420_kernel show_i420_stream = nullptr;
    void (*end_stream)() = nullptr;
    // Copies bytes with non-temporal stores where it can: intra frames kept as the
    // reference frame of an output that is streamed.
    void (*copy_stream)(uint8_t* to, const uint8_t* from, size_t bytes) = nullptr;
    rebuild_row_kernel rebuild_row[3] = {};   // by mode record bytes after each block's payload: 0, 1, 2
    rebuild_block_kernel rebuild_block = nullptr;
    rle_codes_kernel rle_codes = nullptr;     // none at the scalar level: the scalar reader takes every code
    // By coding mode 1 and 2; none below AVX2: the walk looks up each record's length as it reaches it.
    record_steps_kernel record_steps[2] = {};

    // The scalar kernels, overridden by each level in `mask` that this machine runs.
    void fill(uint32_t mask);
};

// Each level's own kernels; fill_kernels_c sets every entry.
void fill_kernels_c(kernel_table& table);
void fill_kernels_sse2(kernel_table& table);
void fill_kernels_avx2(kernel_table& table);
void fill_kernels_avx512(kernel_table& table);

}  // namespace ruv
