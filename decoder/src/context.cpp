// Setting up and releasing a DecoderContext, and why setup refuses a stream.
#include <cstring>
#include <new>

#include "decoder.h"

namespace ruv {

namespace {

// Shift amounts of the delta fields, by coding mode 1 to 4.
constexpr int32_t shift2_of_mode[5] = {0, 0, 1, 2, 2};
constexpr int32_t shift4_of_mode[5] = {0, 1, 2, 3, 3};

// The reference block holds width x height x 4 + 32 bytes, and a host's RGB32
// buffer width x height x 4: both must fit in 32 bits, as on the 32-bit host.
constexpr uint64_t max_block_bytes = 0xFFFFFFFFu;

}  // namespace

setup_refusal check_setup(int32_t width, int32_t height, uint32_t coding_mode, uint32_t output_compression) {
    if (coding_mode > 4) return setup_refusal::coding_mode;
    if (width <= 0 || height <= 0) return setup_refusal::size_not_positive;
    if (width % (coding_mode == 0 ? 4 : 8) != 0) return setup_refusal::width_off_grid;
    if (height % 2 != 0) return setup_refusal::height_odd;
    if (uint64_t(width) * uint64_t(height) * 4 + 32 > max_block_bytes) return setup_refusal::too_large;
    if (output_compression != compression_rgb32 && output_compression != compression_yuy2 &&
        output_compression != compression_i420)
        return setup_refusal::output_compression;
    return setup_refusal::none;
}

bool frame_size_supported(int32_t width, int32_t height, uint32_t coding_mode) {
    return check_setup(width, height, coding_mode, compression_yuy2) == setup_refusal::none;
}

const char* describe(frame_fault fault) {
    switch (fault) {
        case frame_fault::none: return "well-formed";
        case frame_fault::short_intra: return "intra frame shorter than its picture";
        case frame_fault::bad_payload_end: return "payload end outside the frame";
        case frame_fault::bad_table_length: return "mode table block outside the frame";
        case frame_fault::table_overflow: return "mode table longer than the picture";
        case frame_fault::table_truncated: return "mode table cut short";
        case frame_fault::record_count: return "mode records do not match the picture's blocks";
        case frame_fault::payload_overrun: return "codes call for more payload than the frame holds";
    }
    return "unknown fault";
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
        case setup_refusal::output_compression: return "the output is none of RGB32, YUY2 and I420";
        case setup_refusal::out_of_memory: return "out of memory for the picture's buffers";
    }
    return "unknown reason";
}

bool DecoderContext::setup(int32_t width, int32_t height, uint32_t coding_mode,
                           uint32_t output_compression) {
    release();
    m_kernels.fill(m_kernel_mask);
    if (check_setup(width, height, coding_mode, output_compression) != setup_refusal::none) return false;

    m_width = width;
    m_height = height;
    m_coding_mode = int32_t(coding_mode);
    if (coding_mode != 0) {
        m_shift2 = shift2_of_mode[coding_mode];
        m_shift4 = shift4_of_mode[coding_mode];

        const size_t pixels = size_t(width) * size_t(height);
        m_ref_block = new (std::nothrow) uint8_t[pixels * 4 + 32];
        m_table_opt = new (std::nothrow) uint8_t[pixels / 8 * 2];
        m_shown_row = new (std::nothrow) uint8_t[size_t(width) / 4 * 12];
        if (!m_ref_block || !m_table_opt || !m_shown_row) {
            release();
            return false;
        }
        const uintptr_t start = reinterpret_cast<uintptr_t>(m_ref_block);
        m_ref_frame = m_ref_block + (((start + 32) & ~uintptr_t(31)) - start);

        // A delta frame before any intra frame then shows black, not stale memory.
        clear_reference();
        std::memset(m_table_opt, 0, pixels / 8 * 2);
    }
    m_rgb_output = output_compression == compression_rgb32 ? 1 : 0;
    m_planar_output = output_compression == compression_i420 ? 1 : 0;
    // Such an output leaves the cache before it is read again: writing its lines
    // without reading them first saves the memory traffic of those reads.
    m_stream_output = output_size() > detected_core_cache_bytes();
    // A delta frame's decode also rewrites the reference frame and reads the
    // frame and its mode table, all beside the output: where these together
    // pass a core's cache, the output lines are gone before they are read again.
    // (An intra frame of such a stream still gains from plain stores where its
    // output fits: measured at 720 x 480 RGB32, hot, 77 against 123 us.)
    m_stream_delta_output = m_stream_output || (m_coding_mode != 0 && output_size() + 2 * intra_frame_size() >
                                                                          detected_core_cache_bytes());
    return true;
}

void DecoderContext::clear_reference() {
    if (!m_ref_frame) return;
    const size_t pairs = size_t(m_width) * size_t(m_height) / 8;
    for (size_t i = 0; i < pairs; ++i) {
        std::memset(m_ref_frame + 12 * i, 0, 8);
        std::memset(m_ref_frame + 12 * i + 8, 128, 4);
    }
}

void DecoderContext::release() {
    delete[] m_ref_block;
    delete[] m_table_opt;
    delete[] m_shown_row;
    m_ref_block = nullptr;
    m_shown_row = nullptr;
    m_ref_frame = nullptr;
    m_table_opt = nullptr;
}

size_t DecoderContext::output_size() const {
    const size_t pixels = size_t(m_width) * size_t(m_height);
    return m_planar_output ? pixels / 2 * 3 : pixels * (m_rgb_output ? 4 : 2);
}

picture_planes packed_planes(uint8_t* output, int32_t width, int32_t height, uint32_t compression, bool bottom_up) {
    const size_t w = size_t(width), h = size_t(height);
    const bool planar = compression == compression_i420;
    const size_t rows[3] = {h, h / 2, h / 2};
    const size_t row_bytes[3] = {planar ? w : w * (compression == compression_rgb32 ? 4 : 2), w / 2, w / 2};
    picture_planes p;
    uint8_t* at = output;
    for (int plane = 0; plane < (planar ? 3 : 1); ++plane) {
        const size_t bytes = row_bytes[plane] * rows[plane];
        p.top[plane] = bottom_up ? at + bytes - row_bytes[plane] : at;
        p.stride[plane] = bottom_up ? -ptrdiff_t(row_bytes[plane]) : ptrdiff_t(row_bytes[plane]);
        at += bytes;
    }
    return p;
}

picture_planes DecoderContext::packed_planes(uint8_t* output) const {
    const uint32_t compression = m_planar_output ? compression_i420 : m_rgb_output ? compression_rgb32 : compression_yuy2;
    return ruv::packed_planes(output, m_width, m_height, compression, m_rgb_output != 0);
}

size_t DecoderContext::intra_frame_size() const { return ruv::intra_frame_size(m_width, m_height); }

size_t DecoderContext::block_count() const { return size_t(m_width / 8) * size_t(m_height / 2); }

}  // namespace ruv
