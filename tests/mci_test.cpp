// Ruv_dec.dll installed in the Wine prefix and played by the system's MCI AVI
// player, as a program that embeds video does: mciSendString opens a writer
// stream's file, steps through it frame by frame and draws each frame into a
// 32-bit DIB section on a memory DC, which must hold the portable decoder's
// RGB32 picture (the fourth byte aside) in every coding mode. The player asks
// the codec for the display's format, 32-bit RGB on the test's display, and
// blits it 1:1. Runs on a display.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "avi_fixtures.h"

namespace ruv::codec_test {
namespace {

class installed_codec : public testing::Environment {
public:
    void SetUp() override { install_codec(); }
};

const testing::Environment* const installed = testing::AddGlobalTestEnvironment(new installed_codec);

// An MCI command; its error text, empty on success.
std::string mci(const std::string& command) {
    const MCIERROR error = mciSendStringA(command.c_str(), nullptr, 0, nullptr);
    if (error == 0) return {};
    char text[256] = {};
    mciGetErrorStringA(error, text, sizeof text);
    return command + ": " + std::to_string(error) + " " + text;
}

// A bottom-up 32-bit DIB section selected into a memory DC, rows as the
// codec's RGB32 pictures lie.
struct memory_canvas {
    HDC dc = CreateCompatibleDC(nullptr);
    uint8_t* bits = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    memory_canvas(int width, int height) {
        BITMAPINFO info{};
        info.bmiHeader = output_for(width, height, compression_rgb32);
        void* p = nullptr;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &p, nullptr, 0);
        bits = static_cast<uint8_t*>(p);
        if (bitmap) old = SelectObject(dc, bitmap);
    }
    ~memory_canvas() {
        if (old) SelectObject(dc, old);
        if (bitmap) DeleteObject(bitmap);
        DeleteDC(dc);
    }
    // The canvas cleared to a colour no frame has, so that a frame not drawn shows.
    void clear(size_t size) { std::memset(bits, 0x5A, size); }
};

// Blue, green and red of every pixel: the fourth byte is the codec's luma,
// which a blit need not keep.
bytes colours_of(const uint8_t* pixels, size_t size) {
    bytes out(pixels, pixels + size);
    for (size_t i = 3; i < size; i += 4) out[i] = 0;
    return out;
}

// An open MCI AVI device on one file, drawn into a canvas of the picture's size.
struct mci_player {
    const std::vector<bytes>& expected;
    const size_t size = expected[0].size();
    memory_canvas canvas;
    std::string update;
    mci_player(const std::vector<bytes>& pictures, int width, int height)
        : expected(pictures), canvas(width, height),
          update("update v hdc " + std::to_string(reinterpret_cast<uintptr_t>(canvas.dc))) {}

    // Runs the command that moves to frame n, draws and checks the picture.
    void expect_frame(const std::string& command, size_t n) {
        SCOPED_TRACE(command);
        canvas.clear(size);
        ASSERT_EQ(mci(command), "");
        ASSERT_EQ(mci(update), "");
        GdiFlush();
        EXPECT_EQ(colours_of(canvas.bits, size), colours_of(expected[n].data(), size)) << "frame " << n;
    }

    // The canvas as a BMP file, for a person to look at.
    void save(const char* path, int width, int height) const {
        BITMAPINFOHEADER info = output_for(width, height, compression_rgb32);
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof file + sizeof info;
        file.bfSize = DWORD(file.bfOffBits + size);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(&file), sizeof file);
        out.write(reinterpret_cast<const char*>(&info), sizeof info);
        out.write(reinterpret_cast<const char*>(canvas.bits), std::streamsize(size));
    }
};

// Frame by frame from the start, then from each key frame backwards, stepping on
// from it. The player decodes only the frame it seeks to, on whatever picture
// the codec holds, so a seek to a delta frame shows that frame's changes on the
// picture last shown: the host's choice, which no codec can mend. Seeks go to key
// frames here, as a player that wants exact pictures does.
TEST(MciPlayer, StepsThroughEveryCodingModeBitExact) {
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        const test_stream s = test_stream::make(64, 32, mode, 12, mode + 20);
        const std::string name = write_avi(s, "mci_mode" + std::to_string(mode) + ".avi");
        char path[MAX_PATH];
        ASSERT_GT(GetFullPathNameA(name.c_str(), MAX_PATH, path, nullptr), 0u);
        const std::vector<bytes> expected = reference_pictures(s, compression_rgb32);

        ASSERT_EQ(mci("open \"" + std::string(path) + "\" type avivideo alias v"), "");
        EXPECT_EQ(mci("window v state hide"), "");
        mci_player player(expected, 64, 32);
        ASSERT_NE(player.canvas.bits, nullptr);
        player.expect_frame("seek v to start", 0);
        for (size_t n = 1; n < expected.size(); ++n) player.expect_frame("step v", n);
        for (size_t key = expected.size(); key-- > 0;) {
            if (!s.frames[key].key) continue;
            player.expect_frame("seek v to " + std::to_string(key), key);
            for (size_t n = key + 1; n < std::min(key + 3, expected.size()); ++n) player.expect_frame("step v", n);
        }
        if (const char* shot = std::getenv("RUV_DIALOG_SCREENSHOT"); shot && mode == 4) player.save(shot, 64, 32);
        EXPECT_EQ(mci("close v"), "");
        std::remove(path);
    }
}

// With 32-bit RGB switched off the player opens the file on the codec's
// proposal, YUY2, and steps through it. Its pictures are not compared: Wine's
// GDI draws no YUY2 bitmap, so the canvas stays as it was.
TEST(MciPlayer, OpensWithRgb32SwitchedOff) {
    const test_stream s = test_stream::make(64, 32, 3, 4, 7);
    const std::string name = write_avi(s, "mci_yuy2.avi");
    char path[MAX_PATH];
    ASSERT_GT(GetFullPathNameA(name.c_str(), MAX_PATH, path, nullptr), 0u);
    set_profile("OFF", "ON");
    EXPECT_EQ(mci("open \"" + std::string(path) + "\" type avivideo alias v"), "");
    EXPECT_EQ(mci("step v"), "");
    EXPECT_EQ(mci("close v"), "");
    set_profile("ON", "ON");
    std::remove(path);
}

}  // namespace
}  // namespace ruv::codec_test
