// Which decoder a frame goes to: the key flag decides unless the frame's own
// structure rules it out; checked by hand-made cases and over the writer's streams.
#include <gtest/gtest.h>

#include <vector>

#include "decoder.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace ruv {
namespace {

using bytes = std::vector<uint8_t>;

// A frame of `length` bytes whose first word is payload_end and, where given, whose
// word at payload_end is table_length.
bytes frame_of(size_t length, uint32_t payload_end, uint32_t table_length = 0) {
    bytes f(length, 0);
    for (int i = 0; i < 4 && i < int(length); ++i) f[size_t(i)] = uint8_t(payload_end >> (8 * i));
    for (int i = 0; i < 4 && table_length != 0; ++i) f[payload_end + size_t(i)] = uint8_t(table_length >> (8 * i));
    return f;
}

TEST(FrameRoute, FlagDecidesUnlessTheStructureRulesItOut) {
    // 16 x 4: a picture of 96 bytes, a whole intra frame of 100.
    struct route_case {
        const char* what;
        uint32_t mode;
        bool flagged;
        bytes frame;
        bool delta;
    };
    const route_case cases[] = {
        {"coding mode 0 has only intra frames", 0, true, frame_of(8, 4, 4), false},
        {"unflagged sound delta, table block", 3, false, frame_of(8, 4, 4), true},
        {"unflagged sound delta, coding mode 4", 4, false, frame_of(30, 20, 10), true},
        {"unflagged sound delta, packed records", 1, false, frame_of(10, 10), true},
        {"unflagged, as long as a picture", 3, false, frame_of(96, 4, 4), false},
        {"unflagged truncated intra frame", 3, false, frame_of(50, 0), false},
        {"unflagged, payload_end past the frame", 2, false, frame_of(50, 51), false},
        {"unflagged, table block past the frame", 3, false, frame_of(50, 40, 11), false},
        {"unflagged, table length below 4", 3, false, frame_of(50, 40, 3), false},
        {"unflagged, no room for the table length", 3, false, frame_of(42, 40), false},
        {"flagged sound delta", 3, true, frame_of(8, 4, 4), true},
        {"flagged sound delta as long as an intra frame", 3, true, frame_of(100, 96, 4), true},
        {"flagged whole intra frame", 3, true, frame_of(100, 0), false},
        {"flagged whole intra frame, packed records", 1, true, frame_of(120, 200), false},
        {"flagged, unsound and short: a damaged delta frame", 3, true, frame_of(99, 0), true},
        {"flagged, shorter than the first word", 2, true, frame_of(3, 4), true},
    };
    for (const route_case& c : cases) {
        EXPECT_EQ(decodes_as_delta(16, 4, c.mode, c.flagged, c.frame.data(), c.frame.size()), c.delta) << c.what;
    }
}

// Every frame the writer makes, in every coding mode, is routed to its own kind
// whatever its flag says, and no delta frame is longer than the bound.
TEST(FrameRoute, WriterFramesGoToTheirOwnDecoderWithAnyFlag) {
    const int32_t width = 32;
    const int32_t height = 12;
    for (uint32_t mode = 1; mode <= 4; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        stream_writer w;
        ASSERT_TRUE(w.setup(width, height, mode, 5));
        const size_t bound = max_delta_frame_size(width, height, mode);
        for (uint32_t t = 0; t < 24; ++t) {
            const encoded_frame f = t % 3 == 2 ? w.write_random_delta(t) : w.write_frame(synthetic_picture(width, height, t), 2);
            if (!f.key) {
                EXPECT_LE(f.bytes.size(), bound);
            }
            for (bool flagged : {false, true}) {
                EXPECT_EQ(decodes_as_delta(width, height, mode, flagged, f.bytes.data(), f.bytes.size()), !f.key)
                    << "frame " << t << (flagged ? " flagged" : " unflagged");
            }
        }
    }
}

}  // namespace
}  // namespace ruv
