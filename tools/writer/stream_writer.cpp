// The stream writer: picture <-> cell pair conversion, frame assembly and the
// writer's own reconstruction of what a decoder holds after each frame.
#include "stream_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "synthetic.h"

namespace ruv {

namespace {

constexpr uint32_t header_word = 0;   // the intra frame's first word; decoders skip it
constexpr size_t block_bytes = 24;    // reference bytes of one 8x2 block
constexpr size_t max_run = 256;       // a run's count byte: 1..255, 0 for 256

constexpr int32_t shift2_of_mode[5] = {0, 0, 1, 2, 2};
constexpr int32_t shift4_of_mode[5] = {0, 1, 2, 3, 3};
constexpr uint8_t payload_sizes[8] = {0, 4, 1, 2, 0, 2, 1, 2};

void put_u32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) out[at + i] = uint8_t(value >> (8 * i));
}

void append_u32(std::vector<uint8_t>& out, uint32_t value) {
    out.resize(out.size() + 4);
    put_u32(out, out.size() - 4, value);
}

bool is_chroma_block(size_t index_in_word) { return index_in_word == 2 || index_in_word == 5; }

// Signed delta fields of a payload: 2-bit fields of one byte, sample i in bits
// 2i..2i+1; 4-bit fields of two bytes, samples 0 and 2 in the low and high half
// of the first byte, samples 1 and 3 in those of the second.
int32_t field2(uint8_t p, size_t i) {
    const int32_t f = (p >> (2 * i)) & 3;
    return f >= 2 ? f - 4 : f;
}

int32_t field4(const uint8_t* p, size_t i) {
    const uint8_t byte = p[i & 1];
    const int32_t f = (i < 2 ? byte : byte >> 4) & 15;
    return f >= 8 ? f - 16 : f;
}

struct block_result {
    uint8_t stored[4];   // wrapped sums, as the reference frame keeps them
    uint8_t shown[4];    // clamped sums, as the output shows them
};

// Rebuilds one sample block exactly as a decoder does.
block_result rebuild(uint8_t code, const uint8_t* base, const uint8_t* predictor,
                     const uint8_t* payload, int32_t shift2, int32_t shift4) {
    block_result r{};
    const uint8_t* source = code == code_literal ? payload
                            : (code == code_left || code == code_left_delta2 || code == code_left_delta4)
                                ? predictor
                                : base;
    for (size_t i = 0; i < 4; ++i) {
        int32_t delta = 0;
        switch (code) {
            case code_delta2:
            case code_left_delta2: delta = field2(payload[0], i) * (1 << shift2); break;
            case code_delta4:
            case code_left_delta4: delta = field4(payload, i) * (1 << shift4); break;
            case code_delta4_fine: delta = field4(payload, i); break;
            default: break;
        }
        const int32_t sum = source[i] + delta;
        r.stored[i] = uint8_t(sum & 0xFF);
        r.shown[i] = uint8_t(std::min(255, std::max(0, sum)));
    }
    return r;
}

// One entry of a run-length table: its byte and whether it came from a run.
struct table_item {
    uint8_t code_byte;
    uint8_t count;   // count byte of a run
    bool run;
};

// Codes a sequence of luma entries (0x00-0x3F) or chroma entries (0x80-0xBF); a
// run sets bit 6 and adds a count byte. Without a generator: maximal runs of two
// or more, singles otherwise. With one: runs split at random and lone entries sometimes
// written as runs of one, so that a decoder meets every shape of table.
std::vector<table_item> code_runs(const std::vector<uint8_t>& values, rng* random) {
    std::vector<table_item> items;
    size_t i = 0;
    while (i < values.size()) {
        size_t n = 1;
        while (i + n < values.size() && values[i + n] == values[i] && n < max_run) ++n;
        if (random) n = 1 + random->below(uint32_t(n));
        const bool run = n >= 2 || (random && random->below(4) == 0);
        items.push_back({uint8_t(run ? values[i] | 0x40 : values[i]), uint8_t(n & 0xFF), run});
        i += n;
    }
    return items;
}

}  // namespace

bool on_cell_grid(int32_t width, int32_t height) {
    return width > 0 && height > 0 && width % 4 == 0 && height % 2 == 0;
}

size_t cell_bytes(int32_t width, int32_t height) {
    return size_t(width) * size_t(height) * 3 / 2;
}

size_t payload_size(uint8_t code) { return code < 8 ? payload_sizes[code] : 0; }

uint8_t max_code(uint32_t coding_mode) {
    switch (coding_mode) {
        case 1: return 1;
        case 2: return 3;
        case 3:
        case 4: return 7;
        default: return 0;
    }
}

picture picture::filled(int32_t width, int32_t height, uint8_t luma, uint8_t cb, uint8_t cr) {
    picture p;
    p.width = width;
    p.height = height;
    const size_t w = size_t(std::max(0, width));
    const size_t h = size_t(std::max(0, height));
    p.y.assign(w * h, luma);
    p.u.assign((w / 2) * (h / 2), cb);
    p.v.assign((w / 2) * (h / 2), cr);
    return p;
}

// Cell row k holds picture rows height-2-2k (upper line) and height-1-2k (lower
// line); cell pair j of it covers columns 4j..4j+3; its chroma is chroma row
// height/2-1-k, chroma columns 2j (left cell) and 2j+1 (right cell).
picture picture::from_cells(const uint8_t* cells, int32_t width, int32_t height) {
    if (!on_cell_grid(width, height)) return picture{};
    picture p = filled(width, height);
    const size_t w = size_t(width);
    const size_t chroma_w = w / 2;
    const size_t cell_rows = size_t(height) / 2;
    const size_t pairs = w / 4;
    for (size_t k = 0; k < cell_rows; ++k) {
        const size_t upper = size_t(height) - 2 - 2 * k;
        const size_t chroma_row = cell_rows - 1 - k;
        for (size_t j = 0; j < pairs; ++j) {
            const uint8_t* c = cells + 12 * (k * pairs + j);
            for (size_t cell = 0; cell < 2; ++cell) {
                const size_t x = 4 * j + 2 * cell;
                p.y[upper * w + x] = c[4 * cell + 0];
                p.y[upper * w + x + 1] = c[4 * cell + 1];
                p.y[(upper + 1) * w + x] = c[4 * cell + 2];
                p.y[(upper + 1) * w + x + 1] = c[4 * cell + 3];
                p.u[chroma_row * chroma_w + 2 * j + cell] = c[8 + 2 * cell];
                p.v[chroma_row * chroma_w + 2 * j + cell] = c[9 + 2 * cell];
            }
        }
    }
    return p;
}

bool picture::consistent() const {
    if (!on_cell_grid(width, height)) return false;
    const size_t w = size_t(width);
    const size_t h = size_t(height);
    return y.size() == w * h && u.size() == (w / 2) * (h / 2) && v.size() == u.size();
}

std::vector<uint8_t> picture::to_cells() const {
    if (!consistent()) return {};
    std::vector<uint8_t> cells(cell_bytes(width, height));
    const size_t w = size_t(width);
    const size_t chroma_w = w / 2;
    const size_t cell_rows = size_t(height) / 2;
    const size_t pairs = w / 4;
    for (size_t k = 0; k < cell_rows; ++k) {
        const size_t upper = size_t(height) - 2 - 2 * k;
        const size_t chroma_row = cell_rows - 1 - k;
        for (size_t j = 0; j < pairs; ++j) {
            uint8_t* c = cells.data() + 12 * (k * pairs + j);
            for (size_t cell = 0; cell < 2; ++cell) {
                const size_t x = 4 * j + 2 * cell;
                c[4 * cell + 0] = y[upper * w + x];
                c[4 * cell + 1] = y[upper * w + x + 1];
                c[4 * cell + 2] = y[(upper + 1) * w + x];
                c[4 * cell + 3] = y[(upper + 1) * w + x + 1];
                c[8 + 2 * cell] = u[chroma_row * chroma_w + 2 * j + cell];
                c[9 + 2 * cell] = v[chroma_row * chroma_w + 2 * j + cell];
            }
        }
    }
    return cells;
}

bool stream_writer::setup(int32_t width, int32_t height, uint32_t coding_mode, uint32_t key_interval) {
    if (coding_mode > 4 || !on_cell_grid(width, height)) return false;
    if (coding_mode != 0 && width % 8 != 0) return false;
    m_width = width;
    m_height = height;
    m_coding_mode = coding_mode;
    m_key_interval = key_interval;
    m_frames_written = 0;
    m_have_reference = false;
    const size_t bytes = cell_bytes(width, height);
    // A decoder starts from a black picture and a table of zeros.
    m_stored.assign(bytes, 0);
    for (size_t pair = 0; pair < bytes / 12; ++pair) std::memset(m_stored.data() + 12 * pair + 8, 128, 4);
    m_shown = m_stored;
    m_table_opt.assign(block_count() * 4, 0);
    return true;
}

InputFormat stream_writer::input_format() const {
    InputFormat format;
    format.width = m_width;
    format.height = m_height;
    format.coding_mode = m_coding_mode;
    format.size_image = uint32_t(intra_frame_size());
    return format;
}

std::vector<uint8_t> stream_writer::input_format_bytes() const {
    std::vector<uint8_t> bytes(input_format_size);
    input_format().serialize(bytes.data());
    return bytes;
}

size_t stream_writer::intra_frame_size() const { return 4 + cell_bytes(m_width, m_height); }

size_t stream_writer::block_count() const {
    return m_coding_mode == 0 ? 0 : size_t(m_width / 8) * size_t(m_height / 2);
}

bool stream_writer::is_key_frame(uint64_t index) const {
    if (m_coding_mode == 0 || index == 0) return true;
    return m_key_interval != 0 && index % m_key_interval == 0;
}

encoded_frame stream_writer::write_frame(const picture& target, int tolerance) {
    return is_key_frame(m_frames_written) ? write_intra(target) : write_delta(target, tolerance);
}

bool stream_writer::fits(const picture& target) const {
    return target.width == m_width && target.height == m_height && target.consistent();
}

encoded_frame stream_writer::write_intra(const picture& target) {
    encoded_frame frame;
    if (!fits(target)) return frame;
    frame.key = true;
    frame.bytes.resize(4);
    put_u32(frame.bytes, 0, header_word);
    const std::vector<uint8_t> cells = target.to_cells();
    frame.bytes.insert(frame.bytes.end(), cells.begin(), cells.end());
    m_stored = cells;
    m_shown = cells;
    m_have_reference = true;
    ++m_frames_written;
    return frame;
}

namespace {

// The cheapest code for one sample block: fewest payload bytes, then smallest error.
struct block_choice {
    uint8_t code = code_literal;
    uint8_t payload[4] = {};
    block_result result{};
    int32_t error = 0;
};

// Per sample, the delta field (of -half..half-1, scaled by 2^shift) whose shown
// sum is nearest the target, preferring sums that stay in 0..255 among those
// within the tolerance, so that the reference keeps what the output shows.
void choose_fields(const uint8_t* source, const uint8_t* target, int32_t half, int32_t shift,
                   int32_t tolerance, int32_t fields[4]) {
    for (size_t i = 0; i < 4; ++i) {
        int32_t best_key = 0x7FFFFFFF;
        for (int32_t f = -half; f < half; ++f) {
            const int32_t sum = source[i] + f * (1 << shift);
            const int32_t shown = std::min(255, std::max(0, sum));
            const int32_t error = std::abs(shown - int32_t(target[i]));
            const bool wraps = sum < 0 || sum > 255;
            const int32_t key = (error > tolerance ? 1 << 20 : 0) + (wraps ? 1 << 10 : 0) + error;
            if (key < best_key) {
                best_key = key;
                fields[i] = f;
            }
        }
    }
}

block_choice choose_code(uint8_t highest, const uint8_t* base, const uint8_t* predictor,
                         const uint8_t* target, int32_t shift2, int32_t shift4, int32_t tolerance) {
    block_choice best;
    std::memcpy(best.payload, target, 4);
    best.result = rebuild(code_literal, base, predictor, best.payload, shift2, shift4);
    best.error = 0;
    for (uint8_t code = 0; code <= highest; ++code) {
        if (code == code_literal || payload_size(code) > payload_size(best.code)) continue;
        const bool from_left = code == code_left || code == code_left_delta2 || code == code_left_delta4;
        const uint8_t* source = from_left ? predictor : base;
        uint8_t payload[4] = {};
        int32_t fields[4] = {};
        if (code == code_delta2 || code == code_left_delta2) {
            choose_fields(source, target, 2, shift2, tolerance, fields);
            for (size_t i = 0; i < 4; ++i) payload[0] = uint8_t(payload[0] | (fields[i] & 3) << (2 * i));
        } else if (code == code_delta4 || code == code_left_delta4 || code == code_delta4_fine) {
            choose_fields(source, target, 8, code == code_delta4_fine ? 0 : shift4, tolerance, fields);
            for (size_t i = 0; i < 4; ++i) {
                payload[i & 1] = uint8_t(payload[i & 1] | (fields[i] & 15) << (i < 2 ? 0 : 4));
            }
        }
        const block_result result = rebuild(code, base, predictor, payload, shift2, shift4);
        int32_t error = 0;
        for (size_t i = 0; i < 4; ++i) error = std::max(error, std::abs(int32_t(result.shown[i]) - target[i]));
        if (error > tolerance) continue;
        if (payload_size(code) < payload_size(best.code) || error < best.error) {
            best.code = code;
            std::memcpy(best.payload, payload, 4);
            best.result = result;
            best.error = error;
        }
    }
    return best;
}

}  // namespace

encoded_frame stream_writer::write_delta(const picture& target, int tolerance) {
    if (m_coding_mode == 0 || !m_have_reference || !fits(target)) return write_intra(target);
    const std::vector<uint8_t> cells = target.to_cells();
    const int32_t shift2 = shift2_of_mode[m_coding_mode];
    const int32_t shift4 = shift4_of_mode[m_coding_mode];
    const uint8_t highest = max_code(m_coding_mode);
    const int32_t limit = std::max(0, tolerance);

    std::vector<uint8_t> codes;
    std::vector<uint8_t> payload;
    codes.reserve(block_count() * 6);
    uint8_t left_y[4] = {};
    uint8_t left_uv[4] = {};
    for (size_t n = 0; n < block_count(); ++n) {
        for (size_t b = 0; b < 6; ++b) {
            const size_t at = n * block_bytes + 4 * b;
            const bool chroma = is_chroma_block(b);
            uint8_t* predictor = chroma ? left_uv : left_y;
            const block_choice choice =
                choose_code(highest, &m_stored[at], predictor, &cells[at], shift2, shift4, limit);
            codes.push_back(choice.code);
            payload.insert(payload.end(), choice.payload, choice.payload + payload_size(choice.code));
            if (chroma) {
                std::memcpy(left_uv, choice.result.stored, 4);
            } else {
                std::memset(left_y, choice.result.stored[0], 4);
            }
        }
    }
    encoded_frame frame;
    write_coded_delta(codes, payload, frame);
    return frame;
}

encoded_frame stream_writer::write_random_delta(uint64_t seed) {
    rng random(seed);
    if (m_coding_mode == 0 || !m_have_reference) {
        return write_intra(random_picture(m_width, m_height, random.next()));
    }
    const uint32_t choices = uint32_t(max_code(m_coding_mode)) + 1;
    std::vector<uint8_t> codes(block_count() * 6);
    std::vector<uint8_t> payload;
    for (uint8_t& code : codes) {
        code = uint8_t(random.below(choices));
        for (size_t i = 0; i < payload_size(code); ++i) payload.push_back(random.byte());
    }
    encoded_frame frame;
    assemble_delta(codes, payload, &random, frame);
    return frame;
}

bool stream_writer::write_coded_delta(const std::vector<uint8_t>& codes, const std::vector<uint8_t>& payload,
                                      encoded_frame& frame) {
    if (m_coding_mode == 0 || codes.size() != block_count() * 6) return false;
    size_t needed = 0;
    for (uint8_t code : codes) {
        if (code > max_code(m_coding_mode)) return false;
        needed += payload_size(code);
    }
    if (needed != payload.size()) return false;
    assemble_delta(codes, payload, nullptr, frame);
    return true;
}

void stream_writer::assemble_delta(const std::vector<uint8_t>& codes, const std::vector<uint8_t>& payload,
                                   rng* random, encoded_frame& frame) {
    const int32_t shift2 = shift2_of_mode[m_coding_mode];
    const int32_t shift4 = shift4_of_mode[m_coding_mode];
    const bool packed = m_coding_mode == 1 || m_coding_mode == 2;
    const size_t blocks = block_count();

    frame.key = false;
    std::vector<uint8_t>& out = frame.bytes;
    out.assign(4, 0);
    out.reserve(4 + payload.size() + blocks * 3);

    // Rebuild every block as a decoder will, and lay out the payload (with the mode
    // record after each block's payload in the packed coding modes).
    uint8_t left_y[4] = {};
    uint8_t left_uv[4] = {};
    size_t cursor = 0;
    for (size_t n = 0; n < blocks; ++n) {
        const uint8_t* word = &codes[6 * n];
        for (size_t b = 0; b < 6; ++b) {
            const size_t at = n * block_bytes + 4 * b;
            const bool chroma = is_chroma_block(b);
            const block_result r =
                rebuild(word[b], &m_stored[at], chroma ? left_uv : left_y, payload.data() + cursor, shift2, shift4);
            out.insert(out.end(), payload.begin() + std::ptrdiff_t(cursor),
                       payload.begin() + std::ptrdiff_t(cursor + payload_size(word[b])));
            cursor += payload_size(word[b]);
            std::memcpy(&m_stored[at], r.stored, 4);
            std::memcpy(&m_shown[at], r.shown, 4);
            if (chroma) {
                std::memcpy(left_uv, r.stored, 4);
            } else {
                std::memset(left_y, r.stored[0], 4);
            }
        }
        uint8_t* entry = &m_table_opt[4 * n];
        entry[0] = uint8_t(word[0] << 3 | word[1]);
        entry[1] = word[2];
        entry[2] = uint8_t(word[3] << 3 | word[4]);
        entry[3] = word[5];
        if (m_coding_mode == 1) {
            out.push_back(uint8_t(word[0] << 5 | word[1] << 4 | word[2] << 3 | word[3] << 2 | word[4] << 1 | word[5]));
        } else if (m_coding_mode == 2) {
            const uint32_t record = uint32_t(word[0]) << 10 | uint32_t(word[1]) << 8 | uint32_t(word[2]) << 6 |
                                    uint32_t(word[3]) << 4 | uint32_t(word[4]) << 2 | word[5];
            out.push_back(uint8_t(record & 0xFF));
            out.push_back(uint8_t(record >> 8));
        }
    }
    put_u32(out, 0, uint32_t(out.size()));

    if (!packed) {
        // Run-length table: luma entries (one per cell pair) and chroma entries (one
        // per block) as two sequences sharing one byte stream.
        std::vector<uint8_t> luma(2 * blocks);
        std::vector<uint8_t> chroma(blocks);
        for (size_t n = 0; n < blocks; ++n) {
            const uint8_t* word = &codes[6 * n];
            luma[2 * n] = uint8_t(word[0] << 3 | word[1]);
            luma[2 * n + 1] = uint8_t(word[3] << 3 | word[4]);
            chroma[n] = uint8_t(0x80 | word[2] << 3 | word[5]);
        }
        const std::vector<table_item> luma_items = code_runs(luma, random);
        const std::vector<table_item> chroma_items = code_runs(chroma, random);

        // The decoder keeps bit 6 of luma bytes that came from a run.
        size_t entry = 0;
        for (const table_item& item : luma_items) {
            const size_t count = item.run ? (item.count == 0 ? max_run : item.count) : 1;
            for (size_t i = 0; i < count; ++i, ++entry) m_table_opt[2 * entry] = item.code_byte;
        }

        const size_t table_start = out.size();
        append_u32(out, 0);
        size_t next_luma = 0;
        size_t next_chroma = 0;
        while (next_luma < luma_items.size() || next_chroma < chroma_items.size()) {
            bool take_luma = next_chroma == chroma_items.size();
            if (next_luma < luma_items.size() && next_chroma < chroma_items.size()) {
                take_luma = random ? random->below(2) == 0 : true;
            }
            const table_item& item = take_luma ? luma_items[next_luma++] : chroma_items[next_chroma++];
            out.push_back(item.code_byte);
            if (item.run) out.push_back(item.count);
        }
        put_u32(out, table_start, uint32_t(out.size() - table_start));
    }
    ++m_frames_written;
}

}  // namespace ruv
