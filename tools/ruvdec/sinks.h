// Where decoded pictures go: raw YUY2 or RGB32 frames, a YUV4MPEG2 stream, or one
// PNG picture per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "output_file.h"

namespace ruv::ruvdec {

enum class output_format : uint8_t { yuy2, rgb32, y4m, png };

// PNG output needs libpng; builds without it (RUVDEC_NO_PNG) refuse the format.
#ifdef RUVDEC_NO_PNG
constexpr bool png_supported = false;
#else
constexpr bool png_supported = true;
#endif
constexpr const char* no_png_support = "this ruvdec was built without PNG support";

// "yuy2", "rgb32", "y4m" or "png"; false for another name.
bool parse_format(const std::string& name, output_format& format);
// The format that a file name's extension names (.yuy2 .rgb32 .y4m .png, any case).
bool format_of_name(const std::string& path, output_format& format);
// The output compression to set the decoder up with for a format.
uint32_t decoder_output(output_format format);

// A file name with at most one integer conversion (%d, %5d, %05d, %i or %u) for the
// frame number; "%%" stands for a percent sign.
struct name_pattern {
    std::string m_prefix;
    std::string m_suffix;
    bool m_numbered = false;
    bool m_zero_pad = false;
    size_t m_width = 0;

    // False, with a message, for a stray '%' or more than one conversion.
    bool parse(const std::string& pattern, std::string& error);
    std::string name(uint64_t number) const;
};

struct frame_sink {
    output_format m_format = output_format::yuy2;
    int32_t m_width = 0;
    int32_t m_height = 0;
    uint32_t m_rate = 0;      // frame rate rate/scale, 0/0 when unknown (Y4M header)
    uint32_t m_scale = 0;
    std::string m_path;       // a file, "-", or a PNG name pattern
    name_pattern m_pattern;
    output_file m_file;       // raw and Y4M output
    std::vector<uint8_t> m_scratch;
    std::string m_error;

    // Opens the output and writes the Y4M header; for PNG, checks the pattern and
    // that the folder it names exists, so that a missing one is found before decoding.
    bool begin();
    // Writes one decoded picture: output_size() bytes in the decoder's layout,
    // YUY2 for yuy2 and y4m, RGB32 for rgb32 and png.
    bool write(uint64_t frame_number, const uint8_t* picture, size_t size);
    // Completes the output and gives it its name.
    bool finish();
    // Removes an unfinished output.
    void abandon() { m_file.abandon(); }

    const std::string& error() const { return m_error; }
};

}  // namespace ruv::ruvdec
