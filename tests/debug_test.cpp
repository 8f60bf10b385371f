// The trace log: settings, labels, line formats, the daily trace file.
#include "diag/debug.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "diag/debug_testing.h"
#include "platform/process.h"
#include "test_util.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

class TraceLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LogResetForTest();
        testsupport::SetEnv("TARNWICK_PROFILE", (dir / "win.ini").c_str());
    }
    void TearDown() override {
        LogResetForTest();
        testsupport::UnsetEnv("TARNWICK_PROFILE");
    }
    void Profile(const std::string &lines) { WriteFile(dir / "win.ini", "[TARNWICK]\n" + lines); }
    std::string Prefix(const char *label) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%03lX> %s: ", ThreadId(), label);
        return buf;
    }

    testutil::UtcZone utc;
    TempDir dir;
};

struct FlagsCase {
    const char *value;
    uint32_t mask;
};

TEST_F(TraceLogTest, DebugFlagsKeywords) {
    const FlagsCase cases[] = {
        {"error,TRACE", 0x05},
        {"Error, Trace", 0x04},  // the blank belongs to the token
        {",,Warning,,", 0x02},
        {"Trace,Warning,Error,Network,In/Out,Database", 0x3F},
        {"trace;error", 0x00},
        {"Bogus,database", 0x20},
        {"", 0x00},
    };
    for (const FlagsCase &c : cases) {
        LogResetForTest();
        Profile(std::string("DebugFlags=") + c.value + "\n");
        LogReadSettings("TARNWICK");
        EXPECT_EQ(LogEnabledMask(), c.mask) << c.value;
    }
}

TEST_F(TraceLogTest, LogFileLosesTheExtensionOfItsLastComponent) {
    const std::pair<const char *, const char *> cases[] = {
        {"c:\\temp\\trace.txt", "c:\\temp\\trace"},
        {"c:\\my.dir\\trace", "c:\\my.dir\\trace"},
        {"/var/log.d/tarnwick/trace", "/var/log.d/tarnwick/trace"},
        {"/var/log.d/trace.x", "/var/log.d/trace"},
        {"/var/log/trace", "/var/log/trace"},
        {"a.b.c", "a.b"},
    };
    for (const auto &[value, base] : cases) {
        LogResetForTest();
        Profile(std::string("LogFile=") + value + "\n");
        LogReadSettings("TARNWICK");
        EXPECT_STREQ(LogBaseName(), base) << value;
    }
}

TEST_F(TraceLogTest, NoDebugFlagsMeansNoOutputAndNoFile) {
    Profile("LogFile=" + (dir / "trace.txt") + "\n");
    testutil::TraceCatcher catcher(0);
    LogInit("TARNWICK");
    LogEvent(Trace | Error | Database, "anything\n");
    EXPECT_TRUE(catcher.Lines().empty());
    EXPECT_STREQ(LogCurrentFileName(), "");
    EXPECT_EQ(ReadFile(dir / "trace_19700101.LOG"), "");
}

TEST_F(TraceLogTest, LabelIsTheHighestBitOfTheCallsMask) {
    testutil::TraceCatcher catcher(Warning);
    LogEvent(Warning | Error, "two bits\n");
    LogEvent(Warning, "one bit\n");
    LogEvent(Trace, "not enabled\n");
    std::vector<std::string> lines = catcher.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], Prefix("Error   ") + "two bits\n");
    EXPECT_EQ(lines[1], Prefix("Warning ") + "one bit\n");
}

TEST_F(TraceLogTest, EveryLabelIsEightCharacters) {
    testutil::TraceCatcher catcher(0x3F);
    const std::pair<uint32_t, const char *> cases[] = {
        {Trace, "Trace   "},   {Warning, "Warning "}, {Error, "Error   "},
        {Network, "Network "}, {InOut, "In/Out  "},   {Database, "Database"},
    };
    for (const auto &[bit, label] : cases) {
        catcher.Clear();
        LogEvent(bit, "x\n");
        ASSERT_EQ(catcher.Lines().size(), 1u);
        EXPECT_EQ(catcher.Lines()[0], Prefix(label) + "x\n");
    }
}

TEST_F(TraceLogTest, ThreadIdHasAtLeastThreeDigits) {
    testutil::TraceCatcher catcher(Trace);
    LogEvent(Trace, "x\n");
    std::string line = catcher.Lines().at(0);
    size_t gt = line.find('>');
    ASSERT_NE(gt, std::string::npos);
    EXPECT_GE(gt, 3u);
    EXPECT_EQ(std::stoul(line.substr(0, gt), nullptr, 16), ThreadId());
    EXPECT_EQ(line.substr(0, gt).find_first_not_of("0123456789ABCDEF"), std::string::npos);
}

TEST_F(TraceLogTest, OverflowSendsTheFixedTextAndCutsTheFileLine) {
    Profile("DebugFlags=Trace\nLogFile=" + (dir / "trace.txt") + "\n");
    testutil::ManualClock clock(testutil::UtcSeconds(1999, 5, 11, 7, 3, 9) * 1000 + 42);
    testutil::TraceCatcher catcher(0);
    LogReadSettings("TARNWICK");
    std::string prefix = Prefix("Trace   ");
    std::string fits(8192 - prefix.size() - 1, 'a');  // with its NUL: exactly 8192
    LogEvent(Trace, "%s", fits.c_str());
    LogEvent(Trace, "%s", (fits + "b").c_str());
    std::vector<std::string> lines = catcher.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], prefix + fits);
    EXPECT_EQ(lines[1], "LogEvent:  Could not pack string into 5012 bytes\n");
    std::string file = ReadFile(dir / "trace_19990511.LOG");
    std::string stamp = "05/11 07:03:09.042: ";
    EXPECT_EQ(file, stamp + prefix + fits + stamp + prefix + fits);
}

TEST_F(TraceLogTest, TraceFileLineIsTheDebuggerLineBehindItsStamp) {
    Profile("DebugFlags=Trace\nLogFile=" + (dir / "trace.txt") + "\n");
    testutil::ManualClock clock(testutil::UtcSeconds(1999, 5, 11, 23, 59, 59) * 1000 + 999);
    testutil::TraceCatcher quiet(0);
    LogInit("TARNWICK");
    std::string first = Prefix("Trace   ") + "DebugFlags=00000001\r\n";
    EXPECT_EQ(ReadFile(dir / "trace_19990511.LOG"), "05/11 23:59:59.999: " + first);
    // The first line after midnight opens the new day's file.
    clock.Set(testutil::UtcSeconds(1999, 5, 12, 0, 0, 0) * 1000 + 5);
    LogEvent(Trace, "line one\nline two\n");
    EXPECT_EQ(ReadFile(dir / "trace_19990511.LOG"), "05/11 23:59:59.999: " + first);
    EXPECT_EQ(ReadFile(dir / "trace_19990512.LOG"),
              "05/12 00:00:00.005: " + Prefix("Trace   ") + "line one\r\nline two\r\n");
    EXPECT_EQ(std::string(LogCurrentFileName()), dir / "trace_19990512.LOG");
}

TEST_F(TraceLogTest, UnopenableTraceFileLeavesTheDebuggerChannel) {
    Profile("DebugFlags=Trace\nLogFile=" + (dir / "missing/trace.txt") + "\n");
    LogReadSettings("TARNWICK");
    testutil::TraceCatcher catcher(Trace);
    LogEvent(Trace, "still traced\n");
    EXPECT_TRUE(catcher.Has("still traced\n"));
    EXPECT_NE(std::string(LogCurrentFileName()).find("missing/trace_"), std::string::npos);
}

TEST_F(TraceLogTest, DumpRowsInHexOrDecimalByWidth) {
    testutil::TraceCatcher catcher(Trace | Error);
    const unsigned char data[] = {'A', 'b', 0x00, 0x7F, 0xFF, '9', 'z', '\n', ' ', '~', 0x10, 'Q'};
    LogDump(Trace | Error, data, sizeof data, 5, "dump of %d bytes", 12);
    std::vector<std::string> lines = catcher.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], Prefix("Trace   ") + "dump of 12 bytes\n");  // lowest bit
    EXPECT_EQ(lines[1], "[0000] :65 98 00 127 255    Ab...\n");
    EXPECT_EQ(lines[2], "[0005] :57 122 10 32 126    9z. ~\n");
    EXPECT_EQ(lines[3], "[000A] :16 81 " + std::string(9 + 3, ' ') + ".Q\n");
    EXPECT_EQ(lines[4], "\r\n");

    catcher.Clear();
    unsigned char wide[12];
    for (int i = 0; i < 12; ++i) {
        wide[i] = static_cast<unsigned char>('a' + i);
    }
    LogDump(Trace, wide, sizeof wide, 11, "w");
    lines = catcher.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "[0000] :61 62 63 64 65 66 67 68 69 6A 6B    abcdefghijk\n");
    EXPECT_EQ(lines[2], "[000B] :6C " + std::string(30 + 3, ' ') + "l\n");

    // The widest row at offsets of 8 digits and more is written whole.
    const std::string row(124, 'x');
    std::string columns;
    for (int i = 0; i < 124; ++i) {
        columns += "78 ";
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(row.data());
    EXPECT_EQ(LogDumpRowForTest(0x10000000, bytes, 124, 124),
              "[10000000] :" + columns + "   " + row + "\n");
    EXPECT_EQ(LogDumpRowForTest(static_cast<size_t>(-1), bytes, 124, 124),
              "[" + std::string(sizeof(size_t) * 2, 'F') + "] :" + columns + "   " + row + "\n");
}

TEST_F(TraceLogTest, TracingKeepsErrno) {
    testutil::TraceCatcher catcher(Trace);
    errno = 34;
    LogEvent(Trace, "x\n");
    EXPECT_EQ(errno, 34);
}

}  // namespace
