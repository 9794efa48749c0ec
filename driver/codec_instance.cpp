// Opening and closing codec instances, the codec's info record, format
// negotiation and the decompression of frames.
#include <cstring>
#include <new>

#include "driver.h"

namespace ruv {

namespace {

constexpr DWORD bitmap_header_size = sizeof(BITMAPINFOHEADER);   // 40
static_assert(bitmap_header_size == 40, "a bare BITMAPINFOHEADER");
constexpr DWORD stream_header_size = 80;   // the BITMAPINFOHEADER and its 40-byte extension

WORD bit_count_of(uint32_t compression) { return compression == output_rgb32 ? 32 : 16; }

// ASCII text into a wide field of `size` characters from index `at`, cut to fit
// and terminated; returns the index of the terminator.
size_t put_ascii(WCHAR* field, size_t size, size_t at, const char* text) {
    for (; *text && at + 1 < size; ++text) field[at++] = WCHAR(*text);
    field[at] = 0;
    return at;
}

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
    ruv_decoder_close(decoder);
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
    put_ascii(info->szName, 16, 0, "RuvDec");
    put_ascii(info->szDescription, 128, put_ascii(info->szDescription, 128, 0, "RUV Decoder "), version_text);
    return icinfo_size;
}

bool read_input_format(const BITMAPINFOHEADER* header, ruv_stream_info& stream) {
    // biSize first: a shorter header must not be read as 80 bytes.
    if (!header || header->biSize != stream_header_size) return false;
    return ruv_parse_header(header, stream_header_size, &stream) == RUV_OK;
}

bool CodecInstance::check_formats(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output) noexcept {
    ruv_stream_info format;
    if (!read_input_format(input, format)) return false;
    settings.load_profile();
    if (!output) return true;
    if (output->biWidth != input->biWidth || output->biHeight != input->biHeight) return false;
    if (output->biCompression == output_rgb32)
        return settings.get_rgb32_enabled() != 0 && output->biBitCount == 32;
    if (output->biCompression == output_yuy2)
        return settings.get_yuy2_enabled() != 0 && output->biBitCount == 16;
    return false;
}

LRESULT CodecInstance::decompress_query(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output) noexcept {
    return check_formats(input, output) ? ICERR_OK : ICERR_BADFORMAT;
}

LRESULT CodecInstance::decompress_get_format(const BITMAPINFOHEADER* input, BITMAPINFOHEADER* output) noexcept {
    if (!output) return bitmap_header_size;
    ruv_stream_info format;
    if (!read_input_format(input, format)) return ICERR_BADFORMAT;
    // The proposal must be one that the query and BEGIN then take: the output of
    // the last BEGIN while the settings allow it, else the one they allow.
    settings.load_profile();
    const bool rgb32 = settings.get_rgb32_enabled() != 0, yuy2 = settings.get_yuy2_enabled() != 0;
    if (!rgb32 && !yuy2) return ICERR_BADFORMAT;
    const bool allowed = output_compression == output_rgb32 ? rgb32 : yuy2;
    const uint32_t proposal = allowed ? output_compression : rgb32 ? output_rgb32 : output_yuy2;
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
    ruv_decoder_close(decoder);
    decoder = nullptr;
    if (!output || !check_formats(input, output)) return ICERR_BADFORMAT;
    read_input_format(input, stream);
    output_compression = output->biCompression;
    // Configured only with a decoder open: a failed open must not leave later
    // frames to no decoder.
    ruv_decoder_settings chosen;
    ruv_default_settings(&chosen);
    chosen.format = output_compression == output_rgb32 ? RUV_PIXEL_RGB32 : RUV_PIXEL_YUY2;
    if (ruv_decoder_open(&stream, &chosen, &decoder) != RUV_OK) return ICERR_UNSUPPORTED;
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
    // A drawn one fills the host's buffer, bottom-up for RGB32, as the format of
    // the BEGIN says.
    const bool drawn = icd->lpOutput && !(icd->dwFlags & (ICDECOMPRESS_HURRYUP | ICDECOMPRESS_PREROLL));
    const bool rgb = output_compression == output_rgb32;
    ruv_picture picture{};
    if (drawn) {
        const size_t bytes = size_t(stream.width) * size_t(stream.height) * (rgb ? 4 : 2);
        ruv_picture_packed(&picture, &stream, rgb ? RUV_PIXEL_RGB32 : RUV_PIXEL_YUY2, icd->lpOutput, bytes, rgb);
    }

    // Hosts set biSizeImage to the frame's length; 0 means they did not say, and
    // the frame is then read no further than a well-formed frame of its kind can be.
    const DWORD length = icd->lpbiInput->biSizeImage;
    const unsigned flags = ((icd->dwFlags & ICDECOMPRESS_NOTKEYFRAME) ? 0 : RUV_FRAME_KEY) |
                           (length == 0 ? RUV_FRAME_LENGTH_UNKNOWN : 0);
    ruv_decode(decoder, icd->lpInput, length, flags, drawn ? &picture : nullptr, nullptr);
    return ICERR_OK;
}

LRESULT CodecInstance::decompress_end() noexcept {
    configured = false;
    ruv_decoder_close(decoder);
    decoder = nullptr;
    return ICERR_OK;
}

LRESULT CodecInstance::configure(HINSTANCE module, HWND owner) noexcept {
    settings.show_dialog(module, owner);
    return ICERR_OK;
}

}  // namespace ruv
