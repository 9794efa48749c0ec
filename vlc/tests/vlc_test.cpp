// The VLC module end to end: streams from the stream writer play through libvlc
// (headless: video and audio to callbacks) with the module found in the build
// tree, and every picture VLC shows is compared with what ruvdec decodes from
// the same file.
#include <gtest/gtest.h>
#include <vlc/vlc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "avi.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace ruv {
namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

// How a test stream is made.
struct stream_plan {
    int32_t width = 64;
    int32_t height = 32;
    uint32_t mode = 3;
    size_t frames = 40;
    uint32_t key_interval = 30;
    bool random_deltas = false;   // delta frames of random codes
    bool damaged = false;         // every third delta frame with bytes overwritten, every fifth cut short
    uint32_t codec_version = 101;
    bool audio = false;           // PCM audio as stream 0, the video as stream 1
    avi::index_layout index = avi::index_layout::idx1;
};

constexpr uint32_t audio_rate = 8000;   // 16-bit stereo: 4 bytes a sample

void set_le32(bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

encoded_frame next_frame(stream_writer& w, const stream_plan& plan, size_t n) {
    const picture target = synthetic_picture(plan.width, plan.height, uint32_t(n));
    if (w.is_key_frame(n)) return w.write_intra(target);
    encoded_frame f = plan.random_deltas ? w.write_random_delta(n * 7919 + plan.mode) : w.write_delta(target, 2);
    if (plan.damaged && n % 3 == 1) {
        for (size_t i = 4; i < f.bytes.size(); i += 7) f.bytes[i] = uint8_t(f.bytes[i] * 13 + n);
    }
    if (plan.damaged && n % 5 == 2) f.bytes.resize(f.bytes.size() / 2);
    return f;
}

// Writes the stream; returns the audio bytes it stored (none without audio).
bytes write_avi(const fs::path& path, const stream_plan& plan) {
    stream_writer w;
    EXPECT_TRUE(w.setup(plan.width, plan.height, plan.mode, plan.key_interval));
    avi::video_format format;
    format.handler = avi::fourcc('R', 'U', 'V', '1');
    format.width = uint32_t(plan.width);
    format.height = uint32_t(plan.height);
    format.rate = 30;
    format.scale = 1;
    format.strf = w.input_format_bytes();
    set_le32(format.strf, 40, plan.codec_version);

    std::vector<avi::copied_stream> copied;
    if (plan.audio) {
        avi::copied_stream a;
        a.strh = bytes(56, 0);
        set_le32(a.strh, 0, avi::id::auds);
        set_le32(a.strh, 20, 4);               // dwScale: one block
        set_le32(a.strh, 24, 4 * audio_rate);  // dwRate: bytes a second
        set_le32(a.strh, 32, uint32_t(plan.frames * audio_rate / 30));
        set_le32(a.strh, 44, 4);               // dwSampleSize
        a.strf = {1, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x00, 0x7D, 0, 0, 4, 0, 16, 0};
        a.chunk_id = avi::fourcc('0', '0', 'w', 'b');
        copied.push_back(a);
    }
    avi::writer out;
    avi::writer_options options;
    options.layout = plan.index;
    EXPECT_TRUE(out.open(path.string(), format, options, copied, copied.size())) << out.error();
    bytes audio;
    uint32_t seed = 99;
    for (size_t n = 0; n < plan.frames; ++n) {
        if (plan.audio) {
            bytes chunk(4 * (audio_rate / 30));   // a frame's time of sound
            for (uint8_t& b : chunk) b = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
            EXPECT_TRUE(out.write_chunk(0, chunk.data(), chunk.size(), true));
            audio.insert(audio.end(), chunk.begin(), chunk.end());
        }
        const encoded_frame f = next_frame(w, plan, n);
        EXPECT_TRUE(out.write_chunk(copied.size(), f.bytes.data(), f.bytes.size(), f.key));
    }
    EXPECT_TRUE(out.close()) << out.error();
    return audio;
}

bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

// The chroma VLC is asked for, ruvdec's name for it and its bytes a picture.
struct chroma {
    const char* vlc;
    const char* ruvdec;
    size_t bytes(size_t w, size_t h) const {
        return !strcmp(vlc, "I420") ? w * h * 3 / 2 : !strcmp(vlc, "YUY2") ? w * h * 2 : w * h * 4;
    }
};
const chroma i420{"I420", "i420"};

// ruvdec's pictures of a file, one a frame, rows top-down (its RGB32 runs
// bottom-up, as Windows bitmaps do).
std::vector<bytes> ruvdec_frames(const fs::path& avi, const stream_plan& plan, const chroma& c) {
    const fs::path out = avi.string() + "." + c.ruvdec;
    const std::string command = std::string(RUVDEC_PATH) + " decode '" + avi.string() + "' -o '" + out.string() +
                                "' --format " + c.ruvdec + " > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    const bytes all = read_file(out);
    const size_t size = c.bytes(size_t(plan.width), size_t(plan.height));
    std::vector<bytes> frames;
    const size_t row = size / size_t(plan.height);
    for (size_t at = 0; at + size <= all.size(); at += size) {
        frames.emplace_back(all.begin() + long(at), all.begin() + long(at + size));
        if (!strcmp(c.vlc, "RV32")) {
            for (size_t y = 0; y < size_t(plan.height); ++y) {
                std::copy_n(all.begin() + long(at + size - (y + 1) * row), row, frames.back().begin() + long(y * row));
            }
        }
    }
    return frames;
}

// The pictures with each repeat of the one before left out, as the pictures
// VLC shows are collected.
std::vector<bytes> without_repeats(std::vector<bytes> frames) {
    for (size_t n = 1; n < frames.size();) {
        if (frames[n] == frames[n - 1]) frames.erase(frames.begin() + long(n));
        else ++n;
    }
    return frames;
}

fs::path test_dir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::path(VLC_TEST_DIR) / (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// One playback through libvlc: the pictures shown (visible bytes only, in the
// chroma asked for), the sound played, and the module's log lines.
struct playback {
    std::mutex lock;
    chroma want = i420;
    unsigned width = 0, height = 0;
    size_t visible_width = 0, visible_height = 0;
    unsigned pitches[3] = {}, lines[3] = {};
    std::vector<bytes> buffers;   // the pictures VLC may hold at once
    std::vector<bool> in_use;
    std::vector<bytes> frames;
    bytes audio;
    std::vector<std::string> log;
};

constexpr unsigned picture_buffers = 4;

unsigned setup_video(void** opaque, char* chroma_name, unsigned* width, unsigned* height, unsigned* pitches,
                     unsigned* lines) {
    playback& p = *static_cast<playback*>(*opaque);
    std::memcpy(chroma_name, p.want.vlc, 4);
    p.width = *width;
    p.height = *height;
    // Pitches and plane heights padded as a host pads them: only the visible bytes count.
    const bool planar = !strcmp(p.want.vlc, "I420");
    const unsigned bpp = planar ? 1 : !strcmp(p.want.vlc, "YUY2") ? 2 : 4;
    size_t total = 0;
    for (int i = 0; i < (planar ? 3 : 1); ++i) {
        const unsigned w = i == 0 ? *width * bpp : (*width + 1) / 2;
        const unsigned h = i == 0 ? *height : (*height + 1) / 2;
        pitches[i] = p.pitches[i] = (w + 63) / 64 * 64 + 64;
        lines[i] = p.lines[i] = (h + 15) / 16 * 16;
        total += size_t(pitches[i]) * lines[i];
    }
    p.buffers.assign(picture_buffers, bytes(total, 0));
    p.in_use.assign(picture_buffers, false);
    return picture_buffers;
}

// A picture is VLC's from lock to unlock; its number is the picture's id.
void* lock_picture(void* opaque, void** planes) {
    playback& p = *static_cast<playback*>(opaque);
    std::lock_guard<std::mutex> g(p.lock);
    size_t n = 0;
    while (n < p.in_use.size() && p.in_use[n]) ++n;
    if (n == p.in_use.size()) {   // VLC holds more pictures than it asked for
        ADD_FAILURE() << "no free picture buffer";
        n = 0;
    }
    p.in_use[n] = true;
    uint8_t* at = p.buffers[n].data();
    for (int i = 0; i < 3; ++i) {
        planes[i] = at;
        at += size_t(p.pitches[i]) * p.lines[i];
    }
    return reinterpret_cast<void*>(n);
}

void unlock_picture(void* opaque, void* id, void* const*) {
    playback& p = *static_cast<playback*>(opaque);
    std::lock_guard<std::mutex> g(p.lock);
    p.in_use[reinterpret_cast<size_t>(id)] = false;
}

void show_picture(void* opaque, void* id) {
    playback& p = *static_cast<playback*>(opaque);
    const bool planar = !strcmp(p.want.vlc, "I420");
    const size_t row = planar ? p.visible_width : p.want.bytes(p.visible_width, 1);
    bytes frame;
    const uint8_t* at = p.buffers[reinterpret_cast<size_t>(id)].data();
    for (int i = 0; i < (planar ? 3 : 1); ++i) {
        const size_t w = i == 0 ? row : row / 2, h = i == 0 ? p.visible_height : p.visible_height / 2;
        for (size_t y = 0; y < h; ++y) frame.insert(frame.end(), at + y * p.pitches[i], at + y * p.pitches[i] + w);
        at += size_t(p.pitches[i]) * p.lines[i];
    }
    std::lock_guard<std::mutex> g(p.lock);
    // VLC shows its last picture again while it waits (at the end, when paused):
    // the test streams never hold one picture twice in a row, so a repeat is that.
    if (p.frames.empty() || p.frames.back() != frame) p.frames.push_back(std::move(frame));
}

void play_audio(void* opaque, const void* samples, unsigned count, int64_t) {
    playback& p = *static_cast<playback*>(opaque);
    const uint8_t* s = static_cast<const uint8_t*>(samples);
    std::lock_guard<std::mutex> g(p.lock);
    p.audio.insert(p.audio.end(), s, s + 4 * size_t(count));
}

void log_line(void* data, int, const libvlc_log_t* ctx, const char* fmt, va_list args) {
    const char* module = nullptr;
    const char* file = nullptr;
    unsigned line = 0;
    libvlc_log_get_context(ctx, &module, &file, &line);
    if (!module || strcmp(module, "ruv") != 0) return;
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, args);
    playback& p = *static_cast<playback*>(data);
    std::lock_guard<std::mutex> g(p.lock);
    p.log.emplace_back(text);
}

// A libvlc instance with the module from the build tree, no configuration
// file, no window or sound device, and every picture shown however late.
libvlc_instance_t* new_vlc(std::vector<const char*> extra = {}) {
    setenv("VLC_PLUGIN_PATH", VLC_MODULE_DIR, 1);
    std::vector<const char*> args = {"--ignore-config", "--no-video-title-show", "--no-drop-late-frames",
                                     "--no-skip-frames", "--no-osd", "--no-stats", "--codec=ruv,araw,none", "--aout=adummy"};
    args.insert(args.end(), extra.begin(), extra.end());
    return libvlc_new(int(args.size()), args.data());
}

bool finished(libvlc_media_player_t* mp) {
    const libvlc_state_t s = libvlc_media_player_get_state(mp);
    return s == libvlc_Ended || s == libvlc_Error;
}

// Waits until `done` holds; false after 30 seconds (a hang).
template <typename F>
bool wait_for(F done, double seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

size_t shown(playback& p) {
    std::lock_guard<std::mutex> g(p.lock);
    return p.frames.size();
}

bool last_shown(playback& p, const bytes* last) {
    std::lock_guard<std::mutex> g(p.lock);
    return last && !p.frames.empty() && p.frames.back() == *last;
}

// How a test plays a file to its end. Stepped, VLC shows one picture at a time,
// so that none is skipped for lateness however slow the machine, until the
// stream's last picture; otherwise it plays at `rate` times its speed.
struct play_plan {
    const bytes* last = nullptr;   // stepped to this picture
    float rate = 1;
    int64_t seek_ms = -1;          // >= 0: seeks there once `seek_after` pictures were shown
    size_t seek_after = 0;
};

void play(const fs::path& file, playback& p, const stream_plan& plan, const play_plan& how) {
    p.visible_width = size_t(plan.width);
    p.visible_height = size_t(plan.height);
    libvlc_instance_t* vlc = new_vlc();
    ASSERT_NE(vlc, nullptr);
    libvlc_log_set(vlc, log_line, &p);
    libvlc_media_t* media = libvlc_media_new_path(vlc, file.c_str());
    const std::string chroma_option = std::string(":ruv-chroma=") + p.want.vlc;
    libvlc_media_add_option(media, chroma_option.c_str());
    libvlc_media_player_t* mp = libvlc_media_player_new_from_media(media);
    libvlc_video_set_callbacks(mp, lock_picture, unlock_picture, show_picture, &p);
    libvlc_video_set_format_callbacks(mp, setup_video, nullptr);
    libvlc_audio_set_callbacks(mp, play_audio, nullptr, nullptr, nullptr, nullptr, &p);
    libvlc_audio_set_format(mp, "S16N", audio_rate, 2);
    // Stepping starts slowly and pauses at the first picture (VLC steps once it
    // has buffered, not from a start paused).
    libvlc_media_player_set_rate(mp, how.last ? 0.25f : how.rate);
    libvlc_media_player_play(mp);
    bool sought = how.seek_ms < 0;
    if (how.last) {
        EXPECT_TRUE(wait_for([&] { return shown(p) > 0 || finished(mp); })) << "no first picture";
        libvlc_media_player_set_pause(mp, 1);
        EXPECT_TRUE(wait_for([&] { return libvlc_media_player_get_state(mp) == libvlc_Paused || finished(mp); }))
            << "not paused";
        while (!finished(mp) && !last_shown(p, how.last)) {
            if (!sought && shown(p) >= how.seek_after) {
                libvlc_media_player_set_time(mp, how.seek_ms);
                sought = true;
            }
            // A step VLC takes before the picture is decoded is lost: asked again.
            const size_t before = shown(p);
            int steps = 0;
            while (shown(p) == before && !finished(mp) && ++steps < 100) {
                libvlc_media_player_next_frame(mp);
                wait_for([&] { return shown(p) > before || finished(mp); }, 0.1);
            }
            if (steps == 100) {
                ADD_FAILURE() << "no picture after " << before << ": " << file;
                break;
            }
        }
        libvlc_media_player_set_pause(mp, 0);
    } else if (!sought) {
        EXPECT_TRUE(wait_for([&] { return shown(p) >= how.seek_after || finished(mp); }));
        libvlc_media_player_set_time(mp, how.seek_ms);
    }
    EXPECT_TRUE(wait_for([&] { return finished(mp); })) << "playback did not end: " << file;
    libvlc_media_player_stop(mp);
    libvlc_media_player_release(mp);
    libvlc_media_release(media);
    libvlc_log_unset(vlc);
    libvlc_release(vlc);
}

std::string log_text(const playback& p) {
    std::string all;
    for (const std::string& line : p.log) all += line + "\n";
    return all;
}

bool logged(const playback& p, const char* text) {
    for (const std::string& line : p.log) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------

// Frame number of a picture among a decode's pictures; -1 for none.
long frame_number(const std::vector<bytes>& frames, const bytes& picture) {
    for (size_t n = 0; n < frames.size(); ++n) {
        if (frames[n] == picture) return long(n);
    }
    return -1;
}

// The frame numbers of the pictures shown, found by content (the test streams'
// pictures all differ), with -1 for a picture that is none of the stream's.
std::vector<long> frame_numbers(const std::vector<bytes>& want, const std::vector<bytes>& shown) {
    std::vector<long> numbers;
    for (const bytes& picture : shown) numbers.push_back(frame_number(want, picture));
    return numbers;
}

std::string listed(const std::vector<long>& numbers) {
    std::string text = "pictures shown:";
    for (long n : numbers) text += " " + std::to_string(n);
    return text;
}

// Each picture shown is byte for byte the stream's picture of its frame, the
// frames rising from `first` to `last`. VLC's video output may still skip a
// picture that comes late on a busy machine (the first, shown before the test
// pauses, or one stepped to): at most one in twenty is let pass.
void expect_frames(const std::vector<long>& numbers, long first, long last) {
    SCOPED_TRACE(listed(numbers));
    ASSERT_FALSE(numbers.empty());
    const long skips = std::max(1L, (last - first + 1) / 20);
    EXPECT_GE(numbers.front(), first);
    EXPECT_LE(numbers.front(), first + skips);
    EXPECT_EQ(numbers.back(), last);
    for (size_t i = 1; i < numbers.size(); ++i) EXPECT_GT(numbers[i], numbers[i - 1]) << "picture " << i;
    EXPECT_GE(long(numbers.size()) + skips, last - first + 1);
}

struct identity_case {
    const char* name;
    stream_plan plan;
    chroma want;
};

TEST(VlcModule, EveryPictureAsRuvdecDecodesIt) {
    auto plan = [](int32_t w, int32_t h, uint32_t mode, size_t frames, uint32_t key_interval) {
        stream_plan p;
        p.width = w, p.height = h, p.mode = mode, p.frames = frames, p.key_interval = key_interval;
        return p;
    };
    stream_plan random = plan(168, 94, 3, 36, 30);
    random.random_deltas = true;
    stream_plan damaged = plan(104, 38, 4, 36, 30);
    damaged.damaged = true;
    const identity_case cases[] = {
        {"intra only, width off the 8 grid", plan(36, 18, 0, 8, 1), i420},
        {"mode 1, every frame a key frame", plan(72, 50, 1, 8, 1), i420},
        {"mode 2, key frames every 30", plan(104, 38, 2, 36, 30), i420},
        {"mode 3, random codes", random, i420},
        {"mode 4", plan(200, 120, 4, 36, 30), i420},
        {"mode 3 to YUY2", plan(88, 46, 3, 12, 30), {"YUY2", "yuy2"}},
        {"mode 3 to RV32", plan(88, 46, 3, 12, 30), {"RV32", "rgb32"}},
        {"malformed frames", damaged, i420},
    };
    const fs::path dir = test_dir();
    for (const identity_case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / (std::to_string(&c - cases) + ".avi");
        write_avi(file, c.plan);
        const std::vector<bytes> all = ruvdec_frames(file, c.plan, c.want);
        ASSERT_EQ(all.size(), c.plan.frames);
        // Damaged frames may leave a picture as it was; other pictures all differ.
        const std::vector<bytes> want = without_repeats(all);
        if (!c.plan.damaged) {
            ASSERT_EQ(want.size(), all.size()) << "the test stream repeats a picture";
        }
        playback p;
        p.want = c.want;
        play(file, p, c.plan, {&want.back()});
        EXPECT_GE(p.width, unsigned(c.plan.width));
        EXPECT_GE(p.height, unsigned(c.plan.height));
        expect_frames(frame_numbers(want, p.frames), 0, long(want.size()) - 1);
        EXPECT_EQ(logged(p, "malformed frame"), c.plan.damaged);
    }
}

TEST(VlcModule, CaptureWithAudioPlaysToItsEnd) {
    stream_plan plan;
    plan.width = 96, plan.height = 54, plan.frames = 45, plan.audio = true;
    const fs::path file = test_dir() / "capture.avi";
    const bytes audio = write_avi(file, plan);
    const std::vector<bytes> want = ruvdec_frames(file, plan, i420);
    playback p;
    play(file, p, plan, {});   // at its own speed, which the sound keeps
    // The pictures as the stream's, and the sound the stream's from its start to
    // within a frame's time of its end.
    expect_frames(frame_numbers(want, p.frames), 0, long(want.size()) - 1);
    EXPECT_LE(p.audio.size(), audio.size());
    EXPECT_GE(p.audio.size() + 4 * audio_rate / 30, audio.size());
    EXPECT_TRUE(std::equal(p.audio.begin(), p.audio.end(), audio.begin()));
}

// A seek to frame 45, between the key frames 30 and 60. With an index, VLC goes
// back to frame 30 and decodes up to 45 without showing it; without one it
// flags every frame as a key frame and lands on a delta frame, which the module
// drops, as all up to the next intra frame.
TEST(VlcModule, SeekIntoAGroupShowsThePictureOfADecodeFromTheStart) {
    struct seek_case {
        avi::index_layout index;
        long first_resumed, last_resumed;
    };
    const seek_case cases[] = {{avi::index_layout::idx1, 30, 59}, {avi::index_layout::none, 60, 60}};
    for (const seek_case& c : cases) {
        stream_plan plan;
        plan.width = 128, plan.height = 72, plan.frames = 90, plan.index = c.index;
        const fs::path file = test_dir() / "seek.avi";
        write_avi(file, plan);
        const std::vector<bytes> want = ruvdec_frames(file, plan, i420);
        playback p;
        play(file, p, plan, {&want.back(), 1, 1500, 4});
        // The pictures before the seek are of frames before 30; the first after it
        // is the picture of the frame VLC resumes at, and the rest follow it to the end.
        const std::vector<long> numbers = frame_numbers(want, p.frames);
        SCOPED_TRACE(listed(numbers));
        size_t seek = 0;
        while (seek < numbers.size() && numbers[seek] >= 0 && numbers[seek] < 30) ++seek;
        ASSERT_GE(seek, 4u);
        ASSERT_LT(seek, numbers.size()) << "no picture after the seek";
        expect_frames({numbers.begin(), numbers.begin() + long(seek)}, 0, numbers[seek - 1]);
        const long resumed = numbers[seek];
        EXPECT_GE(resumed, c.first_resumed) << "the first picture after the seek is no picture of the stream";
        EXPECT_LE(resumed, c.last_resumed);
        expect_frames({numbers.begin() + long(seek), numbers.end()}, resumed, long(want.size()) - 1);
    }
}

TEST(VlcModule, StreamsItCannotDecodeAreRefusedWithAMessage) {
    stream_plan version;
    version.codec_version = 102;
    stream_plan grid;
    grid.width = 60, grid.mode = 2;   // coding modes 1 to 4 need widths a multiple of 8
    const stream_plan plans[] = {version, grid};
    const fs::path dir = test_dir();
    for (const stream_plan& plan : plans) {
        const fs::path file = dir / (std::to_string(&plan - plans) + ".avi");
        stream_plan written = plan;
        if (plan.width == 60) written.width = 64;   // the writer refuses that size: patch the header
        write_avi(file, written);
        if (plan.width == 60) {
            bytes b = read_file(file);
            for (size_t at = 0; at + 8 < b.size(); ++at) {   // avih, strh and strf width fields
                if (b[at] == 64 && b[at + 1] == 0 && b[at + 2] == 0 && b[at + 3] == 0 && b[at + 4] == 32) b[at] = 60;
            }
            std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), long(b.size()));
        }
        playback p;
        play(file, p, plan, {});
        EXPECT_TRUE(p.frames.empty());
        EXPECT_TRUE(logged(p, "cannot decode this \"RUV1\" stream")) << file;
    }
}

// A file cut off inside a frame, with no index: VLC hands the module what it
// reads of the frame, which is decoded as the malformed frame it is.
TEST(VlcModule, FileCutInAFramePlaysToItsEnd) {
    stream_plan plan;
    plan.width = 96, plan.height = 54, plan.frames = 36;
    const fs::path dir = test_dir();
    const fs::path whole = dir / "whole.avi", cut = dir / "cut.avi";
    write_avi(whole, plan);
    bytes b = read_file(whole);
    b.resize(b.size() * 3 / 5 + 7);
    std::ofstream(cut, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), long(b.size()));
    playback p;
    play(cut, p, plan, {});
    EXPECT_TRUE(logged(p, "malformed frame")) << log_text(p);
}

// VLC's own window on an X display (vlc_window_test.sh starts one): a capture
// plays for a second, pauses, and the screen is saved as the PNG named by
// RUV_VLC_SCREENSHOT.
TEST(VlcWindow, ShowsADecodedCapture) {
    const char* png = getenv("RUV_VLC_SCREENSHOT");
    if (!png || !getenv("DISPLAY")) GTEST_SKIP() << "no display (run by vlc_window_test.sh)";
    stream_plan plan;
    plan.width = 320, plan.height = 240, plan.frames = 60;
    const fs::path file = test_dir() / "capture.avi";
    write_avi(file, plan);
    libvlc_instance_t* vlc = new_vlc({"--vout=xcb_x11", "--no-audio"});
    ASSERT_NE(vlc, nullptr);
    libvlc_media_t* media = libvlc_media_new_path(vlc, file.c_str());
    libvlc_media_player_t* mp = libvlc_media_player_new_from_media(media);
    libvlc_media_player_play(mp);
    EXPECT_TRUE(wait_for([&] { return libvlc_media_player_get_time(mp) >= 1000 || finished(mp); }));
    libvlc_media_player_set_pause(mp, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string grab = std::string("xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > '") + png + "'";
    EXPECT_EQ(std::system(grab.c_str()), 0);
    EXPECT_GT(fs::file_size(png), 1000u);
    EXPECT_EQ(libvlc_media_player_get_state(mp), libvlc_Paused);
    libvlc_media_player_stop(mp);
    libvlc_media_player_release(mp);
    libvlc_media_release(media);
    libvlc_release(vlc);
}

}  // namespace
}  // namespace ruv
