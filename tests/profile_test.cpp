// The profile reader: WIN.INI rules over an INI file.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_util.h"

namespace {

TEST(Profile, ReadsAsWindowsReadsWinIni) {
    testutil::TempDir dir;
    testsupport::SetEnv("TARNWICK_PROFILE", (dir / "win.ini").c_str());
    auto get = [](const char *section, const char *key, size_t size = 128) {
        char out[128];
        size_t n = ProfileString(section, key, "dflt", out, size);
        EXPECT_EQ(n, std::strlen(out));
        return std::string(out);
    };
    EXPECT_EQ(get("TARNWICK", "DebugFlags"), "dflt");  // no file
    testutil::WriteFile(dir / "win.ini",
                        "; comment\r\n[Other]\r\nDebugFlags=wrong section\r\n[ tarnwick ]\r\n"
                        ";DebugFlags=commented\r\n  debugflags  =  Trace, Error  \r\n"
                        "DEBUGFLAGS=second wins not\r\nLogFile=\"c:\\temp\\t.txt\"\r\n"
                        "Quoted='a b'\r\nHalf=\"a\r\nEmpty=\r\n[Next]\nLogFile=next section\n");
    EXPECT_EQ(get("TARNWICK", "DebugFlags"), "Trace, Error");
    EXPECT_EQ(get("TARNWICK", "LogFile"), "c:\\temp\\t.txt");
    EXPECT_EQ(get("tarnwick", "quoted"), "a b");
    EXPECT_EQ(get("TARNWICK", "Half"), "\"a");
    EXPECT_EQ(get("TARNWICK", "Empty"), "");
    EXPECT_EQ(get("TARNWICK", "Missing"), "dflt");
    EXPECT_EQ(get("Next", "LogFile"), "next section");
    EXPECT_EQ(get("Next", "LogFile", 5), "next");  // cut to the buffer
    testsupport::UnsetEnv("TARNWICK_PROFILE");
}

}  // namespace
