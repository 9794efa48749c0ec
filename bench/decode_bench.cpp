// Decoding speed against the machine's limits, in one program so that its noise
// hits every case alike: intra and delta frames at four sizes, with each kernel
// level, hot (one set of buffers) and cold (a pool of sets larger than twice the
// last-level cache, cycled), beside memcpy, a streaming kernel that moves the
// bytes a decoder must move (the bandwidth floor) and libyuv's I420 converters.
// Every input comes from the stream writer. Names: case/WIDTHxHEIGHT/hot|cold.
#include <benchmark/benchmark.h>
#include <immintrin.h>
#include <libyuv.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ruv/ruv.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {

struct frame_size {
    int32_t width, height;
    size_t pixels() const { return size_t(width) * size_t(height); }
    std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
};
constexpr frame_size sizes[] = {{320, 240}, {720, 480}, {1920, 1080}, {3840, 2160}};

// Bytes of the largest cache, from sysfs; 0 when the system does not say.
size_t last_level_cache_bytes() {
    size_t best = 0;
    int best_level = -1;
    for (int index = 0; index < 16; ++index) {
        const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
        std::ifstream level_file(dir + "level"), size_file(dir + "size");
        int level = 0;
        std::string size_text;
        if (!(level_file >> level) || !(size_file >> size_text)) break;
        size_t bytes = std::stoul(size_text);
        if (!size_text.empty() && size_text.back() == 'K') bytes <<= 10;
        if (!size_text.empty() && size_text.back() == 'M') bytes <<= 20;
        if (level > best_level || (level == best_level && bytes > best)) best = bytes, best_level = level;
    }
    return best;
}

const size_t llc_bytes = [] {
    const size_t bytes = last_level_cache_bytes();
    if (bytes == 0) std::fprintf(stderr, "decode_bench: no cache size in sysfs; cold pools assume 64 MiB\n");
    return bytes != 0 ? bytes : size_t(64) << 20;
}();

// Sets in a pool whose sets touch `set_bytes` each: one when hot; when cold,
// enough that the pool exceeds twice the last-level cache.
size_t pool_sets(bool cold, size_t set_bytes) { return cold ? 2 * llc_bytes / set_bytes + 2 : 1; }

// A page-aligned, pre-faulted byte buffer.
struct buffer {
    std::unique_ptr<uint8_t, decltype(&std::free)> bytes{nullptr, &std::free};
    size_t size = 0;
    explicit buffer(size_t n, uint8_t fill = 0) : bytes(static_cast<uint8_t*>(aligned_alloc(4096, (n + 4095) & ~size_t(4095))), &std::free), size(n) {
        std::memset(bytes.get(), fill, n);
    }
    uint8_t* data() const { return bytes.get(); }
};

size_t output_bytes(const frame_size& s, bool rgb) { return s.pixels() * (rgb ? 4 : 2); }

void set_counters(benchmark::State& state, const frame_size& s, size_t sets) {
    state.SetItemsProcessed(state.iterations());
    state.counters["ns_per_pixel"] = benchmark::Counter(
        double(state.iterations()) * double(s.pixels()) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["sets"] = double(sets);
}

// Encoded streams, made once per size and kind and shared by every case.
enum class stream_kind { greedy, still, random };
const char* name_of(stream_kind k) { return k == stream_kind::greedy ? "greedy" : k == stream_kind::still ? "still" : "random"; }

struct stream_pair {
    ruv::encoded_frame key, frame;
};
const stream_pair& stream_for(const frame_size& s, uint32_t mode, stream_kind kind) {
    static std::map<std::tuple<int32_t, int32_t, uint32_t, stream_kind>, stream_pair> made;
    auto at = made.find({s.width, s.height, mode, kind});
    if (at != made.end()) return at->second;
    ruv::stream_writer writer;
    writer.setup(s.width, s.height, mode);
    stream_pair p;
    p.key = writer.write_intra(ruv::synthetic_picture(s.width, s.height, 0));
    if (kind == stream_kind::greedy) p.frame = writer.write_delta(ruv::synthetic_picture(s.width, s.height, 1), 4);
    if (kind == stream_kind::still) p.frame = writer.write_delta(ruv::synthetic_picture(s.width, s.height, 0), 4);
    if (kind == stream_kind::random) p.frame = writer.write_random_delta(7);
    return made[{s.width, s.height, mode, kind}] = std::move(p);
}

// One decoder's working set: decoder (with its reference frame), input frame,
// output (RGB32 bottom-up, as the codec writes it).
struct decode_set {
    ruv_decoder* decoder = nullptr;
    buffer input, output;
    ruv_picture picture{};
    decode_set(const frame_size& s, uint32_t mode, bool rgb, ruv_kernel_level level, const std::vector<uint8_t>& frame)
        : input(frame.size()), output(output_bytes(s, rgb)) {
        const ruv_stream_info info{s.width, s.height, 101, mode};
        const ruv_decoder_settings settings{rgb ? RUV_PIXEL_RGB32 : RUV_PIXEL_YUY2, level};
        ruv_decoder_open(&info, &settings, &decoder);
        ruv_picture_packed(&picture, &info, settings.format, output.data(), output.size, rgb);
        std::memcpy(input.data(), frame.data(), frame.size());
    }
    ~decode_set() { ruv_decoder_close(decoder); }
    void decode(const uint8_t* frame, size_t length, bool key) {
        ruv_decode(decoder, frame, length, key ? RUV_FRAME_KEY : 0, &picture, nullptr);
    }
};

// Intra frames (coding mode 3 also keeps the picture as the reference frame).
void intra(benchmark::State& state, frame_size s, bool cold, uint32_t mode, bool rgb, ruv_kernel_level level) {
    const std::vector<uint8_t>& frame = stream_for(s, mode, stream_kind::still).key.bytes;
    const size_t set_bytes = frame.size() + output_bytes(s, rgb) + (mode != 0 ? frame.size() : 0);
    std::vector<std::unique_ptr<decode_set>> pool(pool_sets(cold, set_bytes));
    for (auto& set : pool) set = std::make_unique<decode_set>(s, mode, rgb, level, frame);
    size_t next = 0;
    for (auto _ : state) {
        decode_set& d = *pool[next];
        d.decode(d.input.data(), d.input.size, true);
        benchmark::DoNotOptimize(d.output.data());
        next = next + 1 == pool.size() ? 0 : next + 1;
    }
    set_counters(state, s, pool.size());
}

// A delta frame decoded again and again over the reference it changes: the codes
// stay the same, so the work per frame does too.
void delta(benchmark::State& state, frame_size s, bool cold, uint32_t mode, stream_kind kind, bool rgb,
           ruv_kernel_level level) {
    const stream_pair& stream = stream_for(s, mode, kind);
    const size_t set_bytes = stream.frame.bytes.size() + output_bytes(s, rgb) + s.pixels() / 2 * 3;
    std::vector<std::unique_ptr<decode_set>> pool(pool_sets(cold, set_bytes));
    for (auto& set : pool) {
        set = std::make_unique<decode_set>(s, mode, rgb, level, stream.frame.bytes);
        set->decode(stream.key.bytes.data(), stream.key.bytes.size(), true);
    }
    size_t next = 0;
    for (auto _ : state) {
        decode_set& d = *pool[next];
        d.decode(d.input.data(), d.input.size, false);
        benchmark::DoNotOptimize(d.output.data());
        next = next + 1 == pool.size() ? 0 : next + 1;
    }
    set_counters(state, s, pool.size());
    state.counters["frame_bytes"] = double(stream.frame.bytes.size());
}

// The anchors' working set: planar 4:2:0 (or cell pairs) in, the output, and a
// reference frame for the streaming variant that writes one.
struct anchor_set {
    buffer input, output, reference;
    anchor_set(const frame_size& s, bool rgb, bool with_reference)
        : input(s.pixels() / 2 * 3, 100), output(output_bytes(s, rgb)), reference(with_reference ? s.pixels() / 2 * 3 : 0) {}
};

// The streaming kernel: 32 pixels at a time, reads their 48 input bytes and writes
// 64 or 128 output bytes (and 48 reference bytes), with plain stores and a
// prefetch ahead of the reads, or with non-temporal stores. The output is stored
// 16 bytes at a time, or 32 where the processor has AVX2, as the decoder's
// kernels store it into 32-byte aligned lines; the reference 16 bytes at a time,
// as the decoder copies it.
template <bool non_temporal, bool with_reference>
inline void store_reference(uint8_t* ref, size_t u, __m128i a, __m128i b, __m128i c) {
    if (!with_reference) return;
    __m128i* r = reinterpret_cast<__m128i*>(ref + 48 * u);
    if (non_temporal) _mm_stream_si128(r, a), _mm_stream_si128(r + 1, b), _mm_stream_si128(r + 2, c);
    else _mm_store_si128(r, a), _mm_store_si128(r + 1, b), _mm_store_si128(r + 2, c);
}

template <bool non_temporal, bool rgb, bool with_reference>
void stream_frame_narrow(const uint8_t* in, uint8_t* out, uint8_t* ref, size_t units) {
    constexpr size_t out_vectors = rgb ? 8 : 4;
    for (size_t u = 0; u < units; ++u) {
        const __m128i* src = reinterpret_cast<const __m128i*>(in + 48 * u);
        if (!non_temporal) _mm_prefetch(reinterpret_cast<const char*>(src) + 1024, _MM_HINT_T0);
        const __m128i a = _mm_load_si128(src), b = _mm_load_si128(src + 1), c = _mm_load_si128(src + 2);
        const __m128i mixed = _mm_xor_si128(_mm_xor_si128(a, b), c);
        __m128i* dst = reinterpret_cast<__m128i*>(out + out_vectors * 16 * u);
        for (size_t v = 0; v < out_vectors; ++v) {
            if (non_temporal) _mm_stream_si128(dst + v, mixed);
            else _mm_store_si128(dst + v, mixed);
        }
        store_reference<non_temporal, with_reference>(ref, u, a, b, c);
    }
    if (non_temporal) _mm_sfence();
}

template <bool non_temporal, bool rgb, bool with_reference>
__attribute__((target("avx2"))) void stream_frame_wide(const uint8_t* in, uint8_t* out, uint8_t* ref, size_t units) {
    constexpr size_t out_vectors = rgb ? 4 : 2;
    for (size_t u = 0; u < units; ++u) {
        const __m128i* src = reinterpret_cast<const __m128i*>(in + 48 * u);
        if (!non_temporal) _mm_prefetch(reinterpret_cast<const char*>(src) + 1024, _MM_HINT_T0);
        const __m128i a = _mm_load_si128(src), b = _mm_load_si128(src + 1), c = _mm_load_si128(src + 2);
        const __m256i mixed = _mm256_broadcastsi128_si256(_mm_xor_si128(_mm_xor_si128(a, b), c));
        __m256i* dst = reinterpret_cast<__m256i*>(out + out_vectors * 32 * u);
        for (size_t v = 0; v < out_vectors; ++v) {
            if (non_temporal) _mm256_stream_si256(dst + v, mixed);
            else _mm256_store_si256(dst + v, mixed);
        }
        store_reference<non_temporal, with_reference>(ref, u, a, b, c);
    }
    if (non_temporal) _mm_sfence();
}

template <bool non_temporal, bool rgb, bool with_reference>
void stream_frame(const uint8_t* in, uint8_t* out, uint8_t* ref, size_t units) {
    static const bool wide = __builtin_cpu_supports("avx2");
    (wide ? stream_frame_wide<non_temporal, rgb, with_reference>
          : stream_frame_narrow<non_temporal, rgb, with_reference>)(in, out, ref, units);
}

// The floor of an I420 output: the same 1.5 bytes a pixel read and written, 16
// bytes a store.
template <bool non_temporal>
void stream_i420_floor(const uint8_t* in, uint8_t* out, size_t units) {
    for (size_t u = 0; u < units; ++u) {
        const __m128i* src = reinterpret_cast<const __m128i*>(in + 48 * u);
        if (!non_temporal) _mm_prefetch(reinterpret_cast<const char*>(src) + 1024, _MM_HINT_T0);
        const __m128i a = _mm_load_si128(src), b = _mm_load_si128(src + 1), c = _mm_load_si128(src + 2);
        __m128i* dst = reinterpret_cast<__m128i*>(out + 48 * u);
        if (non_temporal) _mm_stream_si128(dst, a), _mm_stream_si128(dst + 1, b), _mm_stream_si128(dst + 2, c);
        else _mm_store_si128(dst, a), _mm_store_si128(dst + 1, b), _mm_store_si128(dst + 2, c);
    }
    if (non_temporal) _mm_sfence();
}

void i420_anchor(benchmark::State& state, frame_size s, bool cold, bool non_temporal) {
    const size_t bytes = s.pixels() / 2 * 3;
    std::vector<std::unique_ptr<buffer>> in(pool_sets(cold, 2 * bytes)), out(in.size());
    for (size_t i = 0; i < in.size(); ++i) in[i] = std::make_unique<buffer>(bytes, 100), out[i] = std::make_unique<buffer>(bytes);
    size_t next = 0;
    for (auto _ : state) {
        (non_temporal ? stream_i420_floor<true> : stream_i420_floor<false>)(in[next]->data(), out[next]->data(), s.pixels() / 32);
        benchmark::DoNotOptimize(out[next]->data());
        benchmark::ClobberMemory();
        next = next + 1 == in.size() ? 0 : next + 1;
    }
    set_counters(state, s, in.size());
}

// A picture as a player's frame lays it out at `at`: packed rows, or rows 128
// bytes wider than the picture; RGB32 bottom-up, as Windows lays it out.
size_t row_bytes(const frame_size& s, ruv_pixel_format format, int plane) {
    const size_t w = size_t(s.width);
    return format == RUV_PIXEL_I420 ? (plane ? w / 2 : w) : w * (format == RUV_PIXEL_RGB32 ? 4 : 2);
}
int planes_of(ruv_pixel_format format) { return format == RUV_PIXEL_I420 ? 3 : 1; }
size_t picture_bytes(const frame_size& s, ruv_pixel_format format, bool wide) {
    size_t n = 0;
    for (int p = 0; p < planes_of(format); ++p)
        n += (row_bytes(s, format, p) + (wide ? 128 : 0)) * (p ? size_t(s.height) / 2 : size_t(s.height));
    return n;
}
ruv_picture picture_at(uint8_t* at, const frame_size& s, ruv_pixel_format format, bool wide) {
    ruv_picture picture{};
    const bool bottom_up = format == RUV_PIXEL_RGB32;
    for (int p = 0; p < planes_of(format); ++p) {
        const size_t rows = p ? size_t(s.height) / 2 : size_t(s.height);
        const size_t stride = row_bytes(s, format, p) + (wide ? 128 : 0);
        picture.data[p] = at + (bottom_up ? stride * (rows - 1) : 0);
        picture.stride[p] = bottom_up ? -ptrdiff_t(stride) : ptrdiff_t(stride);
        at += stride * rows;
    }
    return picture;
}

// Where a case's output goes: `offset` bytes past a cache line, packed or wide rows.
struct layout {
    std::string name;
    size_t offset;
    bool wide;
};

// One decoder's working set for decoding through the public API into any of
// several layouts of one output buffer.
struct api_set {
    ruv_decoder* decoder = nullptr;
    buffer input, output;
    std::vector<ruv_picture> pictures;
    api_set(const frame_size& s, uint32_t mode, ruv_pixel_format format, ruv_kernel_level level,
            const std::vector<uint8_t>& frame, const std::vector<layout>& layouts, size_t output_size)
        : input(frame.size()), output(output_size) {
        const ruv_stream_info info{s.width, s.height, 101, mode};
        const ruv_decoder_settings settings{format, level};
        ruv_decoder_open(&info, &settings, &decoder);
        std::memcpy(input.data(), frame.data(), frame.size());
        for (const layout& l : layouts) pictures.push_back(picture_at(output.data() + l.offset, s, format, l.wide));
    }
    ~api_set() { ruv_decoder_close(decoder); }
};

// Intra frames of coding mode 0 or 3 (kind still: its key frame), or greedy
// delta frames of coding mode 3 decoded again and again over their reference,
// into each of `layouts` in turn, each decode timed alone, so that the layouts
// share the machine's noise; the counters give each layout's median time (us)
// and the slowest against the fastest. With one layout, the case's plain time.
void api_case(benchmark::State& state, frame_size s, bool cold, uint32_t mode, bool delta, ruv_pixel_format format,
              ruv_kernel_level level, const std::vector<layout>& layouts) {
    const stream_pair& stream = stream_for(s, mode, delta ? stream_kind::greedy : stream_kind::still);
    const std::vector<uint8_t>& frame = delta ? stream.frame.bytes : stream.key.bytes;
    size_t output_size = 0;
    for (const layout& l : layouts) output_size = std::max(output_size, l.offset + picture_bytes(s, format, l.wide));
    const size_t set_bytes = frame.size() + output_size + (mode != 0 ? s.pixels() / 2 * 3 : 0);
    // Each layout decodes eight frames in a row, as a host decodes into one
    // layout, and the first two are not counted: they find the machine as
    // another layout left it (its caches, its prefetchers; decodes alternating
    // frame by frame between packed and wide rows took up to 1.4 times the time
    // of either alone). Cold, each layout has sets of its own (every n-th set,
    // so that no layout has the memory allocated first), at least one for each
    // frame of a run, taken in turn.
    constexpr size_t run = 8, settle = 2;
    const size_t n = layouts.size();
    const size_t per_layout = cold ? std::max((pool_sets(cold, set_bytes) + n - 1) / n, run) : 1;
    std::vector<std::unique_ptr<api_set>> pool(cold ? per_layout * n : 1);
    for (size_t i = 0; i < pool.size(); ++i) {
        pool[i] = std::make_unique<api_set>(s, mode, format, level, frame, layouts, output_size);
        ruv_decode(pool[i]->decoder, stream.key.bytes.data(), stream.key.bytes.size(), 1,
                   &pool[i]->pictures[i % n], nullptr);
    }
    std::vector<std::vector<double>> times(n);
    std::vector<size_t> turn(n, 0);
    size_t step = 0;
    for (auto _ : state) {
        const size_t l = step / run % n;
        api_set& d = *pool[cold ? l + n * (turn[l]++ % per_layout) : 0];
        const auto start = std::chrono::steady_clock::now();
        ruv_decode(d.decoder, d.input.data(), d.input.size, delta ? 0 : 1, &d.pictures[l], nullptr);
        const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        if (step++ % run >= settle) times[l].push_back(us);
        benchmark::DoNotOptimize(d.output.data());
    }
    set_counters(state, s, pool.size());
    if (n < 2) return;
    double slowest = 0, fastest = 1e30;
    for (size_t l = 0; l < n; ++l) {
        std::vector<double>& t = times[l];
        if (t.empty()) return;
        std::nth_element(t.begin(), t.begin() + t.size() / 2, t.end());
        const double median = t[t.size() / 2];
        state.counters[layouts[l].name] = median;
        slowest = std::max(slowest, median), fastest = std::min(fastest, median);
    }
    state.counters["slowest_over_fastest"] = slowest / fastest;
}

enum class anchor_kind { memcpy_output, stream, stream_nt, stream_ref, stream_ref_nt, libyuv };

void anchor(benchmark::State& state, frame_size s, bool cold, anchor_kind kind, bool rgb) {
    const bool with_reference = kind == anchor_kind::stream_ref || kind == anchor_kind::stream_ref_nt;
    const size_t in_bytes = kind == anchor_kind::memcpy_output ? output_bytes(s, rgb) : s.pixels() / 2 * 3;
    const size_t set_bytes = in_bytes + output_bytes(s, rgb) + (with_reference ? s.pixels() / 2 * 3 : 0);
    std::vector<std::unique_ptr<anchor_set>> pool(pool_sets(cold, set_bytes));
    for (auto& set : pool) {
        set = std::make_unique<anchor_set>(s, rgb, with_reference);
        if (kind == anchor_kind::memcpy_output) set->input = buffer(output_bytes(s, rgb), 100);
    }
    const size_t units = s.pixels() / 32;
    const int32_t w = s.width, h = s.height, half = s.width / 2;
    size_t next = 0;
    for (auto _ : state) {
        anchor_set& a = *pool[next];
        uint8_t* out = a.output.data();
        const uint8_t* y = a.input.data();
        const uint8_t* u = y + s.pixels();
        const uint8_t* v = u + s.pixels() / 4;
        switch (kind) {
            case anchor_kind::memcpy_output: std::memcpy(out, y, a.output.size); break;
            case anchor_kind::stream:
                rgb ? stream_frame<false, true, false>(y, out, nullptr, units) : stream_frame<false, false, false>(y, out, nullptr, units);
                break;
            case anchor_kind::stream_nt:
                rgb ? stream_frame<true, true, false>(y, out, nullptr, units) : stream_frame<true, false, false>(y, out, nullptr, units);
                break;
            case anchor_kind::stream_ref:
                rgb ? stream_frame<false, true, true>(y, out, a.reference.data(), units)
                    : stream_frame<false, false, true>(y, out, a.reference.data(), units);
                break;
            case anchor_kind::stream_ref_nt:
                rgb ? stream_frame<true, true, true>(y, out, a.reference.data(), units)
                    : stream_frame<true, false, true>(y, out, a.reference.data(), units);
                break;
            case anchor_kind::libyuv:
                if (rgb) libyuv::I420ToARGB(y, w, u, half, v, half, out, w * 4, w, h);
                else libyuv::I420ToYUY2(y, w, u, half, v, half, out, w * 2, w, h);
                break;
        }
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        next = next + 1 == pool.size() ? 0 : next + 1;
    }
    set_counters(state, s, pool.size());
}

const char* anchor_name(anchor_kind k) {
    switch (k) {
        case anchor_kind::memcpy_output: return "memcpy";
        case anchor_kind::stream: return "stream";
        case anchor_kind::stream_nt: return "stream_nt";
        case anchor_kind::stream_ref: return "stream_ref";
        case anchor_kind::stream_ref_nt: return "stream_ref_nt";
        case anchor_kind::libyuv: return "libyuv";
    }
    return "";
}

struct level_name {
    ruv_kernel_level level;
    const char* name;
};

// Through the public API, in every output format, at the level the decoder
// picks: each case packed (its plain time); with the output 0 to 56 bytes past a
// cache line, as hosts' heaps place it; and packed against rows 128 bytes wider,
// as a player's frame has them.
template <typename add_case>
void add_layout_cases(const frame_size& s, bool cold, level_name level, add_case add) {
    std::vector<layout> offsets, strides{{"packed", 0, false}, {"wide", 0, true}};
    for (size_t offset = 0; offset < 64; offset += 8) offsets.push_back({"at" + std::to_string(offset), offset, false});
    for (ruv_pixel_format format : {RUV_PIXEL_I420, RUV_PIXEL_YUY2, RUV_PIXEL_RGB32}) {
        const std::string f = format == RUV_PIXEL_I420 ? "i420" : format == RUV_PIXEL_YUY2 ? "yuy2" : "rgb32";
        for (int c = 0; c < 3; ++c) {
            const uint32_t mode = c == 0 ? 0 : 3;
            const bool delta = c == 2;
            const std::string name = (delta ? "delta_m3_greedy_" : "intra_m" + std::to_string(mode) + "_") + f;
            const ruv_kernel_level l = level.level;
            add("api_" + name + "_packed", [=](benchmark::State& st) {
                api_case(st, s, cold, mode, delta, format, l, {{"packed", 0, false}});
            });
            add("offsets_" + name + "_" + level.name,
                [=](benchmark::State& st) { api_case(st, s, cold, mode, delta, format, l, offsets); });
            add("strides_" + name + "_" + level.name,
                [=](benchmark::State& st) { api_case(st, s, cold, mode, delta, format, l, strides); });
        }
    }
}

void register_all() {
    // Every kernel level this machine runs, by name.
    std::vector<level_name> levels;
    for (int l = RUV_KERNELS_SCALAR; l <= ruv_kernels_available(); ++l)
        levels.push_back({ruv_kernel_level(l), ruv_kernels_name(ruv_kernel_level(l))});
    for (const frame_size& s : sizes) {
        for (bool cold : {false, true}) {
            const std::string tail = "/" + s.name() + (cold ? "/cold" : "/hot");
            auto add = [&](const std::string& name, std::function<void(benchmark::State&)> run) {
                benchmark::RegisterBenchmark((name + tail).c_str(), [run](benchmark::State& st) { run(st); })
                    ->Unit(benchmark::kMicrosecond)
                    ->UseRealTime();
            };
            for (bool rgb : {false, true}) {
                const std::string out = rgb ? "rgb32" : "yuy2";
                for (anchor_kind k : {anchor_kind::memcpy_output, anchor_kind::stream, anchor_kind::stream_nt,
                                      anchor_kind::stream_ref, anchor_kind::stream_ref_nt, anchor_kind::libyuv}) {
                    add(std::string(anchor_name(k)) + "_" + out, [=](benchmark::State& st) { anchor(st, s, cold, k, rgb); });
                }
                if (!rgb && (s.width == 720 || s.width == 1920)) {
                    for (bool nt : {false, true}) {
                        add(nt ? "stream_nt_i420" : "stream_i420", [=](benchmark::State& st) { i420_anchor(st, s, cold, nt); });
                    }
                    add_layout_cases(s, cold, levels.back(), add);
                }
                for (const level_name& level : levels) {
                    const std::string lv = "_" + std::string(level.name);
                    const ruv_kernel_level mask = level.level;
                    for (uint32_t mode : {0u, 3u}) {
                        add("intra_m" + std::to_string(mode) + "_" + out + lv,
                            [=](benchmark::State& st) { intra(st, s, cold, mode, rgb, mask); });
                    }
                    for (uint32_t mode : {1u, 2u, 3u}) {
                        for (stream_kind kind : {stream_kind::greedy, stream_kind::still, stream_kind::random}) {
                            add("delta_m" + std::to_string(mode) + "_" + name_of(kind) + "_" + out + lv,
                                [=](benchmark::State& st) { delta(st, s, cold, mode, kind, rgb, mask); });
                        }
                    }
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    register_all();
    benchmark::AddCustomContext("llc_bytes", std::to_string(llc_bytes));
    benchmark::AddCustomContext("pointer_bits", std::to_string(8 * sizeof(void*)));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
