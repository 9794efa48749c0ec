// The GStreamer element against the library it stands on: one GOP of a 1080p
// stream from the stream writer (an intra frame and greedy delta frames),
// decoded to I420 by ruv_decode into one packed picture, and by the element in
// a running pipeline (appsrc ! ruvdec ! I420 ! fakesink), its buffers from the
// pool the base class keeps. Names: case/WIDTHxHEIGHT; a case's time is one GOP,
// in real time and in the CPU time of every thread of the process (the
// element decodes on its streaming thread), which the machine's other load
// disturbs less.
#include <benchmark/benchmark.h>
#include <gst/app/app.h>
#include <gst/gst.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ruv/ruv.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

constexpr int32_t width = 1920, height = 1080;
constexpr size_t gop_frames = 8;

struct gop {
    std::vector<uint8_t> header;
    std::vector<ruv::encoded_frame> frames;
};

const gop& stream() {
    static const gop made = [] {
        gop g;
        ruv::stream_writer w;
        w.setup(width, height, 3, gop_frames);
        g.header = w.input_format_bytes();
        for (size_t n = 0; n < gop_frames; ++n) {
            const ruv::picture target = ruv::synthetic_picture(width, height, uint32_t(n));
            g.frames.push_back(n == 0 ? w.write_intra(target) : w.write_delta(target, 4));
        }
        return g;
    }();
    return made;
}

void set_counters(benchmark::State& state) {
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(gop_frames));
}

void api_i420(benchmark::State& state) {
    const gop& g = stream();
    ruv_stream_info info;
    ruv_decoder* decoder = nullptr;
    if (ruv_parse_header(g.header.data(), g.header.size(), &info) != RUV_OK ||
        ruv_decoder_open(&info, nullptr, &decoder) != RUV_OK) {
        state.SkipWithError("the stream does not open");
        return;
    }
    std::vector<uint8_t> out(size_t(width) * height * 3 / 2);
    ruv_picture picture;
    ruv_picture_packed(&picture, &info, RUV_PIXEL_I420, out.data(), out.size(), 0);
    for (auto _ : state) {
        for (const ruv::encoded_frame& f : g.frames)
            ruv_decode(decoder, f.bytes.data(), f.bytes.size(), f.key ? RUV_FRAME_KEY : 0, &picture, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
    ruv_decoder_close(decoder);
    set_counters(state);
}

// Counts the pictures that reach the sink.
struct counter {
    std::mutex lock;
    std::condition_variable changed;
    size_t pictures = 0;

    static void handoff(GstElement*, GstBuffer*, GstPad*, counter* c) {
        std::lock_guard<std::mutex> hold(c->lock);
        ++c->pictures;
        c->changed.notify_one();
    }
    void wait_for(size_t n) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return pictures >= n; });
    }
};

void element_i420(benchmark::State& state) {
    const gop& g = stream();
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(
        "appsrc name=src format=time ! ruvdec ! video/x-raw,format=I420 ! fakesink name=sink sync=false "
        "signal-handoffs=true",
        &error);
    if (pipeline == nullptr) {
        state.SkipWithError(error != nullptr ? error->message : "no pipeline");
        return;
    }
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstBuffer* header = gst_buffer_new_memdup(g.header.data(), g.header.size());
    GstCaps* caps = gst_caps_new_simple("video/x-ruv1", "width", G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                        "framerate", GST_TYPE_FRACTION, 30, 1, "codec_data", GST_TYPE_BUFFER, header,
                                        nullptr);
    g_object_set(src, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_buffer_unref(header);
    counter pictures;
    g_signal_connect(sink, "handoff", G_CALLBACK(counter::handoff), &pictures);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    // The input buffers are made before timing; the element gets a reference.
    std::vector<GstBuffer*> frames;
    for (const ruv::encoded_frame& f : g.frames) {
        GstBuffer* b = gst_buffer_new_memdup(f.bytes.data(), f.bytes.size());
        if (!f.key) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
        frames.push_back(b);
    }
    size_t pushed = 0;
    for (auto _ : state) {
        for (GstBuffer* b : frames) {
            GstBuffer* timed = gst_buffer_copy(b);   // metadata only: the memory is shared
            GST_BUFFER_PTS(timed) = GST_BUFFER_DTS(timed) = gst_util_uint64_scale(pushed++, GST_SECOND, 30);
            gst_app_src_push_buffer(GST_APP_SRC(src), timed);
        }
        pictures.wait_for(pushed);
    }
    for (GstBuffer* b : frames) gst_buffer_unref(b);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    set_counters(state);
}

}  // namespace

int main(int argc, char** argv) {
    // The build tree's plugin, and a registry of the benchmark's own in the build tree.
    g_setenv("GST_PLUGIN_PATH", RUV_GST_PLUGIN_DIR, FALSE);
    g_setenv("GST_REGISTRY", RUV_GST_PLUGIN_DIR "/registry-bench.bin", FALSE);
    gst_init(&argc, &argv);
    GstElementFactory* factory = gst_element_factory_find("ruvdec");
    if (factory == nullptr) {
        std::fprintf(stderr, "gst_bench: no ruvdec element on GST_PLUGIN_PATH\n");
        return 1;
    }
    gst_object_unref(factory);
    stream();
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    for (auto [name, run] : {std::pair{"api_i420/", api_i420}, std::pair{"element_i420/", element_i420}})
        benchmark::RegisterBenchmark((name + size).c_str(), run)
            ->MeasureProcessCPUTime()
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
