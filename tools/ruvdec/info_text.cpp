// info without --json: one line a fact, for people.
#include <cstdio>
#include <cstdlib>

#include "info.h"

namespace ruv::ruvdec {

namespace {

std::string format(const char* pattern, double value) {
    char text[80];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string stream_line(const stream_summary& s, size_t decoded) {
    std::string t = "stream " + std::to_string(s.index) + ":" + std::string(s.index < 10 ? "       " : "      ") +
                    stream_type_name(s.type) + " (" + avi::fourcc_text(s.type) + "), handler " +
                    (s.handler != 0 ? avi::fourcc_text(s.handler) : "none");
    if (s.has_picture)
        t += ", " + std::to_string(s.width) + " x " + std::to_string(std::abs(s.height)) + " " +
             avi::fourcc_text(s.compression);
    if (s.has_wave) {
        char line[200];
        std::snprintf(line, sizeof line, ", %s (format tag 0x%04x), %u channels, %u Hz", wave_format_name(s.format_tag),
                      unsigned(s.format_tag), unsigned(s.channels), unsigned(s.sample_rate));
        t += line;
        if (s.bits != 0) t += ", " + std::to_string(s.bits) + " bits";
    }
    t += ", " + std::to_string(s.chunks) + " chunks";
    if (s.duration >= 0) t += format(", %.3f s", s.duration);
    if (s.index == decoded) t += "  <- decoded";
    return t + "\n";
}

std::string video_lines(const info_facts& f) {
    std::string t;
    t += "size:           " + std::to_string(f.format.width) + " x " + std::to_string(f.format.height) + "\n";
    t += "codec_version:  " + std::to_string(f.format.codec_version) + "\n";
    t += "coding_mode:    " + std::to_string(f.format.coding_mode) + "\n";
    t += "frames:         " + std::to_string(f.frames) + " (key frames: " + std::to_string(f.key_frames) +
         ", dropped: " + std::to_string(f.dropped) + "); the header says " + std::to_string(f.header_frames) + "\n";
    if (f.rate != 0) {
        t += "frame rate:     " + format("%.10g", f.frame_rate) + " fps (" + std::to_string(f.rate) + "/" +
             std::to_string(f.scale) + ")\n";
        t += format("duration:       %.3f s\n", f.duration);
    } else {
        t += "frame rate:     unknown\nduration:       unknown\n";
    }
    t += "index:          " + std::string(avi::describe(f.index)) + "\n";
    if (f.key_frames_guessed)
        t += "key frames:     guessed: frames of " + std::to_string(f.intra_size) +
             " bytes are taken as intra frames\n";
    if (f.truncated) t += "note:           the file ends early or was never finished\n";
    return t;
}

std::string frame_lines(const info_facts& f) {
    std::string t = "\nframe          size  key  decoded as\n";
    for (size_t i = 0; i < f.frame_list.size(); ++i) {
        const frame_line& l = f.frame_list[i];
        char line[200];
        std::snprintf(line, sizeof line, "%-8s %10s  %-3s  %s\n", std::to_string(i).c_str(),
                      std::to_string(l.size).c_str(), !l.key_known ? "?" : l.key ? "yes" : "no",
                      kind_name(l.decoded_as));
        t += line;
    }
    return t;
}

}  // namespace

std::string info_text(const info_facts& f) {
    std::string t = "file:           " + f.file + "\n";
    t += "file size:      " + std::to_string(f.file_size) + " bytes\n";
    if (f.bit_rate > 0) t += format("bit rate:       %.0f kbit/s\n", f.bit_rate / 1000);
    for (const stream_summary& s : f.streams) t += stream_line(s, f.stream);
    t += video_lines(f);
    if (f.list_frames) t += frame_lines(f);
    return t;
}

}  // namespace ruv::ruvdec
