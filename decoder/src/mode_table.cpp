// Unpacking a delta frame's mode table into m_table_opt: the packed records of
// coding modes 1 and 2, walked backwards from their end, and the run-length code
// bytes of coding modes 3 and 4, read forwards. Entry layout (4 bytes a block):
// byte 0 the luma codes of cells 0 (bits 3-5) and 1 (bits 0-2), byte 1 the chroma
// code of cell pair 0, byte 2 the luma codes of cells 2 and 3, byte 3 the chroma
// code of cell pair 1. In the run-length table the cursor opt_y runs over the
// luma bytes and opt_uv over the entries whose chroma bytes come next.
#include <algorithm>
#include <cstring>

#include "decoder.h"
#include "sample_block.h"

namespace ruv {

namespace {

// Payload bytes of the codes of a record: six 1-bit codes (coding mode 1, six
// bits) or six 2-bit codes (coding mode 2, twelve bits). The walk from the end
// finds each record from the one after it, so this lookup lies on its critical
// path.
struct record_payload_tables {
    uint8_t bits1[256], bits2[4096];
    constexpr record_payload_tables() : bits1(), bits2() {
        for (int d = 0; d < 256; ++d) {
            for (int i = 0; i < 6; ++i) bits1[d] = uint8_t(bits1[d] + 4 * ((d >> i) & 1));
        }
        for (int d = 0; d < 4096; ++d) {
            for (int i = 0; i < 6; ++i) bits2[d] = uint8_t(bits2[d] + payload_size[(d >> (2 * i)) & 3]);
        }
    }
};
constexpr record_payload_tables record_payload;

// Payload bytes of the six codes of a coding-mode-1 record: 4 for each bit set in bits 0-5.
size_t mode1_payload(uint8_t d) { return record_payload.bits1[d]; }

// Payload bytes of the six 2-bit codes of a coding-mode-2 record.
size_t mode2_payload(uint32_t d) { return record_payload.bits2[d & 0xFFF]; }

// Eight bytes, first byte first in memory, as one 8-byte load of them reads them.
constexpr uint64_t loaded(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                          uint8_t b7) {
    const uint8_t b[8] = {b0, b1, b2, b3, b4, b5, b6, b7};
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = v << 8 | b[i];
#else
        v |= uint64_t(b[i]) << (8 * i);
#endif
    }
    return v;
}

// Masks of byte positions in 8 table bytes (two entries), the same on any
// processor: they are made from bytes, as the table is. Made by the compiler,
// so that they hold before any code runs (the codec DLL runs no constructors).
struct table_byte_masks {
    uint64_t even, odd, second, fourth, luma;
};
constexpr uint64_t even_bytes = loaded(0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0);
constexpr uint64_t second_bytes = loaded(0, 0xFF, 0, 0, 0, 0xFF, 0, 0);
constexpr uint64_t fourth_bytes = loaded(0, 0, 0, 0xFF, 0, 0, 0, 0xFF);
constexpr table_byte_masks byte_masks = {even_bytes, ~even_bytes, second_bytes, fourth_bytes,
                                         ~(second_bytes | fourth_bytes)};

// Eight table bytes: those in `keep` as they are, the others from `value`.
inline void keep_and_set(uint8_t* p, uint64_t keep, uint64_t value) {
    uint64_t bytes;
    std::memcpy(&bytes, p, 8);
    bytes = (bytes & keep) | value;
    std::memcpy(p, &bytes, 8);
}

// The mode-table entry bytes of six codes, made once at compile time: coding
// mode 1 from the record's bits 0-5; coding mode 2 from its bits 0-5 (codes Y2
// Y3 C1: bytes 2 and 3) and bits 6-11 (Y0 Y1 C0: bytes 0 and 1), whose entries
// share no byte, so that an entry is the bitwise or of the two.
struct record_entry_tables {
    uint8_t bits1[64][4], low2[64][4], high2[64][4];
    constexpr record_entry_tables() : bits1(), low2(), high2() {
        for (int d = 0; d < 64; ++d) {
            bits1[d][0] = uint8_t(((d >> 5) & 1) << 3 | ((d >> 4) & 1));
            bits1[d][1] = uint8_t((d >> 3) & 1);
            bits1[d][2] = uint8_t(((d >> 2) & 1) << 3 | ((d >> 1) & 1));
            bits1[d][3] = uint8_t(d & 1);
            high2[d][0] = uint8_t(((d >> 4) & 3) << 3 | ((d >> 2) & 3));
            high2[d][1] = uint8_t(d & 3);
            low2[d][2] = uint8_t(((d >> 4) & 3) << 3 | ((d >> 2) & 3));
            low2[d][3] = uint8_t(d & 3);
        }
    }
};
constexpr record_entry_tables record_entry;

// The mode-table entry of the mode record at rec (coding mode 1: one byte;
// coding mode 2: two, low byte first), and its payload bytes.
inline size_t packed_entry(int32_t mode, const uint8_t* rec, uint8_t* entry) {
    if (mode == 1) {
        const uint8_t d = rec[0];
        std::memcpy(entry, record_entry.bits1[d & 63], 4);
        return mode1_payload(d);
    }
    const uint32_t d = uint32_t(rec[0]) | uint32_t(rec[1]) << 8;
    // Bytewise or, the same on any processor.
    uint32_t low, high;
    std::memcpy(&low, record_entry.low2[d & 63], 4);
    std::memcpy(&high, record_entry.high2[(d >> 6) & 63], 4);
    const uint32_t both = low | high;
    std::memcpy(entry, &both, 4);
    return mode2_payload(d);
}

// The walk with every record's length found beforehand, a stretch of end
// positions at a time, by a kernel: the walk's chain from one record to the one
// before is then one load and one subtraction, not also the lookup of the
// record's payload. Ends as the plain walk does, with the same faults.
frame_fault walk_by_steps(record_steps_kernel find_steps, int32_t mode, const uint8_t* records, size_t left,
                          uint8_t* table, size_t entries) {
    const size_t record_bytes = size_t(mode);
    constexpr size_t stretch = 2048;
    uint8_t steps[stretch];
    while (left >= record_bytes) {
        const size_t from = left - record_bytes >= stretch - 1 ? left - (stretch - 1) : record_bytes;
        find_steps(records, from, left + 1, steps);
        // The chain runs on the record's place in the stretch, so that finding
        // the place from `left` is off it.
        ptrdiff_t at = ptrdiff_t(left - from);
        while (at >= 0) {
            const size_t step = steps[at];
            if (step > from + size_t(at)) return frame_fault::table_truncated;
            if (entries == 0) return frame_fault::table_overflow;
            --entries;
            packed_entry(mode, records + (from + size_t(at) - record_bytes), table + 4 * entries);
            at -= ptrdiff_t(step);
        }
        left = size_t(ptrdiff_t(from) + at);
    }
    if (left > 0) return frame_fault::table_truncated;
    return entries == 0 ? frame_fault::none : frame_fault::record_count;
}

}  // namespace

frame_fault DecoderContext::unpack_packed_table(const uint8_t* records, const uint8_t* records_end) {
    if ((m_coding_mode != 1 && m_coding_mode != 2) || !m_table_opt) return frame_fault::none;
    const size_t record_bytes = m_coding_mode == 1 ? 1 : 2;
    // Records end with their mode record, so they are found from the end; the
    // i-th record from the end fills the i-th entry from the end.
    size_t entries = block_count();  // entries not yet filled, counted from the start
    size_t left = records_end > records ? size_t(records_end - records) : 0;
    if (const record_steps_kernel find_steps = m_kernels.record_steps[m_coding_mode - 1]) {
        return walk_by_steps(find_steps, m_coding_mode, records, left, m_table_opt, entries);
    }
    while (left > 0) {
        if (left < record_bytes) return frame_fault::table_truncated;
        const uint8_t* rec = records + (left - record_bytes);
        uint8_t entry[4];
        const size_t payload = packed_entry(m_coding_mode, rec, entry);
        if (left - record_bytes < payload) return frame_fault::table_truncated;
        if (entries == 0) return frame_fault::table_overflow;
        --entries;
        for (int i = 0; i < 4; ++i) m_table_opt[4 * entries + i] = entry[i];
        left -= record_bytes + payload;
    }
    return entries == 0 ? frame_fault::none : frame_fault::record_count;
}

namespace {

// The cursors of the run-length reader, and the values last written at each
// (once both have written one), which the mixed path below rewrites.
struct rle_state {
    uint8_t* opt_y;   // the next luma byte
    uint8_t* opt_uv;  // the entry whose chroma bytes (1 and 3) come next
    uint8_t last_y, last_pair0, last_pair1;
};

// One code of either kind at p, and its count byte if it is a run.
inline frame_fault take_code(rle_state& s, const uint8_t*& p, const uint8_t* codes_end, uint8_t* const table_end) {
    const uint8_t b = *p++;
    if (!(b & 0x40)) {  // a single entry
        if (b < 0x80) {
            if (s.opt_y == table_end) return frame_fault::table_overflow;
            *s.opt_y = b;
            s.opt_y += 2;
            s.last_y = b;
        } else {
            if (s.opt_uv == table_end) return frame_fault::table_overflow;
            s.last_pair0 = (b >> 3) & 7;
            s.last_pair1 = b & 7;
            s.opt_uv[1] = s.last_pair0;
            s.opt_uv[3] = s.last_pair1;
            s.opt_uv += 4;
        }
        return frame_fault::none;
    }
    // A run: its count byte follows, 0 meaning 256.
    if (p == codes_end) return frame_fault::table_truncated;
    size_t count = *p++;
    if (count == 0) count = 256;
    if (b < 0x80) {
        // Long runs (still parts of a picture) eight entries a step while they
        // surely fit, keeping the chroma bytes between them; the rest one by one.
        uint8_t* y = s.opt_y;
        const uint64_t value = uint64_t(b) * 0x0101010101010101u & byte_masks.even;
        for (; count >= 8 && table_end - y >= 16; count -= 8, y += 16) {
            keep_and_set(y, byte_masks.odd, value);
            keep_and_set(y + 8, byte_masks.odd, value);
        }
        for (; count > 0; --count, y += 2) {
            if (y == table_end) {
                s.opt_y = y;
                return frame_fault::table_overflow;
            }
            *y = b;
        }
        s.opt_y = y;
        s.last_y = b;
    } else {
        uint8_t* uv = s.opt_uv;
        const uint8_t pair0 = (b >> 3) & 7;
        const uint8_t pair1 = b & 7;
        const uint64_t value = (uint64_t(pair0) * 0x0101010101010101u & byte_masks.second) |
                               (uint64_t(pair1) * 0x0101010101010101u & byte_masks.fourth);
        for (; count >= 4 && table_end - uv >= 16; count -= 4, uv += 16) {
            keep_and_set(uv, byte_masks.luma, value);
            keep_and_set(uv + 8, byte_masks.luma, value);
        }
        for (; count > 0; --count, uv += 4) {
            if (uv == table_end) {
                s.opt_uv = uv;
                return frame_fault::table_overflow;
            }
            uv[1] = pair0;
            uv[3] = pair1;
        }
        s.opt_uv = uv;
        s.last_pair0 = pair0;
        s.last_pair1 = pair1;
    }
    return frame_fault::none;
}

// The run-length codes into the table. `mixed` tables interleave luma and
// chroma codes closely, which makes a branch on each code's kind unpredictable:
// their single entries take a path without one. Tables that keep the kinds in
// long stretches take the plain path, which predicts well and costs less.
template <bool mixed>
frame_fault unpack_rle_codes(uint8_t* const table, uint8_t* const table_end, const uint8_t* codes,
                             const uint8_t* codes_end) {
    rle_state s{table, table, 0, 0, 0};
    const uint8_t* p = codes;
    while (p < codes_end) {
        // A single entry (a single code, or a run of one) of either kind, the
        // most common code of busy pictures, without a branch on its kind, which
        // mixed tables make unpredictable: both cursors write, the one of the
        // other kind its last entry again, unchanged, and only the entry's own
        // cursor moves.
        const uint8_t b = *p;
        if (mixed && s.opt_uv != table && s.opt_y != table && codes_end - p >= 2 &&
            std::max(s.opt_y, s.opt_uv) < table_end) {
            const size_t run = (b >> 6) & 1;
            if ((run & size_t(p[1] != 1)) == 0) {
                const size_t chroma = b >> 7;
                // Selects by mask, which compilers keep free of branches.
                const uint8_t is_chroma = uint8_t(0 - chroma);
                s.last_y = uint8_t((s.last_y & is_chroma) | (b & ~is_chroma));
                s.last_pair0 = uint8_t((((b >> 3) & 7) & is_chroma) | (s.last_pair0 & ~is_chroma));
                s.last_pair1 = uint8_t((b & 7 & is_chroma) | (s.last_pair1 & ~is_chroma));
                s.opt_y[-2 * ptrdiff_t(chroma)] = s.last_y;
                uint8_t* const uv = s.opt_uv - 4 * ptrdiff_t(1 - chroma);
                uv[1] = s.last_pair0;
                uv[3] = s.last_pair1;
                s.opt_y += 2 - 2 * chroma;
                s.opt_uv += 4 * chroma;
                p += 1 + run;
                continue;
            }
        }
        // Any other code, or the last code byte.
        const frame_fault fault = take_code(s, p, codes_end, table_end);
        if (fault != frame_fault::none) return fault;
    }
    return frame_fault::none;
}

// The codes into the table by a kernel that takes whole windows of them, and
// the scalar reader for each code that a window leaves.
frame_fault unpack_rle_windows(rle_codes_kernel windows, uint8_t* const table, uint8_t* const table_end,
                               const uint8_t* p, const uint8_t* codes_end) {
    rle_state s{table, table, 0, 0, 0};
    while (p < codes_end) {
        p = windows(p, codes_end, s.opt_y, s.opt_uv, table_end);
        if (p == codes_end) break;
        const frame_fault fault = take_code(s, p, codes_end, table_end);
        if (fault != frame_fault::none) return fault;
    }
    return frame_fault::none;
}

// Whether a table's first code bytes switch kind often (taking every byte as a
// code: count bytes only blur the estimate).
bool mixes_kinds(const uint8_t* codes, const uint8_t* codes_end) {
    const size_t sample = std::min<size_t>(256, size_t(codes_end - codes));
    size_t switches = 0;
    for (size_t i = 1; i < sample; ++i) switches += size_t((codes[i] ^ codes[i - 1]) >> 7);
    return switches * 8 > sample;
}

}  // namespace

frame_fault DecoderContext::unpack_rle_table(const uint8_t* codes, const uint8_t* codes_end) {
    if (!m_table_opt || codes >= codes_end) return frame_fault::none;
    uint8_t* const table_end = m_table_opt + 4 * block_count();
    if (m_kernels.rle_codes) return unpack_rle_windows(m_kernels.rle_codes, m_table_opt, table_end, codes, codes_end);
    return mixes_kinds(codes, codes_end) ? unpack_rle_codes<true>(m_table_opt, table_end, codes, codes_end)
                                         : unpack_rle_codes<false>(m_table_opt, table_end, codes, codes_end);
}

}  // namespace ruv
