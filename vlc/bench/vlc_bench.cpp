// VLC's decode of a 1920x1080 stream through the module against libruv's own
// decode of the same frames, both a frame's time (Google Benchmark, manual time).
//
// vlc_module: VLC plays the file as fast as it can (rate 32 on a stream of
// 1000 frames a second, to a video output that shows nothing); its time is the
// processor time of all of VLC's threads, as VLC's video output paces the
// pictures whatever the rate, less that of a file of the key frame alone: what
// the frames after it cost VLC (demuxing, the module's decode into VLC's
// pictures, handing them on). libruv: the processor time of ruv_decode of the
// same frames into one I420 picture laid out as VLC's are.
#include <benchmark/benchmark.h>
#include <ruv/ruv.h>
#include <vlc/vlc.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "avi.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

namespace fs = std::filesystem;
constexpr int32_t width = 1920, height = 1080;
constexpr size_t group = 30;     // delta frames after each key frame
constexpr size_t repeats = 4;    // groups in the long file

struct test_stream {
    std::vector<uint8_t> header;
    std::vector<ruv::encoded_frame> frames;   // a key frame and `group` greedy delta frames
};

const test_stream& stream() {
    static const test_stream s = [] {
        test_stream t;
        ruv::stream_writer w;
        w.setup(width, height, 3, 0);
        t.header = w.input_format_bytes();
        for (size_t n = 0; n <= group; ++n) {
            const ruv::picture p = ruv::synthetic_picture(width, height, uint32_t(n));
            t.frames.push_back(n == 0 ? w.write_intra(p) : w.write_delta(p, 2));
        }
        return t;
    }();
    return s;
}

// The frames of a file: the group `count` times, or the key frame alone.
std::vector<const ruv::encoded_frame*> file_frames(size_t count) {
    std::vector<const ruv::encoded_frame*> out;
    for (size_t r = 0; r < count; ++r) {
        for (const ruv::encoded_frame& f : stream().frames) out.push_back(&f);
    }
    if (count == 0) out.push_back(&stream().frames[0]);
    return out;
}

fs::path write_file(const char* name, size_t count) {
    const fs::path path = fs::temp_directory_path() / (std::string("ruv_vlc_bench_") + name + ".avi");
    ruv::avi::video_format format;
    format.handler = ruv::avi::fourcc('R', 'U', 'V', '1');
    format.width = width;
    format.height = height;
    format.rate = 1000;
    format.scale = 1;
    format.strf = stream().header;
    ruv::avi::writer out;
    bool ok = out.open(path.string(), format);
    for (const ruv::encoded_frame* f : file_frames(count)) ok = ok && out.write_frame(f->bytes.data(), f->bytes.size(), f->key);
    if (!out.close() || !ok) std::abort();
    return path;
}

double cpu_seconds() {
    rusage use;
    getrusage(RUSAGE_SELF, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
}

struct play_time {
    double wall = 0;
    double cpu = 0;   // of every thread of the process: VLC's and the module's work
};

// What VLC takes to play a file to its end.
play_time play(const fs::path& file) {
    setenv("VLC_PLUGIN_PATH", VLC_MODULE_DIR, 1);
    const char* args[] = {"--ignore-config", "--no-audio", "--vout=vdummy", "--codec=ruv,none", "--no-osd",
                          "--no-video-title-show"};
    libvlc_instance_t* vlc = libvlc_new(int(std::size(args)), args);
    libvlc_media_t* media = libvlc_media_new_path(vlc, file.c_str());
    libvlc_media_player_t* mp = libvlc_media_player_new_from_media(media);
    libvlc_media_player_set_rate(mp, 32);
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    libvlc_media_player_play(mp);
    libvlc_state_t state;
    while ((state = libvlc_media_player_get_state(mp)) != libvlc_Ended && state != libvlc_Error) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const play_time t{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                      cpu_seconds() - cpu_start};
    libvlc_media_player_stop(mp);
    libvlc_media_player_release(mp);
    libvlc_media_release(media);
    libvlc_release(vlc);
    return state == libvlc_Ended ? t : play_time{};
}

void vlc_module(benchmark::State& state) {
    static const fs::path short_file = write_file("key", 0);
    static const fs::path long_file = write_file("long", repeats);
    const size_t frames = repeats * (group + 1);
    double wall = 0;
    for (auto _ : state) {
        const play_time whole = play(long_file);
        const play_time key = play(short_file);
        if (whole.wall == 0 || key.wall == 0) {
            state.SkipWithError("VLC did not play the file to its end");
            break;
        }
        state.SetIterationTime(whole.cpu - key.cpu);
        wall += whole.wall - key.wall;
    }
    state.SetItemsProcessed(int64_t(state.iterations() * (frames - 1)));
    // VLC's wall-clock time a frame, which its video output's pace bounds.
    state.counters["wall_ms_per_frame"] = 1e3 * wall / double(state.iterations() * (frames - 1));
}

void libruv(benchmark::State& state) {
    ruv_stream_info info;
    ruv_decoder* dec = nullptr;
    if (ruv_parse_header(stream().header.data(), stream().header.size(), &info) != RUV_OK ||
        ruv_decoder_open(&info, nullptr, &dec) != RUV_OK) {
        state.SkipWithError("cannot open the decoder");
        return;
    }
    // Planes as VLC's picture pool lays out a 1920x1080 I420 picture: heights padded to 16 rows.
    const ptrdiff_t pitch = 1920, chroma_pitch = 960;
    std::vector<uint8_t> planes(size_t(pitch) * 1088 + 2 * size_t(chroma_pitch) * 544);
    ruv_picture pic = {{planes.data(), planes.data() + pitch * 1088, planes.data() + pitch * 1088 + chroma_pitch * 544},
                       {pitch, chroma_pitch, chroma_pitch}};
    const std::vector<const ruv::encoded_frame*> frames = file_frames(repeats);
    for (auto _ : state) {
        ruv_decode(dec, frames[0]->bytes.data(), frames[0]->bytes.size(), RUV_FRAME_KEY, &pic, nullptr);
        const double start = cpu_seconds();
        for (size_t n = 1; n < frames.size(); ++n) {
            ruv_decode(dec, frames[n]->bytes.data(), frames[n]->bytes.size(), frames[n]->key ? RUV_FRAME_KEY : 0, &pic,
                       nullptr);
        }
        state.SetIterationTime(cpu_seconds() - start);
        benchmark::DoNotOptimize(planes.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations() * (frames.size() - 1)));
    ruv_decoder_close(dec);
}

BENCHMARK(vlc_module)->Name("vlc_module/1920x1080")->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(libruv)->Name("libruv/1920x1080")->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
