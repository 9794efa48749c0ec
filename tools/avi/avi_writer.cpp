#include "avi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ruv::avi {

namespace {

constexpr uint64_t max_riff_bytes = 0xFFFFFFFFu;   // header included; the size field is 32 bits
// Many readers take AVI 1.0 sizes and idx1 offsets as signed: a file without
// OpenDML indexes stays below 2 GiB.
constexpr uint64_t max_plain_bytes = 0x7FFFFFFFu;
constexpr uint32_t dmlh_size = 248;
constexpr uint32_t aviif_not_keyframe = 0x80000000u;   // standard index entry size bit
constexpr uint32_t index_of_indexes = 0;
constexpr uint32_t index_of_chunks = 1;

void set16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void set64(uint8_t* p, uint64_t v) {
    write_le32(p, uint32_t(v));
    write_le32(p + 4, uint32_t(v >> 32));
}

uint32_t clamp32(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v); }

bool fail(writer& w, const std::string& message) {
    if (!w.m_failed)
        w.m_error = message;
    w.m_failed = true;
    return false;
}

bool put(writer& w, const void* data, size_t size) {
    if (w.m_failed)
        return false;
    if (size != 0 && std::fwrite(data, 1, size, w.m_file) != size)
        return fail(w, "cannot write " + w.m_path + ": " + std::strerror(errno));
    w.m_pos += size;
    return true;
}

bool put32(writer& w, uint32_t v) {
    uint8_t b[4];
    write_le32(b, v);
    return put(w, b, 4);
}

bool put_zeros(writer& w, size_t count) {
    static const uint8_t zeros[64] = {};
    while (count > 0) {
        size_t n = std::min(count, sizeof zeros);
        if (!put(w, zeros, n))
            return false;
        count -= n;
    }
    return true;
}

// Overwrites bytes written earlier and returns to the end.
bool patch(writer& w, uint64_t pos, const uint8_t* data, size_t size) {
    if (w.m_failed)
        return false;
    if (!seek_file(w.m_file, pos) || std::fwrite(data, 1, size, w.m_file) != size ||
        !seek_file(w.m_file, w.m_pos))
        return fail(w, "cannot write " + w.m_path + ": " + std::strerror(errno));
    return true;
}

bool patch32(writer& w, uint64_t pos, uint32_t v) {
    uint8_t b[4];
    write_le32(b, v);
    return patch(w, pos, b, 4);
}

// Chunks whose size is known only at their end: the size is patched, and a pad
// byte keeps the next chunk at an even offset.
bool begin_chunk(writer& w, uint32_t chunk_id, uint64_t& header_pos) {
    header_pos = w.m_pos;
    return put32(w, chunk_id) && put32(w, 0);
}

bool end_chunk(writer& w, uint64_t header_pos) {
    uint64_t size = w.m_pos - header_pos - 8;
    if (size > 0xFFFFFFFFu)
        return fail(w, "chunk too large for AVI");
    bool pad = (size & 1) != 0;
    return (!pad || put_zeros(w, 1)) && patch32(w, header_pos + 4, uint32_t(size));
}

bool begin_list(writer& w, uint32_t list_id, uint32_t type, uint64_t& header_pos) {
    return begin_chunk(w, list_id, header_pos) && put32(w, type);
}

// "##xx": a chunk id of stream `stream` with the two letters of `kind`.
uint32_t stream_chunk_id(size_t stream, char a, char b) {
    return fourcc(char('0' + stream / 10), char('0' + stream % 10), a, b);
}

bool write_super_index_room(writer& w, writer::stream_state& s) {
    // The super index has room for every RIFF the file may get; unused entries
    // stay zero.
    uint64_t chunk = 0;
    uint8_t indx[24] = {};
    set16(indx, 4);   // wLongsPerEntry
    indx[3] = index_of_indexes;
    write_le32(indx + 8, s.chunk_id);
    if (!begin_chunk(w, id::indx, chunk) || !put(w, indx, sizeof indx) ||
        !put_zeros(w, super_index_capacity * 16) || !end_chunk(w, chunk))
        return false;
    s.indx_pos = chunk + 8;
    return true;
}

bool write_video_strl(writer& w, writer::stream_state& s) {
    const video_format& f = w.m_format;
    uint64_t strl = 0;
    uint64_t chunk = 0;
    if (!begin_list(w, id::list, id::strl, strl))
        return false;
    uint8_t strh[56] = {};
    write_le32(strh, id::vids);
    write_le32(strh + 4, f.handler);
    write_le32(strh + 20, f.scale);
    write_le32(strh + 24, f.rate);
    write_le32(strh + 40, 0xFFFFFFFFu);   // dwQuality: the default
    // rcFrame: left, top, right, bottom as 16-bit values.
    set16(strh + 52, std::min<uint32_t>(f.width, 0x7FFF));
    set16(strh + 54, std::min<uint32_t>(f.height, 0x7FFF));
    if (!begin_chunk(w, id::strh, chunk) || !put(w, strh, sizeof strh) || !end_chunk(w, chunk))
        return false;
    s.strh_pos = chunk + 8;
    if (!begin_chunk(w, id::strf, chunk) || !put(w, f.strf.data(), f.strf.size()) || !end_chunk(w, chunk))
        return false;
    if (w.m_options.layout == index_layout::open_dml && !write_super_index_room(w, s))
        return false;
    return end_chunk(w, strl);
}

bool write_copied_strl(writer& w, writer::stream_state& s) {
    uint64_t strl = 0;
    uint64_t chunk = 0;
    if (!begin_list(w, id::list, id::strl, strl) || !begin_chunk(w, id::strh, chunk) ||
        !put(w, s.strh.data(), s.strh.size()) || !end_chunk(w, chunk) || !begin_chunk(w, id::strf, chunk) ||
        !put(w, s.strf.data(), s.strf.size()) || !end_chunk(w, chunk))
        return false;
    if (w.m_options.layout == index_layout::open_dml && !write_super_index_room(w, s))
        return false;
    return end_chunk(w, strl);
}

bool write_headers(writer& w) {
    const video_format& f = w.m_format;
    bool odml = w.m_options.layout == index_layout::open_dml;
    uint64_t hdrl = 0;
    uint64_t chunk = 0;
    if (!begin_list(w, id::riff, id::avi, w.m_riff_pos) || !begin_list(w, id::list, id::hdrl, hdrl))
        return false;

    // Frame counts, sizes and rates that depend on the frames are patched at close.
    uint8_t avih[56] = {};
    write_le32(avih, clamp32((uint64_t(f.scale) * 1000000 + f.rate / 2) / f.rate));
    write_le32(avih + 12, w.m_options.layout == index_layout::none ? 0 : avif_has_index);
    write_le32(avih + 24, uint32_t(w.m_streams.size()));   // dwStreams
    write_le32(avih + 32, f.width);
    write_le32(avih + 36, f.height);
    if (!begin_chunk(w, id::avih, chunk) || !put(w, avih, sizeof avih) || !end_chunk(w, chunk))
        return false;
    w.m_avih_pos = chunk + 8;

    for (writer::stream_state& s : w.m_streams)
        if (!(s.copied ? write_copied_strl(w, s) : write_video_strl(w, s)))
            return false;

    if (odml) {
        uint64_t odml_list = 0;
        if (!begin_list(w, id::list, id::odml, odml_list) || !begin_chunk(w, id::dmlh, chunk) ||
            !put_zeros(w, dmlh_size) || !end_chunk(w, chunk) || !end_chunk(w, odml_list))
            return false;
        w.m_dmlh_pos = chunk + 8;
    }
    return end_chunk(w, hdrl) && begin_list(w, id::list, id::movi, w.m_movi_pos);
}

// Bytes of the current RIFF, header included, once a chunk of `chunk_bytes` and
// its index entries are added (with room for one standard index a stream).
uint64_t riff_size_with(const writer& w, uint64_t chunk_bytes) {
    uint64_t frames = w.m_riff_frames.size() + 1;
    uint64_t indexes = 0;
    if (w.m_options.layout == index_layout::open_dml)
        indexes += 32 * uint64_t(w.m_streams.size()) + 8 * frames;
    if (w.m_options.layout != index_layout::none && w.m_riff_count == 0)
        indexes += 8 + 16 * frames;
    return w.m_pos - w.m_riff_pos + chunk_bytes + indexes;
}

// One standard index for each stream with chunks in the current RIFF.
bool write_ix(writer& w) {
    uint64_t base = w.m_movi_pos + 8;   // the 'movi' FourCC, as for idx1
    for (size_t n = 0; n < w.m_streams.size(); ++n) {
        writer::stream_state& s = w.m_streams[n];
        uint32_t count = 0;
        uint64_t bytes = 0;
        for (const writer::entry& e : w.m_riff_frames)
            if (e.stream == n) {
                ++count;
                bytes += e.size;
            }
        if (count == 0)
            continue;
        uint64_t chunk = 0;
        uint8_t h[24] = {};
        set16(h, 2);   // wLongsPerEntry
        h[3] = index_of_chunks;
        write_le32(h + 4, count);
        write_le32(h + 8, s.chunk_id);
        set64(h + 12, base);
        if (!begin_chunk(w, fourcc('i', 'x', char('0' + n / 10), char('0' + n % 10)), chunk) ||
            !put(w, h, sizeof h))
            return false;
        for (const writer::entry& e : w.m_riff_frames) {
            if (e.stream != n)
                continue;
            uint8_t b[8];
            write_le32(b, e.offset + 8);   // the data, after the chunk header
            write_le32(b + 4, e.size | (e.key ? 0 : aviif_not_keyframe));
            if (!put(w, b, sizeof b))
                return false;
        }
        if (!end_chunk(w, chunk))
            return false;
        uint32_t duration = s.sample_size != 0 ? clamp32(bytes / s.sample_size) : count;
        s.super.push_back({chunk, uint32_t(w.m_pos - chunk), duration});
    }
    return true;
}

bool write_idx1(writer& w) {
    uint64_t chunk = 0;
    if (!begin_chunk(w, id::idx1, chunk))
        return false;
    for (const writer::entry& e : w.m_riff_frames) {
        uint8_t b[16];
        write_le32(b, w.m_streams[e.stream].chunk_id);
        write_le32(b + 4, e.key ? aviif_keyframe : 0);
        write_le32(b + 8, e.offset);
        write_le32(b + 12, e.size);
        if (!put(w, b, sizeof b))
            return false;
    }
    return end_chunk(w, chunk);
}

// Closes the 'movi' list and the RIFF around it, with their indexes.
bool end_riff(writer& w) {
    bool first = w.m_riff_count == 0;
    if (w.m_options.layout == index_layout::open_dml && !write_ix(w))
        return false;
    if (!end_chunk(w, w.m_movi_pos))
        return false;
    if (first && w.m_options.layout != index_layout::none && !write_idx1(w))
        return false;
    if (!end_chunk(w, w.m_riff_pos))
        return false;
    if (first)
        for (writer::stream_state& s : w.m_streams)
            s.first_riff = s.total;
    w.m_riff_frames.clear();
    ++w.m_riff_count;
    return true;
}

bool patch_headers(writer& w) {
    const video_format& f = w.m_format;
    const writer::stream_state& video = w.m_streams[w.m_video];
    bool odml = w.m_options.layout == index_layout::open_dml;
    uint32_t max_chunk = 0;
    for (const writer::stream_state& s : w.m_streams)
        max_chunk = std::max(max_chunk, s.max_chunk);
    uint64_t bytes_per_sec = uint64_t(video.max_chunk) * f.rate / f.scale;
    if (!patch32(w, w.m_avih_pos + 4, clamp32(bytes_per_sec)) ||
        !patch32(w, w.m_avih_pos + 16, odml ? video.first_riff : video.total) ||
        !patch32(w, w.m_avih_pos + 28, max_chunk) || !patch32(w, video.strh_pos + 32, video.total) ||
        !patch32(w, video.strh_pos + 36, video.max_chunk))
        return false;
    if (!odml)
        return true;
    if (!patch32(w, w.m_dmlh_pos, video.total))
        return false;
    for (const writer::stream_state& s : w.m_streams) {
        if (!patch32(w, s.indx_pos + 4, uint32_t(s.super.size())))
            return false;
        for (size_t i = 0; i < s.super.size(); ++i) {
            uint8_t b[16];
            set64(b, s.super[i].offset);
            write_le32(b + 8, s.super[i].size);
            write_le32(b + 12, s.super[i].duration);
            if (!patch(w, s.indx_pos + 24 + i * 16, b, sizeof b))
                return false;
        }
    }
    return true;
}

void drop_file(writer& w) {
    if (w.m_owns_file) {
        std::fclose(w.m_file);
        std::remove(w.m_path.c_str());
    }
    w.m_file = nullptr;
}

}  // namespace

writer::~writer() {
    if (m_file)
        drop_file(*this);
}

bool writer::open(const std::string& path, const video_format& format, const writer_options& options) {
    return open(path, format, options, {}, 0);
}

bool writer::open(const std::string& path, const video_format& format, const writer_options& options,
                  const std::vector<copied_stream>& copied, size_t video_index, std::FILE* file) {
    if (m_file) {
        m_error = "writer already open";
        return false;
    }
    m_error.clear();
    m_failed = false;
    m_pos = 0;
    m_riff_frames.clear();
    m_streams.clear();
    m_riff_count = 0;
    if (format.rate == 0 || format.scale == 0) {
        m_error = "frame rate needs a non-zero rate and scale";
        return false;
    }
    if (format.strf.size() > 0xFFFFF) {
        m_error = "stream format too large";
        return false;
    }
    if (video_index > copied.size() || copied.size() + 1 > 100) {
        m_error = "too many streams, or the video stream's number out of range";
        return false;
    }
    for (const copied_stream& c : copied)
        if (c.strh.size() > 0xFFFFF || c.strf.size() > 0xFFFFF) {
            m_error = "stream header too large";
            return false;
        }
    for (size_t n = 0; n <= copied.size(); ++n) {
        stream_state s;
        if (n == video_index) {
            s.chunk_id = stream_chunk_id(n, 'd', format.uncompressed ? 'b' : 'c');
        } else {
            const copied_stream& c = copied[n < video_index ? n : n - 1];
            s.copied = true;
            s.strh = c.strh;
            s.strf = c.strf;
            s.sample_size = c.strh.size() >= 48 ? uint32_t(c.strh[44] | c.strh[45] << 8 | c.strh[46] << 16 |
                                                           uint32_t(c.strh[47]) << 24)
                                                : 0;
            // The stream's own letters under its number in this file.
            s.chunk_id = stream_chunk_id(n, char(c.chunk_id >> 16), char(c.chunk_id >> 24));
        }
        m_streams.push_back(std::move(s));
    }
    m_video = video_index;
    m_owns_file = file == nullptr;
    m_file = file ? file : std::fopen(path.c_str(), "wb");
    if (!m_file) {
        m_error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    m_path = path;
    m_format = format;
    m_options = options;
    m_options.riff_limit = std::min(options.riff_limit, max_riff_bytes);
    if (write_headers(*this))
        return true;
    drop_file(*this);
    return false;
}

bool writer::write_frame(const uint8_t* data, size_t size, bool keyframe) {
    return write_chunk(m_video, data, size, keyframe);
}

bool writer::write_chunk(size_t stream, const uint8_t* data, size_t size, bool keyframe) {
    if (!m_file)
        return fail(*this, "writer not open");
    if (m_failed)
        return false;
    if (stream >= m_streams.size())
        return fail(*this, "no stream " + std::to_string(stream));
    if (size != 0 && !data)
        return fail(*this, "frame data missing");
    if (size > max_riff_bytes - 64)
        return fail(*this, "frame too large for AVI (" + std::to_string(size) + " bytes)");
    stream_state& s = m_streams[stream];
    if (s.total == 0xFFFFFFFFu)
        return fail(*this, "too many frames");
    uint64_t chunk_bytes = 8 + uint64_t(size) + (size & 1);

    if (m_options.layout == index_layout::open_dml && !m_riff_frames.empty() &&
        riff_size_with(*this, chunk_bytes) > m_options.riff_limit) {
        // This RIFF's index takes one super index entry and the next one another.
        if (m_riff_count + 2 > super_index_capacity)
            return fail(*this, "too many RIFFs for the OpenDML super index");
        if (!end_riff(*this) || !begin_list(*this, id::riff, id::avix, m_riff_pos) ||
            !begin_list(*this, id::list, id::movi, m_movi_pos))
            return false;
    }
    const bool open_dml = m_options.layout == index_layout::open_dml;
    if (riff_size_with(*this, chunk_bytes) > (open_dml ? max_riff_bytes : max_plain_bytes))
        return fail(*this, open_dml ? "frame too large for an AVI RIFF"
                                    : "file too large for AVI 1.0 readers (use the OpenDML layout)");

    uint8_t h[8];
    write_le32(h, s.chunk_id);
    write_le32(h + 4, uint32_t(size));
    uint32_t offset = uint32_t(m_pos - (m_movi_pos + 8));
    if (!put(*this, h, sizeof h) || !put(*this, data, size) || ((size & 1) != 0 && !put_zeros(*this, 1)))
        return false;
    m_riff_frames.push_back({offset, uint32_t(size), keyframe, uint32_t(stream)});
    ++s.total;
    s.max_chunk = std::max(s.max_chunk, uint32_t(size));
    return true;
}

bool writer::close() {
    if (!m_file)
        return fail(*this, "writer not open");
    if (!m_failed && end_riff(*this) && patch_headers(*this) && std::fflush(m_file) != 0)
        fail(*this, "cannot write " + m_path + ": " + std::strerror(errno));
    if (m_owns_file && std::fclose(m_file) != 0)
        fail(*this, "cannot close " + m_path + ": " + std::strerror(errno));
    m_file = nullptr;
    if (m_failed) {
        // A file that failed part way may look whole to a reader: remove it.
        if (m_owns_file)
            std::remove(m_path.c_str());
        return false;
    }
    return true;
}

}  // namespace ruv::avi
