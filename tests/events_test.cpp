#include "diag/EVENTS.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diag/EVENTS_testing.h"
#include "diag/debug.h"
#include "platform/errors.h"
#include "platform/eventlog_testing.h"
#include "platform/process.h"
#include "service/service.h"
#include "test_util.h"

namespace {

struct Report {
    EventSourceHandle source;
    uint16_t type;
    uint16_t category;
    uint32_t eventId;
    std::vector<std::string> strings;
    uint32_t dataSize;
    const void *data;
};

// A fake event log: records every call, fails on demand.
struct FakeLog {
    std::vector<std::string> registered;  // names, in order
    std::vector<EventSourceHandle> open;  // handles not yet deregistered
    std::vector<EventSourceHandle> deregistered;
    std::vector<Report> reports;
    EventSourceHandle next = 100;
    unsigned long registerError = 0;       // nonzero: registration fails with it
    unsigned long reportError = 0;         // nonzero: reports fail with it
    unsigned long errorAfterRegister = 0;  // last error left by a registration
};
FakeLog fake;

EventSourceHandle FakeRegister(const char *name) {
    fake.registered.emplace_back(name);
    if (fake.registerError != 0) {
        PlatformSetLastError(fake.registerError);
        return kNoEventSource;
    }
    if (fake.errorAfterRegister != 0) {
        PlatformSetLastError(fake.errorAfterRegister);
    }
    fake.open.push_back(fake.next);
    return fake.next++;
}

int FakeReport(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
               uint16_t count, const char *const *strings, uint32_t data_size, const void *data) {
    Report r{source, type, category, event_id, {}, data_size, data};
    for (uint16_t i = 0; i < count; ++i) {
        r.strings.emplace_back(strings[i]);
    }
    fake.reports.push_back(r);
    if (fake.reportError != 0) {
        PlatformSetLastError(fake.reportError);
        return 0;
    }
    return 1;
}

int FakeDeregister(EventSourceHandle source) {
    fake.deregistered.push_back(source);
    for (auto it = fake.open.begin(); it != fake.open.end(); ++it) {
        if (*it == source) {
            fake.open.erase(it);
            return 1;
        }
    }
    PlatformSetLastError(6);
    return 0;
}

const EventLogOps kFakeBackend = {FakeRegister, FakeReport, FakeDeregister};

std::string TraceLine(const char *label, const std::string &body) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%03lX> %s: ", ThreadId(), label);
    return prefix + body;
}

class Events : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = FakeLog();
        EventLogSetForTest(&kFakeBackend);
        EventsResetForTest();
        service.consoleMode = false;
        PlatformSetLastError(0);
    }
    void TearDown() override {
        EventsResetForTest();
        EventLogSetForTest(nullptr);
        service.consoleMode = false;
    }

    testutil::TraceCatcher trace_{Trace | Warning | Error | Network | InOut | Database};
};

TEST_F(Events, OpenRegistersTheStandingSource) {
    EXPECT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(fake.registered, std::vector<std::string>{"Tarnwick"});
    EXPECT_TRUE(trace_.Lines().empty());
    // A second open keeps the source it has.
    EXPECT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(fake.registered.size(), 1u);
}

TEST_F(Events, OpenFailureIsTracedWithTheErrorCode) {
    fake.registerError = 1722;
    EXPECT_EQ(EventLogOpen(), 0);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Lines()[0], TraceLine("Error   ", "Could not open event log, error 1722\n"));
    // No handle: reports are refused.
    trace_.Clear();
    EXPECT_EQ(EventLogReport(1, kStartEventId, 0x8001, 0, nullptr, 0), -1);
    EXPECT_TRUE(fake.reports.empty());
}

TEST_F(Events, NoHandleIsTracedAndMinusOne) {
    EXPECT_EQ(EventLogReport(1, 0x200003E8, 0x8001, 0, nullptr, 1, "x"), -1);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Lines()[0], TraceLine("Error   ", "Cannot log event, no handle!\n"));
    EXPECT_TRUE(fake.reports.empty());
}

TEST_F(Events, NoHandleComesBeforeTheFilter) {
    EXPECT_EQ(EventLogReport(8, 0x200003E8, 0, 0, nullptr, 0), -1);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Lines()[0], TraceLine("Error   ", "Cannot log event, no handle!\n"));
}

TEST_F(Events, TheFilterDropsTheAuditTypesSilently) {
    ASSERT_EQ(EventTypeFilter, 0xFFu);
    const struct {
        uint16_t type;
        bool reported;
    } cases[] = {
        {0, true}, {1, true},   {2, true},  {4, true},  {8, false},  {16, false}, {3, true},
        {7, true}, {31, false}, {32, true}, {36, true}, {40, false}, {48, false}, {255, false},
    };
    ASSERT_EQ(EventLogOpen(), 1);
    for (const auto &c : cases) {
        fake.reports.clear();
        trace_.Clear();
        EXPECT_EQ(EventLogReport(c.type, 0x20008001, 0, 0, nullptr, 0), 0) << c.type;
        EXPECT_EQ(fake.reports.size(), c.reported ? 1u : 0u) << c.type;
        EXPECT_EQ(trace_.Lines().size(), c.reported ? 1u : 0u) << c.type;
    }
}

TEST_F(Events, AReportPassesEverythingAndTracesOk) {
    ASSERT_EQ(EventLogOpen(), 1);
    const char data[] = "raw";
    PlatformSetLastError(1234);
    EXPECT_EQ(EventLogReport(2, 0xE0000002, 7, sizeof data, data, 2, "one", "two"), 0);
    ASSERT_EQ(fake.reports.size(), 1u);
    const Report &r = fake.reports[0];
    EXPECT_EQ(r.source, fake.open.at(0));
    EXPECT_EQ(r.type, 2);
    EXPECT_EQ(r.category, 7);
    EXPECT_EQ(r.eventId, 0xE0000002u);
    EXPECT_EQ(r.strings, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(r.dataSize, sizeof data);
    EXPECT_EQ(r.data, data);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Lines()[0], TraceLine("Trace   ", "\nReportEvent( 3758096386 ) ok - 1234\n"));
}

TEST_F(Events, NineStringsPassTheFirstEight) {
    ASSERT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(EventLogReport(1, 0x20000001, 0, 0, nullptr, 9, "s1", "s2", "s3", "s4", "s5", "s6",
                             "s7", "s8", "s9"),
              0);
    ASSERT_EQ(fake.reports.size(), 1u);
    EXPECT_EQ(fake.reports[0].strings,
              (std::vector<std::string>{"s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8"}));

    fake.reports.clear();
    EXPECT_EQ(EventLogReport(1, 0x20000001, 0, 0, nullptr, 8, "s1", "s2", "s3", "s4", "s5", "s6",
                             "s7", "s8"),
              0);
    ASSERT_EQ(fake.reports.size(), 1u);
    EXPECT_EQ(fake.reports[0].strings.size(), 8u);
}

TEST_F(Events, AFailedReportGivesTheErrorCode) {
    ASSERT_EQ(EventLogOpen(), 1);
    fake.reportError = 1502;
    EXPECT_EQ(EventLogReport(1, 0x200003E8, 0x8001, 0, nullptr, 0), 1502);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Lines()[0],
              TraceLine("Trace   ", "\nReportEvent( 536871912 ) failed - 1502\n"));
}

TEST_F(Events, CloseDeregistersTheStandingSource) {
    ASSERT_EQ(EventLogOpen(), 1);
    EventSourceHandle standing = fake.open.at(0);
    EventLogClose();
    EXPECT_EQ(fake.deregistered, std::vector<EventSourceHandle>{standing});
    EXPECT_TRUE(fake.open.empty());
    EXPECT_EQ(EventLogReport(1, 0x200003E8, 0x8001, 0, nullptr, 0), -1);
    // A second close has nothing to deregister.
    EventLogClose();
    EXPECT_EQ(fake.deregistered.size(), 1u);
}

TEST_F(Events, ServiceErrorUsesASourceOfItsOwn) {
    PlatformSetLastError(5);
    ReportServiceError("StartServiceCtrlDispatcher failed.");
    EXPECT_EQ(fake.registered, std::vector<std::string>{"Tarnwick"});
    ASSERT_EQ(fake.reports.size(), 1u);
    const Report &r = fake.reports[0];
    EXPECT_EQ(r.source, 100u);
    EXPECT_EQ(r.type, 1);
    EXPECT_EQ(r.category, 0);
    EXPECT_EQ(r.eventId, 0u);
    EXPECT_EQ(r.strings, (std::vector<std::string>{"Tarnwick error: 5",
                                                   "StartServiceCtrlDispatcher failed."}));
    EXPECT_EQ(r.dataSize, 0u);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(fake.deregistered, std::vector<EventSourceHandle>{100});
    EXPECT_TRUE(fake.open.empty());
    EXPECT_TRUE(trace_.Lines().empty());  // nothing traced
}

TEST_F(Events, ServiceErrorTakesTheLastErrorFirst) {
    fake.errorAfterRegister = 997;
    PlatformSetLastError(0xE0000002);
    ReportServiceError("x");
    ASSERT_EQ(fake.reports.size(), 1u);
    EXPECT_EQ(fake.reports[0].strings.at(0), "Tarnwick error: -536870910");
}

TEST_F(Events, ServiceErrorLeavesTheStandingSourceUsable) {
    ASSERT_EQ(EventLogOpen(), 1);
    EventSourceHandle standing = fake.open.at(0);
    ReportServiceError("Trying to start tarnwick");
    ASSERT_EQ(fake.reports.size(), 1u);
    EXPECT_NE(fake.reports[0].source, standing);
    EXPECT_EQ(fake.open, std::vector<EventSourceHandle>{standing});

    trace_.Clear();
    EXPECT_EQ(EventLogReport(1, 0x200003E9, 0, 0, nullptr, 0), 0);
    ASSERT_EQ(fake.reports.size(), 2u);
    EXPECT_EQ(fake.reports[1].source, standing);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Lines()[0], TraceLine("Trace   ", "\nReportEvent( 536871913 ) ok - 0\n"));
}

TEST_F(Events, ServiceErrorFailsSilently) {
    fake.registerError = 1722;
    ReportServiceError("x");
    EXPECT_TRUE(fake.reports.empty());
    EXPECT_TRUE(trace_.Lines().empty());

    fake.registerError = 0;
    fake.reportError = 1502;
    ReportServiceError("x");
    EXPECT_EQ(fake.reports.size(), 1u);
    EXPECT_EQ(fake.deregistered.size(), 1u);  // its source is still given back
    EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(Events, ConsoleModeReportsNothing) {
    service.consoleMode = true;
    PlatformSetLastError(5);
    ReportServiceError("Trying to start tarnwick");
    ReportServiceStartError();
    EXPECT_TRUE(fake.registered.empty());
    EXPECT_TRUE(fake.reports.empty());
    EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(Events, EveryServiceStartMakesTwoErrorEvents) {
    ASSERT_EQ(EventLogOpen(), 1);
    EXPECT_EQ(ReportServiceStartEvent(), 0);
    PlatformSetLastError(0);
    ReportServiceStartError();
    ASSERT_EQ(fake.reports.size(), 2u);
    const Report &start = fake.reports[0];
    EXPECT_EQ(start.type, 1);
    EXPECT_EQ(start.category, 0x8001);
    EXPECT_EQ(start.eventId, 0x200003E8u);
    EXPECT_TRUE(start.strings.empty());
    EXPECT_EQ(start.dataSize, 0u);
    const Report &trying = fake.reports[1];
    EXPECT_EQ(trying.type, 1);
    EXPECT_EQ(trying.category, 0);
    EXPECT_EQ(trying.eventId, 0u);
    EXPECT_EQ(trying.strings,
              (std::vector<std::string>{"Tarnwick error: 0", "Trying to start tarnwick"}));
    ASSERT_EQ(trace_.Lines().size(), 1u);  // the start event's "ok" only
    EXPECT_EQ(trace_.Lines()[0], TraceLine("Trace   ", "\nReportEvent( 536871912 ) ok - 0\n"));
}

TEST_F(Events, TheStartEventNeedsTheStandingSource) {
    EXPECT_EQ(ReportServiceStartEvent(), -1);
    EXPECT_TRUE(fake.reports.empty());
}

}  // namespace
