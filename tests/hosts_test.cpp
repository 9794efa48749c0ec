// Ruv_dec.dll installed in the Wine prefix as a user installs it, then used as
// hosts use it: through the codec manager (ICOpen, ICDecompress...) and through
// AVIFile (AVIStreamGetFrame), whole writer streams compared with the portable
// decoder byte for byte.
#include <gtest/gtest.h>

#include "avi_fixtures.h"

namespace ruv::codec_test {
namespace {

constexpr DWORD ruv1 = mmioFOURCC('R', 'U', 'V', '1');

class installed_codec : public testing::Environment {
public:
    void SetUp() override { install_codec(); }
};

const testing::Environment* const installed = testing::AddGlobalTestEnvironment(new installed_codec);

struct hic_handle {
    HIC hic = ICOpen(ICTYPE_VIDEO, ruv1, ICMODE_DECOMPRESS);
    ~hic_handle() {
        if (hic) ICClose(hic);
    }
};

TEST(CodecManager, OpensByFourccAndTellsWhatItIs) {
    hic_handle h;
    ASSERT_NE(h.hic, nullptr);
    ICINFO info{};
    ASSERT_EQ(ICGetInfo(h.hic, &info, sizeof info), sizeof info);
    EXPECT_EQ(info.fccHandler, ruv1);
    EXPECT_EQ(info.dwVersion, 101u);
    EXPECT_EQ(std::wstring(info.szName), L"RuvDec");
    EXPECT_EQ(std::wstring(info.szDescription), L"RUV Decoder Ver1.01");
    EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioFOURCC('N', 'O', 'N', 'E'), ICMODE_DECOMPRESS), nullptr);
}

// A whole stream through ICDecompress, as a host that flags delta frames and
// gives each frame's size decodes it.
std::vector<bytes> through_codec_manager(const test_stream& s, uint32_t compression) {
    hic_handle h;
    std::vector<bytes> pictures;
    if (!h.hic) return pictures;
    stream_header in = stream_header::of(s.format());
    BITMAPINFOHEADER out = output_for(s.writer.m_width, s.writer.m_height, compression);
    BITMAPINFOHEADER proposed{};
    EXPECT_EQ(ICDecompressGetFormatSize(h.hic, in.bih()), 40);
    EXPECT_EQ(ICDecompressGetFormat(h.hic, in.bih(), &proposed), ICERR_OK);
    EXPECT_EQ(proposed.biCompression, compression_rgb32);
    EXPECT_EQ(ICDecompressQuery(h.hic, in.bih(), &out), ICERR_OK);
    if (ICDecompressBegin(h.hic, in.bih(), &out) != ICERR_OK) return pictures;
    bytes buffer(size_t(s.writer.m_width) * size_t(s.writer.m_height) * (compression ? 2 : 4));
    for (const encoded_frame& f : s.frames) {
        in.bih()->biSizeImage = DWORD(f.bytes.size());
        const DWORD result = ICDecompress(h.hic, f.key ? 0 : ICDECOMPRESS_NOTKEYFRAME, in.bih(),
                                          const_cast<uint8_t*>(f.bytes.data()), &out, buffer.data());
        if (result != ICERR_OK) return {};
        pictures.push_back(buffer);
    }
    EXPECT_EQ(ICDecompressEnd(h.hic), ICERR_OK);
    return pictures;
}

TEST(CodecManager, WholeStreamsInEveryCodingModeAndBothOutputs) {
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        const test_stream s = test_stream::make(64, 32, mode, 12, mode);
        for (uint32_t compression : {compression_rgb32, compression_yuy2}) {
            EXPECT_EQ(through_codec_manager(s, compression), reference_pictures(s, compression))
                << "mode " << mode << (compression ? " YUY2" : " RGB32");
        }
    }
}

// A host that falls behind drops pictures, not frames: ICDecompress with no
// output buffer, or with HURRYUP, in the middle of a GOP; every later picture is
// the full decode's. And the proposal of a codec whose RGB32 output is switched
// off is one it takes.
TEST(CodecManager, DroppedPicturesAndTheProposal) {
    const test_stream s = test_stream::make(64, 32, 3, 12, 3);
    const std::vector<bytes> expected = reference_pictures(s, compression_yuy2);
    for (DWORD hurry : {DWORD(0), DWORD(ICDECOMPRESS_HURRYUP)}) {
        hic_handle h;
        ASSERT_NE(h.hic, nullptr);
        stream_header in = stream_header::of(s.format());
        BITMAPINFOHEADER out = output_for(64, 32, compression_yuy2);
        ASSERT_EQ(ICDecompressBegin(h.hic, in.bih(), &out), ICERR_OK);
        bytes buffer(64 * 32 * 2, 0xEE);
        for (size_t n = 0; n < s.frames.size(); ++n) {
            const encoded_frame& f = s.frames[n];
            const bool dropped = n == 1 || n == 2 || n == 7;
            in.bih()->biSizeImage = DWORD(f.bytes.size());
            const DWORD flags = (f.key ? 0 : ICDECOMPRESS_NOTKEYFRAME) | (dropped ? hurry : 0);
            void* target = dropped && hurry == 0 ? nullptr : buffer.data();
            ASSERT_EQ(ICDecompress(h.hic, flags, in.bih(), const_cast<uint8_t*>(f.bytes.data()), &out, target), ICERR_OK);
            if (!dropped) {
                EXPECT_EQ(buffer, expected[n]) << (hurry ? "HURRYUP" : "no buffer") << " frame " << n;
            }
        }
        EXPECT_EQ(ICDecompressEnd(h.hic), ICERR_OK);
    }

    set_profile("OFF", "ON");
    hic_handle h;
    const stream_header in = stream_header::of(s.format());
    BITMAPINFOHEADER proposed{};
    EXPECT_EQ(ICDecompressGetFormat(h.hic, in.bih(), &proposed), ICERR_OK);
    EXPECT_EQ(proposed.biCompression, compression_yuy2);
    EXPECT_EQ(ICDecompressQuery(h.hic, in.bih(), &proposed), ICERR_OK);
    EXPECT_EQ(ICDecompressBegin(h.hic, in.bih(), &proposed), ICERR_OK);
    set_profile("ON", "ON");
}

struct avi_session {
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
    PGETFRAME frames = nullptr;
    avi_session(const std::string& path, BITMAPINFOHEADER* wanted) {
        AVIFileInit();
        if (AVIFileOpenA(&file, path.c_str(), OF_READ | OF_SHARE_DENY_WRITE, nullptr) != 0) return;
        if (AVIFileGetStream(file, &stream, streamtypeVIDEO, 0) != 0) return;
        frames = AVIStreamGetFrameOpen(stream, wanted);
    }
    ~avi_session() {
        if (frames) AVIStreamGetFrameClose(frames);
        if (stream) AVIStreamRelease(stream);
        if (file) AVIFileRelease(file);
        AVIFileExit();
    }
    // The picture of frame n, from the packed DIB that AVIFile hands back.
    bytes picture(LONG n, size_t size, BITMAPINFOHEADER* header = nullptr) const {
        const auto* dib = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(frames, n));
        if (!dib) return {};
        if (header) *header = *dib;
        const uint8_t* bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize + dib->biClrUsed * 4;
        return bytes(bits, bits + size);
    }
};

// Wine's AVIFile calls ICDecompress with no key-frame flags: the frames' own
// structure routes them. Frame by frame, then after seeks either way.
TEST(AviFile, GetFrameInEveryCodingModeAndBothOutputs) {
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        const test_stream s = test_stream::make(64, 32, mode, 12, mode + 10);
        const std::string path = write_avi(s, "hosts_mode" + std::to_string(mode) + ".avi");
        for (uint32_t compression : {compression_rgb32, compression_yuy2}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << (compression ? " YUY2" : " RGB32"));
            const std::vector<bytes> expected = reference_pictures(s, compression);
            BITMAPINFOHEADER wanted = output_for(64, 32, compression);
            wanted.biSizeImage = DWORD(expected[0].size());   // AVIFile sizes its buffer by it
            // No wanted format: the codec's proposal, 32-bit RGB.
            avi_session avi(path, compression == compression_rgb32 ? nullptr : &wanted);
            ASSERT_NE(avi.frames, nullptr);
            const size_t size = expected[0].size();
            BITMAPINFOHEADER shown{};
            EXPECT_EQ(avi.picture(0, size, &shown), expected[0]);
            EXPECT_EQ(shown.biCompression, compression);
            EXPECT_EQ(shown.biBitCount, compression ? 16 : 32);
            for (LONG n = 1; n < LONG(expected.size()); ++n) EXPECT_EQ(avi.picture(n, size), expected[size_t(n)]) << n;
            for (LONG n : {8, 3, 11, 2, 6}) EXPECT_EQ(avi.picture(n, size), expected[size_t(n)]) << "seek to " << n;
        }
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace ruv::codec_test
