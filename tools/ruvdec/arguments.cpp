#include "arguments.h"

#include <cstdio>

#include "sinks.h"

namespace ruv::ruvdec {

namespace {

// The usage text; PNG output and its --threads only where this build has them.
std::string usage() {
    const std::string png = png_supported ? " or png" : "";
    std::string text =
        "usage: ruvdec info FILE [--json] [--frames] [--stream N]\n"
        "       ruvdec decode FILE -o OUT [--format FORMAT] [--frames FIRST-LAST] [--stream N]\n"
        "                     [--full-range]" + std::string(png_supported ? " [--threads N]" : "") +
        " [--strict] [--quiet] [--kernels LEVEL]\n"
        "       ruvdec --help | --version\n"
        "\n"
        "Converts the \"RUV1\" video stream of an AVI file.\n"
        "\n"
        "commands:\n"
        "  info     every stream of the file (index, type, handler; for audio the format tag,\n"
        "           channels, sample rate, bits and duration), the file size and bit rate, and\n"
        "           for the \"RUV1\" stream the picture size, codec_version, coding_mode, frame\n"
        "           and key-frame counts, frame rate and duration; --json prints one JSON\n"
        "           object (null for what is unknown); --frames lists every frame's size, key\n"
        "           flag and how it is decoded\n"
        "  decode   decodes the frames into OUT, whose format is:\n"
        "             yuy2   raw YUY2 frames, rows top-down, no header\n"
        "             rgb32  raw 32-bit frames (B, G, R, luma), rows bottom-up, no header\n"
        "             i420   raw planar 4:2:0 frames (Y, U, V planes), the decoded samples (.yuv)\n"
        "             y4m    YUV4MPEG2, 4:2:0 (C420jpeg), full range, rows top-down\n"
        "             avi    an AVI file for players and editors: the video as uncompressed\n"
        "                    frames, YUY2 in limited range (16-235; --full-range keeps the\n"
        "                    decoded samples), or RGB32 with an opaque fourth byte when OUT\n"
        "                    ends in .avi and --format rgb32 is given; every other stream\n"
        "                    (audio, ...) copied as it is; OpenDML past 1 GiB; the whole file\n";
    if (png_supported)
        text +=
            "             png    one RGB PNG per frame; OUT is a name pattern such as frames/%05d.png\n"
            "                    in an existing folder; after an error the PNGs written so far\n"
            "                    stay, each one complete\n";
    text +=
        "\n"
        "options:\n"
        "  -o, --output OUT      output file; - writes to standard output (then --format is needed:\n"
        "                        yuy2, rgb32, i420 or y4m)\n"
        "  -f, --format FORMAT   yuy2, rgb32, i420, y4m, avi" + png + " (default: from OUT's extension)\n"
        "  --frames FIRST-LAST   only frames FIRST to LAST, numbered from 0 (FIRST- runs to the end)\n"
        "  --stream N            the \"RUV1\" stream number N of the file (default: the first)\n"
        "  --full-range          YUY2 AVI output: the decoded full-range samples, as in raw output\n";
    if (png_supported)
        text += "  --threads N           PNG output: encode on at most N threads (default: every core)\n";
    text +=
        "  --strict              any frame with a fault is an error (exit status 3)\n"
        "  -q, --quiet           no progress bar\n"
        "  --kernels LEVEL       decode: kernels of at most this level (scalar, sse2, avx2, avx512)\n"
        "  --json                info: print JSON\n"
        "  -h, --help            show this help\n"
        "  --version             show the version\n"
        "\n"
        "Exit status: 0 on success (frames with faults are reported, summed up at the end and\n"
        "decoded as the codec decodes them), 1 on an error (also when no frame could be\n"
        "decoded), 2 on a usage error, 3 when --strict finds a frame with a fault; stopped by\n"
        "SIGINT or SIGTERM (a shell shows 130 or 143), ruvdec removes its unfinished output.\n";
    return text;
}

// The kernel level of --kernels NAME; false for a name this build does not have.
bool kernel_level_of(const std::string& name, ruv_kernel_level& level) {
    for (int l = RUV_KERNELS_SCALAR; l <= RUV_KERNELS_AVX512; ++l) {
        const char* known = ruv_kernels_name(ruv_kernel_level(l));
        if (known && name == known) {
            level = ruv_kernel_level(l);
            return true;
        }
    }
    return false;
}

enum class count_parse { ok, not_number, too_large };

// A decimal number of at most 19 digits, which a 64-bit count always holds.
count_parse parse_count(const std::string& text, uint64_t& value) {
    if (text.empty()) return count_parse::not_number;
    value = 0;
    for (char c : text)
        if (c < '0' || c > '9') return count_parse::not_number;
    if (text.size() > 19) return count_parse::too_large;
    for (char c : text) value = value * 10 + uint64_t(c - '0');
    return count_parse::ok;
}

// FIRST-LAST, FIRST- or a single frame number; the usage error, or empty.
std::string parse_frames(const std::string& text, uint64_t& first, uint64_t& last) {
    const std::string expected = "--frames " + text + ": expected FIRST-LAST with FIRST <= LAST (or FIRST-)";
    const size_t dash = text.find('-');
    const std::string head = text.substr(0, dash);
    const std::string tail = dash == std::string::npos ? head : text.substr(dash + 1);
    const count_parse a = parse_count(head, first);
    const count_parse b = tail.empty() ? count_parse::ok : parse_count(tail, last);
    if (a == count_parse::not_number || b == count_parse::not_number) return expected;
    if (a == count_parse::too_large || b == count_parse::too_large)
        return "--frames " + text + ": frame number out of range";
    if (tail.empty()) last = UINT64_MAX;
    return first <= last ? std::string() : expected;
}

bool takes_value(const std::string& arg, const options& o) {
    // info --frames lists the frames; decode --frames picks some.
    return arg == "-o" || arg == "--output" || arg == "-f" || arg == "--format" ||
           (arg == "--frames" && o.command == "decode") || arg == "--stream" || arg == "--threads" ||
           arg == "--kernels";
}

// Takes one option (with its value) or the input file; -1 to go on, or an exit status.
int take_argument(const std::string& arg, const std::string& value, options& o) {
    if (arg == "-h" || arg == "--help") {
        std::fputs(usage().c_str(), stdout);
        return 0;
    } else if (arg == "-o" || arg == "--output") {
        o.output = value;
        o.output_given = true;
    } else if (arg == "-f" || arg == "--format") {
        o.format_name = value;
        o.format_given = true;
    } else if (arg == "--frames" && o.command != "decode") {
        o.list_frames = true;
    } else if (arg == "--stream" || arg == "--threads") {
        uint64_t n = 0;
        if (parse_count(value, n) != count_parse::ok || n > 9999 || (arg == "--threads" && n == 0))
            return usage_error(arg + " " + value + ": expected a number" +
                               (arg == "--threads" ? " from 1 to 9999" : " from 0 to 9999"));
        if (arg == "--stream") o.stream = size_t(n);
        else o.threads = size_t(n);
    } else if (arg == "--strict") {
        o.strict = true;
    } else if (arg == "--full-range") {
        o.full_range = true;
    } else if (arg == "--frames") {
        o.frames_text = value;
        o.frames_given = true;
        const std::string why = parse_frames(value, o.first, o.last);
        if (!why.empty()) return usage_error(why);
    } else if (arg == "--kernels") {
        if (!kernel_level_of(value, o.kernels))
            return usage_error("--kernels " + value + ": expected scalar, sse2, avx2 or avx512");
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
    return -1;
}

// Options that belong to the other command, or that the command lacks.
int check_options(const options& o) {
    if (o.file.empty()) return usage_error("no input file");
    const bool decode = o.command == "decode";
    if (!decode &&
        (o.output_given || o.format_given || o.frames_given || o.quiet || o.strict || o.threads != 0 || o.full_range))
        return usage_error("-o, --format, --full-range, --threads, --strict and --quiet belong to ruvdec decode");
    if (decode && o.json) return usage_error("--json belongs to ruvdec info");
    if (decode && !o.output_given) return usage_error("no output given (-o OUT)");
    if (decode && o.output.empty()) return usage_error("the output name is empty");
    return -1;
}

}  // namespace

int usage_error(const std::string& message) {
    std::fprintf(stderr, "ruvdec: error: %s\n(ruvdec --help shows the usage)\n", message.c_str());
    return exit_usage;
}

int parse_command_line(int argc, char** argv, options& o) {
    if (argc < 2) {
        std::fputs(usage().c_str(), stderr);
        return exit_usage;
    }
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (command == "--version") {
        if (argc > 2) return usage_error("--version takes nothing after it");
        std::printf("ruvdec %s\n", ruv_version());
        return 0;
    }
    if (command != "info" && command != "decode") return usage_error("unknown command " + command);
    o.command = command;
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
        if (takes_value(arg, o) && !has_value) {
            if (i + 1 >= argc) return usage_error(arg + " needs a value");
            value = argv[++i];
        } else if (!takes_value(arg, o) && has_value) {
            return usage_error(arg + " takes no value");
        }
        const int status = take_argument(arg, value, o);
        if (status >= 0) return status;
    }
    return check_options(o);
}

}  // namespace ruv::ruvdec
