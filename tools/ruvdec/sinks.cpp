#include "sinks.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "decoder.h"
#ifndef RUVDEC_NO_PNG
#include "png_writer.h"
#endif

namespace ruv::ruvdec {

namespace {

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr size_t max_pad_width = 20;

// False, with the message a first write would give, when the folder that the
// PNGs of `pattern` (given as `text`) go into is missing or not a folder. A frame
// number in the folder part gives each frame its own folder: those are found as
// they are written.
bool png_folder_exists(const name_pattern& pattern, const std::string& text, std::string& error) {
    if (pattern.m_numbered && pattern.m_suffix.find_first_of("/\\") != std::string::npos) return true;
    const std::filesystem::path folder = std::filesystem::path(pattern.name(0)).parent_path();
    if (folder.empty()) return true;
    std::error_code why;
    const std::filesystem::file_status status = std::filesystem::status(folder, why);
    if (std::filesystem::is_directory(status)) return true;
    if (!why)
        why = std::make_error_code(std::filesystem::exists(status) ? std::errc::not_a_directory
                                                                   : std::errc::no_such_file_or_directory);
    error = "cannot create " + text + ": " + why.message();
    return false;
}

}  // namespace

bool parse_format(const std::string& name, output_format& format) {
    const std::string n = lower(name);
    if (n == "yuy2") format = output_format::yuy2;
    else if (n == "rgb32") format = output_format::rgb32;
    else if (n == "y4m") format = output_format::y4m;
    else if (n == "png") format = output_format::png;
    else return false;
    return true;
}

bool format_of_name(const std::string& path, output_format& format) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    return parse_format(path.substr(dot + 1), format);
}

uint32_t decoder_output(output_format format) {
    return format == output_format::rgb32 || format == output_format::png ? compression_rgb32 : compression_yuy2;
}

bool name_pattern::parse(const std::string& pattern, std::string& error) {
    *this = name_pattern();
    std::string* part = &m_prefix;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            *part += pattern[i];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            *part += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        const bool zero = j < pattern.size() && pattern[j] == '0';
        if (zero) ++j;
        size_t width = 0;
        while (j < pattern.size() && is_digit(pattern[j]) && width <= max_pad_width)
            width = width * 10 + size_t(pattern[j++] - '0');
        if (j >= pattern.size() || (pattern[j] != 'd' && pattern[j] != 'i' && pattern[j] != 'u') ||
            width > max_pad_width) {
            error = "the name pattern " + pattern +
                    " has a '%' that is not %d, %i, %u (with an optional width such as %05d) or %%";
            return false;
        }
        if (m_numbered) {
            error = "the name pattern " + pattern + " has more than one frame number conversion";
            return false;
        }
        m_numbered = true;
        m_zero_pad = zero;
        m_width = width;
        part = &m_suffix;
        i = j;
    }
    return true;
}

std::string name_pattern::name(uint64_t number) const {
    if (!m_numbered) return m_prefix;
    std::string digits = std::to_string(number);
    if (digits.size() < m_width) digits.insert(0, m_width - digits.size(), m_zero_pad ? '0' : ' ');
    return m_prefix + digits + m_suffix;
}

bool frame_sink::begin() {
    m_error.clear();
    if (m_format == output_format::png) {
        return m_pattern.parse(m_path, m_error) && png_folder_exists(m_pattern, m_path, m_error);
    }
    if (!m_file.open(m_path)) {
        m_error = m_file.error();
        return false;
    }
    if (m_format == output_format::y4m) {
        // C420jpeg: chroma sited between the two luma lines of a cell, as the
        // cells share one U and V. XCOLORRANGE=FULL: the samples span 0 to 255
        // (the decoder's RGB conversion takes them so), and readers that assume
        // the limited 16-235 range would stretch them and clip whites and blacks.
        char header[160];
        const int length = std::snprintf(header, sizeof header,
                                         "YUV4MPEG2 W%d H%d F%u:%u Ip A1:1 C420jpeg XCOLORRANGE=FULL\n",
                                         int(m_width), int(m_height), unsigned(m_rate), unsigned(m_scale));
        if (!m_file.write(header, size_t(length))) {
            m_error = m_file.error();
            m_file.abandon();
            return false;
        }
    }
    return true;
}

bool frame_sink::write([[maybe_unused]] uint64_t frame_number, const uint8_t* picture, size_t size) {
    switch (m_format) {
        case output_format::yuy2:
        case output_format::rgb32:
            if (!m_file.write(picture, size)) {
                m_error = m_file.error();
                return false;
            }
            return true;
        case output_format::png:
#ifndef RUVDEC_NO_PNG
            return write_png(m_pattern.name(frame_number), picture, m_width, m_height, m_scratch, m_error);
#else
            m_error = no_png_support;   // ruvdec refuses PNG output before it gets here
            return false;
#endif
        case output_format::y4m:
            break;
    }

    // YUY2 (Y0 U Y1 V, rows top-down) to 4:2:0 planes. Both lines of a cell carry
    // its U and V, so the upper line's are taken.
    static const char frame_header[] = "FRAME\n";
    const size_t width = size_t(m_width);
    const size_t height = size_t(m_height);
    const size_t header = sizeof frame_header - 1;
    m_scratch.resize(header + width * height * 3 / 2);
    uint8_t* y_plane = m_scratch.data() + header;
    uint8_t* u_plane = y_plane + width * height;
    uint8_t* v_plane = u_plane + width * height / 4;
    for (size_t i = 0; i < header; ++i) m_scratch[i] = uint8_t(frame_header[i]);
    for (size_t row = 0; row < height; ++row) {
        const uint8_t* line = picture + row * width * 2;
        uint8_t* y = y_plane + row * width;
        for (size_t x = 0; x < width; ++x) y[x] = line[2 * x];
        if (row % 2 == 0) {
            uint8_t* u = u_plane + row / 2 * (width / 2);
            uint8_t* v = v_plane + row / 2 * (width / 2);
            for (size_t x = 0; x < width / 2; ++x) {
                u[x] = line[4 * x + 1];
                v[x] = line[4 * x + 3];
            }
        }
    }
    if (!m_file.write(m_scratch.data(), m_scratch.size())) {
        m_error = m_file.error();
        return false;
    }
    return true;
}

bool frame_sink::finish() {
    if (m_format == output_format::png) return true;
    if (!m_file.commit()) {
        m_error = m_file.error();
        return false;
    }
    return true;
}

}  // namespace ruv::ruvdec
