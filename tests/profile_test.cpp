// The profile reader: WIN.INI rules over an INI file.
#include "platform/profile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "test_util.h"

namespace {

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::SetEnv("TARNWICK_PROFILE", (dir / "win.ini").c_str()); }
    void TearDown() override { testsupport::UnsetEnv("TARNWICK_PROFILE"); }
    std::string Get(const char *section, const char *key, size_t size = 128) {
        char out[128];
        size_t n = ProfileString(section, key, "dflt", out, size);
        EXPECT_EQ(n, std::strlen(out));
        return out;
    }
    testutil::TempDir dir;
};

TEST_F(ProfileTest, ReadsAsWindowsReadsWinIni) {
    testutil::WriteFile(dir / "win.ini",
                        "; comment\r\n"
                        "[Other]\r\n"
                        "DebugFlags=wrong section\r\n"
                        "[ tarnwick ]\r\n"
                        ";DebugFlags=commented\r\n"
                        "  debugflags  =  Trace, Error  \r\n"
                        "DEBUGFLAGS=second wins not\r\n"
                        "LogFile=\"c:\\temp\\trace.txt\"\r\n"
                        "Quoted='a b'\r\n"
                        "Half=\"a\r\n"
                        "Empty=\r\n"
                        "[Next]\n"
                        "LogFile=next section\n");
    EXPECT_EQ(Get("TARNWICK", "DebugFlags"), "Trace, Error");
    EXPECT_EQ(Get("TARNWICK", "LogFile"), "c:\\temp\\trace.txt");
    EXPECT_EQ(Get("tarnwick", "quoted"), "a b");
    EXPECT_EQ(Get("TARNWICK", "Half"), "\"a");
    EXPECT_EQ(Get("TARNWICK", "Empty"), "");
    EXPECT_EQ(Get("TARNWICK", "Missing"), "dflt");
    EXPECT_EQ(Get("Nowhere", "LogFile"), "dflt");
    EXPECT_EQ(Get("Next", "LogFile"), "next section");
}

TEST_F(ProfileTest, CutsToTheBuffer) {
    testutil::WriteFile(dir / "win.ini", "[T]\nK=abcdefgh\n");
    EXPECT_EQ(Get("T", "K", 5), "abcd");
}

TEST_F(ProfileTest, MissingFileGivesTheDefault) {
    EXPECT_EQ(Get("TARNWICK", "DebugFlags"), "dflt");
}

}  // namespace
