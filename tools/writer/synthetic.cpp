// The synthetic scene and random pictures.
#include "synthetic.h"

#include <algorithm>

namespace ruv {

uint64_t rng::next() {
    m_state += 0x9E3779B97F4A7C15ull;
    uint64_t z = m_state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t rng::below(uint32_t bound) {
    return uint32_t((next() >> 32) * bound >> 32);
}

namespace {

// Triangle wave from 0 up to period and back, over 2 x period steps.
int32_t triangle(int32_t value, int32_t period) {
    if (period <= 0) return 0;
    int32_t phase = value % (2 * period);
    if (phase < 0) phase += 2 * period;
    return phase < period ? phase : 2 * period - phase;
}

// A fixed pseudo-random value in -4..4 per position: texture that moves with
// the background.
int32_t texture(int32_t x, int32_t y) {
    uint32_t h = uint32_t(x) * 0x9E3779B1u ^ uint32_t(y) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 13;
    return int32_t(h % 9u) - 4;
}

uint8_t clamp_sample(int32_t value) {
    return uint8_t(std::min(255, std::max(0, value)));
}

}  // namespace

picture synthetic_picture(int32_t width, int32_t height, uint32_t frame) {
    picture p = picture::filled(width, height);
    const int32_t t = int32_t(frame % 100000u);

    // The disc bounces over the picture, the box slides along the lower third.
    const int32_t radius = std::max(2, std::min(width, height) / 6);
    const int32_t disc_x = radius + triangle(3 * t, std::max(1, width - 2 * radius));
    const int32_t disc_y = radius + triangle(2 * t, std::max(1, height - 2 * radius));
    const int32_t box_w = std::max(4, width / 4);
    const int32_t box_h = std::max(2, height / 5);
    const int32_t box_x = triangle(2 * t, std::max(1, width - box_w));
    const int32_t box_y = std::min(height - box_h, height * 2 / 3);
    const int32_t stripe_y = height / 8;

    const auto in_disc = [&](int32_t x, int32_t y) {
        const int32_t dx = x - disc_x;
        const int32_t dy = y - disc_y;
        return dx * dx + dy * dy <= radius * radius;
    };
    const auto in_box = [&](int32_t x, int32_t y) {
        return x >= box_x && x < box_x + box_w && y >= box_y && y < box_y + box_h;
    };

    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int32_t bx = x + t;
            const int32_t by = y + t / 3;
            int32_t luma = 40 + triangle(2 * bx + by, 160) + texture(bx, by);
            if (y == stripe_y) luma = 255;
            if (in_box(x, y)) luma = 0;
            if (in_disc(x, y)) {
                const int32_t dx = x - disc_x;
                const int32_t dy = y - disc_y;
                luma = 4 * (dx * dx + dy * dy) <= radius * radius ? 255 : 230;
            }
            p.luma(x, y) = clamp_sample(luma);
        }
    }

    const int32_t chroma_w = width / 2;
    for (int32_t cy = 0; cy < height / 2; ++cy) {
        for (int32_t cx = 0; cx < chroma_w; ++cx) {
            const size_t i = size_t(cy) * size_t(chroma_w) + size_t(cx);
            int32_t cb = 96 + triangle(cx + t / 2, 64);
            int32_t cr = 104 + triangle(cy + cx / 2 + t / 2, 48);
            const int32_t x = 2 * cx + 1;
            const int32_t y = 2 * cy + 1;
            if (in_box(x, y)) {
                cb = 255;
                cr = 0;
            }
            if (in_disc(x, y)) {
                cb = 90;
                cr = 200;
            }
            p.u[i] = clamp_sample(cb);
            p.v[i] = clamp_sample(cr);
        }
    }
    return p;
}

picture random_picture(int32_t width, int32_t height, uint64_t seed) {
    picture p = picture::filled(width, height);
    rng random(seed);
    for (uint8_t& sample : p.y) sample = random.byte();
    for (uint8_t& sample : p.u) sample = random.byte();
    for (uint8_t& sample : p.v) sample = random.byte();
    return p;
}

}  // namespace ruv
