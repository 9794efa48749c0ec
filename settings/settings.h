// The two output-format switches of the codec (32-bit RGB and YUY2), kept in the
// profile file "RuvDec.ini" in the system directory, and the settings dialog that
// changes them.
//
// Every instance keeps a working copy in an OutputSettings record; nothing is
// cached between loads, so a choice saved by any instance, or edited by hand,
// takes effect at the next format query of every instance.
#pragma once

#include <windows.h>

#include <cstdint>

// Functions the platform calls into. 32-bit Windows promises callers only 4-byte
// stack alignment, while the SSE2 code inside assumes 16: realign on entry.
#if defined(__i386__)
#define RUV_HOST_ENTRY __attribute__((force_align_arg_pointer))
#else
#define RUV_HOST_ENTRY
#endif

namespace ruv {

// The codec's version as it shows it: 1.01, also 101 in the codec's info record.
constexpr int version_major = 1;
constexpr int version_minor = 1;
// "Ver1.01", as the dialog and the info record show it, made by the compiler.
static_assert(version_major >= 0 && version_major < 10 && version_minor >= 0 && version_minor < 100,
              "one digit, then two");
constexpr char version_text[] = {'V', 'e', 'r', char('0' + version_major), '.', char('0' + version_minor / 10),
                                 char('0' + version_minor % 10), '\0'};

// What sync_profile does with the file.
enum profile_mode : int { load = 0, save = 1 };

constexpr char profile_file_name[] = "RuvDec.ini";
constexpr char profile_section[] = "OUTPUT";
constexpr int dialog_template_id = 101;

struct OutputSettings {
    HINSTANCE module;        // the module holding the dialog template, set by show_dialog
    HWND dialog_window;      // the open settings dialog, null otherwise
    int32_t rgb32_enabled;   // non-zero: 32-bit RGB output may be accepted
    int32_t yuy2_enabled;    // non-zero: YUY2 output may be accepted

    // Zeroes the record: both formats count as off until the first load.
    void clear();

    // Load: both switches from the file, creating it with both keys "ON" when it
    // is missing and rewriting a missing or unrecognised key as "ON". Save: both
    // keys from the switches. The result is that of the "yuy2" key.
    bool sync_profile(profile_mode mode);
    bool load_profile() { return sync_profile(load); }

    int32_t get_rgb32_enabled() const { return rgb32_enabled; }
    int32_t get_yuy2_enabled() const { return yuy2_enabled; }

    // Shows the modal settings dialog (template 101 of module) over owner, loading
    // the file when it opens and saving both boxes on OK; returns when it has ended.
    bool show_dialog(HINSTANCE module, HWND owner);
    void on_init_dialog(HWND window);
    void on_close(HWND window, WPARAM wparam, LPARAM result);
};

// The store's own operations.

// The profile file's path: the system directory (for the 64-bit codec the 32-bit
// system directory, which the 32-bit codec's file lands in), a backslash and "RuvDec.ini".
// False when the directory is unknown or the whole path does not fit in MAX_PATH
// characters; the store then reads and writes no file at all.
bool profile_path(char (&path)[MAX_PATH]);
bool join_profile_path(const char* directory, size_t length, char (&path)[MAX_PATH]);

// Whether anything exists at path; its attributes go to *attributes when given.
bool file_exists(const char* path, DWORD* attributes);
// Same length and same bytes.
bool strings_equal(const char* a, const char* b);
// Sets value from "OFF"/"off" (0) or "ON"/"on" (1) and returns true; any other
// value, a missing key included, leaves it unchanged and returns false.
bool read_switch(const char* path, const char* section, const char* key, int32_t& value);
// Save: writes the value as "ON" or "OFF". Load: read_switch, and when that fails
// writes the value as it stands (the repair) and returns false.
bool write_switch(profile_mode mode, const char* path, const char* section, const char* key, int32_t& value);

// The settings dialog's procedure; the record travels in the window's user data.
RUV_HOST_ENTRY INT_PTR CALLBACK settings_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void set_check(HWND window, int id, int32_t state);
void get_check(HWND window, int id, int32_t& state);
void set_item_text(HWND window, int id, const char* text, size_t size);

}  // namespace ruv
