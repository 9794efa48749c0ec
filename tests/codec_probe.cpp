// A small host for the install tests, built for each Windows width:
//   codec_probe open                  the codec opens by FourCC and names itself
//   codec_probe query rgb32|yuy2      the codec's answer to a 64 x 32 output query
//   codec_probe configure ON|OFF ON|OFF
//                                     opens the codec's settings dialog through the
//                                     codec manager, sets both boxes and presses OK
//                                     (needs a display)
// It prints what it found and exits 0 when the codec answered at all.
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "decoder.h"
#include "input_format.h"

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

BOOL CALLBACK take_dialog(HWND window, LPARAM out) {
    char name[16];
    GetClassNameA(window, name, sizeof name);
    if (std::string(name) != "#32770" || !IsWindowVisible(window)) return TRUE;
    *reinterpret_cast<HWND*>(out) = window;
    return FALSE;
}

// Sets a check box to the wanted state as a user does, by clicking it.
void tick(HWND dialog, int id, bool wanted) {
    const HWND box = GetDlgItem(dialog, id);
    if ((SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED) != wanted) SendMessageA(box, BM_CLICK, 0, 0);
}

int configure(const std::string& rgb32, const std::string& yuy2) {
    const HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('R', 'U', 'V', '1'), ICMODE_DECOMPRESS);
    if (!hic) {
        std::puts("no codec");
        return 1;
    }
    const DWORD thread = GetCurrentThreadId();
    bool pressed = false;
    std::thread user([&] {
        HWND dialog = nullptr;
        for (int waited = 0; !dialog && waited < 60000; waited += 20) {
            Sleep(20);
            EnumThreadWindows(thread, take_dialog, reinterpret_cast<LPARAM>(&dialog));
        }
        if (!dialog) return;
        tick(dialog, 1004, rgb32 == "ON");
        tick(dialog, 1005, yuy2 == "ON");
        SendMessageA(GetDlgItem(dialog, 1029), BM_CLICK, 0, 0);
        pressed = true;
    });
    ICConfigure(hic, nullptr);
    user.join();
    ICClose(hic);
    std::puts(pressed ? "configured" : "no dialog");
    return pressed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "open" && argc == 2) return open_codec();
    if (command == "query" && argc == 3) return query(argv[2]);
    if (command == "configure" && argc == 4) return configure(argv[2], argv[3]);
    std::fputs("usage: codec_probe open | query rgb32|yuy2 | configure ON|OFF ON|OFF\n", stderr);
    return 2;
}
