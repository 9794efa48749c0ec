// Codec instances: opening, the info record, format negotiation, the states, the
// routing of frames, and whole writer streams against the portable decoder.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "codec_fixtures.h"
#include "driver.h"

namespace ruv::codec_test {
namespace {

struct instance_ptr {
    CodecInstance* p = open_instance(nullptr);
    ~instance_ptr() {
        if (p) p->close_instance();
    }
    CodecInstance* operator->() const { return p; }
};

ICOPEN icopen_of(DWORD type) {
    ICOPEN o{};
    o.dwSize = sizeof o;
    o.fccType = type;
    o.fccHandler = mmioFOURCC('R', 'U', 'V', '1');
    o.dwFlags = ICMODE_DECOMPRESS;
    o.dwError = 12345;
    return o;
}

TEST(CodecInstance, OpenTakesVidcAndNullOnly) {
    ICOPEN vidc = icopen_of(ICTYPE_VIDEO);
    vidc.dwFlags = ICMODE_COMPRESS;   // not looked at
    CodecInstance* a = open_instance(&vidc);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(vidc.dwError, DWORD(ICERR_OK));
    EXPECT_FALSE(a->configured);
    EXPECT_EQ(a->output_compression, compression_rgb32);
    EXPECT_EQ(a->settings.get_rgb32_enabled(), 0);
    EXPECT_EQ(a->decoder, nullptr);
    a->close_instance();

    ICOPEN upper = icopen_of(mmioFOURCC('V', 'I', 'D', 'C'));
    EXPECT_EQ(open_instance(&upper), nullptr);
    EXPECT_EQ(upper.dwError, 12345u);
    ICOPEN audio = icopen_of(mmioFOURCC('a', 'u', 'd', 'c'));
    EXPECT_EQ(open_instance(&audio), nullptr);

    CodecInstance* b = open_instance(nullptr);
    ASSERT_NE(b, nullptr);
    b->close_instance();
}

TEST(CodecInstance, InfoRecord) {
    EXPECT_EQ(CodecInstance::get_info(nullptr, 0), 568);
    ICINFO info;
    std::memset(&info, 0xCD, sizeof info);
    EXPECT_EQ(CodecInstance::get_info(&info, 567), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&info)[0], 0xCD);
    EXPECT_EQ(CodecInstance::get_info(&info, 568), 568);
    EXPECT_EQ(info.dwSize, 568u);
    EXPECT_EQ(info.fccType, ICTYPE_VIDEO);
    EXPECT_EQ(info.fccHandler, mmioFOURCC('R', 'U', 'V', '1'));
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(info.dwVersion, 101u);
    EXPECT_EQ(info.dwVersionICM, DWORD(ICVERSION));
    EXPECT_EQ(std::wstring(info.szName), L"RuvDec");
    EXPECT_EQ(std::wstring(info.szDescription), L"RUV Decoder Ver1.01");
    EXPECT_EQ(reinterpret_cast<uint8_t*>(info.szDriver)[0], 0xCD);   // not written
}

// The query's answers for inputs and outputs, with both formats switched on.
TEST(CodecInstance, QueryTable) {
    struct query_case {
        const char* what;
        std::function<void(InputFormat&)> input;
        BITMAPINFOHEADER output;
        bool null_output;
        LRESULT result;
    };
    const auto keep = [](InputFormat&) {};
    const BITMAPINFOHEADER rgb = output_for(64, 32, compression_rgb32);
    const BITMAPINFOHEADER yuy2 = output_for(64, 32, compression_yuy2);
    const query_case cases[] = {
        {"RGB32", keep, rgb, false, ICERR_OK},
        {"YUY2", keep, yuy2, false, ICERR_OK},
        {"no output", keep, rgb, true, ICERR_OK},
        {"codec_version 101, coding_mode 4", [](InputFormat& f) { f.coding_mode = 4; }, rgb, false, ICERR_OK},
        {"biSize 40", [](InputFormat& f) { f.bi_size = 40; }, rgb, false, ICERR_BADFORMAT},
        {"biSize 40, no output", [](InputFormat& f) { f.bi_size = 40; }, rgb, true, ICERR_BADFORMAT},
        {"codec_version 102", [](InputFormat& f) { f.codec_version = 102; }, rgb, false, ICERR_BADFORMAT},
        {"coding_mode 5", [](InputFormat& f) { f.coding_mode = 5; }, rgb, false, ICERR_BADFORMAT},
        {"coding_mode all ones", [](InputFormat& f) { f.coding_mode = 0xFFFFFFFF; }, rgb, false, ICERR_BADFORMAT},
        {"negated output height", keep, output_for(64, -32, compression_rgb32), false, ICERR_BADFORMAT},
        {"other output width", keep, output_for(72, 32, compression_rgb32), false, ICERR_BADFORMAT},
        {"24-bit BI_RGB", keep, output_header(64, 32, compression_rgb32, 24), false, ICERR_BADFORMAT},
        {"32-bit YUY2", keep, output_header(64, 32, compression_yuy2, 32), false, ICERR_BADFORMAT},
        {"UYVY", keep, output_header(64, 32, mmioFOURCC('U', 'Y', 'V', 'Y'), 16), false, ICERR_BADFORMAT},
        // Sizes the decoder cannot take.
        {"width 0", [](InputFormat& f) { f.width = 0; }, rgb, true, ICERR_BADFORMAT},
        {"negative height", [](InputFormat& f) { f.height = -32; }, output_for(64, -32, compression_rgb32), false,
         ICERR_BADFORMAT},
        {"width off the grid", [](InputFormat& f) { f.width = 60; }, output_for(60, 32, compression_rgb32), false,
         ICERR_BADFORMAT},
        {"width 60, coding mode 0", [](InputFormat& f) { f.width = 60; f.coding_mode = 0; },
         output_for(60, 32, compression_rgb32), false, ICERR_OK},
        {"odd height", [](InputFormat& f) { f.height = 31; }, output_for(64, 31, compression_rgb32), false,
         ICERR_BADFORMAT},
        {"RGB32 picture of 4 GiB", [](InputFormat& f) { f.width = 65536; f.height = 16384; },
         output_for(65536, 16384, compression_rgb32), false, ICERR_BADFORMAT},
        {"buffers just below 4 GiB", [](InputFormat& f) { f.width = 32760; f.height = 32760; },
         output_for(32760, 32760, compression_rgb32), false, ICERR_OK},
    };
    set_profile("ON", "ON");
    instance_ptr i;
    for (const query_case& c : cases) {
        InputFormat f = test_stream::make(64, 32, 3, 0).format();
        c.input(f);
        stream_header in = stream_header::of(f);
        EXPECT_EQ(i->decompress_query(in.bih(), c.null_output ? nullptr : &c.output), c.result) << c.what;
    }
    EXPECT_EQ(i->decompress_query(nullptr, &rgb), ICERR_BADFORMAT);
}

// The switches are read again at every query: a format switched off is refused,
// while GET_FORMAT still proposes what the last BEGIN chose.
TEST(CodecInstance, SwitchedOffFormatsAndTheProposal) {
    stream_header in = stream_header::of(64, 32, 3);
    const BITMAPINFOHEADER rgb = output_for(64, 32, compression_rgb32);
    const BITMAPINFOHEADER yuy2 = output_for(64, 32, compression_yuy2);
    instance_ptr i;
    set_profile("OFF", "ON");
    EXPECT_EQ(i->decompress_query(in.bih(), &rgb), ICERR_BADFORMAT);
    EXPECT_EQ(i->decompress_query(in.bih(), &yuy2), ICERR_OK);
    EXPECT_EQ(i->decompress_begin(in.bih(), &rgb), ICERR_BADFORMAT);

    EXPECT_EQ(i->decompress_get_format(in.bih(), nullptr), 40);
    EXPECT_EQ(i->decompress_get_format(nullptr, nullptr), 40);
    in.bih()->biXPelsPerMeter = 77;
    BITMAPINFOHEADER proposed;
    std::memset(&proposed, 0xCD, sizeof proposed);
    set_profile("ON", "ON");
    ASSERT_EQ(i->decompress_get_format(in.bih(), &proposed), ICERR_OK);
    EXPECT_EQ(proposed.biSize, 40u);
    EXPECT_EQ(proposed.biWidth, 64);
    EXPECT_EQ(proposed.biHeight, 32);
    EXPECT_EQ(proposed.biPlanes, 1);
    EXPECT_EQ(proposed.biCompression, compression_rgb32);
    EXPECT_EQ(proposed.biBitCount, 32);
    EXPECT_EQ(proposed.biSizeImage, 64u * 32u * 4u);
    EXPECT_EQ(proposed.biXPelsPerMeter, 77);

    stream_header bad = stream_header::of(64, 32, 5);
    std::memset(&proposed, 0xCD, sizeof proposed);
    EXPECT_EQ(i->decompress_get_format(bad.bih(), &proposed), ICERR_BADFORMAT);
    EXPECT_EQ(proposed.biSize, 0xCDCDCDCDu);
    EXPECT_EQ(i->decompress_get_format(nullptr, &proposed), ICERR_BADFORMAT);
}

// Whatever the settings and the last BEGIN, the proposal is an output that the
// query and BEGIN take: the last BEGIN's while allowed, else the allowed one.
TEST(CodecInstance, TheProposalIsTaken) {
    const stream_header in = stream_header::of(64, 32, 3);
    struct row {
        const char *rgb32, *yuy2;
        uint32_t begun;      // the output of an earlier BEGIN (made with both allowed), or none
        LRESULT result;
        uint32_t proposed;
    } rows[] = {
        {"ON", "ON", 0xFFFFFFFF, ICERR_OK, compression_rgb32},
        {"ON", "ON", compression_yuy2, ICERR_OK, compression_yuy2},
        {"OFF", "ON", 0xFFFFFFFF, ICERR_OK, compression_yuy2},
        {"OFF", "ON", compression_rgb32, ICERR_OK, compression_yuy2},
        {"ON", "OFF", compression_yuy2, ICERR_OK, compression_rgb32},
        {"ON", "OFF", compression_rgb32, ICERR_OK, compression_rgb32},
        {"OFF", "OFF", 0xFFFFFFFF, ICERR_BADFORMAT, 0},
        {"OFF", "OFF", compression_yuy2, ICERR_BADFORMAT, 0},
    };
    for (const row& r : rows) {
        const std::string what = std::string(r.rgb32) + "/" + r.yuy2 + " after " + std::to_string(r.begun);
        instance_ptr i;
        if (r.begun != 0xFFFFFFFF) {
            set_profile("ON", "ON");
            const BITMAPINFOHEADER out = output_for(64, 32, r.begun);
            ASSERT_EQ(i->decompress_begin(in.bih(), &out), ICERR_OK) << what;
        }
        set_profile(r.rgb32, r.yuy2);
        BITMAPINFOHEADER proposed{};
        ASSERT_EQ(i->decompress_get_format(in.bih(), &proposed), r.result) << what;
        if (r.result != ICERR_OK) continue;
        EXPECT_EQ(proposed.biCompression, r.proposed) << what;
        EXPECT_EQ(i->decompress_query(in.bih(), &proposed), ICERR_OK) << what;
        EXPECT_EQ(i->decompress_begin(in.bih(), &proposed), ICERR_OK) << what;
    }
    set_profile("ON", "ON");
}

struct frame_call {
    ICDECOMPRESS icd{};
    stream_header in;
    BITMAPINFOHEADER out;
    bytes picture;

    frame_call(const stream_header& input, uint32_t compression, const encoded_frame* frame, bool flag_delta)
        : in(input) {
        const BITMAPINFOHEADER& i = *in.bih();
        out = output_for(i.biWidth, i.biHeight, compression);
        picture.assign(size_t(i.biWidth) * size_t(i.biHeight) * (compression == compression_rgb32 ? 4 : 2), 0xEE);
        icd.dwFlags = flag_delta ? ICDECOMPRESS_NOTKEYFRAME : 0;
        icd.lpbiInput = in.bih();
        icd.lpbiOutput = &out;
        icd.lpOutput = picture.data();
        if (frame) {
            in.bih()->biSizeImage = DWORD(frame->bytes.size());
            icd.lpInput = const_cast<uint8_t*>(frame->bytes.data());
        }
    }
};

// Null pointers and refused headers: refused with a clear code, nothing touched.
TEST(CodecInstance, RefusedFramesTouchNothing) {
    set_profile("ON", "ON");
    const test_stream s = test_stream::make(64, 32, 3, 1);
    const stream_header good = stream_header::of(s.format());
    struct refusal_case {
        const char* what;
        std::function<void(frame_call&)> spoil;
        LRESULT result;
    };
    const refusal_case cases[] = {
        {"null frame", [](frame_call& c) { c.icd.lpInput = nullptr; }, ICERR_BADPARAM},
        {"null input header", [](frame_call& c) { c.icd.lpbiInput = nullptr; }, ICERR_BADFORMAT},
        {"null output header", [](frame_call& c) { c.icd.lpbiOutput = nullptr; }, ICERR_BADFORMAT},
        {"refused input header", [](frame_call& c) { c.in.bih()->biSize = 40; }, ICERR_BADFORMAT},
        {"refused output", [](frame_call& c) { c.out.biBitCount = 24; }, ICERR_BADFORMAT},
    };
    for (const refusal_case& c : cases) {
        instance_ptr i;
        frame_call call(good, compression_rgb32, &s.frames[0], false);
        call.out.biSizeImage = 4321;
        c.spoil(call);
        EXPECT_EQ(i->decompress(&call.icd), c.result) << c.what;
        EXPECT_EQ(call.out.biSizeImage, 4321u) << c.what;
        EXPECT_EQ(call.picture, bytes(call.picture.size(), 0xEE)) << c.what;
        EXPECT_FALSE(i->configured) << c.what;
    }
    instance_ptr i;
    EXPECT_EQ(i->decompress(nullptr), ICERR_BADPARAM);
    EXPECT_EQ(i->decompress_begin(good.bih(), nullptr), ICERR_BADFORMAT);
}

TEST(CodecInstance, StatesAndTheAutomaticBegin) {
    set_profile("ON", "ON");
    const test_stream s = test_stream::make(64, 32, 2, 2);
    const stream_header in = stream_header::of(s.format());
    const std::vector<bytes> expected = reference_pictures(s, compression_yuy2);
    instance_ptr i;
    frame_call first(in, compression_yuy2, &s.frames[0], false);
    ASSERT_EQ(i->decompress(&first.icd), ICERR_OK);
    EXPECT_TRUE(i->configured);
    EXPECT_EQ(i->output_compression, compression_yuy2);
    EXPECT_EQ(first.out.biSizeImage, 64u * 32u * 2u);
    EXPECT_EQ(first.picture, expected[0]);
    EXPECT_EQ(i->decompress_end(), ICERR_OK);
    EXPECT_FALSE(i->configured);
    EXPECT_EQ(i->decoder, nullptr);
    EXPECT_EQ(i->output_compression, compression_yuy2);
    // Once configured, the headers that come with a frame are not tested again.
    ASSERT_EQ(i->decompress_begin(in.bih(), &first.out), ICERR_OK);
    frame_call second(in, compression_yuy2, &s.frames[0], false);
    second.in.bih()->biSize = 40;
    EXPECT_EQ(i->decompress(&second.icd), ICERR_OK);
    EXPECT_EQ(second.picture, expected[0]);
}

// A size that passes the check but whose buffers cannot be had in a 32-bit
// process: BEGIN reports it, and no frame is decoded with a decoder not set up.
TEST(CodecInstance, FailedSetupLeavesTheInstanceUnconfigured) {
    set_profile("ON", "ON");
    const stream_header in = stream_header::of(32760, 32760, 3);
    const BITMAPINFOHEADER out = output_for(32760, 32760, compression_rgb32);
    instance_ptr i;
    const LRESULT begun = i->decompress_begin(in.bih(), &out);
    if (begun == ICERR_OK) GTEST_SKIP() << "this process could allocate 4 GiB";
    EXPECT_EQ(begun, ICERR_UNSUPPORTED);
    EXPECT_FALSE(i->configured);
    uint8_t frame[8] = {};
    bytes small(64, 0xEE);
    ICDECOMPRESS icd{};
    stream_header frame_in = in;
    frame_in.bih()->biSizeImage = sizeof frame;
    BITMAPINFOHEADER frame_out = out;
    icd.lpbiInput = frame_in.bih();
    icd.lpInput = frame;
    icd.lpbiOutput = &frame_out;
    icd.lpOutput = small.data();
    EXPECT_EQ(i->decompress(&icd), ICERR_UNSUPPORTED);
    EXPECT_EQ(small, bytes(64, 0xEE));
}

// Frames go where their flag sends them unless their structure rules it out.
TEST(CodecInstance, RoutingOfFrames) {
    set_profile("ON", "ON");
    const test_stream s = test_stream::make(64, 32, 3, 3);   // intra, delta, delta
    ASSERT_TRUE(s.frames[0].key);
    ASSERT_FALSE(s.frames[1].key);
    const stream_header in = stream_header::of(s.format());
    const std::vector<bytes> expected = reference_pictures(s, compression_rgb32);

    const auto decode_all = [&](std::function<bool(size_t)> flag, std::function<DWORD(size_t)> length) {
        instance_ptr i;
        std::vector<bytes> pictures;
        for (size_t n = 0; n < s.frames.size(); ++n) {
            frame_call call(in, compression_rgb32, &s.frames[n], flag(n));
            call.in.bih()->biSizeImage = length(n);
            EXPECT_EQ(i->decompress(&call.icd), ICERR_OK);
            pictures.push_back(call.picture);
        }
        return pictures;
    };
    const auto own_length = [&](size_t n) { return DWORD(s.frames[n].bytes.size()); };
    EXPECT_EQ(decode_all([&](size_t n) { return !s.frames[n].key; }, own_length), expected) << "right flags";
    EXPECT_EQ(decode_all([](size_t) { return false; }, own_length), expected) << "no flags, as Wine's AVIFile";
    EXPECT_EQ(decode_all([](size_t) { return true; }, own_length), expected) << "every frame flagged";
    // A host that gives no length: the flag alone decides.
    EXPECT_EQ(decode_all([&](size_t n) { return !s.frames[n].key; }, [](size_t) { return DWORD(0); }), expected)
        << "no length";

    // A truncated unflagged intra frame is still decoded as intra, as far as it goes.
    encoded_frame cut = s.frames[0];
    cut.bytes.resize(cut.bytes.size() / 2);
    DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(64, 32, 3, compression_rgb32));
    bytes want(ctx.output_size(), 0xEE);
    ctx.decode_intra(want.data(), cut.bytes.data(), cut.bytes.size());
    instance_ptr i;
    frame_call call(in, compression_rgb32, &cut, false);
    ASSERT_EQ(i->decompress(&call.icd), ICERR_OK);
    EXPECT_EQ(call.picture, want);
}

// Frames a host will not draw (no output buffer, HURRYUP, PREROLL) in the middle
// of a GOP leave the output alone and the reference as a full decode leaves it,
// so that every later frame is right.
TEST(CodecInstance, UndrawnFramesKeepTheReference) {
    set_profile("ON", "ON");
    const test_stream s = test_stream::make(64, 32, 3, 12);   // key frames 0, 5 and 10
    const stream_header in = stream_header::of(s.format());
    const std::vector<bytes> expected = reference_pictures(s, compression_yuy2);
    struct drop {
        const char* what;
        std::function<void(frame_call&)> apply;
    } drops[] = {
        {"no output buffer", [](frame_call& c) { c.icd.lpOutput = nullptr; }},
        {"HURRYUP", [](frame_call& c) { c.icd.dwFlags |= ICDECOMPRESS_HURRYUP; }},
        {"PREROLL", [](frame_call& c) { c.icd.dwFlags |= ICDECOMPRESS_PREROLL; }},
        {"no buffer and HURRYUP", [](frame_call& c) { c.icd.lpOutput = nullptr, c.icd.dwFlags |= ICDECOMPRESS_HURRYUP; }},
    };
    for (const drop& d : drops) {
        instance_ptr i;
        for (size_t n = 0; n < s.frames.size(); ++n) {
            frame_call call(in, compression_yuy2, &s.frames[n], !s.frames[n].key);
            const bool dropped = n == 1 || n == 2 || n == 6;
            if (dropped) d.apply(call);
            ASSERT_EQ(i->decompress(&call.icd), ICERR_OK) << d.what << " frame " << n;
            if (dropped) {
                EXPECT_EQ(call.picture, bytes(call.picture.size(), 0xEE)) << d.what << " frame " << n;
            } else {
                EXPECT_EQ(call.picture, expected[n]) << d.what << " frame " << n;
            }
        }
    }
}

TEST(CodecInstance, CodingMode0DecodesEveryFrameAsIntra) {
    set_profile("ON", "ON");
    const test_stream s = test_stream::make(60, 20, 0, 4);
    const stream_header in = stream_header::of(s.format());
    const std::vector<bytes> expected = reference_pictures(s, compression_yuy2);
    instance_ptr i;
    for (size_t n = 0; n < s.frames.size(); ++n) {
        frame_call call(in, compression_yuy2, &s.frames[n], true);
        ASSERT_EQ(i->decompress(&call.icd), ICERR_OK);
        EXPECT_EQ(call.picture, expected[n]) << n;
    }
}

// Decodes a whole stream through an instance, with an explicit BEGIN, the key
// flags and each frame's length, into an output buffer at the given offset.
std::vector<bytes> through_instance(const test_stream& s, uint32_t compression, size_t offset) {
    const stream_header in = stream_header::of(s.format());
    BITMAPINFOHEADER out = output_for(s.writer.m_width, s.writer.m_height, compression);
    instance_ptr i;
    std::vector<bytes> pictures;
    if (i->decompress_begin(in.bih(), &out) != ICERR_OK) return pictures;
    const size_t size = size_t(s.writer.m_width) * size_t(s.writer.m_height) * (compression ? 2 : 4);
    bytes buffer(size + 16 + 32, 0);
    for (const encoded_frame& f : s.frames) {
        frame_call call(in, compression, &f, !f.key);
        call.icd.lpOutput = buffer.data() + offset;
        if (i->decompress(&call.icd) != ICERR_OK) return {};
        pictures.emplace_back(buffer.begin() + ptrdiff_t(offset), buffer.begin() + ptrdiff_t(offset + size));
    }
    return pictures;
}

TEST(CodecInstance, WholeStreamsEqualThePortableDecoderAtEveryAlignment) {
    set_profile("ON", "ON");
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        const test_stream s = test_stream::make(mode == 0 ? 36 : 40, 14, mode, 8, mode);
        for (uint32_t compression : {compression_rgb32, compression_yuy2}) {
            const std::vector<bytes> expected = reference_pictures(s, compression);
            ASSERT_EQ(expected.size(), 8u);
            for (size_t offset = 0; offset < 16; ++offset) {
                EXPECT_EQ(through_instance(s, compression, offset), expected)
                    << "mode " << mode << (compression ? " YUY2" : " RGB32") << " offset " << offset;
            }
        }
    }
}

TEST(CodecInstance, FourInstancesOnFourThreads) {
    set_profile("ON", "ON");
    const test_stream streams[4] = {
        test_stream::make(64, 32, 1, 20, 1), test_stream::make(48, 16, 2, 20, 2),
        test_stream::make(80, 24, 3, 20, 3), test_stream::make(32, 40, 4, 20, 4)};
    std::vector<bytes> alone[4];
    for (int n = 0; n < 4; ++n) alone[n] = through_instance(streams[n], n % 2 ? compression_yuy2 : compression_rgb32, 0);
    std::vector<bytes> together[4];
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; ++n)
        threads.emplace_back([&, n] {
            for (int round = 0; round < 5; ++round)
                together[n] = through_instance(streams[n], n % 2 ? compression_yuy2 : compression_rgb32, size_t(n));
        });
    for (std::thread& t : threads) t.join();
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(alone[n].size(), 20u);
        EXPECT_EQ(together[n], alone[n]) << "stream " << n;
    }
}

}  // namespace
}  // namespace ruv::codec_test
