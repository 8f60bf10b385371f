// The POSIX stand-in of the event log: the TARNWICK_EVENTLOG file, the
// system-log lines, the handles and their limits.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/eventlog_testing.h"
#include "platform/posix/eventlog_line.h"
#include "test_util.h"

namespace {

class EventLogPosix : public ::testing::Test {
  protected:
    void SetUp() override {
        EventLogSetForTest(nullptr);
        testsupport::SetEnv("TARNWICK_EVENTLOG", path_.c_str());
        PlatformSetLastError(0);
    }
    void TearDown() override { testsupport::UnsetEnv("TARNWICK_EVENTLOG"); }
    testutil::TempDir dir_;
    std::string path_ = dir_ / "events.log";
};

TEST_F(EventLogPosix, FileLinesByteForByteOrRefusedWhole) {
    EventSourceHandle h = EventSourceRegister("Tarnwick");
    ASSERT_NE(h, kNoEventSource);
    EXPECT_NE(EventSourceReport(h, 1, 0x8001, 0x200003E8, 0, nullptr, 0, nullptr), 0);
    const char *strings[] = {"a\tb", "c\nd", "e\\f", "", "g\r\"h\""};
    EXPECT_NE(EventSourceReport(h, 16, 0, 0xE0000002, 5, strings, 3, "raw"), 0);
    // Too long, by its escapes or at a separator (the line is full before
    // the second string's tab): refused whole.
    const std::string big(9000, '\\'), full(16383 - 29, 'a');
    const char *toolong[][2] = {{big.c_str(), ""}, {full.c_str(), "x"}};
    for (const char *const *two : toolong) {
        PlatformSetLastError(0);
        EXPECT_EQ(EventSourceReport(h, 1, 0, 0, 2, two, 0, nullptr), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    }
    EXPECT_EQ(testutil::ReadFile(path_),
              "Tarnwick\t1\t0x8001\t0x200003E8\n"
              "Tarnwick\t16\t0x0000\t0xE0000002\ta\\tb\tc\\nd\te\\\\f\t\tg\r\"h\"\n");
    // A file that cannot be written gives a Windows code.
    testsupport::SetEnv("TARNWICK_EVENTLOG", (dir_ / "missing/events.log").c_str());
    EXPECT_EQ(EventSourceReport(h, 1, 0, 0, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFileNotFound);
    EXPECT_NE(EventSourceDeregister(h), 0);
}

TEST_F(EventLogPosix, HandlesAreDistinctCheckedAndLimited) {
    EventSourceHandle held[16];
    for (int i = 0; i < 16; ++i) {
        held[i] = EventSourceRegister("Tarnwick");
        ASSERT_NE(held[i], kNoEventSource);
        EXPECT_EQ(std::count(held, held + i, held[i]), 0);
    }
    EXPECT_EQ(EventSourceRegister("Tarnwick"), kNoEventSource);
    EXPECT_EQ(PlatformLastError(), kErrorNotEnoughMemory);
    for (EventSourceHandle h : held) {
        EXPECT_NE(EventSourceDeregister(h), 0);
    }
    for (EventSourceHandle h :
         {held[0], kNoEventSource, EventSourceHandle{17}, ~EventSourceHandle{0}}) {
        PlatformSetLastError(0);
        EXPECT_EQ(EventSourceReport(h, 1, 0, 0, 0, nullptr, 0, nullptr), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
        PlatformSetLastError(0);
        EXPECT_EQ(EventSourceDeregister(h), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    }
    EXPECT_EQ(EventSourceRegister(std::string(256, 'n').c_str()), kNoEventSource);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
}

TEST_F(EventLogPosix, SyslogLinesAndPriorities) {
    char line[256];
    const char *strings[] = {"Tarnwick error: 5", "Trying to start tarnwick"};
    size_t n = EventSyslogLine(0x8001, 0x200003E8, 0, nullptr, line, sizeof line);
    EXPECT_EQ(n, std::strlen(line));
    EXPECT_STREQ(line,
                 "event 0x200003E8, category 0x8001: Facility=Runtime The Quillon started "
                 "successfully.");
    EventSyslogLine(0, 0, 2, strings, line, sizeof line);
    EXPECT_STREQ(line,
                 "event 0x00000000, category 0x0000: (no message text); strings: \"Tarnwick "
                 "error: 5\", \"Trying to start tarnwick\"");
    EventSyslogLine(0, 0x20000000, 0, nullptr, line, sizeof line);
    EXPECT_STREQ(line, "event 0x20000000, category 0x0000: No Error");
    EXPECT_EQ(EventSyslogLine(0, 0, 2, strings, line, 20), 19u);  // cut, terminated
    EXPECT_STREQ(line, "event 0x00000000, c");
    const std::pair<uint16_t, int> priorities[] = {
        {kEventError, LOG_ERR},       {kEventAuditFailure, LOG_ERR},
        {kEventWarning, LOG_WARNING}, {kEventInformation, LOG_INFO},
        {kEventSuccess, LOG_NOTICE},  {kEventAuditSuccess, LOG_NOTICE},
    };
    for (auto [type, priority] : priorities) {
        EXPECT_EQ(EventSyslogPriority(type), priority) << type;
    }
}

}  // namespace
