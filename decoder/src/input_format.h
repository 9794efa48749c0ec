// The 80-byte stream format header of a "RUV1" stream: a BITMAPINFOHEADER whose
// biSize is 80, then codec_version, coding_mode and 32 bytes that nothing reads.
// Kept free of platform headers so that tools on any system can read and write it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ruv {

constexpr uint32_t fourcc_ruv1 = 0x31565552;   // "RUV1"
constexpr size_t input_format_size = 80;
constexpr uint32_t max_codec_version = 101;
constexpr uint32_t max_coding_mode = 4;

struct InputFormat {
    // BITMAPINFOHEADER
    uint32_t bi_size = input_format_size;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t planes = 1;
    uint16_t bit_count = 24;
    uint32_t compression = fourcc_ruv1;
    uint32_t size_image = 0;
    int32_t x_pels_per_meter = 0;
    int32_t y_pels_per_meter = 0;
    uint32_t clr_used = 0;
    uint32_t clr_important = 0;
    // extension
    uint32_t codec_version = max_codec_version;
    uint32_t coding_mode = 0;
    uint8_t reserved[32] = {};

    // Reads the header from little-endian bytes; false when fewer than 80 bytes are given.
    bool parse(const uint8_t* bytes, size_t length);
    // Writes the 80 little-endian bytes.
    void serialize(uint8_t* bytes) const;

    // The codec's test on an input header: biSize 80, codec_version at most 101,
    // coding_mode at most 4.
    bool accepted() const;
    // accepted(), and a frame size that the decoder can set up for this coding mode.
    bool decodable() const;
};

}  // namespace ruv
