// ruvdec end to end: streams written with the stream writer and the AVI writer are
// converted by the ruvdec program, and its output is checked against the decoder
// fed the same frames as a host feeds them.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "avi.h"
#include "decoder.h"
#include "input_format.h"
#include "ruv/version.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace ruv {
namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

constexpr uint32_t handler_ruv1 = avi::fourcc('R', 'U', 'V', '1');

struct stream_plan {
    int32_t width = 64;
    int32_t height = 32;
    uint32_t mode = 3;
    size_t frames = 12;
    uint32_t key_interval = 5;
    std::set<size_t> dropped;
    bool random_deltas = false;   // every other delta frame of random codes
    avi::writer_options avi;
    uint32_t rate = 30;
    uint32_t scale = 1;
};

struct test_stream {
    InputFormat format;
    std::vector<encoded_frame> frames;   // empty bytes: a dropped frame
    std::vector<picture> pictures;       // the source of each frame
};

test_stream make_stream(const stream_plan& plan) {
    test_stream s;
    stream_writer w;
    EXPECT_TRUE(w.setup(plan.width, plan.height, plan.mode, plan.key_interval));
    s.format = w.input_format();
    for (size_t n = 0; n < plan.frames; ++n) {
        picture target = synthetic_picture(plan.width, plan.height, uint32_t(n));
        encoded_frame frame;
        if (plan.dropped.count(n) == 0) {
            if (w.is_key_frame(n)) frame = w.write_intra(target);
            else if (plan.random_deltas && n % 2 == 1) frame = w.write_random_delta(n * 7919 + plan.mode);
            else frame = w.write_delta(target, 2);
        }
        s.frames.push_back(frame);
        s.pictures.push_back(std::move(target));
    }
    return s;
}

bytes format_bytes(const InputFormat& f) {
    bytes b(input_format_size);
    f.serialize(b.data());
    return b;
}

void write_avi(const fs::path& path, const std::vector<encoded_frame>& frames, const bytes& strf,
               const stream_plan& plan, uint32_t handler = handler_ruv1) {
    avi::video_format format;
    format.handler = handler;
    format.width = uint32_t(plan.width);
    format.height = uint32_t(plan.height);
    format.rate = plan.rate;
    format.scale = plan.scale;
    format.strf = strf;
    avi::writer w;
    ASSERT_TRUE(w.open(path.string(), format, plan.avi)) << w.error();
    for (const encoded_frame& f : frames)
        ASSERT_TRUE(w.write_frame(f.bytes.data(), f.bytes.size(), f.key)) << w.error();
    ASSERT_TRUE(w.close()) << w.error();
}

test_stream write_stream(const fs::path& path, const stream_plan& plan) {
    test_stream s = make_stream(plan);
    write_avi(path, s.frames, format_bytes(s.format), plan);
    return s;
}

// The pictures a host gets: key frames (and every frame in coding mode 0) decoded as
// intra frames, the others as delta frames, empty frames repeating the last picture,
// one output buffer that starts black.
std::vector<bytes> host_decode(const test_stream& s, uint32_t compression) {
    DecoderContext ctx;
    EXPECT_TRUE(ctx.setup(s.format.width, s.format.height, s.format.coding_mode, compression));
    bytes out(ctx.output_size(), 0);
    if (compression == compression_yuy2)
        for (size_t i = 1; i < out.size(); i += 2) out[i] = 0x80;
    std::vector<bytes> pictures;
    for (const encoded_frame& f : s.frames) {
        if (!f.bytes.empty()) {
            if (s.format.coding_mode != 0 && !f.key) ctx.decode_delta(out.data(), f.bytes.data(), f.bytes.size());
            else ctx.decode_intra(out.data(), f.bytes.data(), f.bytes.size());
        }
        pictures.push_back(out);
    }
    return pictures;
}

bytes concat(const std::vector<bytes>& pictures, size_t first, size_t last) {
    bytes all;
    for (size_t i = first; i <= last; ++i) all.insert(all.end(), pictures[i].begin(), pictures[i].end());
    return all;
}

bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_text(const fs::path& path) {
    const bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// A folder of its own for each test, emptied first.
fs::path test_dir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::path(RUVDEC_TEST_DIR) / (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Runs ruvdec with the arguments; standard output goes to `stdout_path` when given.
// `shell_prefix` runs first in the same shell (such as a ulimit).
run_result ruvdec(const std::vector<std::string>& args, const std::string& stdout_path = "",
                  const std::string& shell_prefix = "") {
    const fs::path dir = fs::path(RUVDEC_TEST_DIR);
    const fs::path out = stdout_path.empty() ? dir / "last_stdout" : fs::path(stdout_path);
    const fs::path err = dir / "last_stderr";
    std::string command = shell_prefix + quoted(RUVDEC_PATH);
    for (const std::string& a : args) command += " " + quoted(a);
    command += " > " + quoted(out.string()) + " 2> " + quoted(err.string());
    run_result r;
    const int status = std::system(command.c_str());
#ifdef _WIN32
    r.status = status;
#else
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    if (stdout_path.empty()) r.out = read_text(out);
    r.err = read_text(err);
    return r;
}

// AddressSanitizer reserves terabytes of address space, so ruvdec runs under a
// limit of 1 GiB only in builds without it.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RUVDEC_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(RUVDEC_TEST_ASAN)
const char* const memory_limit = "";
#else
const char* const memory_limit = "ulimit -v 1048576; ";
#endif

// A number after "key": in a JSON object, or NaN.
double json_number(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return std::nan("");
    return std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

bool no_part_files(const fs::path& dir) {
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir))
        if (e.path().extension() == ".part") return false;
    return true;
}

TEST(RuvdecRaw, EveryCodingModeMatchesTheDecoderByteForByte) {
    const fs::path dir = test_dir();
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        SCOPED_TRACE("coding mode " + std::to_string(mode));
        stream_plan plan;
        plan.mode = mode;
        plan.random_deltas = true;
        plan.dropped = {0, 3};   // black before any picture; a repeat
        const fs::path avi_path = dir / ("mode" + std::to_string(mode) + ".avi");
        const test_stream s = write_stream(avi_path, plan);

        const fs::path yuy2 = dir / ("mode" + std::to_string(mode) + ".yuy2");
        const fs::path rgb = dir / ("mode" + std::to_string(mode) + ".rgb32");
        run_result r = ruvdec({"decode", avi_path.string(), "-o", yuy2.string()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        r = ruvdec({"decode", avi_path.string(), "-o", rgb.string(), "--quiet"});
        ASSERT_EQ(r.status, 0) << r.err;

        const std::vector<bytes> want_yuy2 = host_decode(s, compression_yuy2);
        const std::vector<bytes> want_rgb = host_decode(s, compression_rgb32);
        EXPECT_EQ(read_file(yuy2), concat(want_yuy2, 0, plan.frames - 1));
        EXPECT_EQ(read_file(rgb), concat(want_rgb, 0, plan.frames - 1));
        EXPECT_EQ(want_yuy2[3], want_yuy2[2]);
        EXPECT_EQ(want_rgb[0], bytes(want_rgb[0].size(), 0));
        // Every kernel level decodes alike.
        for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
            r = ruvdec({"decode", avi_path.string(), "-o", yuy2.string(), "--quiet", "--kernels", level.name});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(read_file(yuy2), concat(want_yuy2, 0, plan.frames - 1)) << level.name;
        }
    }
    EXPECT_TRUE(no_part_files(dir));
}

TEST(RuvdecRaw, KeyFlagIsIgnoredInCodingModeZeroAndFormatWinsOverExtension) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.mode = 0;
    test_stream s = make_stream(plan);
    for (encoded_frame& f : s.frames) f.key = false;   // every frame is still an intra frame
    const fs::path avi_path = dir / "mode0.avi";
    write_avi(avi_path, s.frames, format_bytes(s.format), plan);
    const fs::path out = dir / "frames.bin";
    std::ofstream(out) << "an older file, replaced";
    const run_result r = ruvdec({"decode", avi_path.string(), "-o", out.string(), "--format", "rgb32"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(out), concat(host_decode(s, compression_rgb32), 0, plan.frames - 1));
    const run_result info = ruvdec({"info", avi_path.string(), "--json"});
    EXPECT_EQ(json_number(info.out, "key_frames"), double(plan.frames)) << info.out;
}

TEST(RuvdecRaw, OpenDmlAndIndexlessFilesDecodeLikeIdx1Files) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 20;
    plan.avi.layout = avi::index_layout::open_dml;
    plan.avi.riff_limit = 8 * 1024;   // a few frames a RIFF
    const fs::path odml = dir / "odml.avi";
    const test_stream s = write_stream(odml, plan);
    EXPECT_GE(occurrences(read_text(odml), "AVIX"), 2u);

    plan.avi.layout = avi::index_layout::none;
    const fs::path bare = dir / "bare.avi";
    write_stream(bare, plan);

    const bytes want = concat(host_decode(s, compression_yuy2), 0, plan.frames - 1);
    run_result r = ruvdec({"decode", odml.string(), "-o", (dir / "odml.yuy2").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "odml.yuy2"), want);
    r = ruvdec({"info", odml.string(), "--json"});
    EXPECT_NE(r.out.find("\"index\": \"opendml\""), std::string::npos) << r.out;
    EXPECT_EQ(json_number(r.out, "frames"), 20);

    // Without an index there are no key-frame flags: intra frames are told by size.
    r = ruvdec({"decode", bare.string(), "-o", (dir / "bare.yuy2").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "bare.yuy2"), want);
    EXPECT_EQ(occurrences(r.err, "no usable index"), 1u) << r.err;
    r = ruvdec({"info", bare.string(), "--json"});
    EXPECT_NE(r.out.find("\"index\": \"scan\""), std::string::npos) << r.out;
    EXPECT_EQ(json_number(r.out, "key_frames"), 4);
}

TEST(RuvdecRaw, FrameRangesStartAtTheKeyFrameBefore) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 14;
    plan.dropped = {10};
    plan.random_deltas = true;
    const fs::path avi_path = dir / "in.avi";
    const test_stream s = write_stream(avi_path, plan);
    const std::vector<bytes> want = host_decode(s, compression_rgb32);

    struct range_case {
        std::string arg;
        size_t first, last;
    };
    const range_case cases[] = {{"7-9", 7, 9}, {"0-0", 0, 0}, {"10-11", 10, 11}, {"12-", 12, 13}, {"4", 4, 4}};
    for (const range_case& c : cases) {
        SCOPED_TRACE(c.arg);
        const fs::path out = dir / ("part" + c.arg + ".rgb32");
        const run_result r = ruvdec({"decode", avi_path.string(), "-o", out.string(), "--frames", c.arg});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(out), concat(want, c.first, c.last));
    }

    // Past the end: the range is cut, with a warning; a first frame past the end is an error.
    run_result r = ruvdec({"decode", avi_path.string(), "-o", (dir / "cut.rgb32").string(), "--frames", "12-99"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "cut.rgb32"), concat(want, 12, 13));
    EXPECT_NE(r.err.find("ruvdec: warning: --frames 12-99"), std::string::npos) << r.err;
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "none.rgb32").string(), "--frames", "14-20"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("has 14 frames"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "none.rgb32"));

    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "bad.rgb32").string(), "--frames", "9-3"});
    EXPECT_EQ(r.status, 2);
}

TEST(RuvdecY4m, HeaderAndPlanesComeFromTheYuy2Picture) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 8;
    plan.dropped = {6};
    plan.rate = 30000;
    plan.scale = 1001;
    const fs::path avi_path = dir / "in.avi";
    const test_stream s = write_stream(avi_path, plan);
    const std::vector<bytes> yuy2 = host_decode(s, compression_yuy2);

    const fs::path y4m = dir / "out.y4m";
    const run_result r = ruvdec({"decode", avi_path.string(), "-o", y4m.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const bytes file = read_file(y4m);
    const std::string header = "YUV4MPEG2 W64 H32 F30000:1001 Ip A1:1 C420jpeg XCOLORRANGE=FULL\n";
    ASSERT_GE(file.size(), header.size());
    EXPECT_EQ(std::string(file.begin(), file.begin() + long(header.size())), header);

    const size_t w = 64, h = 32, plane = w * h, frame_bytes = 6 + plane * 3 / 2;
    ASSERT_EQ(file.size(), header.size() + plan.frames * frame_bytes);
    for (size_t n = 0; n < plan.frames; ++n) {
        SCOPED_TRACE("frame " + std::to_string(n));
        const uint8_t* f = file.data() + header.size() + n * frame_bytes;
        ASSERT_EQ(std::memcmp(f, "FRAME\n", 6), 0);
        const uint8_t* y = f + 6;
        const uint8_t* u = y + plane;
        const uint8_t* v = u + plane / 4;
        const bytes& pic = yuy2[n];
        size_t mismatches = 0;
        for (size_t row = 0; row < h; ++row)
            for (size_t x = 0; x < w; ++x) {
                if (y[row * w + x] != pic[row * w * 2 + x * 2]) ++mismatches;
                const size_t c = row / 2 * (w / 2) + x / 2;
                const size_t pair = row * w * 2 + x / 2 * 4;
                if (u[c] != pic[pair + 1] || v[c] != pic[pair + 3]) ++mismatches;
            }
        EXPECT_EQ(mismatches, 0u);
        // Intra frames survive exactly.
        if (s.frames[n].key) {
            const picture& src = s.pictures[n];
            EXPECT_EQ(bytes(y, y + plane), src.y);
            EXPECT_EQ(bytes(u, u + plane / 4), src.u);
            EXPECT_EQ(bytes(v, v + plane / 4), src.v);
        }
    }

    // The same bytes through a pipe.
    const fs::path piped = dir / "piped.y4m";
    const run_result p = ruvdec({"decode", avi_path.string(), "-o", "-", "--format", "y4m"}, piped.string());
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(read_file(piped), file);

    // Planar I420: the same planes without any header.
    bytes planes;
    for (size_t n = 0; n < plan.frames; ++n) {
        const uint8_t* f = file.data() + header.size() + n * frame_bytes + 6;
        planes.insert(planes.end(), f, f + frame_bytes - 6);
    }
    const run_result i = ruvdec({"decode", avi_path.string(), "-o", (dir / "out.yuv").string()});
    ASSERT_EQ(i.status, 0) << i.err;
    EXPECT_EQ(read_file(dir / "out.yuv"), planes);
}

// Reads a PNG back as 8-bit RGB; empty when it is not an 8-bit RGB PNG of that size.
bytes read_png(const fs::path& path, uint32_t width, uint32_t height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.string().c_str())) return {};
    if (image.format != PNG_FORMAT_RGB || image.width != width || image.height != height) {
        png_image_free(&image);
        return {};
    }
    bytes rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return {};
    return rgb;
}

TEST(RuvdecPng, OnePngPerFrameFromTheRgb32Picture) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 7;
    plan.mode = 2;
    plan.random_deltas = true;
    const fs::path avi_path = dir / "in.avi";
    const test_stream s = write_stream(avi_path, plan);
    const std::vector<bytes> rgb32 = host_decode(s, compression_rgb32);

    fs::create_directories(dir / "all");
    run_result r = ruvdec({"decode", avi_path.string(), "-o", (dir / "all" / "%05d.png").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (size_t n = 0; n < plan.frames; ++n) {
        SCOPED_TRACE("frame " + std::to_string(n));
        char name[16];
        std::snprintf(name, sizeof name, "%05u.png", unsigned(n));
        const bytes png = read_png(dir / "all" / name, 64, 32);
        ASSERT_EQ(png.size(), 64u * 32 * 3);
        bytes want;
        for (size_t row = 0; row < 32; ++row) {
            const uint8_t* src = rgb32[n].data() + (31 - row) * 64 * 4;   // bottom-up rows
            for (size_t x = 0; x < 64; ++x) want.insert(want.end(), {src[4 * x + 2], src[4 * x + 1], src[4 * x]});
        }
        EXPECT_EQ(png, want);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "all"), fs::directory_iterator()), 7);

    // On one thread or several, the same files.
    for (const char* threads : {"1", "3"}) {
        const fs::path folder = dir / (std::string("threads") + threads);
        fs::create_directories(folder);
        r = ruvdec({"decode", avi_path.string(), "-o", (folder / "%05d.png").string(), "--threads", threads});
        ASSERT_EQ(r.status, 0) << r.err;
        for (size_t n = 0; n < plan.frames; ++n) {
            char name[16];
            std::snprintf(name, sizeof name, "%05u.png", unsigned(n));
            EXPECT_EQ(read_file(folder / name), read_file(dir / "all" / name)) << threads << " " << name;
        }
    }

    // Frame numbers are the file's; a pattern without a number is enough for one frame.
    fs::create_directories(dir / "some");
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "some" / "f%d.png").string(), "--frames", "5-6"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "some" / "f5.png"));
    EXPECT_TRUE(fs::exists(dir / "some" / "f6.png"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "some"), fs::directory_iterator()), 2);
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "one.png").string(), "--frames", "3-3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_png(dir / "one.png", 64, 32), read_png(dir / "all" / "00003.png", 64, 32));

    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "one.png").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no frame number"), std::string::npos) << r.err;
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "%d_%d.png").string()});
    EXPECT_EQ(r.status, 2);
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "%s.png").string()});
    EXPECT_EQ(r.status, 2);
}

TEST(RuvdecInfo, TextAndJson) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.width = 48;
    plan.height = 16;
    plan.mode = 4;
    plan.frames = 45;
    plan.key_interval = 10;
    plan.dropped = {12, 13};
    plan.rate = 15;
    const fs::path avi_path = dir / "in.avi";
    write_stream(avi_path, plan);

    run_result r = ruvdec({"info", avi_path.string(), "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_number(r.out, "width"), 48);
    EXPECT_EQ(json_number(r.out, "height"), 16);
    EXPECT_EQ(json_number(r.out, "codec_version"), 101);
    EXPECT_EQ(json_number(r.out, "coding_mode"), 4);
    EXPECT_EQ(json_number(r.out, "frames"), 45);
    EXPECT_EQ(json_number(r.out, "key_frames"), 5);
    EXPECT_EQ(json_number(r.out, "dropped_frames"), 2);
    EXPECT_EQ(json_number(r.out, "frame_rate"), 15);
    EXPECT_EQ(json_number(r.out, "duration"), 3);
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");

    r = ruvdec({"info", avi_path.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("48 x 16"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("45 (key frames: 5, dropped: 2)"), std::string::npos) << r.out;
}

TEST(RuvdecInfo, HugePictureSizeNeedsNoPictureMemory) {
    // 65528 x 16384 in coding mode 3 passes the header test; a decoder set up for
    // it would take more than 4 GiB. info must not set one up.
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 3;
    plan.avi.layout = avi::index_layout::none;   // key frames told by the intra frame size
    test_stream s = make_stream(plan);
    s.format.width = 65528;
    s.format.height = 16384;
    const fs::path avi_path = dir / "huge.avi";
    write_avi(avi_path, s.frames, format_bytes(s.format), plan);
    const run_result r = ruvdec({"info", avi_path.string()}, "", memory_limit);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("65528 x 16384"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("frames of 1610416132 bytes"), std::string::npos) << r.out;
}

TEST(RuvdecStream, FoundByHandlerInAnyCaseOrByCompression) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 4;
    const test_stream s = make_stream(plan);
    const bytes want = concat(host_decode(s, compression_yuy2), 0, 3);

    write_avi(dir / "lower.avi", s.frames, format_bytes(s.format), plan, avi::fourcc('r', 'u', 'v', '1'));
    write_avi(dir / "other.avi", s.frames, format_bytes(s.format), plan, avi::fourcc('D', 'I', 'B', ' '));
    for (const char* name : {"lower", "other"}) {
        SCOPED_TRACE(name);
        const fs::path out = dir / (std::string(name) + ".yuy2");
        const run_result r = ruvdec({"decode", (dir / (std::string(name) + ".avi")).string(), "-o", out.string()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(out), want);
    }
}

TEST(RuvdecErrors, FilesThatCannotBeDecoded) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 3;
    const test_stream s = make_stream(plan);

    std::ofstream(dir / "text.avi") << "this is not a video\n";
    bytes other_strf(40, 0);
    other_strf[0] = 40;
    std::memcpy(other_strf.data() + 16, "XVID", 4);
    write_avi(dir / "xvid.avi", s.frames, other_strf, plan, avi::fourcc('X', 'V', 'I', 'D'));

    struct refused_case {
        const char* name;
        InputFormat format;
        size_t strf_size;
        const char* message;
    };
    std::vector<refused_case> refused;
    InputFormat f = s.format;
    f.codec_version = 102;
    refused.push_back({"version102", f, 80, "codec_version is 102"});
    f = s.format;
    f.coding_mode = 5;
    refused.push_back({"mode5", f, 80, "coding_mode is 5"});
    f = s.format;
    f.bi_size = 40;
    refused.push_back({"bisize40", f, 80, "biSize is 40"});
    refused.push_back({"short", f, 40, "is 40 bytes"});
    f = s.format;
    f.width = 60;   // coding modes 1 to 4 need a multiple of 8
    refused.push_back({"width60", f, 80, "frame size 60 x 32 in coding mode 3: the width is not a multiple of"});
    for (const refused_case& c : refused) {
        bytes strf = format_bytes(c.format);
        strf.resize(c.strf_size);
        write_avi(dir / (std::string(c.name) + ".avi"), s.frames, strf, plan);
    }

    struct error_case {
        std::string file;
        std::string message;
    };
    std::vector<error_case> cases = {
        {"missing.avi", "ruvdec: error: cannot open"},
        {"text.avi", "not a RIFF AVI file"},
        {"xvid.avi", "no \"RUV1\" video stream"},
    };
    for (const refused_case& c : refused) cases.push_back({std::string(c.name) + ".avi", c.message});
    for (const error_case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path in = dir / c.file;
        const fs::path out = dir / (c.file + ".yuy2");
        run_result r = ruvdec({"decode", in.string(), "-o", out.string()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("ruvdec: error: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(occurrences(r.err, "\n"), 1u) << r.err;
        EXPECT_FALSE(fs::exists(out));
        r = ruvdec({"info", in.string()});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_TRUE(no_part_files(dir));
}

TEST(RuvdecErrors, OutputsThatCannotBeWrittenLeaveNothing) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 3;
    const fs::path avi_path = dir / "in.avi";
    write_stream(avi_path, plan);

    run_result r = ruvdec({"decode", avi_path.string(), "-o", (dir / "no" / "such" / "out.y4m").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ruvdec: error: cannot create"), std::string::npos) << r.err;
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "no" / "%03d.png").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ruvdec: error: cannot create"), std::string::npos) << r.err;

    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "in.avi" / "%03d.png").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ruvdec: error: cannot create"), std::string::npos) << r.err;

    // Never over the input, by any name.
    const bytes input = read_file(avi_path);
    const std::vector<std::vector<std::string>> over_input = {
        {"-o", avi_path.string(), "--format", "y4m"},
        {"-o", (dir / "." / "in.avi").string(), "--format", "rgb32"},
        {"-o", avi_path.string(), "--format", "png", "--frames", "0"},
    };
    for (const std::vector<std::string>& args : over_input) {
        SCOPED_TRACE(args[1] + " " + args[3]);
        std::vector<std::string> all = {"decode", avi_path.string()};
        all.insert(all.end(), args.begin(), args.end());
        r = ruvdec(all);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(": it is the input file"), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_file(avi_path), input);

    fs::create_directories(dir / "taken.yuy2");
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "taken.yuy2").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ruvdec: error: cannot write " + (dir / "taken.yuy2").string() + ": it is a folder"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::is_directory(dir / "taken.yuy2"));
    EXPECT_TRUE(no_part_files(dir));

#ifdef __linux__
    // A full disk, through a pipe and as a file name; a device is written in place,
    // never replaced by a renamed file.
    r = ruvdec({"decode", avi_path.string(), "-o", "-", "--format", "yuy2"}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ruvdec: error: cannot write to standard output"), std::string::npos) << r.err;
    r = ruvdec({"decode", avi_path.string(), "-o", "/dev/full", "--format", "y4m"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ruvdec: error: cannot write /dev/full"), std::string::npos) << r.err;
    // A PNG that meets a full disk says so.
    fs::create_symlink("/dev/full", dir / "full0.png");
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "full%d.png").string(), "--frames", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write " + (dir / "full0.png").string() + ": No space left on device"),
              std::string::npos)
        << r.err;
    r = ruvdec({"decode", avi_path.string(), "-o", "/dev/null", "--format", "rgb32"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_FALSE(fs::exists("/dev/null.part"));
#endif
}

TEST(RuvdecWarnings, DamagedFramesAreNamedAndDecodingGoesOn) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 8;
    test_stream s = make_stream(plan);
    // Frame 2: a payload end past the frame. Frame 6: cut short inside its table.
    s.frames[2].bytes[0] = 0xFF;
    s.frames[2].bytes[1] = 0xFF;
    s.frames[6].bytes.resize(s.frames[6].bytes.size() - 3);
    const fs::path avi_path = dir / "damaged.avi";
    write_avi(avi_path, s.frames, format_bytes(s.format), plan);

    const fs::path out = dir / "out.rgb32";
    run_result r = ruvdec({"decode", avi_path.string(), "-o", out.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("ruvdec: warning: frame 2: payload end outside the frame"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ruvdec: warning: frame 6: "), std::string::npos) << r.err;
    EXPECT_EQ(occurrences(r.err, "warning"), 2u) << r.err;
    EXPECT_EQ(read_file(out), concat(host_decode(s, compression_rgb32), 0, plan.frames - 1));

    // A missing PNG folder is found before any frame is decoded.
    r = ruvdec({"decode", avi_path.string(), "-o", (dir / "no" / "%d.png").string(), "--frames", "7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("ruvdec: error: cannot create", 0), 0u) << r.err;
    EXPECT_EQ(occurrences(r.err, "warning"), 0u) << r.err;

    // A stream that begins with a delta frame: decoded against black, with a warning.
    test_stream tail = s;
    tail.frames.erase(tail.frames.begin());
    tail.frames.erase(tail.frames.begin() + 1, tail.frames.end());
    const fs::path headless = dir / "headless.avi";
    write_avi(headless, tail.frames, format_bytes(s.format), plan);
    r = ruvdec({"decode", headless.string(), "-o", (dir / "headless.yuy2").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("ruvdec: warning: frame 0: a delta frame before any intra frame"), std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(dir / "headless.yuy2"), host_decode(tail, compression_yuy2)[0]);
}

TEST(RuvdecUsage, BadCommandLinesExitWithTwo) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 2;
    const fs::path avi_path = dir / "in.avi";
    write_stream(avi_path, plan);
    const std::string in = avi_path.string();

    const std::vector<std::vector<std::string>> bad = {
        {},
        {"convert", in},
        {"decode", in},
        {"decode", in, "-o", "-"},
        {"decode", in, "-o", (dir / "out.mp4").string()},
        {"decode", in, "-o", (dir / "out.yuy2").string(), "--format", "bmp"},
        {"decode", in, "-o", "-", "--format", "png"},
        {"decode", in, "-o", (dir / "out.yuy2").string(), "--frames", "x"},
        {"decode", in, "-o", (dir / "out.yuy2").string(), "--bogus"},
        {"decode", in, "-o", (dir / "out.yuy2").string(), "--kernels", "mmx"},
        {"decode", in, in, "-o", (dir / "out.yuy2").string()},
        {"info", in, "--quiet"},
        {"info"},
        {"--version", "extra"},
        {"decode", in, "-o", (dir / "out.yuy2").string(), "--full-range"},
    };
    for (const std::vector<std::string>& args : bad) {
        std::string line;
        for (const std::string& a : args) line += a + " ";
        SCOPED_TRACE(line);
        const run_result r = ruvdec(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_FALSE(fs::exists(dir / "out.yuy2"));

    // Messages that say what is wrong, and offer only what would work.
    const struct {
        std::vector<std::string> args;
        const char* says;
        const char* not_says;
    } told[] = {
        {{"decode", in, "-o", "-"}, "(yuy2, rgb32, i420 or y4m)", "png"},
        {{"decode", in, "-o", "x.yuy2", "--frames", "0-99999999999999999999"}, "out of range", "FIRST <= LAST"},
    };
    for (const auto& t : told) {
        const run_result r = ruvdec(t.args);
        EXPECT_NE(r.err.find(t.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(t.not_says), std::string::npos) << r.err;
    }

    run_result r = ruvdec({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ruvdec " RUV_VERSION_STRING "\n");
    r = ruvdec({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("ruvdec decode FILE -o OUT"), std::string::npos);
}

// ---------------------------------------------------------------------------
// AVI output

void set_le32(bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

uint32_t read_le32_at(const bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// The largest difference, in levels of any colour, between what a player shows
// for a stored AVI frame and the decoder's RGB32 picture (rows bottom-up). A
// player takes YUY2 as limited-range BT.601 and the fourth byte of RGB32 as
// alpha, so that byte must be opaque.
int max_difference_as_shown(const bytes& stored, bool rgb, const bytes& rgb32, int width, int height) {
    int worst = 0;
    const auto clamp = [](double v) { return int(std::lround(std::min(255.0, std::max(0.0, v)))); };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t want = (size_t(height - 1 - y) * width + x) * 4;
            int bgr[3];
            if (rgb) {
                const size_t at = want;
                if (stored[at + 3] != 0xFF) return 256;
                for (int k = 0; k < 3; ++k) bgr[k] = stored[at + k];
            } else {
                const size_t at = (size_t(y) * width + x) * 2;
                const size_t pair = (size_t(y) * width + (x & ~1)) * 2;
                const double l = 1.164383 * (stored[at] - 16);
                const double u = stored[pair + 1] - 128;
                const double v = stored[pair + 3] - 128;
                bgr[0] = clamp(l + 2.017232 * u);
                bgr[1] = clamp(l - 0.391762 * u - 0.812968 * v);
                bgr[2] = clamp(l + 1.596027 * v);
            }
            for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(bgr[k] - int(rgb32[want + k])));
        }
    return worst;
}

// A capture as a host records it: PCM audio (stream 0), the "RUV1" video
// (stream 1) and a second, smaller "RUV1" stream (2), interleaved frame by frame.
struct capture {
    test_stream video;
    test_stream second;
    avi::copied_stream audio_header;
    avi::copied_stream second_header;
    std::vector<bytes> audio;
};

avi::copied_stream video_header(const InputFormat& f, uint32_t rate) {
    avi::copied_stream c;
    c.strh = bytes(56, 0);
    set_le32(c.strh, 0, avi::id::vids);
    set_le32(c.strh, 4, handler_ruv1);
    set_le32(c.strh, 20, 1);
    set_le32(c.strh, 24, rate);
    c.strf = format_bytes(f);
    c.chunk_id = avi::fourcc('0', '2', 'd', 'c');
    return c;
}

capture write_capture(const fs::path& path, const stream_plan& plan) {
    capture c;
    c.video = make_stream(plan);
    stream_plan small = plan;
    small.width = 32;
    small.height = 16;
    small.mode = 2;
    small.dropped.clear();
    c.second = make_stream(small);
    // 16-bit stereo at 8000 Hz: 4-byte blocks, 32000 bytes a second.
    avi::copied_stream& a = c.audio_header;
    a.strh = bytes(56, 0);
    set_le32(a.strh, 0, avi::id::auds);
    set_le32(a.strh, 20, 4);         // dwScale: one block
    set_le32(a.strh, 24, 32000);     // dwRate: bytes a second
    set_le32(a.strh, 44, 4);         // dwSampleSize
    a.strf = {1, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x00, 0x7D, 0, 0, 4, 0, 16, 0};
    a.chunk_id = avi::fourcc('0', '0', 'w', 'b');
    uint32_t seed = 12345;
    uint32_t samples = 0;
    for (size_t n = 0; n < plan.frames; ++n) {
        bytes chunk(4 * (250 + 7 * n));
        for (uint8_t& b : chunk) b = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
        samples += uint32_t(chunk.size() / 4);
        c.audio.push_back(chunk);
    }
    set_le32(a.strh, 32, samples);   // dwLength
    c.second_header = video_header(c.second.format, plan.rate);

    avi::video_format format;
    format.handler = handler_ruv1;
    format.width = uint32_t(plan.width);
    format.height = uint32_t(plan.height);
    format.rate = plan.rate;
    format.scale = plan.scale;
    format.strf = format_bytes(c.video.format);
    avi::writer w;
    EXPECT_TRUE(w.open(path.string(), format, plan.avi, {c.audio_header, c.second_header}, 1)) << w.error();
    for (size_t n = 0; n < plan.frames; ++n) {
        const encoded_frame& v = c.video.frames[n];
        const encoded_frame& t = c.second.frames[n];
        EXPECT_TRUE(w.write_chunk(0, c.audio[n].data(), c.audio[n].size(), true));
        EXPECT_TRUE(w.write_chunk(1, v.bytes.data(), v.bytes.size(), v.key));
        EXPECT_TRUE(w.write_chunk(2, t.bytes.data(), t.bytes.size(), t.key));
    }
    EXPECT_TRUE(w.close()) << w.error();
    return c;
}

// Every chunk of a stream, with its key flag.
std::vector<std::pair<bytes, bool>> stream_chunks(avi::reader& r, size_t stream) {
    std::vector<std::pair<bytes, bool>> out;
    EXPECT_TRUE(r.select_stream(stream));
    for (size_t i = 0; i < r.frames().size(); ++i) {
        bytes data;
        EXPECT_TRUE(r.read_frame(i, data));
        out.emplace_back(data, r.frames()[i].keyframe);
    }
    return out;
}

// The stream numbers of a file's chunks in file order.
std::vector<size_t> interleaving(avi::reader& r) {
    std::vector<std::pair<uint64_t, size_t>> all;
    for (size_t n = 0; n < r.streams().size(); ++n) {
        EXPECT_TRUE(r.select_stream(n));
        for (const avi::frame_entry& e : r.frames()) all.emplace_back(e.offset, n);
    }
    std::sort(all.begin(), all.end());
    std::vector<size_t> order;
    for (const auto& e : all) order.push_back(e.second);
    return order;
}

TEST(RuvdecAvi, AudioAndOtherStreamsCopiedVideoDecodedDroppedFramesKept) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 12;
    plan.dropped = {4, 9};
    plan.random_deltas = true;
    const fs::path in = dir / "capture.avi";
    const capture c = write_capture(in, plan);
    avi::reader input;
    ASSERT_TRUE(input.open(in.string())) << input.error();
    const std::vector<size_t> input_order = interleaving(input);

    // How the frames are stored: limited-range YUY2 for players, the exact
    // samples with --full-range, or RGB32 with an opaque fourth byte.
    enum class stored { limited, full, rgb };
    struct output_case {
        std::vector<std::string> args;
        size_t decoded;          // stream decoded
        stored kind;
    };
    const output_case cases[] = {
        {{"-o", (dir / "yuy2.avi").string()}, 1, stored::limited},
        {{"-o", (dir / "full.avi").string(), "--full-range"}, 1, stored::full},
        {{"-o", (dir / "rgb.avi").string(), "--format", "rgb32"}, 1, stored::rgb},
        {{"-o", (dir / "second.avi").string(), "--stream", "2"}, 2, stored::limited},
    };
    for (const output_case& oc : cases) {
        SCOPED_TRACE(oc.args[1]);
        std::vector<std::string> args = {"decode", in.string()};
        args.insert(args.end(), oc.args.begin(), oc.args.end());
        const run_result r = ruvdec(args);
        ASSERT_EQ(r.status, 0) << r.err;
        avi::reader out;
        ASSERT_TRUE(out.open(oc.args[1])) << out.error();
        ASSERT_EQ(out.streams().size(), 3u);
        EXPECT_EQ(interleaving(out), input_order);

        // Audio: header, format and every byte as they were.
        EXPECT_EQ(out.streams()[0].header, c.audio_header.strh);
        EXPECT_EQ(out.streams()[0].format, c.audio_header.strf);
        const auto audio = stream_chunks(out, 0);
        ASSERT_EQ(audio.size(), c.audio.size());
        for (size_t i = 0; i < audio.size(); ++i) {
            EXPECT_EQ(audio[i].first, c.audio[i]) << i;
            EXPECT_TRUE(audio[i].second);
        }

        // The decoded stream: uncompressed frames, empty where the input dropped one.
        const test_stream& decoded = oc.decoded == 1 ? c.video : c.second;
        const uint32_t compression = oc.kind == stored::rgb ? compression_rgb32 : compression_yuy2;
        const std::vector<bytes> want = host_decode(decoded, compression);
        const std::vector<bytes> shown = host_decode(decoded, compression_rgb32);   // as the PNGs show it
        const avi::stream_info& v = out.streams()[oc.decoded];
        EXPECT_EQ(v.type, avi::id::vids);
        EXPECT_EQ(v.rate / v.scale, plan.rate);
        ASSERT_EQ(v.format.size(), 40u);
        EXPECT_EQ(read_le32_at(v.format, 4), uint32_t(decoded.format.width));
        EXPECT_EQ(read_le32_at(v.format, 8), uint32_t(decoded.format.height));   // RGB32 bottom-up
        EXPECT_EQ(read_le32_at(v.format, 16), compression);
        const auto frames = stream_chunks(out, oc.decoded);
        ASSERT_EQ(frames.size(), decoded.frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            if (decoded.frames[i].bytes.empty()) {
                EXPECT_TRUE(frames[i].first.empty());
            } else if (oc.kind == stored::full) {
                EXPECT_EQ(frames[i].first, want[i]);
            } else {
                EXPECT_LE(max_difference_as_shown(frames[i].first, oc.kind == stored::rgb, shown[i],
                                                  decoded.format.width, decoded.format.height),
                          2);
            }
            EXPECT_TRUE(frames[i].second || decoded.frames[i].bytes.empty());
        }

        // The other video stream, copied with its key flags.
        const size_t copied = oc.decoded == 1 ? 2 : 1;
        const test_stream& other = oc.decoded == 1 ? c.second : c.video;
        EXPECT_EQ(out.streams()[copied].format, format_bytes(other.format));
        const auto kept = stream_chunks(out, copied);
        ASSERT_EQ(kept.size(), other.frames.size());
        for (size_t i = 0; i < kept.size(); ++i) {
            EXPECT_EQ(kept[i].first, other.frames[i].bytes) << i;
            EXPECT_EQ(kept[i].second, other.frames[i].key) << i;
        }
    }

    // info tells every stream.
    const run_result info = ruvdec({"info", in.string(), "--json"});
    ASSERT_EQ(info.status, 0) << info.err;
    // The audio stream names no handler: null, as for whatever is unknown.
    EXPECT_NE(info.out.find("\"index\": 0, \"type\": \"audio\", \"fourcc\": \"auds\", \"handler\": null"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("\"format_tag\": 1, \"format\": \"PCM\", \"channels\": 2, \"sample_rate\": 8000, "
                            "\"bits_per_sample\": 16"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("\"index\": 2, \"type\": \"video\", \"fourcc\": \"vids\", \"handler\": \"RUV1\""),
              std::string::npos)
        << info.out;
    EXPECT_EQ(json_number(info.out, "stream"), 1);
    EXPECT_EQ(json_number(info.out, "header_frames"), 12);
    EXPECT_EQ(json_number(info.out, "file_size"), double(fs::file_size(in)));

    // Refused: to a pipe, and with a frame range.
    EXPECT_EQ(ruvdec({"decode", in.string(), "-o", "-", "--format", "avi"}).status, 2);
    EXPECT_EQ(ruvdec({"decode", in.string(), "-o", (dir / "x.avi").string(), "--frames", "2-3"}).status, 2);
    const run_result audio_stream = ruvdec({"decode", in.string(), "-o", (dir / "x.avi").string(), "--stream", "0"});
    EXPECT_EQ(audio_stream.status, 1);
    EXPECT_NE(audio_stream.err.find("stream 0 is not a \"RUV1\" video stream"), std::string::npos) << audio_stream.err;
    EXPECT_TRUE(no_part_files(dir));
}

// A stream of big pictures that decodes fast: one intra frame, then the same
// all-keep delta frame again and again.
fs::path write_large_stream(const fs::path& dir, size_t frames) {
    stream_plan plan;
    plan.width = 1024;
    plan.height = 1024;
    plan.frames = frames;
    stream_writer w;
    EXPECT_TRUE(w.setup(plan.width, plan.height, 3, 0));
    const picture p = synthetic_picture(plan.width, plan.height, 0);
    std::vector<encoded_frame> list = {w.write_intra(p)};
    const encoded_frame still = w.write_delta(p, 0);
    list.resize(frames, still);
    InputFormat f = w.input_format();
    const fs::path path = dir / "large.avi";
    write_avi(path, list, format_bytes(f), plan);
    return path;
}

TEST(RuvdecAvi, PastOneGibibyteTheOutputIsOpenDml) {
    const fs::path dir = test_dir();
    const size_t frames = 260;   // 4 MiB of RGB32 each
    const fs::path in = write_large_stream(dir, frames);
    const fs::path out = dir / "large_out.avi";
    const run_result r = ruvdec({"decode", in.string(), "-o", out.string(), "--format", "rgb32", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(fs::file_size(out), uint64_t(1) << 30);
    avi::reader back;
    ASSERT_TRUE(back.open(out.string())) << back.error();
    EXPECT_EQ(back.kind(), avi::index_kind::open_dml);
    EXPECT_GE(back.m_riff_count, 2u);
    EXPECT_EQ(back.header().odml_total_frames, frames);
    ASSERT_EQ(back.frames().size(), frames);
    bytes first;
    bytes last;
    ASSERT_TRUE(back.read_frame(0, first));
    ASSERT_TRUE(back.read_frame(frames - 1, last));
    EXPECT_EQ(first.size(), size_t(1024) * 1024 * 4);
    EXPECT_EQ(first, last);
    fs::remove(out);
}

// ---------------------------------------------------------------------------
// Output files

TEST(RuvdecOutput, LinksPermissionsAndOtherFilesAreRespected) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 3;
    const fs::path in = dir / "in.avi";
    const test_stream s = write_stream(in, plan);
    const bytes want = concat(host_decode(s, compression_yuy2), 0, 2);

    // Through a link: the target gets the output, the link stays a link.
    fs::create_directories(dir / "real");
    std::ofstream(dir / "real" / "target.yuy2") << "old";
    fs::create_symlink(fs::path("real") / "target.yuy2", dir / "link.yuy2");
    run_result r = ruvdec({"decode", in.string(), "-o", (dir / "link.yuy2").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir / "link.yuy2"));
    EXPECT_EQ(read_file(dir / "real" / "target.yuy2"), want);
    // A link to a file not there yet creates it.
    fs::create_symlink(fs::path("real") / "new.yuy2", dir / "dangling.yuy2");
    r = ruvdec({"decode", in.string(), "-o", (dir / "dangling.yuy2").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "real" / "new.yuy2"), want);

    // An existing file keeps its permissions; a user's OUT.part is never touched.
    std::ofstream(dir / "kept.yuy2") << "old";
    fs::permissions(dir / "kept.yuy2", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::ofstream(dir / "kept.yuy2.part") << "mine";
    r = ruvdec({"decode", in.string(), "-o", (dir / "kept.yuy2").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "kept.yuy2"), want);
    EXPECT_EQ(fs::status(dir / "kept.yuy2").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(read_text(dir / "kept.yuy2.part"), "mine");
    fs::remove(dir / "kept.yuy2.part");

    // A read-only file is left alone, with an error.
    std::ofstream(dir / "locked.yuy2") << "keep me";
    fs::permissions(dir / "locked.yuy2", fs::perms::owner_read | fs::perms::group_read);
    r = ruvdec({"decode", in.string(), "-o", (dir / "locked.yuy2").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write " + (dir / "locked.yuy2").string() + ": it is read-only"), std::string::npos)
        << r.err;
    EXPECT_EQ(read_text(dir / "locked.yuy2"), "keep me");

#ifdef __linux__
    // A folder where nothing may be created: the message names the temporary file.
    // (Skipped for a user whom permissions do not stop.)
    fs::create_directories(dir / "shut");
    fs::permissions(dir / "shut", fs::perms::owner_read | fs::perms::owner_exec);
    std::ofstream probe(dir / "shut" / "probe");
    const bool stopped = !probe;
    probe.close();
    if (stopped) {
        r = ruvdec({"decode", in.string(), "-o", (dir / "shut" / "out.yuy2").string()});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot create the temporary file " + (dir / "shut" / "out.yuy2").string() + "."),
                  std::string::npos)
            << r.err;
    }
    fs::permissions(dir / "shut", fs::perms::owner_all);
#endif
    EXPECT_TRUE(no_part_files(dir));
}

#ifdef __linux__
TEST(RuvdecOutput, InterruptedRunsLeaveNoTemporaryFile) {
    const fs::path dir = test_dir();
    const fs::path in = write_large_stream(dir, 200);
    for (const char* signal_name : {"INT", "TERM"}) {
        SCOPED_TRACE(signal_name);
        const fs::path out = dir / "out.avi";
        // Waits for the temporary file, stops ruvdec, and gives its exit status.
        const std::string script =
            quoted(RUVDEC_PATH) + " decode " + quoted(in.string()) + " -o " + quoted(out.string()) +
            " -q & pid=$!; n=0; until ls " + quoted(dir.string()) + "/*.part >/dev/null 2>&1 || [ $n -gt 2000 ]; do " +
            "sleep 0.01; n=$((n+1)); done; kill -" + signal_name + " $pid; wait $pid; echo $? > " +
            quoted((dir / "status").string());
        ASSERT_EQ(std::system(("sh -c " + quoted(script)).c_str()), 0);
        const int status = std::atoi(read_text(dir / "status").c_str());
        EXPECT_EQ(status, 128 + (std::string(signal_name) == "INT" ? SIGINT : SIGTERM));
        EXPECT_FALSE(fs::exists(out));
        EXPECT_TRUE(no_part_files(dir));
    }
}

TEST(RuvdecOutput, KilledRunsTemporaryFilesAreRemovedByTheNextRun) {
    const fs::path dir = test_dir();
    const fs::path in = write_large_stream(dir, 200);
    const fs::path out = dir / "out.avi";
    const std::string script = quoted(RUVDEC_PATH) + " decode " + quoted(in.string()) + " -o " + quoted(out.string()) +
                               " -q & pid=$!; n=0; until ls " + quoted(dir.string()) +
                               "/*.part >/dev/null 2>&1 || [ $n -gt 2000 ]; do sleep 0.01; n=$((n+1)); done; " +
                               "kill -KILL $pid; wait $pid; true";
    ASSERT_EQ(std::system(("sh -c " + quoted(script)).c_str()), 0);
    ASSERT_FALSE(no_part_files(dir));
    // A temporary file of a process that still runs (this one) is left alone.
    const fs::path live = dir / ("out.avi." + std::to_string(getpid()) + "-0.part");
    std::ofstream(live).put('x');

    const run_result r = ruvdec({"decode", in.string(), "-o", out.string(), "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("left by a run that was killed"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(live));
    fs::remove(live);
    EXPECT_TRUE(no_part_files(dir));
}
#endif

// ---------------------------------------------------------------------------
// Honest results

TEST(RuvdecHonest, EveryKeyFlagWrongDecodesAsTheCodecDoes) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 14;
    plan.key_interval = 5;
    const test_stream s = make_stream(plan);
    test_stream wrong = s;
    for (encoded_frame& f : wrong.frames) f.key = !f.key;
    const fs::path in = dir / "wrong.avi";
    write_avi(in, wrong.frames, format_bytes(s.format), plan);
    const std::vector<bytes> want = host_decode(s, compression_yuy2);

    run_result r = ruvdec({"decode", in.string(), "-o", (dir / "all.yuy2").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "all.yuy2"), concat(want, 0, plan.frames - 1));
    EXPECT_EQ(r.err, "");
    // Seeking starts at the frame that really is intra (frame 5), not at frame 8,
    // the last one flagged before frame 8.
    r = ruvdec({"decode", in.string(), "-o", (dir / "part.yuy2").string(), "--frames", "8-9"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "part.yuy2"), concat(want, 8, 9));

    r = ruvdec({"info", in.string(), "--json", "--frames"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (size_t n = 0; n < plan.frames; ++n) {
        const std::string entry = "{\"frame\": " + std::to_string(n) + ", \"size\": " +
                                  std::to_string(s.frames[n].bytes.size()) + ", \"key\": " +
                                  (wrong.frames[n].key ? "true" : "false") + ", \"decoded_as\": \"" +
                                  (s.frames[n].key ? "intra" : "delta") + "\"}";
        EXPECT_NE(r.out.find(entry), std::string::npos) << entry << "\n" << r.out;
    }
    r = ruvdec({"info", in.string(), "--frames"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("decoded as"), std::string::npos) << r.out;
}

TEST(RuvdecHonest, EmptyFaultyAndRatelessStreams) {
    const fs::path dir = test_dir();
    stream_plan plan;
    plan.frames = 6;
    test_stream s = make_stream(plan);

    // No frames at all, and only dropped frames: errors, no output.
    write_avi(dir / "empty.avi", {}, format_bytes(s.format), plan);
    write_avi(dir / "dropped.avi", std::vector<encoded_frame>(3), format_bytes(s.format), plan);
    for (const char* name : {"empty", "dropped"}) {
        SCOPED_TRACE(name);
        const fs::path out = dir / (std::string(name) + ".y4m");
        const run_result r = ruvdec({"decode", (dir / (std::string(name) + ".avi")).string(), "-o", out.string()});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string(name) == "empty" ? "holds no frames" : "no frame of 0-2 could be decoded"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(out));
    }

    // Faults: a summary line; --strict stops with exit status 3 and no output.
    s.frames[3].bytes.resize(s.frames[3].bytes.size() / 2);
    const fs::path faulty = dir / "faulty.avi";
    write_avi(faulty, s.frames, format_bytes(s.format), plan);
    run_result r = ruvdec({"decode", faulty.string(), "-o", (dir / "faulty.yuy2").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("ruvdec: 1 of 6 frames had faults"), std::string::npos) << r.err;
    r = ruvdec({"decode", faulty.string(), "-o", (dir / "strict.yuy2").string(), "--strict"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("ruvdec: error: frame 3: "), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "strict.yuy2"));
    write_stream(dir / "clean.avi", plan);
    r = ruvdec({"decode", (dir / "clean.avi").string(), "-o", (dir / "clean.yuy2").string(), "--strict"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("had faults"), std::string::npos) << r.err;

    // No frame rate: a warning, and the stated default in the Y4M header.
    bytes image = read_file(dir / "clean.avi");
    const std::string text(image.begin(), image.end());
    const size_t strh = text.find("strh");
    ASSERT_NE(strh, std::string::npos);
    set_le32(image, strh + 8 + 20, 0);   // dwScale
    set_le32(image, strh + 8 + 24, 0);   // dwRate
    const size_t avih = text.find("avih");
    set_le32(image, avih + 8, 0);        // dwMicroSecPerFrame
    std::ofstream(dir / "rateless.avi", std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                               std::streamsize(image.size()));
    r = ruvdec({"decode", (dir / "rateless.avi").string(), "-o", (dir / "rateless.y4m").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("gives no frame rate; writing 25 frames a second"), std::string::npos) << r.err;
    EXPECT_EQ(read_text(dir / "rateless.y4m").rfind("YUV4MPEG2 W64 H32 F25:1 ", 0), 0u);
    r = ruvdec({"info", (dir / "rateless.avi").string(), "--json"});
    EXPECT_NE(r.out.find("\"frame_rate\": null"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace ruv
