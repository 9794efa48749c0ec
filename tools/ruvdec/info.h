// ruvdec info: what a file holds, as text or as JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "arguments.h"
#include "avi.h"
#include "stream.h"

namespace ruv::ruvdec {

// What info tells of one stream of the file.
struct stream_summary {
    size_t index = 0;
    uint32_t type = 0;
    uint32_t handler = 0;
    size_t chunks = 0;
    uint64_t bytes = 0;
    // video: BITMAPINFOHEADER fields
    bool has_picture = false;
    int32_t width = 0;
    int32_t height = 0;
    uint32_t compression = 0;
    // audio: WAVEFORMATEX fields
    bool has_wave = false;
    uint16_t format_tag = 0;
    uint16_t channels = 0;
    uint32_t sample_rate = 0;
    uint32_t avg_bytes_per_sec = 0;
    uint16_t bits = 0;
    double duration = -1;   // seconds; negative when unknown
};

// One line of info --frames.
struct frame_line {
    uint32_t size = 0;
    bool key_known = false;   // false: found by scanning, without a key flag
    bool key = false;
    frame_kind decoded_as = frame_kind::intra;
};

// Everything info prints, for the text and the JSON renderings alike.
struct info_facts {
    std::string file;
    uint64_t file_size = 0;
    double bit_rate = 0;            // bits a second; 0 when unknown
    size_t stream = 0;              // the "RUV1" stream's number
    ruv_stream_info format{};
    size_t frames = 0;
    size_t key_frames = 0;
    size_t dropped = 0;
    uint64_t header_frames = 0;     // the count the headers claim
    uint32_t rate = 0;              // frames a second = rate / scale; 0 when unknown
    uint32_t scale = 0;
    double frame_rate = 0;
    double duration = 0;
    avi::index_kind index = avi::index_kind::none;
    bool key_frames_guessed = false;
    size_t intra_size = 0;
    bool truncated = false;
    std::vector<stream_summary> streams;
    bool list_frames = false;
    std::vector<frame_line> frame_list;
};

std::string info_json(const info_facts& facts);
std::string info_text(const info_facts& facts);

// Names for the renderings.
const char* stream_type_name(uint32_t type);
const char* wave_format_name(uint16_t tag);
const char* kind_name(frame_kind kind);

int run_info(const options& o);

}  // namespace ruv::ruvdec
