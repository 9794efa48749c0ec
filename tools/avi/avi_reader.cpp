#include "avi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace ruv::avi {

namespace {

constexpr size_t strh_size = 56;
constexpr size_t avih_size = 56;
constexpr uint64_t max_format_size = 1u << 20;     // a larger 'strf' is not a stream header
constexpr size_t max_streams = 100;                 // chunk ids hold two decimal digits
constexpr size_t max_super_entries = 1u << 16;
constexpr int max_rec_depth = 4;                    // 'rec ' lists nested deeper are skipped
constexpr size_t entries_per_read = 512;

uint64_t read_le64(const uint8_t* p) { return uint64_t(read_le32(p)) | uint64_t(read_le32(p + 4)) << 32; }

// Whether a chunk id names a data chunk of the selected stream: a video frame
// ("##dc" or "##db") for a video stream, any "##xx" chunk for other streams
// (audio "##wb", text, ...). Palette changes ("##pc") are no frames.
bool is_frame_chunk(const reader& r, uint32_t chunk_id) {
    const size_t stream = r.m_stream;
    uint32_t digits = uint32_t('0' + stream / 10) | uint32_t('0' + stream % 10) << 8;
    uint32_t kind = chunk_id >> 16;
    if ((chunk_id & 0xFFFF) != digits)
        return false;
    if (stream < r.m_streams.size() && r.m_streams[stream].type != id::vids)
        return true;
    return kind == (uint32_t('d') | uint32_t('c') << 8) || kind == (uint32_t('d') | uint32_t('b') << 8);
}

struct chunk {
    uint32_t id = 0;
    uint32_t size = 0;
    uint64_t data = 0;   // first data byte
    uint64_t end = 0;    // end of the data, kept within the parent
    bool whole = false;  // false: the data runs past the parent (or the input)
};

// Reads the chunk at pos inside [pos, end) and moves pos past it and its pad
// byte. A chunk that runs past its parent ends the walk (pos = end); one that
// runs past the input marks the input truncated. Every step moves pos by at
// least 8 bytes, so a walk ends.
bool next_chunk(reader& r, uint64_t& pos, uint64_t end, chunk& c) {
    uint8_t h[8];
    if (pos > end || end - pos < 8 || !r.read_at(pos, h, 8))
        return false;
    c.id = read_le32(h);
    c.size = read_le32(h + 4);
    c.data = pos + 8;
    uint64_t data_end = c.data + c.size;
    c.whole = data_end <= end;
    if (c.whole) {
        c.end = data_end;
        pos = data_end + (c.size & 1);
    } else {
        if (data_end > r.m_size)
            r.m_truncated = true;
        c.end = end;
        pos = end;
    }
    return true;
}

// The form type of a LIST at c, when its four bytes are inside [.., end).
bool list_type(reader& r, const chunk& c, uint64_t end, uint32_t& type) {
    uint8_t t[4];
    if (c.id != id::list || c.data > end || end - c.data < 4 || !r.read_at(c.data, t, 4))
        return false;
    type = read_le32(t);
    return true;
}

bool fail(reader& r, const std::string& message) {
    r.m_error = message;
    return false;
}

// Reads up to `size` bytes of a chunk's data into a zero-filled record.
void read_record(reader& r, const chunk& c, uint8_t* record, size_t size) {
    std::memset(record, 0, size);
    uint64_t available = c.end - c.data;
    if (available < size)
        size = size_t(available);
    if (!r.read_at(c.data, record, size))
        std::memset(record, 0, size);
}

void parse_super_index(reader& r, const chunk& c, reader::odml_index& index) {
    index.present = true;
    uint8_t h[24];
    uint64_t length = c.end - c.data;
    if (!c.whole || length < 24 || !r.read_at(c.data, h, 24)) {
        index.sound = false;
        return;
    }
    uint16_t longs_per_entry = read_le16(h);
    uint8_t sub_type = h[2];
    uint8_t index_type = h[3];   // 0: an index of indexes
    uint32_t entries = read_le32(h + 4);
    if (longs_per_entry != 4 || sub_type != 0 || index_type != 0 || entries > (length - 24) / 16 ||
        entries > max_super_entries) {
        index.sound = false;
        return;
    }
    index.chunks.reserve(entries);
    for (uint32_t i = 0; i < entries; ++i) {
        uint8_t e[16];
        if (!r.read_at(c.data + 24 + uint64_t(i) * 16, e, 16)) {
            index.sound = false;
            return;
        }
        index.chunks.push_back(read_le64(e));
    }
}

bool parse_strl(reader& r, uint64_t begin, uint64_t end) {
    stream_info info;
    reader::odml_index odml;
    uint64_t pos = begin;
    chunk c;
    while (next_chunk(r, pos, end, c)) {
        if (c.id == id::strh) {
            uint8_t h[strh_size];
            read_record(r, c, h, sizeof h);
            info.type = read_le32(h);
            info.handler = read_le32(h + 4);
            info.flags = read_le32(h + 8);
            info.scale = read_le32(h + 20);
            info.rate = read_le32(h + 24);
            info.start = read_le32(h + 28);
            info.length = read_le32(h + 32);
            info.suggested_buffer_size = read_le32(h + 36);
            info.sample_size = read_le32(h + 44);
            // Kept whole for copying; a larger 'strh' is not a stream header.
            uint64_t length = std::min<uint64_t>(c.end - c.data, max_format_size);
            info.header.resize(size_t(length));
            if (length != 0 && !r.read_at(c.data, info.header.data(), size_t(length)))
                info.header.clear();
        } else if (c.id == id::strf) {
            uint64_t length = c.end - c.data;
            if (length > max_format_size)
                return fail(r, "stream format chunk too large (" + std::to_string(length) + " bytes)");
            info.format.resize(size_t(length));
            if (length != 0 && !r.read_at(c.data, info.format.data(), size_t(length)))
                info.format.clear();
        } else if (c.id == id::indx) {
            parse_super_index(r, c, odml);
        }
    }
    r.m_streams.push_back(std::move(info));
    r.m_odml.push_back(std::move(odml));
    return true;
}

bool parse_hdrl(reader& r, uint64_t begin, uint64_t end) {
    uint64_t pos = begin;
    chunk c;
    uint32_t type = 0;
    while (next_chunk(r, pos, end, c)) {
        if (c.id == id::avih) {
            uint8_t h[avih_size];
            read_record(r, c, h, sizeof h);
            main_header& m = r.m_main;
            m.micro_sec_per_frame = read_le32(h);
            m.max_bytes_per_sec = read_le32(h + 4);
            m.padding_granularity = read_le32(h + 8);
            m.flags = read_le32(h + 12);
            m.total_frames = read_le32(h + 16);
            m.initial_frames = read_le32(h + 20);
            m.streams = read_le32(h + 24);
            m.suggested_buffer_size = read_le32(h + 28);
            m.width = read_le32(h + 32);
            m.height = read_le32(h + 36);
        } else if (list_type(r, c, c.end, type) && type == id::strl) {
            if (r.m_streams.size() < max_streams && !parse_strl(r, c.data + 4, c.end))
                return false;
        } else if (list_type(r, c, c.end, type) && type == id::odml) {
            uint64_t odml_pos = c.data + 4;
            chunk d;
            while (next_chunk(r, odml_pos, c.end, d)) {
                uint8_t total[4];
                if (d.id == id::dmlh) {
                    read_record(r, d, total, sizeof total);
                    r.m_main.odml_total_frames = read_le32(total);
                }
            }
        }
    }
    return true;
}

// Walks the chunks of one RIFF: the header list and 'idx1' of the first, the
// 'movi' lists of all.
bool walk_riff(reader& r, uint64_t begin, uint64_t end, bool first) {
    uint64_t pos = begin;
    chunk c;
    uint32_t type = 0;
    while (next_chunk(r, pos, end, c)) {
        if (list_type(r, c, end, type)) {
            if (first && type == id::hdrl && !r.m_has_hdrl) {
                r.m_has_hdrl = true;
                if (!parse_hdrl(r, c.data + 4, c.end))
                    return false;
            } else if (type == id::movi) {
                uint64_t movi_end = c.end;
                if (c.size == 0) {
                    // A writer that never finished leaves the size 0: the list
                    // runs to the end of the RIFF.
                    r.m_truncated = true;
                    movi_end = end;
                    pos = end;
                }
                if (r.m_movi.empty())
                    r.m_first_movi_fourcc = c.data;
                r.m_movi.push_back({c.data + 4, movi_end});
            }
        } else if (first && c.id == id::idx1 && c.whole && !r.m_has_idx1) {
            r.m_has_idx1 = true;
            r.m_idx1 = {c.data, c.end};
        }
    }
    return true;
}

// Whether the chunk header at `header` has this id and size, with its data inside the input.
bool chunk_matches(reader& r, uint64_t header, uint32_t chunk_id, uint32_t size) {
    uint8_t h[8];
    if (header > r.m_size || r.m_size - header < 8 || r.m_size - header - 8 < size ||
        !r.read_at(header, h, 8))
        return false;
    return read_le32(h) == chunk_id && read_le32(h + 4) == size;
}

// The frames from the OpenDML indexes; false when the stream has none or any
// entry does not match the file.
bool load_open_dml(reader& r, std::vector<frame_entry>& frames) {
    frames.clear();
    const reader::odml_index& index = r.m_odml[r.m_stream];
    if (!index.present || !index.sound)
        return false;
    // Every frame has at least a chunk header in the input: more entries than
    // that come from indexes listed twice or made up.
    uint64_t max_frames = r.m_size / 8;
    for (uint64_t ix : index.chunks) {
        uint8_t h[32];
        if (!r.read_at(ix, h, sizeof h)) {
            // An index past the end: the file lost its later RIFFs.
            if (ix >= r.m_size)
                r.m_truncated = true;
            return false;
        }
        uint32_t size = read_le32(h + 4);
        uint16_t longs_per_entry = read_le16(h + 8);
        uint8_t sub_type = h[10];
        uint8_t index_type = h[11];   // 1: an index of chunks
        uint32_t entries = read_le32(h + 12);
        uint32_t chunk_id = read_le32(h + 16);
        uint64_t base = read_le64(h + 20);
        if (size < 24 || r.m_size - ix - 8 < size || longs_per_entry != 2 || sub_type != 0 ||
            index_type != 1 || entries > (size - 24) / 8 || !is_frame_chunk(r, chunk_id) ||
            base > r.m_size || entries > max_frames - frames.size())
            return false;
        uint8_t block[entries_per_read * 8];
        for (uint32_t done = 0; done < entries;) {
            uint32_t count = uint32_t(std::min<uint64_t>(entries - done, entries_per_read));
            if (!r.read_at(ix + 32 + uint64_t(done) * 8, block, size_t(count) * 8))
                return false;
            for (uint32_t i = 0; i < count; ++i) {
                uint64_t data = base + read_le32(block + i * 8);
                uint32_t size_field = read_le32(block + i * 8 + 4);
                uint32_t length = size_field & 0x7FFFFFFF;
                if (data < 8 || !chunk_matches(r, data - 8, chunk_id, length))
                    return false;
                frames.push_back({data, length, (size_field & 0x80000000u) == 0, true});
            }
            done += count;
        }
    }
    return !frames.empty();
}

// The frames from 'idx1' with offsets counted from `base`; false when it lists
// none of the stream's frames or any entry does not match the file.
bool load_idx1(reader& r, uint64_t base, std::vector<frame_entry>& frames) {
    frames.clear();
    uint64_t entries = (r.m_idx1.end - r.m_idx1.begin) / 16;
    uint8_t block[entries_per_read * 16];
    for (uint64_t done = 0; done < entries;) {
        size_t count = size_t(std::min<uint64_t>(entries - done, entries_per_read));
        if (!r.read_at(r.m_idx1.begin + done * 16, block, count * 16))
            return false;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* e = block + i * 16;
            uint32_t chunk_id = read_le32(e);
            if (!is_frame_chunk(r, chunk_id))
                continue;
            uint64_t header = base + read_le32(e + 8);
            uint32_t length = read_le32(e + 12);
            if (!chunk_matches(r, header, chunk_id, length))
                return false;
            frames.push_back({header + 8, length, (read_le32(e + 4) & aviif_keyframe) != 0, true});
        }
        done += count;
    }
    return !frames.empty();
}

void scan_list(reader& r, uint64_t begin, uint64_t end, int depth, std::vector<frame_entry>& frames) {
    uint64_t pos = begin;
    chunk c;
    uint32_t type = 0;
    while (next_chunk(r, pos, end, c)) {
        if (list_type(r, c, c.end, type)) {
            if (type == id::rec && depth < max_rec_depth)
                scan_list(r, c.data + 4, c.end, depth + 1, frames);
        } else if (c.whole && is_frame_chunk(r, c.id)) {
            frames.push_back({c.data, c.size, false, false});
        }
    }
}

// Walks the top-level RIFFs and the headers, then indexes the first video stream.
bool parse(reader& r) {
    uint8_t h[12];
    if (!r.read_at(0, h, sizeof h) || read_le32(h) != id::riff || read_le32(h + 8) != id::avi)
        return fail(r, "not a RIFF AVI file");
    uint32_t riff_size = read_le32(h + 4);
    uint64_t end = 8 + uint64_t(riff_size);
    if (riff_size == 0 || end > r.m_size) {
        // Cut short, or never finished by its writer (size left 0).
        r.m_truncated = true;
        end = r.m_size;
    }
    if (!walk_riff(r, 12, end, true))
        return false;
    r.m_riff_count = 1;
    // Further RIFFs: OpenDML 'AVIX' extensions; other data ends the walk.
    uint64_t pos = end + (end < r.m_size ? (riff_size & 1) : 0);
    while (pos < r.m_size) {
        if (r.m_size - pos < 12) {
            // Part of a RIFF header: a file cut between two RIFFs.
            size_t left = size_t(std::min<uint64_t>(r.m_size - pos, 4));
            if (r.read_at(pos, h, left) && std::memcmp(h, "RIFF", left) == 0)
                r.m_truncated = true;
            break;
        }
        if (!r.read_at(pos, h, sizeof h) || read_le32(h) != id::riff)
            break;
        riff_size = read_le32(h + 4);
        end = pos + 8 + riff_size;
        if (riff_size == 0 || end > r.m_size) {
            r.m_truncated = true;
            end = r.m_size;
        }
        if (read_le32(h + 8) == id::avix) {
            ++r.m_riff_count;
            if (!walk_riff(r, pos + 12, end, false))
                return false;
        }
        pos = end + (end < r.m_size ? (riff_size & 1) : 0);
    }

    if (!r.m_has_hdrl)
        return fail(r, "no 'hdrl' header list");
    size_t video = r.m_streams.size();
    for (size_t i = 0; i < r.m_streams.size() && video == r.m_streams.size(); ++i)
        if (r.m_streams[i].type == id::vids)
            video = i;
    if (video == r.m_streams.size())
        return fail(r, "no video stream");
    if (r.m_movi.empty() && !r.m_truncated)
        return fail(r, "no 'movi' list");
    return r.select_stream(video);
}

bool finish_open(reader& r) {
    if (parse(r))
        return true;
    std::string message = std::move(r.m_error);
    r.close();
    r.m_error = std::move(message);
    return false;
}

bool file_size(std::FILE* file, uint64_t& size) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0)
        return false;
    long long end = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0)
        return false;
    long long end = ftello(file);
#endif
    if (end < 0)
        return false;
    size = uint64_t(end);
    return true;
}

}  // namespace

namespace {

// A FourCC with its letters in upper case.
uint32_t upper_fourcc(uint32_t code) {
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t c = uint8_t(code >> (8 * i));
        if (c >= 'a' && c <= 'z') c = uint8_t(c - 'a' + 'A');
        result |= uint32_t(c) << (8 * i);
    }
    return result;
}

}  // namespace

bool is_video_coded_as(const stream_info& s, uint32_t code) {
    constexpr size_t compression_offset = 16;   // biCompression in the stream format
    if (s.type != id::vids) return false;
    if (upper_fourcc(s.handler) == upper_fourcc(code)) return true;
    return s.format.size() >= compression_offset + 4 &&
           upper_fourcc(read_le32(s.format.data() + compression_offset)) == upper_fourcc(code);
}

std::string fourcc_text(uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char ch = char((code >> (8 * i)) & 0xFF);
        text += (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    }
    return text;
}

bool seek_file(std::FILE* file, uint64_t offset) {
    if (offset > uint64_t(INT64_MAX))
        return false;
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

const char* describe(index_kind kind) {
    switch (kind) {
    case index_kind::none: return "none";
    case index_kind::open_dml: return "OpenDML index";
    case index_kind::idx1_relative: return "idx1 (offsets from movi)";
    case index_kind::idx1_absolute: return "idx1 (absolute offsets)";
    case index_kind::scan: return "scan of the movi lists";
    }
    return "unknown";
}

bool reader::read_at(uint64_t offset, void* out, size_t size) {
    if (offset > m_size || m_size - offset < size)
        return false;
    if (size == 0)
        return true;
    if (!m_file) {
        std::memcpy(out, m_memory.data() + offset, size);
        return true;
    }
    return seek_file(m_file, offset) && std::fread(out, 1, size, m_file) == size;
}

void reader::close() {
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
    m_memory.clear();
    m_size = 0;
    m_error.clear();
    m_truncated = false;
    m_has_hdrl = false;
    m_main = {};
    m_streams.clear();
    m_odml.clear();
    m_movi.clear();
    m_first_movi_fourcc = 0;
    m_has_idx1 = false;
    m_idx1 = {0, 0};
    m_riff_count = 0;
    m_stream = 0;
    m_kind = index_kind::none;
    m_frames.clear();
}

bool reader::open(const std::string& path) {
    close();
    m_file = std::fopen(path.c_str(), "rb");
    if (!m_file)
        return fail(*this, "cannot open " + path + ": " + std::strerror(errno));
    uint64_t size = 0;
    if (!file_size(m_file, size)) {
        close();
        return fail(*this, "cannot read the size of " + path);
    }
    m_size = size;
    return finish_open(*this);
}

bool reader::open_memory(const uint8_t* data, size_t size) {
    close();
    if (size != 0)
        m_memory.assign(data, data + size);
    m_size = size;
    return finish_open(*this);
}

bool reader::select_stream(size_t stream) {
    if (stream >= m_streams.size())
        return fail(*this, "no stream " + std::to_string(stream));
    m_stream = stream;
    std::vector<frame_entry> frames;
    if (load_open_dml(*this, frames)) {
        m_kind = index_kind::open_dml;
    } else if (m_has_idx1 && m_riff_count == 1 && load_idx1(*this, m_first_movi_fourcc, frames)) {
        m_kind = index_kind::idx1_relative;
    } else if (m_has_idx1 && m_riff_count == 1 && load_idx1(*this, 0, frames)) {
        m_kind = index_kind::idx1_absolute;
    } else {
        // No index, or one that misses frames of later RIFFs or points at
        // the wrong chunks.
        frames.clear();
        for (const range& movi : m_movi)
            scan_list(*this, movi.begin, movi.end, 0, frames);
        m_kind = index_kind::scan;
    }
    m_frames = std::move(frames);
    return true;
}

uint32_t reader::chunk_id(size_t index) {
    uint8_t h[4];
    if (index >= m_frames.size() || m_frames[index].offset < 8 || !read_at(m_frames[index].offset - 8, h, 4))
        return 0;
    return read_le32(h);
}

bool reader::read_frame(size_t index, std::vector<uint8_t>& out) {
    if (index >= m_frames.size())
        return fail(*this, "no frame " + std::to_string(index));
    const frame_entry& f = m_frames[index];
    if (f.offset > m_size || m_size - f.offset < f.size)
        return fail(*this, "frame " + std::to_string(index) + " runs past the end of the file");
    out.resize(f.size);
    if (!read_at(f.offset, out.data(), f.size))
        return fail(*this, "read error in frame " + std::to_string(index));
    return true;
}

}  // namespace ruv::avi
