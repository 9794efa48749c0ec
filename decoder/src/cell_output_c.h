// Scalar reference kernels that turn one 12-byte cell pair into its two output
// lines: 8 bytes of YUY2 or 16 bytes of RGB32 a line, or 4 bytes of luma a line
// and 2 of each chroma plane (I420).
#pragma once

#include <cstdint>

namespace ruv {

// The fixed-point YUV to RGB coefficients, in units of 1/16384.
constexpr int32_t coef_u_blue = 29016;
constexpr int32_t coef_u_green = -5662;
constexpr int32_t coef_v_green = -11706;
constexpr int32_t coef_v_red = 22973;

// floor(x / 16384) for the products above; an arithmetic shift rounds towards minus infinity.
inline int32_t floor_div_16384(int32_t x) { return x >> 14; }

inline uint8_t clamp_byte(int32_t x) { return uint8_t(x < 0 ? 0 : x > 255 ? 255 : x); }

inline void yuy2_pair_c(const uint8_t* cell, uint8_t* upper, uint8_t* lower) {
    for (int c = 0; c < 2; ++c) {
        const uint8_t* luma = cell + 4 * c;
        const uint8_t u = cell[8 + 2 * c];
        const uint8_t v = cell[9 + 2 * c];
        uint8_t* up = upper + 4 * c;
        uint8_t* lo = lower + 4 * c;
        up[0] = luma[0], up[1] = u, up[2] = luma[1], up[3] = v;
        lo[0] = luma[2], lo[1] = u, lo[2] = luma[3], lo[3] = v;
    }
}

inline void rgb32_pixel_c(uint8_t y, int32_t db, int32_t dg, int32_t dr, uint8_t* px) {
    px[0] = clamp_byte(y + db);
    px[1] = clamp_byte(y + dg);
    px[2] = clamp_byte(y + dr);
    px[3] = y;
}

inline void rgb32_pair_c(const uint8_t* cell, uint8_t* upper, uint8_t* lower) {
    for (int c = 0; c < 2; ++c) {
        const uint8_t* luma = cell + 4 * c;
        const int32_t u = cell[8 + 2 * c] - 128;
        const int32_t v = cell[9 + 2 * c] - 128;
        const int32_t db = floor_div_16384(u * coef_u_blue);
        const int32_t dg = floor_div_16384(u * coef_u_green) + floor_div_16384(v * coef_v_green);
        const int32_t dr = floor_div_16384(v * coef_v_red);
        rgb32_pixel_c(luma[0], db, dg, dr, upper + 8 * c);
        rgb32_pixel_c(luma[1], db, dg, dr, upper + 8 * c + 4);
        rgb32_pixel_c(luma[2], db, dg, dr, lower + 8 * c);
        rgb32_pixel_c(luma[3], db, dg, dr, lower + 8 * c + 4);
    }
}

// I420 keeps the cell pair's samples as they are: luma A0 A1 B0 B1 on the upper
// line, A2 A3 B2 B3 on the lower, UA UB and VA VB on the chroma lines.
inline void i420_pair_c(const uint8_t* cell, uint8_t* y_upper, uint8_t* y_lower, uint8_t* u, uint8_t* v) {
    y_upper[0] = cell[0], y_upper[1] = cell[1], y_upper[2] = cell[4], y_upper[3] = cell[5];
    y_lower[0] = cell[2], y_lower[1] = cell[3], y_lower[2] = cell[6], y_lower[3] = cell[7];
    u[0] = cell[8], u[1] = cell[10];
    v[0] = cell[9], v[1] = cell[11];
}

}  // namespace ruv
