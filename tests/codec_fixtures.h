// What the Windows codec tests share: writer streams with the host's headers, the
// portable decoder's bytes for them, and the real profile file of the Wine prefix.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decoder.h"
#include "input_format.h"
#include "settings.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace ruv::codec_test {

using bytes = std::vector<uint8_t>;

// An 80-byte stream header as a host holds it, biSizeImage free for each frame.
struct stream_header {
    alignas(8) uint8_t bytes[80] = {};
    BITMAPINFOHEADER* bih() { return reinterpret_cast<BITMAPINFOHEADER*>(bytes); }
    const BITMAPINFOHEADER* bih() const { return reinterpret_cast<const BITMAPINFOHEADER*>(bytes); }
    static stream_header of(const InputFormat& f) {
        stream_header h;
        f.serialize(h.bytes);
        return h;
    }
    static stream_header of(int32_t width, int32_t height, uint32_t mode) {
        InputFormat f;
        f.width = width;
        f.height = height;
        f.coding_mode = mode;
        return of(f);
    }
};

inline BITMAPINFOHEADER output_header(int32_t width, int32_t height, uint32_t compression, WORD bit_count) {
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = bit_count;
    h.biCompression = compression;
    return h;
}

inline BITMAPINFOHEADER output_for(int32_t width, int32_t height, uint32_t compression) {
    return output_header(width, height, compression, compression == compression_rgb32 ? 32 : 16);
}

// A stream from the writer: greedy frames of a moving picture with a key frame
// every 5, and every fourth delta frame of random codes.
struct test_stream {
    stream_writer writer;
    std::vector<encoded_frame> frames;

    static test_stream make(int32_t width, int32_t height, uint32_t mode, uint32_t count, uint32_t seed = 0) {
        test_stream s;
        s.writer.setup(width, height, mode, 5);
        for (uint32_t t = 0; t < count; ++t) {
            const bool random = mode != 0 && t % 5 == 3;
            s.frames.push_back(random ? s.writer.write_random_delta(seed * 1000 + t)
                                      : s.writer.write_frame(synthetic_picture(width, height, t + seed), 3));
        }
        return s;
    }
    InputFormat format() const { return writer.input_format(); }
};

// The portable decoder's output for every frame of a stream, routed by the frames' kinds.
inline std::vector<bytes> reference_pictures(const test_stream& s, uint32_t compression) {
    DecoderContext ctx;
    const InputFormat f = s.format();
    if (!ctx.setup(f.width, f.height, f.coding_mode, compression)) return {};
    std::vector<bytes> pictures;
    bytes out(ctx.output_size(), 0);
    for (const encoded_frame& e : s.frames) {
        if (e.key) ctx.decode_intra(out.data(), e.bytes.data(), e.bytes.size());
        else ctx.decode_delta(out.data(), e.bytes.data(), e.bytes.size());
        pictures.push_back(out);
    }
    return pictures;
}

// The profile file in the prefix's system directory.
inline std::string profile() {
    char path[MAX_PATH];
    return profile_path(path) ? std::string(path) : std::string();
}

inline void remove_profile() { DeleteFileA(profile().c_str()); }

inline void write_profile_text(const std::string& text) {
    const HANDLE file = CreateFileA(profile().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(file);
}

inline std::string read_profile_text() {
    const HANDLE file = CreateFileA(profile().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string text(65536, '\0');
    DWORD got = 0;
    ReadFile(file, &text[0], DWORD(text.size()), &got, nullptr);
    CloseHandle(file);
    text.resize(got);
    return text;
}

inline std::string profile_value(const char* key) {
    char value[MAX_PATH];
    GetPrivateProfileStringA(profile_section, key, "<none>", value, MAX_PATH, profile().c_str());
    return value;
}

inline void set_profile(const char* rgb32, const char* yuy2) {
    write_profile_text(std::string("[OUTPUT]\r\nrgb32=") + rgb32 + "\r\nyuy2=" + yuy2 + "\r\n");
}

// Ruv_dec.dll as the build made it, by its Windows path (Wine's drive Z: is /).
inline std::string dll_path() {
#ifdef RUV_DLL_PATH
    std::string path = RUV_DLL_PATH;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
#else
    return "Ruv_dec.dll";
#endif
}

// Copies the DLL into the prefix's system directory and registers it for
// "vidc.RUV1", as a user installs it; both outputs switched on.
inline void install_codec() {
    char directory[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(directory, MAX_PATH), 0u);
    const std::string target = std::string(directory) + "\\Ruv_dec.dll";
    ASSERT_TRUE(CopyFileA(dll_path().c_str(), target.c_str(), FALSE)) << GetLastError();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32", 0,
                              nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char value[] = "Ruv_dec.dll";
    ASSERT_EQ(RegSetValueExA(key, "vidc.RUV1", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value),
              ERROR_SUCCESS);
    RegCloseKey(key);
    set_profile("ON", "ON");
}

using driver_proc_fn = LRESULT(WINAPI*)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

// The DLL loaded for direct calls of its DriverProc.
struct loaded_codec {
    HMODULE module = LoadLibraryA(dll_path().c_str());
    driver_proc_fn proc = module ? reinterpret_cast<driver_proc_fn>(
                                       reinterpret_cast<void*>(GetProcAddress(module, "DriverProc")))
                                 : nullptr;
    ~loaded_codec() {
        if (module) FreeLibrary(module);
    }
    LRESULT send(DWORD_PTR id, UINT message, LPARAM a = 0, LPARAM b = 0) const {
        return proc(id, nullptr, message, a, b);
    }
    DWORD_PTR open() const {
        ICOPEN o{};
        o.dwSize = sizeof o;
        o.fccType = ICTYPE_VIDEO;
        o.fccHandler = mmioFOURCC('R', 'U', 'V', '1');
        o.dwFlags = ICMODE_DECOMPRESS;
        return DWORD_PTR(send(0, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&o)));
    }
};

}  // namespace ruv::codec_test
