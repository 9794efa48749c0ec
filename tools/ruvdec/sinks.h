// Where decoded pictures go: raw YUY2, RGB32 or planar 4:2:0 frames, a YUV4MPEG2
// stream, an AVI file of uncompressed frames beside the input's other streams, or
// one PNG picture per frame.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "avi.h"
#include "output_file.h"
#include "ruv/ruv.h"

namespace ruv::ruvdec {

enum class output_format : uint8_t { yuy2, rgb32, y4m, png, i420, avi };

// PNG output needs libpng; builds without it (RUVDEC_NO_PNG) refuse the format.
#ifdef RUVDEC_NO_PNG
constexpr bool png_supported = false;
#else
constexpr bool png_supported = true;
#endif
constexpr const char* no_png_support = "this ruvdec was built without PNG support";

// "yuy2", "rgb32", "y4m", "png", "i420" or "avi"; false for another name.
bool parse_format(const std::string& name, output_format& format);
// The format that a file name's extension names (.yuy2 .rgb32 .y4m .png .i420
// .yuv .avi, any case).
bool format_of_name(const std::string& path, output_format& format);
// What a sink writes, and where.
struct sink_settings {
    output_format format = output_format::yuy2;
    bool avi_rgb32 = false;   // AVI output: RGB32 video frames rather than YUY2
    bool full_range = false;  // YUY2 AVI output: the decoded samples, not limited range
    int32_t width = 0;
    int32_t height = 0;
    uint32_t rate = 0;        // frame rate rate/scale, 0/0 when unknown (Y4M and AVI headers)
    uint32_t scale = 0;
    std::string path;         // a file, "-", or a PNG name pattern
    size_t threads = 0;       // PNG output: encoding threads, 0 for one a core
    bool open_dml = false;    // AVI output: OpenDML, for a file past 1 GiB
};

// The decoder's output for a sink: RGB32 for rgb32, png and RGB32 AVI output,
// YUY2 for the others.
ruv_pixel_format decoder_format(const sink_settings& settings);

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

// PNG output on several threads: pictures are encoded in parallel into memory,
// and their files written in frame order by the thread that hands them in, so
// that after an error every frame before the failing one has its PNG.
struct png_pool {
    struct job {
        uint64_t number = 0;
        std::vector<uint8_t> picture;
        std::vector<uint8_t> png;
        std::string error;
        bool started = false;
        bool done = false;
        bool ok = false;
    };

    int32_t m_width = 0;
    int32_t m_height = 0;
    std::vector<std::thread> m_workers;
    std::mutex m_lock;
    std::condition_variable m_work;    // a job to start, or the pool is stopping
    std::condition_variable m_ready;   // a job is done
    std::deque<job> m_jobs;            // in frame order, written and removed from the front
    bool m_stopping = false;

    png_pool() = default;
    png_pool(const png_pool&) = delete;
    png_pool& operator=(const png_pool&) = delete;
    ~png_pool() { stop(); }

    void start(size_t threads, int32_t width, int32_t height);
    void stop();
    // Queues a copy of a picture for the next free thread.
    void add(uint64_t number, const uint8_t* picture, size_t size);
    // The oldest job once it is done, or false when none is queued (or, unless
    // `wait`, when the oldest is not done yet).
    bool take(job& out, bool wait);
    void work();
};

struct frame_sink {
    sink_settings m_settings;
    name_pattern m_pattern;
    output_file m_file;       // raw, Y4M and AVI output
    avi::writer m_avi;
    png_pool m_png;
    std::vector<uint8_t> m_scratch;
    std::string m_error;
    std::vector<std::string> m_stale_removed;   // temporary files of killed runs, removed at begin

    // Opens the output and writes the Y4M header; for PNG, checks the pattern and
    // that the folder it names exists, so that a missing one is found before decoding.
    // `plan` gives AVI output the streams it copies.
    bool begin(const sink_settings& settings, const avi::remux_plan* plan = nullptr);
    bool begin_avi(const avi::remux_plan* plan);
    void remove_stale_temps_of_output();
    bool write_png_file(png_pool::job& j);
    const uint8_t* avi_pixels(const uint8_t* picture, size_t size);
    bool write_png(uint64_t frame_number, const uint8_t* picture, size_t size);
    // i420 and y4m output: the picture's planes.
    bool write_planar(const uint8_t* picture);
    // Writes one decoded picture: output_size() bytes in the decoder's layout,
    // YUY2 for yuy2, i420 and y4m, RGB32 for rgb32 and png, either for avi.
    bool write(uint64_t frame_number, const uint8_t* picture, size_t size);
    // AVI output: a dropped frame, kept as an empty chunk.
    bool write_dropped();
    // AVI output: a chunk of another stream, copied as it was.
    bool copy_chunk(size_t stream, const uint8_t* data, size_t size, bool key);
    // Completes the output and gives it its name.
    bool finish();
    // Removes an unfinished output.
    void abandon();

    const std::string& error() const { return m_error; }
    // Temporary files of killed runs that begin() removed.
    const std::vector<std::string>& stale_removed() const { return m_stale_removed; }
    // Whether a dropped frame is kept as one (AVI), rather than as the picture again.
    bool keeps_dropped_frames() const { return m_settings.format == output_format::avi; }
};

}  // namespace ruv::ruvdec
