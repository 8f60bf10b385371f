// The service's event reports, on a fake event log and on the platform's own.
#include "diag/EVENTS.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/EVENTS_testing.h"
#include "diag/debug.h"
#include "platform/errors.h"
#include "platform/eventlog_testing.h"
#include "service/service.h"
#include "test_util.h"

namespace {

// A fake event log: each call recorded as a line; registration and reports
// fail with the given codes when nonzero.
struct FakeLog {
    std::vector<std::string> calls;
    EventSourceHandle next = 100;
    unsigned long registerError = 0, reportError = 0, errorAfterRegister = 0;
};
FakeLog fake;

const EventLogOps kFake = {
    [](const char *name) -> EventSourceHandle {
        fake.calls.push_back(std::string("register ") + name);
        PlatformSetLastError(fake.registerError + fake.errorAfterRegister);
        return fake.registerError != 0 ? kNoEventSource : fake.next++;
    },
    [](EventSourceHandle source, uint16_t type, uint16_t category, uint32_t id, uint16_t count,
       const char *const *strings, uint32_t size, const void *data) {
        char head[64];
        std::snprintf(head, sizeof head, "report %u %u 0x%X 0x%X ", unsigned(source), type,
                      category, id);
        fake.calls.push_back(head +
                             (data ? std::string(static_cast<const char *>(data), size) : ""));
        for (uint16_t i = 0; i < count; ++i) {
            fake.calls.back() += std::string(" ") + strings[i];
        }
        return fake.reportError != 0 ? (PlatformSetLastError(fake.reportError), 0) : 1;
    },
    [](EventSourceHandle source) {
        fake.calls.push_back("deregister " + std::to_string(source));
        return 1;
    },
};

TEST(Events, TheStandingSourceReportsUntilClosedAndServiceErrorsUseTheirOwn) {
    testutil::TraceCatcher trace_(Trace | Error);
    EventLogSetForTest(&kFake);
    EventsResetForTest();
    fake.registerError = 1722;
    EXPECT_EQ(EventLogOpen(), 0);
    EXPECT_EQ(EventLogReport(8, 0x200003E8, 0, 0, nullptr, 0), -1);  // before the filter
    fake.registerError = 0;
    EXPECT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(EventLogOpen(), 1);  // keeps the source it has
    PlatformSetLastError(1234);
    EXPECT_EQ(EventLogReport(2, 0xE0000002, 7, 3, "raw", 2, "one", "two"), 0);
    for (uint16_t audit : {8, 16, 31, 40}) {
        EXPECT_EQ(EventLogReport(audit, 1, 0, 0, nullptr, 0), 0);  // dropped silently
    }
    EXPECT_EQ(EventLogReport(33, 1, 0, 0, nullptr, 9, "1", "2", "3", "4", "5", "6", "7", "8", "9"),
              0);
    fake.reportError = 1502;
    EXPECT_EQ(ReportServiceStartEvent(), 1502);
    EventLogClose();
    EventLogClose();
    EXPECT_EQ(EventLogReport(1, 0x200003E8, 0x8001, 0, nullptr, 0), -1);
    // Service errors: the code is taken before the registration, the source
    // given back after a failed report; nothing traced, nothing in console mode.
    fake.errorAfterRegister = 997;
    PlatformSetLastError(0xE0000002);
    ReportServiceError("StartServiceCtrlDispatcher failed.");
    fake.registerError = 1722;
    ReportServiceError("x");
    service.consoleMode = true;
    fake.registerError = 0;
    ReportServiceError("x");
    EXPECT_EQ(
        fake.calls,
        (std::vector<std::string>{
            "register Tarnwick", "register Tarnwick", "report 100 2 0x7 0xE0000002 raw one two",
            "report 100 33 0x0 0x1  1 2 3 4 5 6 7 8",  // the first eight
            "report 100 1 0x8001 0x200003E8 ", "deregister 100", "register Tarnwick",
            "report 101 1 0x0 0x0  Tarnwick error: -536870910 StartServiceCtrlDispatcher "
            "failed.",
            "deregister 101", "register Tarnwick"}));
    EXPECT_EQ(trace_.Texts(), (std::vector<std::string>{
                                  "Could not open event log, error 1722\n",
                                  "Cannot log event, no handle!\n",
                                  "\nReportEvent( 3758096386 ) ok - 1234\n",
                                  "\nReportEvent( 1 ) ok - 1234\n",
                                  "\nReportEvent( 536871912 ) failed - 1502\n",
                                  "Cannot log event, no handle!\n",
                              }));
    EventLogSetForTest(nullptr);
    service.consoleMode = false;
}

// The platform's own calls (on POSIX into a file; under wine nothing to read
// back) succeed and fail with the header's codes.
TEST(Events, ThePlatformReportsLeavingTheLastErrorAndNoHandleIsAnInvalidHandle) {
    testutil::TempDir dir;
    testsupport::SetEnv("TARNWICK_EVENTLOG", (dir / "events.log").c_str());
    EventsResetForTest();
    ASSERT_EQ(EventLogOpen(), 1);
    PlatformSetLastError(1234);
    EXPECT_EQ(ReportServiceStartEvent(), 0);
    EXPECT_EQ(PlatformLastError(), 1234u);  // left as it was on success
    EventLogClose();
    testsupport::UnsetEnv("TARNWICK_EVENTLOG");
    EXPECT_EQ(EventSourceReport(kNoEventSource, kEventError, 0, 0, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    PlatformSetLastError(0);
    EXPECT_EQ(EventSourceDeregister(kNoEventSource), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
}

}  // namespace
