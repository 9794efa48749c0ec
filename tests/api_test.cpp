// The public C API: what it refuses, and that every output format, stride and
// row order, at every kernel level, shows the pictures the decoder's packed YUY2
// output shows for the same writer streams.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "frame_builders.h"
#include "ruv/ruv.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace ruv {
namespace {

using frames::bytes;

bytes header_of(int32_t width, int32_t height, uint32_t mode) {
    InputFormat f;
    f.width = width;
    f.height = height;
    f.coding_mode = mode;
    bytes h(80);
    f.serialize(h.data());
    return h;
}

TEST(Api, HeadersAreCheckedWithAReason) {
    struct row {
        int32_t width, height;
        uint32_t mode;
        size_t length;
        int status;
    } rows[] = {
        {64, 32, 3, 80, RUV_OK},          {60, 20, 0, 80, RUV_OK},         {64, 32, 3, 81, RUV_OK},
        {64, 32, 3, 79, RUV_ERR_HEADER_LENGTH}, {64, 32, 5, 80, RUV_ERR_CODING_MODE}, {0, 32, 3, 80, RUV_ERR_SIZE},
        {64, -32, 3, 80, RUV_ERR_SIZE},   {60, 20, 1, 80, RUV_ERR_WIDTH_GRID}, {62, 20, 0, 80, RUV_ERR_WIDTH_GRID},
        {64, 31, 3, 80, RUV_ERR_HEIGHT_ODD}, {65536, 32768, 3, 80, RUV_ERR_TOO_LARGE},
    };
    for (const row& r : rows) {
        bytes h = header_of(r.width, r.height, r.mode);
        h.resize(r.length, 0);
        ruv_stream_info info{};
        EXPECT_EQ(ruv_parse_header(h.data(), h.size(), &info), r.status) << r.width << "x" << r.height << " " << r.mode;
        if (r.length >= 80) {
            EXPECT_EQ(info.width, r.width);
        }
    }
    bytes h = header_of(64, 32, 3);
    h[0] = 40;
    ruv_stream_info info{};
    EXPECT_EQ(ruv_parse_header(h.data(), 80, &info), RUV_ERR_HEADER_SIZE);
    h = header_of(64, 32, 3);
    h[40] = 102;   // codec_version
    EXPECT_EQ(ruv_parse_header(h.data(), 80, &info), RUV_ERR_CODEC_VERSION);
    EXPECT_EQ(ruv_parse_header(nullptr, 80, &info), RUV_ERR_ARGUMENT);
    EXPECT_EQ(ruv_parse_header(h.data(), 80, nullptr), RUV_ERR_ARGUMENT);
    for (int status = 0; status >= -15; --status) EXPECT_NE(ruv_strerror(status), nullptr);
    EXPECT_STREQ(ruv_version(), RUV_VERSION_STRING);
    EXPECT_STREQ(ruv_kernels_name(RUV_KERNELS_SCALAR), "scalar");
    EXPECT_STREQ(ruv_kernels_name(ruv_kernels_available()), kernel_level_name(kernels_all));
    EXPECT_EQ(ruv_kernels_name(RUV_KERNELS_ANY), nullptr);
}

TEST(Api, BadCallsAreRefusedAndWriteNothing) {
    const ruv_stream_info info{64, 32, 101, 3};
    ruv_decoder* d = reinterpret_cast<ruv_decoder*>(1);
    EXPECT_EQ(ruv_decoder_open(nullptr, nullptr, &d), RUV_ERR_ARGUMENT);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(ruv_decoder_open(&info, nullptr, nullptr), RUV_ERR_ARGUMENT);
    ruv_decoder_settings s;
    ruv_default_settings(&s);
    s.format = ruv_pixel_format(3);
    EXPECT_EQ(ruv_decoder_open(&info, &s, &d), RUV_ERR_PIXEL_FORMAT);
    const ruv_stream_info odd{64, 31, 101, 3};
    EXPECT_EQ(ruv_decoder_open(&odd, nullptr, &d), RUV_ERR_HEIGHT_ODD);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(ruv_intra_frame_size(&odd), 0u);
    EXPECT_EQ(ruv_intra_frame_size(nullptr), 0u);
    EXPECT_EQ(ruv_intra_frame_size(&info), 4u + 64 * 32 * 3 / 2);

    ASSERT_EQ(ruv_decoder_open(&info, nullptr, &d), RUV_OK);
    bytes y(64 * 32, 0x77), u(32 * 16, 0x77), v(32 * 16, 0x77);
    const bytes untouched = y;
    const uint8_t frame[4] = {};
    ruv_frame_result result{};
    const ruv_picture good{{y.data(), u.data(), v.data()}, {64, 32, 32}};
    struct call {
        ruv_picture picture;
        const void* frame;
        size_t length;
        int status;
    } calls[] = {
        {{{nullptr, u.data(), v.data()}, {64, 32, 32}}, frame, 4, RUV_ERR_PICTURE},
        {{{y.data(), u.data(), nullptr}, {64, 32, 32}}, frame, 4, RUV_ERR_PICTURE},
        {{{y.data(), u.data(), v.data()}, {63, 32, 32}}, frame, 4, RUV_ERR_PICTURE},
        {{{y.data(), u.data(), v.data()}, {64, -31, 32}}, frame, 4, RUV_ERR_PICTURE},
        {{{y.data(), u.data(), v.data()}, {64, 32, 0}}, frame, 4, RUV_ERR_PICTURE},
        {good, nullptr, 4, RUV_ERR_FRAME},
    };
    for (const call& c : calls) {
        EXPECT_EQ(ruv_decode(d, c.frame, c.length, 1, &c.picture, &result), c.status);
        EXPECT_EQ(y, untouched);
    }
    EXPECT_EQ(ruv_decode(nullptr, frame, 4, 1, &good, &result), RUV_ERR_ARGUMENT);
    EXPECT_EQ(ruv_decode(d, nullptr, 0, RUV_FRAME_LENGTH_UNKNOWN, &good, &result), RUV_ERR_FRAME);
    EXPECT_EQ(ruv_frame_is_delta(nullptr, frame, 4, 0), RUV_ERR_ARGUMENT);
    EXPECT_EQ(ruv_frame_is_delta(&info, nullptr, 4, 0), RUV_ERR_FRAME);
    // Empty and short frames are frames: decoded as far as they go, with a fault.
    EXPECT_EQ(ruv_decode(d, nullptr, 0, 1, &good, &result), RUV_OK);
    EXPECT_NE(result.fault, 0);
    EXPECT_EQ(ruv_decode(d, frame, 4, 0, &good, nullptr), RUV_OK);
    EXPECT_STRNE(ruv_fault_text(result.fault), ruv_fault_text(0));
    ruv_decoder_close(d);
    ruv_decoder_close(nullptr);
    ruv_decoder_reset(nullptr);

    ruv_picture p;
    bytes small(64 * 32 * 3 / 2 - 1);
    EXPECT_EQ(ruv_picture_packed(&p, &info, RUV_PIXEL_I420, small.data(), small.size(), 0), RUV_ERR_BUFFER);
    EXPECT_EQ(ruv_picture_packed(&p, &info, RUV_PIXEL_I420, small.data(), small.size() + 1, 0), RUV_OK);
    EXPECT_EQ(ruv_picture_packed(&p, &info, RUV_PIXEL_RGB32, small.data(), small.size() + 1, 1), RUV_ERR_BUFFER);
    EXPECT_EQ(ruv_picture_packed(nullptr, &info, RUV_PIXEL_I420, small.data(), small.size(), 0), RUV_ERR_ARGUMENT);
}

// A writer stream: greedy frames of a moving picture, a key frame every `key`,
// every fourth delta frame of random codes.
std::vector<encoded_frame> stream_of(int32_t width, int32_t height, uint32_t mode, uint32_t key, int count) {
    stream_writer w;
    w.setup(width, height, mode, key);
    std::vector<encoded_frame> frames;
    for (int t = 0; t < count; ++t) {
        frames.push_back(mode != 0 && t % 4 == 3 ? w.write_random_delta(uint64_t(t))
                                                 : w.write_frame(synthetic_picture(width, height, uint32_t(t)), 3));
    }
    return frames;
}

// The planes of one picture at given strides, with guard bytes around each row.
struct strided_picture {
    bytes block[3];
    ruv_picture picture{};
    size_t row_bytes[3] = {}, rows[3] = {}, pad = 0;
    strided_picture(const ruv_stream_info& info, ruv_pixel_format format, size_t padding, bool bottom_up) : pad(padding) {
        const size_t w = size_t(info.width), h = size_t(info.height);
        const int planes = format == RUV_PIXEL_I420 ? 3 : 1;
        for (int p = 0; p < planes; ++p) {
            row_bytes[p] = format == RUV_PIXEL_I420 ? (p ? w / 2 : w) : w * (format == RUV_PIXEL_RGB32 ? 4 : 2);
            rows[p] = p ? h / 2 : h;
            const size_t stride = row_bytes[p] + pad;
            block[p].assign(stride * rows[p], 0xC3);
            picture.data[p] = block[p].data() + (bottom_up ? stride * (rows[p] - 1) : 0);
            picture.stride[p] = bottom_up ? -ptrdiff_t(stride) : ptrdiff_t(stride);
        }
    }
    // Row r (from the top) of plane p.
    const uint8_t* row(int p, size_t r) const { return picture.data[p] + ptrdiff_t(r) * picture.stride[p]; }
    bool padding_intact() const {
        for (int p = 0; p < 3; ++p)
            for (size_t r = 0; r < rows[p]; ++r)
                for (size_t i = row_bytes[p]; i < row_bytes[p] + pad; ++i)
                    if (row(p, r)[i] != 0xC3) return false;
        return true;
    }
};

// Every format at every level, packed and strided, top-down and bottom-up,
// against the decoder's packed output; I420 against the samples YUY2 carries.
TEST(Api, EveryFormatStrideAndLevelShowsTheDecodersPictures) {
    struct stream_case {
        int32_t width, height;
        uint32_t mode, key;
    } streams[] = {{72, 10, 0, 1}, {40, 6, 1, 30}, {48, 14, 2, 3}, {136, 18, 3, 30}, {24, 2, 4, 1}, {264, 22, 3, 4}};
    for (const stream_case& sc : streams) {
        const std::vector<encoded_frame> frames = stream_of(sc.width, sc.height, sc.mode, sc.key, 9);
        const ruv_stream_info info{sc.width, sc.height, 101, sc.mode};
        DecoderContext yuy2, rgb32;
        ASSERT_TRUE(yuy2.setup(sc.width, sc.height, sc.mode, compression_yuy2));
        ASSERT_TRUE(rgb32.setup(sc.width, sc.height, sc.mode, compression_rgb32));
        std::vector<bytes> want_yuy2, want_rgb32;
        for (const encoded_frame& f : frames) {
            bytes a(yuy2.output_size()), b(rgb32.output_size());
            const bool delta = decodes_as_delta(sc.width, sc.height, sc.mode, !f.key, f.bytes.data(), f.bytes.size());
            delta ? yuy2.decode_delta(a.data(), f.bytes.data(), f.bytes.size())
                  : yuy2.decode_intra(a.data(), f.bytes.data(), f.bytes.size());
            delta ? rgb32.decode_delta(b.data(), f.bytes.data(), f.bytes.size())
                  : rgb32.decode_intra(b.data(), f.bytes.data(), f.bytes.size());
            want_yuy2.push_back(a), want_rgb32.push_back(b);
        }
        const size_t w = size_t(sc.width), h = size_t(sc.height);
        for (ruv_kernel_level level : {RUV_KERNELS_SCALAR, RUV_KERNELS_SSE2, RUV_KERNELS_AVX2, RUV_KERNELS_AVX512}) {
            for (ruv_pixel_format format : {RUV_PIXEL_I420, RUV_PIXEL_YUY2, RUV_PIXEL_RGB32}) {
                for (size_t pad : {size_t(0), size_t(13), size_t(64)}) {
                    for (bool bottom_up : {false, true}) {
                        const ruv_decoder_settings settings{format, level};
                        ruv_decoder* d = nullptr;
                        ASSERT_EQ(ruv_decoder_open(&info, &settings, &d), RUV_OK);
                        strided_picture out(info, format, pad, bottom_up);
                        for (size_t n = 0; n < frames.size(); ++n) {
                            ruv_frame_result result{};
                            ASSERT_EQ(ruv_decode(d, frames[n].bytes.data(), frames[n].bytes.size(), frames[n].key,
                                                 &out.picture, &result), RUV_OK);
                            ASSERT_EQ(result.fault, 0);
                            ASSERT_EQ(result.delta, frames[n].key ? 0 : 1);
                            ASSERT_EQ(ruv_frame_is_delta(&info, frames[n].bytes.data(), frames[n].bytes.size(),
                                                         frames[n].key),
                                      result.delta);
                            const std::string where = std::to_string(sc.width) + "x" + std::to_string(sc.height) +
                                                      " mode " + std::to_string(sc.mode) + " level " +
                                                      std::to_string(level) + " format " + std::to_string(format) +
                                                      " pad " + std::to_string(pad) + " bottom-up " +
                                                      std::to_string(bottom_up) + " frame " + std::to_string(n);
                            for (size_t r = 0; r < h; ++r) {
                                const uint8_t* yuy2_row = want_yuy2[n].data() + r * 2 * w;
                                if (format == RUV_PIXEL_RGB32) {
                                    // The packed RGB32 output runs bottom-up.
                                    const uint8_t* want = want_rgb32[n].data() + (h - 1 - r) * 4 * w;
                                    ASSERT_EQ(std::memcmp(out.row(0, r), want, 4 * w), 0) << where << " row " << r;
                                } else if (format == RUV_PIXEL_YUY2) {
                                    ASSERT_EQ(std::memcmp(out.row(0, r), yuy2_row, 2 * w), 0) << where << " row " << r;
                                } else {
                                    for (size_t x = 0; x < w; ++x) ASSERT_EQ(out.row(0, r)[x], yuy2_row[2 * x]) << where;
                                    for (size_t x = 0; r % 2 == 0 && x < w / 2; ++x) {
                                        ASSERT_EQ(out.row(1, r / 2)[x], yuy2_row[4 * x + 1]) << where;
                                        ASSERT_EQ(out.row(2, r / 2)[x], yuy2_row[4 * x + 3]) << where;
                                    }
                                }
                            }
                            ASSERT_TRUE(out.padding_intact()) << where;
                        }
                        ruv_decoder_close(d);
                    }
                }
            }
        }
    }
}

// Frames decoded with no picture keep the reference as a full decode does, as
// do frames of unknown length; a reset decoder decodes as a new one.
TEST(Api, DecodingWithoutAPictureAndResetKeepTheReference) {
    const std::vector<encoded_frame> frames = stream_of(64, 16, 3, 30, 12);
    const ruv_stream_info info{64, 16, 101, 3};
    ruv_decoder *full = nullptr, *dropping = nullptr;
    ASSERT_EQ(ruv_decoder_open(&info, nullptr, &full), RUV_OK);
    ASSERT_EQ(ruv_decoder_open(&info, nullptr, &dropping), RUV_OK);
    bytes a(64 * 16 * 3 / 2), b(a.size());
    ruv_picture pa, pb;
    ASSERT_EQ(ruv_picture_packed(&pa, &info, RUV_PIXEL_I420, a.data(), a.size(), 0), RUV_OK);
    ASSERT_EQ(ruv_picture_packed(&pb, &info, RUV_PIXEL_I420, b.data(), b.size(), 0), RUV_OK);
    for (size_t n = 0; n < frames.size(); ++n) {
        const encoded_frame& f = frames[n];
        ASSERT_EQ(ruv_decode(full, f.bytes.data(), f.bytes.size(), f.key, &pa, nullptr), RUV_OK);
        const bool shown = n % 3 == 0;
        ASSERT_EQ(ruv_decode(dropping, f.bytes.data(), f.bytes.size(), f.key, shown ? &pb : nullptr, nullptr), RUV_OK);
        if (shown) {
            ASSERT_EQ(a, b) << "frame " << n;
        }
    }
    // A host that does not know the frames' lengths, with buffers as long as a
    // frame of each kind can be: the key flags route, the pictures are the same.
    ruv_decoder* unknown = nullptr;
    ASSERT_EQ(ruv_decoder_open(&info, nullptr, &unknown), RUV_OK);
    for (const encoded_frame& f : frames) {
        bytes padded = f.bytes;
        padded.resize(f.key ? intra_frame_size(64, 16) : max_delta_frame_size(64, 16, 3), 0);
        ASSERT_EQ(ruv_decode(full, f.bytes.data(), f.bytes.size(), f.key, &pa, nullptr), RUV_OK);
        ruv_frame_result r{};
        ASSERT_EQ(ruv_decode(unknown, padded.data(), 0, RUV_FRAME_LENGTH_UNKNOWN | (f.key ? RUV_FRAME_KEY : 0), &pb, &r),
                  RUV_OK);
        EXPECT_EQ(r.delta, f.key ? 0 : 1);
        EXPECT_EQ(a, b);
    }
    ruv_decoder_close(unknown);

    ruv_decoder* fresh = nullptr;
    ASSERT_EQ(ruv_decoder_open(&info, nullptr, &fresh), RUV_OK);
    ruv_decoder_reset(full);
    ASSERT_EQ(ruv_decode(full, frames[1].bytes.data(), frames[1].bytes.size(), 0, &pa, nullptr), RUV_OK);
    ASSERT_EQ(ruv_decode(fresh, frames[1].bytes.data(), frames[1].bytes.size(), 0, &pb, nullptr), RUV_OK);
    EXPECT_EQ(a, b);
    ruv_decoder_close(full);
    ruv_decoder_close(dropping);
    ruv_decoder_close(fresh);
}

}  // namespace
}  // namespace ruv
