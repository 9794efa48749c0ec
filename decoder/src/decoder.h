// The "RUV1" frame decoder: one DecoderContext per stream, fed one frame at a time.
//
// A context is set up for a frame size, a coding mode and an output kind, then
// decodes intra frames (decode_intra) and delta frames (decode_delta) in stream
// order into a caller's picture: YUY2, RGB32 with the pixel's luma in the fourth
// byte, or planar I420, each plane at its own place and row stride; packed, an
// output buffer of output_size() bytes holds YUY2 and I420 rows top-down and
// RGB32 rows bottom-up.
//
// Every decode is told the frame's length and never reads past it. A frame that
// is malformed or short is decoded as far as it is sound; the rest of the picture
// shows the previous one, and the result names what was wrong.
//
// Frame formats (bytes, offsets from the start; words are 32-bit little-endian)
//
// cell pair: 12 bytes, two cells A (left) and B (right) of 2x2 pixels each
//   .----.----.----.----.----.----.----.----.----.----.----.----.
//   | A0 | A1 | A2 | A3 | B0 | B1 | B2 | B3 | UA | VA | UB | VB |
//   '----'----'----'----'----'----'----'----'----'----'----'----'
//   luma of a cell: 0 upper left, 1 upper right, 2 lower left, 3 lower right
//   picture: height/2 cell rows, bottom row first; width/4 cell pairs a row,
//   left to right, no padding (the reference frame has this layout too)
//
// intra frame
//   .--------------.------------------------------------------------.
//   | header word  | cell pairs of the picture (width*height*3/2)    |
//   '--------------'------------------------------------------------'
//   0              4
//
// delta frame, coding modes 1 and 2: per 8x2 block (two cell pairs), its
// payload, then its mode record of 1 (mode 1) or 2 bytes (mode 2, little-endian)
//   .-------------.----------.-----.----------.-----.-- ... --.
//   | payload_end | payload0 | rec | payload1 | rec |   ...   |  up to payload_end
//   '-------------'----------'-----'----------'-----'-- ... --'
//   0             4
//   mode 1 record: one bit a code (0 KEEP, 1 LITERAL)     mode 2: two bits a code
//     bit 5 4 3 2 1 0                                       bits 11-10 9-8 7-6 5-4 3-2 1-0
//         Y0 Y1 C0 Y2 Y3 C1                                      Y0   Y1  C0  Y2  Y3  C1
//
// delta frame, coding modes 3 and 4: payload, then the run-length mode table
//   .-------------.------------------.--------------.----------------------.
//   | payload_end | payload          | table_length | run-length code bytes |
//   '-------------'------------------'--------------'----------------------'
//   0             4                  payload_end    +4                     payload_end
//                                                                          + table_length
//   code byte: 00yyyyyy one luma entry, 01yyyyyy n a run of n (0: 256);
//              10aaabbb one chroma entry, 11aaabbb n a run of n
//
// mode word: one per 8x2 block (cells Y0 Y1 | Y2 Y3, chroma C0 of the left
// cell pair and C1 of the right), 4 bytes, as unpacked into m_table_opt
//   byte 0          byte 1      byte 2          byte 3
//   .--.---.---.   .--------.   .--.---.---.   .--------.
//   |..| Y0| Y1|   |   C0   |   |..| Y2| Y3|   |   C1   |
//   '--'---'---'   '--------'   '--'---'---'   '--------'
//    7-6 5-3 2-0                 7-6 5-3 2-0
//   order of the six codes and of their payload: Y0 Y1 C0 Y2 Y3 C1; a chroma
//   code above 7 keeps; payload bytes by code 0-7: 0 4 1 2 0 2 1 2
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace ruv {

// Output compressions, as a host names them in biCompression.
constexpr uint32_t compression_rgb32 = 0;           // BI_RGB, 32 bits a pixel
constexpr uint32_t compression_yuy2 = 0x32595559;   // FourCC "YUY2", 16 bits a pixel
constexpr uint32_t compression_i420 = 0x30323449;   // FourCC "I420": planes Y, U, V, 12 bits a pixel

// Where a decoded picture goes: each plane by its top row and the bytes from
// one row to the next, negative where rows run upwards in memory. YUY2 and
// RGB32 use plane 0; I420 has Y (width x height), U and V (width/2 x height/2).
struct picture_planes {
    uint8_t* top[3] = {};
    ptrdiff_t stride[3] = {};
};

// What a decoder found wrong with a frame; none for a well-formed one.
enum class frame_fault : uint8_t {
    none,
    short_intra,        // an intra frame shorter than its picture: missing cell pairs show the previous picture
    bad_payload_end,    // payload_end below 4 or past the frame: nothing rebuilt
    bad_table_length,   // table block shorter than its length word or past the frame: nothing rebuilt
    table_overflow,     // more mode-table entries than blocks: the surplus was dropped
    table_truncated,    // a run without its count byte, or a mode record reaching below offset 4
    record_count,       // a packed record area without exactly one record per block
    payload_overrun,    // codes call for more payload than the frame holds: later blocks kept
};

// Whether setup accepts this frame size for this coding mode: positive, on the
// decoding grid, and with buffers whose sizes fit in 32 bits.
bool frame_size_supported(int32_t width, int32_t height, uint32_t coding_mode);

// Why setup refuses a stream; none when it accepts it. check_setup tells every
// reason but a failed allocation (out_of_memory), which a caller reports when
// setup fails on a stream that check_setup accepts.
enum class setup_refusal : uint8_t {
    none,
    coding_mode,          // above 4
    size_not_positive,
    width_off_grid,       // not a multiple of 4, or of 8 for coding modes 1 to 4
    height_odd,
    too_large,            // buffers beyond 32 bits
    output_compression,   // none of RGB32, YUY2 and I420
    out_of_memory,
};
setup_refusal check_setup(int32_t width, int32_t height, uint32_t coding_mode, uint32_t output_compression);
const char* describe(setup_refusal refusal);

// Bytes of a whole intra frame of a supported size, header word included.
inline size_t intra_frame_size(int32_t width, int32_t height) {
    return 4 + size_t(width) * size_t(height) / 2 * 3;
}

// A short English phrase for a fault, for messages.
const char* describe(frame_fault fault);

// Where a delta frame's parts lie, read from its first words. The frame is sound
// when payload_end lies inside it and, in coding modes 3 and 4, the table block
// (table_length at payload_end) is at least its own length word and fits.
struct delta_layout {
    size_t payload_end = 0;
    size_t table_length = 0;                   // coding modes 3 and 4
    frame_fault fault = frame_fault::none;     // bad_payload_end or bad_table_length
    bool sound() const { return fault == frame_fault::none; }
};
delta_layout read_delta_layout(uint32_t coding_mode, const uint8_t* frame, size_t frame_length);

// The most bytes a well-formed delta frame of this size can hold: every code
// literal, plus the mode records (coding modes 1 and 2) or a table block of
// two-byte runs of one entry each (coding modes 3 and 4).
size_t max_delta_frame_size(int32_t width, int32_t height, uint32_t coding_mode);

// Whether a frame of known length goes to decode_delta. The host's or the file's
// key-frame flag decides, except where the frame's own structure rules it out,
// for hosts and indexes that flag wrongly: an unflagged frame shorter than a whole
// intra picture (width x height x 3 / 2 bytes) that is a sound delta frame is a
// delta frame, and a flagged one that is not a sound delta frame but holds a
// whole intra frame is an intra frame. Coding mode 0 has only intra frames.
bool decodes_as_delta(int32_t width, int32_t height, uint32_t coding_mode, bool flagged_delta,
                      const uint8_t* frame, size_t frame_length);

// The planes of a packed buffer of a picture of this size and output: rows of
// each plane's width, I420's planes one after the other, rows top-down or, with
// bottom_up, upwards in memory from the buffer's end.
picture_planes packed_planes(uint8_t* output, int32_t width, int32_t height, uint32_t compression, bool bottom_up);

struct DecoderContext {
    uint8_t* m_ref_block = nullptr;   // owned: the reference frame's heap block
    uint8_t* m_ref_frame = nullptr;   // 32-byte aligned start of the reference frame in m_ref_block
    uint8_t* m_table_opt = nullptr;   // owned: the unpacked mode table, 4 bytes per 8x2 block
    uint8_t* m_shown_row = nullptr;   // owned: one cell row of shown cell pairs (delta frames)
    int32_t m_coding_mode = 0;
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_shift2 = 0;             // left shift of 2-bit deltas
    int32_t m_shift4 = 0;             // left shift of scaled 4-bit deltas
    int32_t m_rgb_output = 0;         // 1: RGB32, 0: YUY2 (or I420)
    int32_t m_planar_output = 0;      // 1: I420
    uint32_t m_kernel_mask = kernels_all;  // the kernel levels setup may choose (0: scalar only)
    kernel_table m_kernels;           // chosen at setup from m_kernel_mask and the processor
    bool m_stream_output = false;     // output larger than a core's cache: stored non-temporally
    bool m_stream_delta_output = false;  // delta frames: also where output, reference and frame together pass that cache

    DecoderContext() = default;
    DecoderContext(const DecoderContext&) = delete;
    DecoderContext& operator=(const DecoderContext&) = delete;
    ~DecoderContext() { release(); }

    // Prepares the context for a stream. Refuses (returns false, leaving the
    // context released) sizes that are not positive, off the decoding grid
    // (width a multiple of 4 and height even; width a multiple of 8 for coding
    // modes 1 to 4), or whose buffers do not fit in 32 bits; a coding mode above
    // 4; an output compression other than RGB32, YUY2 or I420; a failed allocation.
    // The reference frame starts as a black picture and the mode table as zeros.
    // The kernels are chosen here, once, from m_kernel_mask and the processor.
    bool setup(int32_t width, int32_t height, uint32_t coding_mode, uint32_t output_compression);

    // Frees the buffers; harmless on a released context.
    void release();

    // Makes the reference frame a black picture, as setup leaves it.
    void clear_reference();

    // Bytes of the output buffer that one frame fills, packed.
    size_t output_size() const;
    // The planes of a packed output buffer: YUY2 and I420 rows top-down, RGB32
    // rows bottom-up, I420's planes one after the other.
    picture_planes packed_planes(uint8_t* output) const;
    // Bytes of a whole intra frame, header word included.
    size_t intra_frame_size() const;
    // Number of 8x2 blocks, one mode word each (coding modes 1 to 4).
    size_t block_count() const;

    // Decodes an intra frame into the picture and, for coding modes 1 to 4, keeps
    // it as the reference frame. A null picture decodes into the reference only.
    frame_fault decode_intra(const picture_planes* picture, const uint8_t* frame, size_t frame_length);

    // Decodes a delta frame against the reference frame (coding modes 1 to 4 only;
    // in coding mode 0 it decodes the frame as an intra frame). A null picture
    // decodes into the reference only.
    frame_fault decode_delta(const picture_planes* picture, const uint8_t* frame, size_t frame_length);

    // The same into a packed output buffer of output_size() bytes.
    frame_fault decode_intra(uint8_t* output, const uint8_t* frame, size_t frame_length) {
        const picture_planes planes = packed_planes(output);
        return decode_intra(&planes, frame, frame_length);
    }
    frame_fault decode_delta(uint8_t* output, const uint8_t* frame, size_t frame_length) {
        const picture_planes planes = packed_planes(output);
        return decode_delta(&planes, frame, frame_length);
    }

    // The mode-table unpackers that decode_delta runs; exposed for tests and fuzzing.
    // Packed records (coding modes 1 and 2) lie in [records, records_end); run-length
    // code bytes (coding modes 3 and 4) in [codes, codes_end).
    frame_fault unpack_packed_table(const uint8_t* records, const uint8_t* records_end);
    frame_fault unpack_rle_table(const uint8_t* codes, const uint8_t* codes_end);
};

}  // namespace ruv
