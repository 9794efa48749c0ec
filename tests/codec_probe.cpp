// A small host for the install tests, built for each Windows width:
//   codec_probe open                  the codec opens by FourCC and names itself
//   codec_probe query rgb32|yuy2      the codec's answer to a 64 x 32 output query
//   codec_probe save ON|OFF ON|OFF    saves both switches as the codec's dialog does
// It prints what it found and exits 0 when the codec answered at all.
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "decoder.h"
#include "input_format.h"
#include "settings.h"

namespace {

int open_codec() {
    const HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('R', 'U', 'V', '1'), ICMODE_DECOMPRESS);
    if (!hic) {
        std::puts("no codec");
        return 1;
    }
    ICINFO info{};
    ICGetInfo(hic, &info, sizeof info);
    ICClose(hic);
    std::printf("open %ls\n", info.szName);
    return 0;
}

int query(const std::string& format) {
    const HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('R', 'U', 'V', '1'), ICMODE_DECOMPRESS);
    if (!hic) {
        std::puts("no codec");
        return 1;
    }
    ruv::InputFormat f;
    f.width = 64;
    f.height = 32;
    f.coding_mode = 3;
    alignas(8) uint8_t input[80];
    f.serialize(input);
    BITMAPINFOHEADER out{};
    out.biSize = sizeof out;
    out.biWidth = 64;
    out.biHeight = 32;
    out.biPlanes = 1;
    const bool rgb = format == "rgb32";
    out.biCompression = rgb ? ruv::compression_rgb32 : ruv::compression_yuy2;
    out.biBitCount = rgb ? 32 : 16;
    const LRESULT result = ICDecompressQuery(hic, reinterpret_cast<BITMAPINFOHEADER*>(input), &out);
    ICClose(hic);
    std::printf("query %s %ld\n", format.c_str(), long(result));
    return 0;
}

int save(const std::string& rgb32, const std::string& yuy2) {
    ruv::OutputSettings s;
    s.clear();
    s.rgb32_enabled = rgb32 == "ON";
    s.yuy2_enabled = yuy2 == "ON";
    s.sync_profile(ruv::save);
    char path[MAX_PATH];
    std::printf("saved %s\n", ruv::profile_path(path) ? path : "nowhere");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "open" && argc == 2) return open_codec();
    if (command == "query" && argc == 3) return query(argv[2]);
    if (command == "save" && argc == 4) return save(argv[2], argv[3]);
    std::fputs("usage: codec_probe open | query rgb32|yuy2 | save ON|OFF ON|OFF\n", stderr);
    return 2;
}
