// Little-endian fields of frames and headers, read and written byte by byte so
// that the result is the same on any processor.
#pragma once

#include <cstdint>

namespace ruv {

inline uint16_t read_le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

inline uint32_t read_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void write_le16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void write_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace ruv
