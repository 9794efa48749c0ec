/* libruv_plugin: a VLC 3 video decoder for "RUV1" streams, on libruv.
 *
 * VLC's AVI demuxer hands a decoder the stream's FourCC, the picture's size,
 * the format header's bytes after its first 40 as extra data and each frame
 * with BLOCK_FLAG_TYPE_I (key) or BLOCK_FLAG_TYPE_PB. The module rebuilds the
 * 80-byte header from those, lets libruv check it and decodes every frame
 * straight into the picture the video output lends it. */
#include <limits.h>
#include <string.h>

#include <vlc_common.h>
#include <vlc_plugin.h>
#include <vlc_codec.h>

#include <ruv/ruv.h>

#define RUV_HEADER_SIZE 80
#define RUV_BITMAP_HEADER_SIZE 40

static const char* const chroma_names[] = {"I420", "YUY2", "RV32"};
static const char* const chroma_texts[] = {"I420 (planar 4:2:0, the decoded samples)",
                                           "YUY2 (packed 4:2:2)", "RV32 (32-bit RGB)"};

struct decoder_sys_t {
    ruv_decoder* ruv;
    ruv_stream_info info;
    ruv_pixel_format format;
    bool started;      /* a frame has been decoded: the output format is fixed */
    bool wait_key;     /* after a flush: frames are dropped up to an intra frame */
};

static void put_le32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; i++) at[i] = (uint8_t)(value >> (8 * i));
}

/* The 80-byte format header as the file stores it: a BITMAPINFOHEADER built
 * from the size the demuxer gives, then the 40 bytes it passes as extra data
 * (codec_version and coding_mode first). Fewer than the 8 bytes that hold those
 * two cannot be a "RUV1" header. */
static int rebuild_header(const es_format_t* fmt, uint8_t header[RUV_HEADER_SIZE]) {
    if (fmt->i_extra < 8) return RUV_ERR_HEADER_LENGTH;
    if (fmt->video.i_width > INT32_MAX || fmt->video.i_height > INT32_MAX) return RUV_ERR_SIZE;
    memset(header, 0, RUV_HEADER_SIZE);
    put_le32(header, RUV_HEADER_SIZE);
    put_le32(header + 4, fmt->video.i_width);
    put_le32(header + 8, fmt->video.i_height);
    header[12] = 1;    /* biPlanes */
    header[14] = 24;   /* biBitCount */
    put_le32(header + 16, VLC_FOURCC('R', 'U', 'V', '1'));
    int extra = fmt->i_extra < RUV_BITMAP_HEADER_SIZE ? fmt->i_extra : RUV_BITMAP_HEADER_SIZE;
    memcpy(header + RUV_BITMAP_HEADER_SIZE, fmt->p_extra, (size_t)extra);
    return RUV_OK;
}

static ruv_pixel_format chosen_format(decoder_t* dec) {
    char* name = var_InheritString(dec, "ruv-chroma");
    ruv_pixel_format format = RUV_PIXEL_I420;
    if (name && !strcmp(name, "YUY2")) format = RUV_PIXEL_YUY2;
    else if (name && !strcmp(name, "RV32")) format = RUV_PIXEL_RGB32;
    free(name);
    return format;
}

/* Describes the output: full-range BT.601 samples; RV32 as libruv stores it,
 * B G R and the luma byte in memory, i.e. red in bits 16 to 23. */
static void set_output_format(decoder_t* dec, ruv_pixel_format format) {
    static const vlc_fourcc_t chromas[] = {VLC_CODEC_I420, VLC_CODEC_YUYV, VLC_CODEC_RGB32};
    video_format_t* v = &dec->fmt_out.video;
    const video_format_t* in = &dec->fmt_in.video;
    dec->fmt_out.i_codec = chromas[format];
    v->i_chroma = chromas[format];
    v->i_width = v->i_visible_width = in->i_width;
    v->i_height = v->i_visible_height = in->i_height;
    v->i_x_offset = v->i_y_offset = 0;
    v->i_sar_num = in->i_sar_num ? in->i_sar_num : 1;
    v->i_sar_den = in->i_sar_den ? in->i_sar_den : 1;
    v->i_frame_rate = in->i_frame_rate;
    v->i_frame_rate_base = in->i_frame_rate_base;
    v->space = COLOR_SPACE_BT601;
    v->b_color_range_full = true;
    v->i_rmask = v->i_gmask = v->i_bmask = 0;
    if (format == RUV_PIXEL_RGB32) {
        v->i_rmask = 0x00ff0000;
        v->i_gmask = 0x0000ff00;
        v->i_bmask = 0x000000ff;
        video_format_FixRgb(v);
    }
}

static int open_ruv(decoder_t* dec, ruv_pixel_format format) {
    decoder_sys_t* sys = dec->p_sys;
    ruv_decoder_settings settings;
    ruv_default_settings(&settings);
    settings.format = format;
    ruv_decoder_close(sys->ruv);
    int status = ruv_decoder_open(&sys->info, &settings, &sys->ruv);
    if (status != RUV_OK) return status;
    sys->format = format;
    set_output_format(dec, format);
    return RUV_OK;
}

/* The video output is set up at the first picture. One that will not take the
 * chosen chroma is offered I420, which every output converts from; libruv's
 * decoder is reopened for it only while it has decoded nothing. */
static bool output_ready(decoder_t* dec) {
    decoder_sys_t* sys = dec->p_sys;
    if (decoder_UpdateVideoFormat(dec) == 0) return true;
    if (sys->started || sys->format == RUV_PIXEL_I420) return false;
    msg_Warn(dec, "the video output refuses %s; decoding to I420", chroma_names[sys->format]);
    if (open_ruv(dec, RUV_PIXEL_I420) != RUV_OK) return false;
    return decoder_UpdateVideoFormat(dec) == 0;
}

static ruv_picture picture_planes(const picture_t* pic, int planes) {
    ruv_picture out;
    memset(&out, 0, sizeof out);
    for (int i = 0; i < planes && i < pic->i_planes; i++) {
        out.data[i] = pic->p[i].p_pixels;
        out.stride[i] = pic->p[i].i_pitch;
    }
    return out;
}

/* Frames that VLC decodes but will not show: those between the key frame a
 * seek lands on and its target (preroll). Late frames are left to the video
 * output, which drops them itself: the reference has to be decoded anyway, and
 * display dates read here run behind while VLC's clock settles after a seek. */
static bool undisplayed(const block_t* block) {
    return (block->i_flags & BLOCK_FLAG_PREROLL) != 0;
}

static void report(decoder_t* dec, int status, const ruv_frame_result* result) {
    if (status != RUV_OK) msg_Err(dec, "frame not decoded: %s", ruv_strerror(status));
    else if (result->fault) msg_Warn(dec, "malformed frame: %s", ruv_fault_text(result->fault));
}

/* Each frame decodes into the reference, also where no picture is shown, so
 * that the frames after it never drift. */
static int decode_frame(decoder_t* dec, block_t* block) {
    decoder_sys_t* sys = dec->p_sys;
    /* Only a frame the container calls a delta frame loses the key flag; libruv
     * routes flagged frames by their structure as well. */
    unsigned flags = (block->i_flags & (BLOCK_FLAG_TYPE_P | BLOCK_FLAG_TYPE_B | BLOCK_FLAG_TYPE_PB)) ? 0 : RUV_FRAME_KEY;
    if (sys->wait_key) {
        if (ruv_frame_is_delta(&sys->info, block->p_buffer, block->i_buffer, flags) != 0) return VLCDEC_SUCCESS;
        sys->wait_key = false;
    }
    vlc_tick_t date = block->i_pts != VLC_TICK_INVALID ? block->i_pts : block->i_dts;
    ruv_frame_result result;
    picture_t* pic = NULL;
    if (!undisplayed(block) && output_ready(dec)) pic = decoder_NewPicture(dec);
    sys->started = true;
    if (!pic) {
        report(dec, ruv_decode(sys->ruv, block->p_buffer, block->i_buffer, flags, NULL, &result), &result);
        return VLCDEC_SUCCESS;
    }
    ruv_picture planes = picture_planes(pic, sys->format == RUV_PIXEL_I420 ? 3 : 1);
    int status = ruv_decode(sys->ruv, block->p_buffer, block->i_buffer, flags, &planes, &result);
    report(dec, status, &result);
    if (status != RUV_OK) {
        picture_Release(pic);
        return VLCDEC_SUCCESS;
    }
    pic->date = date;
    pic->b_progressive = true;
    pic->b_force = false;
    decoder_QueueVideo(dec, pic);
    return VLCDEC_SUCCESS;
}

static int decode(decoder_t* dec, block_t* block) {
    if (!block) return VLCDEC_SUCCESS;   /* drain: nothing is held back */
    int status = decode_frame(dec, block);
    block_Release(block);
    return status;
}

/* After a seek the reference is stale: black it and wait for an intra frame. */
static void flush(decoder_t* dec) {
    ruv_decoder_reset(dec->p_sys->ruv);
    dec->p_sys->wait_key = true;
}

static int open_decoder(vlc_object_t* object) {
    decoder_t* dec = (decoder_t*)object;
    if (dec->fmt_in.i_cat != VIDEO_ES || dec->fmt_in.i_codec != VLC_FOURCC('R', 'U', 'V', '1')) return VLC_EGENERIC;

    uint8_t header[RUV_HEADER_SIZE];
    ruv_stream_info info;
    int status = rebuild_header(&dec->fmt_in, header);
    if (status == RUV_OK) status = ruv_parse_header(header, sizeof header, &info);
    if (status != RUV_OK) {
        msg_Err(dec, "cannot decode this \"RUV1\" stream (%ux%u, %d bytes of format data): %s",
                dec->fmt_in.video.i_width, dec->fmt_in.video.i_height, dec->fmt_in.i_extra, ruv_strerror(status));
        return VLC_EGENERIC;
    }

    decoder_sys_t* sys = calloc(1, sizeof *sys);
    if (!sys) return VLC_ENOMEM;
    dec->p_sys = sys;
    sys->info = info;
    ruv_pixel_format format = chosen_format(dec);
    if (format != RUV_PIXEL_I420 && open_ruv(dec, format) != RUV_OK) {
        msg_Warn(dec, "no %s output for this stream; decoding to I420", chroma_names[format]);
        format = RUV_PIXEL_I420;
    }
    if (!sys->ruv && (status = open_ruv(dec, format)) != RUV_OK) {
        msg_Err(dec, "cannot open the decoder: %s", ruv_strerror(status));
        dec->p_sys = NULL;
        free(sys);
        return VLC_EGENERIC;
    }
    msg_Dbg(dec, "%dx%d, codec version %u, coding mode %u, output %s", info.width, info.height,
            info.codec_version, info.coding_mode, chroma_names[sys->format]);
    dec->pf_decode = decode;
    dec->pf_flush = flush;
    return VLC_SUCCESS;
}

static void close_decoder(vlc_object_t* object) {
    decoder_t* dec = (decoder_t*)object;
    ruv_decoder_close(dec->p_sys->ruv);
    free(dec->p_sys);
}

vlc_module_begin()
    set_shortname("RUV1")
    set_description("\"RUV1\" video decoder (libruv)")
    set_category(CAT_INPUT)
    set_subcategory(SUBCAT_INPUT_VCODEC)
    set_capability("video decoder", 100)
    set_callbacks(open_decoder, close_decoder)
    add_string("ruv-chroma", "I420", "Output chroma",
               "The pixel format decoded into: I420, which every video output takes, or YUY2 or RV32 "
               "for an output that shows that format without converting", false)
        change_string_list(chroma_names, chroma_texts)
vlc_module_end()
