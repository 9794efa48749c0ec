// Reading and writing AVI files that carry a video stream, and any other streams
// beside it.
//
// The writer produces plain AVI files with an 'idx1' index, OpenDML files
// ('indx' super index and 'ix##' standard indexes for each stream, further 'AVIX'
// RIFFs past a size limit), or files without an index; streams other than its
// video stream are stored as given (headers, format, chunks). The reader opens a
// file or a buffer, lists its streams and builds the chunk list of one stream
// from the best index it can trust, walking the 'movi' lists when no index is sound. Files are read on
// demand with 64-bit offsets, so their size is not limited by memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ruv::avi {

// A FourCC as the little-endian 32-bit value of its four characters.
constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

// Little-endian fields of headers and indexes, byte by byte on any processor.
inline uint16_t read_le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t read_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void write_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The four characters of a FourCC, with '?' for bytes that are not printable.
std::string fourcc_text(uint32_t code);

// Moves a file's position to a 64-bit offset from its start, on every platform.
bool seek_file(std::FILE* file, uint64_t offset);

// Chunk, list and form identifiers.
namespace id {
constexpr uint32_t riff = fourcc('R', 'I', 'F', 'F');
constexpr uint32_t list = fourcc('L', 'I', 'S', 'T');
constexpr uint32_t avi = fourcc('A', 'V', 'I', ' ');
constexpr uint32_t avix = fourcc('A', 'V', 'I', 'X');
constexpr uint32_t hdrl = fourcc('h', 'd', 'r', 'l');
constexpr uint32_t avih = fourcc('a', 'v', 'i', 'h');
constexpr uint32_t strl = fourcc('s', 't', 'r', 'l');
constexpr uint32_t strh = fourcc('s', 't', 'r', 'h');
constexpr uint32_t strf = fourcc('s', 't', 'r', 'f');
constexpr uint32_t indx = fourcc('i', 'n', 'd', 'x');
constexpr uint32_t odml = fourcc('o', 'd', 'm', 'l');
constexpr uint32_t dmlh = fourcc('d', 'm', 'l', 'h');
constexpr uint32_t movi = fourcc('m', 'o', 'v', 'i');
constexpr uint32_t rec = fourcc('r', 'e', 'c', ' ');
constexpr uint32_t idx1 = fourcc('i', 'd', 'x', '1');
constexpr uint32_t ix00 = fourcc('i', 'x', '0', '0');
constexpr uint32_t junk = fourcc('J', 'U', 'N', 'K');
constexpr uint32_t vids = fourcc('v', 'i', 'd', 's');
constexpr uint32_t frame00 = fourcc('0', '0', 'd', 'c');   // compressed frame of stream 0
constexpr uint32_t auds = fourcc('a', 'u', 'd', 's');
}  // namespace id

constexpr uint32_t avif_has_index = 0x10;   // avih dwFlags: the file has an index
constexpr uint32_t aviif_keyframe = 0x10;   // idx1 dwFlags: a key frame

// Which index a writer puts in the file.
enum class index_layout : uint8_t {
    idx1,       // AVI 1.0: one RIFF, 'idx1' after 'movi'
    open_dml,   // 'indx' + one 'ix00' per RIFF, 'AVIX' RIFFs past riff_limit, 'idx1' for the first RIFF
    none,       // no index, AVIF_HASINDEX clear
};

struct writer_options {
    index_layout layout = index_layout::idx1;
    // OpenDML: when the next frame would take a RIFF (with its indexes) past this
    // many bytes, the RIFF is closed and an 'AVIX' RIFF begun. A RIFF holds at
    // least one frame. Limits above the 4 GiB a RIFF can hold act as that.
    uint64_t riff_limit = uint64_t(1) << 30;
};

// The video stream a writer stores.
struct video_format {
    uint32_t handler = 0;          // strh fccHandler, e.g. fourcc('R','U','V','1')
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t rate = 0;             // frames per second = rate / scale; both non-zero
    uint32_t scale = 0;
    std::vector<uint8_t> strf;     // the stream format chunk, written as given
    bool uncompressed = false;     // frames in "##db" chunks rather than "##dc"
};

// A stream stored as another file holds it: its 'strh' and 'strf' chunks' data
// written as given, and the id its data chunks carry ("01wb" for audio of stream 1).
struct copied_stream {
    std::vector<uint8_t> strh;
    std::vector<uint8_t> strf;
    uint32_t chunk_id = 0;
};

// Super index entries an OpenDML file has room for: 256 RIFFs.
constexpr size_t super_index_capacity = 256;

struct writer {
    struct entry {          // a chunk of the current RIFF
        uint32_t offset;    // chunk header, from the 'movi' FourCC
        uint32_t size;
        bool key;
        uint32_t stream;
    };
    struct super_entry {    // an 'ix##' chunk
        uint64_t offset;
        uint32_t size;      // header included
        uint32_t duration;  // chunks, or samples for a stream with a fixed sample size
    };
    struct stream_state {
        uint32_t chunk_id = 0;
        bool copied = false;
        std::vector<uint8_t> strh;   // copied streams only
        std::vector<uint8_t> strf;
        uint32_t sample_size = 0;    // strh dwSampleSize of a copied stream
        uint64_t strh_pos = 0;       // data of 'strh', patched at close (the video stream)
        uint64_t indx_pos = 0;       // data of 'indx', patched at close
        std::vector<super_entry> super;
        uint32_t total = 0;          // chunks written
        uint32_t first_riff = 0;     // chunks in the first RIFF
        uint32_t max_chunk = 0;
    };

    std::FILE* m_file = nullptr;
    bool m_owns_file = true;       // false: the caller's file, neither closed nor removed here
    std::string m_path;
    std::string m_error;
    writer_options m_options;
    video_format m_format;
    std::vector<stream_state> m_streams;
    size_t m_video = 0;            // stream number of the video stream
    bool m_failed = false;
    uint64_t m_pos = 0;            // write position
    uint64_t m_avih_pos = 0;       // data of 'avih', patched at close
    uint64_t m_dmlh_pos = 0;       // data of 'dmlh', patched at close
    uint64_t m_riff_pos = 0;       // header of the current RIFF
    uint64_t m_movi_pos = 0;       // header of the current 'movi' LIST
    std::vector<entry> m_riff_frames;
    uint32_t m_riff_count = 0;     // RIFFs finished

    writer() = default;
    writer(const writer&) = delete;
    writer& operator=(const writer&) = delete;
    // An unclosed file is abandoned: closed and removed (when the writer made it).
    ~writer();

    // Creates the file and writes the headers. False (see error()) for a zero
    // rate or scale, a writer already open, or a file that cannot be created.
    bool open(const std::string& path, const video_format& format, const writer_options& options = {});
    // The same with further streams: `copied` in order, with the video stream
    // inserted as stream number `video_index` (at most copied.size()). `file` is
    // an open, empty file written from its start, which close() flushes but leaves
    // open; `path` names it in messages. Without `file`, the writer creates `path`.
    bool open(const std::string& path, const video_format& format, const writer_options& options,
              const std::vector<copied_stream>& copied, size_t video_index, std::FILE* file = nullptr);
    // Appends one video frame; size 0 stores a dropped frame. False after any failure.
    bool write_frame(const uint8_t* data, size_t size, bool keyframe);
    // Appends one chunk of stream number `stream` (the video stream or a copied one).
    bool write_chunk(size_t stream, const uint8_t* data, size_t size, bool keyframe);
    // Writes the indexes and final header fields and closes the file. On any
    // failure, now or earlier, a file the writer made is removed and false returned.
    bool close();
    const std::string& error() const { return m_error; }
};

// Fields of the 'avih' chunk, and the OpenDML total from 'dmlh'.
struct main_header {
    uint32_t micro_sec_per_frame = 0;
    uint32_t max_bytes_per_sec = 0;
    uint32_t padding_granularity = 0;
    uint32_t flags = 0;
    uint32_t total_frames = 0;
    uint32_t initial_frames = 0;
    uint32_t streams = 0;
    uint32_t suggested_buffer_size = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t odml_total_frames = 0;   // 0 when the file has no 'dmlh'
};

struct stream_info;

// Whether a stream is a video stream coded as `code`, by its handler or its
// format's biCompression, letters in any case ("ruv1" is "RUV1"), as players
// find a stream's codec.
bool is_video_coded_as(const stream_info& stream, uint32_t code);

struct stream_info {
    uint32_t type = 0;       // fccType: 'vids', 'auds', ...
    uint32_t handler = 0;    // fccHandler
    uint32_t flags = 0;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t suggested_buffer_size = 0;
    uint32_t sample_size = 0;
    std::vector<uint8_t> header;   // the 'strh' bytes as stored
    std::vector<uint8_t> format;   // the 'strf' bytes
};

struct frame_entry {
    uint64_t offset = 0;          // file offset of the frame's data
    uint32_t size = 0;            // 0: a dropped frame
    bool keyframe = false;
    bool keyframe_known = false;  // false when the frames were found by scanning
};

// Where a reader's frame list came from.
enum class index_kind : uint8_t {
    none,            // no stream indexed
    open_dml,        // 'indx' super index and its standard indexes
    idx1_relative,   // 'idx1', offsets from the 'movi' FourCC
    idx1_absolute,   // 'idx1', offsets from the start of the file
    scan,            // no sound index: the 'movi' lists were walked
};

const char* describe(index_kind kind);

struct reader {
    struct range {
        uint64_t begin;
        uint64_t end;
    };
    struct odml_index {             // a stream's 'indx' super index
        bool present = false;
        bool sound = true;          // false: a layout this reader does not trust
        std::vector<uint64_t> chunks;   // offsets of its 'ix##' chunks
    };

    // The input: a file read on demand, or a copy of a buffer.
    std::FILE* m_file = nullptr;
    std::vector<uint8_t> m_memory;
    uint64_t m_size = 0;

    std::string m_error;
    bool m_truncated = false;
    bool m_has_hdrl = false;
    main_header m_main;
    std::vector<stream_info> m_streams;
    std::vector<odml_index> m_odml;      // one per stream
    std::vector<range> m_movi;           // data of every 'movi' list, in file order
    uint64_t m_first_movi_fourcc = 0;    // base of relative 'idx1' offsets
    bool m_has_idx1 = false;
    range m_idx1{0, 0};                  // data of the first RIFF's whole 'idx1'
    uint32_t m_riff_count = 0;
    size_t m_stream = 0;
    index_kind m_kind = index_kind::none;
    std::vector<frame_entry> m_frames;

    reader() = default;
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;
    ~reader() { close(); }

    // Opens a file, or a copy of a buffer, reads the headers and indexes the
    // first video stream. False (see error()) for input that is not an AVI file
    // or has no video stream.
    bool open(const std::string& path);
    bool open_memory(const uint8_t* data, size_t size);
    void close();

    const std::string& error() const { return m_error; }
    const main_header& header() const { return m_main; }
    const std::vector<stream_info>& streams() const { return m_streams; }
    // Whether the input ends before its chunks do, or was never finished; the
    // frames listed are whole all the same.
    bool truncated() const { return m_truncated; }

    // Builds the frame list of a stream. False for a stream number out of range.
    bool select_stream(size_t stream);
    size_t stream() const { return m_stream; }
    const std::vector<frame_entry>& frames() const { return m_frames; }
    index_kind kind() const { return m_kind; }

    // The id of the chunk that holds a frame of the selected stream ("01wb"); 0
    // when it cannot be read.
    uint32_t chunk_id(size_t index);

    // Reads frame number `index` of the selected stream into `out`, resized to
    // the frame's size.
    bool read_frame(size_t index, std::vector<uint8_t>& out);

    // Reads bytes at a file offset; false when they are not all in the input.
    bool read_at(uint64_t offset, void* out, size_t size);
};

// Rewriting a file with its video stream replaced: the other streams, to be
// copied as they are, and their chunks in file order, so that the new file
// interleaves them as the old one did.
struct remux_plan {
    struct chunk {
        uint64_t offset;   // data, in the input
        uint32_t size;
        bool key;
        size_t stream;
    };
    std::vector<copied_stream> streams;   // every stream but the video stream, in order
    size_t video_index = 0;               // the video stream's number among them
    std::vector<chunk> chunks;

    // Plans from the reader's selected stream as the video stream, which it is
    // left on. False, with the reader's error, when a stream cannot be indexed.
    bool make(reader& r, std::string& error);
};

}  // namespace ruv::avi
