// The GStreamer element "ruvdec" in real pipelines, on captures from the stream
// writer: its pictures against ruvdec's in every coding mode and output format,
// auto-plugging with audio, seeking, key-frame waits and decode-only frames,
// malformed files and the errors it gives where it cannot decode.
#include <gst/app/app.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "avi.h"
#include "avi_header.h"
#include "ruv/ruv.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

const fs::path test_dir = RUV_GST_TEST_DIR;
constexpr uint32_t fps = 30;

GstClockTime frame_time(size_t n) { return gst_util_uint64_scale(n, GST_SECOND, fps); }

// A capture: the "RUV1" video, with 16-bit stereo PCM audio before it and a
// second, smaller "RUV1" stream after it where asked.
struct plan {
    int32_t width = 64;
    int32_t height = 48;
    uint32_t mode = 3;
    size_t frames = 12;
    uint32_t key_interval = 30;
    bool audio = false;
    bool second = false;
};

struct stream {
    bytes header;
    std::vector<ruv::encoded_frame> frames;
};

stream encode(int32_t width, int32_t height, uint32_t mode, size_t frames, uint32_t key_interval) {
    stream s;
    ruv::stream_writer w;
    EXPECT_TRUE(w.setup(width, height, mode, key_interval));
    s.header = w.input_format_bytes();
    for (size_t n = 0; n < frames; ++n) {
        const ruv::picture target = ruv::synthetic_picture(width, height, uint32_t(n));
        s.frames.push_back(w.is_key_frame(n) ? w.write_intra(target) : w.write_delta(target, 2));
    }
    return s;
}

void set32(bytes& b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

ruv::avi::copied_stream audio_stream() {
    ruv::avi::copied_stream a;
    a.strh = bytes(56, 0);
    set32(a.strh, 0, ruv::avi::id::auds);
    set32(a.strh, 20, 4);       // dwScale: one 4-byte block
    set32(a.strh, 24, 32000);   // dwRate: bytes a second
    set32(a.strh, 44, 4);       // dwSampleSize
    a.strf = {1, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x00, 0x7D, 0, 0, 4, 0, 16, 0};
    a.chunk_id = ruv::avi::fourcc('0', '0', 'w', 'b');
    return a;
}

ruv::avi::copied_stream video_stream(const bytes& header, uint32_t chunk_number) {
    ruv::avi::copied_stream v;
    v.strh = bytes(56, 0);
    set32(v.strh, 0, ruv::avi::id::vids);
    set32(v.strh, 4, ruv::avi::fourcc('R', 'U', 'V', '1'));
    set32(v.strh, 20, 1);
    set32(v.strh, 24, fps);
    v.strf = header;
    v.chunk_id = ruv::avi::fourcc('0', char('0' + chunk_number), 'd', 'c');
    return v;
}

// Writes the capture; `video` may differ from the stream the plan describes
// (mangled bytes, other key flags, dropped frames).
void write_capture(const fs::path& path, const plan& p, const stream& video, const stream& second) {
    std::vector<ruv::avi::copied_stream> copied;
    size_t video_index = 0;
    if (p.audio) copied.push_back(audio_stream()), video_index = 1;
    if (p.second) copied.push_back(video_stream(second.header, uint32_t(video_index + 1)));
    ruv::avi::video_format format;
    format.handler = ruv::avi::fourcc('R', 'U', 'V', '1');
    format.width = uint32_t(p.width);
    format.height = uint32_t(p.height);
    format.rate = fps;
    format.scale = 1;
    format.strf = video.header;
    ruv::avi::writer w;
    ASSERT_TRUE(w.open(path.string(), format, {}, copied, video_index)) << w.error();
    for (size_t n = 0; n < video.frames.size(); ++n) {
        if (p.audio) {
            bytes pcm(4 * 267, uint8_t(n));
            ASSERT_TRUE(w.write_chunk(0, pcm.data(), pcm.size(), true));
        }
        const ruv::encoded_frame& f = video.frames[n];
        ASSERT_TRUE(w.write_chunk(video_index, f.bytes.data(), f.bytes.size(), f.key));
        if (p.second) {
            const ruv::encoded_frame& s = second.frames[n];
            ASSERT_TRUE(w.write_chunk(video_index + 1, s.bytes.data(), s.bytes.size(), s.key));
        }
    }
    ASSERT_TRUE(w.close()) << w.error();
}

stream second_stream(const plan& p) { return encode(32, 16, 2, p.frames, 5); }

void write_capture(const fs::path& path, const plan& p) {
    write_capture(path, p, encode(p.width, p.height, p.mode, p.frames, p.key_interval), second_stream(p));
}

bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

// ruvdec's decode of the file into `format`.
bytes ruvdec(const fs::path& in, const std::string& format, const std::string& extra = "") {
    const fs::path out = in.string() + "." + format;
    const std::string command = std::string("'") + RUVDEC_PATH + "' decode '" + in.string() + "' -o '" + out.string() +
                                "' --format " + format + " --quiet " + extra + " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return read_file(out);
}

// Rows of each picture in reverse order: ruvdec's RGB32 is bottom-up, GStreamer's top-down.
bytes flip_rows(const bytes& frames, size_t row_bytes, size_t rows) {
    bytes out(frames.size());
    for (size_t pic = 0; pic + row_bytes * rows <= frames.size(); pic += row_bytes * rows)
        for (size_t r = 0; r < rows; ++r)
            std::copy_n(frames.begin() + long(pic + r * row_bytes), row_bytes,
                        out.begin() + long(pic + (rows - 1 - r) * row_bytes));
    return out;
}

struct run_result {
    bool finished = false;   // EOS or an error, before the time-out
    bool eos = false;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;   // "element: text"
};

std::string message_text(GstMessage* m) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) gst_message_parse_error(m, &error, &debug);
    else gst_message_parse_warning(m, &error, &debug);
    std::string text = std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(m))) + ": " + error->message;
    g_error_free(error);
    g_free(debug);
    return text;
}

// Plays the pipeline to its end (EOS or an error) and collects the bus's errors
// and warnings; a pipeline still running after the time-out has hung.
run_result play(GstElement* pipeline, GstClockTime timeout = 30 * GST_SECOND) {
    run_result r;
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    while (GstMessage* m = gst_bus_timed_pop_filtered(
               bus, timeout, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING))) {
        const GstMessageType type = GST_MESSAGE_TYPE(m);
        if (type == GST_MESSAGE_WARNING) r.warnings.push_back(message_text(m));
        if (type == GST_MESSAGE_ERROR) r.errors.push_back(message_text(m));
        r.eos = type == GST_MESSAGE_EOS;
        gst_message_unref(m);
        if (type != GST_MESSAGE_WARNING) {
            r.finished = true;
            break;
        }
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    return r;
}

run_result play(const std::string& description) {
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    EXPECT_EQ(error, nullptr) << description << ": " << (error ? error->message : "");
    if (error) g_error_free(error);
    if (!pipeline) return {};
    run_result r = play(pipeline);
    gst_object_unref(pipeline);
    return r;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

// Raw frames as GStreamer lays them out (rows at its strides, which may pass
// the plane's width) with rows of the plane's width alone, as ruvdec writes them.
bytes tight_rows(const bytes& frames, const std::string& format, int32_t width, int32_t height) {
    GstVideoInfo info;
    EXPECT_TRUE(gst_video_info_set_format(&info, gst_video_format_from_string(format.c_str()), guint(width),
                                          guint(height)));
    EXPECT_EQ(frames.size() % info.size, 0u);
    bytes out;
    for (size_t at = 0; at + info.size <= frames.size(); at += info.size) {
        for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(&info); ++p) {
            const size_t row = size_t(GST_VIDEO_INFO_COMP_WIDTH(&info, p) * GST_VIDEO_INFO_COMP_PSTRIDE(&info, p));
            for (int r = 0; r < GST_VIDEO_INFO_COMP_HEIGHT(&info, p); ++r) {
                const auto first = frames.begin() + long(at + GST_VIDEO_INFO_PLANE_OFFSET(&info, p) +
                                                         size_t(r) * size_t(GST_VIDEO_INFO_PLANE_STRIDE(&info, p)));
                out.insert(out.end(), first, first + long(row));
            }
        }
    }
    return out;
}

// The element's output for one of the decoder's pixel formats, through avidemux.
bytes element_output(const fs::path& in, const std::string& format, int32_t width, int32_t height,
                     const std::string& pad) {
    const fs::path out = in.string() + ".gst." + format;
    const run_result r = play("filesrc location=\"" + in.string() + "\" ! avidemux name=d d." + pad +
                              " ! ruvdec ! video/x-raw,format=" + format + " ! filesink location=\"" + out.string() +
                              "\"");
    EXPECT_TRUE(r.eos) << joined(r.errors);
    return tight_rows(read_file(out), format, width, height);
}

// The element's I420, YUY2 and BGRx output against ruvdec's i420, yuy2 and rgb32.
void expect_like_ruvdec(const fs::path& file, int32_t width, int32_t height, const std::string& pad = "video_0",
                        const std::string& ruvdec_args = "") {
    EXPECT_EQ(element_output(file, "I420", width, height, pad), ruvdec(file, "i420", ruvdec_args)) << "I420";
    EXPECT_EQ(element_output(file, "YUY2", width, height, pad), ruvdec(file, "yuy2", ruvdec_args)) << "YUY2";
    EXPECT_EQ(element_output(file, "BGRx", width, height, pad),
              flip_rows(ruvdec(file, "rgb32", ruvdec_args), size_t(width) * 4, size_t(height)))
        << "BGRx";
}

class gst_environment : public ::testing::Environment {
  public:
    void SetUp() override {
        gst_init(nullptr, nullptr);
        fs::create_directories(test_dir);
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new gst_environment);

TEST(Element, FactoryAndStateChanges) {
    GstElementFactory* factory = gst_element_factory_find("ruvdec");
    ASSERT_NE(factory, nullptr) << "the plugin is not found on GST_PLUGIN_PATH";
    EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(factory)), guint(GST_RANK_PRIMARY));
    EXPECT_STREQ(gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS), "Codec/Decoder/Video");
    gst_object_unref(factory);
    // Through every state and back, twice, with no stream at all.
    GstElement* element = gst_element_factory_make("ruvdec", nullptr);
    ASSERT_NE(element, nullptr);
    for (int round = 0; round < 2; ++round) {
        for (GstState s : {GST_STATE_READY, GST_STATE_PAUSED, GST_STATE_PLAYING, GST_STATE_PAUSED, GST_STATE_READY,
                           GST_STATE_NULL})
            EXPECT_NE(gst_element_set_state(element, s), GST_STATE_CHANGE_FAILURE) << s;
    }
    gst_object_unref(element);
}

// Every coding mode, intra and delta frames, key frames every frame and every
// 30th, sizes on the decoding grid that are not multiples of 16.
TEST(Output, LikeRuvdecInEveryModeAndFormat) {
    struct row {
        int32_t width, height;
        uint32_t mode;
        uint32_t key_interval;
        size_t frames;
    };
    const row rows[] = {
        {36, 22, 0, 1, 4},  {56, 30, 1, 30, 33}, {72, 18, 2, 1, 5},
        {40, 46, 3, 30, 33}, {88, 26, 4, 30, 33}, {56, 30, 4, 1, 4},
    };
    for (const row& r : rows) {
        SCOPED_TRACE("mode " + std::to_string(r.mode) + " " + std::to_string(r.width) + "x" +
                     std::to_string(r.height) + " key interval " + std::to_string(r.key_interval));
        plan p;
        p.width = r.width, p.height = r.height, p.mode = r.mode, p.key_interval = r.key_interval, p.frames = r.frames;
        const fs::path file = test_dir / ("mode" + std::to_string(r.mode) + "_" + std::to_string(r.key_interval) + ".avi");
        write_capture(file, p);
        expect_like_ruvdec(file, r.width, r.height);
    }
}

// avidemux's "video_1" is the file's second video stream, after an audio stream.
TEST(Output, SecondVideoStreamByTheDemuxersPad) {
    plan p;
    p.audio = p.second = true;
    const fs::path file = test_dir / "two_videos.avi";
    write_capture(file, p);
    expect_like_ruvdec(file, 32, 16, "video_1", "--stream 2");
}

// gst-discoverer-1.0 finds the decoder for a capture with audio and says the
// video's size and rate.
TEST(Playback, DiscovererReportsSizeAndRate) {
    plan p;
    p.width = 104, p.height = 58, p.frames = 40, p.audio = p.second = true;
    const fs::path file = test_dir / "discover.avi";
    write_capture(file, p);

    const std::string command = "gst-discoverer-1.0 '" + file.string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string report;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) report += line;
    pclose(pipe);
    EXPECT_NE(report.find("Width: 104"), std::string::npos) << report;
    EXPECT_NE(report.find("Height: 58"), std::string::npos) << report;
    EXPECT_NE(report.find("Frame rate: 30/1"), std::string::npos) << report;
    EXPECT_NE(report.find("audio #"), std::string::npos) << report;
    EXPECT_EQ(report.find("issing"), std::string::npos) << report;   // no "Missing plugins"

}

// playbin and playbin3 to the end with both streams; every picture at its
// frame's time, also past dropped (empty) frames, which avidemux skips.
TEST(Playback, PlaybinsPlayBothStreamsToTheEnd) {
    plan p;
    p.width = 104, p.height = 58, p.frames = 40, p.audio = p.second = true;
    const fs::path file = test_dir / "with_audio.avi";
    stream main = encode(p.width, p.height, p.mode, p.frames, p.key_interval);
    const std::set<size_t> dropped = {7, 8, 20};
    for (size_t n : dropped) main.frames[n].bytes.clear();
    write_capture(file, p, main, second_stream(p));
    for (const char* player : {"playbin", "playbin3"}) {
        SCOPED_TRACE(player);
        GstElement* playbin = gst_element_factory_make(player, nullptr);
        GstElement* video = gst_element_factory_make("appsink", nullptr);
        GstElement* audio = gst_element_factory_make("fakesink", nullptr);
        GstCaps* caps = gst_caps_from_string("video/x-raw,format=I420");
        g_object_set(video, "sync", FALSE, "caps", caps, "emit-signals", TRUE, nullptr);
        gst_caps_unref(caps);
        g_object_set(audio, "sync", FALSE, "signal-handoffs", TRUE, nullptr);
        guint audio_buffers = 0;
        g_signal_connect(audio, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, guint* n) { ++*n; }),
                         &audio_buffers);
        std::vector<GstClockTime> times;
        g_signal_connect(video, "new-sample", G_CALLBACK(+[](GstAppSink* sink, std::vector<GstClockTime>* t) {
                             GstSample* s = gst_app_sink_pull_sample(sink);
                             t->push_back(GST_BUFFER_PTS(gst_sample_get_buffer(s)));
                             gst_sample_unref(s);
                             return GST_FLOW_OK;
                         }),
                         &times);
        gchar* uri = gst_filename_to_uri(file.c_str(), nullptr);
        g_object_set(playbin, "uri", uri, "video-sink", video, "audio-sink", audio, nullptr);
        g_free(uri);
        const run_result r = play(playbin);
        gst_object_unref(playbin);
        EXPECT_TRUE(r.eos) << joined(r.errors);
        EXPECT_GT(audio_buffers, 0u);
        std::vector<GstClockTime> expected;
        for (size_t n = 0; n < p.frames; ++n)
            if (dropped.count(n) == 0) expected.push_back(frame_time(n));
        EXPECT_EQ(times, expected);
    }
}

// The first picture shown after a seek into a GOP (frames 30 to 59) against
// ruvdec's decode from the start.
TEST(Playback, SeekIntoGopShowsWhatADecodeFromTheStartShows) {
    plan p;
    p.frames = 50, p.audio = true;
    const fs::path file = test_dir / "seek.avi";
    write_capture(file, p);
    const bytes all = ruvdec(file, "i420");
    const size_t picture_bytes = size_t(p.width) * size_t(p.height) * 3 / 2;
    ASSERT_EQ(all.size(), picture_bytes * p.frames);

    GstElement* playbin = gst_element_factory_make("playbin", nullptr);
    GstElement* video = gst_element_factory_make("appsink", nullptr);
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=I420");
    g_object_set(video, "sync", FALSE, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gchar* uri = gst_filename_to_uri(file.c_str(), nullptr);
    g_object_set(playbin, "uri", uri, "video-sink", video, "audio-sink", gst_element_factory_make("fakesink", nullptr),
                 nullptr);
    g_free(uri);
    gst_element_set_state(playbin, GST_STATE_PAUSED);
    ASSERT_EQ(gst_element_get_state(playbin, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);

    // An accurate seek shows the target; a key-unit one what avidemux snaps to,
    // which in a file with audio may be an audio chunk's start within the GOP.
    struct seek_case {
        const char* name;
        GstSeekFlags flags;
        size_t target, first;   // the frame shown is in first .. target
    };
    const seek_case cases[] = {
        {"accurate", GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), 44, 44},
        {"key unit", GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT | GST_SEEK_FLAG_SNAP_BEFORE), 41, 30},
        {"accurate, back", GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), 37, 37},
    };
    for (const seek_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(gst_element_seek_simple(playbin, GST_FORMAT_TIME, c.flags, gint64(frame_time(c.target) + 1000)));
        ASSERT_EQ(gst_element_get_state(playbin, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
        GstSample* sample = gst_app_sink_try_pull_preroll(GST_APP_SINK(video), 5 * GST_SECOND);
        ASSERT_NE(sample, nullptr);
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        // The frame whose time the (clipped) PTS falls in.
        const size_t shown = size_t(gst_util_uint64_scale(GST_BUFFER_PTS(buffer), fps, GST_SECOND));
        EXPECT_GE(shown, c.first);
        EXPECT_LE(shown, c.target);
        GstMapInfo map;
        ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
        ASSERT_EQ(map.size, picture_bytes);
        ASSERT_LT(shown, p.frames);
        EXPECT_TRUE(std::equal(map.data, map.data + map.size, all.begin() + long(shown * picture_bytes))) << shown;
        gst_buffer_unmap(buffer, &map);
        gst_sample_unref(sample);
    }
    gst_element_set_state(playbin, GST_STATE_NULL);
    gst_object_unref(playbin);
}

// Frames pushed as a source with the header in its caps: PTS from DTS, frames
// before the segment into the reference alone, and after a flush nothing until
// an intra frame. The pictures against the library's own decode.
TEST(Frames, TimestampsDecodeOnlyAndFlush) {
    const int32_t width = 48, height = 32;
    const stream s = encode(width, height, 3, 12, 5);   // intra frames 0, 5 and 10
    std::vector<bytes> expected;                        // frame n decoded from the last intra frame on
    {
        ruv_stream_info info;
        ASSERT_EQ(ruv_parse_header(s.header.data(), s.header.size(), &info), RUV_OK);
        ruv_decoder* dec = nullptr;
        ASSERT_EQ(ruv_decoder_open(&info, nullptr, &dec), RUV_OK);
        for (const ruv::encoded_frame& f : s.frames) {
            bytes pic(size_t(width * height) * 3 / 2);
            ruv_picture p;
            ruv_picture_packed(&p, &info, RUV_PIXEL_I420, pic.data(), pic.size(), 0);
            ruv_decode(dec, f.bytes.data(), f.bytes.size(), f.key ? RUV_FRAME_KEY : 0, &p, nullptr);
            expected.push_back(pic);
        }
        ruv_decoder_close(dec);
    }

    GstHarness* h = gst_harness_new("ruvdec");
    GstBuffer* header = gst_buffer_new_memdup(s.header.data(), s.header.size());
    GstCaps* caps = gst_caps_new_simple("video/x-ruv1", "width", G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                        "framerate", GST_TYPE_FRACTION, 30, 1, "codec_data", GST_TYPE_BUFFER, header,
                                        nullptr);
    gst_buffer_unref(header);
    gst_harness_set_src_caps(h, caps);
    gst_harness_set_sink_caps_str(h, "video/x-raw,format=I420");
    auto push = [&](size_t n) {
        const ruv::encoded_frame& f = s.frames[n];
        GstBuffer* b = gst_buffer_new_memdup(f.bytes.data(), f.bytes.size());
        GST_BUFFER_DTS(b) = frame_time(n);
        GST_BUFFER_PTS(b) = f.key ? frame_time(n) : GST_CLOCK_TIME_NONE;   // as avidemux stamps them
        GST_BUFFER_DURATION(b) = frame_time(1);
        if (!f.key) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
        EXPECT_EQ(gst_harness_push(h, b), GST_FLOW_OK) << n;
    };
    auto expect_shown = [&](size_t n) {
        GstBuffer* b = gst_harness_try_pull(h);
        ASSERT_NE(b, nullptr) << "no picture for frame " << n;
        EXPECT_EQ(GST_BUFFER_PTS(b), frame_time(n));
        GstMapInfo map;
        ASSERT_TRUE(gst_buffer_map(b, &map, GST_MAP_READ));
        EXPECT_EQ(bytes(map.data, map.data + map.size), expected[n]) << "frame " << n;
        gst_buffer_unmap(b, &map);
        gst_buffer_unref(b);
    };

    // A segment from frame 3 on, as after an accurate seek: frames 0 to 2 go
    // into the reference alone, and frame 3 is drawn over it.
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    segment.start = segment.time = frame_time(3);
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_segment(&segment)));
    for (size_t n : {0, 1, 2, 3, 4}) push(n);
    for (size_t n : {3, 4}) expect_shown(n);
    EXPECT_EQ(gst_harness_try_pull(h), nullptr);

    // After a flush, nothing until an intra frame: 6 and 7 have none before them.
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_flush_start()));
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_flush_stop(TRUE)));
    gst_segment_init(&segment, GST_FORMAT_TIME);
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_segment(&segment)));
    for (size_t n : {6, 7, 10, 11}) push(n);
    for (size_t n : {10, 11}) expect_shown(n);
    EXPECT_EQ(gst_harness_try_pull(h), nullptr);
    gst_harness_teardown(h);
}

// Truncated files, mangled frames and wrong key flags through playbin: no crash,
// no hang, the faults on the bus; and the pictures, through avidemux, are
// ruvdec's (of a truncated file, the frames it still holds whole).
TEST(Malformed, PlaybinPlaysThroughWithWarnings) {
    plan p;
    p.frames = 40, p.audio = true, p.width = 56, p.height = 30;
    const stream good = encode(p.width, p.height, p.mode, p.frames, 15);

    stream mangled = good;
    for (size_t n = 1; n < mangled.frames.size(); n += 3) {
        bytes& b = mangled.frames[n].bytes;
        if (n % 2 == 0) b.resize(b.size() / 2);
        else for (size_t i = 8; i < b.size(); i += 7) b[i] = uint8_t(b[i] ^ (0x5A + i));
    }
    stream wrong_keys = good;
    for (size_t n = 0; n < wrong_keys.frames.size(); n += 4) wrong_keys.frames[n].key = !wrong_keys.frames[n].key;

    const fs::path mangled_file = test_dir / "mangled.avi", wrong_keys_file = test_dir / "wrong_keys.avi",
                   truncated_file = test_dir / "truncated.avi";
    write_capture(mangled_file, p, mangled, second_stream(p));
    write_capture(wrong_keys_file, p, wrong_keys, second_stream(p));
    write_capture(truncated_file, p, good, second_stream(p));
    fs::resize_file(truncated_file, fs::file_size(truncated_file) * 3 / 5 + 11);

    auto playbin = [](const fs::path& file) {
        gchar* uri = gst_filename_to_uri(file.c_str(), nullptr);
        const run_result r = play(std::string("playbin uri=") + uri +
                                  " video-sink=\"fakesink sync=false\" audio-sink=\"fakesink sync=false\"");
        g_free(uri);
        return r;
    };
    {
        SCOPED_TRACE("mangled");
        const run_result r = playbin(mangled_file);
        EXPECT_TRUE(r.eos) << joined(r.errors);
        EXPECT_NE(joined(r.warnings).find("malformed"), std::string::npos) << joined(r.warnings);
        expect_like_ruvdec(mangled_file, p.width, p.height);
    }
    {
        SCOPED_TRACE("wrong key flags");
        const run_result r = playbin(wrong_keys_file);
        EXPECT_TRUE(r.eos) << joined(r.errors);
        expect_like_ruvdec(wrong_keys_file, p.width, p.height);
    }
    {
        SCOPED_TRACE("truncated");
        const run_result r = playbin(truncated_file);
        EXPECT_TRUE(r.finished);
        EXPECT_FALSE(r.errors.empty() && r.warnings.empty() && !r.eos);
        expect_like_ruvdec(truncated_file, p.width, p.height);
    }
}

// Where the element cannot find or take a stream's header: an error that says
// why, on the bus, and no picture.
TEST(Errors, ClearWhereTheHeaderCannotBeHadOrTaken) {
    plan p;
    const fs::path file = test_dir / "errors.avi";
    write_capture(file, p);
    const std::string no_picture = " ! ruvdec ! fakesink";
    // The file through a source that answers the URI query with fd://.
    const int fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct error_case {
        const char* name;
        std::string pipeline;   // fed from its appsrc, if it has one
        bytes feed;
        const char* says;
    };
    const error_case cases[] = {
        {"not from avidemux", "appsrc name=src caps=\"video/x-avi-unknown,fourcc=(int)827741522\"" + no_picture, bytes(100),
         "does not come from avidemux"},
        {"not a local file", "fdsrc fd=" + std::to_string(fd) + " ! avidemux" + no_picture, {},
         "only from a local file; this source is fd://"},
        {"no codec_data", "appsrc name=src caps=\"video/x-ruv1,width=64,height=48,framerate=30/1\"" + no_picture, bytes(100),
         "no 80-byte format header"},
    };
    for (const error_case& c : cases) {
        SCOPED_TRACE(c.name);
        GError* error = nullptr;
        GstElement* pipeline = gst_parse_launch(c.pipeline.c_str(), &error);
        ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");
        if (GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src")) {
            gst_app_src_push_buffer(GST_APP_SRC(src), gst_buffer_new_memdup(c.feed.data(), c.feed.size()));
            gst_app_src_end_of_stream(GST_APP_SRC(src));
            gst_object_unref(src);
        }
        const run_result r = play(pipeline);
        gst_object_unref(pipeline);
        ASSERT_FALSE(r.errors.empty());
        EXPECT_NE(r.errors[0].find(c.says), std::string::npos) << r.errors[0];
    }

    close(fd);

    // A stream libruv refuses: coding mode 5.
    bytes header = encode(64, 48, 3, 1, 1).header;
    header[44] = 5;   // coding_mode
    ruv::avi::video_format format;
    format.handler = ruv::avi::fourcc('R', 'U', 'V', '1');
    format.width = 64, format.height = 48, format.rate = fps, format.scale = 1, format.strf = header;
    const fs::path refused = test_dir / "refused.avi";
    {
        ruv::avi::writer w;
        ASSERT_TRUE(w.open(refused.string(), format));
        const bytes frame(100, 0);
        ASSERT_TRUE(w.write_frame(frame.data(), frame.size(), true));
        ASSERT_TRUE(w.close());
    }
    const run_result r = play("filesrc location=\"" + refused.string() + "\" ! avidemux" + no_picture);
    ASSERT_FALSE(r.errors.empty());
    EXPECT_NE(r.errors[0].find("cannot be decoded: the coding mode is above 4"), std::string::npos) << r.errors[0];

    // A file without the demuxer's stream.
    ruv_avi_stream s;
    char text[256];
    EXPECT_EQ(ruv_avi_read_header(file.c_str(), 1, &s, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("no video stream 1"), std::string::npos) << text;
}

}  // namespace
