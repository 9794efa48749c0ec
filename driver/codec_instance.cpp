// Opening and closing codec instances, the codec's info record, format
// negotiation and the decompression of frames.
#include <cstdio>
#include <cstring>
#include <new>

#include "driver.h"

namespace ruv {

namespace {

constexpr DWORD bitmap_header_size = sizeof(BITMAPINFOHEADER);   // 40
static_assert(bitmap_header_size == 40, "a bare BITMAPINFOHEADER");

WORD bit_count_of(uint32_t compression) { return compression == compression_rgb32 ? 32 : 16; }

}  // namespace

CodecInstance* open_instance(ICOPEN* icopen) noexcept {
    if (icopen && icopen->fccType != ICTYPE_VIDEO) return nullptr;
    CodecInstance* instance = new (std::nothrow) CodecInstance;
    if (!instance) {
        if (icopen) icopen->dwError = DWORD(ICERR_MEMORY);
        return nullptr;
    }
    instance->settings.clear();
    if (icopen) icopen->dwError = ICERR_OK;
    return instance;
}

void CodecInstance::close_instance() noexcept {
    decoder.release();
    delete this;
}

LRESULT CodecInstance::get_info(ICINFO* info, DWORD size) noexcept {
    if (!info) return icinfo_size;
    if (size < icinfo_size) return 0;
    info->dwSize = icinfo_size;
    info->fccType = ICTYPE_VIDEO;
    info->fccHandler = mmioFOURCC('R', 'U', 'V', '1');
    info->dwFlags = 0;
    info->dwVersion = DWORD(version_major * 100 + version_minor);
    info->dwVersionICM = ICVERSION;
    char text[256];
    std::snprintf(text, sizeof text, "%s", "RuvDec");
    MultiByteToWideChar(CP_ACP, 0, text, -1, info->szName, 16);
    std::snprintf(text, sizeof text, "%s Ver%d.%02d", "RUV Decoder", version_major, version_minor);
    MultiByteToWideChar(CP_ACP, 0, text, -1, info->szDescription, 128);
    return icinfo_size;
}

bool read_input_format(const BITMAPINFOHEADER* header, InputFormat& format) {
    // biSize first: a shorter header must not be read as 80 bytes.
    if (!header || header->biSize != input_format_size) return false;
    return format.parse(reinterpret_cast<const uint8_t*>(header), input_format_size) && format.decodable();
}

bool CodecInstance::check_formats(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output) noexcept {
    InputFormat format;
    if (!read_input_format(input, format)) return false;
    settings.load_profile();
    if (!output) return true;
    if (output->biWidth != input->biWidth || output->biHeight != input->biHeight) return false;
    if (output->biCompression == compression_rgb32)
        return settings.get_rgb32_enabled() != 0 && output->biBitCount == 32;
    if (output->biCompression == compression_yuy2)
        return settings.get_yuy2_enabled() != 0 && output->biBitCount == 16;
    return false;
}

LRESULT CodecInstance::decompress_query(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output) noexcept {
    return check_formats(input, output) ? ICERR_OK : ICERR_BADFORMAT;
}

LRESULT CodecInstance::decompress_get_format(const BITMAPINFOHEADER* input, BITMAPINFOHEADER* output) noexcept {
    if (!output) return bitmap_header_size;
    InputFormat format;
    if (!read_input_format(input, format)) return ICERR_BADFORMAT;
    // The proposal must be one that the query and BEGIN then take: the output of
    // the last BEGIN while the settings allow it, else the one they allow.
    settings.load_profile();
    const bool rgb32 = settings.get_rgb32_enabled() != 0, yuy2 = settings.get_yuy2_enabled() != 0;
    if (!rgb32 && !yuy2) return ICERR_BADFORMAT;
    const bool allowed = output_compression == compression_rgb32 ? rgb32 : yuy2;
    const uint32_t proposal = allowed ? output_compression : rgb32 ? compression_rgb32 : compression_yuy2;
    std::memcpy(output, input, bitmap_header_size);
    output->biSize = bitmap_header_size;
    output->biPlanes = 1;
    output->biCompression = proposal;
    output->biBitCount = bit_count_of(proposal);
    // Fits in 32 bits: the input is decodable, so its RGB32 picture is below 4 GiB.
    output->biSizeImage = DWORD(output->biBitCount / 8) * DWORD(input->biHeight) * DWORD(input->biWidth);
    return ICERR_OK;
}

LRESULT CodecInstance::decompress_begin(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output) noexcept {
    configured = false;
    decoder.release();
    if (!output || !check_formats(input, output)) return ICERR_BADFORMAT;
    read_input_format(input, input_format);
    output_compression = output->biCompression;
    // Configured only with a decoder ready: a failed setup must not leave later
    // frames to a released decoder.
    if (!decoder.setup(input_format.width, input_format.height, input_format.coding_mode, output_compression))
        return ICERR_UNSUPPORTED;
    configured = true;
    return ICERR_OK;
}

LRESULT CodecInstance::decompress(const ICDECOMPRESS* icd) noexcept {
    if (!icd || !icd->lpInput) return ICERR_BADPARAM;
    if (!icd->lpbiInput || !icd->lpbiOutput) return ICERR_BADFORMAT;
    if (!configured) {
        const LRESULT begun = decompress_begin(icd->lpbiInput, icd->lpbiOutput);
        if (begun != ICERR_OK) return begun;
    }
    BITMAPINFOHEADER& out = *icd->lpbiOutput;
    // In 64 bits, so that no header a host passes later can overflow it.
    out.biSizeImage = DWORD(int64_t(out.biBitCount) * out.biHeight * out.biWidth / 8);

    // A host that drops a frame's picture (no output buffer, or a frame it says
    // it will not draw) still needs the frame in the reference, which the next
    // delta frames build on: such a frame is decoded into the reference alone.
    const bool drawn = icd->lpOutput && !(icd->dwFlags & (ICDECOMPRESS_HURRYUP | ICDECOMPRESS_PREROLL));
    picture_planes planes;
    if (drawn) planes = decoder.packed_planes(static_cast<uint8_t*>(icd->lpOutput));
    const picture_planes* picture = drawn ? &planes : nullptr;

    // Hosts set biSizeImage to the frame's length; 0 means they did not say, and
    // the frame is then read no further than a well-formed frame of its kind can be.
    const uint8_t* frame = static_cast<const uint8_t*>(icd->lpInput);
    const int32_t width = input_format.width;
    const int32_t height = input_format.height;
    const uint32_t mode = input_format.coding_mode;
    const bool flagged_delta = (icd->dwFlags & ICDECOMPRESS_NOTKEYFRAME) != 0;
    size_t length = icd->lpbiInput->biSizeImage;
    bool delta = false;
    if (length == 0) {
        delta = mode != 0 && flagged_delta;
        length = delta ? max_delta_frame_size(width, height, mode) : intra_frame_size(width, height);
    } else {
        delta = decodes_as_delta(width, height, mode, flagged_delta, frame, length);
    }
    if (delta) decoder.decode_delta(picture, frame, length);
    else decoder.decode_intra(picture, frame, length);
    return ICERR_OK;
}

LRESULT CodecInstance::decompress_end() noexcept {
    configured = false;
    decoder.release();
    return ICERR_OK;
}

LRESULT CodecInstance::configure(HINSTANCE module, HWND owner) noexcept {
    settings.show_dialog(module, owner);
    return ICERR_OK;
}

}  // namespace ruv
