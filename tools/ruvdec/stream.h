// Opening the "RUV1" video stream of an AVI file and telling how a host would
// feed each of its frames to the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "avi.h"
#include "ruv/ruv.h"

namespace ruv::ruvdec {

// How one frame of the stream is decoded.
enum class frame_kind : uint8_t {
    intra,     // as an intra frame
    delta,     // as a delta frame
    dropped,   // an empty chunk: the previous picture is shown again
};

struct ruv_stream {
    // Opens the file, selects its first "RUV1" video stream (or stream number
    // `stream` when it is not no_stream) and checks its format header as the codec
    // does. False with a message in error() for a missing or unreadable file, a
    // file that is not AVI, no "RUV1" stream (or a chosen stream that is none), or
    // a header the codec refuses.
    static constexpr size_t no_stream = SIZE_MAX;
    bool open(const std::string& path, size_t stream = no_stream);

    const std::string& error() const { return m_error; }
    avi::reader& reader() { return m_reader; }
    const ruv_stream_info& info() const { return m_info; }
    // Frames per second = rate() / scale(), in lowest terms; both 0 when unknown.
    uint32_t rate() const { return m_rate; }
    uint32_t scale() const { return m_scale; }
    // Whether the file has no key flags, so that intra frames are told by their
    // length, intra_size() bytes.
    bool key_frames_guessed() const { return m_keyframes_guessed; }
    size_t intra_size() const { return m_intra_size; }

    size_t frame_count() const { return m_kinds.size(); }
    frame_kind kind(size_t index) const { return m_kinds[index]; }
    size_t count(frame_kind which) const;

    // How the codec decodes a frame of these bytes: the index's key flag decides
    // unless the frame's own structure rules it out.
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

private:
    bool check_header(const std::string& path, const std::vector<uint8_t>& header);
    void take_rate(const avi::stream_info& stream);
    void sort_frames();

    avi::reader m_reader;
    ruv_stream_info m_info{};
    std::string m_error;
    uint32_t m_rate = 0;
    uint32_t m_scale = 0;
    size_t m_intra_size = 0;
    bool m_keyframes_guessed = false;
    std::vector<frame_kind> m_kinds;
};

}  // namespace ruv::ruvdec
