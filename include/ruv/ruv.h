/* libruv: decoding "RUV1" video.
 *
 * A "RUV1" stream is described by its 80-byte format header (a BITMAPINFOHEADER
 * of biSize 80 followed by codec_version and coding_mode) and consists of intra
 * frames, which hold a whole picture, and delta frames, which change the
 * picture before them. A decoder is opened for one stream and one output pixel
 * format, then given the stream's frames in order; it writes each picture into
 * planes that the caller owns, at the caller's row strides.
 *
 *     ruv_stream_info info;
 *     ruv_decoder* dec;
 *     if (ruv_parse_header(header, 80, &info) != RUV_OK) ...
 *     if (ruv_decoder_open(&info, NULL, &dec) != RUV_OK) ...   (I420 output)
 *     for each frame:
 *         ruv_picture pic = { { y, u, v }, { width, width / 2, width / 2 } };
 *         ruv_decode(dec, bytes, length, is_key_frame ? RUV_FRAME_KEY : 0, &pic, NULL);
 *     ruv_decoder_close(dec);
 *
 * Every function checks what the caller passes and answers with a status
 * (RUV_OK, or a negative RUV_ERR_ code that ruv_strerror names); none aborts or
 * throws, and none keeps a pointer to the caller's memory past the call. A
 * decoder is used by one thread at a time; distinct decoders are independent.
 * Callable from C99 and C++.
 */
#ifndef RUV_RUV_H
#define RUV_RUV_H

#include <stddef.h>
#include <stdint.h>

#include "ruv/version.h"

#if defined(_WIN32) && defined(RUV_SHARED_BUILD)
#define RUV_API __declspec(dllexport)
#elif defined(__GNUC__) && !defined(_WIN32)
#define RUV_API __attribute__((visibility("default")))
#else
#define RUV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses. */
enum {
    RUV_OK = 0,
    RUV_ERR_ARGUMENT = -1,         /* a null pointer, or a value out of its range */
    RUV_ERR_HEADER_LENGTH = -2,    /* a format header of fewer than 80 bytes */
    RUV_ERR_HEADER_SIZE = -3,      /* biSize is not 80 */
    RUV_ERR_CODEC_VERSION = -4,    /* codec_version above 101 */
    RUV_ERR_CODING_MODE = -5,      /* coding_mode above 4 */
    RUV_ERR_SIZE = -6,             /* width or height not positive */
    RUV_ERR_WIDTH_GRID = -7,       /* width not a multiple of 4 (coding mode 0) or 8 */
    RUV_ERR_HEIGHT_ODD = -8,
    RUV_ERR_TOO_LARGE = -9,        /* the picture's buffers would pass 4 GiB */
    RUV_ERR_PIXEL_FORMAT = -10,    /* not one of the ruv_pixel_format values */
    RUV_ERR_OUT_OF_MEMORY = -11,
    RUV_ERR_PICTURE = -12,         /* a plane pointer is null or a stride too small */
    RUV_ERR_FRAME = -13,           /* a null frame with a nonzero length */
    RUV_ERR_BUFFER = -14           /* a buffer smaller than the picture */
};

/* A short English text for a status. Never null; static storage. */
RUV_API const char* ruv_strerror(int status);

/* The library's version, "MAJOR.MINOR.PATCH", as RUV_VERSION_STRING was when it
 * was built. */
RUV_API const char* ruv_version(void);

/* What a stream's format header says. */
typedef struct ruv_stream_info {
    int32_t width;
    int32_t height;           /* the picture's; a header's negative biHeight is refused */
    uint32_t codec_version;
    uint32_t coding_mode;     /* 0: intra frames only; 1 to 4: delta frames too */
} ruv_stream_info;

/* Reads and checks the 80-byte format header at `header` (`length` bytes, at
 * least 80; bytes past 80 are not read) into *info. Returns RUV_OK for a stream
 * that a decoder can open, else the first reason it cannot; *info is written
 * with what the header says whenever length is at least 80. */
RUV_API int ruv_parse_header(const void* header, size_t length, ruv_stream_info* info);

/* Output pixel formats. */
typedef enum ruv_pixel_format {
    RUV_PIXEL_I420 = 0,   /* planes Y (width x height), U and V (width/2 x height/2): the decoded samples */
    RUV_PIXEL_YUY2 = 1,   /* one plane, Y0 U Y1 V, 2 bytes a pixel */
    RUV_PIXEL_RGB32 = 2   /* one plane, B G R and the pixel's luma, 4 bytes a pixel */
} ruv_pixel_format;

/* Kernel levels: a decoder uses the highest that the processor runs and the
 * cap allows. */
typedef enum ruv_kernel_level {
    RUV_KERNELS_SCALAR = 0,
    RUV_KERNELS_SSE2 = 1,
    RUV_KERNELS_AVX2 = 2,
    RUV_KERNELS_AVX512 = 3,
    RUV_KERNELS_ANY = 255
} ruv_kernel_level;

/* The highest level this processor and system run. */
RUV_API ruv_kernel_level ruv_kernels_available(void);

/* The level's name ("scalar", "sse2", "avx2", "avx512"), or null for a level
 * this build does not have. Static storage. */
RUV_API const char* ruv_kernels_name(ruv_kernel_level level);

typedef struct ruv_decoder_settings {
    ruv_pixel_format format;        /* RUV_PIXEL_I420 by default */
    ruv_kernel_level max_kernels;   /* RUV_KERNELS_ANY by default */
} ruv_decoder_settings;

/* The defaults, for a settings record to change. */
RUV_API void ruv_default_settings(ruv_decoder_settings* settings);

/* A decoder for one stream. */
typedef struct ruv_decoder ruv_decoder;

/* Opens a decoder for the stream `info` describes (as ruv_parse_header fills
 * it) with `settings` (null: the defaults). On RUV_OK, *decoder is the caller's
 * until ruv_decoder_close; otherwise *decoder is set to null. The decoder's
 * first picture, before any intra frame, is black. */
RUV_API int ruv_decoder_open(const ruv_stream_info* info, const ruv_decoder_settings* settings,
                             ruv_decoder** decoder);

/* Where a picture goes: for each plane, its top row and the bytes from one row
 * to the next. A negative stride writes rows bottom-up in memory (data then
 * points to the top row, the highest address). Rows of at least the plane's
 * width in bytes. YUY2 and RGB32 use plane 0 only. */
typedef struct ruv_picture {
    uint8_t* data[3];
    ptrdiff_t stride[3];
} ruv_picture;

/* Lays out a picture in one packed buffer of `size` bytes: rows of the
 * plane's width in bytes, I420's planes one after the other; rows top-down, or
 * bottom-up in memory where `bottom_up` is nonzero (a Windows RGB32 bitmap).
 * Returns RUV_ERR_BUFFER where size is below what the picture needs. */
RUV_API int ruv_picture_packed(ruv_picture* picture, const ruv_stream_info* info, ruv_pixel_format format,
                               void* buffer, size_t size, int bottom_up);

/* How a frame was decoded. */
typedef struct ruv_frame_result {
    int delta;   /* 1: as a delta frame, 0: as an intra frame */
    int fault;   /* 0 for a well-formed frame, else what was wrong (ruv_fault_text) */
} ruv_frame_result;

/* Flags of a frame for ruv_decode. */
enum {
    RUV_FRAME_KEY = 1,             /* the container flags the frame as a key frame */
    RUV_FRAME_LENGTH_UNKNOWN = 2   /* the caller does not know the frame's length (see ruv_decode) */
};

/* Decodes the next frame of the stream (`length` bytes at `frame`; length 0 is
 * an empty frame) into `picture`, or into the decoder's reference alone where
 * picture is null (for frames a host decodes but does not show). The decoder
 * routes the frame by the container's key-frame flag (RUV_FRAME_KEY in `flags`)
 * and by the frame's own structure. A malformed frame is decoded as far as it
 * is sound and the rest of the picture shows the one before: that is RUV_OK,
 * with the fault in *result (which may be null). The frame is never read past
 * `length`, and nothing is written outside the picture's rows.
 *
 * With RUV_FRAME_LENGTH_UNKNOWN (for hosts that do not say how long a frame
 * is), `length` is not used: the key-frame flag alone routes the frame, and it
 * is read no further than a well-formed frame of its kind can reach, which the
 * caller's buffer must hold. */
RUV_API int ruv_decode(ruv_decoder* decoder, const void* frame, size_t length, unsigned flags,
                       const ruv_picture* picture, ruv_frame_result* result);

/* Whether ruv_decode would take this frame (with these flags) as a delta frame:
 * 1, or 0 for an intra frame, by the same rule, without decoding it; for a
 * player finding where decoding can start. RUV_ERR_ARGUMENT or RUV_ERR_FRAME
 * for what ruv_decode would refuse. */
RUV_API int ruv_frame_is_delta(const ruv_stream_info* info, const void* frame, size_t length, unsigned flags);

/* The length of a whole intra frame of the stream `info` describes (as
 * ruv_parse_header accepted it), 0 for a null `info` or a size it refuses; for
 * a player telling intra frames by their length where a file has no key flags. */
RUV_API size_t ruv_intra_frame_size(const ruv_stream_info* info);

/* Makes the reference picture black, as after a seek to a frame that is not an
 * intra frame. */
RUV_API void ruv_decoder_reset(ruv_decoder* decoder);

/* Frees the decoder; null is allowed. */
RUV_API void ruv_decoder_close(ruv_decoder* decoder);

/* A short English text for a frame fault of ruv_frame_result. Never null. */
RUV_API const char* ruv_fault_text(int fault);

#ifdef __cplusplus
}
#endif

#endif
