// Decoding speed at 1920 x 1080: intra and delta frames into YUY2 and RGB32, with
// the scalar and the SSE2 kernels, beside libyuv's converters from I420 as the
// reference for what a tuned colour conversion of the same picture costs.
// Every input comes from the stream writer.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <vector>

#include "decoder.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

constexpr int32_t width = 1920;
constexpr int32_t height = 1080;

uint32_t compression_of(bool rgb) { return rgb ? ruv::compression_rgb32 : ruv::compression_yuy2; }

void set_counters(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations());  // frames
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Coding modes 1 to 4 also keep the picture as the reference frame; coding mode 0 does not.
void intra(benchmark::State& state, bool rgb, bool simd, uint32_t mode) {
    ruv::stream_writer writer;
    writer.setup(width, height, mode);
    const ruv::encoded_frame frame = writer.write_intra(ruv::synthetic_picture(width, height, 0));
    ruv::DecoderContext ctx;
    ctx.m_simd = simd;
    ctx.setup(width, height, mode, compression_of(rgb));
    std::vector<uint8_t> out(ctx.output_size());
    for (auto _ : state) {
        ctx.decode_intra(out.data(), frame.bytes.data(), frame.bytes.size());
        benchmark::DoNotOptimize(out.data());
    }
    set_counters(state);
}

// A delta frame of a slowly moving scene (or, still, of the same picture again:
// every block kept), decoded again and again over the reference it changes; the
// work per frame stays the same.
void delta(benchmark::State& state, uint32_t mode, bool rgb, bool simd, bool still = false) {
    ruv::stream_writer writer;
    writer.setup(width, height, mode);
    const ruv::encoded_frame key = writer.write_intra(ruv::synthetic_picture(width, height, 0));
    const ruv::encoded_frame frame = writer.write_delta(ruv::synthetic_picture(width, height, still ? 0 : 1), 4);
    ruv::DecoderContext ctx;
    ctx.m_simd = simd;
    ctx.setup(width, height, mode, compression_of(rgb));
    std::vector<uint8_t> out(ctx.output_size());
    ctx.decode_intra(out.data(), key.bytes.data(), key.bytes.size());
    for (auto _ : state) {
        ctx.decode_delta(out.data(), frame.bytes.data(), frame.bytes.size());
        benchmark::DoNotOptimize(out.data());
    }
    set_counters(state);
    state.counters["frame_bytes"] = double(frame.bytes.size());
}

void libyuv_peer(benchmark::State& state, bool rgb) {
    const ruv::picture pic = ruv::synthetic_picture(width, height, 0);
    std::vector<uint8_t> out(size_t(width) * height * (rgb ? 4 : 2));
    const int half = width / 2;
    for (auto _ : state) {
        if (rgb) {
            libyuv::I420ToARGB(pic.y.data(), width, pic.u.data(), half, pic.v.data(), half, out.data(), width * 4,
                               width, height);
        } else {
            libyuv::I420ToYUY2(pic.y.data(), width, pic.u.data(), half, pic.v.data(), half, out.data(), width * 2,
                               width, height);
        }
        benchmark::DoNotOptimize(out.data());
    }
    set_counters(state);
}

}  // namespace

BENCHMARK_CAPTURE(intra, yuy2_scalar, false, false, 3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(intra, yuy2_sse2, false, true, 3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(intra, rgb32_scalar, true, false, 3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(intra, rgb32_sse2, true, true, 3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(intra, yuy2_no_reference_sse2, false, true, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(intra, rgb32_no_reference_sse2, true, true, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(libyuv_peer, yuy2, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(libyuv_peer, rgb32, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(delta, mode2_yuy2_scalar, 2, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(delta, mode2_yuy2_sse2, 2, false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(delta, mode3_yuy2_scalar, 3, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(delta, mode3_yuy2_sse2, 3, false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(delta, mode3_rgb32_scalar, 3, true, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(delta, mode3_rgb32_sse2, 3, true, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(delta, mode3_still_yuy2_scalar, 3, false, false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(delta, mode3_still_yuy2_sse2, 3, false, true, true)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
