// The POSIX stand-in of the event log: its file and system-log lines, the
// handles and their limits.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <string>

#include "platform/errors.h"
#include "platform/eventlog_testing.h"
#include "platform/posix/eventlog_line.h"
#include "test_util.h"

namespace {

TEST(EventLogPosix, FileAndSystemLogLinesAndHandlesCheckedAndLimited) {
    const std::string big(9000, '\\'), full(16383 - 29, 'a');
    const char *strings[] = {"a\tb",     "c\nd",      "e\\f",       "",
                             "g\r\"h\"", big.c_str(), full.c_str(), "x"};
    char line[16384];
    EXPECT_EQ(EventFileLine("Tarnwick", 16, 0, 0xE0000002, 5, strings, line, sizeof line), 52u);
    EXPECT_STREQ(line, "Tarnwick\t16\t0x0000\t0xE0000002\ta\\tb\tc\\nd\te\\\\f\t\tg\r\"h\"\n");
    // Too long by its escapes, or full before the second string's tab.
    EXPECT_EQ(EventFileLine("Tarnwick", 1, 0, 0, 2, strings + 5, line, sizeof line), 0u);
    EXPECT_EQ(EventFileLine("Tarnwick", 1, 0, 0, 2, strings + 6, line, sizeof line), 0u);
    EventLogSetForTest(nullptr);
    EventSourceHandle held[16];
    for (EventSourceHandle &h : held) {
        h = EventSourceRegister("Tarnwick");
        ASSERT_TRUE(h != kNoEventSource && std::count(held, &h, h) == 0);
    }
    EXPECT_EQ(EventSourceRegister("Tarnwick"), kNoEventSource);
    EXPECT_EQ(PlatformLastError(), kErrorNotEnoughMemory);
    testutil::TempDir dir;
    testsupport::SetEnv("TARNWICK_EVENTLOG", (dir / "missing/events.log").c_str());
    EXPECT_EQ(EventSourceReport(held[0], 1, 0, 0, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFileNotFound);  // the Windows code of the errno
    testsupport::UnsetEnv("TARNWICK_EVENTLOG");
    for (EventSourceHandle h : held) {
        EXPECT_NE(EventSourceDeregister(h), 0);
    }
    for (EventSourceHandle h : {held[0], ~EventSourceHandle{0}}) {
        EXPECT_EQ(EventSourceReport(h, 1, 0, 0, 0, nullptr, 0, nullptr), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
        PlatformSetLastError(0);
        EXPECT_EQ(EventSourceDeregister(h), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    }
    EXPECT_EQ(EventSourceRegister(std::string(256, 'n').c_str()), kNoEventSource);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    // Without the file: the system log's lines and priorities.
    const char *two[] = {"Tarnwick error: 5", "Trying to start tarnwick"};
    EXPECT_EQ(EventSyslogLine(0x8001, 0x200003E8, 0, nullptr, line, sizeof line), 85u);
    EXPECT_STREQ(line,
                 "event 0x200003E8, category 0x8001: Facility=Runtime The Quillon started "
                 "successfully.");
    EventSyslogLine(0, 0, 2, two, line, sizeof line);
    EXPECT_STREQ(line,
                 "event 0x00000000, category 0x0000: (no message text); strings: \"Tarnwick "
                 "error: 5\", \"Trying to start tarnwick\"");
    EXPECT_EQ(EventSyslogLine(0, 0, 2, two, line, 20), 19u);  // cut, terminated
    EXPECT_STREQ(line, "event 0x00000000, c");
    EXPECT_EQ(EventSyslogPriority(kEventError), LOG_ERR);
    EXPECT_EQ(EventSyslogPriority(kEventWarning), LOG_WARNING);
    EXPECT_EQ(EventSyslogPriority(kEventInformation), LOG_INFO);
    EXPECT_EQ(EventSyslogPriority(kEventAuditSuccess), LOG_NOTICE);
}

}  // namespace
