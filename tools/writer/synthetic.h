// Deterministic test pictures: a moving synthetic scene and random pictures.
// Integer arithmetic only, so every platform makes the same bytes.
#pragma once

#include <cstdint>

#include "stream_writer.h"

namespace ruv {

// A small deterministic random generator (splitmix64).
struct rng {
    uint64_t m_state = 0;

    explicit rng(uint64_t seed) : m_state(seed) {}

    uint64_t next();
    // Uniform in 0 .. bound - 1; bound must be positive.
    uint32_t below(uint32_t bound);
    uint8_t byte() { return uint8_t(next() >> 56); }
};

// Frame `frame` of a moving scene: a panning gradient with fine texture, a bright
// disc and a dark box that move a few pixels a frame, and a saturated stripe.
// The size must be on the cell grid (width a multiple of 4, height even).
picture synthetic_picture(int32_t width, int32_t height, uint32_t frame);

// A picture of uniformly random samples.
picture random_picture(int32_t width, int32_t height, uint64_t seed);

}  // namespace ruv
