// The output-format settings on the real profile file of the Wine prefix.
#include <gtest/gtest.h>

#include "codec_fixtures.h"

namespace ruv::codec_test {
namespace {

TEST(OutputSettings, ProfileLivesInTheSystemDirectory) {
    char directory[MAX_PATH];
#if defined(_WIN64)
    const UINT length = GetSystemWow64DirectoryA(directory, MAX_PATH);   // the 32-bit codec's
#else
    const UINT length = GetSystemDirectoryA(directory, MAX_PATH);
#endif
    ASSERT_GT(length, 0u);
    EXPECT_EQ(profile(), std::string(directory) + "\\RuvDec.ini");
}

// One record through every case, so that nothing may be cached between loads.
TEST(OutputSettings, LoadReadsRecognisedValuesAndRepairsTheRest) {
    struct load_case {
        const char* what;
        const char* file;   // null: no file
        int32_t rgb32, yuy2;
        const char* rgb32_after;
        const char* yuy2_after;
        bool unchanged;
    };
    const load_case cases[] = {
        {"no file", nullptr, 1, 1, "ON", "ON", false},
        {"off and ON", "[OUTPUT]\r\nrgb32=off\r\nyuy2=ON\r\n", 0, 1, "off", "ON", true},
        {"OFF and on", "[OUTPUT]\r\nrgb32=OFF\r\nyuy2=on\r\n", 0, 1, "OFF", "on", true},
        {"mixed case", "[OUTPUT]\r\nrgb32=On\r\nyuy2=OFF\r\n", 1, 0, "ON", "OFF", false},
        {"empty key", "[OUTPUT]\r\nrgb32=\r\nyuy2=off\r\n", 1, 0, "ON", "off", false},
        {"missing key", "[OUTPUT]\r\nyuy2=OFF\r\n", 1, 0, "ON", "OFF", false},
        {"other words", "[OUTPUT]\r\nrgb32=OFF\r\nyuy2=1\r\n", 0, 1, "OFF", "ON", false},
        {"longer word", "[OUTPUT]\r\nrgb32=ONE\r\nyuy2=offf\r\n", 1, 1, "ON", "ON", false},
        {"empty file", "", 1, 1, "ON", "ON", false},
    };
    OutputSettings s;
    s.clear();
    for (const load_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.file) write_profile_text(c.file);
        else remove_profile();
        s.load_profile();
        EXPECT_EQ(s.get_rgb32_enabled(), c.rgb32);
        EXPECT_EQ(s.get_yuy2_enabled(), c.yuy2);
        EXPECT_EQ(profile_value("rgb32"), c.rgb32_after);
        EXPECT_EQ(profile_value("yuy2"), c.yuy2_after);
        if (c.unchanged) {
            EXPECT_EQ(read_profile_text(), c.file);
        }
    }
}

TEST(OutputSettings, SaveWritesBothKeysAndKeepsTheRecord) {
    remove_profile();
    for (int32_t rgb32 : {0, 1}) {
        for (int32_t yuy2 : {0, 1}) {
            OutputSettings s;
            s.clear();
            s.rgb32_enabled = rgb32;
            s.yuy2_enabled = yuy2;
            s.sync_profile(save);
            EXPECT_EQ(s.rgb32_enabled, rgb32);
            EXPECT_EQ(s.yuy2_enabled, yuy2);
            EXPECT_EQ(profile_value("rgb32"), rgb32 ? "ON" : "OFF");
            EXPECT_EQ(profile_value("yuy2"), yuy2 ? "ON" : "OFF");
        }
    }
}

TEST(OutputSettings, FreshRecordCountsBothFormatsOff) {
    OutputSettings s;
    s.clear();
    EXPECT_EQ(s.get_rgb32_enabled(), 0);
    EXPECT_EQ(s.get_yuy2_enabled(), 0);
    EXPECT_EQ(s.module, nullptr);
    EXPECT_EQ(s.dialog_window, nullptr);
}

TEST(OutputSettings, StoreOperations) {
    EXPECT_TRUE(strings_equal("ON", "ON"));
    EXPECT_FALSE(strings_equal("ON", "ON "));
    EXPECT_FALSE(strings_equal("on", "On"));
    set_profile("ON", "ON");
    DWORD attributes = 0;
    EXPECT_TRUE(file_exists(profile().c_str(), &attributes));
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_FALSE(file_exists((profile() + ".none").c_str(), nullptr));
    // read_switch leaves the value alone when it does not recognise the key.
    int32_t value = 7;
    EXPECT_FALSE(read_switch(profile().c_str(), profile_section, "none", value));
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(write_switch(save, profile().c_str(), profile_section, "extra", value));
    EXPECT_EQ(profile_value("extra"), "ON");
}

// A system directory too long for the path: the store keeps the defaults and
// touches no file; a directory that just fits still works.
TEST(OutputSettings, PathsBeyondMaxPathAreRefused) {
    char path[MAX_PATH];
    const std::string fits(MAX_PATH - 12, 'd');   // + "\RuvDec.ini" + terminator = 260
    ASSERT_TRUE(join_profile_path(fits.c_str(), fits.size(), path));
    EXPECT_EQ(std::string(path), fits + "\\RuvDec.ini");
    const std::string too_long(MAX_PATH - 11, 'd');
    EXPECT_FALSE(join_profile_path(too_long.c_str(), too_long.size(), path));
    EXPECT_FALSE(join_profile_path("", 0, path));
}

}  // namespace
}  // namespace ruv::codec_test
