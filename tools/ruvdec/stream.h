// Opening the "RUV1" video stream of an AVI file and telling how a host would
// feed each of its frames to the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "avi.h"
#include "input_format.h"

namespace ruv::ruvdec {

// How one frame of the stream is decoded.
enum class frame_kind : uint8_t {
    intra,     // as an intra frame
    delta,     // as a delta frame
    dropped,   // an empty chunk: the previous picture is shown again
};

struct ruv_stream {
    avi::reader m_reader;
    InputFormat m_format;
    std::string m_error;
    uint32_t m_rate = 0;             // frames per second = m_rate / m_scale; both 0 when unknown
    uint32_t m_scale = 0;
    size_t m_intra_size = 0;         // bytes of a whole intra frame
    bool m_keyframes_guessed = false;   // no index: intra frames told by their length
    std::vector<frame_kind> m_kinds;

    // Opens the file, selects its first "RUV1" video stream (or stream number
    // `stream` when it is not no_stream) and checks its format header as the codec
    // does. False with a message in error() for a missing or unreadable file, a
    // file that is not AVI, no "RUV1" stream (or a chosen stream that is none), or
    // a header the codec refuses.
    static constexpr size_t no_stream = SIZE_MAX;
    bool open(const std::string& path, size_t stream = no_stream);

    const std::string& error() const { return m_error; }
    size_t frame_count() const { return m_kinds.size(); }
    frame_kind kind(size_t index) const { return m_kinds[index]; }
    size_t count(frame_kind which) const;

    // How the codec decodes a frame of these bytes: the index's key flag decides
    // unless the frame's own structure rules it out (ruv::decodes_as_delta).
    frame_kind routed_kind(size_t index, const std::vector<uint8_t>& frame) const;
    // The key-frame flag of frame `index` for the decoder: from the index, or
    // guessed from the frame's size where the file has no usable index.
    unsigned key_flag(size_t index) const { return m_kinds[index] == frame_kind::delta ? 0u : 1u; }

    // The frame to start decoding at so that frame `first` is shown right: the last
    // frame at or before it that the codec decodes as an intra frame (whatever its
    // key flag says), or 0 when there is none.
    size_t decode_start(size_t first);

    // Reads a frame's bytes; false (message in error()) when they cannot be read.
    bool read_frame(size_t index, std::vector<uint8_t>& out);
};

// Why the codec refuses a format header, naming the field; empty when it decodes it.
std::string refusal(const InputFormat& format);

}  // namespace ruv::ruvdec
