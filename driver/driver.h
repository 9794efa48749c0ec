// The Video for Windows side of the codec: DriverProc hands every message to the
// CodecInstance that the driver id names. An instance carries the decompression of
// one stream: whether it has begun, the chosen output, the stream's format header,
// the decoder and the instance's copy of the output settings.
//
// Unconfigured (after open, after END, after a refused BEGIN): no decoder is open.
// Configured (after a BEGIN that passed the format check, explicit or the
// automatic one of the first ICM_DECOMPRESS): a decoder of the public API is open
// for the stream, and frames must come in decoding order, an intra frame first.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "ruv/ruv.h"
#include "settings.h"

namespace ruv {

// Output compressions, as a host names them in biCompression.
constexpr uint32_t output_rgb32 = BI_RGB;                            // 32 bits a pixel
constexpr uint32_t output_yuy2 = mmioFOURCC('Y', 'U', 'Y', '2');   // 16 bits a pixel

constexpr DWORD icinfo_size = 568;
static_assert(sizeof(ICINFO) == icinfo_size, "ICINFO as the codec manager lays it out");

struct CodecInstance {
    bool configured = false;
    uint32_t output_compression = output_rgb32;   // of the last BEGIN that passed the check
    ruv_stream_info stream{};                          // the stream header of that BEGIN
    ruv_decoder* decoder = nullptr;                    // open while configured
    OutputSettings settings;

    // DRV_CLOSE: closes the decoder and frees the instance.
    RUV_HOST_ENTRY void close_instance() noexcept;

    // ICM_GETINFO: 568 for a null record; 0, writing nothing, below 568 bytes;
    // otherwise fills the record. Needs no instance, so hosts may ask without one.
    RUV_HOST_ENTRY static LRESULT get_info(ICINFO* info, DWORD size) noexcept;

    // The acceptance test of the query and BEGIN: a decodable input header, the
    // settings read again from the profile file, and (when given) an output of the
    // input's size in a switched-on format with its bit count.
    RUV_HOST_ENTRY bool check_formats(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output) noexcept;

    RUV_HOST_ENTRY LRESULT decompress_query(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output) noexcept;
    // Proposes, for the input's size, output_compression where the settings allow
    // it, else the output they allow (ICERR_BADFORMAT where they allow none); 40
    // for a null output.
    RUV_HOST_ENTRY LRESULT decompress_get_format(const BITMAPINFOHEADER* input, BITMAPINFOHEADER* output) noexcept;
    RUV_HOST_ENTRY LRESULT decompress_begin(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output) noexcept;
    // Decodes one frame into the host's buffer (ICERR_OK whatever the frame held);
    // into the reference alone where the host gives no buffer or flags the frame
    // ICDECOMPRESS_HURRYUP or ICDECOMPRESS_PREROLL, as it will not draw it.
    RUV_HOST_ENTRY LRESULT decompress(const ICDECOMPRESS* icd) noexcept;
    RUV_HOST_ENTRY LRESULT decompress_end() noexcept;

    // DRV_CONFIGURE, ICM_CONFIGURE, ICM_ABOUT: the modal settings dialog.
    RUV_HOST_ENTRY LRESULT configure(HINSTANCE module, HWND owner) noexcept;
};

// DRV_OPEN: a new instance for an open of type "vidc" or a null record; null for
// any other type (dwError untouched) or when memory runs out (dwError ICERR_MEMORY).
RUV_HOST_ENTRY CodecInstance* open_instance(ICOPEN* icopen) noexcept;

// The stream header behind a host's pointer, read only as far as biSize allows:
// false for a null pointer or a header that the codec does not decode.
bool read_input_format(const BITMAPINFOHEADER* header, ruv_stream_info& stream);

}  // namespace ruv
