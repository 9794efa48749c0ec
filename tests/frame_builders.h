// Helpers shared by the decoder tests: building intra and delta frames, exactly
// sized buffers followed by an inaccessible page (so that any read past a frame faults),
// and an independent, plainly written model of the picture a decoder must show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "decoder.h"

namespace ruv::frames {

using bytes = std::vector<uint8_t>;

// The SIMD kernel levels of this machine in turn, for the n-th case of a test
// that checks them against the scalar kernels (scalar where there is none).
inline uint32_t simd_level_in_turn(size_t n) {
    static const kernel_level_list levels = kernel_levels(detected_kernel_mask());
    return levels.size() > 1 ? levels[1 + n % (levels.size() - 1)].mask : 0;
}

// Both grow the vector by resize and copy: GCC 12 warns falsely about insert and
// push_back on byte vectors in optimised builds.
inline void put_le32(bytes& out, uint32_t v) {
    const size_t at = out.size();
    out.resize(at + 4);
    for (size_t i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

inline void append(bytes& out, const bytes& more) {
    const size_t at = out.size();
    out.resize(at + more.size());
    if (!more.empty()) std::memcpy(out.data() + at, more.data(), more.size());
}

// A copy of some bytes that end exactly where an inaccessible page begins, so
// that any read past them faults, whatever instruction makes it (sanitizers do
// not see masked vector loads).
struct exact_buffer {
    uint8_t* region;
    size_t region_bytes;
    const uint8_t* start;
    size_t size;

    explicit exact_buffer(const bytes& content) : size(content.size()) {
        const size_t page = page_bytes();
        const size_t data_bytes = (size + page - 1) / page * page;
        region_bytes = data_bytes + page;
#ifdef _WIN32
        region = static_cast<uint8_t*>(VirtualAlloc(nullptr, region_bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD was;
        const bool guarded = region && VirtualProtect(region + data_bytes, page, PAGE_NOACCESS, &was);
#else
        void* mapped = mmap(nullptr, region_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        region = mapped == MAP_FAILED ? nullptr : static_cast<uint8_t*>(mapped);
        const bool guarded = region && mprotect(region + data_bytes, page, PROT_NONE) == 0;
#endif
        if (!guarded) std::abort();
        uint8_t* at = region + data_bytes - size;
        if (size) std::memcpy(at, content.data(), size);
        start = at;
    }
    ~exact_buffer() {
#ifdef _WIN32
        VirtualFree(region, 0, MEM_RELEASE);
#else
        munmap(region, region_bytes);
#endif
    }
    exact_buffer(const exact_buffer&) = delete;
    exact_buffer& operator=(const exact_buffer&) = delete;
    const uint8_t* data() const { return start; }

    static size_t page_bytes() {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
#else
        return size_t(sysconf(_SC_PAGESIZE));
#endif
    }
};

// An output buffer that starts `offset` bytes into its heap block and ends exactly at the block's end.
// An output buffer `offset` bytes past a cache line, with guard bytes of `fill`
// on both sides.
struct output_buffer {
    static constexpr size_t guard = 64;
    std::unique_ptr<uint8_t[]> block;
    uint8_t* data;
    size_t size;
    uint8_t fill;

    explicit output_buffer(size_t bytes_needed, size_t offset = 0, uint8_t fill_byte = 0x5A)
        : block(new uint8_t[bytes_needed + 3 * guard]), size(bytes_needed), fill(fill_byte) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(block.get());
        data = block.get() + ((start + guard - 1) / guard * guard - start) + offset % guard;
        std::memset(block.get(), fill, bytes_needed + 3 * guard);
    }
    bytes contents() const { return bytes(data, data + size); }
    // Whether no byte around the buffer was written.
    bool guards_intact() const {
        const uint8_t* end = block.get() + size + 3 * guard;
        for (const uint8_t* p = block.get(); p < end; ++p) {
            if ((p < data || p >= data + size) && *p != fill) return false;
        }
        return true;
    }
};

inline frame_fault decode_intra(DecoderContext& ctx, output_buffer& out, const bytes& frame) {
    const exact_buffer in(frame);
    return ctx.decode_intra(out.data, in.data(), in.size);
}

inline frame_fault decode_delta(DecoderContext& ctx, output_buffer& out, const bytes& frame) {
    const exact_buffer in(frame);
    return ctx.decode_delta(out.data, in.data(), in.size);
}

inline bytes reference_of(const DecoderContext& ctx) {
    const size_t n = size_t(ctx.m_width) * size_t(ctx.m_height) * 3 / 2;
    return bytes(ctx.m_ref_frame, ctx.m_ref_frame + n);
}

inline bytes table_of(const DecoderContext& ctx) {
    return bytes(ctx.m_table_opt, ctx.m_table_opt + ctx.block_count() * 4);
}

inline bytes intra_frame(const bytes& cells, uint32_t header = 0) {
    bytes f;
    put_le32(f, header);
    append(f, cells);
    return f;
}

inline bytes random_bytes(std::mt19937& rng, size_t n) {
    bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

// ---- Expected pictures ----------------------------------------------------------

inline int floor_div(int x, int d) {
    int q = x / d;
    if (x % d != 0 && x < 0) --q;
    return q;
}

inline uint8_t clamp255(int x) { return uint8_t(x < 0 ? 0 : x > 255 ? 255 : x); }

struct chroma_offsets {
    int db, dg, dr;
};

inline chroma_offsets offsets_of(int u8, int v8) {
    const int u = u8 - 128, v = v8 - 128;
    return {floor_div(u * 29016, 16384), floor_div(u * -5662, 16384) + floor_div(v * -11706, 16384),
            floor_div(v * 22973, 16384)};
}

// Blue, green, red, luma of one pixel.
inline void rgb_pixel(int y, int u, int v, uint8_t* px) {
    const chroma_offsets o = offsets_of(u, v);
    px[0] = clamp255(y + o.db);
    px[1] = clamp255(y + o.dg);
    px[2] = clamp255(y + o.dr);
    px[3] = uint8_t(y);
}

// The output buffer that shows a picture given as cell pairs in stream order.
inline bytes render(const uint8_t* cells, int width, int height, bool rgb) {
    const size_t line = size_t(width) * (rgb ? 4 : 2);
    bytes out(line * size_t(height));
    const int pairs = width / 4;
    for (int k = 0; k < height / 2; ++k) {
        uint8_t* upper = out.data() + line * size_t(rgb ? 2 * k + 1 : height - 2 - 2 * k);
        uint8_t* lower = out.data() + line * size_t(rgb ? 2 * k : height - 1 - 2 * k);
        for (int j = 0; j < pairs; ++j) {
            const uint8_t* c = cells + 12 * (size_t(k) * size_t(pairs) + size_t(j));
            if (rgb) {
                const int ua = c[8], va = c[9], ub = c[10], vb = c[11];
                rgb_pixel(c[0], ua, va, upper + 16 * j);
                rgb_pixel(c[1], ua, va, upper + 16 * j + 4);
                rgb_pixel(c[4], ub, vb, upper + 16 * j + 8);
                rgb_pixel(c[5], ub, vb, upper + 16 * j + 12);
                rgb_pixel(c[2], ua, va, lower + 16 * j);
                rgb_pixel(c[3], ua, va, lower + 16 * j + 4);
                rgb_pixel(c[6], ub, vb, lower + 16 * j + 8);
                rgb_pixel(c[7], ub, vb, lower + 16 * j + 12);
            } else {
                const uint8_t up[8] = {c[0], c[8], c[1], c[9], c[4], c[10], c[5], c[11]};
                const uint8_t lo[8] = {c[2], c[8], c[3], c[9], c[6], c[10], c[7], c[11]};
                std::memcpy(upper + 8 * j, up, 8);
                std::memcpy(lower + 8 * j, lo, 8);
            }
        }
    }
    return out;
}

inline bytes render(const bytes& cells, int width, int height, bool rgb) {
    return render(cells.data(), width, height, rgb);
}

// Packed I420 (planes Y, U, V, rows top-down) of the samples a YUY2 picture carries.
inline bytes i420_of_yuy2(const bytes& yuy2, int width, int height) {
    const size_t w = size_t(width), h = size_t(height);
    bytes out(w * h / 2 * 3);
    for (size_t r = 0; r < h; ++r) {
        for (size_t x = 0; x < w; ++x) out[r * w + x] = yuy2[r * 2 * w + 2 * x];
        for (size_t x = 0; r % 2 == 0 && x < w / 2; ++x) {
            out[w * h + r / 2 * (w / 2) + x] = yuy2[r * 2 * w + 4 * x + 1];
            out[w * h + w * h / 4 + r / 2 * (w / 2) + x] = yuy2[r * 2 * w + 4 * x + 3];
        }
    }
    return out;
}

// ---- Delta frames ---------------------------------------------------------------

// Codes that rebuild sample blocks.
enum : uint8_t { KEEP, LITERAL, DELTA2, DELTA4, LEFT, DELTA4_FINE, LEFT_DELTA2, LEFT_DELTA4 };

constexpr size_t payload_size_of[8] = {0, 4, 1, 2, 0, 2, 1, 2};

inline size_t payload_size(uint8_t code) { return code < 8 ? payload_size_of[code] : 0; }

// The six codes of one 8x2 block in decoding order: luma of cells 0 and 1, chroma
// of cell pair 0, luma of cells 2 and 3, chroma of cell pair 1; and their payload.
struct coded_block {
    uint8_t code[6] = {};
    bytes payload;
};

inline size_t payload_size(const coded_block& b) {
    size_t n = 0;
    for (uint8_t c : b.code) n += payload_size(c);
    return n;
}

// The 4-byte mode word of a block (luma codes are 3-bit fields).
inline bytes mode_word(const coded_block& b) {
    return {uint8_t(((b.code[0] & 7) << 3) | (b.code[1] & 7)), b.code[2],
            uint8_t(((b.code[3] & 7) << 3) | (b.code[4] & 7)), b.code[5]};
}

// Run-length code bytes that write the given blocks' mode words one entry at a time.
inline bytes rle_codes(const std::vector<coded_block>& blocks) {
    bytes codes;
    for (const auto& b : blocks) {
        const bytes w = mode_word(b);
        codes.push_back(w[0]);
        codes.push_back(w[2]);
        codes.push_back(uint8_t(0x80 | ((w[1] & 7) << 3) | (w[3] & 7)));
    }
    return codes;
}

// A coding-mode-3/4 delta frame: payload_end, payload, table_length, code bytes.
inline bytes rle_frame(const bytes& payload, const bytes& codes) {
    bytes f;
    put_le32(f, uint32_t(4 + payload.size()));
    append(f, payload);
    put_le32(f, uint32_t(4 + codes.size()));
    append(f, codes);
    return f;
}

inline bytes rle_frame(const std::vector<coded_block>& blocks) {
    bytes payload;
    for (const auto& b : blocks) append(payload, b.payload);
    return rle_frame(payload, rle_codes(blocks));
}

// The mode record of a coding-mode-1 (one byte) or coding-mode-2 (two bytes) block.
inline bytes mode_record(const coded_block& b, int coding_mode) {
    const int bits = coding_mode == 1 ? 1 : 2;
    uint32_t d = 0;
    for (int i = 0; i < 6; ++i) d = (d << bits) | b.code[i];
    if (coding_mode == 1) return {uint8_t(d)};
    return {uint8_t(d), uint8_t(d >> 8)};
}

// The record area of coding mode 1 or 2: each block's payload, then its mode record.
inline bytes packed_records(const std::vector<coded_block>& blocks, int coding_mode) {
    bytes area;
    for (const auto& b : blocks) {
        append(area, b.payload);
        append(area, mode_record(b, coding_mode));
    }
    return area;
}

inline bytes packed_frame_from_area(const bytes& area) {
    bytes f;
    put_le32(f, uint32_t(4 + area.size()));
    append(f, area);
    return f;
}

inline bytes packed_frame(const std::vector<coded_block>& blocks, int coding_mode) {
    return packed_frame_from_area(packed_records(blocks, coding_mode));
}

inline bytes delta_frame(const std::vector<coded_block>& blocks, int coding_mode) {
    return coding_mode <= 2 ? packed_frame(blocks, coding_mode) : rle_frame(blocks);
}

// Random blocks whose codes a coding mode's table can carry, with matching payload.
inline std::vector<coded_block> random_blocks(std::mt19937& rng, size_t count, int coding_mode) {
    const uint32_t codes = coding_mode == 1 ? 2 : coding_mode == 2 ? 4 : 8;
    std::vector<coded_block> blocks(count);
    for (auto& b : blocks) {
        for (auto& c : b.code) c = uint8_t(rng() % codes);
        b.payload = random_bytes(rng, payload_size(b));
    }
    return blocks;
}

// The picture a delta frame makes: the samples kept for the next frame (wrapped)
// and the samples shown (clamped), both as cell pairs in stream order.
struct delta_picture {
    bytes stored;
    bytes shown;
};

inline int delta2(uint8_t p, int i, int shift) {
    const int f = (p >> (2 * i)) & 3;
    return (f >= 2 ? f - 4 : f) * (1 << shift);
}

inline int delta4(const uint8_t* p, int i, int shift) {
    const int f = i == 0 ? p[0] & 15 : i == 1 ? p[1] & 15 : i == 2 ? p[0] >> 4 : p[1] >> 4;
    return (f >= 8 ? f - 16 : f) * (1 << shift);
}

// Rebuilds the picture from `reference` under `table` (mode word n for block n),
// reading payload from `payload` onwards and skipping `record_bytes` after each block.
// Blocks from `stop_block` on are kept as they are.
inline delta_picture model_delta(const bytes& reference, const bytes& table, const uint8_t* payload,
                                 int coding_mode, size_t stop_block = SIZE_MAX) {
    const int shift2 = coding_mode == 1 ? 0 : coding_mode == 2 ? 1 : 2;
    const int shift4 = shift2 + 1;
    const size_t record_bytes = coding_mode == 1 ? 1 : coding_mode == 2 ? 2 : 0;
    delta_picture pic{reference, reference};
    int left_y[4] = {0, 0, 0, 0};
    int left_uv[4] = {0, 0, 0, 0};
    const size_t blocks = table.size() / 4;
    for (size_t n = 0; n < blocks && n < stop_block; ++n) {
        const uint8_t* w = table.data() + 4 * n;
        const uint8_t codes[6] = {uint8_t((w[0] >> 3) & 7), uint8_t(w[0] & 7), w[1],
                                  uint8_t((w[2] >> 3) & 7), uint8_t(w[2] & 7), w[3]};
        for (int s = 0; s < 6; ++s) {
            const bool chroma = s == 2 || s == 5;
            const uint8_t code = codes[s] < 8 ? codes[s] : 0;
            uint8_t* stored = pic.stored.data() + 24 * n + 4 * s;
            uint8_t* shown = pic.shown.data() + 24 * n + 4 * s;
            int* pred = chroma ? left_uv : left_y;
            int sum[4];
            for (int i = 0; i < 4; ++i) {
                const int base = stored[i];
                switch (code) {
                    case LITERAL: sum[i] = payload[i]; break;
                    case DELTA2: sum[i] = base + delta2(payload[0], i, shift2); break;
                    case DELTA4: sum[i] = base + delta4(payload, i, shift4); break;
                    case LEFT: sum[i] = pred[i]; break;
                    case DELTA4_FINE: sum[i] = base + delta4(payload, i, 0); break;
                    case LEFT_DELTA2: sum[i] = pred[i] + delta2(payload[0], i, shift2); break;
                    case LEFT_DELTA4: sum[i] = pred[i] + delta4(payload, i, shift4); break;
                    default: sum[i] = base; break;
                }
            }
            payload += payload_size(code);
            for (int i = 0; i < 4; ++i) {
                stored[i] = uint8_t(sum[i] & 255);
                shown[i] = clamp255(sum[i]);
            }
            for (int i = 0; i < 4; ++i) pred[i] = chroma ? stored[i] : stored[0];
        }
        payload += record_bytes;
    }
    return pic;
}

// The table that a well-formed frame of these blocks leaves.
inline bytes table_of_blocks(const std::vector<coded_block>& blocks) {
    bytes t;
    for (const auto& b : blocks) append(t, mode_word(b));
    return t;
}

}  // namespace ruv::frames
