#include "decode.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "report.h"
#include "sinks.h"
#include "stream.h"

namespace ruv::ruvdec {

namespace {

// Y4M and AVI output need a frame rate; a stream without one is written at this one.
constexpr uint32_t default_rate = 25;

// The output format and name pattern from -o and --format; -1 to go on, or an exit status.
int choose_output(const options& o, sink_settings& s, name_pattern& pattern) {
    output_format named = output_format::yuy2;
    const bool has_named = o.output != "-" && format_of_name(o.output, named);
    if (o.format_given) {
        if (!parse_format(o.format_name, s.format))
            return usage_error("unknown format " + o.format_name + " (yuy2, rgb32, i420, y4m, avi" +
                               (png_supported ? " or png)" : ")"));
    } else if (o.output == "-") {
        return usage_error("-o - writes to standard output and needs --format (yuy2, rgb32, i420 or y4m)");
    } else if (!has_named) {
        return usage_error("cannot tell the format from " + o.output +
                           " (extensions .yuy2 .rgb32 .yuv .i420 .y4m .avi" + (png_supported ? " .png" : "") +
                           "); use --format");
    } else {
        s.format = named;
    }
    // An .avi name with --format yuy2 or rgb32 picks the AVI's video frames.
    if (has_named && named == output_format::avi &&
        (s.format == output_format::yuy2 || s.format == output_format::rgb32)) {
        s.avi_rgb32 = s.format == output_format::rgb32;
        s.format = output_format::avi;
    }
    if (s.format == output_format::avi && o.output == "-")
        return usage_error("AVI output needs a file: its headers are completed at the end");
    if (o.full_range && (s.format != output_format::avi || s.avi_rgb32))
        return usage_error("--full-range belongs to YUY2 AVI output (raw and Y4M output are full range)");
    s.full_range = o.full_range;
    if (s.format == output_format::avi && o.frames_given)
        return usage_error("AVI output converts the whole file, with its other streams; --frames does not apply");
    if (s.format == output_format::png) {
        if (o.output == "-") return usage_error("PNG output needs a file name pattern such as frames/%05d.png");
        std::string why;
        if (!pattern.parse(o.output, why)) return usage_error(why);
    }
    s.path = o.output;
    s.threads = o.threads;
    return -1;
}

// The frames --frames asks for, within the stream's; -1 to go on, or an exit status.
int choose_frames(const options& o, size_t count, reporter& report, size_t& first, size_t& last) {
    first = 0;
    last = count - 1;
    if (!o.frames_given) return -1;
    if (o.first >= count)
        return report.error("--frames " + o.frames_text + ": " + o.file + " has " + std::to_string(count) +
                            " frames (0-" + std::to_string(count - 1) + ")");
    first = size_t(o.first);
    if (o.last < count) {
        last = size_t(o.last);
    } else if (o.last != UINT64_MAX) {
        report.warn("--frames " + o.frames_text + ": " + o.file + " has " + std::to_string(count) +
                    " frames; decoding up to frame " + std::to_string(last));
    }
    return -1;
}

// OpenDML once the file would pass 1 GiB: AVI 1.0 readers take up to 2 GiB,
// OpenDML readers any size, and every reader this first gigabyte.
bool needs_open_dml(const ruv_stream& stream, const avi::remux_plan& plan, size_t picture_bytes) {
    uint64_t bytes = 0;
    for (size_t i = 0; i < stream.frame_count(); ++i)
        bytes += 24 + (stream.kind(i) == frame_kind::dropped ? 0 : picture_bytes);
    for (const avi::remux_plan::chunk& c : plan.chunks) bytes += 24 + c.size + (c.size & 1);
    return bytes > (uint64_t(1) << 30);
}

// One decode: frames start to last through the decoder into the sink, with the
// other streams' chunks copied between them in file order.
struct decode_run {
    const options& m_options;
    ruv_stream& m_stream;
    reporter& m_report;
    frame_sink& m_sink;
    const avi::remux_plan& m_plan;
    ruv_decoder* m_decoder = nullptr;
    ruv_picture m_planes{};
    std::vector<uint8_t> m_picture;
    std::vector<uint8_t> m_frame;
    std::vector<uint8_t> m_chunk;
    size_t m_next_copy = 0;
    bool m_have_intra = false;
    size_t m_decoded = 0;
    size_t m_faulty = 0;

    decode_run(const options& o, ruv_stream& stream, reporter& report, frame_sink& sink,
               const avi::remux_plan& plan, ruv_decoder* decoder)
        : m_options(o), m_stream(stream), m_report(report), m_sink(sink), m_plan(plan), m_decoder(decoder) {}

    // The output buffer, black as a host's before any picture.
    void set_up_picture(ruv_pixel_format format) {
        const ruv_stream_info& info = m_stream.info();
        const bool rgb = format == RUV_PIXEL_RGB32;
        m_picture.assign(size_t(info.width) * size_t(info.height) * (rgb ? 4 : 2), 0);
        if (!rgb)
            for (size_t i = 1; i < m_picture.size(); i += 2) m_picture[i] = 0x80;
        // RGB32 rows bottom-up, as the codec writes them.
        ruv_picture_packed(&m_planes, &info, format, m_picture.data(), m_picture.size(), rgb);
    }

    // Fails the run: the output is removed.
    int fail(const std::string& message, int status) {
        m_sink.abandon();
        m_report.error(message);
        return status;
    }

    // Copies the other streams' chunks that stand before `offset` in the input;
    // the error, or an empty text.
    std::string copy_until(uint64_t offset) {
        for (; m_next_copy < m_plan.chunks.size() && m_plan.chunks[m_next_copy].offset < offset; ++m_next_copy) {
            const avi::remux_plan::chunk& c = m_plan.chunks[m_next_copy];
            m_chunk.resize(c.size);
            if (!m_stream.reader().read_at(c.offset, m_chunk.data(), m_chunk.size()))
                return m_options.file + ": cannot read a chunk of stream " + std::to_string(c.stream);
            if (!m_sink.copy_chunk(c.stream, m_chunk.data(), m_chunk.size(), c.key)) return m_sink.error();
        }
        return {};
    }

    // Decodes frame i into the picture; the fault found, or an empty text.
    std::string decode(size_t i) {
        if (m_stream.kind(i) == frame_kind::dropped) return {};   // the previous picture stays
        if (!m_stream.read_frame(i, m_frame))
            return "unreadable (" + m_stream.error() + "); the previous picture is shown again";
        ruv_frame_result result{};
        ruv_decode(m_decoder, m_frame.data(), m_frame.size(), m_stream.key_flag(i), &m_planes, &result);
        if (result.delta && !m_have_intra)
            m_report.warn("frame " + std::to_string(i) + ": a delta frame before any intra frame, decoded against black");
        m_have_intra = m_have_intra || !result.delta;
        ++m_decoded;
        return result.fault != 0 ? ruv_fault_text(result.fault) : std::string();
    }

    int run(size_t start, size_t first, size_t last) {
        for (size_t i = start; i <= last; ++i) {
            const std::string not_copied = copy_until(m_stream.reader().frames()[i].offset);
            if (!not_copied.empty()) return fail(not_copied, exit_error);
            const std::string fault = decode(i);
            if (!fault.empty()) {
                ++m_faulty;
                const std::string message = "frame " + std::to_string(i) + ": " + fault;
                if (m_options.strict) return fail(message + " (--strict)", exit_strict);
                m_report.warn(message);
            }
            if (i >= first) {
                const bool ok = m_stream.kind(i) == frame_kind::dropped && m_sink.keeps_dropped_frames()
                                    ? m_sink.write_dropped()
                                    : m_sink.write(i, m_picture.data(), m_picture.size());
                if (!ok) return fail(m_sink.error(), exit_error);
            }
            m_report.m_progress.update(i - start + 1);
        }
        if (m_decoded == 0)
            return fail(m_options.file + ": no frame of " + std::to_string(start) + "-" + std::to_string(last) +
                            " could be decoded (all unreadable)",
                        exit_error);
        const std::string not_copied = copy_until(UINT64_MAX);
        if (!not_copied.empty()) return fail(not_copied, exit_error);
        if (!m_sink.finish()) return fail(m_sink.error(), exit_error);
        return 0;
    }
};

// The output is renamed over an existing file: never over the input.
bool writes_over_input(const options& o, const sink_settings& s, const name_pattern& pattern, std::string& target) {
    if (o.output == "-" || (s.format == output_format::png && pattern.m_numbered)) return false;
    target = s.format == output_format::png ? pattern.name(0) : o.output;
    return same_file(target, o.file);
}

std::string cannot_decode(const ruv_stream_info& info, int status) {
    return "cannot set up the decoder for a " + std::to_string(info.width) + " x " + std::to_string(info.height) +
           " picture in coding mode " + std::to_string(info.coding_mode) + ": " + ruv_strerror(status);
}

// The stream's picture size and frame rate; Y4M and AVI output need a rate, and
// get a default one where the stream has none.
void take_picture_format(const ruv_stream& stream, const options& o, reporter& report, sink_settings& s) {
    s.width = stream.info().width;
    s.height = stream.info().height;
    s.rate = stream.rate();
    s.scale = stream.scale();
    const bool needs_rate = s.format == output_format::y4m || s.format == output_format::avi;
    if (needs_rate && s.rate == 0) {
        report.warn(o.file + " gives no frame rate; writing " + std::to_string(default_rate) + " frames a second");
        s.rate = default_rate;
        s.scale = 1;
    }
}

void summarize(const reporter& report, size_t faulty, size_t frames) {
    report.count_warnings();
    if (faulty > 0)
        std::fprintf(stderr, "ruvdec: %s of %s frames had faults and were decoded as the codec decodes them\n",
                     std::to_string(faulty).c_str(), std::to_string(frames).c_str());
}

}  // namespace

int run_decode(const options& o) {
    sink_settings settings;
    name_pattern pattern;
    if (const int status = choose_output(o, settings, pattern); status >= 0) return status;
    reporter report;
    if (settings.format == output_format::png && !png_supported) return report.error(no_png_support);
    std::string target;
    if (writes_over_input(o, settings, pattern, target))
        return report.error("cannot write " + target + ": it is the input file");

    ruv_stream stream;
    if (!stream.open(o.file, o.stream)) return report.error(stream.error());
    const size_t count = stream.frame_count();
    if (count == 0) return report.error(o.file + ": the \"RUV1\" stream holds no frames");
    if (stream.reader().truncated())
        report.warn(o.file + " ends early or was never finished; decoding the " + std::to_string(count) +
                    " whole frames it holds");
    size_t first = 0;
    size_t last = 0;
    if (const int status = choose_frames(o, count, report, first, last); status >= 0) return status;
    if (settings.format == output_format::png && !pattern.m_numbered && last > first)
        return usage_error("the name pattern " + o.output + " has no frame number (such as %05d) but " +
                           std::to_string(last - first + 1) + " frames are to be written");

    const ruv_decoder_settings decoder_settings{decoder_format(settings), o.kernels};
    ruv_decoder* opened = nullptr;
    const int refused = ruv_decoder_open(&stream.info(), &decoder_settings, &opened);
    const std::unique_ptr<ruv_decoder, void (*)(ruv_decoder*)> decoder(opened, ruv_decoder_close);
    if (refused != RUV_OK) return report.error(cannot_decode(stream.info(), refused));
    if (stream.key_frames_guessed())
        report.warn(o.file + " has no usable index, so no key-frame flags: frames of " +
                    std::to_string(stream.intra_size()) + " bytes are taken as intra frames, others as delta frames");
    take_picture_format(stream, o, report, settings);
    frame_sink sink;
    avi::remux_plan plan;
    decode_run run(o, stream, report, sink, plan, decoder.get());
    run.set_up_picture(decoder_settings.format);
    if (settings.format == output_format::avi) {
        std::string why;
        if (!plan.make(stream.reader(), why)) return report.error(o.file + ": " + why);
        settings.open_dml = needs_open_dml(stream, plan, run.m_picture.size());
    }
    const size_t start = stream.decode_start(first);
    size_t present = 0;
    for (size_t i = start; i <= last; ++i)
        if (stream.kind(i) != frame_kind::dropped) ++present;
    if (present == 0)
        return report.error(o.file + ": no frame of " + std::to_string(start) + "-" + std::to_string(last) +
                            " could be decoded (all dropped)");
    const bool began = sink.begin(settings, &plan);
    for (const std::string& name : sink.stale_removed()) report.warn("removed " + name + ", left by a run that was killed");
    if (!began) return report.error(sink.error());

    report.m_progress.start(last - start + 1, !o.quiet && stderr_is_terminal());
    if (const int status = run.run(start, first, last); status != 0) return status;
    report.m_progress.finish();
    summarize(report, run.m_faulty, last - start + 1);
    return 0;
}

}  // namespace ruv::ruvdec
