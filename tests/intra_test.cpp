// Intra frames: cell layout, row placement in both output kinds, the reference
// frame they leave, and frames shorter than their picture.
#include <gtest/gtest.h>

#include <random>

#include "decoder.h"
#include "frame_builders.h"

namespace ruv {
namespace {

using frames::bytes;
using frames::output_buffer;

bytes row_of(const output_buffer& out, size_t line_bytes, size_t row) {
    return bytes(out.data + line_bytes * row, out.data + line_bytes * (row + 1));
}

bytes rgb_line(std::initializer_list<int> lumas, int ua, int va, int ub, int vb) {
    bytes line(16);
    int i = 0;
    for (int y : lumas) {
        frames::rgb_pixel(y, i < 2 ? ua : ub, i < 2 ? va : vb, line.data() + 4 * i);
        ++i;
    }
    return line;
}

const bytes one_pair = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0};

TEST(Intra, OneCellPairYuy2) {
    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(4, 2, 0, compression_yuy2));
    output_buffer out(ctx.output_size());
    EXPECT_EQ(frames::decode_intra(ctx, out, frames::intra_frame(one_pair)), frame_fault::none);
    EXPECT_EQ(row_of(out, 8, 0), bytes({0x10, 0x90, 0x20, 0xA0, 0x50, 0xB0, 0x60, 0xC0}));
    EXPECT_EQ(row_of(out, 8, 1), bytes({0x30, 0x90, 0x40, 0xA0, 0x70, 0xB0, 0x80, 0xC0}));
}

TEST(Intra, OneCellPairRgb32) {
    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(4, 2, 0, compression_rgb32));
    output_buffer out(ctx.output_size());
    EXPECT_EQ(frames::decode_intra(ctx, out, frames::intra_frame(one_pair)), frame_fault::none);
    // Row 0 is the picture's bottom line: the cells' lower luma samples.
    EXPECT_EQ(row_of(out, 16, 0), rgb_line({0x30, 0x40, 0x70, 0x80}, 0x90, 0xA0, 0xB0, 0xC0));
    EXPECT_EQ(row_of(out, 16, 1), rgb_line({0x10, 0x20, 0x50, 0x60}, 0x90, 0xA0, 0xB0, 0xC0));
}

TEST(Intra, CellRowsRunBottomUp) {
    // Four cell pairs of an 8x4 picture, each byte naming its pair (high nibble).
    bytes cells;
    for (int p = 0; p < 4; ++p)
        for (int i = 0; i < 12; ++i) cells.push_back(uint8_t(16 * p + i));
    for (uint32_t mode : {0u, 1u}) {
        DecoderContext yuy2;
        ASSERT_TRUE(yuy2.setup(8, 4, mode, compression_yuy2));
        output_buffer y(yuy2.output_size());
        EXPECT_EQ(frames::decode_intra(yuy2, y, frames::intra_frame(cells)), frame_fault::none);
        // Pair 1 is the right half of the bottom cell row: YUY2 rows 2 and 3, bytes 8-15.
        EXPECT_EQ(bytes(y.data + 16 * 2 + 8, y.data + 16 * 3),
                  bytes({0x10, 0x18, 0x11, 0x19, 0x14, 0x1A, 0x15, 0x1B}));
        EXPECT_EQ(bytes(y.data + 16 * 3 + 8, y.data + 16 * 4),
                  bytes({0x12, 0x18, 0x13, 0x19, 0x16, 0x1A, 0x17, 0x1B}));
        // Pair 2 is the left half of the top cell row: YUY2 rows 0 and 1, bytes 0-7.
        EXPECT_EQ(bytes(y.data, y.data + 8), bytes({0x20, 0x28, 0x21, 0x29, 0x24, 0x2A, 0x25, 0x2B}));
        EXPECT_EQ(bytes(y.data + 16, y.data + 24), bytes({0x22, 0x28, 0x23, 0x29, 0x26, 0x2A, 0x27, 0x2B}));
        EXPECT_EQ(y.contents(), frames::render(cells, 8, 4, false));

        DecoderContext rgb;
        ASSERT_TRUE(rgb.setup(8, 4, mode, compression_rgb32));
        output_buffer r(rgb.output_size());
        EXPECT_EQ(frames::decode_intra(rgb, r, frames::intra_frame(cells)), frame_fault::none);
        // In RGB32 pair 1 lands in rows 0 (lower line) and 1 (upper), bytes 16-31;
        // pair 2 in rows 2 and 3, bytes 0-15.
        EXPECT_EQ(bytes(r.data + 16, r.data + 32), rgb_line({0x12, 0x13, 0x16, 0x17}, 0x18, 0x19, 0x1A, 0x1B));
        EXPECT_EQ(bytes(r.data + 48, r.data + 64), rgb_line({0x10, 0x11, 0x14, 0x15}, 0x18, 0x19, 0x1A, 0x1B));
        EXPECT_EQ(bytes(r.data + 64, r.data + 80), rgb_line({0x22, 0x23, 0x26, 0x27}, 0x28, 0x29, 0x2A, 0x2B));
        EXPECT_EQ(bytes(r.data + 96, r.data + 112), rgb_line({0x20, 0x21, 0x24, 0x25}, 0x28, 0x29, 0x2A, 0x2B));
        EXPECT_EQ(r.contents(), frames::render(cells, 8, 4, true));
    }
}

TEST(Intra, HeaderWordIsIgnored) {
    std::mt19937 rng(7);
    const bytes cells = frames::random_bytes(rng, 16 * 4 * 3 / 2);
    for (uint32_t compression : {compression_yuy2, compression_rgb32}) {
        DecoderContext ctx;
        ASSERT_TRUE(ctx.setup(16, 4, 2, compression));
        output_buffer a(ctx.output_size()), b(ctx.output_size());
        EXPECT_EQ(frames::decode_intra(ctx, a, frames::intra_frame(cells, 0)), frame_fault::none);
        EXPECT_EQ(frames::decode_intra(ctx, b, frames::intra_frame(cells, 0xFFFFFFFFu)), frame_fault::none);
        EXPECT_EQ(a.contents(), b.contents());
    }
}

TEST(Intra, ReferenceIsThePayload) {
    std::mt19937 rng(11);
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        for (uint32_t compression : {compression_yuy2, compression_rgb32}) {
            for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
                DecoderContext ctx;
                ctx.m_kernel_mask = level.mask;
                ASSERT_TRUE(ctx.setup(24, 6, mode, compression));
                const bytes cells = frames::random_bytes(rng, 24 * 6 * 3 / 2);
                output_buffer out(ctx.output_size());
                EXPECT_EQ(frames::decode_intra(ctx, out, frames::intra_frame(cells)), frame_fault::none);
                EXPECT_EQ(out.contents(), frames::render(cells, 24, 6, compression == compression_rgb32));
                if (mode == 0) {
                    EXPECT_EQ(ctx.m_ref_frame, nullptr);
                } else {
                    EXPECT_EQ(frames::reference_of(ctx), cells) << mode;
                }
            }
        }
    }
}

// Read in their own row orders, the YUY2 and the RGB32 output show the same picture.
TEST(Intra, Yuy2AndRgb32ShowTheSamePicture) {
    std::mt19937 rng(3);
    const int w = 32, h = 8;
    const bytes frame = frames::intra_frame(frames::random_bytes(rng, w * h * 3 / 2));
    DecoderContext yc, rc;
    ASSERT_TRUE(yc.setup(w, h, 1, compression_yuy2));
    ASSERT_TRUE(rc.setup(w, h, 1, compression_rgb32));
    output_buffer y(yc.output_size()), r(rc.output_size());
    frames::decode_intra(yc, y, frame);
    frames::decode_intra(rc, r, frame);
    for (int row = 0; row < h; ++row) {
        const uint8_t* yl = y.data + 2 * w * row;
        const uint8_t* rl = r.data + 4 * w * (h - 1 - row);
        for (int x = 0; x < w; ++x) {
            uint8_t px[4];
            frames::rgb_pixel(yl[2 * x], yl[4 * (x / 2) + 1], yl[4 * (x / 2) + 3], px);
            ASSERT_EQ(bytes(px, px + 4), bytes(rl + 4 * x, rl + 4 * x + 4)) << "row " << row << " x " << x;
        }
    }
}

// A short frame decodes its whole cell pairs; the rest of the picture is the previous one.
TEST(Intra, ShortFrameShowsThePreviousPictureBeyondItsEnd) {
    std::mt19937 rng(5);
    const int w = 16, h = 4;   // 8 cell pairs
    const bytes first = frames::random_bytes(rng, w * h * 3 / 2);
    const bytes second = frames::random_bytes(rng, w * h * 3 / 2);
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        for (uint32_t compression : {compression_yuy2, compression_rgb32}) {
            for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
                const bool rgb = compression == compression_rgb32;
                for (size_t length : {size_t(0), size_t(3), size_t(4), size_t(4 + 12 * 5 + 7), size_t(4 + 12 * 7)}) {
                    DecoderContext ctx;
                    ctx.m_kernel_mask = level.mask;
                    ASSERT_TRUE(ctx.setup(w, h, mode, compression));
                    output_buffer out(ctx.output_size());
                    ASSERT_EQ(frames::decode_intra(ctx, out, frames::intra_frame(first)), frame_fault::none);
                    bytes frame = frames::intra_frame(second);
                    frame.resize(length);
                    output_buffer out2(ctx.output_size());
                    EXPECT_EQ(frames::decode_intra(ctx, out2, frame), frame_fault::short_intra) << length;
                    const size_t whole = length > 4 ? (length - 4) / 12 : 0;
                    bytes expected = first;
                    std::copy(second.begin(), second.begin() + long(12 * whole), expected.begin());
                    EXPECT_EQ(frames::reference_of(ctx), expected) << "mode " << mode << " length " << length;
                    EXPECT_EQ(out2.contents(), frames::render(expected, w, h, rgb))
                        << "mode " << mode << " length " << length;
                }
            }
        }
    }
}

TEST(Intra, ShortFrameInCodingMode0LeavesTheRestOfTheOutput) {
    std::mt19937 rng(9);
    const int w = 12, h = 4;   // 6 cell pairs
    const bytes cells = frames::random_bytes(rng, w * h * 3 / 2);
    for (uint32_t compression : {compression_yuy2, compression_rgb32}) {
        const bool rgb = compression == compression_rgb32;
        for (size_t length : {size_t(0), size_t(2), size_t(4), size_t(4 + 12 * 4 + 11)}) {
            DecoderContext ctx;
            ASSERT_TRUE(ctx.setup(w, h, 0, compression));
            output_buffer out(ctx.output_size(), 0, 0x5A);
            bytes frame = frames::intra_frame(cells);
            frame.resize(length);
            EXPECT_EQ(frames::decode_intra(ctx, out, frame), frame_fault::short_intra);
            // Pairs present show the frame; missing ones keep the caller's bytes.
            const size_t whole = length > 4 ? (length - 4) / 12 : 0;
            const bytes full = frames::render(cells, w, h, rgb);
            bytes expected(out.size, 0x5A);
            const size_t pair_bytes = rgb ? 16 : 8, line = size_t(w) * (rgb ? 4 : 2);
            for (size_t p = 0; p < whole; ++p) {
                const size_t k = p / 3, j = p % 3;
                for (size_t row : {rgb ? 2 * k : h - 2 - 2 * k, rgb ? 2 * k + 1 : h - 1 - 2 * k}) {
                    const size_t at = row * line + j * pair_bytes;
                    std::copy(full.begin() + long(at), full.begin() + long(at + pair_bytes), expected.begin() + long(at));
                }
            }
            EXPECT_EQ(out.contents(), expected) << length;
        }
    }
}

TEST(Intra, LongerFramesAreFine) {
    std::mt19937 rng(13);
    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(8, 2, 3, compression_yuy2));
    const bytes cells = frames::random_bytes(rng, 24);
    bytes frame = frames::intra_frame(cells);
    frame.resize(frame.size() + 17, 0xEE);
    output_buffer out(ctx.output_size());
    EXPECT_EQ(frames::decode_intra(ctx, out, frame), frame_fault::none);
    EXPECT_EQ(frames::reference_of(ctx), cells);
    EXPECT_EQ(out.contents(), frames::render(cells, 8, 2, false));
}

// Every level and output, plain and streamed, at every offset from a cache line:
// lines of a few bytes, and lines of many cache lines, both lines of a row at
// the same place in a cache line (width 1024) or not.
TEST(Intra, OutputNeedNotBeAligned) {
    std::mt19937 rng(17);
    for (const int w : {24, 1024, 1032}) {
        const int h = 4;
        const bytes cells = frames::random_bytes(rng, size_t(w * h * 3 / 2));
        for (uint32_t compression : {compression_yuy2, compression_rgb32, compression_i420}) {
            const bytes want = compression == compression_i420
                                   ? frames::i420_of_yuy2(frames::render(cells, w, h, false), w, h)
                                   : frames::render(cells, w, h, compression == compression_rgb32);
            for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
                for (bool streamed : {false, true}) {
                    for (size_t offset = 0; offset < 64; ++offset) {
                        DecoderContext ctx;
                        ctx.m_kernel_mask = level.mask;
                        ASSERT_TRUE(ctx.setup(w, h, 2, compression));
                        ctx.m_stream_output = streamed;
                        output_buffer out(ctx.output_size(), offset, 0x33);
                        EXPECT_EQ(frames::decode_intra(ctx, out, frames::intra_frame(cells)), frame_fault::none);
                        ASSERT_EQ(out.contents(), want) << level.name << " streamed " << streamed << " offset " << offset;
                        ASSERT_TRUE(out.guards_intact()) << level.name << " streamed " << streamed << " offset " << offset;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace ruv
