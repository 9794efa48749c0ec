// ruvdec: converts the "RUV1" video stream of an AVI file into raw YUY2, RGB32 or
// planar 4:2:0 frames, a YUV4MPEG2 stream, an AVI file of uncompressed frames or
// PNG pictures, feeding every frame to the decoder as a Video for Windows host would.
#include "arguments.h"
#include "decode.h"
#include "info.h"

int main(int argc, char** argv) {
    using namespace ruv::ruvdec;
    options o;
    const int status = parse_command_line(argc, argv, o);
    if (status >= 0) return status;
    return o.command == "info" ? run_info(o) : run_decode(o);
}
