// info --json: one JSON object, null for what is unknown.
#include <cstdio>

#include "info.h"

namespace ruv::ruvdec {

namespace {

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

std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string or_null(bool known, const std::string& value) { return known ? value : std::string("null"); }
std::string boolean(bool value) { return value ? "true" : "false"; }
std::string fourcc_json(uint32_t code) { return json_string(avi::fourcc_text(code)); }

const char* index_name(avi::index_kind kind) {
    switch (kind) {
        case avi::index_kind::open_dml: return "opendml";
        case avi::index_kind::idx1_relative: return "idx1";
        case avi::index_kind::idx1_absolute: return "idx1_absolute";
        case avi::index_kind::scan: return "scan";
        case avi::index_kind::none: break;
    }
    return "none";
}

std::string head(const info_facts& f) {
    const bool rate_known = f.rate != 0;
    std::string t;
    t += "  \"file\": " + json_string(f.file) + ",\n";
    t += "  \"file_size\": " + std::to_string(f.file_size) + ",\n";
    t += "  \"bit_rate\": " + or_null(f.bit_rate > 0, number(f.bit_rate)) + ",\n";
    t += "  \"stream\": " + std::to_string(f.stream) + ",\n";
    t += "  \"width\": " + std::to_string(f.format.width) + ",\n";
    t += "  \"height\": " + std::to_string(f.format.height) + ",\n";
    t += "  \"codec_version\": " + std::to_string(f.format.codec_version) + ",\n";
    t += "  \"coding_mode\": " + std::to_string(f.format.coding_mode) + ",\n";
    t += "  \"frames\": " + std::to_string(f.frames) + ",\n";
    t += "  \"header_frames\": " + std::to_string(f.header_frames) + ",\n";
    t += "  \"key_frames\": " + std::to_string(f.key_frames) + ",\n";
    t += "  \"dropped_frames\": " + std::to_string(f.dropped) + ",\n";
    t += "  \"frame_rate\": " + or_null(rate_known, number(f.frame_rate)) + ",\n";
    t += "  \"rate\": " + or_null(rate_known, std::to_string(f.rate)) + ",\n";
    t += "  \"scale\": " + or_null(rate_known, std::to_string(f.scale)) + ",\n";
    t += "  \"duration\": " + or_null(rate_known, number(f.duration)) + ",\n";
    t += "  \"index\": \"" + std::string(index_name(f.index)) + "\",\n";
    t += "  \"key_frames_guessed\": " + boolean(f.key_frames_guessed) + ",\n";
    t += "  \"truncated\": " + boolean(f.truncated) + ",\n";
    return t;
}

std::string stream_object(const stream_summary& s) {
    std::string t = "{\"index\": " + std::to_string(s.index) + ", \"type\": \"" + stream_type_name(s.type) +
                    "\", \"fourcc\": " + fourcc_json(s.type) + ", \"handler\": " + or_null(s.handler != 0, fourcc_json(s.handler)) +
                    ", \"chunks\": " + std::to_string(s.chunks) + ", \"bytes\": " + std::to_string(s.bytes);
    if (s.type == avi::id::vids)
        t += ", \"width\": " + or_null(s.has_picture, std::to_string(s.width)) +
             ", \"height\": " + or_null(s.has_picture, std::to_string(s.height)) +
             ", \"compression\": " + or_null(s.has_picture, fourcc_json(s.compression));
    if (s.type == avi::id::auds)
        t += ", \"format_tag\": " + or_null(s.has_wave, std::to_string(s.format_tag)) +
             ", \"format\": " + or_null(s.has_wave, json_string(wave_format_name(s.format_tag))) +
             ", \"channels\": " + or_null(s.has_wave, std::to_string(s.channels)) +
             ", \"sample_rate\": " + or_null(s.has_wave, std::to_string(s.sample_rate)) +
             ", \"bits_per_sample\": " + or_null(s.has_wave && s.bits != 0, std::to_string(s.bits));
    return t + ", \"duration\": " + or_null(s.duration >= 0, number(s.duration)) + "}";
}

std::string frame_object(size_t i, const frame_line& l) {
    return "{\"frame\": " + std::to_string(i) + ", \"size\": " + std::to_string(l.size) +
           ", \"key\": " + (l.key_known ? boolean(l.key) : "null") + ", \"decoded_as\": \"" +
           kind_name(l.decoded_as) + "\"}";
}

}  // namespace

std::string info_json(const info_facts& f) {
    std::string t = "{\n" + head(f) + "  \"streams\": [";
    for (size_t i = 0; i < f.streams.size(); ++i) t += (i == 0 ? "\n    " : ",\n    ") + stream_object(f.streams[i]);
    t += f.streams.empty() ? "]" : "\n  ]";
    if (f.list_frames) {
        t += ",\n  \"frame_list\": [";
        for (size_t i = 0; i < f.frame_list.size(); ++i)
            t += (i == 0 ? "\n    " : ",\n    ") + frame_object(i, f.frame_list[i]);
        t += f.frame_list.empty() ? "]" : "\n  ]";
    }
    return t + "\n}\n";
}

}  // namespace ruv::ruvdec
