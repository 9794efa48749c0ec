// Why DecoderContext::setup would refuse a stream, for hosts and tools that
// report the reason rather than a bare failure.
#include "decoder.h"

namespace ruv {

setup_refusal check_setup(int32_t width, int32_t height, uint32_t coding_mode, uint32_t output_compression) {
    if (coding_mode > 4) return setup_refusal::coding_mode;
    if (width <= 0 || height <= 0) return setup_refusal::size_not_positive;
    if (width % (coding_mode == 0 ? 4 : 8) != 0) return setup_refusal::width_off_grid;
    if (height % 2 != 0) return setup_refusal::height_odd;
    if (!frame_size_supported(width, height, coding_mode)) return setup_refusal::too_large;
    if (output_compression != compression_rgb32 && output_compression != compression_yuy2)
        return setup_refusal::output_compression;
    return setup_refusal::none;
}

const char* describe(setup_refusal refusal) {
    switch (refusal) {
        case setup_refusal::none: return "accepted";
        case setup_refusal::coding_mode: return "the coding mode is above 4";
        case setup_refusal::size_not_positive: return "the width or height is not positive";
        case setup_refusal::width_off_grid:
            return "the width is not a multiple of 4 (coding mode 0) or of 8 (coding modes 1 to 4)";
        case setup_refusal::height_odd: return "the height is odd";
        case setup_refusal::too_large: return "the picture's buffers would not fit in 32 bits (4 GiB)";
        case setup_refusal::output_compression: return "the output is neither RGB32 nor YUY2";
        case setup_refusal::out_of_memory: return "out of memory for the picture's buffers";
    }
    return "unknown reason";
}

}  // namespace ruv
