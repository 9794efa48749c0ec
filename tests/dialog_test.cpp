// The settings dialog on a real display (Xvfb), opened through DriverProc and
// driven from a second thread as a user would: ticks, OK, cancel, the caption's
// close button, Enter and Escape, and the question when both outputs are off.
// Screenshots of the open dialog and of that question are kept.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "codec_fixtures.h"

namespace ruv::codec_test {
namespace {

// A visible dialog window of the thread other than `except` (a message box
// over the settings dialog is one too).
struct dialog_search {
    HWND except;
    HWND found;
};

BOOL CALLBACK take_dialog(HWND window, LPARAM out) {
    auto* search = reinterpret_cast<dialog_search*>(out);
    char name[16];
    GetClassNameA(window, name, sizeof name);
    if (std::string(name) != "#32770" || !IsWindowVisible(window) || window == search->except) return TRUE;
    search->found = window;
    return FALSE;
}

HWND find_dialog(DWORD thread, HWND except = nullptr) {
    dialog_search search{except, nullptr};
    EnumThreadWindows(thread, take_dialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

template <typename Pred>
bool wait_for(Pred done, int milliseconds = 10000) {
    for (int waited = 0; waited < milliseconds; waited += 20) {
        if (done()) return true;
        Sleep(20);
    }
    return done();
}

bool checked(HWND dialog, int id) { return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
void click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// Sends a configure message on this thread, which shows the modal dialog, while
// a second thread runs the user's steps on it. A dialog left open by failed steps
// is cancelled, so the test cannot hang.
LRESULT with_dialog(const loaded_codec& codec, DWORD_PTR id, UINT message, std::function<void(HWND)> steps,
                    bool* closed = nullptr) {
    const DWORD thread = GetCurrentThreadId();
    std::thread user([&] {
        HWND dialog = nullptr;
        if (!wait_for([&] { return (dialog = find_dialog(thread)) != nullptr; }, 60000)) {
            ADD_FAILURE() << "no dialog appeared";
            return;
        }
        steps(dialog);
        const bool gone = wait_for([&] { return !IsWindow(dialog); }, 5000);
        if (closed) *closed = gone;
        if (!gone) PostMessageA(dialog, WM_COMMAND, 1030, 0);
    });
    const LRESULT result = codec.send(id, message, 0, 0);
    user.join();
    return result;
}

// The dialog's pixels from the screen, as a 24-bit BMP.
void save_screenshot(HWND dialog, const char* path) {
    RECT r;
    GetWindowRect(dialog, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    const DWORD stride = DWORD((width * 3 + 3) & ~3);
    info.biSizeImage = stride * DWORD(height);
    bytes pixels(info.biSizeImage);
    GetDIBits(memory, bitmap, 0, UINT(height), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + info.biSizeImage;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(reinterpret_cast<const char*>(pixels.data()), std::streamsize(pixels.size()));
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

LRESULT query(const loaded_codec& codec, DWORD_PTR id, uint32_t compression) {
    stream_header in = stream_header::of(64, 32, 3);
    BITMAPINFOHEADER out = output_for(64, 32, compression);
    return codec.send(id, ICM_DECOMPRESS_QUERY, reinterpret_cast<LPARAM>(in.bih()), reinterpret_cast<LPARAM>(&out));
}

TEST(SettingsDialog, AsAUserDrivesIt) {
    loaded_codec codec;
    ASSERT_NE(codec.proc, nullptr);
    const DWORD_PTR id = codec.open();
    ASSERT_NE(id, 0u);

    // Queries show nothing: a modal dialog would not let the call return.
    EXPECT_EQ(codec.send(id, ICM_CONFIGURE, -1), ICERR_OK);
    EXPECT_EQ(codec.send(id, ICM_ABOUT, -1), ICERR_OK);
    EXPECT_EQ(find_dialog(GetCurrentThreadId()), nullptr);

    // A missing file: created when the dialog opens, both boxes ticked. Enter and
    // Escape leave it open; untick RGB32, then OK saves both boxes.
    remove_profile();
    bool closed = false;
    LRESULT result = with_dialog(
        codec, id, ICM_CONFIGURE,
        [](HWND dialog) {
            EXPECT_EQ(profile_value("rgb32"), "ON");
            EXPECT_EQ(profile_value("yuy2"), "ON");
            EXPECT_TRUE(checked(dialog, 1004));
            EXPECT_TRUE(checked(dialog, 1005));
            char text[32] = {};
            GetDlgItemTextA(dialog, 1031, text, sizeof text);
            EXPECT_STREQ(text, "Ver1.01");
            wchar_t caption[32] = {};
            GetWindowTextW(dialog, caption, 32);
            EXPECT_EQ(std::wstring(caption), L"RUV デコーダー設定");
            if (const char* shot = std::getenv("RUV_DIALOG_SCREENSHOT")) {
                Sleep(300);   // let it paint
                save_screenshot(dialog, shot);
            }
            for (WPARAM key : {WPARAM(VK_RETURN), WPARAM(VK_ESCAPE)}) {
                PostMessageA(GetDlgItem(dialog, 1004), WM_KEYDOWN, key, 1);
                PostMessageA(GetDlgItem(dialog, 1004), WM_KEYUP, key, 0xC0000001);
            }
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
            Sleep(300);
            EXPECT_TRUE(IsWindow(dialog)) << "Enter or Escape closed the dialog";
            EXPECT_EQ(profile_value("rgb32"), "ON");
            click(dialog, 1004);
            EXPECT_FALSE(checked(dialog, 1004));
            click(dialog, 1029);
        },
        &closed);
    EXPECT_EQ(result, ICERR_OK);
    EXPECT_TRUE(closed);
    EXPECT_EQ(profile_value("rgb32"), "OFF");
    EXPECT_EQ(profile_value("yuy2"), "ON");
    EXPECT_EQ(query(codec, id, compression_rgb32), ICERR_BADFORMAT);
    EXPECT_EQ(query(codec, id, compression_yuy2), ICERR_OK);

    // Cancel, and the caption's close button, write nothing, whatever was toggled.
    const std::string before = read_profile_text();
    const auto toggle_both = [](HWND dialog) {
        EXPECT_FALSE(checked(dialog, 1004));
        EXPECT_TRUE(checked(dialog, 1005));
        click(dialog, 1004);
        click(dialog, 1005);
    };
    result = with_dialog(codec, id, DRV_CONFIGURE, [&](HWND dialog) {
        toggle_both(dialog);
        click(dialog, 1030);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(read_profile_text(), before);
    result = with_dialog(codec, id, ICM_ABOUT, [&](HWND dialog) {
        toggle_both(dialog);
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    });
    EXPECT_EQ(result, ICERR_OK);
    EXPECT_EQ(read_profile_text(), before);

    // Both boxes off: OK asks first. No goes back to the dialog and saves nothing;
    // Yes saves both off, and the codec then takes no output.
    const DWORD dialog_thread = GetCurrentThreadId();
    result = with_dialog(codec, id, DRV_CONFIGURE, [&](HWND dialog) {
        click(dialog, 1005);   // RGB32 is off already
        ASSERT_FALSE(checked(dialog, 1004) || checked(dialog, 1005));
        for (int answer : {IDNO, IDYES}) {
            // Posted: the message box runs inside the dialog's handling of OK.
            PostMessageA(dialog, WM_COMMAND, 1029, 0);
            HWND box = nullptr;
            ASSERT_TRUE(wait_for([&] { return (box = find_dialog(dialog_thread, dialog)) != nullptr; }))
                << "no question with both outputs off";
            if (const char* shot = std::getenv("RUV_DIALOG_SCREENSHOT"); shot && answer == IDNO) {
                Sleep(300);
                save_screenshot(box, (std::string(shot).substr(0, std::strlen(shot) - 4) + "-both-off.bmp").c_str());
            }
            PostMessageA(box, WM_COMMAND, WPARAM(answer), 0);
            if (answer == IDNO) {
                ASSERT_TRUE(wait_for([&] { return !IsWindow(box); }));
                EXPECT_TRUE(IsWindow(dialog)) << "No closed the dialog";
                EXPECT_EQ(read_profile_text(), before) << "No saved";
            }
        }
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(profile_value("rgb32"), "OFF");
    EXPECT_EQ(profile_value("yuy2"), "OFF");
    EXPECT_EQ(query(codec, id, compression_yuy2), ICERR_BADFORMAT);
    set_profile("OFF", "ON");

    // Without an instance the user can still configure: the choice goes to the file.
    result = with_dialog(codec, 0, DRV_CONFIGURE, [](HWND dialog) {
        click(dialog, 1004);
        click(dialog, 1029);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(profile_value("rgb32"), "ON");
    EXPECT_EQ(profile_value("yuy2"), "ON");
    EXPECT_EQ(codec.send(id, DRV_CLOSE), 1);
}

}  // namespace
}  // namespace ruv::codec_test
