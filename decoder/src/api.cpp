// The public C API (ruv/ruv.h) over DecoderContext: argument checks, the routing
// of frames by their key-frame flag and structure, and pictures by plane and stride.
#include <new>

#include "decoder.h"
#include "input_format.h"
#include "ruv/ruv.h"

struct ruv_decoder {
    ruv::DecoderContext context;
    ruv_stream_info info;
    ruv_pixel_format format;
};

namespace {

int status_of(ruv::setup_refusal refusal) {
    switch (refusal) {
        case ruv::setup_refusal::none: return RUV_OK;
        case ruv::setup_refusal::coding_mode: return RUV_ERR_CODING_MODE;
        case ruv::setup_refusal::size_not_positive: return RUV_ERR_SIZE;
        case ruv::setup_refusal::width_off_grid: return RUV_ERR_WIDTH_GRID;
        case ruv::setup_refusal::height_odd: return RUV_ERR_HEIGHT_ODD;
        case ruv::setup_refusal::too_large: return RUV_ERR_TOO_LARGE;
        case ruv::setup_refusal::output_compression: return RUV_ERR_PIXEL_FORMAT;
        case ruv::setup_refusal::out_of_memory: return RUV_ERR_OUT_OF_MEMORY;
    }
    return RUV_ERR_ARGUMENT;
}

bool known_format(ruv_pixel_format format) {
    return format == RUV_PIXEL_I420 || format == RUV_PIXEL_YUY2 || format == RUV_PIXEL_RGB32;
}

uint32_t compression_of(ruv_pixel_format format) {
    return format == RUV_PIXEL_RGB32 ? ruv::compression_rgb32
           : format == RUV_PIXEL_YUY2 ? ruv::compression_yuy2
                                      : ruv::compression_i420;
}

// The API numbers the build's kernel levels in rising order, from scalar.
uint32_t kernel_mask_of(ruv_kernel_level level) {
    const ruv::kernel_level_list levels = ruv::kernel_levels(ruv::kernels_all);
    return size_t(level) < levels.size() ? levels[level].mask : ruv::kernels_all;
}

// Bytes of one row of each plane, and the number of planes and of their rows.
struct plane_shape {
    int planes;
    size_t row_bytes[3];
    size_t rows[3];
};

plane_shape shape_of(const ruv_stream_info& info, ruv_pixel_format format) {
    const size_t w = size_t(info.width), h = size_t(info.height);
    if (format == RUV_PIXEL_I420) return {3, {w, w / 2, w / 2}, {h, h / 2, h / 2}};
    return {1, {w * (format == RUV_PIXEL_RGB32 ? 4 : 2), 0, 0}, {h, 0, 0}};
}

// How a frame is decoded: as a delta frame or not, and how many of its bytes may
// be read (all that a well-formed frame of its kind can hold where the caller
// does not know its length).
struct routing {
    bool delta;
    size_t length;
};

routing route(const ruv_stream_info& info, const uint8_t* frame, size_t length, unsigned flags) {
    const bool flagged_delta = (flags & RUV_FRAME_KEY) == 0;
    if (flags & RUV_FRAME_LENGTH_UNKNOWN) {
        const bool delta = info.coding_mode != 0 && flagged_delta;
        return {delta, delta ? ruv::max_delta_frame_size(info.width, info.height, info.coding_mode)
                             : ruv::intra_frame_size(info.width, info.height)};
    }
    return {ruv::decodes_as_delta(info.width, info.height, info.coding_mode, flagged_delta, frame, length), length};
}

bool frame_refused(const void* frame, size_t length, unsigned flags) {
    return !frame && (length > 0 || (flags & RUV_FRAME_LENGTH_UNKNOWN));
}

// A stride's size, in the unsigned type, without negating its lowest value.
size_t magnitude(ptrdiff_t stride) { return stride < 0 ? size_t(0) - size_t(stride) : size_t(stride); }

}  // namespace

extern "C" {

const char* ruv_strerror(int status) {
    switch (status) {
        case RUV_OK: return "success";
        case RUV_ERR_ARGUMENT: return "invalid argument";
        case RUV_ERR_HEADER_LENGTH: return "the format header is shorter than 80 bytes";
        case RUV_ERR_HEADER_SIZE: return "the format header's size field is not 80";
        case RUV_ERR_CODEC_VERSION: return "the codec version is above 101";
        case RUV_ERR_CODING_MODE: return ruv::describe(ruv::setup_refusal::coding_mode);
        case RUV_ERR_SIZE: return ruv::describe(ruv::setup_refusal::size_not_positive);
        case RUV_ERR_WIDTH_GRID: return ruv::describe(ruv::setup_refusal::width_off_grid);
        case RUV_ERR_HEIGHT_ODD: return ruv::describe(ruv::setup_refusal::height_odd);
        case RUV_ERR_TOO_LARGE: return ruv::describe(ruv::setup_refusal::too_large);
        case RUV_ERR_PIXEL_FORMAT: return "unknown output pixel format";
        case RUV_ERR_OUT_OF_MEMORY: return ruv::describe(ruv::setup_refusal::out_of_memory);
        case RUV_ERR_PICTURE: return "a picture plane is null or its stride is smaller than its row";
        case RUV_ERR_FRAME: return "the frame is null but its length is not 0";
        case RUV_ERR_BUFFER: return "the buffer is smaller than the picture";
    }
    return "unknown status";
}

const char* ruv_version(void) { return RUV_VERSION_STRING; }

int ruv_parse_header(const void* header, size_t length, ruv_stream_info* info) {
    if (!header || !info) return RUV_ERR_ARGUMENT;
    ruv::InputFormat f;
    if (!f.parse(static_cast<const uint8_t*>(header), length)) return RUV_ERR_HEADER_LENGTH;
    *info = ruv_stream_info{f.width, f.height, f.codec_version, f.coding_mode};
    if (f.bi_size != ruv::input_format_size) return RUV_ERR_HEADER_SIZE;
    if (f.codec_version > ruv::max_codec_version) return RUV_ERR_CODEC_VERSION;
    return status_of(ruv::check_setup(f.width, f.height, f.coding_mode, ruv::compression_i420));
}

ruv_kernel_level ruv_kernels_available(void) {
    return ruv_kernel_level(ruv::kernel_levels(ruv::detected_kernel_mask()).size() - 1);
}

const char* ruv_kernels_name(ruv_kernel_level level) {
    const ruv::kernel_level_list levels = ruv::kernel_levels(ruv::kernels_all);
    return size_t(level) < levels.size() ? levels[level].name : nullptr;
}

void ruv_default_settings(ruv_decoder_settings* settings) {
    if (settings) *settings = ruv_decoder_settings{RUV_PIXEL_I420, RUV_KERNELS_ANY};
}

int ruv_decoder_open(const ruv_stream_info* info, const ruv_decoder_settings* settings, ruv_decoder** decoder) {
    if (decoder) *decoder = nullptr;
    if (!info || !decoder) return RUV_ERR_ARGUMENT;
    ruv_decoder_settings chosen;
    ruv_default_settings(&chosen);
    if (settings) chosen = *settings;
    if (!known_format(chosen.format)) return RUV_ERR_PIXEL_FORMAT;
    if (info->codec_version > ruv::max_codec_version) return RUV_ERR_CODEC_VERSION;
    const uint32_t compression = compression_of(chosen.format);
    const int refused = status_of(ruv::check_setup(info->width, info->height, info->coding_mode, compression));
    if (refused != RUV_OK) return refused;

    ruv_decoder* d = new (std::nothrow) ruv_decoder;
    if (!d) return RUV_ERR_OUT_OF_MEMORY;
    d->info = *info;
    d->format = chosen.format;
    d->context.m_kernel_mask = kernel_mask_of(chosen.max_kernels);
    if (!d->context.setup(info->width, info->height, info->coding_mode, compression)) {
        delete d;
        return RUV_ERR_OUT_OF_MEMORY;
    }
    *decoder = d;
    return RUV_OK;
}

int ruv_picture_packed(ruv_picture* picture, const ruv_stream_info* info, ruv_pixel_format format, void* buffer,
                       size_t size, int bottom_up) {
    if (!picture || !info || !buffer) return RUV_ERR_ARGUMENT;
    if (!known_format(format)) return RUV_ERR_PIXEL_FORMAT;
    const int refused = status_of(ruv::check_setup(info->width, info->height, info->coding_mode, compression_of(format)));
    if (refused != RUV_OK) return refused;
    const plane_shape shape = shape_of(*info, format);
    size_t need = 0;
    for (int p = 0; p < shape.planes; ++p) need += shape.row_bytes[p] * shape.rows[p];
    if (size < need) return RUV_ERR_BUFFER;

    const ruv::picture_planes planes = ruv::packed_planes(static_cast<uint8_t*>(buffer), info->width, info->height,
                                                         compression_of(format), bottom_up != 0);
    *picture = ruv_picture{};
    for (int p = 0; p < shape.planes; ++p) {
        picture->data[p] = planes.top[p];
        picture->stride[p] = planes.stride[p];
    }
    return RUV_OK;
}

int ruv_decode(ruv_decoder* decoder, const void* frame, size_t length, unsigned flags, const ruv_picture* picture,
               ruv_frame_result* result) {
    if (result) *result = ruv_frame_result{0, 0};
    if (!decoder) return RUV_ERR_ARGUMENT;
    if (frame_refused(frame, length, flags)) return RUV_ERR_FRAME;
    ruv::picture_planes planes;
    if (picture) {
        const plane_shape shape = shape_of(decoder->info, decoder->format);
        for (int p = 0; p < shape.planes; ++p) {
            if (!picture->data[p] || magnitude(picture->stride[p]) < shape.row_bytes[p]) return RUV_ERR_PICTURE;
            planes.top[p] = picture->data[p];
            planes.stride[p] = picture->stride[p];
        }
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(frame);
    const routing r = route(decoder->info, bytes, length, flags);
    ruv::DecoderContext& context = decoder->context;
    const ruv::frame_fault fault = r.delta ? context.decode_delta(picture ? &planes : nullptr, bytes, r.length)
                                           : context.decode_intra(picture ? &planes : nullptr, bytes, r.length);
    if (result) *result = ruv_frame_result{r.delta ? 1 : 0, int(fault)};
    return RUV_OK;
}

int ruv_frame_is_delta(const ruv_stream_info* info, const void* frame, size_t length, unsigned flags) {
    if (!info) return RUV_ERR_ARGUMENT;
    if (frame_refused(frame, length, flags)) return RUV_ERR_FRAME;
    return route(*info, static_cast<const uint8_t*>(frame), length, flags).delta ? 1 : 0;
}

size_t ruv_intra_frame_size(const ruv_stream_info* info) {
    if (!info || ruv::check_setup(info->width, info->height, info->coding_mode, ruv::compression_yuy2) !=
                     ruv::setup_refusal::none)
        return 0;
    return ruv::intra_frame_size(info->width, info->height);
}

void ruv_decoder_reset(ruv_decoder* decoder) {
    if (decoder) decoder->context.clear_reference();
}

void ruv_decoder_close(ruv_decoder* decoder) { delete decoder; }

const char* ruv_fault_text(int fault) {
    if (fault < 0 || fault > int(ruv::frame_fault::payload_overrun)) return "unknown fault";
    return ruv::describe(ruv::frame_fault(fault));
}

}  // extern "C"
