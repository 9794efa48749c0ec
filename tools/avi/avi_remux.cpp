#include <algorithm>

#include "avi.h"

namespace ruv::avi {

bool remux_plan::make(reader& r, std::string& error) {
    const size_t video = r.stream();
    streams.clear();
    chunks.clear();
    for (size_t n = 0; n < r.streams().size(); ++n) {
        if (n == video) continue;
        if (!r.select_stream(n)) {
            error = r.error();
            return false;
        }
        const stream_info& info = r.streams()[n];
        copied_stream copy;
        copy.strh = info.header;
        copy.strf = info.format;
        // The letters of the stream's chunks; for a stream without chunks, those
        // its type usually has.
        copy.chunk_id = !r.frames().empty()       ? r.chunk_id(0)
                        : info.type == id::auds   ? fourcc('0', '0', 'w', 'b')
                                                  : fourcc('0', '0', 'd', 'c');
        for (const frame_entry& e : r.frames()) chunks.push_back({e.offset, e.size, !e.keyframe_known || e.keyframe, n});
        streams.push_back(std::move(copy));
    }
    video_index = video;
    if (!r.select_stream(video)) {
        error = r.error();
        return false;
    }
    std::stable_sort(chunks.begin(), chunks.end(), [](const chunk& a, const chunk& b) { return a.offset < b.offset; });
    return true;
}

}  // namespace ruv::avi
