// Fuzzes whole-frame decoding through the public API: a picture size, coding
// mode, output format and row strides (wider than the picture, or negative),
// then a sequence of frames of any length, content and key-frame flag, some
// decoded into the reference alone. Each frame lies in a heap block of exactly
// its length, so any read past it is caught; each plane has guard bytes beside
// its rows. The scalar kernels and the machine's best decode side by side and
// must agree byte for byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ruv/ruv.h"

namespace {

constexpr uint8_t guard = 0xA7;

// One decoder and its picture: planes of rows `pad` bytes wider than the picture,
// top-down or bottom-up.
struct decoded {
    ruv_decoder* decoder = nullptr;
    std::vector<uint8_t> planes[3];
    ruv_picture picture{};

    decoded(const ruv_stream_info& info, ruv_pixel_format format, ruv_kernel_level level, size_t pad, bool bottom_up) {
        const ruv_decoder_settings settings{format, level};
        if (ruv_decoder_open(&info, &settings, &decoder) != RUV_OK) std::abort();
        const size_t w = size_t(info.width), h = size_t(info.height);
        const int count = format == RUV_PIXEL_I420 ? 3 : 1;
        for (int p = 0; p < count; ++p) {
            const size_t row = format == RUV_PIXEL_I420 ? (p ? w / 2 : w) : w * (format == RUV_PIXEL_RGB32 ? 4 : 2);
            const size_t rows = p ? h / 2 : h, stride = row + pad;
            planes[p].assign(stride * rows, guard);
            picture.data[p] = planes[p].data() + (bottom_up ? stride * (rows - 1) : 0);
            picture.stride[p] = bottom_up ? -ptrdiff_t(stride) : ptrdiff_t(stride);
        }
    }
    ~decoded() { ruv_decoder_close(decoder); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint32_t mode = (data[2] & 0x7F) % 5;
    // Mostly sizes on the decoding grid; with the top bit of the second byte any
    // small size, which opening must refuse or decode safely.
    const int32_t grid = mode == 0 ? 4 : 8;
    const bool any_size = data[1] & 0x80;
    const int32_t width = any_size ? data[0] % 100 : grid * (1 + data[0] % (mode == 0 ? 24 : 12));
    const int32_t height = any_size ? data[1] % 32 : 2 * (1 + data[1] % 12);
    // The fourth byte: the output format (bits 0-1), rows 9 bytes wider than the
    // picture for each step of bits 2-4, bottom-up (bit 7).
    const ruv_pixel_format format = ruv_pixel_format((data[3] & 3) % 3);
    const size_t pad = size_t((data[3] >> 2) & 7) * 9;
    const bool bottom_up = data[3] & 0x80;
    data += 4;
    size -= 4;

    const ruv_stream_info info{width, height, 101, mode};
    ruv_decoder* probe = nullptr;
    const int opened = ruv_decoder_open(&info, nullptr, &probe);
    ruv_decoder_close(probe);
    if (opened != RUV_OK) {
        if (probe) std::abort();
        return 0;
    }
    decoded scalar(info, format, RUV_KERNELS_SCALAR, pad, bottom_up);
    decoded best(info, format, RUV_KERNELS_ANY, pad, bottom_up);

    // Frames: a flag byte (bit 0: key frame, bit 1: no picture), a 16-bit length,
    // then that many bytes (or what is left).
    while (size >= 3) {
        const int key = data[0] & 1;
        const bool shown = !(data[0] & 2);
        size_t length = size_t(data[1]) | size_t(data[2]) << 8;
        data += 3;
        size -= 3;
        if (length > size) length = size;
        std::vector<uint8_t> frame(data, data + length);
        const uint8_t* bytes = frame.empty() ? nullptr : frame.data();
        ruv_frame_result a{}, b{};
        if (ruv_decode(scalar.decoder, bytes, length, key, shown ? &scalar.picture : nullptr, &a) != RUV_OK) std::abort();
        if (ruv_decode(best.decoder, bytes, length, key, shown ? &best.picture : nullptr, &b) != RUV_OK) std::abort();
        if (a.delta != b.delta || a.fault != b.fault) std::abort();
        for (int p = 0; p < 3; ++p) {
            if (scalar.planes[p] != best.planes[p]) std::abort();
        }
        data += length;
        size -= length;
    }
    // Nothing was written beside the rows.
    for (int p = 0; p < 3; ++p) {
        const std::vector<uint8_t>& plane = scalar.planes[p];
        if (plane.empty() || pad == 0) continue;
        const size_t stride = size_t(scalar.picture.stride[p] < 0 ? -scalar.picture.stride[p] : scalar.picture.stride[p]);
        for (size_t at = stride - pad; at < plane.size(); at += stride) {
            for (size_t i = 0; i < pad; ++i) {
                if (plane[at + i] != guard) std::abort();
            }
        }
    }
    return 0;
}
