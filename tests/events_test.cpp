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

struct Report {
    EventSourceHandle source;
    uint16_t type, category;
    uint32_t eventId;
    std::vector<std::string> strings;
    uint32_t dataSize;
    const void *data;
};

// A fake event log: records every call; registration and reports fail with
// the given codes when nonzero.
struct FakeLog {
    std::vector<std::string> registered;
    std::vector<EventSourceHandle> open, deregistered;
    std::vector<Report> reports;
    EventSourceHandle next = 100;
    unsigned long registerError = 0, reportError = 0, errorAfterRegister = 0;
};
FakeLog fake;

const EventLogOps kFake = {
    [](const char *name) -> EventSourceHandle {
        fake.registered.emplace_back(name);
        PlatformSetLastError(fake.registerError + fake.errorAfterRegister);
        if (fake.registerError != 0) {
            return kNoEventSource;
        }
        fake.open.push_back(fake.next);
        return fake.next++;
    },
    [](EventSourceHandle source, uint16_t type, uint16_t category, uint32_t id, uint16_t count,
       const char *const *strings, uint32_t size, const void *data) {
        fake.reports.push_back(Report{source, type, category, id, {}, size, data});
        for (uint16_t i = 0; i < count; ++i) {
            fake.reports.back().strings.emplace_back(strings[i]);
        }
        return fake.reportError != 0 ? (PlatformSetLastError(fake.reportError), 0) : 1;
    },
    [](EventSourceHandle source) {
        fake.deregistered.push_back(source);
        std::erase(fake.open, source);
        return 1;
    },
};

class Events : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = FakeLog();
        EventLogSetForTest(&kFake);
        EventsResetForTest();
        service.consoleMode = false;
        PlatformSetLastError(0);
    }
    void TearDown() override {
        EventsResetForTest();
        EventLogSetForTest(nullptr);
        service.consoleMode = false;
    }
    testutil::TraceCatcher trace_{Trace | Error};
};

TEST_F(Events, TheStandingSourceReportsEverythingUntilClosed) {
    EXPECT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(EventLogOpen(), 1);  // keeps the source it has
    EXPECT_EQ(fake.registered, std::vector<std::string>{"Tarnwick"});
    const char data[] = "raw";
    PlatformSetLastError(1234);
    EXPECT_EQ(EventLogReport(2, 0xE0000002, 7, sizeof data, data, 2, "one", "two"), 0);
    EXPECT_EQ(EventLogReport(1, 1, 0, 0, nullptr, 9, "1", "2", "3", "4", "5", "6", "7", "8", "9"),
              0);
    ASSERT_EQ(fake.reports.size(), 2u);
    const Report &r = fake.reports[0];
    EXPECT_EQ(r.source, 100u);
    EXPECT_EQ(r.type, 2);
    EXPECT_EQ(r.category, 7);
    EXPECT_EQ(r.eventId, 0xE0000002u);
    EXPECT_EQ(r.strings, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(r.dataSize, sizeof data);
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(fake.reports[1].strings,  // the first eight
              (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"}));
    fake.reportError = 1502;
    EXPECT_EQ(EventLogReport(1, 0x200003E8, 0x8001, 0, nullptr, 0), 1502);
    EventLogClose();
    EventLogClose();
    EXPECT_EQ(fake.deregistered, std::vector<EventSourceHandle>{100});
    EXPECT_EQ(EventLogReport(1, 0x200003E8, 0x8001, 0, nullptr, 0), -1);
    EXPECT_EQ(fake.reports.size(), 3u);
    EXPECT_EQ(trace_.Texts(), (std::vector<std::string>{
                                  "\nReportEvent( 3758096386 ) ok - 1234\n",
                                  "\nReportEvent( 1 ) ok - 1234\n",
                                  "\nReportEvent( 536871912 ) failed - 1502\n",
                                  "Cannot log event, no handle!\n",
                              }));
}

TEST_F(Events, AFailedOpenLeavesNoHandleWhichComesBeforeTheFilter) {
    fake.registerError = 1722;
    EXPECT_EQ(EventLogOpen(), 0);
    EXPECT_EQ(EventLogReport(8, 0x200003E8, 0, 0, nullptr, 0), -1);
    EXPECT_EQ(ReportServiceStartEvent(), -1);
    EXPECT_TRUE(fake.reports.empty());
    EXPECT_EQ(trace_.Texts("Error   "), (std::vector<std::string>{
                                            "Could not open event log, error 1722\n",
                                            "Cannot log event, no handle!\n",
                                            "Cannot log event, no handle!\n",
                                        }));
}

TEST_F(Events, TheFilterDropsTheAuditTypesSilently) {
    ASSERT_EQ(EventLogOpen(), 1);
    const std::pair<uint16_t, bool> cases[] = {
        {0, true},   {2, true},  {4, true},  {7, true},   {8, false},   {16, false},
        {31, false}, {32, true}, {36, true}, {40, false}, {255, false},
    };
    for (auto [type, reported] : cases) {
        fake.reports.clear();
        trace_.Clear();
        EXPECT_EQ(EventLogReport(type, 0x20008001, 0, 0, nullptr, 0), 0) << type;
        EXPECT_EQ(fake.reports.size(), reported ? 1u : 0u) << type;
        EXPECT_EQ(trace_.Lines().size(), reported ? 1u : 0u) << type;
    }
}

TEST_F(Events, ServiceErrorsUseASourceOfTheirOwnAndTraceNothing) {
    ASSERT_EQ(EventLogOpen(), 1);
    fake.errorAfterRegister = 997;
    PlatformSetLastError(0xE0000002);  // taken before the registration
    ReportServiceError("StartServiceCtrlDispatcher failed.");
    ASSERT_EQ(fake.reports.size(), 1u);
    const Report &r = fake.reports[0];
    EXPECT_EQ(r.source, 101u);
    EXPECT_EQ(r.type, 1);
    EXPECT_EQ(r.category + r.eventId + r.dataSize, 0u);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.strings, (std::vector<std::string>{"Tarnwick error: -536870910",
                                                   "StartServiceCtrlDispatcher failed."}));
    EXPECT_EQ(fake.open, std::vector<EventSourceHandle>{100});  // the standing one stays
    fake.reportError = 1502;
    ReportServiceError("x");  // its source is given back all the same
    fake.registerError = 1722;
    ReportServiceError("x");
    EXPECT_EQ(fake.reports.size(), 2u);
    EXPECT_EQ(fake.open, std::vector<EventSourceHandle>{100});
    EXPECT_TRUE(trace_.Lines().empty());

    fake = FakeLog();
    service.consoleMode = true;
    ReportServiceError("x");
    ReportServiceStartError();
    EXPECT_TRUE(fake.registered.empty());
}

TEST_F(Events, EveryServiceStartMakesTwoErrorEvents) {
    ASSERT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(ReportServiceStartEvent(), 0);
    ReportServiceStartError();
    ASSERT_EQ(fake.reports.size(), 2u);
    const Report &start = fake.reports[0];
    EXPECT_EQ(start.type, 1);
    EXPECT_EQ(start.category, 0x8001);
    EXPECT_EQ(start.eventId, 0x200003E8u);
    EXPECT_TRUE(start.strings.empty());
    EXPECT_EQ(fake.reports[1].strings,
              (std::vector<std::string>{"Tarnwick error: 0", "Trying to start tarnwick"}));
    EXPECT_EQ(trace_.Texts(), std::vector<std::string>{"\nReportEvent( 536871912 ) ok - 0\n"});
}

}  // namespace
