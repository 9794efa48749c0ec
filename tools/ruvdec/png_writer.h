// Writing one decoded RGB32 picture as an 8-bit RGB PNG file with libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ruv::ruvdec {

// Writes `rgb32` (width x height pixels of B, G, R, luma, rows bottom-up, as the
// decoder fills it) to `path` top-down, through a temporary file. `row` is scratch
// space. False with a message in `error` when the file cannot be written.
bool write_png(const std::string& path, const uint8_t* rgb32, int32_t width, int32_t height,
               std::vector<uint8_t>& row, std::string& error);

}  // namespace ruv::ruvdec
