// Windows' own AVI reader (AVIFile) must accept the files that the AVI writer
// makes: stream type and handler, the 80-byte format, every frame's bytes and
// its key-frame flag, as a Video for Windows host sees them.
#include <windows.h>
#include <vfw.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "avi.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

struct written_stream {
    std::vector<uint8_t> format;
    std::vector<ruv::encoded_frame> frames;
};

written_stream write_file(const std::string& path, ruv::avi::index_layout layout, uint32_t mode) {
    written_stream out;
    ruv::stream_writer writer;
    EXPECT_TRUE(writer.setup(64, 32, mode, 4));
    out.format = writer.input_format_bytes();
    ruv::avi::video_format format;
    format.handler = ruv::avi::fourcc('R', 'U', 'V', '1');
    format.width = 64;
    format.height = 32;
    format.rate = 25;
    format.scale = 1;
    format.strf = out.format;
    ruv::avi::writer_options options;
    options.layout = layout;
    ruv::avi::writer avi;
    EXPECT_TRUE(avi.open(path, format, options)) << avi.error();
    for (uint32_t n = 0; n < 10; ++n) {
        out.frames.push_back(writer.write_frame(ruv::synthetic_picture(64, 32, n), 2));
        const ruv::encoded_frame& f = out.frames.back();
        EXPECT_TRUE(avi.write_frame(f.bytes.data(), f.bytes.size(), f.key)) << avi.error();
    }
    EXPECT_TRUE(avi.close()) << avi.error();
    return out;
}

struct avifile_session {
    avifile_session() { AVIFileInit(); }
    ~avifile_session() { AVIFileExit(); }
};

void expect_avifile_reads(const std::string& path, const written_stream& expected) {
    avifile_session session;
    PAVIFILE file = nullptr;
    ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READ | OF_SHARE_DENY_WRITE, nullptr), 0);
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeVIDEO, 0), 0);

    AVISTREAMINFOA info{};
    ASSERT_EQ(AVIStreamInfoA(stream, &info, sizeof info), 0);
    EXPECT_EQ(info.fccType, streamtypeVIDEO);
    EXPECT_EQ(info.fccHandler, mmioFOURCC('R', 'U', 'V', '1'));
    EXPECT_EQ(info.dwRate / info.dwScale, 25u);
    EXPECT_EQ(AVIStreamLength(stream), LONG(expected.frames.size()));

    LONG format_size = 0;
    ASSERT_EQ(AVIStreamReadFormat(stream, 0, nullptr, &format_size), 0);
    ASSERT_EQ(format_size, 80);
    std::vector<uint8_t> format(80);
    ASSERT_EQ(AVIStreamReadFormat(stream, 0, format.data(), &format_size), 0);
    EXPECT_EQ(format, expected.format);

    for (size_t n = 0; n < expected.frames.size(); ++n) {
        const std::vector<uint8_t>& bytes = expected.frames[n].bytes;
        std::vector<uint8_t> got(bytes.size() + 16);
        LONG read_bytes = 0;
        LONG samples = 0;
        ASSERT_EQ(AVIStreamRead(stream, LONG(n), 1, got.data(), LONG(got.size()), &read_bytes, &samples), 0);
        got.resize(size_t(read_bytes));
        EXPECT_EQ(got, bytes) << "frame " << n;
        EXPECT_EQ(AVIStreamIsKeyFrame(stream, LONG(n)) != 0, expected.frames[n].key) << "frame " << n;
    }
    AVIStreamRelease(stream);
    AVIFileRelease(file);
}

TEST(AviFileReadsWriterFiles, PlainIndex) {
    const std::string path = "avifile_plain.avi";
    const written_stream s = write_file(path, ruv::avi::index_layout::idx1, 3);
    expect_avifile_reads(path, s);
    std::remove(path.c_str());
}

TEST(AviFileReadsWriterFiles, OpenDmlIndex) {
    const std::string path = "avifile_odml.avi";
    const written_stream s = write_file(path, ruv::avi::index_layout::open_dml, 2);
    expect_avifile_reads(path, s);
    std::remove(path.c_str());
}

}  // namespace
