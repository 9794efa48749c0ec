// Fuzzes the AVI reader on input in memory: headers, streams, every stream's
// frame list from whichever index it picks, and every frame's bytes. Each frame
// read must lie inside the input and have the size its entry gives.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "avi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ruv::avi::reader r;
    if (!r.open_memory(data, size)) {
        if (r.error().empty())
            std::abort();
        return 0;
    }
    std::vector<uint8_t> frame;
    const size_t streams = r.streams().size();
    for (size_t s = 0; s < streams; ++s) {
        if (!r.select_stream(s))
            std::abort();
        const size_t count = r.frames().size();
        for (size_t i = 0; i < count; ++i) {
            const ruv::avi::frame_entry& e = r.frames()[i];
            if (e.offset > size || size - e.offset < e.size)
                std::abort();
            if (!r.read_frame(i, frame) || frame.size() != e.size)
                std::abort();
        }
        if (r.read_frame(count, frame))
            std::abort();
    }
    return 0;
}
