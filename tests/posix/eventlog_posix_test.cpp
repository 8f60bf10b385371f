// The POSIX stand-in of the event log: the TARNWICK_EVENTLOG file and the
// system-log lines.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "diag/EVENTS.h"
#include "diag/EVENTS_testing.h"
#include "diag/debug_testing.h"
#include "platform/errors.h"
#include "platform/eventlog.h"
#include "platform/eventlog_testing.h"
#include "platform/posix/eventlog_line.h"
#include "service/service.h"

namespace {

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class EventLogPosix : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "tarnwick_events_" + std::to_string(getpid()) + ".log";
        std::remove(path_.c_str());
        setenv("TARNWICK_EVENTLOG", path_.c_str(), 1);
        LogResetForTest();
        EventLogSetForTest(nullptr);
        EventsResetForTest();
        service.consoleMode = false;
    }
    void TearDown() override {
        EventLogClose();
        EventsResetForTest();
        unsetenv("TARNWICK_EVENTLOG");
        std::remove(path_.c_str());
        service.consoleMode = false;
    }
    std::string path_;
};

TEST_F(EventLogPosix, FileLineByteForByte) {
    EventSourceHandle h = EventSourceRegister("Tarnwick");
    ASSERT_NE(h, kNoEventSource);
    ASSERT_NE(EventSourceReport(h, 1, 0x8001, 0x200003E8, 0, nullptr, 0, nullptr), 0);
    const char *strings[] = {"a\tb", "c\nd", "e\\f", "", "g\r\"h\""};
    ASSERT_NE(EventSourceReport(h, 16, 0, 0xE0000002, 5, strings, 3, "raw"), 0);
    EXPECT_EQ(ReadAll(path_),
              "Tarnwick\t1\t0x8001\t0x200003E8\n"
              "Tarnwick\t16\t0x0000\t0xE0000002\ta\\tb\tc\\nd\te\\\\f\t\tg\r\"h\"\n");
    EXPECT_NE(EventSourceDeregister(h), 0);
}

TEST_F(EventLogPosix, ServiceStartReportsEndToEnd) {
    ASSERT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(ReportServiceStartEvent(), 0);
    PlatformSetLastError(10048);
    ReportServiceStartError();
    EXPECT_EQ(EventLogReport(1, 0x200003E9, 0, 0, nullptr, 0), 0);  // still usable
    EXPECT_EQ(ReadAll(path_),
              "Tarnwick\t1\t0x8001\t0x200003E8\n"
              "Tarnwick\t1\t0x0000\t0x00000000\tTarnwick error: 10048\tTrying to start tarnwick\n"
              "Tarnwick\t1\t0x0000\t0x200003E9\n");
}

TEST_F(EventLogPosix, ConsoleModeWritesNothing) {
    service.consoleMode = true;
    ReportServiceStartError();
    EXPECT_EQ(access(path_.c_str(), F_OK), -1);
}

TEST_F(EventLogPosix, HandlesAreDistinctAndChecked) {
    EventSourceHandle a = EventSourceRegister("Tarnwick");
    EventSourceHandle b = EventSourceRegister("Tarnwick");
    ASSERT_NE(a, kNoEventSource);
    ASSERT_NE(b, kNoEventSource);
    EXPECT_NE(a, b);
    EXPECT_NE(EventSourceDeregister(b), 0);

    PlatformSetLastError(0);
    EXPECT_EQ(EventSourceReport(b, 1, 0, 0, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    PlatformSetLastError(0);
    EXPECT_EQ(EventSourceDeregister(b), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    EXPECT_EQ(EventSourceReport(kNoEventSource, 1, 0, 0, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(
        EventSourceReport(~static_cast<EventSourceHandle>(0), 1, 0, 0, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    EXPECT_NE(EventSourceDeregister(a), 0);
}

TEST_F(EventLogPosix, RegistrationLimits) {
    EventSourceHandle held[16];
    for (EventSourceHandle &h : held) {
        h = EventSourceRegister("Tarnwick");
        ASSERT_NE(h, kNoEventSource);
    }
    PlatformSetLastError(0);
    EXPECT_EQ(EventSourceRegister("Tarnwick"), kNoEventSource);
    EXPECT_EQ(PlatformLastError(), kErrorNotEnoughMemory);
    for (EventSourceHandle h : held) {
        EXPECT_NE(EventSourceDeregister(h), 0);
    }
    std::string long_name(256, 'n');
    EXPECT_EQ(EventSourceRegister(long_name.c_str()), kNoEventSource);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
}

TEST_F(EventLogPosix, AFileThatCannotBeWrittenGivesAWindowsCode) {
    setenv("TARNWICK_EVENTLOG", "/nonexistent-dir/tarnwick/events.log", 1);
    ASSERT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(EventLogReport(1, 0x200003E8, 0x8001, 0, nullptr, 0),
              static_cast<int>(kErrorFileNotFound));
}

TEST_F(EventLogPosix, ALineTooLongIsRefusedWhole) {
    EventSourceHandle h = EventSourceRegister("Tarnwick");
    std::string big(9000, '\\');  // doubled when written
    const char *strings[] = {big.c_str()};
    PlatformSetLastError(0);
    EXPECT_EQ(EventSourceReport(h, 1, 0, 0, 1, strings, 0, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    EXPECT_EQ(access(path_.c_str(), F_OK), -1);
    EventSourceDeregister(h);
}

TEST_F(EventLogPosix, SyslogLines) {
    char line[256];
    size_t n = EventSyslogLine(0x8001, 0x200003E8, 0, nullptr, line, sizeof line);
    EXPECT_EQ(n, std::strlen(line));
    EXPECT_STREQ(line,
                 "event 0x200003E8, category 0x8001: Facility=Runtime The Quillon started "
                 "successfully.");
    const char *strings[] = {"Tarnwick error: 5", "Trying to start tarnwick"};
    EventSyslogLine(0, 0, 2, strings, line, sizeof line);
    EXPECT_STREQ(line,
                 "event 0x00000000, category 0x0000: (no message text); strings: \"Tarnwick "
                 "error: 5\", \"Trying to start tarnwick\"");
    EventSyslogLine(0, 0x20000000, 0, nullptr, line, sizeof line);
    EXPECT_STREQ(line, "event 0x20000000, category 0x0000: No Error");
    // Cut to the buffer, terminated.
    EXPECT_EQ(EventSyslogLine(0, 0, 2, strings, line, 20), 19u);
    EXPECT_STREQ(line, "event 0x00000000, c");
}

TEST_F(EventLogPosix, SyslogPriorities) {
    EXPECT_EQ(EventSyslogPriority(kEventError), LOG_ERR);
    EXPECT_EQ(EventSyslogPriority(kEventAuditFailure), LOG_ERR);
    EXPECT_EQ(EventSyslogPriority(kEventWarning), LOG_WARNING);
    EXPECT_EQ(EventSyslogPriority(kEventInformation), LOG_INFO);
    EXPECT_EQ(EventSyslogPriority(kEventSuccess), LOG_NOTICE);
    EXPECT_EQ(EventSyslogPriority(kEventAuditSuccess), LOG_NOTICE);
}

}  // namespace
