// Decoding speed as a Video for Windows host sees it: the codec installed as a
// user installs it, opened by FourCC through the codec manager, and a 1080p
// stream of coding mode 3 decoded with ICDecompress into output buffers at
// chosen offsets from a cache line; beside it, in the same run, the library's
// own decode of the same frames into the same buffers. Rounds interleave every
// case, so that the machine's noise hits them alike; figures are medians.
//
//   host_bench [--rounds N] [--frames N] [--offsets 0,8,40]
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "input_format.h"
#include "ruv/ruv.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

using namespace ruv;

constexpr int32_t width = 1920, height = 1080;
constexpr uint32_t coding_mode = 3;
constexpr DWORD ruv1 = mmioFOURCC('R', 'U', 'V', '1');
constexpr uint32_t compression_rgb32 = BI_RGB, compression_yuy2 = mmioFOURCC('Y', 'U', 'Y', '2');

// Ruv_dec.dll as the build made it, by its Windows path (Wine's drive Z: is /).
std::string dll_path() {
    std::string path = RUV_DLL_PATH;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// Copies the DLL into the system directory, registers it for "vidc.RUV1" and
// allows both outputs, as a user's install does.
bool install_codec() {
    char directory[MAX_PATH];
    if (GetSystemDirectoryA(directory, MAX_PATH) == 0) return false;
    const std::string system = directory;
    if (!CopyFileA(dll_path().c_str(), (system + "\\Ruv_dec.dll").c_str(), FALSE)) return false;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32", 0, nullptr,
                        0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const char value[] = "Ruv_dec.dll";
    const bool set = RegSetValueExA(key, "vidc.RUV1", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value) ==
                     ERROR_SUCCESS;
    RegCloseKey(key);
    FILE* profile = std::fopen((system + "\\RuvDec.ini").c_str(), "wb");
    if (!profile) return false;
    std::fputs("[OUTPUT]\r\nrgb32=ON\r\nyuy2=ON\r\n", profile);
    return std::fclose(profile) == 0 && set;
}

double now_us() {
    static const double per_us = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart) / 1e6;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / per_us;
}

// An output buffer `offset` bytes past a cache line.
struct output_buffer {
    std::vector<uint8_t> block;
    uint8_t* data;
    output_buffer(size_t bytes, size_t offset) : block(bytes + 128) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(block.data());
        data = block.data() + ((at + 63) / 64 * 64 - at) + offset;
    }
};

struct codec_session {
    HIC hic = nullptr;
    alignas(8) uint8_t header[80] = {};
    BITMAPINFOHEADER out{};

    bool begin(const InputFormat& format, uint32_t compression) {
        hic = ICOpen(ICTYPE_VIDEO, ruv1, ICMODE_DECOMPRESS);
        if (!hic) return false;
        format.serialize(header);
        out.biSize = sizeof out;
        out.biWidth = width;
        out.biHeight = height;
        out.biPlanes = 1;
        out.biBitCount = compression == compression_rgb32 ? 32 : 16;
        out.biCompression = compression;
        return ICDecompressBegin(hic, in(), &out) == ICERR_OK;
    }
    BITMAPINFOHEADER* in() { return reinterpret_cast<BITMAPINFOHEADER*>(header); }
    bool decode(const encoded_frame& f, uint8_t* picture) {
        in()->biSizeImage = DWORD(f.bytes.size());
        return ICDecompress(hic, f.key ? 0 : ICDECOMPRESS_NOTKEYFRAME, in(), const_cast<uint8_t*>(f.bytes.data()),
                            &out, picture) == ICERR_OK;
    }
    ~codec_session() {
        if (!hic) return;
        ICDecompressEnd(hic);
        ICClose(hic);
    }
};

// One case: an output format at an offset, timed through the codec manager and
// through the library; microseconds a frame, one figure a round.
struct bench_case {
    uint32_t compression;
    size_t offset;
    std::vector<double> codec_us, library_us;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::vector<size_t> parse_offsets(const char* text) {
    std::vector<size_t> offsets;
    for (const char* p = text; *p;) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(p, &end, 10);
        if (end == p || v >= 64) return {};
        offsets.push_back(v);
        p = *end == ',' ? end + 1 : end;
    }
    return offsets;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7, frame_count = 10;
    std::vector<size_t> offsets = {0, 8, 16, 24, 32, 40, 48, 56};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds") rounds = std::atoi(argv[i + 1]);
        else if (option == "--frames") frame_count = std::atoi(argv[i + 1]);
        else if (option == "--offsets") offsets = parse_offsets(argv[i + 1]);
        else rounds = 0;
    }
    if (rounds <= 0 || frame_count <= 0 || offsets.empty() || argc % 2 == 0) {
        std::fprintf(stderr, "usage: host_bench [--rounds N] [--frames N] [--offsets 0,8,40]\n");
        return 2;
    }
    if (!install_codec()) {
        std::fprintf(stderr, "host_bench: cannot install %s\n", dll_path().c_str());
        return 1;
    }

    // A key frame, then delta frames of a moving picture.
    stream_writer writer;
    writer.setup(width, height, coding_mode, uint32_t(frame_count));
    std::vector<encoded_frame> frames;
    for (int t = 0; t < frame_count; ++t) frames.push_back(writer.write_frame(synthetic_picture(width, height, uint32_t(t)), 3));
    const InputFormat format = writer.input_format();

    std::vector<bench_case> cases;
    for (uint32_t compression : {compression_yuy2, compression_rgb32})
        for (size_t offset : offsets) cases.push_back({compression, offset, {}, {}});

    for (int round = 0; round < rounds; ++round) {
        for (bench_case& c : cases) {
            output_buffer buffer(size_t(width) * height * (c.compression == compression_rgb32 ? 4 : 2), c.offset);
            codec_session codec;
            if (!codec.begin(format, c.compression)) {
                std::fprintf(stderr, "host_bench: the codec manager did not begin the stream\n");
                return 1;
            }
            double start = now_us();
            for (const encoded_frame& f : frames) {
                if (!codec.decode(f, buffer.data)) {
                    std::fprintf(stderr, "host_bench: ICDecompress failed\n");
                    return 1;
                }
            }
            c.codec_us.push_back((now_us() - start) / double(frames.size()));

            const bool rgb = c.compression == compression_rgb32;
            const ruv_stream_info info{width, height, 101, coding_mode};
            const ruv_decoder_settings settings{rgb ? RUV_PIXEL_RGB32 : RUV_PIXEL_YUY2, RUV_KERNELS_ANY};
            ruv_decoder* library = nullptr;
            ruv_picture picture;
            if (ruv_decoder_open(&info, &settings, &library) != RUV_OK ||
                ruv_picture_packed(&picture, &info, settings.format, buffer.data, buffer.block.size() - 128, rgb) != RUV_OK) {
                std::fprintf(stderr, "host_bench: the library refused the stream\n");
                return 1;
            }
            start = now_us();
            for (const encoded_frame& f : frames)
                ruv_decode(library, f.bytes.data(), f.bytes.size(), f.key ? RUV_FRAME_KEY : 0, &picture, nullptr);
            c.library_us.push_back((now_us() - start) / double(frames.size()));
            ruv_decoder_close(library);
        }
    }

    std::printf("%d-bit host, %dx%d coding mode %u, %d frames, medians of %d rounds (us a frame)\n",
                int(8 * sizeof(void*)), width, height, coding_mode, frame_count, rounds);
    std::printf("%-6s %6s %10s %10s %7s\n", "output", "offset", "codec", "library", "ratio");
    for (const bench_case& c : cases) {
        const double codec = median(c.codec_us), library = median(c.library_us);
        std::printf("%-6s %6u %10.1f %10.1f %7.2f\n", c.compression == compression_rgb32 ? "rgb32" : "yuy2",
                    unsigned(c.offset), codec, library, codec / library);
    }
    return 0;
}
