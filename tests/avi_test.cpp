// AVI writer and reader: round trips for every index layout, the reader's
// choice of index, and its handling of damaged, truncated and foreign input.
#include "avi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace ruv::avi;
using bytes = std::vector<uint8_t>;

constexpr uint32_t handler_ruv1 = fourcc('R', 'U', 'V', '1');

uint32_t get32(const bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
void set32(bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

// Position of the first occurrence of a FourCC at an even offset.
size_t find_fourcc(const bytes& b, uint32_t code, size_t from = 0) {
    for (size_t i = from; i + 4 <= b.size(); i += 2)
        if (get32(b, i) == code)
            return i;
    return std::string::npos;
}

// A file in the temporary folder, removed when the test ends.
struct temp_file {
    std::string path;
    explicit temp_file(const std::string& name) {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path = (std::filesystem::temp_directory_path() /
                ("ruv_avi_" + name + "_" + std::to_string(stamp) + ".avi"))
                   .string();
    }
    ~temp_file() { std::remove(path.c_str()); }
    bool exists() const { return std::filesystem::exists(path); }
};

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct test_frame {
    bytes data;
    bool key;
};

// Frames of varied sizes: dropped (empty) ones, odd sizes that need a pad byte,
// and a key frame every fifth.
std::vector<test_frame> make_frames(size_t count, size_t base_size = 40) {
    std::vector<test_frame> frames;
    for (size_t i = 0; i < count; ++i) {
        size_t size = (i % 7 == 3) ? 0 : base_size + (i * 13) % 29;
        bytes data(size);
        for (size_t j = 0; j < size; ++j)
            data[j] = uint8_t(i * 31 + j * 7 + 1);
        frames.push_back({data, i % 5 == 0});
    }
    return frames;
}

video_format make_format() {
    video_format f;
    f.handler = handler_ruv1;
    f.width = 320;
    f.height = 240;
    f.rate = 30000;
    f.scale = 1001;
    f.strf.resize(80);
    for (size_t i = 0; i < f.strf.size(); ++i)
        f.strf[i] = uint8_t(200 - i);
    return f;
}

bool write_avi(const std::string& path, const std::vector<test_frame>& frames, const writer_options& options) {
    writer w;
    if (!w.open(path, make_format(), options))
        return false;
    for (const test_frame& f : frames)
        if (!w.write_frame(f.data.data(), f.data.size(), f.key))
            return false;
    return w.close();
}

bytes written(const std::vector<test_frame>& frames, const writer_options& options, const std::string& name) {
    temp_file file(name);
    EXPECT_TRUE(write_avi(file.path, frames, options));
    return read_file(file.path);
}

// Checks the reader's frames against the frames written, with or without their flags.
void expect_frames(reader& r, const std::vector<test_frame>& frames, bool flags_known) {
    ASSERT_EQ(r.frames().size(), frames.size());
    bytes data;
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const frame_entry& e = r.frames()[i];
        EXPECT_EQ(e.size, frames[i].data.size());
        EXPECT_EQ(e.offset % 2, 0u);
        EXPECT_EQ(e.keyframe_known, flags_known);
        if (flags_known) {
            EXPECT_EQ(e.keyframe, frames[i].key);
        }
        ASSERT_TRUE(r.read_frame(i, data)) << r.error();
        EXPECT_EQ(data, frames[i].data);
    }
}

// Builds RIFF files chunk by chunk, for layouts the writer does not make.
struct builder {
    bytes out;
    std::vector<size_t> open_chunks;

    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(v >> (8 * i)));
    }
    void begin(uint32_t chunk_id) {
        open_chunks.push_back(out.size());
        u32(chunk_id);
        u32(0);
    }
    void begin_list(uint32_t list_id, uint32_t type) {
        begin(list_id);
        u32(type);
    }
    void end() {
        size_t header = open_chunks.back();
        open_chunks.pop_back();
        size_t size = out.size() - header - 8;
        set32(out, header + 4, uint32_t(size));
        if (size & 1)
            out.push_back(0);
    }
    size_t chunk(uint32_t chunk_id, const bytes& data) {
        size_t header = out.size();
        begin(chunk_id);
        out.insert(out.end(), data.begin(), data.end());
        end();
        return header;
    }
    void strl(uint32_t type, uint32_t handler, const bytes& format) {
        begin_list(id::list, id::strl);
        bytes strh(56);
        set32(strh, 0, type);
        set32(strh, 4, handler);
        set32(strh, 20, 1);
        set32(strh, 24, 25);
        chunk(id::strh, strh);
        chunk(id::strf, format);
        end();
    }
};

// ---------------------------------------------------------------------------
// Round trips

struct layout_case {
    index_layout layout;
    index_kind kind;
    const char* name;
};

class avi_round_trip : public ::testing::TestWithParam<layout_case> {};

TEST_P(avi_round_trip, headers_and_frames_survive) {
    const layout_case& c = GetParam();
    std::vector<test_frame> frames = make_frames(23);
    writer_options options;
    options.layout = c.layout;
    temp_file file(c.name);
    ASSERT_TRUE(write_avi(file.path, frames, options));
    bytes image = read_file(file.path);
    EXPECT_EQ(image.size() % 2, 0u);

    reader from_file;
    ASSERT_TRUE(from_file.open(file.path)) << from_file.error();
    reader from_memory;
    ASSERT_TRUE(from_memory.open_memory(image.data(), image.size())) << from_memory.error();

    for (reader* r : {&from_file, &from_memory}) {
        EXPECT_FALSE(r->truncated());
        EXPECT_EQ(r->kind(), c.kind) << describe(r->kind());
        ASSERT_EQ(r->streams().size(), 1u);
        const stream_info& s = r->streams()[0];
        video_format f = make_format();
        EXPECT_EQ(s.type, id::vids);
        EXPECT_EQ(s.handler, handler_ruv1);
        EXPECT_EQ(s.rate, f.rate);
        EXPECT_EQ(s.scale, f.scale);
        EXPECT_EQ(s.length, frames.size());
        EXPECT_EQ(s.format, f.strf);
        EXPECT_EQ(s.suggested_buffer_size, 68u);   // the largest frame

        const main_header& h = r->header();
        EXPECT_EQ(h.width, 320u);
        EXPECT_EQ(h.height, 240u);
        EXPECT_EQ(h.streams, 1u);
        EXPECT_EQ(h.micro_sec_per_frame, 33367u);
        EXPECT_EQ(h.total_frames, frames.size());
        EXPECT_EQ((h.flags & avif_has_index) != 0, c.layout != index_layout::none);
        EXPECT_EQ(h.odml_total_frames, c.layout == index_layout::open_dml ? frames.size() : 0u);
        expect_frames(*r, frames, c.layout != index_layout::none);
    }
}

INSTANTIATE_TEST_SUITE_P(layouts, avi_round_trip,
                         ::testing::Values(layout_case{index_layout::idx1, index_kind::idx1_relative, "idx1"},
                                           layout_case{index_layout::open_dml, index_kind::open_dml, "odml"},
                                           layout_case{index_layout::none, index_kind::scan, "none"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(avi_round_trip_edges, empty_stream_and_odd_format) {
    for (index_layout layout : {index_layout::idx1, index_layout::open_dml, index_layout::none}) {
        writer_options options;
        options.layout = layout;
        temp_file file("empty");
        writer w;
        video_format f = make_format();
        f.strf.resize(41);   // an odd format chunk gets a pad byte
        ASSERT_TRUE(w.open(file.path, f, options)) << w.error();
        ASSERT_TRUE(w.close()) << w.error();
        reader r;
        ASSERT_TRUE(r.open(file.path)) << r.error();
        EXPECT_TRUE(r.frames().empty());
        EXPECT_EQ(r.streams()[0].format, f.strf);
        EXPECT_EQ(r.streams()[0].length, 0u);
        EXPECT_FALSE(r.truncated());
    }
}

TEST(avi_open_dml, several_riffs_keep_their_limit) {
    std::vector<test_frame> frames = make_frames(60, 300);
    writer_options options;
    options.layout = index_layout::open_dml;
    options.riff_limit = 6000;
    bytes image = written(frames, options, "riffs");

    // Top-level RIFFs: 'AVI ' then 'AVIX', none past the limit.
    std::vector<uint32_t> forms;
    for (size_t pos = 0; pos + 12 <= image.size();) {
        ASSERT_EQ(get32(image, pos), id::riff);
        uint32_t size = get32(image, pos + 4);
        EXPECT_LE(size + 8u, options.riff_limit);
        forms.push_back(get32(image, pos + 8));
        pos += 8 + size + (size & 1);
    }
    ASSERT_GE(forms.size(), 4u);
    EXPECT_EQ(forms[0], id::avi);
    for (size_t i = 1; i < forms.size(); ++i)
        EXPECT_EQ(forms[i], id::avix);

    reader r;
    ASSERT_TRUE(r.open_memory(image.data(), image.size())) << r.error();
    EXPECT_EQ(r.kind(), index_kind::open_dml);
    EXPECT_EQ(r.header().odml_total_frames, frames.size());
    EXPECT_LT(r.header().total_frames, frames.size());   // avih counts the first RIFF only
    EXPECT_EQ(r.streams()[0].length, frames.size());
    expect_frames(r, frames, true);

    // Without the super index the idx1 covers only the first RIFF: the reader
    // walks every RIFF's 'movi' instead.
    bytes no_indx = image;
    set32(no_indx, find_fourcc(no_indx, id::indx), id::junk);
    ASSERT_TRUE(r.open_memory(no_indx.data(), no_indx.size())) << r.error();
    EXPECT_EQ(r.kind(), index_kind::scan);
    expect_frames(r, frames, false);
}

TEST(avi_open_dml, first_riff_keeps_an_idx1_for_older_readers) {
    std::vector<test_frame> frames = make_frames(30, 300);
    writer_options options;
    options.layout = index_layout::open_dml;
    options.riff_limit = 4000;
    bytes image = written(frames, options, "idx1odml");

    uint32_t first_riff_size = get32(image, 4);
    bytes first(image.begin(), image.begin() + 8 + first_riff_size);
    set32(first, find_fourcc(first, id::indx), id::junk);
    reader r;
    ASSERT_TRUE(r.open_memory(first.data(), first.size())) << r.error();
    EXPECT_EQ(r.kind(), index_kind::idx1_relative);
    ASSERT_EQ(r.frames().size(), r.header().total_frames);
    expect_frames(r, std::vector<test_frame>(frames.begin(), frames.begin() + r.header().total_frames), true);
}

// ---------------------------------------------------------------------------
// Index choice and damaged indexes

TEST(avi_index, idx1_with_absolute_offsets) {
    std::vector<test_frame> frames = make_frames(15);
    bytes image = written(frames, {}, "abs");
    size_t movi_fourcc = find_fourcc(image, id::movi);
    size_t idx1 = find_fourcc(image, id::idx1);
    uint32_t entries = get32(image, idx1 + 4) / 16;
    for (uint32_t i = 0; i < entries; ++i) {
        size_t at = idx1 + 8 + i * 16 + 8;
        set32(image, at, uint32_t(get32(image, at) + movi_fourcc));
    }
    reader r;
    ASSERT_TRUE(r.open_memory(image.data(), image.size())) << r.error();
    EXPECT_EQ(r.kind(), index_kind::idx1_absolute);
    expect_frames(r, frames, true);
}

TEST(avi_index, damaged_idx1_falls_back_to_scan) {
    std::vector<test_frame> frames = make_frames(15);
    bytes image = written(frames, {}, "damaged");
    size_t idx1 = find_fourcc(image, id::idx1);
    const size_t last = idx1 + 8 + 14 * 16;
    struct damage {
        const char* what;
        size_t at;
        uint32_t value;
    };
    for (damage d : {damage{"offset past the file", last + 8, 0x7FFFFFF0u},
                     damage{"offset to another chunk", last + 8, get32(image, idx1 + 8 + 8)},
                     damage{"wrong size", last + 12, 3}, damage{"wrong id", last, fourcc('0', '0', 'd', 'b')}}) {
        SCOPED_TRACE(d.what);
        bytes bad = image;
        set32(bad, d.at, d.value);
        reader r;
        ASSERT_TRUE(r.open_memory(bad.data(), bad.size())) << r.error();
        EXPECT_EQ(r.kind(), index_kind::scan);
        EXPECT_FALSE(r.truncated());
        expect_frames(r, frames, false);
    }
}

TEST(avi_index, damaged_open_dml_index_falls_back) {
    std::vector<test_frame> frames = make_frames(20);
    writer_options options;
    options.layout = index_layout::open_dml;
    bytes image = written(frames, options, "badix");
    size_t ix = find_fourcc(image, id::ix00);
    struct damage {
        const char* what;
        size_t at;
        uint32_t value;
    };
    for (damage d : {damage{"entry count past the chunk", ix + 12, 1000},
                     damage{"entry offset", ix + 32 + 5 * 8, 2},
                     damage{"entry size", ix + 32 + 5 * 8 + 4, 0x80000001u},
                     damage{"base offset", ix + 20, 0x10000}}) {
        SCOPED_TRACE(d.what);
        bytes bad = image;
        set32(bad, d.at, d.value);
        reader r;
        ASSERT_TRUE(r.open_memory(bad.data(), bad.size())) << r.error();
        // One RIFF: its idx1 is still sound.
        EXPECT_EQ(r.kind(), index_kind::idx1_relative);
        expect_frames(r, frames, true);
    }
    // A super index entry pointing at the super index itself.
    bytes bad = image;
    size_t indx = find_fourcc(bad, id::indx);
    set32(bad, indx + 8 + 24, uint32_t(indx));
    reader r;
    ASSERT_TRUE(r.open_memory(bad.data(), bad.size())) << r.error();
    EXPECT_EQ(r.kind(), index_kind::idx1_relative);
}

TEST(avi_index, rec_lists_other_streams_and_idx1_list_entries) {
    // Stream 0 video, stream 1 audio; frames inside 'rec ' lists and loose.
    builder b;
    b.begin_list(id::riff, id::avi);
    b.begin_list(id::list, id::hdrl);
    b.chunk(id::avih, bytes(56));
    b.strl(fourcc('a', 'u', 'd', 's'), 0, bytes(16, 1));
    b.strl(id::vids, handler_ruv1, bytes(80, 2));
    b.end();
    b.begin_list(id::list, id::movi);
    size_t movi_fourcc = b.out.size() - 4;
    struct entry {
        uint32_t chunk_id;
        uint32_t flags;
        size_t header;
        uint32_t size;
    };
    std::vector<entry> index;
    std::vector<bytes> video = {bytes(5, 9), bytes(), bytes(12, 7), bytes(3, 4)};
    for (size_t i = 0; i < video.size(); ++i) {
        bool in_rec = i < 2;
        if (in_rec) {
            b.begin_list(id::list, id::rec);
            index.push_back({id::rec, 1, b.out.size() - 12, 0});
        }
        uint32_t audio_id = fourcc('0', '0', 'w', 'b');
        index.push_back({audio_id, 0x10, b.chunk(audio_id, bytes(7, 3)), 7});
        uint32_t video_id = i == 3 ? fourcc('0', '1', 'd', 'b') : fourcc('0', '1', 'd', 'c');
        index.push_back({video_id, i == 0 ? 0x10u : 0u, b.chunk(video_id, video[i]), uint32_t(video[i].size())});
        if (in_rec)
            b.end();
    }
    b.end();
    bytes without_index = b.out;
    set32(without_index, 4, uint32_t(without_index.size() - 8));

    b.begin(id::idx1);
    for (const entry& e : index) {
        b.u32(e.chunk_id);
        b.u32(e.flags);
        b.u32(uint32_t(e.header - movi_fourcc));
        b.u32(e.size);
    }
    b.end();
    b.end();

    reader r;
    ASSERT_TRUE(r.open_memory(b.out.data(), b.out.size())) << r.error();
    EXPECT_EQ(r.stream(), 1u);   // the first video stream
    EXPECT_EQ(r.kind(), index_kind::idx1_relative);
    ASSERT_EQ(r.frames().size(), video.size());
    EXPECT_TRUE(r.frames()[0].keyframe);
    EXPECT_FALSE(r.frames()[1].keyframe);
    bytes data;
    for (size_t i = 0; i < video.size(); ++i) {
        ASSERT_TRUE(r.read_frame(i, data));
        EXPECT_EQ(data, video[i]);
    }
    // The audio stream lists its chunks, whatever their letters.
    EXPECT_TRUE(r.select_stream(0));
    ASSERT_EQ(r.frames().size(), video.size());
    EXPECT_EQ(r.chunk_id(2), fourcc('0', '0', 'w', 'b'));
    ASSERT_TRUE(r.read_frame(2, data));
    EXPECT_EQ(data, bytes(7, 3));
    EXPECT_FALSE(r.select_stream(2));

    ASSERT_TRUE(r.open_memory(without_index.data(), without_index.size())) << r.error();
    EXPECT_EQ(r.kind(), index_kind::scan);
    ASSERT_EQ(r.frames().size(), video.size());
    for (size_t i = 0; i < video.size(); ++i) {
        ASSERT_TRUE(r.read_frame(i, data));
        EXPECT_EQ(data, video[i]);
    }
    EXPECT_FALSE(r.read_frame(video.size(), data));
}

// ---------------------------------------------------------------------------
// Truncated and unfinished files

TEST(avi_truncated, every_cut_keeps_the_whole_frames) {
    for (index_layout layout : {index_layout::idx1, index_layout::open_dml}) {
        std::vector<test_frame> frames = make_frames(12);
        writer_options options;
        options.layout = layout;
        options.riff_limit = 500;
        bytes image = written(frames, options, "cut");
        size_t movi_data = find_fourcc(image, id::movi) + 4;
        for (size_t cut = 0; cut < image.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            reader r;
            bool opened = r.open_memory(image.data(), cut);
            if (cut < movi_data) {
                // Cut inside the headers: a clear refusal or no frames.
                if (opened)
                    EXPECT_TRUE(r.frames().empty());
                else
                    EXPECT_FALSE(r.error().empty());
                continue;
            }
            ASSERT_TRUE(opened) << r.error();
            EXPECT_TRUE(r.truncated());
            // Frames that end before the cut are listed, in order; the rest not.
            size_t whole = 0;
            bytes data;
            for (const frame_entry& e : r.frames()) {
                ASSERT_LE(e.offset + e.size, cut);
                ASSERT_TRUE(r.read_frame(whole, data));
                ASSERT_EQ(data, frames[whole].data);
                ++whole;
            }
            size_t expected = 0;
            reader full;
            ASSERT_TRUE(full.open_memory(image.data(), image.size()));
            while (expected < full.frames().size() && full.frames()[expected].offset + full.frames()[expected].size <= cut)
                ++expected;
            EXPECT_EQ(whole, expected);
        }
    }
}

TEST(avi_truncated, unfinished_sizes_are_read_to_the_end) {
    // A writer that stopped before patching leaves RIFF and 'movi' sizes at 0.
    std::vector<test_frame> frames = make_frames(9);
    writer_options options;
    options.layout = index_layout::none;
    bytes image = written(frames, options, "unfinished");
    set32(image, 4, 0);
    set32(image, find_fourcc(image, id::movi) - 4, 0);
    reader r;
    ASSERT_TRUE(r.open_memory(image.data(), image.size())) << r.error();
    EXPECT_TRUE(r.truncated());
    expect_frames(r, frames, false);
}

TEST(avi_large, frames_past_4_gib_are_read_from_the_file) {
    // An 'AVIX' RIFF holding a JUNK chunk of nearly 4 GiB, written sparse, puts
    // the next RIFF's frame beyond what 32-bit offsets reach.
    builder b;
    b.begin_list(id::riff, id::avi);
    b.begin_list(id::list, id::hdrl);
    b.strl(id::vids, handler_ruv1, bytes(80, 6));
    b.end();
    b.begin_list(id::list, id::movi);
    b.chunk(id::frame00, bytes(5, 1));
    b.end();
    b.end();
    const uint32_t junk_size = 0xFFFFFF00u;
    b.begin_list(id::riff, id::avix);
    b.u32(id::junk);
    b.u32(junk_size);
    const uint64_t junk_end = b.out.size() + uint64_t(junk_size);
    set32(b.out, b.open_chunks.back() + 4, junk_size + 12);
    b.open_chunks.clear();
    builder tail;
    tail.begin_list(id::riff, id::avix);
    tail.begin_list(id::list, id::movi);
    bytes last(33);
    for (size_t i = 0; i < last.size(); ++i)
        last[i] = uint8_t(i * 5);
    tail.chunk(id::frame00, last);
    tail.end();
    tail.end();

    temp_file file("large");
    std::FILE* f = std::fopen(file.path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    bool written_ok = std::fwrite(b.out.data(), 1, b.out.size(), f) == b.out.size() &&
                      seek_file(f, junk_end) && std::fwrite(tail.out.data(), 1, tail.out.size(), f) == tail.out.size();
    if (std::fclose(f) != 0 || !written_ok)
        GTEST_SKIP() << "cannot write a sparse file of 4 GiB here";

    reader r;
    ASSERT_TRUE(r.open(file.path)) << r.error();
    EXPECT_FALSE(r.truncated());
    EXPECT_EQ(r.kind(), index_kind::scan);
    ASSERT_EQ(r.frames().size(), 2u);
    EXPECT_EQ(r.frames()[1].offset, junk_end + 32);
    bytes data;
    ASSERT_TRUE(r.read_frame(1, data)) << r.error();
    EXPECT_EQ(data, last);
}

// ---------------------------------------------------------------------------
// Input that is not a usable AVI file

TEST(avi_refused, foreign_and_broken_input) {
    reader r;
    EXPECT_FALSE(r.open_memory(nullptr, 0));
    EXPECT_EQ(r.error(), "not a RIFF AVI file");
    const char wave[] = "RIFF\x24\0\0\0WAVEfmt ";
    EXPECT_FALSE(r.open_memory(reinterpret_cast<const uint8_t*>(wave), sizeof wave - 1));
    EXPECT_EQ(r.error(), "not a RIFF AVI file");
    const char text[] = "just some text, not a video file at all";
    EXPECT_FALSE(r.open_memory(reinterpret_cast<const uint8_t*>(text), sizeof text - 1));

    bytes image = written(make_frames(3), {}, "foreign");
    bytes audio_only = image;
    set32(audio_only, find_fourcc(audio_only, id::vids), fourcc('a', 'u', 'd', 's'));
    EXPECT_FALSE(r.open_memory(audio_only.data(), audio_only.size()));
    EXPECT_EQ(r.error(), "no video stream");
    EXPECT_TRUE(r.streams().empty());

    bytes no_movi = image;
    set32(no_movi, find_fourcc(no_movi, id::movi), fourcc('m', 'o', 'v', 'X'));
    EXPECT_FALSE(r.open_memory(no_movi.data(), no_movi.size()));
    EXPECT_EQ(r.error(), "no 'movi' list");

    temp_file missing("missing");
    EXPECT_FALSE(r.open(missing.path));
    EXPECT_NE(r.error().find("cannot open"), std::string::npos);
}

TEST(avi_refused, hostile_sizes_and_nesting) {
    // 'rec ' lists nested far deeper than any writer makes, around one frame.
    builder b;
    b.begin_list(id::riff, id::avi);
    b.begin_list(id::list, id::hdrl);
    b.strl(id::vids, handler_ruv1, bytes(80));
    b.end();
    b.begin_list(id::list, id::movi);
    for (int i = 0; i < 1000; ++i)
        b.begin_list(id::list, id::rec);
    b.chunk(id::frame00, bytes(4, 1));
    for (int i = 0; i < 1000; ++i)
        b.end();
    b.chunk(id::frame00, bytes(6, 2));
    b.end();
    b.end();
    reader r;
    ASSERT_TRUE(r.open_memory(b.out.data(), b.out.size())) << r.error();
    ASSERT_EQ(r.frames().size(), 1u);   // the deep one is skipped
    EXPECT_EQ(r.frames()[0].size, 6u);

    // A frame chunk claiming 4 GiB inside a small file.
    bytes image = written(make_frames(4), {}, "hostile");
    bytes huge = image;
    set32(huge, find_fourcc(huge, id::frame00) + 4, 0xFFFFFFF0u);
    ASSERT_TRUE(r.open_memory(huge.data(), huge.size())) << r.error();
    EXPECT_EQ(r.kind(), index_kind::scan);
    EXPECT_TRUE(r.frames().empty());
    EXPECT_TRUE(r.truncated());
}

// ---------------------------------------------------------------------------
// Write errors

TEST(avi_writer_errors, unusable_arguments_and_paths) {
    writer w;
    temp_file file("args");
    video_format f = make_format();
    f.rate = 0;
    EXPECT_FALSE(w.open(file.path, f));
    EXPECT_FALSE(file.exists());
    EXPECT_FALSE(w.write_frame(nullptr, 0, true));
    EXPECT_FALSE(w.close());

    std::string no_dir = (std::filesystem::temp_directory_path() / "ruv_no_such_dir" / "x.avi").string();
    EXPECT_FALSE(w.open(no_dir, make_format()));
    EXPECT_NE(w.error().find("cannot create"), std::string::npos);

    ASSERT_TRUE(w.open(file.path, make_format()));
    EXPECT_FALSE(w.open(file.path, make_format()));
    EXPECT_FALSE(w.write_frame(nullptr, 10, true));   // data missing: the file is spoiled
    EXPECT_FALSE(w.write_frame(make_frames(1)[0].data.data(), 40, true));
    EXPECT_FALSE(w.close());
    EXPECT_FALSE(file.exists());
}

TEST(avi_writer_errors, failed_close_leaves_no_file) {
    // One RIFF per frame runs out of super index entries.
    temp_file file("full_index");
    writer_options options;
    options.layout = index_layout::open_dml;
    options.riff_limit = 1;
    writer w;
    ASSERT_TRUE(w.open(file.path, make_format(), options));
    uint8_t data[4] = {1, 2, 3, 4};
    bool ok = true;
    size_t written_frames = 0;
    for (size_t i = 0; i < super_index_capacity + 5 && ok; ++i)
        if ((ok = w.write_frame(data, sizeof data, true)))
            ++written_frames;
    EXPECT_FALSE(ok);
    EXPECT_EQ(written_frames, super_index_capacity);
    EXPECT_NE(w.error().find("super index"), std::string::npos);
    EXPECT_FALSE(w.close());
    EXPECT_FALSE(file.exists());

    // A writer dropped without close abandons its file.
    {
        writer dropped;
        ASSERT_TRUE(dropped.open(file.path, make_format()));
        EXPECT_TRUE(dropped.write_frame(data, sizeof data, true));
        EXPECT_TRUE(file.exists());
    }
    EXPECT_FALSE(file.exists());
}

#ifdef __linux__
TEST(avi_writer_errors, disk_full) {
    // A link to the full device: writes fail, and removing the link is harmless.
    temp_file link("disk_full");
    std::error_code ec;
    std::filesystem::create_symlink("/dev/full", link.path, ec);
    if (ec)
        GTEST_SKIP() << "no symbolic link to /dev/full";
    writer w;
    bool ok = w.open(link.path, make_format());
    bytes frame(100000, 5);
    for (int i = 0; i < 4 && ok; ++i)
        ok = w.write_frame(frame.data(), frame.size(), true);
    EXPECT_FALSE(w.close());
    EXPECT_NE(w.error().find("No space"), std::string::npos) << w.error();
    EXPECT_FALSE(std::filesystem::is_symlink(link.path));
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}
#endif

// Video and copied streams round the video stream, in every index layout: each
// stream reads back chunk for chunk with its flags, the copied headers byte for
// byte, and the chunks in the order written.
TEST(avi_writer_streams, copied_streams_read_back_in_every_layout) {
    copied_stream audio;
    audio.strh = bytes(56, 0);
    set32(audio.strh, 0, fourcc('a', 'u', 'd', 's'));
    set32(audio.strh, 44, 4);   // dwSampleSize: 16-bit stereo
    audio.strf = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0};
    audio.chunk_id = fourcc('0', '1', 'w', 'b');   // renumbered as stream 0
    copied_stream text;
    text.strh = bytes(64, 7);   // longer than usual: kept whole
    set32(text.strh, 0, fourcc('t', 'x', 't', 's'));
    text.strf = {9};
    text.chunk_id = fourcc('0', '0', 't', 'x');

    for (index_layout layout : {index_layout::idx1, index_layout::open_dml, index_layout::none}) {
        temp_file file("streams");
        writer_options options;
        options.layout = layout;
        options.riff_limit = 700;   // several RIFFs in the OpenDML layout
        video_format video = make_format();
        video.uncompressed = true;
        writer w;
        ASSERT_TRUE(w.open(file.path, video, options, {audio, text}, 1)) << w.error();
        std::vector<bytes> chunks[3];
        for (uint8_t n = 0; n < 30; ++n) {
            const size_t stream = n % 3 == 0 ? 1 : n % 3 == 1 ? 0 : 2;
            const bytes data(n % 5 == 4 && stream == 1 ? 0 : 11 + n, n);   // some dropped frames
            ASSERT_TRUE(w.write_chunk(stream, data.data(), data.size(), stream != 1 || n % 9 == 0)) << w.error();
            chunks[stream].push_back(data);
        }
        ASSERT_TRUE(w.close()) << w.error();

        reader r;
        ASSERT_TRUE(r.open(file.path)) << r.error();
        ASSERT_EQ(r.streams().size(), 3u);
        EXPECT_EQ(r.header().streams, 3u);
        EXPECT_EQ(r.streams()[0].header, audio.strh);
        EXPECT_EQ(r.streams()[0].format, audio.strf);
        EXPECT_EQ(r.streams()[2].header, text.strh);
        EXPECT_EQ(r.stream(), 1u);
        uint64_t last_offset[3] = {};
        for (size_t stream = 0; stream < 3; ++stream) {
            ASSERT_TRUE(r.select_stream(stream));
            EXPECT_EQ(r.kind(), layout == index_layout::none       ? index_kind::scan
                                : layout == index_layout::open_dml ? index_kind::open_dml
                                                                   : index_kind::idx1_relative);
            ASSERT_EQ(r.frames().size(), chunks[stream].size()) << int(layout) << " " << stream;
            for (size_t i = 0; i < chunks[stream].size(); ++i) {
                bytes data;
                ASSERT_TRUE(r.read_frame(i, data));
                EXPECT_EQ(data, chunks[stream][i]);
                if (layout != index_layout::none) {
                    EXPECT_EQ(r.frames()[i].keyframe, stream != 1 || (3 * i) % 9 == 0);
                }
            }
            EXPECT_EQ(r.chunk_id(0), stream == 0 ? fourcc('0', '0', 'w', 'b')
                                     : stream == 1 ? fourcc('0', '1', 'd', 'b')
                                                   : fourcc('0', '2', 't', 'x'));
            last_offset[stream] = r.frames().back().offset;
        }
        // Interleaved as written: the last video frame comes before the last audio and text chunks.
        EXPECT_LT(last_offset[1], last_offset[0]);
        EXPECT_LT(last_offset[0], last_offset[2]);
    }
}

}  // namespace
