// Unpacking mode tables into m_table_opt: packed records (coding modes 1 and 2)
// and run-length code bytes (coding modes 3 and 4), well-formed and not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "decoder.h"
#include "frame_builders.h"

namespace ruv {
namespace {

using frames::bytes;
using frames::exact_buffer;

// A context whose table holds a marker in every byte, so that untouched entries show.
void set_up_marked(DecoderContext& ctx, int32_t w, int32_t h, uint32_t mode) {
    ASSERT_TRUE(ctx.setup(w, h, mode, compression_yuy2));
    std::memset(ctx.m_table_opt, 0xEE, ctx.block_count() * 4);
}

frame_fault unpack_packed(DecoderContext& ctx, const bytes& area) {
    const exact_buffer b(area);
    return ctx.unpack_packed_table(b.data(), b.data() + b.size);
}

frame_fault unpack_rle(DecoderContext& ctx, const bytes& codes) {
    const exact_buffer b(codes);
    return ctx.unpack_rle_table(b.data(), b.data() + b.size);
}

bytes with_payload(size_t n, const bytes& record) {
    bytes r(n, 0x77);
    frames::append(r, record);
    return r;
}

bytes concat(const bytes& a, const bytes& b) {
    bytes r = a;
    frames::append(r, b);
    return r;
}

TEST(PackedTable, Mode2RecordWithAllPayloadSizes) {
    frames::coded_block b;
    const uint8_t codes[6] = {3, 2, 1, 0, 2, 3};
    std::copy(codes, codes + 6, b.code);
    EXPECT_EQ(frames::mode_record(b, 2), bytes({0x4B, 0x0E}));
    EXPECT_EQ(frames::payload_size(b), 10u);

    DecoderContext ctx;
    set_up_marked(ctx, 8, 2, 2);
    EXPECT_EQ(unpack_packed(ctx, with_payload(10, {0x4B, 0x0E})), frame_fault::none);
    EXPECT_EQ(frames::table_of(ctx), bytes({0x1A, 0x01, 0x02, 0x03}));
}

// Each record follows a known 12- or 5-byte record, so a wrong record length
// would misplace that one's entry.
TEST(PackedTable, RecordsAndTheirLengths) {
    struct record_case {
        uint32_t mode;
        bytes record;
        size_t payload;
        bytes entry;
    };
    const record_case cases[] = {
        {1, {0xC0}, 0, {0, 0, 0, 0}},
        {1, {0x3F}, 24, {0x09, 0x01, 0x09, 0x01}},
        {1, {0x20}, 4, {0x08, 0, 0, 0}},
        {1, {0x15}, 12, {0x01, 0x00, 0x08, 0x01}},
        {2, {0x00, 0xF0}, 0, {0, 0, 0, 0}},
        {2, {0xFF, 0x0F}, 12, {0x1B, 0x03, 0x1B, 0x03}},
        {2, {0xAA, 0x0A}, 6, {0x12, 0x02, 0x12, 0x02}},
        {2, {0x4B, 0xFE}, 10, {0x1A, 0x01, 0x02, 0x03}},
    };
    for (const auto& c : cases) {
        DecoderContext ctx;
        set_up_marked(ctx, 16, 2, c.mode);
        const bytes lead = c.mode == 1 ? with_payload(4, {0x04}) : with_payload(10, {0x4B, 0x0E});
        const bytes lead_entry = c.mode == 1 ? bytes({0, 0, 0x08, 0}) : bytes({0x1A, 0x01, 0x02, 0x03});
        EXPECT_EQ(unpack_packed(ctx, concat(lead, with_payload(c.payload, c.record))), frame_fault::none)
            << "mode " << c.mode << " record " << int(c.record[0]);
        EXPECT_EQ(frames::table_of(ctx), concat(lead_entry, c.entry)) << "mode " << c.mode << " record " << int(c.record[0]);
    }
}

// The walk runs from the end: the last record fills the last entry.
TEST(PackedTable, WalkFillsFromTheEnd) {
    DecoderContext ctx;
    set_up_marked(ctx, 16, 2, 1);
    EXPECT_EQ(unpack_packed(ctx, concat(with_payload(4, {0x02}), {0x40})), frame_fault::none);
    EXPECT_EQ(frames::table_of(ctx), bytes({0, 0, 0x01, 0, 0, 0, 0, 0}));

    DecoderContext two_rows;
    set_up_marked(two_rows, 8, 4, 2);
    EXPECT_EQ(unpack_packed(two_rows, concat(with_payload(1, {0x00, 0x08}), with_payload(4, {0x01, 0x00}))),
              frame_fault::none);
    EXPECT_EQ(frames::table_of(two_rows), bytes({0x10, 0, 0, 0, 0, 0, 0, 0x01}));
}

TEST(PackedTable, EmptyAreaWritesNothing) {
    for (uint32_t mode : {1u, 2u}) {
        DecoderContext ctx;
        set_up_marked(ctx, 8, 2, mode);
        EXPECT_EQ(unpack_packed(ctx, {}), frame_fault::record_count);
        EXPECT_EQ(frames::table_of(ctx), bytes(4, 0xEE));
    }
}

TEST(PackedTable, RecordReachingBeforeTheAreaStopsTheWalk) {
    // The second record is whole; the first claims 4 payload bytes where there is one.
    DecoderContext ctx;
    set_up_marked(ctx, 16, 2, 1);
    EXPECT_EQ(unpack_packed(ctx, {0x99, 0x01, 1, 2, 3, 4, 0x01}), frame_fault::table_truncated);
    EXPECT_EQ(frames::table_of(ctx), bytes({0xEE, 0xEE, 0xEE, 0xEE, 0, 0, 0, 0x01}));

    DecoderContext mode2;
    set_up_marked(mode2, 8, 2, 2);
    // Chroma of cell pair 0 LITERAL: four payload bytes, of which one is there.
    EXPECT_EQ(unpack_packed(mode2, {0x55, 0x40, 0x00}), frame_fault::table_truncated);
    EXPECT_EQ(frames::table_of(mode2), bytes(4, 0xEE));
    // Not even room for the two-byte mode record.
    EXPECT_EQ(unpack_packed(mode2, {0x00}), frame_fault::table_truncated);
    EXPECT_EQ(frames::table_of(mode2), bytes(4, 0xEE));
}

TEST(PackedTable, MoreRecordsThanBlocksStopsWhenTheTableIsFull) {
    DecoderContext ctx;
    set_up_marked(ctx, 8, 2, 1);
    EXPECT_EQ(unpack_packed(ctx, concat(with_payload(4, {0x20}), {0x00})), frame_fault::table_overflow);
    EXPECT_EQ(frames::table_of(ctx), bytes(4, 0));

    DecoderContext mode2;
    set_up_marked(mode2, 8, 2, 2);
    EXPECT_EQ(unpack_packed(mode2, concat(with_payload(6, {0xAA, 0x0A}), with_payload(1, {0x00, 0x08}))),
              frame_fault::table_overflow);
    EXPECT_EQ(frames::table_of(mode2), bytes({0x10, 0, 0, 0}));
}

TEST(PackedTable, FewerRecordsThanBlocksKeepsTheLeadingEntries) {
    DecoderContext ctx;
    set_up_marked(ctx, 16, 2, 2);
    EXPECT_EQ(unpack_packed(ctx, with_payload(1, {0x00, 0x08})), frame_fault::record_count);
    EXPECT_EQ(frames::table_of(ctx), bytes({0xEE, 0xEE, 0xEE, 0xEE, 0x10, 0, 0, 0}));
}

// Payload bytes of a mode record's six codes.
size_t record_payload(uint32_t mode, uint32_t d) {
    static const size_t size2[4] = {0, 4, 1, 2};
    size_t payload = 0;
    for (int i = 0; i < 6; ++i) payload += mode == 1 ? 4 * (d >> i & 1) : size2[d >> (2 * i) & 3];
    return payload;
}

// The packed records read the plainest way, from the end.
frame_fault model_packed(bytes& table, size_t blocks, uint32_t mode, const bytes& area) {
    size_t left = area.size(), entries = blocks;
    while (left > 0) {
        if (left < mode) return frame_fault::table_truncated;
        const uint32_t d = mode == 1 ? area[left - 1] : uint32_t(area[left - 2]) | uint32_t(area[left - 1]) << 8;
        const size_t payload = record_payload(mode, d);
        if (left - mode < payload) return frame_fault::table_truncated;
        if (entries == 0) return frame_fault::table_overflow;
        --entries;
        uint32_t code[6];  // in decoding order
        for (int i = 0; i < 6; ++i) code[i] = mode == 1 ? d >> (5 - i) & 1 : d >> (10 - 2 * i) & 3;
        const uint8_t entry[4] = {uint8_t(code[0] << 3 | code[1]), uint8_t(code[2]), uint8_t(code[3] << 3 | code[4]),
                                  uint8_t(code[5])};
        std::memcpy(&table[4 * entries], entry, 4);
        left -= mode + payload;
    }
    return entries == 0 ? frame_fault::none : frame_fault::record_count;
}

// Random record areas against the model, at every kernel level: as many records
// as blocks, fewer or more, records whose payload does not match their codes, or
// an area cut at its start; areas of up to several thousand bytes, so that walks
// pass where the levels that find record lengths ahead start a new stretch.
TEST(PackedTable, MatchesThePlainReadingOfTheFormat) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 400; ++trial) {
        const uint32_t mode = 1 + uint32_t(trial % 2);
        const int32_t width = 8 * int32_t(1 + rng() % 60), height = 2 * int32_t(1 + rng() % 30);
        const size_t blocks = size_t(width / 8) * size_t(height / 2);
        const size_t records = trial % 4 == 0 ? blocks : trial % 4 == 1 ? rng() % (blocks + 1) : blocks + rng() % 3;
        const bool garbled = trial % 5 == 4;
        bytes area;
        for (size_t r = 0; r < records; ++r) {
            // Mostly few codes with payload, as in moving pictures; any mode record value.
            const uint32_t d = uint32_t(rng() % 4 ? rng() & rng() & rng() : rng());
            frames::append(area, frames::random_bytes(rng, garbled ? rng() % 25 : record_payload(mode, d)));
            area.push_back(uint8_t(d));
            if (mode == 2) area.push_back(uint8_t(d >> 8));
        }
        if (trial % 8 == 3 && !area.empty()) area.erase(area.begin(), area.begin() + ptrdiff_t(1 + rng() % 4));
        bytes before(4 * blocks);
        for (auto& x : before) x = uint8_t(rng());
        bytes expected = before;
        const frame_fault want = model_packed(expected, blocks, mode, area);
        for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
            DecoderContext ctx;
            ctx.m_kernel_mask = level.mask;
            ASSERT_TRUE(ctx.setup(width, height, mode, compression_yuy2));
            std::memcpy(ctx.m_table_opt, before.data(), before.size());
            EXPECT_EQ(unpack_packed(ctx, area), want) << "trial " << trial << ", " << level.name;
            ASSERT_EQ(frames::table_of(ctx), expected) << "trial " << trial << ", " << level.name;
        }
    }
}

struct rle_case {
    bytes codes;
    bytes expected;
};

TEST(RleTable, InterleavedLumaAndChroma) {
    for (const bytes& codes : {bytes({0x1D, 0x41, 0x02, 0x3F, 0x9D, 0x80}), bytes({0x9D, 0x80, 0x1D, 0x41, 0x02, 0x3F})}) {
        DecoderContext ctx;
        set_up_marked(ctx, 16, 2, 3);
        EXPECT_EQ(unpack_rle(ctx, codes), frame_fault::none);
        EXPECT_EQ(frames::table_of(ctx), bytes({0x1D, 0x03, 0x41, 0x05, 0x41, 0x00, 0x3F, 0x00}));
    }
}

TEST(RleTable, SingleEntriesAndShortRuns) {
    const bytes ee(16, 0xEE);
    auto with = [&](std::initializer_list<std::pair<size_t, uint8_t>> set) {
        bytes t = ee;
        for (auto [at, value] : set) t[at] = value;
        return t;
    };
    const rle_case cases[] = {
        {{}, ee},
        {{0x41, 0x03}, with({{0, 0x41}, {2, 0x41}, {4, 0x41}})},
        {{0x9D}, with({{1, 3}, {3, 5}})},
        {{0xC7, 0x01}, with({{1, 0}, {3, 7}})},
        {{0x05, 0xC1, 0x02, 0x3F}, with({{0, 0x05}, {2, 0x3F}, {1, 0}, {3, 1}, {5, 0}, {7, 1}})},
        {{0x40, 0x04, 0xC0, 0x02}, with({{0, 0x40}, {1, 0}, {2, 0x40}, {3, 0}, {4, 0x40}, {5, 0}, {6, 0x40}, {7, 0}})},
    };
    for (const auto& c : cases) {
        DecoderContext ctx;
        set_up_marked(ctx, 32, 2, 3);   // 4 blocks: 8 luma entries, 4 chroma entries
        EXPECT_EQ(unpack_rle(ctx, c.codes), frame_fault::none);
        EXPECT_EQ(frames::table_of(ctx), c.expected) << ::testing::PrintToString(c.codes);
    }
}

// A count byte of 0 means 256 entries.
TEST(RleTable, RunsOf256) {
    for (uint8_t luma : {uint8_t(0x7F), uint8_t(0x40)}) {
        DecoderContext ctx;
        set_up_marked(ctx, 64, 64, 4);   // 256 blocks: 512 luma entries, 256 chroma entries
        EXPECT_EQ(unpack_rle(ctx, {luma, 0x00}), frame_fault::none);
        const bytes t = frames::table_of(ctx);
        for (size_t i = 0; i < t.size(); ++i) {
            ASSERT_EQ(t[i], i % 2 == 0 && i < 512 ? luma : 0xEE) << i;
        }
    }
    DecoderContext ctx;
    set_up_marked(ctx, 64, 64, 3);
    EXPECT_EQ(unpack_rle(ctx, {0xC0, 0x00}), frame_fault::none);
    const bytes t = frames::table_of(ctx);
    for (size_t i = 0; i < t.size(); ++i) ASSERT_EQ(t[i], i % 2 == 1 ? 0 : 0xEE) << i;
}

TEST(RleTable, MoreEntriesThanBlocksStopAtTheLimit) {
    // 16x2: two blocks, four luma entries and two chroma entries.
    const rle_case cases[] = {
        // The run is cut at four entries and nothing after it is read.
        {{0x41, 0x05, 0x9D}, {0x41, 0xEE, 0x41, 0xEE, 0x41, 0xEE, 0x41, 0xEE}},
        {{0x7F, 0x00}, {0x7F, 0xEE, 0x7F, 0xEE, 0x7F, 0xEE, 0x7F, 0xEE}},
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x9D}, {0x01, 0xEE, 0x02, 0xEE, 0x03, 0xEE, 0x04, 0xEE}},
        {{0xC1, 0x03, 0x01}, {0xEE, 0x00, 0xEE, 0x01, 0xEE, 0x00, 0xEE, 0x01}},
        {{0x9D, 0x9D, 0x9D}, {0xEE, 0x03, 0xEE, 0x05, 0xEE, 0x03, 0xEE, 0x05}},
    };
    for (const auto& c : cases) {
        DecoderContext ctx;
        set_up_marked(ctx, 16, 2, 3);
        EXPECT_EQ(unpack_rle(ctx, c.codes), frame_fault::table_overflow) << ::testing::PrintToString(c.codes);
        EXPECT_EQ(frames::table_of(ctx), c.expected) << ::testing::PrintToString(c.codes);
    }
    // Filling the table exactly is no fault.
    DecoderContext ctx;
    set_up_marked(ctx, 16, 2, 3);
    EXPECT_EQ(unpack_rle(ctx, {0x41, 0x04, 0xC1, 0x02}), frame_fault::none);
    EXPECT_EQ(frames::table_of(ctx), bytes({0x41, 0, 0x41, 1, 0x41, 0, 0x41, 1}));
}

TEST(RleTable, RunWithoutCountStops) {
    const rle_case cases[] = {
        {{0x01, 0x41}, {0x01, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {{0x9D, 0xC1}, {0xEE, 0x03, 0xEE, 0x05, 0xEE, 0xEE, 0xEE, 0xEE}},
        {{0x7F}, bytes(8, 0xEE)},
    };
    for (const auto& c : cases) {
        DecoderContext ctx;
        set_up_marked(ctx, 16, 2, 4);
        EXPECT_EQ(unpack_rle(ctx, c.codes), frame_fault::table_truncated) << ::testing::PrintToString(c.codes);
        EXPECT_EQ(frames::table_of(ctx), c.expected) << ::testing::PrintToString(c.codes);
    }
}

// The table format read the plainest way, one entry at a time.
frame_fault model_rle(bytes& table, size_t blocks, const bytes& codes) {
    size_t y = 0, uv = 0, i = 0;
    while (i < codes.size()) {
        const uint8_t b = codes[i++];
        size_t count = 1;
        if (b & 0x40) {
            if (i == codes.size()) return frame_fault::table_truncated;
            count = codes[i++];
            if (count == 0) count = 256;
        }
        for (size_t n = 0; n < count; ++n) {
            if (b < 0x80) {
                if (y == 2 * blocks) return frame_fault::table_overflow;
                table[2 * y++] = b;
            } else {
                if (uv == blocks) return frame_fault::table_overflow;
                table[4 * uv + 1] = (b >> 3) & 7;
                table[4 * uv++ + 3] = b & 7;
            }
        }
    }
    return frame_fault::none;
}

// Random tables against the model, at every kernel level: kinds in long
// stretches or closely mixed, single codes and runs of any length (or nearly all
// of one entry), falling short of the table, filling it, passing it, or cut in a
// run's count byte. Untouched entries keep their bytes, and nothing past the
// table is written.
TEST(RleTable, MatchesThePlainReadingOfTheFormat) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 600; ++trial) {
        const int32_t width = 8 * int32_t(1 + rng() % 40), height = 2 * int32_t(1 + rng() % 30);
        bytes before(4 * size_t(width / 8) * size_t(height / 2));
        const size_t blocks = before.size() / 4;
        for (auto& x : before) x = uint8_t(rng());
        const bool mixed = trial % 2 == 0;
        // Busy pictures: nearly every code one entry, now and then a short or long run.
        const bool busy = trial % 3 == 1;
        // Entries for the whole table, twice as many, fewer, or one too many.
        const size_t entries = 3 * blocks * (trial % 5 == 0 ? 2 : 1) - (trial % 3 == 0 ? rng() % (blocks + 1) : 0) +
                               (trial % 4 == 3 ? 1 : 0);
        // Grouped kinds: luma first, then chroma; with one entry too many, in either kind.
        const size_t luma_entries = trial % 4 == 3 ? 2 * blocks + size_t(trial % 8 == 7) : 2 * entries / 3;
        bytes codes;
        for (size_t made = 0; made < entries;) {
            const bool chroma = mixed ? rng() % 3 == 0 : made >= luma_entries;
            const uint8_t value = uint8_t((chroma ? 0x80 : 0) | (rng() & 0x3F));
            const uint32_t pick = uint32_t(busy ? (rng() % 64 < 62 ? 0 : 5 + rng() % 3) : rng() % 8);
            const size_t count =
                std::min<size_t>(pick < 5 ? 1 : pick < 7 ? 1 + rng() % 5 : 1 + rng() % 300,
                                 (mixed || chroma ? entries : luma_entries) - made);
            if (count == 1 && rng() % 4) {
                codes.push_back(value);
            } else {
                codes.push_back(uint8_t(value | 0x40));
                codes.push_back(uint8_t(std::min<size_t>(count, 256)));
            }
            made += std::min<size_t>(count, 256);
        }
        if (trial % 7 == 0) codes.push_back(uint8_t(0x40 | (rng() & 0xBF)));  // a run cut before its count
        bytes expected = before;
        const frame_fault want = model_rle(expected, blocks, codes);
        for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
            DecoderContext ctx;
            ctx.m_kernel_mask = level.mask;
            ASSERT_TRUE(ctx.setup(width, height, 3, compression_yuy2));
            // The table read into a buffer of the test's own, whose guard bytes after it
            // show any write past the table's end.
            bytes guarded(before);
            guarded.resize(before.size() + 64, 0xA5);
            uint8_t* const own = ctx.m_table_opt;
            ctx.m_table_opt = guarded.data();
            EXPECT_EQ(unpack_rle(ctx, codes), want) << "trial " << trial << ", " << level.name;
            ctx.m_table_opt = own;
            ASSERT_EQ(bytes(guarded.begin(), guarded.begin() + ptrdiff_t(before.size())), expected)
                << "trial " << trial << ", " << level.name;
            ASSERT_EQ(bytes(guarded.begin() + ptrdiff_t(before.size()), guarded.end()), bytes(64, 0xA5))
                << "trial " << trial << ", " << level.name;
        }
    }
}

// A context with no mode table (coding mode 0, or released) ignores both unpackers,
// as does a reversed range.
TEST(ModeTables, NothingToWriteInto) {
    const bytes codes = {0x1D, 0x41, 0x02, 0x9D};
    DecoderContext intra_only;
    ASSERT_TRUE(intra_only.setup(16, 2, 0, compression_yuy2));
    EXPECT_EQ(unpack_rle(intra_only, codes), frame_fault::none);
    EXPECT_EQ(unpack_packed(intra_only, codes), frame_fault::none);

    DecoderContext released;
    ASSERT_TRUE(released.setup(16, 2, 3, compression_yuy2));
    released.release();
    EXPECT_EQ(unpack_rle(released, codes), frame_fault::none);

    DecoderContext ctx;
    set_up_marked(ctx, 16, 2, 2);
    const exact_buffer b(codes);
    EXPECT_EQ(ctx.unpack_packed_table(b.data() + b.size, b.data()), frame_fault::record_count);
    EXPECT_EQ(frames::table_of(ctx), bytes(8, 0xEE));
}

}  // namespace
}  // namespace ruv
