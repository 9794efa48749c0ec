// Encoding one decoded RGB32 picture as an 8-bit RGB PNG file with libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ruv::ruvdec {

// Encodes `rgb32` (width x height pixels of B, G, R, luma, rows bottom-up, as the
// decoder fills it) top-down into `png`. False with a message in `error` (out of
// memory) when it cannot.
bool encode_png(const uint8_t* rgb32, int32_t width, int32_t height, std::vector<uint8_t>& png,
                std::string& error);

}  // namespace ruv::ruvdec
