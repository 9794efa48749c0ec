/* The format header of a "RUV1" stream in an AVI file, read with the project's
 * AVI reader, for the GStreamer element when a demuxer does not pass it on. */
#ifndef RUV_GST_AVI_HEADER_H
#define RUV_GST_AVI_HEADER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ruv_avi_header_size = 80 };

/* What the file says of one video stream. */
typedef struct ruv_avi_stream {
    uint8_t header[ruv_avi_header_size];   /* the stream's format ('strf') bytes */
    uint32_t rate;                          /* frames a second = rate / scale; 0 when unknown */
    uint32_t scale;
} ruv_avi_stream;

/* Reads the video stream number `video_index` of the AVI file at `path`,
 * counting only video streams in file order (as avidemux numbers its "video_N"
 * pads), into *stream. Returns 1 when that stream is a "RUV1" stream with a
 * format of at least 80 bytes; otherwise 0 and a sentence in `error`. */
int ruv_avi_read_header(const char* path, unsigned video_index, ruv_avi_stream* stream, char* error,
                        size_t error_size);

#ifdef __cplusplus
}
#endif

#endif
