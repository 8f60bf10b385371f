// The event log on Windows: the real calls succeed and fail with the
// header's codes (under wine it keeps nothing to read back).
#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include "diag/EVENTS.h"
#include "diag/EVENTS_testing.h"
#include "platform/errors.h"
#include "platform/eventlog_testing.h"

namespace {

TEST(EventLogWin32, TheStandingSourceReportsThroughThePlatformAndNoHandleIsAnInvalidHandle) {
    EventLogSetForTest(nullptr);
    EventsResetForTest();
    ASSERT_EQ(EventLogOpen(), 1);
    PlatformSetLastError(1234);
    EXPECT_EQ(ReportServiceStartEvent(), 0);
    EXPECT_EQ(PlatformLastError(), 1234u);  // left as it was on success
    EventLogClose();
    EXPECT_EQ(EventSourceReport(kNoEventSource, kEventError, 0, 0, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    PlatformSetLastError(0);
    EXPECT_EQ(EventSourceDeregister(kNoEventSource), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
}

}  // namespace
