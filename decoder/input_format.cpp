#include "input_format.h"

#include "decoder.h"

namespace ruv {

namespace {

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t read_u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
void write_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void write_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

}  // namespace

bool InputFormat::parse(const uint8_t* b, size_t length) {
    if (length < input_format_size) return false;
    bi_size = read_u32(b);
    width = int32_t(read_u32(b + 4));
    height = int32_t(read_u32(b + 8));
    planes = read_u16(b + 12);
    bit_count = read_u16(b + 14);
    compression = read_u32(b + 16);
    size_image = read_u32(b + 20);
    x_pels_per_meter = int32_t(read_u32(b + 24));
    y_pels_per_meter = int32_t(read_u32(b + 28));
    clr_used = read_u32(b + 32);
    clr_important = read_u32(b + 36);
    codec_version = read_u32(b + 40);
    coding_mode = read_u32(b + 44);
    for (size_t i = 0; i < sizeof reserved; ++i) reserved[i] = b[48 + i];
    return true;
}

void InputFormat::serialize(uint8_t* b) const {
    write_u32(b, bi_size);
    write_u32(b + 4, uint32_t(width));
    write_u32(b + 8, uint32_t(height));
    write_u16(b + 12, planes);
    write_u16(b + 14, bit_count);
    write_u32(b + 16, compression);
    write_u32(b + 20, size_image);
    write_u32(b + 24, uint32_t(x_pels_per_meter));
    write_u32(b + 28, uint32_t(y_pels_per_meter));
    write_u32(b + 32, clr_used);
    write_u32(b + 36, clr_important);
    write_u32(b + 40, codec_version);
    write_u32(b + 44, coding_mode);
    for (size_t i = 0; i < sizeof reserved; ++i) b[48 + i] = reserved[i];
}

bool InputFormat::accepted() const {
    return bi_size == input_format_size && codec_version <= max_codec_version &&
           coding_mode <= max_coding_mode;
}

bool InputFormat::decodable() const {
    if (!accepted()) return false;
    return frame_size_supported(width, height, coding_mode);
}

}  // namespace ruv
