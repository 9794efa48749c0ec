#include "info.h"

#include <cstdio>

#include "report.h"

namespace ruv::ruvdec {

namespace {

stream_summary summarize(avi::reader& r, size_t n) {
    const avi::stream_info& info = r.streams()[n];
    stream_summary s;
    s.index = n;
    s.type = info.type;
    s.handler = info.handler;
    if (r.select_stream(n)) {
        s.chunks = r.frames().size();
        for (const avi::frame_entry& e : r.frames()) s.bytes += e.size;
    }
    const std::vector<uint8_t>& fmt = info.format;
    if (info.type == avi::id::vids && fmt.size() >= 20) {
        s.has_picture = true;
        s.width = int32_t(avi::read_le32(fmt.data() + 4));
        s.height = int32_t(avi::read_le32(fmt.data() + 8));
        s.compression = avi::read_le32(fmt.data() + 16);
    }
    if (info.type == avi::id::auds && fmt.size() >= 14) {
        s.has_wave = true;
        s.format_tag = avi::read_le16(fmt.data());
        s.channels = avi::read_le16(fmt.data() + 2);
        s.sample_rate = avi::read_le32(fmt.data() + 4);
        s.avg_bytes_per_sec = avi::read_le32(fmt.data() + 8);
        if (fmt.size() >= 16) s.bits = avi::read_le16(fmt.data() + 14);
    }
    // Audio by the bytes it holds; other streams by their chunks at the header's rate.
    if (s.has_wave && s.avg_bytes_per_sec != 0) s.duration = double(s.bytes) / s.avg_bytes_per_sec;
    else if (info.rate != 0 && info.scale != 0 && !s.has_wave)
        s.duration = double(s.chunks) * info.scale / info.rate;
    else if (info.rate != 0 && info.scale != 0) s.duration = double(info.length) * info.scale / info.rate;
    return s;
}

// Every stream's type, handler, format fields, chunk count and duration. Leaves
// the reader on the stream it was on.
std::vector<stream_summary> summarize_streams(avi::reader& r) {
    std::vector<stream_summary> list;
    const size_t selected = r.stream();
    for (size_t n = 0; n < r.streams().size(); ++n) list.push_back(summarize(r, n));
    r.select_stream(selected);
    return list;
}

info_facts gather(ruv_stream& stream, const std::string& file) {
    avi::reader& reader = stream.reader();
    info_facts f;
    f.file = file;
    f.file_size = reader.m_size;
    f.stream = reader.stream();
    f.format = stream.info();
    f.frames = stream.frame_count();
    f.key_frames = stream.count(frame_kind::intra);
    f.dropped = stream.count(frame_kind::dropped);
    const avi::stream_info& video = reader.streams()[reader.stream()];
    f.header_frames = reader.header().odml_total_frames != 0 ? reader.header().odml_total_frames : video.length;
    f.rate = stream.rate();
    f.scale = stream.scale();
    if (f.rate != 0) {
        f.frame_rate = double(f.rate) / double(f.scale);
        f.duration = double(f.frames) / f.frame_rate;
        if (f.duration > 0) f.bit_rate = double(f.file_size) * 8 / f.duration;
    }
    f.index = reader.kind();
    f.key_frames_guessed = stream.key_frames_guessed();
    f.intra_size = stream.intra_size();
    f.truncated = reader.truncated();
    f.streams = summarize_streams(reader);
    return f;
}

// How each frame is decoded: its bytes tell, beside its key flag.
bool list_frames(ruv_stream& stream, info_facts& f, reporter& report) {
    f.list_frames = true;
    std::vector<uint8_t> frame;
    for (size_t i = 0; i < f.frames; ++i) {
        frame.clear();
        if (stream.kind(i) != frame_kind::dropped && !stream.read_frame(i, frame)) {
            report.error(f.file + ": frame " + std::to_string(i) + ": " + stream.error());
            return false;
        }
        const avi::frame_entry& e = stream.reader().frames()[i];
        f.frame_list.push_back({e.size, e.keyframe_known, e.keyframe, stream.routed_kind(i, frame)});
    }
    return true;
}

}  // namespace

const char* stream_type_name(uint32_t type) {
    if (type == avi::id::vids) return "video";
    if (type == avi::id::auds) return "audio";
    if (type == avi::fourcc('t', 'x', 't', 's')) return "text";
    if (type == avi::fourcc('m', 'i', 'd', 's')) return "midi";
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
    info_facts facts = gather(stream, o.file);
    if (o.list_frames && !list_frames(stream, facts, report)) return exit_error;
    const std::string text = o.json ? info_json(facts) : info_text(facts);
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return report.error("cannot write to standard output");
    return 0;
}

}  // namespace ruv::ruvdec
