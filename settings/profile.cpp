// The profile file: section "OUTPUT", keys "rgb32" and "yuy2", values "ON" and "OFF".
#include <cstring>

#include "settings.h"

namespace ruv {

void OutputSettings::clear() {
    module = nullptr;
    dialog_window = nullptr;
    rgb32_enabled = 0;
    yuy2_enabled = 0;
}

bool join_profile_path(const char* directory, size_t length, char (&path)[MAX_PATH]) {
    const size_t name = sizeof profile_file_name;   // terminator included
    if (length == 0 || length + 1 + name > MAX_PATH) return false;
    std::memcpy(path, directory, length);
    path[length] = '\\';
    std::memcpy(path + length + 1, profile_file_name, name);
    return true;
}

bool profile_path(char (&path)[MAX_PATH]) {
    char directory[MAX_PATH];
    // The length without the terminator, or the size needed when it does not fit.
#if defined(_WIN64)
    // The 32-bit codec's file, which 64-bit Windows keeps in the 32-bit system
    // directory, so that a choice made in a 32-bit host holds in a 64-bit one and
    // back. Without a 32-bit subsystem the system directory is the only one.
    UINT length = GetSystemWow64DirectoryA(directory, MAX_PATH);
    if (length == 0) length = GetSystemDirectoryA(directory, MAX_PATH);
#else
    const UINT length = GetSystemDirectoryA(directory, MAX_PATH);
#endif
    if (length == 0 || length >= MAX_PATH) return false;
    return join_profile_path(directory, length, path);
}

bool file_exists(const char* path, DWORD* attributes) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    if (attributes) *attributes = found.dwFileAttributes;
    FindClose(search);
    return true;
}

bool strings_equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool read_switch(const char* path, const char* section, const char* key, int32_t& value) {
    char text[MAX_PATH];
    GetPrivateProfileStringA(section, key, "", text, MAX_PATH, path);
    if (strings_equal(text, "OFF") || strings_equal(text, "off")) {
        value = 0;
        return true;
    }
    if (strings_equal(text, "ON") || strings_equal(text, "on")) {
        value = 1;
        return true;
    }
    return false;
}

bool write_switch(profile_mode mode, const char* path, const char* section, const char* key, int32_t& value) {
    if (mode == load && read_switch(path, section, key, value)) return true;
    WritePrivateProfileStringA(section, key, value ? "ON" : "OFF", path);
    return mode == save;
}

bool OutputSettings::sync_profile(profile_mode mode) {
    if (mode == load) {
        rgb32_enabled = 1;
        yuy2_enabled = 1;
    }
    char path[MAX_PATH];
    // A system directory too long for the path: the defaults, and no file touched.
    if (!profile_path(path)) return false;
    if (mode == load && !file_exists(path, nullptr)) mode = save;
    write_switch(mode, path, profile_section, "rgb32", rgb32_enabled);
    return write_switch(mode, path, profile_section, "yuy2", yuy2_enabled);
}

}  // namespace ruv
