// Which decoder a frame goes to, and how long a well-formed frame can be.
#include "decoder.h"
#include "le.h"

namespace ruv {

delta_layout read_delta_layout(uint32_t coding_mode, const uint8_t* frame, size_t frame_length) {
    delta_layout layout;
    if (frame_length < 4 || read_le32(frame) < 4 || read_le32(frame) > frame_length) {
        layout.fault = frame_fault::bad_payload_end;
        return layout;
    }
    layout.payload_end = read_le32(frame);
    if (coding_mode == 1 || coding_mode == 2) return layout;

    const size_t room = frame_length - layout.payload_end;
    const size_t table_length = room >= 4 ? read_le32(frame + layout.payload_end) : 0;
    if (table_length < 4 || table_length > room) {
        layout.fault = frame_fault::bad_table_length;
        return layout;
    }
    layout.table_length = table_length;
    return layout;
}

size_t max_delta_frame_size(int32_t width, int32_t height, uint32_t coding_mode) {
    const size_t blocks = size_t(width / 8) * size_t(height / 2);
    const size_t payload = 4 + 24 * blocks;   // six literal sample blocks a block
    switch (coding_mode) {
        case 1: return payload + blocks;
        case 2: return payload + 2 * blocks;
        default: return payload + 4 + 6 * blocks;   // two luma and one chroma entry a block
    }
}

bool decodes_as_delta(int32_t width, int32_t height, uint32_t coding_mode, bool flagged_delta,
                      const uint8_t* frame, size_t frame_length) {
    if (coding_mode == 0) return false;
    const bool sound = read_delta_layout(coding_mode, frame, frame_length).sound();
    if (!flagged_delta) {
        const size_t picture = size_t(width) * size_t(height) / 2 * 3;
        return frame_length < picture && sound;
    }
    return sound || frame_length < intra_frame_size(width, height);
}

}  // namespace ruv
