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
#include "decoder.h"
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

void set_le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Runs a command line and gives its exit status, or -1 when it cannot start.
int run(const std::string& command) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return int(status);
}

// ruvdec converts a capture with PCM audio into an AVI that AVIFile reads as a
// Windows player does: the decoded YUY2 frames (a dropped one empty) and every
// audio byte with its format.
TEST(AviFileReadsRuvdecOutput, DecodedVideoBesideTheAudio) {
    const std::string in = "avifile_capture.avi";
    const std::string out = "avifile_converted.avi";
    ruv::stream_writer writer;
    ASSERT_TRUE(writer.setup(64, 32, 3, 4));
    ruv::avi::video_format format;
    format.handler = ruv::avi::fourcc('R', 'U', 'V', '1');
    format.width = 64;
    format.height = 32;
    format.rate = 25;
    format.scale = 1;
    format.strf = writer.input_format_bytes();
    // 16-bit mono at 11025 Hz.
    ruv::avi::copied_stream audio;
    audio.strh.assign(56, 0);
    set_le32(audio.strh, 0, ruv::avi::id::auds);
    set_le32(audio.strh, 20, 2);
    set_le32(audio.strh, 24, 22050);
    set_le32(audio.strh, 44, 2);
    audio.strf = {1, 0, 1, 0, 0x11, 0x2B, 0, 0, 0x22, 0x56, 0, 0, 2, 0, 16, 0};
    audio.chunk_id = ruv::avi::fourcc('0', '1', 'w', 'b');
    std::vector<ruv::encoded_frame> frames;
    std::vector<uint8_t> samples;
    std::vector<std::vector<uint8_t>> chunks;
    for (uint32_t n = 0; n < 10; ++n) {
        std::vector<uint8_t> chunk(2 * (441 + 3 * n));
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(i * 7 + n);
        samples.insert(samples.end(), chunk.begin(), chunk.end());
        chunks.push_back(chunk);
        frames.push_back(n == 6 ? ruv::encoded_frame{} : writer.write_frame(ruv::synthetic_picture(64, 32, n), 2));
    }
    set_le32(audio.strh, 32, uint32_t(samples.size() / 2));
    {
        ruv::avi::writer avi;
        ASSERT_TRUE(avi.open(in, format, {}, {audio}, 0)) << avi.error();
        for (size_t n = 0; n < frames.size(); ++n) {
            ASSERT_TRUE(avi.write_chunk(0, frames[n].bytes.data(), frames[n].bytes.size(), frames[n].key));
            ASSERT_TRUE(avi.write_chunk(1, chunks[n].data(), chunks[n].size(), true));
        }
        ASSERT_TRUE(avi.close()) << avi.error();
    }
    // --full-range: the decoded samples themselves, for a byte-exact comparison.
    ASSERT_EQ(run(std::string("\"") + RUVDEC_EXE + "\" decode " + in + " -o " + out + " -q --full-range"), 0);

    // The pictures a host gets.
    ruv::DecoderContext ctx;
    ASSERT_TRUE(ctx.setup(64, 32, 3, ruv::compression_yuy2));
    std::vector<uint8_t> picture(ctx.output_size());
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(i % 2 ? 0x80 : 0);

    avifile_session session;
    PAVIFILE file = nullptr;
    ASSERT_EQ(AVIFileOpenA(&file, out.c_str(), OF_READ | OF_SHARE_DENY_WRITE, nullptr), 0);
    PAVISTREAM video = nullptr;
    ASSERT_EQ(AVIFileGetStream(file, &video, streamtypeVIDEO, 0), 0);
    EXPECT_EQ(AVIStreamLength(video), 10);
    BITMAPINFOHEADER bih{};
    LONG size = sizeof bih;
    ASSERT_EQ(AVIStreamReadFormat(video, 0, &bih, &size), 0);
    EXPECT_EQ(bih.biCompression, mmioFOURCC('Y', 'U', 'Y', '2'));
    EXPECT_EQ(bih.biBitCount, 16);
    EXPECT_EQ(bih.biWidth, 64);
    EXPECT_EQ(bih.biHeight, 32);
    for (size_t n = 0; n < frames.size(); ++n) {
        const ruv::encoded_frame& f = frames[n];
        if (!f.bytes.empty()) {
            if (f.key) ctx.decode_intra(picture.data(), f.bytes.data(), f.bytes.size());
            else ctx.decode_delta(picture.data(), f.bytes.data(), f.bytes.size());
        }
        std::vector<uint8_t> got(picture.size());
        LONG read_bytes = 0;
        LONG read_samples = 0;
        ASSERT_EQ(AVIStreamRead(video, LONG(n), 1, got.data(), LONG(got.size()), &read_bytes, &read_samples), 0);
        got.resize(size_t(read_bytes));
        if (f.bytes.empty()) EXPECT_TRUE(got.empty()) << "frame " << n;
        else EXPECT_EQ(got, picture) << "frame " << n;
    }
    AVIStreamRelease(video);

    PAVISTREAM sound = nullptr;
    ASSERT_EQ(AVIFileGetStream(file, &sound, streamtypeAUDIO, 0), 0);
    std::vector<uint8_t> wave(64);
    size = LONG(wave.size());
    ASSERT_EQ(AVIStreamReadFormat(sound, 0, wave.data(), &size), 0);
    wave.resize(size_t(size));
    EXPECT_EQ(wave, audio.strf);
    EXPECT_EQ(AVIStreamLength(sound), LONG(samples.size() / 2));
    std::vector<uint8_t> got(samples.size());
    LONG read_bytes = 0;
    LONG read_samples = 0;
    ASSERT_EQ(AVIStreamRead(sound, 0, AVIStreamLength(sound), got.data(), LONG(got.size()), &read_bytes,
                            &read_samples),
              0);
    got.resize(size_t(read_bytes));
    EXPECT_EQ(got, samples);
    AVIStreamRelease(sound);
    AVIFileRelease(file);
    std::remove(in.c_str());
    std::remove(out.c_str());
}

TEST(AviFileReadsWriterFiles, OpenDmlIndex) {
    const std::string path = "avifile_odml.avi";
    const written_stream s = write_file(path, ruv::avi::index_layout::open_dml, 2);
    expect_avifile_reads(path, s);
    std::remove(path.c_str());
}

}  // namespace
