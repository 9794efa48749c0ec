// Writer streams as AVI files, for the tests of hosts that read files.
#pragma once

#include <gtest/gtest.h>

#include "avi.h"
#include "codec_fixtures.h"

namespace ruv::codec_test {

// The stream written as an AVI file of 25 frames a second with the project's own writer.
inline std::string write_avi(const test_stream& s, const std::string& name) {
    avi::video_format format;
    format.handler = mmioFOURCC('R', 'U', 'V', '1');
    format.width = uint32_t(s.writer.m_width);
    format.height = uint32_t(s.writer.m_height);
    format.rate = 25;
    format.scale = 1;
    format.strf = s.writer.input_format_bytes();
    avi::writer w;
    EXPECT_TRUE(w.open(name, format, avi::writer_options{})) << w.error();
    for (const encoded_frame& f : s.frames) EXPECT_TRUE(w.write_frame(f.bytes.data(), f.bytes.size(), f.key));
    EXPECT_TRUE(w.close()) << w.error();
    return name;
}

}  // namespace ruv::codec_test
