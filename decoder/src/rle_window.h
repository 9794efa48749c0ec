// Windows of run-length code bytes, as the SIMD readers take them: 32 bytes
// starting at a code, read without a branch per code. Count bytes are the bytes
// that follow an odd-length stretch of bytes with the run bit (bit 6) set, found
// for the whole window with integer masks, as escaped characters are found;
// every other byte is a code, and each code's entry count is 1, or its run's
// count byte. A window reads one byte past itself: the count byte of a run at
// its end. Only the kernel files of the instruction sets include this file, each
// for its own copy (internal linkage).
//
// read_windows is the window loop of every SIMD level, on parts of the level's
// own: the window's masks and the writing of its entries. A window stops before
// a run of more than four entries (or of 256), which is written whole, and the
// next window starts after it. Where a window's entries or such a run could
// reach the table's end, the scalar reader takes the code.
//
// taken_window writes a window's entries at the levels without byte compress or
// byte-masked stores (SSE2, AVX2). Each kind's codes are taken in order from
// the bits of their mask, each one written four times to a buffer of the kind's
// entries and the buffer's end moved by its count: no branch on the code. The
// entries are spread to their table bytes, each step a load of the table, a
// blend and a store, which leave every other table byte as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ruv {
namespace {

constexpr size_t rle_window = 32;
// Entries of one code inside a window: a longer run ends the window's codes.
constexpr uint32_t rle_window_entries = 4;

// Positions of count bytes in a window whose byte 0 is a code: runs has bit i
// set where byte i has the run bit. A run code's count byte is not itself a code,
// so in a stretch of run-bit bytes the codes and count bytes alternate from its
// start, and a stretch ends the byte after its last code that is a run.
inline uint32_t count_bytes(uint32_t runs) {
    const uint32_t even = 0x55555555u;
    const uint32_t follows_run = runs << 1;
    const uint32_t odd_starts = runs & ~even & ~follows_run;
    // Adding a stretch's start bit to the stretch carries to the byte after its end.
    const uint32_t after_odd_start = (odd_starts + runs) << 1;
    return (even ^ after_odd_start) & follows_run;
}

// What a level's parts find in a window: bit i of each mask for byte i.
struct window_masks {
    uint32_t runs;          // the run bit is set
    uint32_t chroma;        // the kind bit (bit 7) is set
    uint32_t short_counts;  // the next byte, as a count, is 1 to 4
};

// One kind's entries of a window, in order.
struct window_entries {
    // Four entries of each code, and room for a step's load past the last
    // (whose bytes past the entries are blended away).
    uint8_t bytes[rle_window_entries * rle_window + 16] = {};

    // The window's codes at the bits of `codes`, each repeated by its count;
    // returns the number of entries.
    uint32_t take(const uint8_t* window, const uint8_t* counts, uint32_t codes) {
        uint32_t taken = 0;
        for (; codes != 0; codes &= codes - 1) {
            const uint32_t i = uint32_t(__builtin_ctz(codes));
            // The count read before the store, which could alias it.
            const uint32_t count = counts[i];
            const uint32_t four = window[i] * 0x01010101u;
            std::memcpy(bytes + taken, &four, 4);
            taken += count;
        }
        return taken;
    }
};

// Table bytes that n entries of a kind reach (2 a luma entry, 4 a chroma
// entry), the last step's whole `step` bytes included.
inline bool has_room(const uint8_t* at, const uint8_t* table_end, size_t bytes_a_entry, size_t n, size_t step) {
    return n == 0 || size_t(table_end - at) >= bytes_a_entry * n + step;
}

// The window writer of the levels without byte compress, on parts of one
// instruction set:
//   step: table bytes a spreading step loads and stores;
//   masks(p, counts): the masks of the window at p, and each code's count
//     (1, or its count byte) into counts[0..31];
//   spread_luma(y, n, entries): n luma entries (bytes at `entries`) to every
//     second table byte from y; spread_chroma(uv, n, entries): n chroma entries
//     (code bytes b) to bytes 1 and 3 of the mode words from uv, (b >> 3) & 7
//     and b & 7. Each may read up to 15 bytes past its n entries.
template <typename Parts>
struct taken_window {
    static constexpr size_t step = Parts::step;
    uint8_t counts[rle_window];
    window_entries luma, chroma;

    window_masks masks(const uint8_t* p) { return Parts::masks(p, counts); }

    void write(const uint8_t* p, uint32_t luma_codes, uint32_t chroma_codes, uint8_t*& y, uint8_t*& uv) {
        const uint32_t luma_n = luma.take(p, counts, luma_codes);
        Parts::spread_luma(y, luma_n, luma.bytes);
        y += 2 * luma_n;
        const uint32_t chroma_n = chroma.take(p, counts, chroma_codes);
        Parts::spread_chroma(uv, chroma_n, chroma.bytes);
        uv += 4 * chroma_n;
    }

    // A run of `p[1]` entries (0 meaning 256) of the code at p, written whole,
    // 16 entries a step, where the table has room for it; false, with nothing
    // written, where it has not.
    static bool write_run(const uint8_t* p, uint8_t*& y, uint8_t*& uv, const uint8_t* table_end) {
        const uint8_t b = p[0];
        const uint32_t count = p[1] == 0 ? 256 : p[1];
        uint8_t entries[32];
        std::memset(entries, b, sizeof entries);
        if (b < 0x80) {
            if (!has_room(y, table_end, 2, count, step)) return false;
            for (uint32_t done = 0; done < count; done += 16) {
                Parts::spread_luma(y + 2 * done, count - done < 16 ? count - done : 16, entries);
            }
            y += 2 * count;
        } else {
            if (!has_room(uv, table_end, 4, count, step)) return false;
            for (uint32_t done = 0; done < count; done += 16) {
                Parts::spread_chroma(uv + 4 * done, count - done < 16 ? count - done : 16, entries);
            }
            uv += 4 * count;
        }
        return true;
    }
};

// The codes from p into the table at the cursors, as an rle_codes_kernel, by a
// level's window writer, made once a call:
//   step: table bytes that its writes may load and store past the last entry;
//   masks(p): the masks of the window at p;
//   write(p, luma_codes, chroma_codes, y, uv): the entries of the window's codes
//     at those bits, in order, each kind from its cursor, which moves past them;
//   write_run(p, y, uv, table_end): the long run at p, whole, where the table has
//     room for it; false, with nothing written, where it has not.
template <typename Window>
const uint8_t* read_windows(const uint8_t* p, const uint8_t* codes_end, uint8_t*& opt_y, uint8_t*& opt_uv,
                            const uint8_t* table_end) {
    uint8_t* y = opt_y;
    uint8_t* uv = opt_uv;
    Window window;
    while (size_t(codes_end - p) > rle_window) {
        const window_masks m = window.masks(p);
        const uint32_t codes = ~count_bytes(m.runs);
        const uint32_t run_codes = m.runs & codes;
        const uint32_t long_runs = run_codes & ~m.short_counts;
        const uint32_t taken = long_runs ? (long_runs & (0u - long_runs)) - 1 : ~0u;
        const uint32_t luma_codes = codes & ~m.chroma & taken, chroma_codes = codes & m.chroma & taken;
        // Room for the whole window's codes at four entries each; counted only near the table's end.
        const size_t most = rle_window_entries * rle_window;
        if (!(has_room(y, table_end, 2, most, Window::step) && has_room(uv, table_end, 4, most, Window::step)) &&
            !(has_room(y, table_end, 2, rle_window_entries * uint32_t(__builtin_popcount(luma_codes)), Window::step) &&
              has_room(uv, table_end, 4, rle_window_entries * uint32_t(__builtin_popcount(chroma_codes)),
                       Window::step))) {
            break;
        }
        window.write(p, luma_codes, chroma_codes, y, uv);
        if (long_runs) {
            // The long run here, if the table has room for it, and on.
            p += __builtin_ctz(long_runs);
            if (!window.write_run(p, y, uv, table_end)) break;
            p += 2;
            continue;
        }
        // A run at the window's end takes the next window's first byte as its count.
        p += rle_window + (run_codes >> 31);
    }
    opt_y = y;
    opt_uv = uv;
    return p;
}

}  // namespace
}  // namespace ruv
