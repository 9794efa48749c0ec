#include "sinks.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

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
    error = "cannot create " + text + ": folder " + folder.string() + ": " + why.message();
    return false;
}

}  // namespace

bool parse_format(const std::string& name, output_format& format) {
    const std::string n = lower(name);
    if (n == "yuy2") format = output_format::yuy2;
    else if (n == "rgb32") format = output_format::rgb32;
    else if (n == "y4m") format = output_format::y4m;
    else if (n == "png") format = output_format::png;
    else if (n == "i420" || n == "yuv") format = output_format::i420;
    else if (n == "avi") format = output_format::avi;
    else return false;
    return true;
}

bool format_of_name(const std::string& path, output_format& format) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    return parse_format(path.substr(dot + 1), format);
}

ruv_pixel_format decoder_format(const sink_settings& s) {
    const bool rgb = s.format == output_format::rgb32 || s.format == output_format::png ||
                     (s.format == output_format::avi && s.avi_rgb32);
    return rgb ? RUV_PIXEL_RGB32 : RUV_PIXEL_YUY2;
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

bool frame_sink::begin_avi(const avi::remux_plan* plan) {
    // A BITMAPINFOHEADER of the uncompressed frames: YUY2 rows top-down, RGB32
    // rows bottom-up (a positive height), as Windows players take them.
    const bool rgb = m_settings.avi_rgb32;
    const uint32_t width = uint32_t(m_settings.width);
    const uint32_t height = uint32_t(m_settings.height);
    avi::video_format video;
    const uint32_t compression = rgb ? 0 : avi::fourcc('Y', 'U', 'Y', '2');   // 0: BI_RGB
    video.handler = compression;
    video.width = width;
    video.height = height;
    video.rate = m_settings.rate;
    video.scale = m_settings.scale;
    video.uncompressed = true;
    video.strf.assign(40, 0);
    const uint32_t fields[] = {40, width, height};
    for (size_t i = 0; i < 3; ++i) avi::write_le32(video.strf.data() + 4 * i, fields[i]);
    video.strf[12] = 1;                  // biPlanes
    video.strf[14] = rgb ? 32 : 16;      // biBitCount
    avi::write_le32(video.strf.data() + 16, compression);
    avi::write_le32(video.strf.data() + 20, uint32_t(size_t(width) * height * (rgb ? 4 : 2)));
    avi::writer_options options;
    options.layout = m_settings.open_dml ? avi::index_layout::open_dml : avi::index_layout::idx1;
    const avi::remux_plan none;
    if (!plan) plan = &none;
    if (!m_avi.open(m_settings.path, video, options, plan->streams, plan->video_index, m_file.m_file)) {
        m_error = m_avi.error();
        return false;
    }
    return true;
}

void png_pool::start(size_t threads, int32_t width, int32_t height) {
    m_width = width;
    m_height = height;
    m_stopping = false;
    for (size_t i = 0; i < threads; ++i) m_workers.emplace_back([this] { work(); });
}

void png_pool::stop() {
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
    }
    m_work.notify_all();
    for (std::thread& t : m_workers) t.join();
    m_workers.clear();
    m_jobs.clear();
}

void png_pool::add(uint64_t number, const uint8_t* picture, size_t size) {
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        job j;
        j.number = number;
        j.picture.assign(picture, picture + size);
        m_jobs.push_back(std::move(j));
    }
    m_work.notify_one();
}

bool png_pool::take(job& out, bool wait) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_jobs.empty()) return false;
    if (!m_jobs.front().done) {
        if (!wait) return false;
        m_ready.wait(hold, [this] { return m_jobs.front().done; });
    }
    out = std::move(m_jobs.front());
    m_jobs.pop_front();
    return true;
}

void png_pool::work() {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        job* next = nullptr;
        m_work.wait(hold, [&] {
            if (m_stopping) return true;
            for (job& j : m_jobs)
                if (!j.started) {
                    next = &j;
                    return true;
                }
            return false;
        });
        if (m_stopping) return;
        // A queued job stays in place until it is done: the front is removed
        // only once done, and adding at the back moves no element of a deque.
        next->started = true;
        hold.unlock();
        std::vector<uint8_t> png;
        std::string error;
#ifndef RUVDEC_NO_PNG
        const bool ok = encode_png(next->picture.data(), m_width, m_height, png, error);
#else
        const bool ok = false;
        error = no_png_support;
#endif
        hold.lock();
        next->png = std::move(png);
        next->error = std::move(error);
        next->ok = ok;
        next->done = true;
        next->picture = std::vector<uint8_t>();
        m_ready.notify_all();
    }
}

bool frame_sink::write_png_file(png_pool::job& j) {
    const std::string name = m_pattern.name(j.number);
    if (!j.ok) {
        m_error = "cannot encode " + name + ": " + j.error;
        return false;
    }
    output_file file;
    if (!file.open(name) || !file.write(j.png.data(), j.png.size()) || !file.commit()) {
        m_error = file.error();
        return false;
    }
    return true;
}

void frame_sink::remove_stale_temps_of_output() {
    if (m_settings.path == "-") return;
    const bool numbered = m_settings.format == output_format::png && m_pattern.m_numbered;
    const std::string target = output_file::real_target(numbered ? m_pattern.m_prefix + "0" + m_pattern.m_suffix
                                                       : m_settings.format == output_format::png ? m_pattern.name(0)
                                                                                                 : m_settings.path);
    const std::filesystem::path folder = std::filesystem::path(target).parent_path();
    const std::string file = std::filesystem::path(target).filename().string();
    const std::string head = std::filesystem::path(m_pattern.m_prefix + "0").filename().string();
    const std::string prefix = head.substr(0, head.size() - 1);
    const std::string& suffix = m_pattern.m_suffix;
    m_stale_removed = remove_stale_temps(folder.string(), [&](const std::string& name) {
        if (!numbered) return name == file;
        // A frame's file: the pattern with a number in place of its conversion.
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            return false;
        const std::string number = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        return number.find_first_not_of("0123456789 ") == std::string::npos;
    });
}

bool frame_sink::begin(const sink_settings& settings, const avi::remux_plan* plan) {
    m_settings = settings;
    m_error.clear();
    if (m_settings.format == output_format::png && !m_pattern.parse(m_settings.path, m_error)) return false;
    remove_stale_temps_of_output();
    if (m_settings.format == output_format::png) {
        if (!png_folder_exists(m_pattern, m_settings.path, m_error)) return false;
        size_t threads = m_settings.threads != 0 ? m_settings.threads : std::max<size_t>(1, std::thread::hardware_concurrency());
        // One thread encodes in the decoding thread, without a pool.
        if (threads > 1) m_png.start(threads, m_settings.width, m_settings.height);
        return true;
    }
    if (!m_file.open(m_settings.path)) {
        m_error = m_file.error();
        return false;
    }
    if (m_settings.format == output_format::avi && !begin_avi(plan)) {
        m_file.abandon();
        return false;
    }
    if (m_settings.format == output_format::y4m) {
        // C420jpeg: chroma sited between the two luma lines of a cell, as the
        // cells share one U and V. XCOLORRANGE=FULL: the samples span 0 to 255
        // (the decoder's RGB conversion takes them so), and readers that assume
        // the limited 16-235 range would stretch them and clip whites and blacks.
        char header[160];
        const int length = std::snprintf(header, sizeof header,
                                         "YUV4MPEG2 W%d H%d F%u:%u Ip A1:1 C420jpeg XCOLORRANGE=FULL\n",
                                         int(m_settings.width), int(m_settings.height), unsigned(m_settings.rate), unsigned(m_settings.scale));
        if (!m_file.write(header, size_t(length))) {
            m_error = m_file.error();
            m_file.abandon();
            return false;
        }
    }
    return true;
}

bool frame_sink::write_dropped() {
    if (m_avi.write_frame(nullptr, 0, false)) return true;
    m_error = m_avi.error();
    return false;
}

bool frame_sink::copy_chunk(size_t stream, const uint8_t* data, size_t size, bool key) {
    if (m_avi.write_chunk(stream, data, size, key)) return true;
    m_error = m_avi.error();
    return false;
}

void frame_sink::abandon() {
    m_png.stop();
    // The writer leaves the file to m_file, which removes it.
    m_avi.m_file = nullptr;
    m_file.abandon();
}

// AVI frames as players show them: YUY2 in the limited range that every reader
// of that format assumes (luma 16-235, chroma 16-240, rounded), unless the
// exact full-range samples are asked for; RGB32 with an opaque fourth byte in
// place of the codec's luma, so readers that take it as alpha show the picture.
const uint8_t* frame_sink::avi_pixels(const uint8_t* picture, size_t size) {
    if (!m_settings.avi_rgb32 && m_settings.full_range) return picture;
    m_scratch.assign(picture, picture + size);
    if (m_settings.avi_rgb32) {
        for (size_t i = 3; i < size; i += 4) m_scratch[i] = 0xFF;
        return m_scratch.data();
    }
    // Y' = 16 + Y * 219 / 255 and C' = 128 + (C - 128) * 224 / 255, rounded a
    // little low for luma and a little high for chroma: the decoder's own RGB
    // conversion rounds its chroma terms down, and with these roundings a
    // BT.601 player's picture stays within 2 levels of it for every sample
    // (3 only for three out-of-gamut colours at full luma).
    uint8_t luma[256];
    uint8_t chroma[256];
    for (int v = 0; v < 256; ++v) {
        luma[v] = uint8_t(v == 255 ? 235 : std::max(16, (4380 * v + 81345) / 5100));
        chroma[v] = uint8_t((224 * v + 4121) / 255);
    }
    for (size_t i = 0; i + 1 < size; i += 2) {
        m_scratch[i] = luma[m_scratch[i]];
        m_scratch[i + 1] = chroma[m_scratch[i + 1]];
    }
    return m_scratch.data();
}

bool frame_sink::write(uint64_t frame_number, const uint8_t* picture, size_t size) {
    switch (m_settings.format) {
        case output_format::avi:
            if (!m_avi.write_frame(avi_pixels(picture, size), size, true)) {
                m_error = m_avi.error();
                return false;
            }
            return true;
        case output_format::yuy2:
        case output_format::rgb32:
            if (!m_file.write(picture, size)) {
                m_error = m_file.error();
                return false;
            }
            return true;
        case output_format::png:
            return write_png(frame_number, picture, size);
        case output_format::y4m:
        case output_format::i420:
            break;
    }
    return write_planar(picture);
}

bool frame_sink::write_png([[maybe_unused]] uint64_t frame_number, [[maybe_unused]] const uint8_t* picture,
                           [[maybe_unused]] size_t size) {
#ifndef RUVDEC_NO_PNG
    if (m_png.m_workers.empty()) {
        png_pool::job j;
        j.number = frame_number;
        j.ok = encode_png(picture, m_settings.width, m_settings.height, j.png, j.error);
        return write_png_file(j);
    }
    // At most two pictures a thread wait: memory stays bounded.
    png_pool::job j;
    while (m_png.m_jobs.size() >= 2 * m_png.m_workers.size() && m_png.take(j, true))
        if (!write_png_file(j)) return false;
    m_png.add(frame_number, picture, size);
    while (m_png.take(j, false))
        if (!write_png_file(j)) return false;
    return true;
#else
    m_error = no_png_support;   // ruvdec refuses PNG output before it gets here
    return false;
#endif
}

bool frame_sink::write_planar(const uint8_t* picture) {
    // YUY2 (Y0 U Y1 V, rows top-down) to 4:2:0 planes. Both lines of a cell carry
    // its U and V, so the upper line's are taken: the decoded samples exactly.
    static const char frame_header[] = "FRAME\n";
    const size_t width = size_t(m_settings.width);
    const size_t height = size_t(m_settings.height);
    const size_t header = m_settings.format == output_format::y4m ? sizeof frame_header - 1 : 0;
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
    if (m_settings.format == output_format::png) {
        png_pool::job j;
        while (m_png.take(j, true))
            if (!write_png_file(j)) return false;
        m_png.stop();
        return true;
    }
    if (m_settings.format == output_format::avi && !m_avi.close()) {
        m_error = m_avi.error();
        return false;
    }
    if (!m_file.commit()) {
        m_error = m_file.error();
        return false;
    }
    return true;
}

}  // namespace ruv::ruvdec
