// Writes seed corpora for the fuzz targets from the stream writer: short streams
// in every coding mode and output kind, greedy and random, in the input layout
// of fuzz_frames; their mode tables alone for the table fuzzers; and small AVI
// files in each index layout for the AVI reader.
//   make_seeds FRAMES_DIR PACKED_DIR RLE_DIR AVI_DIR
#include <cstdio>
#include <string>
#include <vector>

#include "avi.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

bool save(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// A short coding-mode-2 stream with a dropped frame, in one index layout.
bool write_avi(const std::string& path, ruv::avi::index_layout layout) {
    ruv::stream_writer writer;
    if (!writer.setup(16, 4, 2, 3)) return false;
    ruv::avi::video_format format;
    format.handler = ruv::avi::fourcc('R', 'U', 'V', '1');
    format.width = 16;
    format.height = 4;
    format.rate = 30;
    format.scale = 1;
    format.strf = writer.input_format_bytes();
    ruv::avi::writer_options options;
    options.layout = layout;
    options.riff_limit = 600;  // several RIFFs in the OpenDML layout
    ruv::avi::writer avi;
    if (!avi.open(path, format, options)) return false;
    for (uint32_t n = 0; n < 7; ++n) {
        if (n == 4) {
            if (!avi.write_frame(nullptr, 0, false)) return false;
            continue;
        }
        const ruv::encoded_frame frame = writer.write_frame(ruv::synthetic_picture(16, 4, n), 2);
        if (!avi.write_frame(frame.bytes.data(), frame.bytes.size(), frame.key)) return false;
    }
    return avi.close();
}

uint32_t read_u32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: make_seeds FRAMES_DIR PACKED_DIR RLE_DIR AVI_DIR\n");
        return 2;
    }
    int written = 0;
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        for (int variant = 0; variant < 4; ++variant) {
            // The fuzz targets pick width 8 * (1 + b0 % 12) and height 2 * (1 + b1 % 12)
            // (width 4 * (1 + b0 % 24) in coding mode 0).
            const uint8_t b0 = uint8_t(mode == 0 ? 7 : 3);   // 32 pixels wide
            const uint8_t b1 = uint8_t(3 + variant);         // 8 to 14 lines
            const int32_t width = 32;
            const int32_t height = 2 * (1 + b1);
            const bool random = variant & 2;
            // Output format I420, YUY2 or RGB32 by variant, rows 9 bytes wider than
            // the picture, bottom-up for odd variants.
            const uint8_t output = uint8_t(variant % 3 | 1 << 2 | (variant & 1 ? 0x80 : 0));

            ruv::stream_writer writer;
            if (!writer.setup(width, height, mode, 4)) return 1;
            std::vector<uint8_t> seed = {b0, b1, uint8_t(mode), output};
            for (uint32_t n = 0; n < 6; ++n) {
                const ruv::picture target = ruv::synthetic_picture(width, height, 3 * n);
                const ruv::encoded_frame frame = writer.is_key_frame(n) ? writer.write_intra(target)
                                                 : random ? writer.write_random_delta(n)
                                                          : writer.write_delta(target, 3);
                const size_t length = frame.bytes.size();
                seed.push_back(uint8_t((frame.key ? 1 : 0) | (n == 4 ? 2 : 0)));   // frame 4 shown to no picture
                seed.push_back(uint8_t(length));
                seed.push_back(uint8_t(length >> 8));
                seed.insert(seed.end(), frame.bytes.begin(), frame.bytes.end());

                if (frame.key || mode == 0) continue;
                // The table fuzzers take width 8 * (1 + b0 % 16), height 2 * (1 + b1 % 16).
                const uint32_t end = read_u32(frame.bytes, 0);
                std::vector<uint8_t> table = {3, b1, uint8_t(mode <= 2 ? mode - 1 : mode - 3)};
                const std::string name = "/m" + std::to_string(mode) + "v" + std::to_string(variant) + "f" +
                                         std::to_string(n);
                if (mode <= 2) {
                    table.insert(table.end(), frame.bytes.begin() + 4, frame.bytes.begin() + end);
                    if (!save(argv[2] + name, table)) return 1;
                } else {
                    const uint32_t length_word = read_u32(frame.bytes, end);
                    table.insert(table.end(), frame.bytes.begin() + end + 4, frame.bytes.begin() + end + length_word);
                    if (!save(argv[3] + name, table)) return 1;
                }
            }
            if (!save(std::string(argv[1]) + "/m" + std::to_string(mode) + "v" + std::to_string(variant), seed)) {
                return 1;
            }
            ++written;
        }
    }
    const std::string avi_dir = argv[4];
    if (!write_avi(avi_dir + "/idx1.avi", ruv::avi::index_layout::idx1) ||
        !write_avi(avi_dir + "/opendml.avi", ruv::avi::index_layout::open_dml) ||
        !write_avi(avi_dir + "/none.avi", ruv::avi::index_layout::none)) {
        return 1;
    }
    std::printf("wrote %d stream seeds and 3 AVI files\n", written);
    return 0;
}
