// Fuzzes one mode-table unpacker on its own (built twice: the packed records of
// coding modes 1 and 2, and with FUZZ_RLE_TABLE the run-length code bytes of
// coding modes 3 and 4): a picture size, coding mode and kernel level, then the
// bytes in a heap block of exactly their length. The unpacker must stay inside
// them and inside m_table_opt, which ASan guards.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decoder.h"
#include "kernels.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int32_t width = 8 * (1 + data[0] % 16);
    const int32_t height = 2 * (1 + data[1] % 16);
#ifdef FUZZ_RLE_TABLE
    const uint32_t mode = 3 + data[2] % 2;
#else
    const uint32_t mode = 1 + data[2] % 2;
#endif
    const std::vector<uint8_t> bytes(data + 3, data + size);

    // Every level this machine runs, the wide kernels' reads and writes near both ends included.
    static const ruv::kernel_level_list levels = ruv::kernel_levels(ruv::detected_kernel_mask());
    ruv::DecoderContext ctx;
    ctx.m_kernel_mask = levels[data[2] / 2 % levels.size()].mask;
    if (!ctx.setup(width, height, mode, ruv::compression_yuy2)) std::abort();
    const uint8_t* begin = bytes.data();
    const uint8_t* end = begin + bytes.size();
#ifdef FUZZ_RLE_TABLE
    ctx.unpack_rle_table(begin, end);
#else
    ctx.unpack_packed_table(begin, end);
#endif
    return 0;
}
