/* A C program built against the installed library (through pkg-config or
 * find_package): a 16 x 4 stream of coding mode 3, an intra frame of one colour
 * and a delta frame that keeps it, decoded to I420 and checked. */
#include <ruv/ruv.h>
#include <stdio.h>
#include <string.h>

static void put32(unsigned char* p, unsigned v) {
    p[0] = (unsigned char)v, p[1] = (unsigned char)(v >> 8), p[2] = (unsigned char)(v >> 16), p[3] = (unsigned char)(v >> 24);
}

int main(void) {
    unsigned char header[80] = {0}, intra[4 + 96], delta[8], picture[96];
    ruv_stream_info info;
    ruv_decoder* decoder;
    ruv_picture pic;
    ruv_frame_result result;
    int i, status;

    put32(header, 80), put32(header + 4, 16), put32(header + 8, 4), put32(header + 16, 0x31565552);
    put32(header + 40, 101), put32(header + 44, 3);
    memset(intra, 0, 4);
    for (i = 0; i < 96; ++i) intra[4 + i] = (unsigned char)(i % 12 < 8 ? 100 : i % 2 ? 120 : 110);
    put32(delta, 4), put32(delta + 4, 4);   /* no payload, an empty mode table: every block kept */

    if ((status = ruv_parse_header(header, sizeof header, &info)) != RUV_OK ||
        (status = ruv_decoder_open(&info, NULL, &decoder)) != RUV_OK ||
        (status = ruv_picture_packed(&pic, &info, RUV_PIXEL_I420, picture, sizeof picture, 0)) != RUV_OK) {
        fprintf(stderr, "%s\n", ruv_strerror(status));
        return 1;
    }
    for (i = 0; i < 2; ++i) {
        memset(picture, 0, sizeof picture);
        if (ruv_decode(decoder, i ? delta : intra, i ? sizeof delta : sizeof intra, !i, &pic, &result) != RUV_OK ||
            result.delta != i || result.fault != 0 || picture[0] != 100 || picture[64] != 110 || picture[95] != 120) {
            fprintf(stderr, "frame %d decoded wrongly\n", i);
            return 1;
        }
    }
    ruv_decoder_close(decoder);
    printf("libruv %s decoded %dx%d\n", ruv_version(), info.width, info.height);
    return 0;
}
