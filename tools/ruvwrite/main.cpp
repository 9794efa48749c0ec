// ruvwrite: writes "RUV1" AVI files from synthetic pictures, for tests, samples
// and benchmarks. Frames are chosen greedily within a tolerance, or with random
// codes for coverage.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "avi.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

const char* const usage =
    "usage: ruvwrite -o OUT.avi [options]\n"
    "\n"
    "Writes a \"RUV1\" AVI file of a moving synthetic picture.\n"
    "\n"
    "options:\n"
    "  --width W           picture width in pixels (default 320)\n"
    "  --height H          picture height in pixels (default 240)\n"
    "  --mode M            coding mode 0-4 (default 3)\n"
    "  --frames N          number of frames (default 90)\n"
    "  --key-interval N    a key frame every N frames; 0: only the first (default 30)\n"
    "  --fps R             frames per second, a whole number (default 30)\n"
    "  --tolerance T       largest error per sample in delta frames (default 2)\n"
    "  --random SEED       delta frames of random codes and payload instead of the picture\n"
    "  --index KIND        idx1, opendml or none (default idx1)\n"
    "  --riff-limit BYTES  OpenDML: start a new RIFF past this size (default 1 GiB)\n"
    "  --drop LIST         comma-separated frame numbers stored as dropped (empty) frames\n"
    "  -h, --help          show this help\n";

bool parse_number(const char* text, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    value = v;
    return true;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "ruvwrite: %s\n", message.c_str());
    return 1;
}

// The frame numbers of a comma-separated list; false for an item that is not one.
bool parse_list(const std::string& list, std::set<uint64_t>& numbers) {
    size_t pos = 0;
    while (pos < list.size()) {
        const size_t comma = std::min(list.find(',', pos), list.size());
        uint64_t value;
        if (!parse_number(list.substr(pos, comma - pos).c_str(), value)) return false;
        numbers.insert(value);
        pos = comma + 1;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string output;
    std::string index = "idx1";
    std::string drops;
    uint64_t width = 320, height = 240, mode = 3, frames = 90, key_interval = 30, fps = 30, tolerance = 2;
    uint64_t riff_limit = uint64_t(1) << 30;
    uint64_t seed = 0;
    bool random = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (i + 1 >= argc) return fail("missing value after " + arg + "\n" + usage);
        const char* value = argv[++i];
        uint64_t* number = nullptr;
        if (arg == "-o") output = value;
        else if (arg == "--index") index = value;
        else if (arg == "--drop") drops = value;
        else if (arg == "--width") number = &width;
        else if (arg == "--height") number = &height;
        else if (arg == "--mode") number = &mode;
        else if (arg == "--frames") number = &frames;
        else if (arg == "--key-interval") number = &key_interval;
        else if (arg == "--fps") number = &fps;
        else if (arg == "--tolerance") number = &tolerance;
        else if (arg == "--riff-limit") number = &riff_limit;
        else if (arg == "--random") number = &seed, random = true;
        else return fail("unknown option " + arg + "\n" + usage);
        if (number && !parse_number(value, *number)) return fail("not a whole number: " + arg + " " + value);
    }
    if (output.empty()) return fail(std::string("no output file given (-o)\n") + usage);
    if (fps == 0 || fps > 1000) return fail("--fps must be 1 to 1000");
    if (tolerance > 255) return fail("--tolerance must be 0 to 255");
    if (width > 16384 || height > 16384) return fail("the picture may be at most 16384 x 16384");
    if (mode > 4) return fail("--mode must be 0 to 4");
    if (key_interval > UINT32_MAX) return fail("--key-interval is too large");
    std::set<uint64_t> dropped;
    if (!parse_list(drops, dropped)) return fail("--drop takes frame numbers separated by commas: " + drops);

    ruv::stream_writer writer;
    if (!writer.setup(int32_t(width), int32_t(height), uint32_t(mode), uint32_t(key_interval))) {
        return fail("coding mode " + std::to_string(mode) + " cannot carry " + std::to_string(width) + " x " +
                    std::to_string(height) + " (modes 0-4; width a multiple of 4, or of 8 for modes 1-4; even height)");
    }

    ruv::avi::writer_options options;
    if (index == "idx1") options.layout = ruv::avi::index_layout::idx1;
    else if (index == "opendml") options.layout = ruv::avi::index_layout::open_dml;
    else if (index == "none") options.layout = ruv::avi::index_layout::none;
    else return fail("unknown index kind " + index + " (idx1, opendml or none)");
    options.riff_limit = riff_limit;

    ruv::avi::video_format format;
    format.handler = ruv::avi::fourcc('R', 'U', 'V', '1');
    format.width = uint32_t(width);
    format.height = uint32_t(height);
    format.rate = uint32_t(fps);
    format.scale = 1;
    format.strf = writer.input_format_bytes();

    ruv::avi::writer avi;
    if (!avi.open(output, format, options)) return fail(avi.error());
    for (uint64_t n = 0; n < frames; ++n) {
        if (dropped.count(n) != 0) {
            if (!avi.write_frame(nullptr, 0, false)) return fail(avi.error());
            continue;
        }
        const ruv::picture target = ruv::synthetic_picture(int32_t(width), int32_t(height), uint32_t(n));
        const ruv::encoded_frame frame = writer.is_key_frame(n) ? writer.write_intra(target)
                                         : random                ? writer.write_random_delta(seed + n)
                                                                 : writer.write_delta(target, int(tolerance));
        if (!avi.write_frame(frame.bytes.data(), frame.bytes.size(), frame.key)) return fail(avi.error());
    }
    if (!avi.close()) return fail(avi.error());
    return 0;
}
