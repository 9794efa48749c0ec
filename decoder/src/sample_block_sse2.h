// SSE2 twin of rebuild_sample_block_c: the four samples of a block in four 16-bit
// lanes. Each delta field is moved to the top of its lane by a multiply (a
// per-lane left shift) and the bits below it cleared, then one arithmetic right
// shift sign-extends and scales it. Only kernels_sse2.cpp includes this file.
#pragma once

#include <emmintrin.h>

#include <cstring>

#include "sample_block.h"

namespace ruv {
namespace sse2 {

// The right-shift counts of one frame, fixed from its shifts once per frame.
struct delta_shifts {
    __m128i delta2;  // 14 - shift2
    __m128i delta4;  // 12 - shift4
    __m128i fine4;   // 12

    delta_shifts(int32_t shift2, int32_t shift4)
        : delta2(_mm_cvtsi32_si128(14 - shift2)), delta4(_mm_cvtsi32_si128(12 - shift4)), fine4(_mm_cvtsi32_si128(12)) {}
};

inline __m128i load4_u16(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
}

inline void store4(uint8_t* p, __m128i bytes) {
    const int32_t v = _mm_cvtsi128_si32(bytes);
    std::memcpy(p, &v, 4);
}

inline size_t rebuild_sample_block(uint32_t code, const uint8_t* payload, const uint8_t* predictor,
                                        uint8_t* ref, uint8_t* shown, const delta_shifts& shifts) {
    __m128i deltas;
    const uint8_t* source;
    switch (code) {
        case LITERAL:
            std::memcpy(ref, payload, 4);
            std::memcpy(shown, payload, 4);
            return 4;
        case LEFT:
            std::memcpy(ref, predictor, 4);
            std::memcpy(shown, predictor, 4);
            return 0;
        case DELTA2:
        case LEFT_DELTA2: {
            source = code == DELTA2 ? ref : predictor;
            // Lane i holds the byte shifted left by 14 - 2i: field i at bits 14-15.
            const __m128i copies = _mm_mullo_epi16(_mm_set1_epi16(int16_t(payload[0])),
                                                   _mm_setr_epi16(1 << 14, 1 << 12, 1 << 10, 1 << 8, 0, 0, 0, 0));
            deltas = _mm_sra_epi16(_mm_and_si128(copies, _mm_set1_epi16(int16_t(0xC000))), shifts.delta2);
            break;
        }
        case DELTA4:
        case DELTA4_FINE:
        case LEFT_DELTA4: {
            source = code == LEFT_DELTA4 ? predictor : ref;
            // Lanes p0 p1 p0 p1, shifted left by 12, 12, 8, 8: low halves of p0, p1
            // then high halves at bits 12-15.
            const __m128i pairs = _mm_set1_epi32(int32_t(payload[0]) | int32_t(payload[1]) << 16);
            const __m128i copies = _mm_mullo_epi16(pairs, _mm_setr_epi16(1 << 12, 1 << 12, 1 << 8, 1 << 8, 0, 0, 0, 0));
            deltas = _mm_sra_epi16(_mm_and_si128(copies, _mm_set1_epi16(int16_t(0xF000))),
                                   code == DELTA4_FINE ? shifts.fine4 : shifts.delta4);
            break;
        }
        default:  // KEEP, and chroma codes above 7
            std::memcpy(shown, ref, 4);
            return 0;
    }
    const __m128i sums = _mm_add_epi16(load4_u16(source), deltas);
    store4(ref, _mm_packus_epi16(_mm_and_si128(sums, _mm_set1_epi16(0xFF)), sums));
    store4(shown, _mm_packus_epi16(sums, sums));
    return payload_size[code];
}

}  // namespace sse2
}  // namespace ruv
