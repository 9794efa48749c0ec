// The test-stream writer against the decoder: every frame it writes must decode to
// exactly the reference picture, output and mode table the writer tracked.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "decoder.h"
#include "input_format.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace ruv {
namespace {

using bytes = std::vector<uint8_t>;

// Packs cell pairs as YUY2, rows top-down: cell row k lands in rows H-2-2k (upper
// line) and H-1-2k (lower line), each cell pair as 8 bytes a line.
bytes yuy2_of_cells(const bytes& cells, int32_t width, int32_t height) {
    bytes out(size_t(width) * size_t(height) * 2);
    const size_t stride = size_t(width) * 2;
    const size_t pairs = size_t(width) / 4;
    for (size_t k = 0; k < size_t(height) / 2; ++k) {
        uint8_t* upper = out.data() + (size_t(height) - 2 - 2 * k) * stride;
        uint8_t* lower = upper + stride;
        for (size_t j = 0; j < pairs; ++j) {
            const uint8_t* c = cells.data() + 12 * (k * pairs + j);
            const uint8_t up[8] = {c[0], c[8], c[1], c[9], c[4], c[10], c[5], c[11]};
            const uint8_t low[8] = {c[2], c[8], c[3], c[9], c[6], c[10], c[7], c[11]};
            std::memcpy(upper + 8 * j, up, 8);
            std::memcpy(lower + 8 * j, low, 8);
        }
    }
    return out;
}

bytes ref_frame_of(const DecoderContext& ctx) {
    return bytes(ctx.m_ref_frame, ctx.m_ref_frame + size_t(ctx.m_width) * size_t(ctx.m_height) * 3 / 2);
}

// Decodes each frame the writer produces into YUY2 and RGB32 and checks the
// decoder's state against the writer's.
struct decoder_pair {
    DecoderContext yuy2;
    DecoderContext rgb;
    bytes yuy2_out;
    bytes rgb_out;

    void setup(const stream_writer& w) {
        ASSERT_TRUE(yuy2.setup(w.m_width, w.m_height, w.m_coding_mode, compression_yuy2));
        ASSERT_TRUE(rgb.setup(w.m_width, w.m_height, w.m_coding_mode, compression_rgb32));
        yuy2_out.assign(yuy2.output_size(), 0);
        rgb_out.assign(rgb.output_size(), 0);
    }

    void decode_and_check(const stream_writer& w, const encoded_frame& f) {
        const auto decode = [&](DecoderContext& ctx, bytes& out) {
            return f.key ? ctx.decode_intra(out.data(), f.bytes.data(), f.bytes.size())
                         : ctx.decode_delta(out.data(), f.bytes.data(), f.bytes.size());
        };
        ASSERT_EQ(decode(yuy2, yuy2_out), frame_fault::none);
        ASSERT_EQ(decode(rgb, rgb_out), frame_fault::none);
        EXPECT_EQ(yuy2_out, yuy2_of_cells(w.shown_cells(), w.m_width, w.m_height));
        if (w.m_coding_mode == 0) return;
        EXPECT_EQ(ref_frame_of(yuy2), w.stored_cells());
        EXPECT_EQ(ref_frame_of(rgb), w.stored_cells());
        if (!f.key) {
            EXPECT_EQ(bytes(yuy2.m_table_opt, yuy2.m_table_opt + w.block_count() * 4), w.m_table_opt);
        }
    }
};

int max_error(const bytes& a, const bytes& b) {
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

TEST(PictureCells, LayoutAndRoundTrip) {
    // A 4x2 picture is one cell pair: upper row, lower row, then U V per cell.
    picture p = picture::filled(4, 2);
    p.y = {0x10, 0x20, 0x50, 0x60, 0x30, 0x40, 0x70, 0x80};
    p.u = {0x90, 0xB0};
    p.v = {0xA0, 0xC0};
    EXPECT_EQ(p.to_cells(), (bytes{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0}));

    // 8x4: the bottom two rows are cell row 0; the top rows come last.
    picture q = picture::filled(8, 4);
    q.luma(0, 2) = 1;
    q.luma(7, 3) = 2;
    q.luma(0, 0) = 3;
    q.u[0] = 4;   // chroma row 0 is the top of the picture
    const bytes cells = q.to_cells();
    EXPECT_EQ(cells[0], 1);
    EXPECT_EQ(cells[12 + 7], 2);
    EXPECT_EQ(cells[24], 3);
    EXPECT_EQ(cells[24 + 8], 4);

    const picture r = random_picture(24, 10, 7);
    const picture back = picture::from_cells(r.to_cells().data(), 24, 10);
    EXPECT_EQ(back.y, r.y);
    EXPECT_EQ(back.u, r.u);
    EXPECT_EQ(back.v, r.v);
}

TEST(StreamWriter, SetupHeaderAndKeyPolicy) {
    stream_writer w;
    EXPECT_FALSE(w.setup(12, 4, 1));   // delta modes need a width that is a multiple of 8
    EXPECT_FALSE(w.setup(16, 3, 0));
    EXPECT_FALSE(w.setup(16, 4, 5));
    EXPECT_TRUE(w.setup(12, 4, 0));

    ASSERT_TRUE(w.setup(320, 240, 2, 3));
    InputFormat format;
    const bytes header = w.input_format_bytes();
    ASSERT_EQ(header.size(), 80u);
    ASSERT_TRUE(format.parse(header.data(), header.size()));
    EXPECT_EQ(format.bi_size, 80u);
    EXPECT_EQ(format.compression, fourcc_ruv1);
    EXPECT_EQ(format.codec_version, 101u);
    EXPECT_EQ(format.coding_mode, 2u);
    EXPECT_EQ(format.size_image, 115204u);
    EXPECT_TRUE(format.decodable());

    EXPECT_TRUE(w.is_key_frame(0));
    EXPECT_FALSE(w.is_key_frame(1));
    EXPECT_TRUE(w.is_key_frame(3));
    w.m_key_interval = 0;
    EXPECT_FALSE(w.is_key_frame(3));
    ASSERT_TRUE(w.setup(16, 2, 0, 0));
    EXPECT_TRUE(w.is_key_frame(5));

    // Pictures of another size, or with planes that do not match theirs, are refused.
    ASSERT_TRUE(w.setup(16, 2, 1));
    EXPECT_TRUE(w.write_intra(picture::filled(16, 4)).bytes.empty());
    picture torn = picture::filled(16, 2);
    torn.u.pop_back();
    EXPECT_TRUE(w.write_frame(torn, 0).bytes.empty());
    EXPECT_EQ(w.m_frames_written, 0u);

    // A delta frame with no reference yet becomes an intra frame.
    ASSERT_TRUE(w.setup(16, 2, 3));
    EXPECT_TRUE(w.write_delta(synthetic_picture(16, 2, 0), 0).key);
    EXPECT_FALSE(w.write_delta(synthetic_picture(16, 2, 1), 0).key);
}

TEST(StreamWriter, WorkedFrames) {
    stream_writer w;
    encoded_frame f;

    // Coding mode 1, one block, only the luma of cell 0 literal.
    ASSERT_TRUE(w.setup(8, 2, 1));
    w.write_intra(picture::filled(8, 2));
    ASSERT_TRUE(w.write_coded_delta({1, 0, 0, 0, 0, 0}, {1, 2, 3, 4}, f));
    EXPECT_EQ(f.bytes, (bytes{0x09, 0, 0, 0, 1, 2, 3, 4, 0x20}));
    EXPECT_EQ(w.m_table_opt, (bytes{0x08, 0, 0, 0}));

    // Coding mode 2: codes 3, 2, 1, 0, 2, 3 give the record 4B 0E after 10 payload bytes.
    ASSERT_TRUE(w.setup(8, 2, 2));
    w.write_intra(picture::filled(8, 2));
    ASSERT_TRUE(w.write_coded_delta({3, 2, 1, 0, 2, 3}, bytes(10, 0), f));
    ASSERT_EQ(f.bytes.size(), 16u);
    EXPECT_EQ(f.bytes[0], 16);
    EXPECT_EQ(f.bytes[14], 0x4B);
    EXPECT_EQ(f.bytes[15], 0x0E);
    EXPECT_EQ(w.m_table_opt, (bytes{0x1A, 0x01, 0x02, 0x03}));

    // Coding mode 3, one block against a known reference.
    ASSERT_TRUE(w.setup(8, 2, 3));
    const bytes before = {0x0A, 0x14, 0x1E, 0x28, 0x32, 0x3C, 0x46, 0x50, 0x80, 0x80, 0x80, 0x80,
                          0x64, 0x64, 0x64, 0x64, 0xC8, 0xC8, 0xC8, 0xC8, 0x90, 0x70, 0xA0, 0x60};
    w.write_intra(picture::from_cells(before.data(), 8, 2));
    ASSERT_TRUE(w.write_coded_delta({3, 4, 0, 1, 6, 2}, {0x21, 0xF3, 0x11, 0x22, 0x33, 0x44, 0x1B, 0xE4}, f));
    EXPECT_EQ(f.bytes, (bytes{0x0C, 0, 0, 0, 0x21, 0xF3, 0x11, 0x22, 0x33, 0x44, 0x1B, 0xE4, 0x07, 0, 0, 0,
                              0x1C, 0x0E, 0x82}));
    EXPECT_EQ(w.stored_cells(), (bytes{0x12, 0x2C, 0x2E, 0x20, 0x12, 0x12, 0x12, 0x12, 0x80, 0x80, 0x80, 0x80,
                                       0x11, 0x22, 0x33, 0x44, 0x0D, 0x09, 0x15, 0x11, 0x90, 0x74, 0x98, 0x5C}));
    EXPECT_EQ(yuy2_of_cells(w.shown_cells(), 8, 2),
              (bytes{0x12, 0x80, 0x2C, 0x80, 0x12, 0x80, 0x12, 0x80, 0x11, 0x90, 0x22, 0x74, 0x0D, 0x98, 0x09, 0x5C,
                     0x2E, 0x80, 0x20, 0x80, 0x12, 0x80, 0x12, 0x80, 0x33, 0x90, 0x44, 0x74, 0x15, 0x98, 0x11, 0x5C}));

    // Wrapped sums: DELTA4 on 250, 3, 10, 128 with 87 1F stores 50, 251, 202, 136
    // and shows 255, 0, 0, 136.
    const bytes base = {250, 3, 10, 128, 0, 0, 0, 0, 128, 128, 128, 128,
                        0, 0, 0, 0, 0, 0, 0, 0, 128, 128, 128, 128};
    w.write_intra(picture::from_cells(base.data(), 8, 2));
    ASSERT_TRUE(w.write_coded_delta({3, 0, 0, 0, 0, 0}, {0x87, 0x1F}, f));
    EXPECT_EQ(bytes(w.stored_cells().begin(), w.stored_cells().begin() + 4), (bytes{50, 251, 202, 136}));
    EXPECT_EQ(bytes(w.shown_cells().begin(), w.shown_cells().begin() + 4), (bytes{255, 0, 0, 136}));

    // Codes the coding mode cannot express, or a payload that does not fit them.
    ASSERT_TRUE(w.setup(8, 2, 2));
    w.write_intra(picture::filled(8, 2));
    EXPECT_FALSE(w.write_coded_delta({4, 0, 0, 0, 0, 0}, {}, f));
    EXPECT_FALSE(w.write_coded_delta({1, 0, 0, 0, 0, 0}, {1, 2, 3}, f));
    EXPECT_FALSE(w.write_coded_delta({0, 0, 0, 0, 0}, {}, f));
}

TEST(StreamWriter, UnchangedPictureKeepsEverything) {
    stream_writer w;
    ASSERT_TRUE(w.setup(160, 32, 3));
    decoder_pair d;
    d.setup(w);
    const picture p = synthetic_picture(160, 32, 4);
    d.decode_and_check(w, w.write_intra(p));
    const encoded_frame f = w.write_delta(p, 0);
    // No payload; 640 luma entries in runs of 256, 256 and 128 (count byte 0 for
    // 256), 320 chroma entries in runs of 256 and 64.
    EXPECT_EQ(f.bytes, (bytes{4, 0, 0, 0, 14, 0, 0, 0, 0x40, 0, 0x40, 0, 0x40, 128, 0xC0, 0, 0xC0, 64}));
    d.decode_and_check(w, f);
}

// Near the top of the range: within a tolerance the writer keeps sums in 0..255,
// so the reference holds what is shown; exactness may need a wrapped sum.
TEST(StreamWriter, GreedyPrefersSumsThatDoNotWrap) {
    for (int tolerance : {1, 0}) {
        stream_writer w;
        ASSERT_TRUE(w.setup(8, 2, 2));
        decoder_pair d;
        d.setup(w);
        d.decode_and_check(w, w.write_intra(picture::filled(8, 2, 250)));
        const encoded_frame f = w.write_delta(picture::filled(8, 2, 255), tolerance);
        d.decode_and_check(w, f);
        // DELTA4 (steps of 4) beats LITERAL either way: +4 shows 254, +8 shows 255.
        EXPECT_EQ(f.bytes.size(), 4u + 4 * 2 + 2);
        EXPECT_EQ(w.stored_cells()[0], tolerance == 1 ? 254 : 2);
        EXPECT_EQ(w.shown_cells()[0], tolerance == 1 ? 254 : 255);
    }
}

// KEEP and LEFT cost nothing; the writer takes the one nearer the target.
TEST(StreamWriter, GreedyTakesTheSmallestErrorAmongEqualCosts) {
    stream_writer w;
    ASSERT_TRUE(w.setup(8, 2, 3));
    picture before = picture::filled(8, 2, 50);
    picture target = picture::filled(8, 2, 50);
    for (int32_t row = 0; row < 2; ++row) {
        before.luma(2, row) = before.luma(3, row) = 60;
        target.luma(2, row) = target.luma(3, row) = 52;
    }
    w.write_intra(before);
    const encoded_frame f = w.write_delta(target, 10);
    EXPECT_EQ(f.bytes.size(), 4u + 4 + 3);   // no payload; table 04 00 80 (cell 1 LEFT)
    EXPECT_EQ(w.m_table_opt[0], 0x04);
    EXPECT_EQ(bytes(w.shown_cells().begin() + 4, w.shown_cells().begin() + 8), bytes(4, 50));
}

// Synthetic streams of every coding mode, exact and within a tolerance, decoded
// to YUY2 and RGB32 and compared with the writer's reconstruction.
TEST(StreamWriter, SyntheticStreamsDecodeToTheWritersPictures) {
    const int32_t width = 48;
    const int32_t height = 20;
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        for (int tolerance : {0, 5}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " tolerance " << tolerance);
            stream_writer w;
            ASSERT_TRUE(w.setup(width, height, mode, 4));
            decoder_pair d;
            d.setup(w);
            for (uint32_t t = 0; t < 10; ++t) {
                const picture target = synthetic_picture(width, height, t);
                const encoded_frame f = w.write_frame(target, tolerance);
                EXPECT_EQ(f.key, mode == 0 || t % 4 == 0);
                d.decode_and_check(w, f);
                EXPECT_LE(max_error(w.shown_cells(), target.to_cells()), tolerance);
            }
        }
    }
}

// Random codes and payload reach every code, wrapped sums and predictors across
// cell rows; run-length tables come with split runs and interleaved kinds.
TEST(StreamWriter, RandomCodeStreamsDecodeToTheWritersPictures) {
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        stream_writer w;
        ASSERT_TRUE(w.setup(32, 12, mode));
        decoder_pair d;
        d.setup(w);
        d.decode_and_check(w, w.write_intra(random_picture(32, 12, mode)));
        bool wrapped = false;
        for (uint64_t seed = 1; seed <= 12; ++seed) {
            d.decode_and_check(w, w.write_random_delta(seed * 977 + mode));
            wrapped = wrapped || w.stored_cells() != w.shown_cells();
            // Greedy frames must follow on from whatever the random ones left.
            if (seed % 4 == 0) d.decode_and_check(w, w.write_delta(synthetic_picture(32, 12, uint32_t(seed)), 0));
        }
        EXPECT_EQ(wrapped, mode != 1);
    }
}

TEST(StreamWriter, CodingModesThreeAndFourWriteTheSameFrames) {
    stream_writer a;
    stream_writer b;
    ASSERT_TRUE(a.setup(32, 8, 3));
    ASSERT_TRUE(b.setup(32, 8, 4));
    for (uint32_t t = 0; t < 5; ++t) {
        const picture p = synthetic_picture(32, 8, t);
        EXPECT_EQ(a.write_frame(p, 3).bytes, b.write_frame(p, 3).bytes);
    }
}

// For a slowly moving picture the greedy choice beats literal blocks: exact
// frames where the deltas reach, much more so within a small tolerance.
TEST(StreamWriter, GreedyFramesAreSmallerThanLiteral) {
    const int32_t width = 64;
    const int32_t height = 32;
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        for (int tolerance : {0, 4}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " tolerance " << tolerance);
            stream_writer w;
            ASSERT_TRUE(w.setup(width, height, mode, 0));
            const size_t record = mode == 1 ? 1 : mode == 2 ? 2 : 0;
            const size_t literal_size = 4 + w.block_count() * (24 + record) + (mode >= 3 ? 10 : 0);
            size_t greedy = 0;
            w.write_frame(synthetic_picture(width, height, 0), tolerance);
            for (uint32_t t = 1; t <= 5; ++t) {
                greedy += w.write_frame(synthetic_picture(width, height, t), tolerance).bytes.size();
            }
            const size_t percent = tolerance == 0 ? (mode <= 2 ? 90 : 70) : 60;
            EXPECT_LT(greedy * 100, 5 * literal_size * percent);
        }
    }
}

}  // namespace
}  // namespace ruv
