// The event log on Windows: the real calls succeed and fail with the
// header's codes.  (What a report holds is pinned through the fake backend in
// events_test.cpp; the event log under wine keeps nothing to read back.)
#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include "diag/EVENTS.h"
#include "diag/EVENTS_testing.h"
#include "platform/errors.h"
#include "platform/eventlog_testing.h"

namespace {

TEST(EventLogWin32, RegisterReportDeregisterSucceedAndNoHandleIsAnInvalidHandle) {
    EventSourceHandle source = EventSourceRegister("Tarnwick");
    ASSERT_NE(source, kNoEventSource);
    const char *strings[] = {"Tarnwick error: 1063", "StartServiceCtrlDispatcher failed."};
    PlatformSetLastError(1234);
    EXPECT_NE(EventSourceReport(source, kEventError, 0, 0, 2, strings, 4, "raw"), 0);
    EXPECT_EQ(PlatformLastError(), 1234u);  // left as it was on success
    EXPECT_NE(EventSourceDeregister(source), 0);
    EXPECT_EQ(EventSourceReport(kNoEventSource, kEventError, 0, 0, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    PlatformSetLastError(0);
    EXPECT_EQ(EventSourceDeregister(kNoEventSource), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
}

TEST(EventLogWin32, TheStandingSourceReportsThroughThePlatform) {
    EventLogSetForTest(nullptr);
    EventsResetForTest();
    ASSERT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(ReportServiceStartEvent(), 0);
    EventLogClose();
    EXPECT_EQ(EventLogReport(kEventWarning, 0x20008000u, 0, 0, nullptr, 0), -1);
    EventsResetForTest();
}

}  // namespace
