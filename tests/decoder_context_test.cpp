// Setting up and releasing a DecoderContext: buffers, shifts, output kind, refusals.
#include <gtest/gtest.h>

#include <cstdint>

#include "decoder.h"
#include "frame_builders.h"

namespace ruv {
namespace {

using frames::bytes;

TEST(DecoderContext, QvgaCodingMode2Buffers) {
    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(320, 240, 2, compression_yuy2));
    EXPECT_EQ(ctx.m_width, 320);
    EXPECT_EQ(ctx.m_height, 240);
    EXPECT_EQ(ctx.m_coding_mode, 2);
    EXPECT_EQ(ctx.m_shift2, 1);
    EXPECT_EQ(ctx.m_shift4, 2);
    ASSERT_NE(ctx.m_ref_block, nullptr);
    ASSERT_NE(ctx.m_table_opt, nullptr);
    // The reference frame starts within the first 32 bytes of the block, on a
    // 32-byte boundary, so that its 115,200 bytes lie inside the 307,232-byte block.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ctx.m_ref_frame) % 32, 0u);
    EXPECT_GT(ctx.m_ref_frame, ctx.m_ref_block);
    EXPECT_LE(ctx.m_ref_frame, ctx.m_ref_block + 32);
    EXPECT_LE(ctx.m_ref_frame + 115200, ctx.m_ref_block + 307232);
    EXPECT_EQ(ctx.block_count() * 4, 19200u);
    EXPECT_EQ(ctx.intra_frame_size(), 115204u);
    EXPECT_EQ(ctx.output_size(), 320u * 240u * 2u);
}

TEST(DecoderContext, ShiftsByCodingMode) {
    const int32_t shift2[5] = {0, 0, 1, 2, 2};
    const int32_t shift4[5] = {0, 1, 2, 3, 3};
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        DecoderContext ctx;
        ASSERT_TRUE(ctx.setup(16, 4, mode, compression_rgb32));
        EXPECT_EQ(ctx.m_shift2, shift2[mode]) << mode;
        EXPECT_EQ(ctx.m_shift4, shift4[mode]) << mode;
        EXPECT_EQ(ctx.output_size(), 16u * 4u * 4u);
    }
}

TEST(DecoderContext, CodingMode0AllocatesNothingAndKeepsShifts) {
    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(16, 4, 3, compression_rgb32));
    ctx.release();
    ASSERT_TRUE(ctx.setup(12, 6, 0, compression_rgb32));
    EXPECT_EQ(ctx.m_ref_block, nullptr);
    EXPECT_EQ(ctx.m_ref_frame, nullptr);
    EXPECT_EQ(ctx.m_table_opt, nullptr);
    EXPECT_EQ(ctx.m_coding_mode, 0);
    EXPECT_EQ(ctx.m_shift2, 2);
    EXPECT_EQ(ctx.m_shift4, 3);
}

TEST(DecoderContext, ReleaseIsHarmlessWhenRepeated) {
    DecoderContext fresh;
    fresh.release();
    EXPECT_EQ(fresh.m_ref_block, nullptr);

    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(8, 2, 1, compression_yuy2));
    ctx.release();
    EXPECT_EQ(ctx.m_ref_block, nullptr);
    EXPECT_EQ(ctx.m_ref_frame, nullptr);
    EXPECT_EQ(ctx.m_table_opt, nullptr);
    ctx.release();
    EXPECT_EQ(ctx.m_ref_block, nullptr);
    // A released context can be set up again.
    EXPECT_TRUE(ctx.setup(8, 2, 1, compression_yuy2));
    EXPECT_NE(ctx.m_ref_block, nullptr);
}

TEST(DecoderContext, OutputKind) {
    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(8, 2, 2, compression_yuy2));
    EXPECT_EQ(ctx.m_rgb_output, 0);
    ASSERT_TRUE(ctx.setup(8, 2, 2, compression_rgb32));
    EXPECT_EQ(ctx.m_rgb_output, 1);
    EXPECT_EQ(compression_yuy2, 0x32595559u);
}

TEST(DecoderContext, RefusesUnsupportedSetups) {
    struct setup_case {
        int32_t width, height;
        uint32_t mode, compression;
        setup_refusal why;
    };
    using r = setup_refusal;
    const setup_case refused[] = {
        {0, 2, 0, compression_rgb32, r::size_not_positive},
        {8, 0, 1, compression_rgb32, r::size_not_positive},
        {-8, 2, 1, compression_rgb32, r::size_not_positive},
        {8, -2, 1, compression_yuy2, r::size_not_positive},
        {6, 2, 0, compression_rgb32, r::width_off_grid},
        {8, 3, 0, compression_rgb32, r::height_odd},
        {8, 3, 2, compression_yuy2, r::height_odd},
        {12, 2, 1, compression_rgb32, r::width_off_grid},
        {4, 2, 4, compression_yuy2, r::width_off_grid},
        {20, 2, 3, compression_yuy2, r::width_off_grid},
        {8, 2, 5, compression_rgb32, r::coding_mode},
        {8, 2, 0xFFFFFFFFu, compression_rgb32, r::coding_mode},
        {8, 2, 1, 1, r::output_compression},
        {8, 2, 1, 3, r::output_compression},
        {8, 2, 1, 0x59565955, r::output_compression},
        {8, 2, 0, 0x32595558, r::output_compression},
        {32768, 32768, 0, compression_rgb32, r::too_large},
        {65536, 65536, 1, compression_rgb32, r::too_large},
        {0x40000000, 4, 2, compression_yuy2, r::too_large},
        {0x7FFFFFF8, 0x7FFFFFFE, 3, compression_rgb32, r::too_large},
    };
    for (const auto& c : refused) {
        DecoderContext ctx;
        ASSERT_TRUE(ctx.setup(16, 2, 2, compression_rgb32));
        EXPECT_FALSE(ctx.setup(c.width, c.height, c.mode, c.compression))
            << c.width << "x" << c.height << " mode " << c.mode << " compression " << c.compression;
        // The reason a host can report, in words.
        EXPECT_EQ(check_setup(c.width, c.height, c.mode, c.compression), c.why) << describe(c.why);
        // A refused setup leaves the context released.
        EXPECT_EQ(ctx.m_ref_block, nullptr);
        EXPECT_EQ(ctx.m_ref_frame, nullptr);
        EXPECT_EQ(ctx.m_table_opt, nullptr);
    }
    DecoderContext ctx;
    EXPECT_TRUE(ctx.setup(4, 2, 0, compression_rgb32));
    EXPECT_TRUE(ctx.setup(12, 2, 0, compression_yuy2));
    EXPECT_TRUE(ctx.setup(8, 2, 4, compression_yuy2));
    EXPECT_EQ(check_setup(8, 2, 4, compression_yuy2), setup_refusal::none);
    EXPECT_EQ(check_setup(4, 2, 0, compression_rgb32), setup_refusal::none);
}

TEST(DecoderContext, FrameSizeLimits) {
    EXPECT_TRUE(frame_size_supported(4, 2, 0));
    EXPECT_FALSE(frame_size_supported(4, 2, 1));
    EXPECT_TRUE(frame_size_supported(8, 2, 1));
    EXPECT_FALSE(frame_size_supported(8, 1, 0));
    EXPECT_FALSE(frame_size_supported(8, 2, 5));
    // width x height x 4 + 32 must not exceed 0xFFFFFFFF: 8 x 134217726 is the
    // tallest 8-wide picture that fits.
    EXPECT_TRUE(frame_size_supported(8, 134217726, 1));
    EXPECT_FALSE(frame_size_supported(8, 134217728, 1));
    EXPECT_FALSE(frame_size_supported(65536, 65536, 0));
    EXPECT_FALSE(frame_size_supported(0x7FFFFFF8, 2, 0));
    EXPECT_FALSE(frame_size_supported(INT32_MIN, 2, 0));
}

// Before any intra frame the reference frame is black and every mode word KEEP,
// so a first delta frame with an empty table shows black.
TEST(DecoderContext, StartsBlackWithAKeepTable) {
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        for (uint32_t compression : {compression_yuy2, compression_rgb32}) {
            DecoderContext ctx;
            ASSERT_TRUE(ctx.setup(16, 4, mode, compression));
            const bytes table = frames::table_of(ctx);
            EXPECT_EQ(table, bytes(table.size(), 0)) << mode;
            bytes black;
            for (int i = 0; i < 8; ++i) {
                black.insert(black.end(), 8, 0);
                black.insert(black.end(), 4, 128);
            }
            EXPECT_EQ(frames::reference_of(ctx), black) << mode;

            // Coding modes 3 and 4 need a table block; 1 and 2 an empty record area
            // (which leaves the table as it is but reports the missing records).
            bytes frame = {4, 0, 0, 0};
            if (mode >= 3) frames::put_le32(frame, 4);
            frames::output_buffer out(ctx.output_size());
            const frame_fault fault = frames::decode_delta(ctx, out, frame);
            EXPECT_EQ(fault, mode >= 3 ? frame_fault::none : frame_fault::record_count) << mode;
            EXPECT_EQ(out.contents(), frames::render(black, 16, 4, compression == compression_rgb32)) << mode;
            if (compression == compression_rgb32) {
                EXPECT_EQ(out.contents(), bytes(out.size, 0));
            }
            EXPECT_EQ(frames::reference_of(ctx), black);
        }
    }
}

}  // namespace
}  // namespace ruv
