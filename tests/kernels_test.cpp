// Each SIMD kernel level against the scalar kernels, kernel by kernel: row output
// at every length and output offset with guard bytes around it; the sample-block
// rebuild over all codes, payloads and shifts; the row rebuild over random mode
// words and payloads cut short anywhere. Inputs end where an inaccessible page
// begins, so that a read past them faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "decoder.h"
#include "frame_builders.h"

namespace ruv {
namespace {

using frames::bytes;
using frames::exact_buffer;

struct level_kernels {
    const char* name;
    kernel_table table;
};

// The tables of the scalar level (first) and of each SIMD level this machine runs.
std::vector<level_kernels> all_levels() {
    std::vector<level_kernels> out;
    for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
        out.push_back({level.name, {}});
        out.back().table.fill(level.mask);
    }
    return out;
}

TEST(KernelLevels, NamesAndMasks) {
    // The log of every run shows which levels its tests covered.
    std::string here;
    for (const kernel_level& level : kernel_levels(detected_kernel_mask())) here += std::string(" ") + level.name;
    std::printf("kernel levels on this machine:%s\n", here.c_str());
    const kernel_level_list levels = kernel_levels(kernels_all);
    ASSERT_FALSE(levels.empty());
    EXPECT_STREQ(levels[0].name, "scalar");
    EXPECT_EQ(levels[0].mask, 0u);
    for (size_t i = 1; i < levels.size(); ++i) {
        // Each level's mask holds every level below it.
        EXPECT_EQ(levels[i].mask & levels[i - 1].mask, levels[i - 1].mask) << levels[i].name;
        uint32_t mask = 12345;
        EXPECT_TRUE(kernel_mask_of(levels[i].name, mask));
        EXPECT_EQ(mask, levels[i].mask);
    }
    uint32_t mask = 0;
    EXPECT_FALSE(kernel_mask_of("mmx", mask));
    EXPECT_STREQ(kernel_level_name(0), "scalar");
    EXPECT_STREQ(kernel_level_name(kernels_all), kernel_levels(detected_kernel_mask()).back().name);
}

// Two output lines of `length` bytes, each starting on a 32-byte boundary, filled with guard bytes.
struct guarded_lines {
    bytes upper_block, lower_block;
    uint8_t* upper;
    uint8_t* lower;
    size_t length;
    // Both lines start on cache lines, the lower one `skew` bytes after one.
    explicit guarded_lines(size_t n, size_t skew = 0)
        : upper_block(n + 64, 0xA5), lower_block(n + 64 + skew, 0x5A), length(n) {
        upper = upper_block.data() + (64 - reinterpret_cast<uintptr_t>(upper_block.data()) % 64) % 64;
        lower = lower_block.data() + (64 - reinterpret_cast<uintptr_t>(lower_block.data()) % 64) % 64 + skew;
    }
    bytes upper_line() const { return bytes(upper, upper + length); }
    bytes lower_line() const { return bytes(lower, lower + length); }
};

TEST(Kernels, ShowRowsMatchScalar) {
    const std::vector<level_kernels> levels = all_levels();
    std::mt19937 rng(3);
    for (bool rgb : {false, true}) {
        const size_t pair_bytes = rgb ? 16 : 8;
        for (size_t pairs = 0; pairs <= 41; ++pairs) {
            // Lines at every place in a cache line; for odd counts of pairs the
            // lower line 32 bytes further on than the upper one.
            for (size_t offset = 0; offset < 64; ++offset) {
                const exact_buffer cells(frames::random_bytes(rng, 12 * pairs));
                const size_t length = offset + pairs * pair_bytes + 32;
                const size_t skew = pairs % 2 ? 32 : 0;
                guarded_lines expected(length, skew);
                const kernel_table& c = levels[0].table;
                (rgb ? c.show_rgb32 : c.show_yuy2)(cells.data(), pairs, expected.upper + offset, expected.lower + offset);
                for (size_t i = 0; i < length; ++i) {
                    if (i >= offset && i < offset + pairs * pair_bytes) continue;
                    ASSERT_EQ(expected.upper[i], 0xA5) << "scalar wrote outside its line at " << i;
                    ASSERT_EQ(expected.lower[i], 0x5A) << "scalar wrote outside its line at " << i;
                }
                // Every level's plain kernel and its streaming one.
                for (size_t k = 0; k < levels.size(); ++k) {
                    const kernel_table& t = levels[k].table;
                    for (bool stream : {false, true}) {
                        if (k == 0 && !stream) continue;
                        const show_row_kernel show = stream ? (rgb ? t.show_rgb32_stream : t.show_yuy2_stream)
                                                            : (rgb ? t.show_rgb32 : t.show_yuy2);
                        guarded_lines got(length, skew);
                        show(cells.data(), pairs, got.upper + offset, got.lower + offset);
                        t.end_stream();
                        ASSERT_EQ(got.upper_line(), expected.upper_line())
                            << levels[k].name << " stream " << stream << " rgb " << rgb << " pairs " << pairs << " offset " << offset;
                        ASSERT_EQ(got.lower_line(), expected.lower_line())
                            << levels[k].name << " stream " << stream << " rgb " << rgb << " pairs " << pairs << " offset " << offset;
                    }
                }
            }
        }
    }
}

// I420 rows, plain and streamed, at every level against the scalar kernel:
// luma lines at every place in a cache line, chroma lines at some, row lengths
// below and past a streamed step, and nothing written outside the lines.
TEST(Kernels, ShowI420MatchesScalar) {
    const std::vector<level_kernels> levels = all_levels();
    std::mt19937 rng(6);
    for (size_t pairs : {0, 1, 7, 8, 17, 31, 32, 47, 48, 49, 80}) {
        const exact_buffer cells(frames::random_bytes(rng, 12 * pairs));
        for (size_t luma_at = 0; luma_at < 64; ++luma_at) {
            for (size_t chroma_at : {0, 5, 8, 16, 32, 48}) {
                const auto show = [&](show_i420_kernel kernel, guarded_lines& luma, guarded_lines& chroma) {
                    kernel(cells.data(), pairs, luma.upper + luma_at, luma.lower + luma_at, chroma.upper + chroma_at,
                           chroma.lower + chroma_at);
                };
                guarded_lines want_luma(luma_at + 4 * pairs + 32), want_chroma(chroma_at + 2 * pairs + 32);
                show(levels[0].table.show_i420, want_luma, want_chroma);
                for (size_t k = 0; k < levels.size(); ++k) {
                    for (bool stream : {false, true}) {
                        guarded_lines luma(want_luma.length), chroma(want_chroma.length);
                        show(stream ? levels[k].table.show_i420_stream : levels[k].table.show_i420, luma, chroma);
                        levels[k].table.end_stream();
                        const std::string where = levels[k].name + std::string(" stream ") + std::to_string(stream) +
                                                  " pairs " + std::to_string(pairs) + " luma at " +
                                                  std::to_string(luma_at) + " chroma at " + std::to_string(chroma_at);
                        ASSERT_EQ(luma.upper_line(), want_luma.upper_line()) << where;
                        ASSERT_EQ(luma.lower_line(), want_luma.lower_line()) << where;
                        ASSERT_EQ(chroma.upper_line(), want_chroma.upper_line()) << where;
                        ASSERT_EQ(chroma.lower_line(), want_chroma.lower_line()) << where;
                    }
                }
            }
        }
    }
}

TEST(Kernels, StreamingCopyIsACopy) {
    const std::vector<level_kernels> levels = all_levels();
    std::mt19937 rng(4);
    for (size_t length = 0; length <= 80; ++length) {
        for (size_t offset = 0; offset < 16; ++offset) {
            const exact_buffer from(frames::random_bytes(rng, length));
            for (const level_kernels& level : levels) {
                guarded_lines to(offset + length + 16);
                level.table.copy_stream(to.upper + offset, from.data(), length);
                level.table.end_stream();
                bytes want(to.length, 0xA5);
                if (length) std::memcpy(want.data() + offset, from.data(), length);
                ASSERT_EQ(to.upper_line(), want) << level.name << " length " << length << " offset " << offset;
            }
        }
    }
}

// Every code (chroma codes above 7 included), every payload of one and two
// bytes, random literals, under the shifts of coding modes 1, 2 and 3.
TEST(Kernels, SampleBlockRebuildMatchesScalar) {
    const std::vector<level_kernels> levels = all_levels();
    const int32_t shifts[][2] = {{0, 1}, {1, 2}, {2, 3}};
    std::mt19937 rng(5);
    for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 200u}) {
        const uint32_t payloads = code == 3 || code == 5 || code == 7 ? 65536 : 256;
        for (const auto& shift : shifts) {
            for (uint32_t p = 0; p < payloads; ++p) {
                uint8_t payload[4] = {uint8_t(p), uint8_t(p >> 8), uint8_t(rng()), uint8_t(rng())};
                if (code == 1) payload[0] = uint8_t(rng());
                uint8_t predictor[4], ref[4];
                for (int i = 0; i < 4; ++i) predictor[i] = uint8_t(rng()), ref[i] = uint8_t(rng());
                uint8_t ref_c[4], shown_c[4] = {1, 2, 3, 4};
                std::memcpy(ref_c, ref, 4);
                const size_t used_c = levels[0].table.rebuild_block(code, payload, predictor, ref_c, shown_c,
                                                                    shift[0], shift[1]);
                for (size_t k = 1; k < levels.size(); ++k) {
                    uint8_t ref_k[4], shown_k[4] = {1, 2, 3, 4};
                    std::memcpy(ref_k, ref, 4);
                    const size_t used_k = levels[k].table.rebuild_block(code, payload, predictor, ref_k, shown_k,
                                                                        shift[0], shift[1]);
                    ASSERT_EQ(used_k, used_c) << levels[k].name << " code " << code;
                    ASSERT_EQ(0, std::memcmp(ref_k, ref_c, 4)) << levels[k].name << " code " << code << " payload " << p;
                    ASSERT_EQ(0, std::memcmp(shown_k, shown_c, 4)) << levels[k].name << " code " << code << " payload " << p;
                }
            }
        }
    }
}

// Rows of random mode words, each row kernel (mode records of 0, 1 and 2 bytes),
// with the payload cut anywhere: blocks rebuilt, reference, shown cell pairs
// (guard bytes after them), the cursor and the predictors all agree. A row that
// keeps every block leaves the reference as it was.
TEST(Kernels, RowRebuildMatchesScalar) {
    const std::vector<level_kernels> levels = all_levels();
    const int32_t shifts[][2] = {{0, 1}, {1, 2}, {2, 3}};
    std::mt19937 rng(7);
    for (int trial = 0; trial < 3000; ++trial) {
        const size_t skip = size_t(trial % 3);
        const size_t blocks = 1 + rng() % 17;  // several groups of four, as wide kernels take them, and a rest
        bytes table(4 * blocks);
        size_t need = 0;
        for (size_t b = 0; b < blocks; ++b) {
            uint8_t* e = table.data() + 4 * b;
            // Mostly kept blocks in some trials, so that kept and rebuilt blocks meet.
            const bool still = trial % 4 == 0 && rng() % 2;
            e[0] = still ? 0 : uint8_t(rng() & 0x3F);
            e[2] = still ? 0 : uint8_t(rng() & 0x3F);
            e[1] = uint8_t(rng() % 3 ? rng() % 8 : rng());
            e[3] = uint8_t(rng() % 3 ? rng() % 8 : rng());
            if (still) e[1] = e[3] = rng() % 2 ? 0 : 9;
            need += frames::payload_size(uint8_t(e[0] >> 3)) + frames::payload_size(uint8_t(e[0] & 7)) +
                    frames::payload_size(e[1]) + frames::payload_size(uint8_t(e[2] >> 3)) +
                    frames::payload_size(uint8_t(e[2] & 7)) + frames::payload_size(e[3]) + skip;
        }
        const size_t cut = trial % 2 ? need : rng() % (need + 1);
        const exact_buffer payload(frames::random_bytes(rng, cut));
        const bytes ref = frames::random_bytes(rng, 24 * blocks);
        delta_cursor start{payload.data(), payload.data() + cut, shifts[trial % 3][0], shifts[trial % 3][1], {}, {}, false};
        for (int i = 0; i < 4; ++i) start.left_y[i] = uint8_t(rng()), start.left_uv[i] = uint8_t(rng());

        bytes ref_c = ref, shown_c(24 * blocks + 16, 0xA5);
        delta_cursor cursor_c = start;
        const size_t done_c = levels[0].table.rebuild_row[skip](table.data(), blocks, ref_c.data(), shown_c.data(), cursor_c);
        for (size_t i = 24 * done_c; i < shown_c.size(); ++i) ASSERT_EQ(shown_c[i], 0xA5) << "trial " << trial;
        if (cursor_c.row_kept) {
            ASSERT_EQ(ref_c, ref) << "trial " << trial;
        }
        for (size_t k = 1; k < levels.size(); ++k) {
            bytes ref_k = ref, shown_k(24 * blocks + 16, 0xA5);
            delta_cursor cursor_k = start;
            const size_t done_k =
                levels[k].table.rebuild_row[skip](table.data(), blocks, ref_k.data(), shown_k.data(), cursor_k);
            ASSERT_EQ(done_k, done_c) << levels[k].name << " trial " << trial;
            ASSERT_EQ(ref_k, ref_c) << levels[k].name << " trial " << trial;
            ASSERT_EQ(shown_k, shown_c) << levels[k].name << " trial " << trial;
            ASSERT_EQ(cursor_k.payload, cursor_c.payload) << levels[k].name << " trial " << trial;
            ASSERT_EQ(cursor_k.row_kept, cursor_c.row_kept) << levels[k].name << " trial " << trial;
            ASSERT_EQ(0, std::memcmp(cursor_k.left_y, cursor_c.left_y, 4)) << levels[k].name << " trial " << trial;
            ASSERT_EQ(0, std::memcmp(cursor_k.left_uv, cursor_c.left_uv, 4)) << levels[k].name << " trial " << trial;
        }
    }
}

// Rows that keep every block are found by every level, however wide its scan:
// one code anywhere in the row spoils it, and bits that do not code (bit 6 and 7
// of a luma byte, chroma bytes above 7) do not.
TEST(Kernels, KeptRowsFoundAtEveryBlock) {
    const std::vector<level_kernels> levels = all_levels();
    struct spoiler {
        int byte;
        uint8_t value;
        bool keeps;
    };
    const spoiler spoilers[] = {{0, 0x40, true}, {0, 0xC0, true}, {1, 8, true},  {3, 0xFF, true},
                                {0, 0x01, false}, {0, 0x08, false}, {1, 1, false}, {1, 7, false},
                                {2, 0x20, false}, {2, 0x04, false}, {3, 3, false}};
    for (size_t blocks : {1, 7, 8, 9, 16, 17}) {
        for (size_t at = 0; at < blocks; ++at) {
            for (const spoiler& sp : spoilers) {
                bytes table(4 * blocks, 0);
                table[4 * at + sp.byte] = sp.value;
                const exact_buffer payload(bytes(8 * blocks, 0x5A));
                const bytes ref(24 * blocks, 0x33);
                for (const level_kernels& level : levels) {
                    bytes r = ref, shown(24 * blocks, 0);
                    delta_cursor c{payload.data(), payload.data() + payload.size, 2, 3, {}, {}, false};
                    level.table.rebuild_row[0](table.data(), blocks, r.data(), shown.data(), c);
                    ASSERT_EQ(c.row_kept, sp.keeps) << level.name << " blocks " << blocks << " at " << at;
                }
            }
        }
    }
}

}  // namespace
}  // namespace ruv
