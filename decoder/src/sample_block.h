// Rebuilding one sample block of a delta frame: four bytes of the reference frame
// (a cell's luma or a cell pair's U, V, U, V) formed anew by one code. This is the
// scalar reference; sample_block_sse2.h holds its SIMD twin.
//
// Codes: 0 KEEP, 1 LITERAL (4 payload bytes), 2 DELTA2 (1 byte of 2-bit deltas),
// 3 DELTA4 (2 bytes of 4-bit deltas), 4 LEFT (the predictor), 5 DELTA4_FINE
// (unscaled 4-bit deltas), 6 LEFT_DELTA2 and 7 LEFT_DELTA4 (deltas on the
// predictor). A chroma code above 7 acts as KEEP. The reference keeps each sum
// modulo 256; the output shows it clamped to 0..255.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ruv {

enum sample_code : uint8_t {
    KEEP = 0,
    LITERAL = 1,
    DELTA2 = 2,
    DELTA4 = 3,
    LEFT = 4,
    DELTA4_FINE = 5,
    LEFT_DELTA2 = 6,
    LEFT_DELTA4 = 7,
};

// Payload bytes that each code consumes.
constexpr uint8_t payload_size[8] = {0, 4, 1, 2, 0, 2, 1, 2};

// Largest payload of one 8x2 block: six LITERAL codes.
constexpr size_t max_block_payload = 24;

// The signed value of a 2-bit and of a 4-bit two's-complement field.
inline int32_t field2(uint32_t x) { return int32_t((x & 3u) ^ 2u) - 2; }
inline int32_t field4(uint32_t x) { return int32_t((x & 15u) ^ 8u) - 8; }

// The four deltas of a code, before scaling: 2-bit fields from one byte (sample i
// in bits 2i, 2i+1), or 4-bit fields from two (sample 0 and 2 in the low and high
// halves of the first byte, samples 1 and 3 in those of the second).
inline void unpack_deltas2(const uint8_t* payload, int32_t* d) {
    for (int i = 0; i < 4; ++i) d[i] = field2(uint32_t(payload[0]) >> (2 * i));
}
inline void unpack_deltas4(const uint8_t* payload, int32_t* d) {
    d[0] = field4(payload[0]);
    d[1] = field4(payload[1]);
    d[2] = field4(uint32_t(payload[0]) >> 4);
    d[3] = field4(uint32_t(payload[1]) >> 4);
}

// Rebuilds the block at `ref` by `code`: writes the stored samples over `ref` and
// the shown samples to `shown`; returns the payload bytes consumed.
inline size_t rebuild_sample_block_c(uint32_t code, const uint8_t* payload, const uint8_t* predictor,
                                     uint8_t* ref, uint8_t* shown, int32_t shift2, int32_t shift4) {
    const uint8_t* source;
    int32_t d[4];
    switch (code) {
        case LITERAL:
            for (int i = 0; i < 4; ++i) ref[i] = shown[i] = payload[i];
            return 4;
        case LEFT:
            for (int i = 0; i < 4; ++i) ref[i] = shown[i] = predictor[i];
            return 0;
        case DELTA2:
        case LEFT_DELTA2:
            source = code == DELTA2 ? ref : predictor;
            unpack_deltas2(payload, d);
            for (int i = 0; i < 4; ++i) d[i] *= 1 << shift2;
            break;
        case DELTA4:
        case DELTA4_FINE:
        case LEFT_DELTA4: {
            source = code == LEFT_DELTA4 ? predictor : ref;
            unpack_deltas4(payload, d);
            const int32_t shift = code == DELTA4_FINE ? 0 : shift4;
            for (int i = 0; i < 4; ++i) d[i] *= 1 << shift;
            break;
        }
        default:  // KEEP, and chroma codes above 7
            for (int i = 0; i < 4; ++i) shown[i] = ref[i];
            return 0;
    }
    for (int i = 0; i < 4; ++i) {
        const int32_t sum = source[i] + d[i];
        ref[i] = uint8_t(sum & 0xFF);
        shown[i] = uint8_t(sum < 0 ? 0 : sum > 255 ? 255 : sum);
    }
    return payload_size[code];
}

}  // namespace ruv
