// Fuzzes whole-frame decoding: a picture size, coding mode and output kind, then a
// sequence of intra and delta frames of any length and content. Each frame lies in
// a heap block of exactly its length, so any read past it is caught. The scalar and
// SIMD kernels decode side by side and must agree byte for byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decoder.h"

namespace {

struct decoder_pair {
    ruv::DecoderContext scalar;
    ruv::DecoderContext simd;
    std::vector<uint8_t> out_scalar;
    std::vector<uint8_t> out_simd;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint32_t mode = (data[2] & 0x7F) % 5;
    // Mostly sizes on the decoding grid; with the top bit of the second byte any
    // small size, which setup must refuse or decode safely.
    const int32_t grid = mode == 0 ? 4 : 8;
    const bool any_size = data[1] & 0x80;
    const int32_t width = any_size ? data[0] % 100 : grid * (1 + data[0] % (mode == 0 ? 24 : 12));
    const int32_t height = any_size ? data[1] % 32 : 2 * (1 + data[1] % 12);
    const uint32_t compression = (data[2] & 0x80) ? ruv::compression_rgb32 : ruv::compression_yuy2;
    data += 3;
    size -= 3;

    decoder_pair d;
    d.scalar.m_kernel_mask = 0;
    const bool accepted = d.scalar.setup(width, height, mode, compression);
    if (d.simd.setup(width, height, mode, compression) != accepted) std::abort();
    if (accepted != ruv::frame_size_supported(width, height, mode)) std::abort();
    if (!accepted) return 0;
    d.out_scalar.assign(d.scalar.output_size(), 0);
    d.out_simd.assign(d.simd.output_size(), 0);

    // Frames: a flag byte (bit 0: delta), a 16-bit length, then that many bytes (or what is left).
    while (size >= 3) {
        const bool delta = data[0] & 1;
        size_t length = size_t(data[1]) | size_t(data[2]) << 8;
        data += 3;
        size -= 3;
        if (length > size) length = size;
        std::vector<uint8_t> frame(data, data + length);
        const uint8_t* bytes = frame.empty() ? nullptr : frame.data();
        ruv::frame_fault a, b;
        if (delta) {
            a = d.scalar.decode_delta(d.out_scalar.data(), bytes, length);
            b = d.simd.decode_delta(d.out_simd.data(), bytes, length);
        } else {
            a = d.scalar.decode_intra(d.out_scalar.data(), bytes, length);
            b = d.simd.decode_intra(d.out_simd.data(), bytes, length);
        }
        if (a != b || d.out_scalar != d.out_simd) std::abort();
        if (mode != 0 && std::memcmp(d.scalar.m_ref_frame, d.simd.m_ref_frame, size_t(width) * size_t(height) * 3 / 2) != 0) {
            std::abort();
        }
        data += length;
        size -= length;
    }
    return 0;
}
