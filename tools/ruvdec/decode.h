// ruvdec decode: every frame of the "RUV1" stream through the decoder, into one
// of the output formats.
#pragma once

#include "arguments.h"

namespace ruv::ruvdec {

int run_decode(const options& o);

}  // namespace ruv::ruvdec
