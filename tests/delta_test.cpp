// Delta frames: the eight codes, predictors, record skips, a known whole frame,
// malformed frames, and the SSE2 kernels against the scalar ones.
#include <gtest/gtest.h>

#include <random>

#include "decoder.h"
#include "frame_builders.h"

namespace ruv {
namespace {

using frames::coded_block;
using frames::bytes;
using frames::output_buffer;
using namespace frames;   // code names

const uint32_t both_outputs[] = {compression_yuy2, compression_rgb32};

// Sets the context up and makes `cells` its reference frame through an intra frame.
void start_with(DecoderContext& ctx, int32_t w, int32_t h, uint32_t mode, uint32_t compression, const bytes& cells) {
    ASSERT_TRUE(ctx.setup(w, h, mode, compression));
    output_buffer out(ctx.output_size());
    ASSERT_EQ(frames::decode_intra(ctx, out, frames::intra_frame(cells)), frame_fault::none);
}

coded_block block(std::initializer_list<uint8_t> codes, bytes payload = {}) {
    coded_block b;
    std::copy(codes.begin(), codes.end(), b.code);
    b.payload = std::move(payload);
    return b;
}

bool is_rgb(uint32_t compression) { return compression == compression_rgb32; }

// ---- A known frame: one block, six different codes, both outputs -------------------

TEST(Delta, KnownOneBlockFrame) {
    const bytes before = {0x0A, 0x14, 0x1E, 0x28, 0x32, 0x3C, 0x46, 0x50, 0x80, 0x80, 0x80, 0x80,
                          0x64, 0x64, 0x64, 0x64, 0xC8, 0xC8, 0xC8, 0xC8, 0x90, 0x70, 0xA0, 0x60};
    const bytes frame = {0x0C, 0x00, 0x00, 0x00, 0x21, 0xF3, 0x11, 0x22, 0x33, 0x44,
                         0x1B, 0xE4, 0x07, 0x00, 0x00, 0x00, 0x1C, 0x0E, 0x82};
    const bytes after = {0x12, 0x2C, 0x2E, 0x20, 0x12, 0x12, 0x12, 0x12, 0x80, 0x80, 0x80, 0x80,
                         0x11, 0x22, 0x33, 0x44, 0x0D, 0x09, 0x15, 0x11, 0x90, 0x74, 0x98, 0x5C};
    const bytes yuy2 = {0x12, 0x80, 0x2C, 0x80, 0x12, 0x80, 0x12, 0x80, 0x11, 0x90, 0x22, 0x74, 0x0D, 0x98, 0x09, 0x5C,
                        0x2E, 0x80, 0x20, 0x80, 0x12, 0x80, 0x12, 0x80, 0x33, 0x90, 0x44, 0x74, 0x15, 0x98, 0x11, 0x5C};
    const bytes rgb = {0x2E, 0x2E, 0x2E, 0x2E, 0x20, 0x20, 0x20, 0x20, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12,
                       0x4F, 0x35, 0x22, 0x33, 0x60, 0x46, 0x33, 0x44, 0x3F, 0x25, 0x00, 0x15, 0x3B, 0x21, 0x00, 0x11,
                       0x12, 0x12, 0x12, 0x12, 0x2C, 0x2C, 0x2C, 0x2C, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12,
                       0x2D, 0x13, 0x00, 0x11, 0x3E, 0x24, 0x11, 0x22, 0x37, 0x1D, 0x00, 0x0D, 0x33, 0x19, 0x00, 0x09};
    for (uint32_t mode : {3u, 4u}) {
        for (uint32_t compression : both_outputs) {
            for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
                DecoderContext ctx;
                ctx.m_kernel_mask = level.mask;
                start_with(ctx, 8, 2, mode, compression, before);
                output_buffer out(ctx.output_size());
                EXPECT_EQ(frames::decode_delta(ctx, out, frame), frame_fault::none);
                EXPECT_EQ(frames::table_of(ctx), bytes({0x1C, 0x00, 0x0E, 0x02}));
                EXPECT_EQ(frames::reference_of(ctx), after) << "mode " << mode << " kernels " << level.name;
                EXPECT_EQ(out.contents(), is_rgb(compression) ? rgb : yuy2) << "mode " << mode << " kernels " << level.name;
            }
        }
    }
}

// ---- Single sample blocks ------------------------------------------------------------

struct block_case {
    const char* name;
    uint32_t mode;
    bytes before;                 // the 24 reference bytes of an 8x2 picture
    std::vector<coded_block> blocks;
    bytes stored;                 // the reference afterwards
    bytes shown = {};             // the samples shown, where they differ from stored
};

bytes cells_with(std::initializer_list<std::pair<size_t, bytes>> parts, uint8_t fill = 0x50) {
    bytes c(24, fill);
    for (const auto& [at, values] : parts) std::copy(values.begin(), values.end(), c.begin() + long(at));
    return c;
}

void check_case(const block_case& c) {
    const int w = int(8 * c.blocks.size());
    for (uint32_t compression : both_outputs) {
        for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
            DecoderContext ctx;
            ctx.m_kernel_mask = level.mask;
            start_with(ctx, w, 2, c.mode, compression, c.before);
            output_buffer out(ctx.output_size());
            EXPECT_EQ(frames::decode_delta(ctx, out, frames::delta_frame(c.blocks, int(c.mode))), frame_fault::none)
                << c.name;
            EXPECT_EQ(frames::reference_of(ctx), c.stored) << c.name << " kernels " << level.name;
            EXPECT_EQ(out.contents(), frames::render(c.shown.empty() ? c.stored : c.shown, w, 2, is_rgb(compression)))
                << c.name << " kernels " << level.name << " rgb " << is_rgb(compression);
        }
    }
}

TEST(Delta, SampleBlockCodes) {
    const bytes base = cells_with({{0, {250, 3, 10, 128}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}});
    const block_case cases[] = {
        {"LEFT first luma block is black", 3, base, {block({LEFT})}, cells_with({{0, {0, 0, 0, 0}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}})},
        {"LEFT first chroma block is zero", 3, base, {block({KEEP, KEEP, LEFT})},
         cells_with({{0, {250, 3, 10, 128}}, {4, {100, 100, 100, 100}}, {8, {0, 0, 0, 0}}})},
        {"LEFT_DELTA2 below zero wraps", 3, base, {block({LEFT_DELTA2}, {0xFF})},
         cells_with({{0, {252, 252, 252, 252}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}}),
         cells_with({{0, {0, 0, 0, 0}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}})},
        {"DELTA2 coding mode 2", 2, base, {block({KEEP, DELTA2}, {0xE4})},
         cells_with({{0, {250, 3, 10, 128}}, {4, {100, 102, 96, 98}}, {8, {1, 2, 3, 4}}})},
        {"DELTA2 coding mode 3", 3, base, {block({KEEP, DELTA2}, {0xE4})},
         cells_with({{0, {250, 3, 10, 128}}, {4, {100, 104, 92, 96}}, {8, {1, 2, 3, 4}}})},
        {"DELTA4 coding mode 3", 3, base, {block({DELTA4}, {0x87, 0x1F})},
         cells_with({{0, {50, 251, 202, 136}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}}),
         cells_with({{0, {255, 0, 0, 136}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}})},
        {"DELTA4 coding mode 2", 2, base, {block({KEEP, DELTA4}, {0x87, 0x1F})},
         cells_with({{0, {250, 3, 10, 128}}, {4, {128, 96, 68, 104}}, {8, {1, 2, 3, 4}}})},
        {"DELTA4_FINE", 4, base, {block({DELTA4_FINE}, {0x87, 0x1F})},
         cells_with({{0, {1, 2, 2, 129}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}}),
         cells_with({{0, {255, 2, 2, 129}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}})},
        {"LEFT after LITERAL", 3, base, {block({LITERAL, LEFT}, {10, 20, 30, 40})},
         cells_with({{0, {10, 20, 30, 40}}, {4, {10, 10, 10, 10}}, {8, {1, 2, 3, 4}}})},
        {"LEFT_DELTA4 coding mode 3", 3, base, {block({LITERAL, LEFT_DELTA4}, {10, 20, 30, 40, 0x21, 0xF0})},
         cells_with({{0, {10, 20, 30, 40}}, {4, {18, 10, 26, 2}}, {8, {1, 2, 3, 4}}})},
        {"LEFT on chroma copies the chroma block before", 3, base,
         {block({KEEP, KEEP, LITERAL, KEEP, KEEP, LEFT}, {9, 8, 7, 6})},
         cells_with({{0, {250, 3, 10, 128}}, {4, {100, 100, 100, 100}}, {8, {9, 8, 7, 6}}, {20, {9, 8, 7, 6}}})},
        {"LITERAL payload follows a DELTA2 byte", 3, base, {block({DELTA2, LITERAL}, {0x00, 11, 12, 13, 14})},
         cells_with({{0, {250, 3, 10, 128}}, {4, {11, 12, 13, 14}}, {8, {1, 2, 3, 4}}})},
        {"LITERAL coding mode 1", 1, base, {block({KEEP, KEEP, KEEP, LITERAL, KEEP, LITERAL}, {1, 2, 3, 4, 5, 6, 7, 8})},
         cells_with({{0, {250, 3, 10, 128}}, {4, {100, 100, 100, 100}}, {8, {1, 2, 3, 4}}, {12, {1, 2, 3, 4}},
                     {20, {5, 6, 7, 8}}})},
        {"sums wrap in the reference and clamp in the output", 3,
         cells_with({{0, {253, 5, 100, 100}}}), {block({DELTA4_FINE, LEFT}, {0x07, 0x08})},
         cells_with({{0, {4, 253, 100, 100}}, {4, {4, 4, 4, 4}}}),
         cells_with({{0, {255, 0, 100, 100}}, {4, {4, 4, 4, 4}}})},
    };
    for (const auto& c : cases) check_case(c);
}

// In two blocks, the luma of block 1's cell 0 under LEFT copies the upper-left
// sample of block 0's cell 3, which KEEP left as it was.
TEST(Delta, LeftPredictorFollowsKeptBlocks) {
    const bytes before = cells_with({{16, {61, 62, 63, 64}}}, 0x30);
    bytes before2 = before;
    before2.insert(before2.end(), 24, 0x40);
    bytes after = before2;
    std::fill(after.begin() + 24, after.begin() + 28, 61);
    check_case({"walk", 3, before2, {block({}), block({LEFT})}, after, {}});

    // The chroma predictor after a kept block is its second chroma block, not its first.
    bytes chroma_before = cells_with({{8, {1, 2, 3, 4}}, {20, {5, 6, 7, 8}}}, 0x30);
    chroma_before.insert(chroma_before.end(), 24, 0x40);
    bytes chroma_after = chroma_before;
    std::copy_n(bytes({5, 6, 7, 8}).begin(), 4, chroma_after.begin() + 24 + 8);
    check_case({"walk", 3, chroma_before, {block({}), block({KEEP, KEEP, LEFT})}, chroma_after, {}});
}

// The predictors are not reset at a cell row: the first cells of row 1 see the
// last cell and chroma block of row 0.
TEST(Delta, PredictorsCrossCellRows) {
    std::mt19937 rng(21);
    const int w = 16, h = 4;   // two blocks a cell row
    const bytes before = frames::random_bytes(rng, w * h * 3 / 2);
    const std::vector<coded_block> blocks = {
        block({}),
        block({KEEP, KEEP, KEEP, KEEP, LITERAL, LITERAL}, {77, 1, 2, 3, 5, 6, 7, 8}),
        block({LEFT, KEEP, LEFT}),
        block({}),
    };
    bytes after = before;
    std::copy_n(bytes({77, 1, 2, 3}).begin(), 4, after.begin() + 24 + 16);
    std::copy_n(bytes({5, 6, 7, 8}).begin(), 4, after.begin() + 24 + 20);
    std::fill(after.begin() + 48, after.begin() + 52, 77);
    std::copy_n(bytes({5, 6, 7, 8}).begin(), 4, after.begin() + 48 + 8);
    for (uint32_t mode : {3u, 4u}) {
        for (uint32_t compression : both_outputs) {
            for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
                DecoderContext ctx;
                ctx.m_kernel_mask = level.mask;
                start_with(ctx, w, h, mode, compression, before);
                output_buffer out(ctx.output_size());
                EXPECT_EQ(frames::decode_delta(ctx, out, frames::rle_frame(blocks)), frame_fault::none);
                EXPECT_EQ(frames::reference_of(ctx), after);
                EXPECT_EQ(out.contents(), frames::render(after, w, h, is_rgb(compression)));
            }
        }
    }
}

// A sample shown clamped is kept wrapped: the next frame shows the wrapped value.
TEST(Delta, WrappedSamplesCarryIntoTheNextFrame) {
    const bytes before = cells_with({{0, {253, 5, 100, 100}}, {12, {250, 3, 10, 128}}});
    for (uint32_t compression : both_outputs) {
        for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
            DecoderContext ctx;
            ctx.m_kernel_mask = level.mask;
            start_with(ctx, 8, 2, 3, compression, before);
            output_buffer first(ctx.output_size());
            EXPECT_EQ(frames::decode_delta(ctx, first, frames::rle_frame({block({DELTA4_FINE, KEEP, KEEP, DELTA4}, {0x07, 0x08, 0x87, 0x1F})})),
                      frame_fault::none);
            const bytes stored = cells_with({{0, {4, 253, 100, 100}}, {12, {50, 251, 202, 136}}});
            EXPECT_EQ(first.contents(),
                      frames::render(cells_with({{0, {255, 0, 100, 100}}, {12, {255, 0, 0, 136}}}), 8, 2, is_rgb(compression)));
            output_buffer second(ctx.output_size());
            EXPECT_EQ(frames::decode_delta(ctx, second, frames::rle_frame({block({})})), frame_fault::none);
            EXPECT_EQ(frames::reference_of(ctx), stored);
            EXPECT_EQ(second.contents(), frames::render(stored, 8, 2, is_rgb(compression)));
        }
    }
}

// Chroma code bytes above 7 (only a table from elsewhere can hold them) act as
// KEEP and take no payload.
TEST(Delta, ChromaCodesAbove7Keep) {
    const bytes before = cells_with({{8, {1, 2, 3, 4}}, {20, {5, 6, 7, 8}}});
    for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
        DecoderContext ctx;
        ctx.m_kernel_mask = level.mask;
        start_with(ctx, 8, 2, 3, compression_yuy2, before);
        const uint8_t table[4] = {0x00, 0x09, 0x08, 0xFF};   // cell 2 LITERAL
        std::copy(table, table + 4, ctx.m_table_opt);
        output_buffer out(ctx.output_size());
        // An empty table block keeps the table above.
        EXPECT_EQ(frames::decode_delta(ctx, out, frames::rle_frame({21, 22, 23, 24}, {})), frame_fault::none);
        const bytes after = cells_with({{8, {1, 2, 3, 4}}, {12, {21, 22, 23, 24}}, {20, {5, 6, 7, 8}}});
        EXPECT_EQ(frames::reference_of(ctx), after);
        EXPECT_EQ(out.contents(), frames::render(after, 8, 2, false));
    }
}

// A luma byte that a run writes has bit 6 set; it decodes like the byte without it.
TEST(Delta, LumaRunBit6IsIgnored) {
    std::mt19937 rng(23);
    const bytes before = frames::random_bytes(rng, 48);
    const bytes payload = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    DecoderContext a, b;
    start_with(a, 16, 2, 3, compression_rgb32, before);
    start_with(b, 16, 2, 3, compression_rgb32, before);
    output_buffer out_a(a.output_size()), out_b(b.output_size());
    EXPECT_EQ(frames::decode_delta(a, out_a, frames::rle_frame(payload, {0x41, 0x04})), frame_fault::none);
    EXPECT_EQ(frames::decode_delta(b, out_b, frames::rle_frame(payload, {0x01, 0x01, 0x01, 0x01})), frame_fault::none);
    EXPECT_EQ(out_a.contents(), out_b.contents());
    EXPECT_EQ(frames::reference_of(a), frames::reference_of(b));
    EXPECT_NE(frames::reference_of(a), before);
}

// Coding mode 1 skips one record byte after each block's payload, coding mode 2
// two, coding modes 3 and 4 none.
TEST(Delta, RecordSkips) {
    std::mt19937 rng(25);
    const bytes before = frames::random_bytes(rng, 72);   // 24x2: three blocks
    const std::vector<coded_block> blocks = {
        block({LITERAL}, {1, 2, 3, 4}),
        block({LITERAL, KEEP, KEEP, KEEP, LITERAL}, {5, 6, 7, 8, 9, 10, 11, 12}),
        block({KEEP, KEEP, LITERAL}, {13, 14, 15, 16}),
    };
    bytes after = before;
    std::copy_n(blocks[0].payload.begin(), 4, after.begin());
    std::copy_n(blocks[1].payload.begin(), 4, after.begin() + 24);
    std::copy_n(blocks[1].payload.begin() + 4, 4, after.begin() + 24 + 16);
    std::copy_n(blocks[2].payload.begin(), 4, after.begin() + 48 + 8);
    EXPECT_EQ(frames::packed_frame(blocks, 1).size(), 4u + 16 + 3);
    EXPECT_EQ(frames::packed_frame(blocks, 2).size(), 4u + 16 + 6);
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        for (uint32_t compression : both_outputs) {
            for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
                DecoderContext ctx;
                ctx.m_kernel_mask = level.mask;
                start_with(ctx, 24, 2, mode, compression, before);
                output_buffer out(ctx.output_size());
                EXPECT_EQ(frames::decode_delta(ctx, out, frames::delta_frame(blocks, int(mode))), frame_fault::none);
                EXPECT_EQ(frames::reference_of(ctx), after) << "mode " << mode;
                EXPECT_EQ(out.contents(), frames::render(after, 24, 2, is_rgb(compression))) << "mode " << mode;
            }
        }
    }
}

TEST(Delta, CodingMode1OneBlockFrame) {
    const bytes before(24, 0x80);
    DecoderContext ctx;
    start_with(ctx, 8, 2, 1, compression_yuy2, before);
    output_buffer out(ctx.output_size());
    EXPECT_EQ(frames::decode_delta(ctx, out, {0x09, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x20}), frame_fault::none);
    EXPECT_EQ(frames::table_of(ctx), bytes({0x08, 0, 0, 0}));
    bytes after = before;
    std::copy_n(bytes({0x11, 0x22, 0x33, 0x44}).begin(), 4, after.begin());
    EXPECT_EQ(frames::reference_of(ctx), after);
}

// A frame whose codes are all KEEP shows the previous picture again and changes nothing.
TEST(Delta, AllKeepRepeatsThePicture) {
    std::mt19937 rng(27);
    const bytes before = frames::random_bytes(rng, 48);
    const bytes keep_frames[5] = {
        {},
        {6, 0, 0, 0, 0x00, 0x00},
        {8, 0, 0, 0, 0x00, 0x00, 0x00, 0xF0},
        {4, 0, 0, 0, 8, 0, 0, 0, 0x40, 0x04, 0xC0, 0x02},
        {4, 0, 0, 0, 8, 0, 0, 0, 0x40, 0x04, 0xC0, 0x02},
    };
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        for (uint32_t compression : both_outputs) {
            DecoderContext ctx;
            ASSERT_TRUE(ctx.setup(16, 2, mode, compression));
            output_buffer intra(ctx.output_size());
            ASSERT_EQ(frames::decode_intra(ctx, intra, frames::intra_frame(before)), frame_fault::none);
            // A first delta frame fills the table with other codes.
            output_buffer first(ctx.output_size());
            frames::decode_delta(ctx, first, frames::delta_frame(frames::random_blocks(rng, 2, int(mode)), int(mode)));
            const bytes picture = frames::reference_of(ctx);
            output_buffer out(ctx.output_size());
            EXPECT_EQ(frames::decode_delta(ctx, out, keep_frames[mode]), frame_fault::none);
            EXPECT_EQ(frames::table_of(ctx), mode == 3 || mode == 4 ? bytes({0x40, 0, 0x40, 0, 0x40, 0, 0x40, 0}) : bytes(8, 0));
            EXPECT_EQ(frames::reference_of(ctx), picture);
            EXPECT_EQ(out.contents(), frames::render(picture, 16, 2, is_rgb(compression)));
        }
    }
}

// With no table block codes, the table of the frame before applies again.
TEST(Delta, EmptyTableBlockReusesTheTable) {
    const bytes before(48, 100);
    DecoderContext ctx;
    start_with(ctx, 16, 2, 4, compression_yuy2, before);
    output_buffer out(ctx.output_size());
    EXPECT_EQ(frames::decode_delta(ctx, out, frames::rle_frame({0x01}, {0x10, 0x00, 0x80, 0x00, 0x00, 0x80})), frame_fault::none);
    EXPECT_EQ(frames::decode_delta(ctx, out, frames::rle_frame({0x01}, {})), frame_fault::none);
    bytes after = before;
    // DELTA2 with +1 times 4, twice.
    std::copy_n(bytes({108, 100, 100, 100}).begin(), 4, after.begin());
    EXPECT_EQ(frames::reference_of(ctx), after);
}

TEST(Delta, CodingModes3And4DecodeAlike) {
    std::mt19937 rng(29);
    for (int n = 0; n < 50; ++n) {
        for (uint32_t compression : both_outputs) {
            const bytes before = frames::random_bytes(rng, 32 * 6 * 3 / 2);
            DecoderContext three, four;
            start_with(three, 32, 6, 3, compression, before);
            start_with(four, 32, 6, 4, compression, before);
            const bytes frame = frames::rle_frame(frames::random_blocks(rng, 12, 3));
            output_buffer a(three.output_size()), b(four.output_size());
            EXPECT_EQ(frames::decode_delta(three, a, frame), frame_fault::none);
            EXPECT_EQ(frames::decode_delta(four, b, frame), frame_fault::none);
            ASSERT_EQ(a.contents(), b.contents());
            ASSERT_EQ(frames::reference_of(three), frames::reference_of(four));
        }
    }
}

TEST(Delta, CodingMode0DecodesAsIntra) {
    std::mt19937 rng(31);
    const bytes cells = frames::random_bytes(rng, 12 * 2);
    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(8, 2, 0, compression_yuy2));
    output_buffer out(ctx.output_size());
    EXPECT_EQ(frames::decode_delta(ctx, out, frames::intra_frame(cells)), frame_fault::none);
    EXPECT_EQ(out.contents(), frames::render(cells, 8, 2, false));
}

// ---- Malformed frames ---------------------------------------------------------------

// Decodes `frame` against a random picture and checks the fault, and that nothing
// was rebuilt: the output shows the previous picture, the reference is unchanged.
void expect_nothing_rebuilt(uint32_t mode, const bytes& frame, frame_fault fault, const char* what) {
    std::mt19937 rng(33);
    const bytes before = frames::random_bytes(rng, 48);
    for (uint32_t compression : both_outputs) {
        for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
            DecoderContext ctx;
            ctx.m_kernel_mask = level.mask;
            start_with(ctx, 16, 2, mode, compression, before);
            output_buffer out(ctx.output_size(), 0, 0x5A);
            EXPECT_EQ(frames::decode_delta(ctx, out, frame), fault) << what << " mode " << mode;
            EXPECT_EQ(frames::reference_of(ctx), before) << what << " mode " << mode;
            EXPECT_EQ(out.contents(), frames::render(before, 16, 2, is_rgb(compression))) << what << " mode " << mode;
        }
    }
}

TEST(DeltaMalformed, BadPayloadEnd) {
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        expect_nothing_rebuilt(mode, {}, frame_fault::bad_payload_end, "empty frame");
        expect_nothing_rebuilt(mode, {4, 0, 0}, frame_fault::bad_payload_end, "3-byte frame");
        expect_nothing_rebuilt(mode, {0, 0, 0, 0, 8, 0, 0, 0}, frame_fault::bad_payload_end, "payload_end 0");
        expect_nothing_rebuilt(mode, {3, 0, 0, 0, 4, 0, 0, 0}, frame_fault::bad_payload_end, "payload_end 3");
        expect_nothing_rebuilt(mode, {13, 0, 0, 0, 1, 2, 3, 4, 4, 0, 0, 0}, frame_fault::bad_payload_end,
                               "payload_end past the frame");
        expect_nothing_rebuilt(mode, {0xFF, 0xFF, 0xFF, 0xFF, 4, 0, 0, 0}, frame_fault::bad_payload_end,
                               "payload_end 0xFFFFFFFF");
        expect_nothing_rebuilt(mode, {0xFC, 0xFF, 0xFF, 0xFF, 4, 0, 0, 0}, frame_fault::bad_payload_end,
                               "payload_end 0xFFFFFFFC");
    }
}

TEST(DeltaMalformed, BadTableLength) {
    for (uint32_t mode : {3u, 4u}) {
        expect_nothing_rebuilt(mode, {4, 0, 0, 0}, frame_fault::bad_table_length, "no table_length word");
        expect_nothing_rebuilt(mode, {4, 0, 0, 0, 4, 0, 0}, frame_fault::bad_table_length, "table_length cut short");
        expect_nothing_rebuilt(mode, {4, 0, 0, 0, 0, 0, 0, 0}, frame_fault::bad_table_length, "table_length 0");
        expect_nothing_rebuilt(mode, {4, 0, 0, 0, 3, 0, 0, 0}, frame_fault::bad_table_length, "table_length 3");
        expect_nothing_rebuilt(mode, {4, 0, 0, 0, 7, 0, 0, 0, 0x40, 0x04}, frame_fault::bad_table_length,
                               "table block past the frame");
        expect_nothing_rebuilt(mode, {5, 0, 0, 0, 0x11, 4, 0, 0}, frame_fault::bad_table_length,
                               "table_length word past the frame");
        // Lengths that would wrap around a 32-bit address sum.
        expect_nothing_rebuilt(mode, {4, 0, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF, 0x40, 0x04}, frame_fault::bad_table_length,
                               "table_length 0xFFFFFFFC");
        expect_nothing_rebuilt(mode, {4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x40, 0x04}, frame_fault::bad_table_length,
                               "table_length 0xFFFFFFFF");
    }
}

// After a table fault the frame is rebuilt with the table as it stands.
void expect_rebuilt_with(uint32_t mode, int w, const bytes& frame, const bytes& table, frame_fault fault,
                         const char* what, size_t stop_block = SIZE_MAX) {
    std::mt19937 rng(35);
    const bytes before = frames::random_bytes(rng, size_t(w) * 3);
    const frames::delta_picture expected = frames::model_delta(before, table, frame.data() + 4, int(mode), stop_block);
    for (uint32_t compression : both_outputs) {
        for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
            DecoderContext ctx;
            ctx.m_kernel_mask = level.mask;
            start_with(ctx, w, 2, mode, compression, before);
            output_buffer out(ctx.output_size());
            EXPECT_EQ(frames::decode_delta(ctx, out, frame), fault) << what;
            EXPECT_EQ(frames::table_of(ctx), table) << what;
            EXPECT_EQ(frames::reference_of(ctx), expected.stored) << what;
            EXPECT_EQ(out.contents(), frames::render(expected.shown, w, 2, is_rgb(compression))) << what;
        }
    }
}

TEST(DeltaMalformed, TableFaultsStillRebuild) {
    const bytes payload = {1, 2, 3, 4, 5, 6, 7, 8};
    // Cell 0 and cell 3 LITERAL, then one luma entry too many.
    expect_rebuilt_with(3, 8, frames::rle_frame(payload, {0x08, 0x01, 0x3F}), {0x08, 0, 0x01, 0},
                        frame_fault::table_overflow, "run-length table overflow");
    // Cell 0 LITERAL, then a run without its count.
    expect_rebuilt_with(4, 8, frames::rle_frame(payload, {0x08, 0x41}), {0x08, 0, 0, 0},
                        frame_fault::table_truncated, "run-length run cut short");
    // The first record claims more payload than lies before it; block 0 keeps its
    // initial all-KEEP entry and passes over 0x99 as its mode record.
    expect_rebuilt_with(1, 16, packed_frame_from_area({0x99, 0x01, 1, 2, 3, 4, 0x01}), {0, 0, 0, 0, 0, 0, 0, 0x01},
                        frame_fault::table_truncated, "packed record before the area");
    // Two records for one block: the last one fills the table.
    expect_rebuilt_with(1, 8, packed_frame_from_area({1, 2, 3, 4, 0x20, 0x00}), {0, 0, 0, 0},
                        frame_fault::table_overflow, "more records than blocks");
    // One record for two blocks; block 0 keeps its all-KEEP entry and skips two
    // bytes, after which block 1's DELTA2 byte and record do not fit: the table
    // fault is reported.
    expect_rebuilt_with(2, 16, packed_frame_from_area({0x55, 0x00, 0x08}), {0, 0, 0, 0, 0x10, 0, 0, 0},
                        frame_fault::record_count, "fewer records than blocks", 1);
}

// Before each block the decoder checks that its payload lies in the frame; from
// the first block where it does not, the previous picture stays.
TEST(DeltaMalformed, PayloadOverrunKeepsTheRest) {
    std::mt19937 rng(37);
    const int w = 16, h = 4;
    const bytes before = frames::random_bytes(rng, w * h * 3 / 2);
    const std::vector<coded_block> blocks = {
        block({LITERAL}, {1, 2, 3, 4}),
        block({LITERAL, LEFT}, {5, 6, 7, 8}),
        block({LEFT, KEEP, LEFT}),
        block({KEEP, LEFT}),
    };
    const bytes table = frames::table_of_blocks(blocks);
    const bytes codes = frames::rle_codes(blocks);
    struct cut {
        size_t payload;
        size_t stop_block;
    };
    for (const cut c : {cut{8, SIZE_MAX}, cut{7, 1}, cut{4, 1}, cut{3, 0}, cut{0, 0}}) {
        const bytes payload = {1, 2, 3, 4, 5, 6, 7, 8};
        const bytes frame = frames::rle_frame(bytes(payload.begin(), payload.begin() + long(c.payload)), codes);
        bytes padded = payload;
        padded.resize(64, 0);
        const frames::delta_picture expected = frames::model_delta(before, table, padded.data(), 3, c.stop_block);
        for (uint32_t compression : both_outputs) {
            for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
                DecoderContext ctx;
                ctx.m_kernel_mask = level.mask;
                start_with(ctx, w, h, 3, compression, before);
                output_buffer out(ctx.output_size(), 0, 0x5A);
                EXPECT_EQ(frames::decode_delta(ctx, out, frame),
                          c.stop_block == SIZE_MAX ? frame_fault::none : frame_fault::payload_overrun)
                    << "payload " << c.payload;
                EXPECT_EQ(frames::reference_of(ctx), expected.stored) << "payload " << c.payload;
                EXPECT_EQ(out.contents(), frames::render(expected.shown, w, h, is_rgb(compression)))
                    << "payload " << c.payload;
            }
        }
    }
}

// In coding modes 1 and 2 the check covers the block's mode record too. Entry 0
// is left LITERAL for cell 0 by a first frame; the second frame has one record,
// for block 1, so block 0 reads its payload from offset 4.
TEST(DeltaMalformed, PayloadOverrunCountsTheModeRecord) {
    std::mt19937 rng(39);
    for (uint32_t mode : {1u, 2u}) {
        const bytes before = frames::random_bytes(rng, 48);
        DecoderContext ctx;
        start_with(ctx, 16, 2, mode, compression_yuy2, before);
        output_buffer out(ctx.output_size());
        ASSERT_EQ(frames::decode_delta(ctx, out, frames::packed_frame({block({LITERAL}, {1, 2, 3, 4}), block({})}, int(mode))),
                  frame_fault::none);
        const bytes picture = frames::reference_of(ctx);
        // Coding mode 2: four bytes for block 0's payload, none for its record.
        // Coding mode 1: one byte where block 0 needs five.
        const bytes area = mode == 2 ? bytes({9, 9, 0x03, 0x00}) : bytes({0x00});
        output_buffer second(ctx.output_size(), 0, 0x5A);
        EXPECT_EQ(frames::decode_delta(ctx, second, packed_frame_from_area(area)), frame_fault::record_count);
        EXPECT_EQ(frames::table_of(ctx), mode == 2 ? bytes({0x08, 0, 0, 0, 0, 0, 0, 0x03}) : bytes({0x08, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(frames::reference_of(ctx), picture) << mode;
        EXPECT_EQ(second.contents(), frames::render(picture, 16, 2, false)) << mode;
    }
}

// ---- Random frames: SIMD against scalar, both against the model -----------------------

struct random_stream {
    int w, h;
    uint32_t mode, compression;
};

TEST(DeltaRandom, SimdScalarAndModelAgree) {
    std::mt19937 rng(41);
    const int sizes[][2] = {{8, 2}, {8, 8}, {16, 4}, {24, 6}, {32, 2}, {40, 10}};
    size_t frames_decoded = 0;
    for (int stream = 0; stream < 480; ++stream) {
        const int w = sizes[stream % 6][0], h = sizes[stream % 6][1];
        const uint32_t mode = uint32_t(1 + (stream / 6) % 4);
        const uint32_t compression = both_outputs[(stream / 24) % 2];
        const size_t blocks = size_t(w / 8) * size_t(h / 2);
        DecoderContext simd, scalar;
        simd.m_kernel_mask = frames::simd_level_in_turn(size_t(stream));
        scalar.m_kernel_mask = 0;
        // Pictures near black and white make sums leave 0..255 often.
        bytes picture = frames::random_bytes(rng, size_t(w * h * 3 / 2));
        if (stream % 3 == 0)
            for (auto& s : picture) s = uint8_t(s & 0x80 ? 0xF0 | s : s & 0x0F);
        start_with(simd, w, h, mode, compression, picture);
        start_with(scalar, w, h, mode, compression, picture);
        // Half the streams store their output non-temporally, as a large frame would.
        simd.m_stream_delta_output = (stream / 48) % 2 == 0;
        for (int f = 0; f < 8; ++f) {
            bytes frame, table;
            if (mode >= 3 && f % 4 == 3) {
                // A table written straight into both contexts, chroma bytes of any value,
                // kept by an empty table block.
                table = frames::random_bytes(rng, blocks * 4);
                std::copy(table.begin(), table.end(), simd.m_table_opt);
                std::copy(table.begin(), table.end(), scalar.m_table_opt);
                size_t need = 0;
                for (size_t n = 0; n < blocks; ++n) {
                    const uint8_t* e = table.data() + 4 * n;
                    need += frames::payload_size(uint8_t((e[0] >> 3) & 7)) + frames::payload_size(uint8_t(e[0] & 7)) +
                            frames::payload_size(e[1]) + frames::payload_size(uint8_t((e[2] >> 3) & 7)) +
                            frames::payload_size(uint8_t(e[2] & 7)) + frames::payload_size(e[3]);
                }
                frame = frames::rle_frame(frames::random_bytes(rng, need), {});
            } else {
                const auto coded = frames::random_blocks(rng, blocks, int(mode));
                frame = frames::delta_frame(coded, int(mode));
                table = frames::table_of_blocks(coded);
            }
            const frames::delta_picture expected = frames::model_delta(picture, table, frame.data() + 4, int(mode));
            output_buffer a(simd.output_size(), size_t(stream + f) * 13 % 64), b(scalar.output_size());
            ASSERT_EQ(frames::decode_delta(simd, a, frame), frame_fault::none);
            ASSERT_EQ(frames::decode_delta(scalar, b, frame), frame_fault::none);
            ASSERT_EQ(frames::reference_of(scalar), expected.stored) << "stream " << stream << " frame " << f;
            ASSERT_EQ(b.contents(), frames::render(expected.shown, w, h, is_rgb(compression)))
                << "stream " << stream << " frame " << f;
            ASSERT_EQ(frames::reference_of(simd), expected.stored) << "stream " << stream << " frame " << f;
            ASSERT_EQ(a.contents(), b.contents()) << "stream " << stream << " frame " << f;
            ASSERT_TRUE(a.guards_intact()) << "stream " << stream << " frame " << f;
            picture = expected.stored;
            ++frames_decoded;
        }
    }
    EXPECT_EQ(frames_decoded, 3840u);
}

// Damaged frames (cut short, bytes changed) decode the same way with either
// kernel family and never touch memory outside the frame.
TEST(DeltaRandom, DamagedFramesDecodeAlike) {
    std::mt19937 rng(43);
    for (int stream = 0; stream < 400; ++stream) {
        const int w = 16, h = 4;
        const uint32_t mode = uint32_t(1 + stream % 4);
        const uint32_t compression = both_outputs[(stream / 4) % 2];
        DecoderContext simd, scalar;
        simd.m_kernel_mask = frames::simd_level_in_turn(size_t(stream));
        scalar.m_kernel_mask = 0;
        const bytes picture = frames::random_bytes(rng, size_t(w * h * 3 / 2));
        start_with(simd, w, h, mode, compression, picture);
        start_with(scalar, w, h, mode, compression, picture);
        for (int f = 0; f < 4; ++f) {
            bytes frame = frames::delta_frame(frames::random_blocks(rng, 4, int(mode)), int(mode));
            switch (rng() % 3) {
                case 0: frame.resize(rng() % (frame.size() + 1)); break;
                case 1:
                    for (int k = 0; k < 3; ++k) frame[rng() % frame.size()] = uint8_t(rng());
                    break;
                default: frame[rng() % std::min<size_t>(frame.size(), 4)] ^= uint8_t(1u << (rng() % 8)); break;
            }
            output_buffer a(simd.output_size()), b(scalar.output_size());
            const frame_fault fa = frames::decode_delta(simd, a, frame);
            const frame_fault fb = frames::decode_delta(scalar, b, frame);
            ASSERT_EQ(fa, fb) << "stream " << stream << " frame " << f;
            ASSERT_EQ(a.contents(), b.contents()) << "stream " << stream << " frame " << f;
            ASSERT_EQ(frames::reference_of(simd), frames::reference_of(scalar)) << "stream " << stream;
            ASSERT_EQ(frames::table_of(simd), frames::table_of(scalar)) << "stream " << stream;
        }
    }
}

}  // namespace
}  // namespace ruv
