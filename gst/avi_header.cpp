// Finds a "RUV1" stream's format header in an AVI file with the project's AVI reader.
#include "avi_header.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "avi.h"

namespace {

int fail(char* error, size_t error_size, const std::string& text) {
    if (error_size != 0) std::snprintf(error, error_size, "%s", text.c_str());
    return 0;
}

}  // namespace

extern "C" int ruv_avi_read_header(const char* path, unsigned video_index, ruv_avi_stream* stream, char* error,
                                   size_t error_size) {
    using namespace ruv::avi;
    reader file;
    if (!file.open(path)) return fail(error, error_size, std::string(path) + ": " + file.error());
    unsigned seen = 0;
    for (const stream_info& s : file.streams()) {
        if (s.type != id::vids) continue;
        if (seen++ != video_index) continue;
        if (!is_video_coded_as(s, fourcc('R', 'U', 'V', '1'))) {
            return fail(error, error_size,
                        std::string(path) + ": video stream " + std::to_string(video_index) + " is not a \"RUV1\" stream");
        }
        if (s.format.size() < ruv_avi_header_size) {
            return fail(error, error_size, std::string(path) + ": the \"RUV1\" stream's format header is " +
                                               std::to_string(s.format.size()) + " bytes, not 80");
        }
        std::memcpy(stream->header, s.format.data(), ruv_avi_header_size);
        stream->rate = s.rate;
        stream->scale = s.scale;
        return 1;
    }
    return fail(error, error_size,
                std::string(path) + ": the file has no video stream " + std::to_string(video_index));
}
