/* ruvdec: a GStreamer decoder element for "RUV1" video, on libruv's public API.
 *
 * Input caps:
 *   video/x-ruv1, width, height, framerate, codec_data
 *       from sources that carry the stream's 80-byte format header (codec_data);
 *   video/x-avi-unknown, fourcc=(int)827741522
 *       as avidemux exposes a "RUV1" stream: no size, rate or format header.
 *
 * Finding the format header for avidemux's caps: the element walks upstream from
 * its sink pad, through the queues and bins between (each element's internal link
 * from its source pad to its sink pad, then that pad's peer), to the avidemux
 * source pad that feeds it. avidemux names its pads "video_N", N counting the
 * file's video streams in file order, so N says which stream it is. An upstream
 * URI query (which avidemux passes on to its source) gives the file; for a
 * file:// URI the project's AVI reader reads that stream's format header, which
 * must be a "RUV1" one, and its frame rate. Anything else (a stream that does
 * not come from avidemux, a source that is not a local file, a file without that
 * stream) is a clear element error: the element never guesses a header.
 *
 * Output: I420 (preferred), YUY2 or BGRx, as downstream allows, decoded straight
 * into the downstream buffer's planes at its strides. libruv's RGB32 is B, G, R
 * and the pixel's luma: BGRx, whose x downstream ignores, rows top-down.
 *
 * Frames: a buffer without GST_BUFFER_FLAG_DELTA_UNIT is a key frame
 * (RUV_FRAME_KEY), which libruv's routing takes with the frame's own structure.
 * After new caps or a flush (a seek) the reference is black and frames
 * are dropped until one that decodes as an intra frame, so no picture is drawn
 * over a reference that was never decoded. Frames the base class marks
 * decode-only, and those wholly outside the segment (after an accurate seek, the
 * frames from the key frame up to the target), go into the reference alone. A
 * frame without a PTS (avidemux's delta frames) takes its DTS: frames are never
 * reordered. A malformed frame is a warning on the bus, and its picture is shown
 * as libruv decoded it; a stream libruv refuses (size, coding mode) is an
 * element error.
 */
#include <gst/gst.h>
#include <gst/video/video.h>

#include <stdio.h>
#include <string.h>

#include "avi_header.h"
#include "ruv/ruv.h"

GST_DEBUG_CATEGORY_STATIC(ruvdec_debug);
#define GST_CAT_DEFAULT ruvdec_debug

struct _GstRuvDec {
    GstVideoDecoder parent;
    ruv_decoder* decoder;
    ruv_stream_info info;
    gboolean need_intra; /* frames are dropped until one that decodes as an intra frame */
};

#define GST_TYPE_RUV_DEC (gst_ruv_dec_get_type())
G_DECLARE_FINAL_TYPE(GstRuvDec, gst_ruv_dec, GST, RUV_DEC, GstVideoDecoder)
G_DEFINE_TYPE(GstRuvDec, gst_ruv_dec, GST_TYPE_VIDEO_DECODER)
GST_ELEMENT_REGISTER_DEFINE(ruvdec, "ruvdec", GST_RANK_PRIMARY, GST_TYPE_RUV_DEC)

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-avi-unknown, fourcc = (int) 827741522; "
                    "video/x-ruv1, width = (int) [ 1, MAX ], height = (int) [ 1, MAX ], "
                    "framerate = (fraction) [ 0/1, MAX ]"));

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("{ I420, YUY2, BGRx }")));

static void close_decoder(GstRuvDec* self) {
    ruv_decoder_close(self->decoder);
    self->decoder = NULL;
}

/* Whether `pad` is an avidemux "video_N" pad; *index is then N. */
static gboolean is_avidemux_video_pad(GstPad* pad, guint* index) {
    GstElement* element = gst_pad_get_parent_element(pad);
    gboolean found = FALSE;
    if (element != NULL) {
        GstElementFactory* factory = gst_element_get_factory(element);
        gchar* name = gst_pad_get_name(pad);
        char rest;
        found = factory != NULL && g_strcmp0(GST_OBJECT_NAME(factory), "avidemux") == 0 &&
                sscanf(name, "video_%u%c", index, &rest) == 1;
        g_free(name);
        gst_object_unref(element);
    }
    return found;
}

/* The pad that feeds the source pad `src` from upstream: the peer of the pad
 * its element (or ghost pad) links it to inside. NULL at the head of the chain. */
static GstPad* upstream_of(GstPad* src) {
    GstIterator* links = gst_pad_iterate_internal_links(src);
    GValue item = G_VALUE_INIT;
    GstPad* peer = NULL;
    if (links == NULL) return NULL;
    if (gst_iterator_next(links, &item) == GST_ITERATOR_OK) {
        peer = gst_pad_get_peer(GST_PAD(g_value_get_object(&item)));
        g_value_unset(&item);
    }
    gst_iterator_free(links);
    return peer;
}

/* The N of the avidemux "video_N" pad upstream of the sink pad. */
static gboolean demuxer_video_index(GstRuvDec* self, guint* index) {
    GstPad* pad = gst_pad_get_peer(GST_VIDEO_DECODER_SINK_PAD(self));
    gboolean found = FALSE;
    for (int hops = 0; pad != NULL && !found && hops < 64; ++hops) {
        found = is_avidemux_video_pad(pad, index);
        if (!found) {
            GstPad* next = upstream_of(pad);
            gst_object_unref(pad);
            pad = next;
        }
    }
    if (pad != NULL) gst_object_unref(pad);
    return found;
}

/* The local file the stream comes from, by an upstream URI query; NULL when
 * the source is not a local file. */
static gchar* source_path(GstRuvDec* self, gchar** uri) {
    GstQuery* query = gst_query_new_uri();
    gchar* path = NULL;
    *uri = NULL;
    if (gst_pad_peer_query(GST_VIDEO_DECODER_SINK_PAD(self), query)) gst_query_parse_uri(query, uri);
    gst_query_unref(query);
    if (*uri != NULL && gst_uri_has_protocol(*uri, "file")) path = g_filename_from_uri(*uri, NULL, NULL);
    return path;
}

/* avidemux's caps: the header from the file itself (see the head comment). */
static gboolean header_from_avi(GstRuvDec* self, ruv_avi_stream* stream) {
    guint index = 0;
    gchar* uri = NULL;
    gchar* path = NULL;
    char error[512];
    if (!demuxer_video_index(self, &index)) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("The \"RUV1\" stream's format header is not in its caps, and the stream does not come "
                           "from avidemux, so the element cannot tell which file stream to read it from."),
                          (NULL));
        return FALSE;
    }
    path = source_path(self, &uri);
    if (path == NULL) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("The \"RUV1\" stream's format header is not in its caps, and it can be read only "
                           "from a local file; this source is %s.",
                           uri != NULL ? uri : "not a file"),
                          ("no file:// answer to the URI query"));
        g_free(uri);
        return FALSE;
    }
    g_free(uri);
    if (!ruv_avi_read_header(path, index, stream, error, sizeof error)) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("The \"RUV1\" stream's format header cannot be read: %s.", error),
                          ("avidemux pad video_%u", index));
        g_free(path);
        return FALSE;
    }
    GST_INFO_OBJECT(self, "format header of video stream %u of %s", index, path);
    g_free(path);
    return TRUE;
}

/* video/x-ruv1's caps: the header is codec_data. */
static gboolean header_from_caps(GstRuvDec* self, GstVideoCodecState* state, ruv_avi_stream* stream) {
    const gsize size = state->codec_data != NULL ? gst_buffer_get_size(state->codec_data) : 0;
    if (size < ruv_avi_header_size) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("The \"RUV1\" caps carry no 80-byte format header in codec_data (%" G_GSIZE_FORMAT
                           " bytes).",
                           size),
                          (NULL));
        return FALSE;
    }
    gst_buffer_extract(state->codec_data, 0, stream->header, ruv_avi_header_size);
    stream->rate = 0;
    stream->scale = 0;
    return TRUE;
}

/* The output format downstream takes: its first choice among ours, I420 when
 * it has none. */
static GstVideoFormat downstream_format(GstRuvDec* self) {
    GstCaps* allowed = gst_pad_get_allowed_caps(GST_VIDEO_DECODER_SRC_PAD(self));
    GstVideoFormat format = GST_VIDEO_FORMAT_I420;
    if (allowed != NULL && !gst_caps_is_empty(allowed) && !gst_caps_is_any(allowed)) {
        allowed = gst_caps_fixate(allowed);
        const gchar* name = gst_structure_get_string(gst_caps_get_structure(allowed, 0), "format");
        const GstVideoFormat first = name != NULL ? gst_video_format_from_string(name) : GST_VIDEO_FORMAT_UNKNOWN;
        if (first == GST_VIDEO_FORMAT_YUY2 || first == GST_VIDEO_FORMAT_BGRx) format = first;
    }
    if (allowed != NULL) gst_caps_unref(allowed);
    return format;
}

static ruv_pixel_format ruv_format_of(GstVideoFormat format) {
    return format == GST_VIDEO_FORMAT_YUY2 ? RUV_PIXEL_YUY2
           : format == GST_VIDEO_FORMAT_BGRx ? RUV_PIXEL_RGB32
                                             : RUV_PIXEL_I420;
}

static gboolean gst_ruv_dec_set_format(GstVideoDecoder* dec, GstVideoCodecState* state) {
    GstRuvDec* self = GST_RUV_DEC(dec);
    const GstStructure* caps = gst_caps_get_structure(state->caps, 0);
    ruv_avi_stream stream;
    ruv_decoder_settings settings;
    GstVideoCodecState* output;
    GstVideoFormat format;
    int status;

    close_decoder(self);
    if (gst_structure_has_name(caps, "video/x-ruv1") ? !header_from_caps(self, state, &stream)
                                                      : !header_from_avi(self, &stream))
        return FALSE;
    status = ruv_parse_header(stream.header, ruv_avi_header_size, &self->info);
    if (status == RUV_OK) {
        format = downstream_format(self);
        ruv_default_settings(&settings);
        settings.format = ruv_format_of(format);
        status = ruv_decoder_open(&self->info, &settings, &self->decoder);
    }
    if (status != RUV_OK) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("This \"RUV1\" stream cannot be decoded: %s.", ruv_strerror(status)),
                          ("%d x %d, codec_version %u, coding_mode %u", self->info.width, self->info.height,
                           self->info.codec_version, self->info.coding_mode));
        return FALSE;
    }
    output = gst_video_decoder_set_output_state(dec, format, (guint)self->info.width, (guint)self->info.height, state);
    if (output == NULL) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("This \"RUV1\" stream's pictures (%d x %d) are too large for GStreamer's video buffers.",
                           self->info.width, self->info.height),
                          (NULL));
        close_decoder(self);
        return FALSE;
    }
    if (stream.rate != 0 && stream.scale != 0 && stream.rate <= G_MAXINT && stream.scale <= G_MAXINT) {
        GST_VIDEO_INFO_FPS_N(&output->info) = (gint)stream.rate;
        GST_VIDEO_INFO_FPS_D(&output->info) = (gint)stream.scale;
    }
    gst_video_codec_state_unref(output);
    self->need_intra = TRUE;
    return gst_video_decoder_negotiate(dec);
}

/* Where libruv writes the picture: the planes of the mapped output frame. */
static ruv_picture picture_of(GstVideoFrame* frame) {
    ruv_picture picture;
    memset(&picture, 0, sizeof picture);
    for (guint plane = 0; plane < GST_VIDEO_FRAME_N_PLANES(frame) && plane < 3; ++plane) {
        picture.data[plane] = GST_VIDEO_FRAME_PLANE_DATA(frame, plane);
        picture.stride[plane] = GST_VIDEO_FRAME_PLANE_STRIDE(frame, plane);
    }
    return picture;
}

/* Decodes the frame into the downstream buffer, or into the reference alone
 * for a decode-only frame. */
static int decode_frame(GstRuvDec* self, GstVideoCodecFrame* frame, const GstMapInfo* in, unsigned flags,
                        ruv_frame_result* result, GstFlowReturn* flow) {
    GstVideoDecoder* dec = GST_VIDEO_DECODER(self);
    GstVideoCodecState* output;
    GstVideoFrame out;
    ruv_picture picture;
    gboolean mapped;
    int status;

    *flow = GST_FLOW_OK;
    if (GST_VIDEO_CODEC_FRAME_IS_DECODE_ONLY(frame))
        return ruv_decode(self->decoder, in->data, in->size, flags, NULL, result);
    *flow = gst_video_decoder_allocate_output_frame(dec, frame);
    if (*flow != GST_FLOW_OK) return RUV_OK;
    output = gst_video_decoder_get_output_state(dec);
    mapped = gst_video_frame_map(&out, &output->info, frame->output_buffer, GST_MAP_WRITE);
    gst_video_codec_state_unref(output);
    if (!mapped) return RUV_ERR_BUFFER;
    picture = picture_of(&out);
    status = ruv_decode(self->decoder, in->data, in->size, flags, &picture, result);
    gst_video_frame_unmap(&out);
    return status;
}

/* Whether the frame lies wholly outside the segment, as the frames from a key
 * frame up to an accurate seek's target do: it is decoded into the reference
 * alone. (GStreamer 1.22's base class marks no such frame decode-only itself.) */
static gboolean outside_segment(GstVideoDecoder* dec, GstVideoCodecFrame* frame) {
    const GstClockTime end = GST_CLOCK_TIME_IS_VALID(frame->duration) ? frame->pts + frame->duration : GST_CLOCK_TIME_NONE;
    return dec->input_segment.format == GST_FORMAT_TIME && GST_CLOCK_TIME_IS_VALID(frame->pts) &&
           !gst_segment_clip(&dec->input_segment, GST_FORMAT_TIME, frame->pts, end, NULL, NULL);
}

static GstFlowReturn gst_ruv_dec_handle_frame(GstVideoDecoder* dec, GstVideoCodecFrame* frame) {
    GstRuvDec* self = GST_RUV_DEC(dec);
    const unsigned flags =
        GST_BUFFER_FLAG_IS_SET(frame->input_buffer, GST_BUFFER_FLAG_DELTA_UNIT) ? 0u : (unsigned)RUV_FRAME_KEY;
    ruv_frame_result result = {0, 0};
    GstFlowReturn flow;
    GstMapInfo in;
    int status;

    if (self->decoder == NULL) {
        gst_video_decoder_drop_frame(dec, frame);
        return GST_FLOW_NOT_NEGOTIATED;
    }
    /* No frame is reordered: a frame's PTS is its DTS, which the segment check needs. */
    if (!GST_CLOCK_TIME_IS_VALID(frame->pts)) frame->pts = frame->dts;
    if (outside_segment(dec, frame)) GST_VIDEO_CODEC_FRAME_SET_DECODE_ONLY(frame);
    if (!gst_buffer_map(frame->input_buffer, &in, GST_MAP_READ)) {
        GST_ELEMENT_ERROR(self, STREAM, DECODE, ("Cannot read an input buffer."), (NULL));
        gst_video_decoder_drop_frame(dec, frame);
        return GST_FLOW_ERROR;
    }
    if (self->need_intra && ruv_frame_is_delta(&self->info, in.data, in.size, flags) != 0) {
        GST_DEBUG_OBJECT(self, "frame %u dropped: waiting for an intra frame", frame->system_frame_number);
        gst_buffer_unmap(frame->input_buffer, &in);
        return gst_video_decoder_drop_frame(dec, frame);
    }
    self->need_intra = FALSE;
    status = decode_frame(self, frame, &in, flags, &result, &flow);
    gst_buffer_unmap(frame->input_buffer, &in);
    if (flow != GST_FLOW_OK) {
        gst_video_decoder_drop_frame(dec, frame);
        return flow;
    }
    if (status != RUV_OK) {
        GST_ELEMENT_ERROR(self, STREAM, DECODE, ("A \"RUV1\" frame cannot be decoded: %s.", ruv_strerror(status)),
                          (NULL));
        gst_video_decoder_drop_frame(dec, frame);
        return GST_FLOW_ERROR;
    }
    if (result.fault != 0) {
        GST_ELEMENT_WARNING(self, STREAM, DECODE,
                            ("A \"RUV1\" frame is malformed; its picture shows what could be decoded of it."),
                            ("frame %u (DTS %" GST_TIME_FORMAT "): %s", frame->system_frame_number,
                             GST_TIME_ARGS(frame->dts), ruv_fault_text(result.fault)));
    }
    return gst_video_decoder_finish_frame(dec, frame);
}

/* Output buffers start on a cache line, where libruv's row stores are fastest:
 * the allocation parameters the base class configures its pool with ask for it. */
static gboolean gst_ruv_dec_decide_allocation(GstVideoDecoder* dec, GstQuery* query) {
    GstAllocator* allocator = NULL;
    GstAllocationParams params;
    if (gst_query_get_n_allocation_params(query) > 0) {
        gst_query_parse_nth_allocation_param(query, 0, &allocator, &params);
        params.align |= 63;
        gst_query_set_nth_allocation_param(query, 0, allocator, &params);
        if (allocator != NULL) gst_object_unref(allocator);
    } else {
        gst_allocation_params_init(&params);
        params.align = 63;
        gst_query_add_allocation_param(query, NULL, &params);
    }
    return GST_VIDEO_DECODER_CLASS(gst_ruv_dec_parent_class)->decide_allocation(dec, query);
}

static gboolean gst_ruv_dec_flush(GstVideoDecoder* dec) {
    GstRuvDec* self = GST_RUV_DEC(dec);
    if (self->decoder != NULL) ruv_decoder_reset(self->decoder);
    self->need_intra = TRUE;
    return TRUE;
}

static gboolean gst_ruv_dec_stop(GstVideoDecoder* dec) {
    close_decoder(GST_RUV_DEC(dec));
    return TRUE;
}

static void gst_ruv_dec_init(GstRuvDec* self) {
    GstVideoDecoder* dec = GST_VIDEO_DECODER(self);
    /* Each input buffer is one whole frame. */
    gst_video_decoder_set_packetized(dec, TRUE);
    gst_video_decoder_set_needs_format(dec, TRUE);
    self->need_intra = TRUE;
}

static void gst_ruv_dec_class_init(GstRuvDecClass* klass) {
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstVideoDecoderClass* dec_class = GST_VIDEO_DECODER_CLASS(klass);

    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "RUV1 video decoder", "Codec/Decoder/Video",
                                          "Decodes \"RUV1\" video with libruv", "ruvdec developers");
    dec_class->stop = GST_DEBUG_FUNCPTR(gst_ruv_dec_stop);
    dec_class->set_format = GST_DEBUG_FUNCPTR(gst_ruv_dec_set_format);
    dec_class->flush = GST_DEBUG_FUNCPTR(gst_ruv_dec_flush);
    dec_class->decide_allocation = GST_DEBUG_FUNCPTR(gst_ruv_dec_decide_allocation);
    dec_class->handle_frame = GST_DEBUG_FUNCPTR(gst_ruv_dec_handle_frame);
    GST_DEBUG_CATEGORY_INIT(ruvdec_debug, "ruvdec", 0, "\"RUV1\" video decoder");
}

static gboolean plugin_init(GstPlugin* plugin) {
    return GST_ELEMENT_REGISTER(ruvdec, plugin);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, ruv, "\"RUV1\" video decoding", plugin_init,
                  RUV_VERSION_STRING, "MIT/X11", "ruvdec", "ruvdec")
