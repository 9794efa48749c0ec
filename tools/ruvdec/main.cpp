// ruvdec: converts the "RUV1" video stream of an AVI file into raw YUY2 or RGB32
// frames, a YUV4MPEG2 stream or PNG pictures, feeding every frame to the decoder
// as a Video for Windows host would.
#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "decoder.h"
#include "ruv/ruv.h"
#include "le.h"
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
    "usage: ruvdec info FILE [--json] [--frames] [--stream N]\n"
    "       ruvdec decode FILE -o OUT [--format FORMAT] [--frames FIRST-LAST] [--stream N]\n"
    "                     [--threads N] [--strict] [--quiet] [--kernels LEVEL]\n"
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
    "             avi    an AVI file: the video as uncompressed frames (YUY2; RGB32 when OUT\n"
    "                    ends in .avi and --format rgb32 is given), every other stream (audio,\n"
    "                    ...) copied as it is; OpenDML past 1 GiB; always the whole file\n"
    "             png    one RGB PNG per frame; OUT is a name pattern such as frames/%05d.png\n"
    "                    in an existing folder; after an error the PNGs written so far\n"
    "                    stay, each one complete\n"
    "\n"
    "options:\n"
    "  -o, --output OUT      output file; - writes to standard output (then --format is needed)\n"
    "  -f, --format FORMAT   yuy2, rgb32, i420, y4m, avi or png (default: from OUT's extension)\n"
    "  --frames FIRST-LAST   only frames FIRST to LAST, numbered from 0 (FIRST- runs to the end)\n"
    "  --stream N            the \"RUV1\" stream number N of the file (default: the first)\n"
    "  --threads N           PNG output: encode on at most N threads (default: every core)\n"
    "  --strict              any frame with a fault is an error (exit status 3)\n"
    "  -q, --quiet           no progress bar\n"
    "  --kernels LEVEL       decode: kernels of at most this level (scalar, sse2, avx2, avx512)\n"
    "  --json                info: print JSON\n"
    "  -h, --help            show this help\n"
    "  --version             show the version\n"
    "\n"
    "Exit status: 0 on success (frames with faults are reported, summed up at the end and\n"
    "decoded as the codec decodes them), 1 on an error (also when no frame could be\n"
    "decoded), 2 on a usage error, 3 when --strict finds a frame with a fault.\n";

constexpr size_t max_warnings = 100;   // warnings named one by one; the rest are counted

constexpr int exit_strict = 3;
// Y4M and AVI output need a frame rate; a stream without one is written at this one.
constexpr uint32_t default_rate = 25;

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
    bool list_frames = false;    // info --frames
    bool strict = false;
    size_t stream = ruv_stream::no_stream;
    size_t threads = 0;          // 0: every core
    ruv_kernel_level kernels = RUV_KERNELS_ANY;
};

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
        const bool decode = o.command == "decode";
        // info --frames lists the frames; decode --frames picks some.
        const bool takes_value = arg == "-o" || arg == "--output" || arg == "-f" || arg == "--format" ||
                                 (arg == "--frames" && decode) || arg == "--stream" || arg == "--threads" ||
                                 arg == "--kernels";
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
        } else if (arg == "--frames" && !decode) {
            o.list_frames = true;
        } else if (arg == "--stream" || arg == "--threads") {
            uint64_t n = 0;
            if (!parse_count(value, n) || n > 9999 || (arg == "--threads" && n == 0))
                return usage_error(arg + " " + value + ": expected a number" +
                                   (arg == "--threads" ? " from 1 to 9999" : " from 0 to 9999"));
            if (arg == "--stream") o.stream = size_t(n);
            else o.threads = size_t(n);
        } else if (arg == "--strict") {
            o.strict = true;
        } else if (arg == "--frames") {
            o.frames_text = value;
            o.frames_given = true;
            if (!parse_frames(value, o.first, o.last))
                return usage_error("--frames " + value + ": expected FIRST-LAST with FIRST <= LAST (or FIRST-)");
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
    }
    if (o.file.empty()) return usage_error("no input file");
    const bool decode = o.command == "decode";
    if (!decode && (o.output_given || o.format_given || o.frames_given || o.quiet || o.strict || o.threads != 0))
        return usage_error("-o, --format, --threads, --strict and --quiet belong to ruvdec decode");
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

// What info tells of one stream of the file.
struct stream_summary {
    size_t index = 0;
    uint32_t type = 0;
    uint32_t handler = 0;
    size_t chunks = 0;
    uint64_t bytes = 0;
    // video: BITMAPINFOHEADER fields
    bool has_picture = false;
    int32_t width = 0;
    int32_t height = 0;
    uint32_t compression = 0;
    // audio: WAVEFORMATEX fields
    bool has_wave = false;
    uint16_t format_tag = 0;
    uint16_t channels = 0;
    uint32_t sample_rate = 0;
    uint32_t avg_bytes_per_sec = 0;
    uint16_t bits = 0;
    double duration = -1;   // seconds; negative when unknown
};

const char* stream_type_name(uint32_t type) {
    if (type == ruv::avi::id::vids) return "video";
    if (type == ruv::avi::id::auds) return "audio";
    if (type == ruv::avi::fourcc('t', 'x', 't', 's')) return "text";
    if (type == ruv::avi::fourcc('m', 'i', 'd', 's')) return "midi";
    return "other";
}

const char* wave_format_name(uint16_t tag) {
    switch (tag) {
        case 0x0001: return "PCM";
        case 0x0002: return "ADPCM";
        case 0x0003: return "IEEE float";
        case 0x0006: return "A-law";
        case 0x0007: return "mu-law";
        case 0x0011: return "IMA ADPCM";
        case 0x0055: return "MPEG layer 3";
        case 0xFFFE: return "extensible";
    }
    return "unknown";
}

// Every stream's type, handler, format fields, chunk count and duration. Leaves
// the reader on the stream it was on.
std::vector<stream_summary> summarize_streams(ruv::avi::reader& r) {
    std::vector<stream_summary> list;
    const size_t selected = r.stream();
    for (size_t n = 0; n < r.streams().size(); ++n) {
        const ruv::avi::stream_info& info = r.streams()[n];
        stream_summary s;
        s.index = n;
        s.type = info.type;
        s.handler = info.handler;
        if (r.select_stream(n)) {
            s.chunks = r.frames().size();
            for (const ruv::avi::frame_entry& e : r.frames()) s.bytes += e.size;
        }
        const std::vector<uint8_t>& fmt = info.format;
        if (info.type == ruv::avi::id::vids && fmt.size() >= 20) {
            s.has_picture = true;
            s.width = int32_t(ruv::read_le32(fmt.data() + 4));
            s.height = int32_t(ruv::read_le32(fmt.data() + 8));
            s.compression = ruv::read_le32(fmt.data() + 16);
        }
        if (info.type == ruv::avi::id::auds && fmt.size() >= 14) {
            s.has_wave = true;
            s.format_tag = ruv::read_le16(fmt.data());
            s.channels = ruv::read_le16(fmt.data() + 2);
            s.sample_rate = ruv::read_le32(fmt.data() + 4);
            s.avg_bytes_per_sec = ruv::read_le32(fmt.data() + 8);
            if (fmt.size() >= 16) s.bits = ruv::read_le16(fmt.data() + 14);
        }
        // Audio by the bytes it holds; other streams by their chunks at the header's rate.
        if (s.has_wave && s.avg_bytes_per_sec != 0) s.duration = double(s.bytes) / s.avg_bytes_per_sec;
        else if (info.rate != 0 && info.scale != 0 && !s.has_wave)
            s.duration = double(s.chunks) * info.scale / info.rate;
        else if (info.rate != 0 && info.scale != 0) s.duration = double(info.length) * info.scale / info.rate;
        list.push_back(s);
    }
    r.select_stream(selected);
    return list;
}

const char* kind_name(frame_kind kind) {
    switch (kind) {
        case frame_kind::intra: return "intra";
        case frame_kind::delta: return "delta";
        case frame_kind::dropped: break;
    }
    return "dropped";
}

int run_info(const options& o) {
    reporter report;
    ruv_stream stream;
    if (!stream.open(o.file, o.stream)) return report.error(stream.error());
    const ruv::InputFormat& f = stream.m_format;
    ruv::avi::reader& reader = stream.m_reader;
    const size_t frames = stream.frame_count();
    const size_t key_frames = stream.count(frame_kind::intra);
    const size_t dropped = stream.count(frame_kind::dropped);
    const bool rate_known = stream.m_rate != 0;
    const double rate = rate_known ? double(stream.m_rate) / double(stream.m_scale) : 0.0;
    const double duration = rate_known ? double(frames) / rate : 0.0;
    const ruv::avi::index_kind kind = reader.kind();
    const uint64_t file_size = reader.m_size;
    const std::vector<stream_summary> streams = summarize_streams(reader);
    // The frame count the headers claim: OpenDML's total, else the stream header's length.
    const ruv::avi::stream_info& video = reader.streams()[reader.stream()];
    const uint64_t header_frames =
        reader.header().odml_total_frames != 0 ? reader.header().odml_total_frames : video.length;
    const double bit_rate = rate_known && duration > 0 ? double(file_size) * 8 / duration : 0.0;

    // How each frame is decoded: its bytes tell, beside its key flag.
    std::vector<frame_kind> routed;
    if (o.list_frames) {
        std::vector<uint8_t> frame;
        for (size_t i = 0; i < frames; ++i) {
            frame.clear();
            if (stream.kind(i) != frame_kind::dropped && !stream.read_frame(i, frame))
                return report.error(o.file + ": frame " + std::to_string(i) + ": " + stream.error());
            routed.push_back(stream.routed_kind(i, frame));
        }
    }
    const auto key_text = [&](size_t i, bool json) -> std::string {
        const ruv::avi::frame_entry& e = reader.frames()[i];
        if (!e.keyframe_known) return json ? "null" : "?";
        return e.keyframe ? (json ? "true" : "yes") : (json ? "false" : "no");
    };

    std::string text;
    if (o.json) {
        const auto or_null = [](bool known, const std::string& value) { return known ? value : std::string("null"); };
        text = "{\n";
        text += "  \"file\": " + json_string(o.file) + ",\n";
        text += "  \"file_size\": " + std::to_string(file_size) + ",\n";
        text += "  \"bit_rate\": " + or_null(bit_rate > 0, number_text(bit_rate)) + ",\n";
        text += "  \"stream\": " + std::to_string(reader.stream()) + ",\n";
        text += "  \"width\": " + std::to_string(f.width) + ",\n";
        text += "  \"height\": " + std::to_string(f.height) + ",\n";
        text += "  \"codec_version\": " + std::to_string(f.codec_version) + ",\n";
        text += "  \"coding_mode\": " + std::to_string(f.coding_mode) + ",\n";
        text += "  \"frames\": " + std::to_string(frames) + ",\n";
        text += "  \"header_frames\": " + std::to_string(header_frames) + ",\n";
        text += "  \"key_frames\": " + std::to_string(key_frames) + ",\n";
        text += "  \"dropped_frames\": " + std::to_string(dropped) + ",\n";
        text += "  \"frame_rate\": " + or_null(rate_known, number_text(rate)) + ",\n";
        text += "  \"rate\": " + or_null(rate_known, std::to_string(stream.m_rate)) + ",\n";
        text += "  \"scale\": " + or_null(rate_known, std::to_string(stream.m_scale)) + ",\n";
        text += "  \"duration\": " + or_null(rate_known, number_text(duration)) + ",\n";
        text += "  \"index\": \"" + std::string(index_name(kind)) + "\",\n";
        text += std::string("  \"key_frames_guessed\": ") + (stream.m_keyframes_guessed ? "true" : "false") + ",\n";
        text += std::string("  \"truncated\": ") + (reader.truncated() ? "true" : "false") + ",\n";
        text += "  \"streams\": [";
        for (const stream_summary& s : streams) {
            text += std::string(s.index == 0 ? "\n" : ",\n") + "    {\"index\": " + std::to_string(s.index) +
                    ", \"type\": \"" + stream_type_name(s.type) + "\", \"fourcc\": " +
                    json_string(ruv::avi::fourcc_text(s.type)) +
                    ", \"handler\": " + json_string(ruv::avi::fourcc_text(s.handler)) +
                    ", \"chunks\": " + std::to_string(s.chunks) + ", \"bytes\": " + std::to_string(s.bytes);
            if (s.type == ruv::avi::id::vids)
                text += ", \"width\": " + or_null(s.has_picture, std::to_string(s.width)) +
                        ", \"height\": " + or_null(s.has_picture, std::to_string(s.height)) +
                        ", \"compression\": " + or_null(s.has_picture, json_string(ruv::avi::fourcc_text(s.compression)));
            if (s.type == ruv::avi::id::auds)
                text += ", \"format_tag\": " + or_null(s.has_wave, std::to_string(s.format_tag)) +
                        ", \"format\": " + or_null(s.has_wave, json_string(wave_format_name(s.format_tag))) +
                        ", \"channels\": " + or_null(s.has_wave, std::to_string(s.channels)) +
                        ", \"sample_rate\": " + or_null(s.has_wave, std::to_string(s.sample_rate)) +
                        ", \"bits_per_sample\": " + or_null(s.has_wave && s.bits != 0, std::to_string(s.bits));
            text += ", \"duration\": " + or_null(s.duration >= 0, number_text(s.duration)) + "}";
        }
        text += streams.empty() ? "]" : "\n  ]";
        if (o.list_frames) {
            text += ",\n  \"frame_list\": [";
            for (size_t i = 0; i < frames; ++i)
                text += std::string(i == 0 ? "\n" : ",\n") + "    {\"frame\": " + std::to_string(i) +
                        ", \"size\": " + std::to_string(reader.frames()[i].size) + ", \"key\": " + key_text(i, true) +
                        ", \"decoded_as\": \"" + kind_name(routed[i]) + "\"}";
            text += frames == 0 ? "]" : "\n  ]";
        }
        text += "\n}\n";
    } else {
        char line[200];
        text = "file:           " + o.file + "\n";
        text += "file size:      " + std::to_string(file_size) + " bytes\n";
        if (bit_rate > 0) {
            std::snprintf(line, sizeof line, "bit rate:       %.0f kbit/s\n", bit_rate / 1000);
            text += line;
        }
        for (const stream_summary& s : streams) {
            text += "stream " + std::to_string(s.index) + ":" + std::string(s.index < 10 ? "       " : "      ") +
                    stream_type_name(s.type) + " (" + ruv::avi::fourcc_text(s.type) + "), handler " +
                    ruv::avi::fourcc_text(s.handler);
            if (s.has_picture)
                text += ", " + std::to_string(s.width) + " x " + std::to_string(std::abs(s.height)) + " " +
                        ruv::avi::fourcc_text(s.compression);
            if (s.has_wave) {
                std::snprintf(line, sizeof line, ", %s (format tag 0x%04x), %u channels, %u Hz", wave_format_name(s.format_tag),
                              unsigned(s.format_tag), unsigned(s.channels), unsigned(s.sample_rate));
                text += line;
                if (s.bits != 0) text += ", " + std::to_string(s.bits) + " bits";
            }
            text += ", " + std::to_string(s.chunks) + " chunks";
            if (s.duration >= 0) {
                std::snprintf(line, sizeof line, ", %.3f s", s.duration);
                text += line;
            }
            if (s.index == reader.stream()) text += "  <- decoded";
            text += "\n";
        }
        text += "size:           " + std::to_string(f.width) + " x " + std::to_string(f.height) + "\n";
        text += "codec_version:  " + std::to_string(f.codec_version) + "\n";
        text += "coding_mode:    " + std::to_string(f.coding_mode) + "\n";
        text += "frames:         " + std::to_string(frames) + " (key frames: " + std::to_string(key_frames) +
                ", dropped: " + std::to_string(dropped) + "); the header says " + std::to_string(header_frames) + "\n";
        if (rate_known) {
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
        if (reader.truncated()) text += "note:           the file ends early or was never finished\n";
        if (o.list_frames) {
            text += "\nframe          size  key  decoded as\n";
            for (size_t i = 0; i < frames; ++i) {
                std::snprintf(line, sizeof line, "%-8s %10s  %-3s  %s\n", std::to_string(i).c_str(),
                              std::to_string(reader.frames()[i].size).c_str(), key_text(i, false).c_str(),
                              kind_name(routed[i]));
                text += line;
            }
        }
    }
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return report.error("cannot write to standard output");
    return 0;
}

// A chunk of another stream that AVI output copies.
struct copied_chunk {
    uint64_t offset;   // data, in the input
    uint32_t size;
    bool key;
    size_t stream;
};

// AVI output: the input's other streams and their chunks in file order, which the
// output keeps.
bool plan_copies(ruv_stream& stream, frame_sink& sink, std::vector<copied_chunk>& chunks, std::string& error) {
    ruv::avi::reader& r = stream.m_reader;
    const size_t video = r.stream();
    for (size_t n = 0; n < r.streams().size(); ++n) {
        if (n == video) continue;
        if (!r.select_stream(n)) {
            error = r.error();
            return false;
        }
        const ruv::avi::stream_info& info = r.streams()[n];
        ruv::avi::copied_stream copy;
        copy.strh = info.header;
        copy.strf = info.format;
        // The letters of the stream's chunks; for a stream without chunks, those
        // its type usually has.
        copy.chunk_id = !r.frames().empty() ? r.chunk_id(0)
                        : info.type == ruv::avi::id::auds ? ruv::avi::fourcc('0', '0', 'w', 'b')
                                                     : ruv::avi::fourcc('0', '0', 'd', 'c');
        for (const ruv::avi::frame_entry& e : r.frames())
            chunks.push_back({e.offset, e.size, !e.keyframe_known || e.keyframe, n});
        sink.m_copied.push_back(std::move(copy));
    }
    sink.m_video_index = video;
    if (!r.select_stream(video)) {
        error = r.error();
        return false;
    }
    std::stable_sort(chunks.begin(), chunks.end(),
                     [](const copied_chunk& a, const copied_chunk& b) { return a.offset < b.offset; });
    return true;
}

int run_decode(const options& o) {
    output_format format = output_format::yuy2;
    output_format named = output_format::yuy2;
    const bool has_named = o.output != "-" && format_of_name(o.output, named);
    if (o.format_given) {
        if (!parse_format(o.format_name, format))
            return usage_error("unknown format " + o.format_name + " (yuy2, rgb32, i420, y4m, avi or png)");
    } else if (o.output == "-") {
        return usage_error("-o - writes to standard output and needs --format (yuy2, rgb32, i420, y4m or png)");
    } else if (!has_named) {
        return usage_error("cannot tell the format from " + o.output +
                           " (extensions .yuy2 .rgb32 .yuv .i420 .y4m .avi .png); use --format");
    } else {
        format = named;
    }
    // An .avi name with --format yuy2 or rgb32 picks the AVI's video frames.
    uint32_t avi_compression = ruv::compression_yuy2;
    if (has_named && named == output_format::avi && (format == output_format::yuy2 || format == output_format::rgb32)) {
        avi_compression = format == output_format::rgb32 ? ruv::compression_rgb32 : ruv::compression_yuy2;
        format = output_format::avi;
    }
    if (format == output_format::avi && o.output == "-")
        return usage_error("AVI output needs a file: its headers are completed at the end");
    if (format == output_format::avi && o.frames_given)
        return usage_error("AVI output converts the whole file, with its other streams; --frames does not apply");
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
    if (!stream.open(o.file, o.stream)) return report.error(stream.error());
    const size_t count = stream.frame_count();
    if (count == 0) return report.error(o.file + ": the \"RUV1\" stream holds no frames");
    if (stream.m_reader.truncated())
        report.warn(o.file + " ends early or was never finished; decoding the " + std::to_string(count) +
                    " whole frames it holds");

    size_t first = 0;
    size_t last = count - 1;
    if (o.frames_given) {
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
    }
    const size_t written = last - first + 1;
    if (format == output_format::png && !pattern.m_numbered && written > 1)
        return usage_error("the name pattern " + o.output + " has no frame number (such as %05d) but " +
                           std::to_string(written) + " frames are to be written");

    const ruv::InputFormat& f = stream.m_format;
    const uint32_t output = decoder_output(format, avi_compression);
    const ruv_stream_info info{f.width, f.height, f.codec_version, f.coding_mode};
    const ruv_decoder_settings settings{output == ruv::compression_rgb32 ? RUV_PIXEL_RGB32 : RUV_PIXEL_YUY2, o.kernels};
    ruv_decoder* opened = nullptr;
    const int refused = ruv_decoder_open(&info, &settings, &opened);
    const std::unique_ptr<ruv_decoder, void (*)(ruv_decoder*)> decoder(opened, ruv_decoder_close);
    if (refused != RUV_OK) {
        return report.error("cannot set up the decoder for a " + std::to_string(f.width) + " x " +
                            std::to_string(f.height) + " picture in coding mode " + std::to_string(f.coding_mode) +
                            ": " + ruv_strerror(refused));
    }
    // The packed picture of the codec's output, RGB32 rows bottom-up.
    const size_t picture_bytes = size_t(f.width) * size_t(f.height) * (output == ruv::compression_rgb32 ? 4 : 2);
    if (stream.m_keyframes_guessed)
        report.warn(o.file + " has no usable index, so no key-frame flags: frames of " +
                    std::to_string(stream.m_intra_size) + " bytes are taken as intra frames, others as delta frames");

    frame_sink sink;
    sink.m_format = format;
    sink.m_avi_compression = avi_compression;
    sink.m_width = f.width;
    sink.m_height = f.height;
    sink.m_rate = stream.m_rate;
    sink.m_scale = stream.m_scale;
    sink.m_path = o.output;
    sink.m_threads = o.threads;
    const bool needs_rate = format == output_format::y4m || format == output_format::avi;
    if (needs_rate && stream.m_rate == 0) {
        report.warn(o.file + " gives no frame rate; writing " + std::to_string(default_rate) + " frames a second");
        sink.m_rate = default_rate;
        sink.m_scale = 1;
    }
    std::vector<copied_chunk> copies;
    if (format == output_format::avi) {
        std::string why;
        if (!plan_copies(stream, sink, copies, why)) return report.error(o.file + ": " + why);
        // OpenDML once the file would pass 1 GiB: AVI 1.0 readers take up to 2 GiB,
        // OpenDML readers any size, and every reader this first gigabyte.
        uint64_t bytes = 0;
        for (size_t i = 0; i < count; ++i)
            bytes += 24 + (stream.kind(i) == frame_kind::dropped ? 0 : picture_bytes);
        for (const copied_chunk& c : copies) bytes += 24 + c.size + (c.size & 1);
        sink.m_open_dml = bytes > (uint64_t(1) << 30);
    }
    const size_t start = stream.decode_start(first);
    size_t present = 0;
    for (size_t i = start; i <= last; ++i)
        if (stream.kind(i) != frame_kind::dropped) ++present;
    if (present == 0)
        return report.error(o.file + ": no frame of " + std::to_string(start) + "-" + std::to_string(last) +
                            " could be decoded (all dropped)");
    if (!sink.begin()) return report.error(sink.error());

    // Before any picture a host's buffer shows black.
    std::vector<uint8_t> picture(picture_bytes, 0);
    if (output == ruv::compression_yuy2)
        for (size_t i = 1; i < picture.size(); i += 2) picture[i] = 0x80;
    ruv_picture planes;
    ruv_picture_packed(&planes, &info, settings.format, picture.data(), picture.size(), output == ruv::compression_rgb32);

    report.m_progress.start(last - start + 1, !o.quiet && stderr_is_terminal());
    std::vector<uint8_t> frame;
    std::vector<uint8_t> chunk;
    size_t next_copy = 0;
    bool have_intra = false;
    size_t decoded = 0;
    size_t faulty = 0;
    // Fails the run: the output is removed.
    const auto fail = [&](const std::string& message, int status) {
        sink.abandon();
        report.error(message);
        return status;
    };
    const auto copy_until = [&](uint64_t offset) {
        for (; next_copy < copies.size() && copies[next_copy].offset < offset; ++next_copy) {
            const copied_chunk& c = copies[next_copy];
            chunk.resize(c.size);
            if (!stream.m_reader.read_at(c.offset, chunk.data(), chunk.size())) {
                sink.m_error = o.file + ": cannot read a chunk of stream " + std::to_string(c.stream);
                return false;
            }
            if (!sink.copy_chunk(c.stream, chunk.data(), chunk.size(), c.key)) return false;
        }
        return true;
    };
    for (size_t i = start; i <= last; ++i) {
        if (!copy_until(stream.m_reader.frames()[i].offset)) return fail(sink.error(), 1);
        const frame_kind kind = stream.kind(i);
        const std::string name = "frame " + std::to_string(i) + ": ";
        std::string fault;
        if (kind == frame_kind::dropped) {
            // The previous picture stays in the buffer.
        } else if (!stream.read_frame(i, frame)) {
            fault = "unreadable (" + stream.error() + "); the previous picture is shown again";
        } else {
            ruv_frame_result result{};
            ruv_decode(decoder.get(), frame.data(), frame.size(), stream.key_flag(i), &planes, &result);
            if (result.delta && !have_intra)
                report.warn(name + "a delta frame before any intra frame, decoded against black");
            have_intra = have_intra || !result.delta;
            ++decoded;
            if (result.fault != 0) fault = ruv_fault_text(result.fault);
        }
        if (!fault.empty()) {
            ++faulty;
            if (o.strict) return fail(name + fault + " (--strict)", exit_strict);
            report.warn(name + fault);
        }
        if (i >= first) {
            const bool ok = kind == frame_kind::dropped && format == output_format::avi
                                ? sink.write_dropped()
                                : sink.write(i, picture.data(), picture.size());
            if (!ok) return fail(sink.error(), 1);
        }
        report.m_progress.update(i - start + 1);
    }
    if (decoded == 0)
        return fail(o.file + ": no frame of " + std::to_string(start) + "-" + std::to_string(last) +
                        " could be decoded (all unreadable)",
                    1);
    if (!copy_until(UINT64_MAX) || !sink.finish()) return fail(sink.error(), 1);
    report.m_progress.finish();
    if (report.m_warnings > max_warnings)
        std::fprintf(stderr, "ruvdec: warning: %s warnings in all\n", std::to_string(report.m_warnings).c_str());
    if (faulty > 0)
        std::fprintf(stderr, "ruvdec: %s of %s frames had faults and were decoded as the codec decodes them\n",
                     std::to_string(faulty).c_str(), std::to_string(last - start + 1).c_str());
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
