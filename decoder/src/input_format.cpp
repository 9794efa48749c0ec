#include "input_format.h"

#include "decoder.h"
#include "le.h"

namespace ruv {

bool InputFormat::parse(const uint8_t* b, size_t length) {
    if (length < input_format_size) return false;
    bi_size = read_le32(b);
    width = int32_t(read_le32(b + 4));
    height = int32_t(read_le32(b + 8));
    planes = read_le16(b + 12);
    bit_count = read_le16(b + 14);
    compression = read_le32(b + 16);
    size_image = read_le32(b + 20);
    x_pels_per_meter = int32_t(read_le32(b + 24));
    y_pels_per_meter = int32_t(read_le32(b + 28));
    clr_used = read_le32(b + 32);
    clr_important = read_le32(b + 36);
    codec_version = read_le32(b + 40);
    coding_mode = read_le32(b + 44);
    for (size_t i = 0; i < sizeof reserved; ++i) reserved[i] = b[48 + i];
    return true;
}

void InputFormat::serialize(uint8_t* b) const {
    write_le32(b, bi_size);
    write_le32(b + 4, uint32_t(width));
    write_le32(b + 8, uint32_t(height));
    write_le16(b + 12, planes);
    write_le16(b + 14, bit_count);
    write_le32(b + 16, compression);
    write_le32(b + 20, size_image);
    write_le32(b + 24, uint32_t(x_pels_per_meter));
    write_le32(b + 28, uint32_t(y_pels_per_meter));
    write_le32(b + 32, clr_used);
    write_le32(b + 36, clr_important);
    write_le32(b + 40, codec_version);
    write_le32(b + 44, coding_mode);
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
