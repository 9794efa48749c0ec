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
// The output compression to set the decoder up with for a format, and for AVI
// output the compression of its video frames (YUY2 or RGB32).
uint32_t decoder_output(output_format format, uint32_t avi_compression);

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
    output_format m_format = output_format::yuy2;
    uint32_t m_avi_compression = 0x32595559;   // AVI video frames: YUY2 or RGB32 (0)
    int32_t m_width = 0;
    int32_t m_height = 0;
    uint32_t m_rate = 0;      // frame rate rate/scale, 0/0 when unknown (Y4M header)
    uint32_t m_scale = 0;
    std::string m_path;       // a file, "-", or a PNG name pattern
    name_pattern m_pattern;
    output_file m_file;       // raw, Y4M and AVI output
    // AVI output: the input's other streams, in order, with the video stream as
    // stream number m_video_index among them; OpenDML when the file grows past 1 GiB.
    std::vector<avi::copied_stream> m_copied;
    size_t m_video_index = 0;
    bool m_open_dml = false;
    avi::writer m_avi;
    size_t m_threads = 0;     // PNG output: encoding threads, 0 for one a core
    png_pool m_png;
    std::vector<uint8_t> m_scratch;
    std::string m_error;

    // Opens the output and writes the Y4M header; for PNG, checks the pattern and
    // that the folder it names exists, so that a missing one is found before decoding.
    bool begin();
    bool begin_avi();
    bool write_png_file(png_pool::job& j);
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
};

}  // namespace ruv::ruvdec
