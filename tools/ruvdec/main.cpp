// ruvdec: converts the "RUV1" video stream of an AVI file into raw YUY2 or RGB32
// frames, a YUV4MPEG2 stream or PNG pictures, feeding every frame to the decoder
// as a Video for Windows host would.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decoder.h"
#include "output_file.h"
#include "progress.h"
#include "sinks.h"
#include "stream.h"

#ifndef RUVDEC_VERSION
#define RUVDEC_VERSION "unknown"
#endif

namespace {

using namespace ruv::ruvdec;

const char* const usage =
    "usage: ruvdec info FILE [--json]\n"
    "       ruvdec decode FILE -o OUT [--format yuy2|rgb32|y4m|png] [--frames FIRST-LAST] [--quiet]\n"
    "       ruvdec --help | --version\n"
    "\n"
    "Converts the \"RUV1\" video stream of an AVI file.\n"
    "\n"
    "commands:\n"
    "  info     the picture size, codec_version, coding_mode, frame and key-frame counts,\n"
    "           frame rate and duration; --json prints them as one JSON object\n"
    "  decode   decodes the frames into OUT, whose format is:\n"
    "             yuy2   raw YUY2 frames, rows top-down, no header\n"
    "             rgb32  raw 32-bit frames (B, G, R, luma), rows bottom-up, no header\n"
    "             y4m    YUV4MPEG2, 4:2:0 (C420jpeg), rows top-down\n"
    "             png    one RGB PNG per frame; OUT is a name pattern such as frames/%05d.png\n"
    "                    in an existing folder; after an error the PNGs written so far\n"
    "                    stay, each one complete\n"
    "\n"
    "options:\n"
    "  -o, --output OUT      output file; - writes to standard output (then --format is needed)\n"
    "  -f, --format FORMAT   yuy2, rgb32, y4m or png (default: from OUT's extension)\n"
    "  --frames FIRST-LAST   only frames FIRST to LAST, numbered from 0 (FIRST- runs to the end)\n"
    "  -q, --quiet           no progress bar\n"
    "  --kernels LEVEL       decode: kernels of at most this level (scalar, sse2, avx2)\n"
    "  --json                info: print JSON\n"
    "  -h, --help            show this help\n"
    "  --version             show the version\n"
    "\n"
    "Exit status: 0 on success (frames with faults are reported and decoded as the\n"
    "codec decodes them), 1 on an error, 2 on a usage error.\n";

constexpr size_t max_warnings = 100;   // warnings named one by one; the rest are counted

struct options {
    std::string command;
    std::string file;
    std::string output;
    std::string format_name;
    std::string frames_text;
    bool output_given = false;
    bool format_given = false;
    bool frames_given = false;
    uint64_t first = 0;
    uint64_t last = UINT64_MAX;
    bool json = false;
    bool quiet = false;
    uint32_t kernel_mask = ruv::kernels_all;
};

// Messages on standard error that keep clear of the progress bar.
struct reporter {
    progress_bar m_progress;
    size_t m_warnings = 0;

    void warn(const std::string& message) {
        ++m_warnings;
        if (m_warnings > max_warnings + 1) return;
        m_progress.clear();
        if (m_warnings == max_warnings + 1)
            std::fprintf(stderr, "ruvdec: warning: further warnings are only counted\n");
        else
            std::fprintf(stderr, "ruvdec: warning: %s\n", message.c_str());
    }

    int error(const std::string& message) {
        m_progress.clear();
        std::fprintf(stderr, "ruvdec: error: %s\n", message.c_str());
        return 1;
    }
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "ruvdec: error: %s\n(ruvdec --help shows the usage)\n", message.c_str());
    return 2;
}

bool parse_count(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
    }
    return true;
}

// FIRST-LAST, FIRST- or a single frame number.
bool parse_frames(const std::string& text, uint64_t& first, uint64_t& last) {
    const size_t dash = text.find('-');
    if (dash == std::string::npos) {
        if (!parse_count(text, first)) return false;
        last = first;
        return true;
    }
    if (!parse_count(text.substr(0, dash), first)) return false;
    const std::string tail = text.substr(dash + 1);
    if (tail.empty()) {
        last = UINT64_MAX;
        return true;
    }
    return parse_count(tail, last) && first <= last;
}

// Fills `o` from the arguments after the command; returns -1 to go on, or an exit status.
int parse_arguments(int argc, char** argv, options& o) {
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        const size_t equals = arg.find('=');
        if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-' && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            has_value = true;
        }
        const bool takes_value = arg == "-o" || arg == "--output" || arg == "-f" || arg == "--format" ||
                                 arg == "--frames" || arg == "--kernels";
        if (takes_value && !has_value) {
            if (i + 1 >= argc) return usage_error(arg + " needs a value");
            value = argv[++i];
        } else if (!takes_value && has_value) {
            return usage_error(arg + " takes no value");
        }

        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "-o" || arg == "--output") {
            o.output = value;
            o.output_given = true;
        } else if (arg == "-f" || arg == "--format") {
            o.format_name = value;
            o.format_given = true;
        } else if (arg == "--frames") {
            o.frames_text = value;
            o.frames_given = true;
            if (!parse_frames(value, o.first, o.last))
                return usage_error("--frames " + value + ": expected FIRST-LAST with FIRST <= LAST (or FIRST-)");
        } else if (arg == "--kernels") {
            if (!ruv::kernel_mask_of(value.c_str(), o.kernel_mask))
                return usage_error("--kernels " + value + ": expected scalar, sse2 or avx2");
        } else if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option " + arg);
        } else if (o.file.empty()) {
            o.file = arg;
        } else {
            return usage_error("more than one input file (" + o.file + ", " + arg + ")");
        }
    }
    if (o.file.empty()) return usage_error("no input file");
    const bool decode = o.command == "decode";
    if (!decode && (o.output_given || o.format_given || o.frames_given || o.quiet))
        return usage_error("-o, --format, --frames and --quiet belong to ruvdec decode");
    if (decode && o.json) return usage_error("--json belongs to ruvdec info");
    if (decode && !o.output_given) return usage_error("no output given (-o OUT)");
    if (decode && o.output.empty()) return usage_error("the output name is empty");
    return -1;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(u));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string number_text(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

const char* index_name(ruv::avi::index_kind kind) {
    switch (kind) {
        case ruv::avi::index_kind::open_dml: return "opendml";
        case ruv::avi::index_kind::idx1_relative: return "idx1";
        case ruv::avi::index_kind::idx1_absolute: return "idx1_absolute";
        case ruv::avi::index_kind::scan: return "scan";
        case ruv::avi::index_kind::none: break;
    }
    return "none";
}

int run_info(const options& o) {
    reporter report;
    ruv_stream stream;
    if (!stream.open(o.file)) return report.error(stream.error());
    const ruv::InputFormat& f = stream.m_format;
    const size_t frames = stream.frame_count();
    const size_t key_frames = stream.count(frame_kind::intra);
    const size_t dropped = stream.count(frame_kind::dropped);
    const double rate = stream.m_rate != 0 ? double(stream.m_rate) / double(stream.m_scale) : 0.0;
    const double duration = rate > 0 ? double(frames) / rate : 0.0;
    const ruv::avi::index_kind kind = stream.m_reader.kind();

    std::string text;
    if (o.json) {
        text = "{\n";
        text += "  \"file\": " + json_string(o.file) + ",\n";
        text += "  \"width\": " + std::to_string(f.width) + ",\n";
        text += "  \"height\": " + std::to_string(f.height) + ",\n";
        text += "  \"codec_version\": " + std::to_string(f.codec_version) + ",\n";
        text += "  \"coding_mode\": " + std::to_string(f.coding_mode) + ",\n";
        text += "  \"frames\": " + std::to_string(frames) + ",\n";
        text += "  \"key_frames\": " + std::to_string(key_frames) + ",\n";
        text += "  \"dropped_frames\": " + std::to_string(dropped) + ",\n";
        text += "  \"frame_rate\": " + number_text(rate) + ",\n";
        text += "  \"rate\": " + std::to_string(stream.m_rate) + ",\n";
        text += "  \"scale\": " + std::to_string(stream.m_scale) + ",\n";
        text += "  \"duration\": " + number_text(duration) + ",\n";
        text += "  \"index\": \"" + std::string(index_name(kind)) + "\",\n";
        text += std::string("  \"key_frames_guessed\": ") + (stream.m_keyframes_guessed ? "true" : "false") + ",\n";
        text += std::string("  \"truncated\": ") + (stream.m_reader.truncated() ? "true" : "false") + "\n";
        text += "}\n";
    } else {
        char line[160];
        text = "file:           " + o.file + "\n";
        text += "size:           " + std::to_string(f.width) + " x " + std::to_string(f.height) + "\n";
        text += "codec_version:  " + std::to_string(f.codec_version) + "\n";
        text += "coding_mode:    " + std::to_string(f.coding_mode) + "\n";
        text += "frames:         " + std::to_string(frames) + " (key frames: " + std::to_string(key_frames) +
                ", dropped: " + std::to_string(dropped) + ")\n";
        if (rate > 0) {
            text += "frame rate:     " + number_text(rate) + " fps (" + std::to_string(stream.m_rate) + "/" +
                    std::to_string(stream.m_scale) + ")\n";
            std::snprintf(line, sizeof line, "duration:       %.3f s\n", duration);
            text += line;
        } else {
            text += "frame rate:     unknown\nduration:       unknown\n";
        }
        text += "index:          " + std::string(ruv::avi::describe(kind)) + "\n";
        if (stream.m_keyframes_guessed)
            text += "key frames:     guessed: frames of " + std::to_string(stream.m_intra_size) +
                    " bytes are taken as intra frames\n";
        if (stream.m_reader.truncated()) text += "note:           the file ends early or was never finished\n";
    }
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return report.error("cannot write to standard output");
    return 0;
}

int run_decode(const options& o) {
    output_format format = output_format::yuy2;
    if (o.format_given) {
        if (!parse_format(o.format_name, format))
            return usage_error("unknown format " + o.format_name + " (yuy2, rgb32, y4m or png)");
    } else if (o.output == "-") {
        return usage_error("-o - writes to standard output and needs --format (yuy2, rgb32, y4m or png)");
    } else if (!format_of_name(o.output, format)) {
        return usage_error("cannot tell the format from " + o.output +
                           " (extensions .yuy2 .rgb32 .y4m .png); use --format");
    }
    name_pattern pattern;
    std::string pattern_error;
    if (format == output_format::png) {
        if (o.output == "-") return usage_error("PNG output needs a file name pattern such as frames/%05d.png");
        if (!pattern.parse(o.output, pattern_error)) return usage_error(pattern_error);
    }

    reporter report;
    if (format == output_format::png && !png_supported) return report.error(no_png_support);
    // The output is renamed over an existing file: never over the input.
    if (o.output != "-" && (format != output_format::png || !pattern.m_numbered)) {
        const std::string target = format == output_format::png ? pattern.name(0) : o.output;
        if (same_file(target, o.file)) return report.error("cannot write " + target + ": it is the input file");
    }
    ruv_stream stream;
    if (!stream.open(o.file)) return report.error(stream.error());
    const size_t count = stream.frame_count();
    if (stream.m_reader.truncated())
        report.warn(o.file + " ends early or was never finished; decoding the " + std::to_string(count) +
                    " whole frames it holds");

    size_t first = 0;
    size_t last = count == 0 ? 0 : count - 1;
    if (o.frames_given) {
        if (o.first >= count)
            return report.error("--frames " + o.frames_text + ": " + o.file + " has " + std::to_string(count) +
                                " frames" + (count > 0 ? " (0-" + std::to_string(count - 1) + ")" : ""));
        first = size_t(o.first);
        if (o.last < count) {
            last = size_t(o.last);
        } else if (o.last != UINT64_MAX) {
            report.warn("--frames " + o.frames_text + ": " + o.file + " has " + std::to_string(count) +
                        " frames; decoding up to frame " + std::to_string(last));
        }
    }
    const size_t written = count == 0 ? 0 : last - first + 1;
    if (format == output_format::png && !pattern.m_numbered && written > 1)
        return usage_error("the name pattern " + o.output + " has no frame number (such as %05d) but " +
                           std::to_string(written) + " frames are to be written");

    ruv::DecoderContext decoder;
    decoder.m_kernel_mask = o.kernel_mask;
    const ruv::InputFormat& f = stream.m_format;
    if (!decoder.setup(f.width, f.height, f.coding_mode, decoder_output(format)))
        return report.error("out of memory for a " + std::to_string(f.width) + " x " + std::to_string(f.height) +
                            " picture");
    if (stream.m_keyframes_guessed)
        report.warn(o.file + " has no usable index, so no key-frame flags: frames of " +
                    std::to_string(stream.m_intra_size) + " bytes are taken as intra frames, others as delta frames");

    frame_sink sink;
    sink.m_format = format;
    sink.m_width = f.width;
    sink.m_height = f.height;
    sink.m_rate = stream.m_rate;
    sink.m_scale = stream.m_scale;
    sink.m_path = o.output;
    if (!sink.begin()) return report.error(sink.error());

    // Before any picture a host's buffer shows black.
    std::vector<uint8_t> picture(decoder.output_size(), 0);
    if (format != output_format::rgb32 && format != output_format::png)
        for (size_t i = 1; i < picture.size(); i += 2) picture[i] = 0x80;

    const size_t start = count == 0 ? 0 : stream.decode_start(first);
    report.m_progress.start(written == 0 ? 0 : last - start + 1, !o.quiet && stderr_is_terminal());
    std::vector<uint8_t> frame;
    bool have_intra = false;
    for (size_t i = start; written > 0 && i <= last; ++i) {
        const frame_kind kind = stream.kind(i);
        const std::string name = "frame " + std::to_string(i) + ": ";
        ruv::frame_fault fault = ruv::frame_fault::none;
        if (kind == frame_kind::dropped) {
            // The previous picture stays in the buffer.
        } else if (!stream.read_frame(i, frame)) {
            report.warn(name + "unreadable (" + stream.error() + "); the previous picture is shown again");
        } else if (!ruv::decodes_as_delta(f.width, f.height, f.coding_mode, kind == frame_kind::delta,
                                          frame.data(), frame.size())) {
            // The index's key flag, unless the frame's own structure rules it out.
            fault = decoder.decode_intra(picture.data(), frame.data(), frame.size());
            have_intra = true;
        } else {
            if (!have_intra) report.warn(name + "a delta frame before any intra frame, decoded against black");
            fault = decoder.decode_delta(picture.data(), frame.data(), frame.size());
        }
        if (fault != ruv::frame_fault::none) report.warn(name + ruv::describe(fault));
        if (i >= first && !sink.write(i, picture.data(), picture.size())) {
            sink.abandon();
            return report.error(sink.error());
        }
        report.m_progress.update(i - start + 1);
    }
    if (!sink.finish()) {
        sink.abandon();
        return report.error(sink.error());
    }
    report.m_progress.finish();
    if (report.m_warnings > max_warnings)
        std::fprintf(stderr, "ruvdec: warning: %s warnings in all\n", std::to_string(report.m_warnings).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("ruvdec %s\n", RUVDEC_VERSION);
        return 0;
    }
    if (command != "info" && command != "decode") return usage_error("unknown command " + command);

    options o;
    o.command = command;
    const int status = parse_arguments(argc, argv, o);
    if (status >= 0) return status;
    return command == "info" ? run_info(o) : run_decode(o);
}
