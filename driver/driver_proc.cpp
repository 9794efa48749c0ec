// The library's entry points: DllMain keeps the module handle, DriverProc answers
// every driver and codec-manager message, handing the instance messages to the
// CodecInstance that the driver id names.
#include "driver.h"

namespace {

// The module holding the dialog template; the only state the library keeps.
HINSTANCE module_handle = nullptr;

ruv::CodecInstance* instance_of(DWORD_PTR driver_id) { return reinterpret_cast<ruv::CodecInstance*>(driver_id); }

// The settings dialog on the instance's record. Without an instance (some hosts
// configure a driver they have not opened) it runs on a record of its own: the
// dialog reads and saves the profile file, so nothing of the choice is lost.
void configure(ruv::CodecInstance* instance, LPARAM owner) noexcept {
    const HWND window = reinterpret_cast<HWND>(owner);
    if (instance) {
        instance->configure(module_handle, window);
        return;
    }
    ruv::OutputSettings settings;
    settings.clear();
    settings.show_dialog(module_handle, window);
}

// A configure or about message whose lParam1 is all ones only asks whether there is a dialog.
bool configure_query(LPARAM owner) { return owner == LPARAM(-1); }

}  // namespace

extern "C" RUV_HOST_ENTRY BOOL WINAPI DllMain(HINSTANCE module, DWORD, LPVOID) noexcept {
    module_handle = module;
    return TRUE;
}

extern "C" RUV_HOST_ENTRY LRESULT WINAPI DriverProc(DWORD_PTR driver_id, HDRVR driver, UINT message, LPARAM lparam1,
                                                    LPARAM lparam2) noexcept {
    ruv::CodecInstance* instance = instance_of(driver_id);
    // Messages that need an open instance are refused with ICERR_BADPARAM without one.
    const auto with_instance = [&](auto&& work) -> LRESULT { return instance ? work(*instance) : ICERR_BADPARAM; };
    const auto* header1 = reinterpret_cast<const BITMAPINFOHEADER*>(lparam1);
    auto* header2 = reinterpret_cast<BITMAPINFOHEADER*>(lparam2);

    switch (message) {
        case DRV_LOAD:
        case DRV_ENABLE:
        case DRV_DISABLE:
        case DRV_FREE:
        case DRV_QUERYCONFIGURE:
        case DRV_INSTALL:
        case DRV_REMOVE:
            return 1;
        case DRV_OPEN:
            return reinterpret_cast<LRESULT>(ruv::open_instance(reinterpret_cast<ICOPEN*>(lparam2)));
        case DRV_CLOSE:
            if (instance) instance->close_instance();
            return 1;
        case DRV_CONFIGURE:
            configure(instance, lparam1);
            return 1;
        case ICM_DECOMPRESS_GET_FORMAT:
            return with_instance([&](ruv::CodecInstance& i) { return i.decompress_get_format(header1, header2); });
        case ICM_DECOMPRESS_QUERY:
            return with_instance([&](ruv::CodecInstance& i) { return i.decompress_query(header1, header2); });
        case ICM_DECOMPRESS_BEGIN:
            return with_instance([&](ruv::CodecInstance& i) { return i.decompress_begin(header1, header2); });
        case ICM_DECOMPRESS:
            return with_instance(
                [&](ruv::CodecInstance& i) { return i.decompress(reinterpret_cast<const ICDECOMPRESS*>(lparam1)); });
        case ICM_DECOMPRESS_END:
            return with_instance([](ruv::CodecInstance& i) { return i.decompress_end(); });
        case ICM_DECOMPRESS_GET_PALETTE:
            return ICERR_BADFORMAT;
        case ICM_GETSTATE:
        case ICM_SETSTATE:
            return 0;
        case ICM_GETINFO:
            return ruv::CodecInstance::get_info(reinterpret_cast<ICINFO*>(lparam1), DWORD(lparam2));
        case ICM_CONFIGURE:
        case ICM_ABOUT:
            if (!configure_query(lparam1)) configure(instance, lparam1);
            return ICERR_OK;
        case ICM_GETDEFAULTQUALITY:
            if (!lparam1) return ICERR_UNSUPPORTED;
            *reinterpret_cast<DWORD*>(lparam1) = 7500;
            return ICERR_OK;
        default:
            if (message < DRV_USER) return DefDriverProc(driver_id, driver, message, lparam1, lparam2);
            return ICERR_UNSUPPORTED;
    }
}
