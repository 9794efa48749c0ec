// Writes "RUV1" streams: intra frames from pictures, delta frames chosen greedily
// within an error tolerance, and delta frames of random codes for coverage.
//
// The writer is independent of the decoder. It keeps its own copy of the state a
// decoder holds after each frame it wrote (reference picture, shown picture, mode
// table), so a caller can check a decoder against it frame by frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "input_format.h"

namespace ruv {

struct rng;

// A picture in the natural orientation: planar 8-bit Y (width x height) and
// U, V (width/2 x height/2), rows top-down.
struct picture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> y;
    std::vector<uint8_t> u;
    std::vector<uint8_t> v;

    // A picture of the given size, filled with one colour.
    static picture filled(int32_t width, int32_t height, uint8_t luma = 0,
                          uint8_t cb = 128, uint8_t cr = 128);

    // Reads width x height x 3/2 bytes of cell pairs (cell rows bottom-up, 12 bytes
    // a cell pair). A size off the cell grid (see on_cell_grid) gives an empty picture.
    static picture from_cells(const uint8_t* cells, int32_t width, int32_t height);

    // The picture as cell pairs, width x height x 3/2 bytes; empty unless consistent().
    std::vector<uint8_t> to_cells() const;

    // On the cell grid, with planes of the sizes that width and height call for.
    bool consistent() const;

    uint8_t& luma(int32_t x, int32_t row) { return y[size_t(row) * size_t(width) + size_t(x)]; }
    uint8_t luma(int32_t x, int32_t row) const { return y[size_t(row) * size_t(width) + size_t(x)]; }
};

// Whether a picture size can be stored as cell pairs: positive, width a multiple
// of 4, height even.
bool on_cell_grid(int32_t width, int32_t height);

// Bytes of a picture in cell pairs.
size_t cell_bytes(int32_t width, int32_t height);

// The eight codes of a sample block.
enum block_code : uint8_t {
    code_keep = 0,
    code_literal = 1,
    code_delta2 = 2,
    code_delta4 = 3,
    code_left = 4,
    code_delta4_fine = 5,
    code_left_delta2 = 6,
    code_left_delta4 = 7,
};

struct encoded_frame {
    std::vector<uint8_t> bytes;
    bool key = false;   // an intra frame; a host stores it as a key frame
};

struct stream_writer {
    int32_t m_width = 0;
    int32_t m_height = 0;
    uint32_t m_coding_mode = 0;
    // Key frame policy of write_frame: a key frame every m_key_interval frames;
    // 0 makes only the first frame a key frame.
    uint32_t m_key_interval = 30;
    uint64_t m_frames_written = 0;
    bool m_have_reference = false;
    std::vector<uint8_t> m_stored;      // reference picture as a decoder stores it (wrapped sums)
    std::vector<uint8_t> m_shown;       // last frame as a decoder shows it (clamped sums)
    std::vector<uint8_t> m_table_opt;   // mode table as a decoder unpacks it, 4 bytes per block

    // Prepares the writer for a stream; false for a coding mode above 4 or a size
    // that the coding mode cannot carry (width a multiple of 4, or of 8 for coding
    // modes 1 to 4; height even).
    bool setup(int32_t width, int32_t height, uint32_t coding_mode, uint32_t key_interval = 30);

    // The stream's 80-byte format header: biSize 80, codec_version 101, the coding
    // mode, compression "RUV1", biSizeImage the size of an intra frame.
    InputFormat input_format() const;
    std::vector<uint8_t> input_format_bytes() const;

    size_t intra_frame_size() const;
    size_t block_count() const;

    // Whether write_frame makes frame number `index` (from 0) a key frame.
    bool is_key_frame(uint64_t index) const;

    // The frame writers take pictures of the stream's size; any other picture gets
    // an empty frame and leaves the writer as it was.

    // The next frame by the key frame policy: intra or greedy delta.
    encoded_frame write_frame(const picture& target, int tolerance);

    // An intra frame of the picture.
    encoded_frame write_intra(const picture& target);

    // A delta frame towards the picture: each sample block gets the code with the
    // fewest payload bytes, among equals the smallest error, whose shown samples are
    // within `tolerance` of the target (0: exact). Coding mode 0, or a stream with no
    // intra frame yet, gets an intra frame instead.
    encoded_frame write_delta(const picture& target, int tolerance);

    // A delta frame of uniformly random codes (of those the coding mode expresses)
    // and random payload bytes, from a seed. Coding mode 0, or a stream with no intra
    // frame yet, gets an intra frame of a random picture instead.
    encoded_frame write_random_delta(uint64_t seed);

    // A delta frame from given codes and payload: six codes per block in decoding
    // order, and the payload bytes that those codes consume, back to back.
    // False (nothing written) when a code is not expressible in the coding mode or
    // the payload does not match the codes.
    bool write_coded_delta(const std::vector<uint8_t>& codes, const std::vector<uint8_t>& payload,
                           encoded_frame& frame);

    // The reconstruction a decoder holds after the last frame, in cell pairs.
    const std::vector<uint8_t>& stored_cells() const { return m_stored; }
    const std::vector<uint8_t>& shown_cells() const { return m_shown; }

    bool fits(const picture& target) const;

    // Lays out a delta frame from checked codes and payload and tracks the decoder's
    // state. With a generator the run-length table's runs are split and its luma and
    // chroma bytes interleaved at random; without one it is as short as runs make it.
    void assemble_delta(const std::vector<uint8_t>& codes, const std::vector<uint8_t>& payload,
                        rng* random, encoded_frame& frame);
};

// Payload bytes of each code: 0, 4, 1, 2, 0, 2, 1, 2.
size_t payload_size(uint8_t code);

// The highest code that a coding mode's mode table expresses: 1 for coding mode 1,
// 3 for coding mode 2, 7 for coding modes 3 and 4, none (0) for coding mode 0.
uint8_t max_code(uint32_t coding_mode);

}  // namespace ruv
