#include "stream.h"

#include <algorithm>
#include <numeric>


namespace ruv::ruvdec {

namespace {

constexpr size_t header_size = 80;          // the "RUV1" stream format header
constexpr uint32_t fourcc_ruv1 = avi::fourcc('R', 'U', 'V', '1');

std::string stream_list(const std::vector<avi::stream_info>& streams) {
    std::string list;
    for (size_t i = 0; i < streams.size(); ++i) {
        if (!list.empty()) list += ", ";
        list += std::to_string(i) + ": " + avi::fourcc_text(streams[i].type) + "/" +
                (streams[i].handler != 0 ? avi::fourcc_text(streams[i].handler) : "none");
    }
    return list.empty() ? "none" : list;
}

// Why the codec refuses a format header, naming the field and its value.
std::string refusal(int status, const ruv_stream_info& f, const std::vector<uint8_t>& header) {
    switch (status) {
        case RUV_ERR_HEADER_SIZE:
            return "biSize is " + std::to_string(avi::read_le32(header.data())) + ", not " +
                   std::to_string(header_size);
        case RUV_ERR_CODEC_VERSION:
            return "codec_version is " + std::to_string(f.codec_version) + ", above 101";
        case RUV_ERR_CODING_MODE:
            return "coding_mode is " + std::to_string(f.coding_mode) + ", above 4";
    }
    return "frame size " + std::to_string(f.width) + " x " + std::to_string(f.height) + " in coding mode " +
           std::to_string(f.coding_mode) + ": " + ruv_strerror(status);
}

}  // namespace

bool ruv_stream::open(const std::string& path, size_t stream) {
    if (!m_reader.open(path)) {
        // "cannot open PATH: ..." and "cannot read the size of PATH" name the file
        // already; what the reader finds inside it does not.
        const std::string& why = m_reader.error();
        m_error = why.rfind("cannot ", 0) == 0 ? why : path + ": " + why;
        return false;
    }
    const std::vector<avi::stream_info>& streams = m_reader.streams();
    size_t found = streams.size();
    for (size_t i = 0; i < streams.size() && found == streams.size(); ++i)
        if (avi::is_video_coded_as(streams[i], fourcc_ruv1) && (stream == no_stream || stream == i)) found = i;
    if (stream != no_stream && found == streams.size()) {
        m_error = path + ": stream " + std::to_string(stream) +
                  (stream < streams.size() ? " is not a \"RUV1\" video stream" : " does not exist") +
                  " (streams: " + stream_list(streams) + ")";
        return false;
    }
    if (found == streams.size()) {
        m_error = path + ": no \"RUV1\" video stream (streams: " + stream_list(streams) + ")";
        return false;
    }
    if (found != m_reader.stream() && !m_reader.select_stream(found)) {
        m_error = path + ": " + m_reader.error();
        return false;
    }
    if (!check_header(path, streams[found].format)) return false;
    take_rate(streams[found]);
    sort_frames();
    return true;
}

bool ruv_stream::check_header(const std::string& path, const std::vector<uint8_t>& header) {
    if (header.size() != header_size) {
        m_error = path + ": the \"RUV1\" stream's format header is " + std::to_string(header.size()) +
                  " bytes, not " + std::to_string(header_size);
        return false;
    }
    const int status = ruv_parse_header(header.data(), header.size(), &m_info);
    if (status != RUV_OK) {
        m_error = path + ": the codec refuses the stream's format header: " + refusal(status, m_info, header);
        return false;
    }
    // Known without setting up a decoder, which would allocate and clear the
    // picture's buffers (gigabytes for a hostile header).
    m_intra_size = ruv_intra_frame_size(&m_info);
    return true;
}

void ruv_stream::take_rate(const avi::stream_info& stream) {
    if (stream.rate != 0 && stream.scale != 0) {
        m_rate = stream.rate;
        m_scale = stream.scale;
    } else if (m_reader.header().micro_sec_per_frame != 0) {
        m_rate = 1000000;
        m_scale = m_reader.header().micro_sec_per_frame;
    }
    if (m_rate != 0) {
        const uint32_t divisor = std::gcd(m_rate, m_scale);
        m_rate /= divisor;
        m_scale /= divisor;
    }
}

// A host marks every frame that is not a key frame as a delta frame, except in
// coding mode 0. Frames found by scanning carry no flag: an intra frame is then
// told by its length, which a delta frame of this size hardly ever has.
void ruv_stream::sort_frames() {
    const std::vector<avi::frame_entry>& frames = m_reader.frames();
    m_kinds.clear();
    m_kinds.reserve(frames.size());
    m_keyframes_guessed = false;
    for (const avi::frame_entry& f : frames) {
        frame_kind k = frame_kind::intra;
        if (f.size == 0) {
            k = frame_kind::dropped;
        } else if (m_info.coding_mode != 0) {
            if (!f.keyframe_known) m_keyframes_guessed = true;
            const bool key = f.keyframe_known ? f.keyframe : f.size == m_intra_size;
            k = key ? frame_kind::intra : frame_kind::delta;
        }
        m_kinds.push_back(k);
    }
}

size_t ruv_stream::count(frame_kind which) const {
    size_t n = 0;
    for (frame_kind k : m_kinds)
        if (k == which) ++n;
    return n;
}

frame_kind ruv_stream::routed_kind(size_t index, const std::vector<uint8_t>& frame) const {
    if (m_kinds[index] == frame_kind::dropped) return frame_kind::dropped;
    return ruv_frame_is_delta(&m_info, frame.data(), frame.size(), key_flag(index)) == 1 ? frame_kind::delta
                                                                                       : frame_kind::intra;
}

size_t ruv_stream::decode_start(size_t first) {
    std::vector<uint8_t> frame;
    for (size_t i = std::min(first, m_kinds.size() - 1) + 1; i-- > 0;) {
        // Each frame is read, for its key flag alone may be wrong.
        if (m_kinds[i] == frame_kind::dropped) continue;
        if (read_frame(i, frame) && routed_kind(i, frame) == frame_kind::intra) return i;
    }
    return 0;
}

bool ruv_stream::read_frame(size_t index, std::vector<uint8_t>& out) {
    if (m_reader.read_frame(index, out)) return true;
    m_error = m_reader.error();
    return false;
}

}  // namespace ruv::ruvdec
