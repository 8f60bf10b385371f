// The trace log: settings, labels, line formats, the daily trace file.
#include "diag/debug.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>

#include "diag/debug_testing.h"
#include "platform/process.h"
#include "test_util.h"

namespace {

class TraceLogTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::SetEnv("TARNWICK_PROFILE", (dir / "win.ini").c_str()); }
    void TearDown() override { testsupport::UnsetEnv("TARNWICK_PROFILE"); }
    void Profile(const std::string &lines) {
        LogResetForTest();
        testutil::WriteFile(dir / "win.ini", "[TARNWICK]\n" + lines + "\n");
    }
    std::string Prefix(const char *label) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%03lX> %s: ", ThreadId(), label);
        return buf;
    }
    testutil::UtcZone utc;
    testutil::TempDir dir;
    testutil::TraceCatcher catcher{0};
};

TEST_F(TraceLogTest, Settings) {
    const struct {
        const char *lines;
        uint32_t mask;
        const char *base;
    } cases[] = {
        {"DebugFlags=,,Warning,, Trace\nLogFile=/var/log.d/trace", 0x02, "/var/log.d/trace"},
        {"DebugFlags=trace,WARNING,Error,Network,In/Out,Database\nLogFile=c:\\t\\a.b.c", 0x3F,
         "c:\\t\\a.b"},
        {"DebugFlags=Bogus,trace;error,database", 0x20, ""},
    };
    for (const auto &c : cases) {
        Profile(c.lines);
        LogReadSettings("TARNWICK");
        EXPECT_EQ(LogEnabledMask(), c.mask) << c.lines;
        EXPECT_STREQ(LogBaseName(), c.base) << c.lines;
    }
}

TEST_F(TraceLogTest, TheDailyTraceFileHasTheLinesBehindStampsAndOverflowsAreCut) {
    Profile("DebugFlags=Trace\nLogFile=" + (dir / "trace.txt"));
    testutil::ManualClock clock(testutil::UtcSeconds(1999, 5, 11, 23, 59, 59) * 1000 + 999);
    LogInit("TARNWICK");
    clock.Set(testutil::UtcSeconds(1999, 5, 12, 0, 0, 0) * 1000 + 42);
    catcher.Clear();
    const std::string prefix = Prefix("Trace   ");
    const std::string fits(8192 - prefix.size() - 1, 'a');  // with its NUL: exactly 8192
    LogEvent(Trace, "%s", fits.c_str());
    LogEvent(Trace, "%s", (fits + "b").c_str());
    EXPECT_EQ(catcher.Lines()[1], "LogEvent:  Could not pack string into 5012 bytes\n");
    EXPECT_EQ(testutil::ReadFile(dir / "trace_19990511.LOG"),
              "05/11 23:59:59.999: " + prefix + "DebugFlags=00000001\r\n");
    const std::string stamp = "05/12 00:00:00.042: ";
    EXPECT_EQ(testutil::ReadFile(dir / "trace_19990512.LOG"),
              stamp + prefix + fits + stamp + prefix + fits);
}

// A line's label is that of its highest bit, a dump's that of its lowest.
TEST_F(TraceLogTest, LabelsAndDumpRowsInHexOrDecimalByWidth) {
    LogSetMaskForTest(0x3E);
    errno = 34;
    LogEvent(Trace, "not enabled\n");
    LogEvent(Database, "x\n");
    LogEvent(Warning | Error, "x\n");
    LogEvent(Trace | InOut, "x\n");
    EXPECT_EQ(errno, 34);  // kept for the caller's report
    const unsigned char data[] = {'A', 'b', 0x00, 0x7F, 0xFF, '9', 'z', '\n', ' ', '~', 0x10, 'Q'};
    LogDump(Warning | Error, data, 10, 10, "dump of %d bytes", 10);
    LogDump(Error, data, sizeof data, 11, "eleven");
    EXPECT_EQ(catcher.Lines(),
              (std::vector<std::string>{Prefix("Database") + "x\n", Prefix("Error   ") + "x\n",
                                        Prefix("In/Out  ") + "x\n",
                                        Prefix("Warning ") + "dump of 10 bytes\n",
                                        "[0000] :65 98 00 127 255 57 122 10 32 126    Ab...9z. ~\n",
                                        "\r\n", Prefix("Error   ") + "eleven\n",
                                        "[0000] :41 62 00 7F FF 39 7A 0A 20 7E 10    Ab...9z. ~.\n",
                                        "[000B] :51 " + std::string(30 + 3, ' ') + "Q\n", "\r\n"}));

    // The widest row at offsets of 8 digits and more is written whole.
    const std::string row(124, 'x');
    char head[32];
    std::snprintf(head, sizeof head, "[%zX] :", SIZE_MAX);
    const auto *bytes = reinterpret_cast<const unsigned char *>(row.data());
    EXPECT_EQ(LogDumpRowForTest(SIZE_MAX, bytes, 124, 124),
              head + std::regex_replace(row, std::regex("x"), "78 ") + "   " + row + "\n");
}

}  // namespace
