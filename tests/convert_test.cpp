// Cell-pair output kernels: the fixed-point RGB32 conversion, YUY2 packing, and
// each SIMD level against the scalar kernels, alone and inside whole frames.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "cell_output_c.h"
#include "decoder.h"
#include "frame_builders.h"

namespace ruv {
namespace {

using frames::bytes;

// The RGB32 row kernel of every level on this machine, scalar first.
std::vector<std::pair<const char*, show_row_kernel>> rgb_kernels() {
    std::vector<std::pair<const char*, show_row_kernel>> k;
    for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
        kernel_table table;
        table.fill(level.mask);
        k.push_back({level.name, table.show_rgb32});
    }
    return k;
}

struct pixel_case {
    int y, u, v;
    uint8_t blue, green, red;
};

TEST(Rgb32Conversion, KnownPixels) {
    const pixel_case cases[] = {
        {0, 128, 128, 0, 0, 0},       {255, 128, 128, 255, 255, 255}, {16, 128, 128, 16, 16, 16},
        {128, 0, 0, 0, 255, 0},       {128, 255, 255, 255, 0, 255},   {128, 0, 255, 0, 81, 255},
        {128, 255, 0, 255, 175, 0},   {100, 200, 50, 227, 130, 0},
        // Rounding is a floor: u = -1 takes 2 from blue, u = +1 adds 1; the same for v and red.
        {128, 127, 128, 126, 128, 128}, {128, 129, 128, 129, 127, 128},
        {128, 128, 127, 128, 128, 126}, {128, 128, 129, 128, 127, 129},
    };
    for (const auto& [name, convert] : rgb_kernels()) {
        for (const auto& c : cases) {
            // Both cells and all eight luma slots carry the case.
            const uint8_t y = uint8_t(c.y), u = uint8_t(c.u), v = uint8_t(c.v);
            const uint8_t cell[12] = {y, y, y, y, y, y, y, y, u, v, u, v};
            uint8_t upper[16], lower[16];
            convert(cell, 1, upper, lower);
            for (int p = 0; p < 4; ++p) {
                for (const uint8_t* line : {upper, lower}) {
                    EXPECT_EQ(bytes(line + 4 * p, line + 4 * p + 4), bytes({c.blue, c.green, c.red, y}))
                        << name << " Y " << c.y << " U " << c.u << " V " << c.v;
                }
            }
        }
    }
}

TEST(Rgb32Conversion, EachCellUsesItsOwnChroma) {
    const uint8_t cell[12] = {10, 20, 30, 40, 50, 60, 70, 80, 0, 255, 255, 0};
    bytes upper_expected(16), lower_expected(16);
    frames::rgb_pixel(10, 0, 255, &upper_expected[0]);
    frames::rgb_pixel(20, 0, 255, &upper_expected[4]);
    frames::rgb_pixel(50, 255, 0, &upper_expected[8]);
    frames::rgb_pixel(60, 255, 0, &upper_expected[12]);
    frames::rgb_pixel(30, 0, 255, &lower_expected[0]);
    frames::rgb_pixel(40, 0, 255, &lower_expected[4]);
    frames::rgb_pixel(70, 255, 0, &lower_expected[8]);
    frames::rgb_pixel(80, 255, 0, &lower_expected[12]);
    for (const auto& [name, convert] : rgb_kernels()) {
        uint8_t upper[16], lower[16];
        convert(cell, 1, upper, lower);
        EXPECT_EQ(bytes(upper, upper + 16), upper_expected) << name;
        EXPECT_EQ(bytes(lower, lower + 16), lower_expected) << name;
    }
}

// Every (Y, U, V) triple: the scalar kernel against the floor formula, and each
// SIMD level against the scalar kernel, on rows of 32 cell pairs. Cell A carries
// (U, V) with luma 0-127 and cell B (V, U) with luma 128-255: over all (U, V),
// cell A meets every triple with Y below 128 and cell B every triple with Y of
// 128 or more.
TEST(Rgb32Conversion, AllTriples) {
    const auto kernels = rgb_kernels();
    size_t formula_mismatches = 0, simd_mismatches = 0;
    int first_bad_y = -1, first_bad_u = -1, first_bad_v = -1;
    int first_simd_u = -1, first_simd_v = -1;
    const char* first_simd_level = "";
    uint8_t cells[32 * 12], upper[32 * 16], lower[32 * 16], upper_simd[32 * 16], lower_simd[32 * 16];
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            const frames::chroma_offsets a = frames::offsets_of(u, v);
            const frames::chroma_offsets b = frames::offsets_of(v, u);
            for (int q = 0; q < 32; ++q) {
                uint8_t* cell = cells + 12 * q;
                for (int i = 0; i < 4; ++i) {
                    // Luma in a scrambled order within the cell, so lanes are not all alike.
                    cell[i] = uint8_t(4 * q + (i ^ (q & 3)));
                    cell[4 + i] = uint8_t(128 + 4 * q + (i ^ ((q >> 2) & 3)));
                }
                cell[8] = uint8_t(u), cell[9] = uint8_t(v), cell[10] = uint8_t(v), cell[11] = uint8_t(u);
            }
            kernels[0].second(cells, 32, upper, lower);
            for (int q = 0; q < 32; ++q) {
                const uint8_t* cell = cells + 12 * q;
                const uint8_t* up = upper + 16 * q;
                const uint8_t* lo = lower + 16 * q;
                const uint8_t* px[8] = {up, up + 4, lo, lo + 4, up + 8, up + 12, lo + 8, lo + 12};
                for (int i = 0; i < 8; ++i) {
                    const int y = cell[i];
                    const frames::chroma_offsets& o = i < 4 ? a : b;
                    const uint8_t* p = px[i];
                    if (p[0] != frames::clamp255(y + o.db) || p[1] != frames::clamp255(y + o.dg) ||
                        p[2] != frames::clamp255(y + o.dr) || p[3] != y) {
                        if (formula_mismatches++ == 0) {
                            first_bad_y = y, first_bad_u = i < 4 ? u : v, first_bad_v = i < 4 ? v : u;
                        }
                    }
                }
            }
            for (size_t k = 1; k < kernels.size(); ++k) {
                kernels[k].second(cells, 32, upper_simd, lower_simd);
                if (std::memcmp(upper, upper_simd, sizeof upper) != 0 || std::memcmp(lower, lower_simd, sizeof lower) != 0) {
                    if (simd_mismatches++ == 0) first_simd_u = u, first_simd_v = v, first_simd_level = kernels[k].first;
                }
            }
        }
    }
    EXPECT_EQ(formula_mismatches, 0u) << "first at Y " << first_bad_y << " U " << first_bad_u << " V " << first_bad_v;
    EXPECT_EQ(simd_mismatches, 0u) << "first at U " << first_simd_u << " V " << first_simd_v << " " << first_simd_level;
}

TEST(Yuy2Packing, Layout) {
    const uint8_t cell[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t upper[8], lower[8];
    yuy2_pair_c(cell, upper, lower);
    EXPECT_EQ(bytes(upper, upper + 8), bytes({1, 9, 2, 10, 5, 11, 6, 12}));
    EXPECT_EQ(bytes(lower, lower + 8), bytes({3, 9, 4, 10, 7, 11, 8, 12}));
}

// Whole intra frames of random data through every kernel level, into buffers
// at every offset from a 16-byte boundary. Coding mode 0 allows rows with an odd
// number of cell pairs, which the two-pair YUY2 kernel must finish one by one.
TEST(WholeFrames, SimdMatchesScalar) {
    std::mt19937 rng(2);
    const int sizes[][3] = {{8, 2, 3}, {24, 6, 3}, {64, 16, 3}, {320, 2, 3}, {4, 2, 0}, {12, 4, 0}, {44, 6, 0}};
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        const uint32_t mode = uint32_t(size[2]);
        for (uint32_t compression : {compression_yuy2, compression_rgb32}) {
            for (size_t offset : {0, 1, 3, 4, 8, 12, 15}) {
                const bytes frame = frames::intra_frame(frames::random_bytes(rng, size_t(w * h * 3 / 2)));
                DecoderContext scalar, simd;
                scalar.m_kernel_mask = 0;
                simd.m_kernel_mask = frames::simd_level_in_turn(offset);
                ASSERT_TRUE(scalar.setup(w, h, mode, compression));
                ASSERT_TRUE(simd.setup(w, h, mode, compression));
                // Every other case streams its output, as a large frame would.
                simd.m_stream_output = offset % 2 == 0;
                frames::output_buffer a(scalar.output_size(), offset), b(simd.output_size(), offset);
                EXPECT_EQ(frames::decode_intra(scalar, a, frame), frame_fault::none);
                EXPECT_EQ(frames::decode_intra(simd, b, frame), frame_fault::none);
                EXPECT_EQ(a.contents(), b.contents()) << w << "x" << h << " offset " << offset;
                EXPECT_EQ(a.contents(), frames::render(frame.data() + 4, w, h, compression == compression_rgb32));
            }
        }
    }
}

}  // namespace
}  // namespace ruv
