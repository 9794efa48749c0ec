// The settings dialog: two check boxes for the output formats, OK to save them
// (asking first where both are off), cancel (or the caption's close button) to
// leave the file as it was.
#include "settings.h"

namespace ruv {

namespace {

enum control_id : int {
    id_rgb32 = 1004,
    id_yuy2 = 1005,
    id_ok = 1029,
    id_cancel = 1030,
    id_version = 1031,
};

}  // namespace

bool OutputSettings::show_dialog(HINSTANCE owner_module, HWND owner) {
    module = owner_module;
    DialogBoxParamA(module, MAKEINTRESOURCEA(dialog_template_id), owner, settings_dialog_proc,
                    reinterpret_cast<LPARAM>(this));
    if (dialog_window) {
        EndDialog(dialog_window, 0);
        dialog_window = nullptr;
    }
    return true;
}

INT_PTR CALLBACK settings_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrA(window, GWLP_USERDATA, lparam);
    // Null for the few messages that come before WM_INITDIALOG.
    OutputSettings* settings = reinterpret_cast<OutputSettings*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
        case WM_CLOSE:
            if (settings) settings->on_close(window, wparam, lparam);
            return TRUE;
        case WM_INITDIALOG:
            if (settings) settings->on_init_dialog(window);
            return FALSE;
        case WM_COMMAND:
            // The two buttons close through WM_CLOSE, whose lParam says whether to
            // save. IDOK and IDCANCEL (Enter and Escape) are ignored on purpose.
            if (LOWORD(wparam) == id_ok) SendMessageA(window, WM_CLOSE, 0, 1);
            else if (LOWORD(wparam) == id_cancel) SendMessageA(window, WM_CLOSE, 0, 0);
            return FALSE;
        default:
            return FALSE;
    }
}

void OutputSettings::on_init_dialog(HWND window) {
    dialog_window = window;
    sync_profile(load);
    set_check(window, id_rgb32, rgb32_enabled);
    set_check(window, id_yuy2, yuy2_enabled);
    set_item_text(window, id_version, version_text, sizeof version_text);
}

namespace {

// With both outputs off no host can open a "RUV1" file: OK asks first, and No
// goes back to the dialog. The text is UTF-16, so it shows whatever the code page.
bool confirm_no_output(HWND window) {
    return MessageBoxW(window,
                       L"RGB32 と YUY2 の両方がオフになっています。\n"
                       L"このままでは、どのソフトでも\n"
                       L"RUV1 の動画を開けません。\n\n"
                       L"このまま保存しますか？",
                       L"RUV デコーダー設定", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

}  // namespace

void OutputSettings::on_close(HWND window, WPARAM, LPARAM result) {
    if (result == 1) {
        int32_t rgb32 = 0, yuy2 = 0;
        get_check(window, id_rgb32, rgb32);
        get_check(window, id_yuy2, yuy2);
        if (!rgb32 && !yuy2 && !confirm_no_output(window)) return;
        rgb32_enabled = rgb32;
        yuy2_enabled = yuy2;
        sync_profile(save);
    }
    EndDialog(window, result);
    dialog_window = nullptr;
}

void set_check(HWND window, int id, int32_t state) {
    SendMessageA(GetDlgItem(window, id), BM_SETCHECK, WPARAM(state), 0);
}

void get_check(HWND window, int id, int32_t& state) {
    state = int32_t(SendMessageA(GetDlgItem(window, id), BM_GETCHECK, 0, 0));
}

void set_item_text(HWND window, int id, const char* text, size_t) { SetDlgItemTextA(window, id, text); }

}  // namespace ruv
