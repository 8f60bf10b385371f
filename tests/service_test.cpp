// The service host through a fake service manager, event log and engine.
#include "service/service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "diag/EVENTS_testing.h"
#include "engine/tarnwick.h"
#include "platform/errors.h"
#include "platform/eventlog_testing.h"
#include "platform/scm_testing.h"
#include "service/service_testing.h"

namespace {

constexpr ServiceStatusHandle kStatus = 0x300;

// Every call of the fakes lands in one timeline ("call args; ").
struct Fake {
    std::string timeline;
    std::string fail;                     // the calls that fail (kErrorAccessDenied), by name
    ScmControlHandler handler = nullptr;  // as registered
    std::string reads;   // the state a stop leaves, then each read's (S, P pending); then fails
    unsigned slept = 0;  // ms
    const char *logDirFailure = nullptr;
    std::string modulePath = "/opt/tarnwick/bin/tarnwick";

    // Notes the call; true, with the last error set, when it is to fail.
    bool Fails(const std::string &name, const std::string &args = "") {
        timeline += (args.empty() ? name : name + " " + args) + "; ";
        bool fails = (" " + fail + " ").find(" " + name + " ") != std::string::npos;
        PlatformSetLastError(fails ? kErrorAccessDenied : 0);
        return fails;
    }
    uint32_t Next() {
        char c = reads.empty() ? 'P' : reads[0];
        reads.erase(0, 1);
        return c == 'S' ? kServiceStopped : kServiceStopPending;
    }
};
Fake fake;

const ScmOps kFakeScm = {
    [](const ScmTableEntry *table) {
        if (table[1].main != nullptr || fake.Fails("dispatcher", table[0].name)) {
            return 0;
        }
        table[0].main(0, nullptr);
        return 1;
    },
    [](const char *name, ScmControlHandler h) -> ServiceStatusHandle {
        return fake.Fails("register", name) ? 0 : (fake.handler = h, kStatus);
    },
    // "report <state> <check point> <wait hint> <accepted>".
    [](ServiceStatusHandle handle, const ServiceStatusRecord *s) {
        char text[80];
        std::snprintf(text, sizeof text, "%sreport %u %u %u %u",
                      handle == kStatus ? "" : "refused ", s->currentState, s->checkPoint,
                      s->waitHint, s->controlsAccepted);
        return fake.Fails(text) || handle != kStatus ? 0 : 1;
    },
    [](uint32_t) -> ScmHandle { return fake.Fails("OpenSCManager") ? 0 : 1; },
    [](ScmHandle, const char *name, const char *, uint32_t, uint32_t, uint32_t, uint32_t,
       const char *path, const char *, uint32_t *, const char *, const char *,
       const char *) -> ScmHandle {
        return fake.Fails("CreateService", std::string(name).append(" ").append(path)) ? 0 : 2;
    },
    // Only this service, and only the stop control.
    [](ScmHandle, const char *name, uint32_t) -> ScmHandle {
        return std::strcmp(name, "Tarnwick") != 0 || fake.Fails("OpenService") ? 0 : 2;
    },
    [](ScmHandle, uint32_t control, ServiceStatusRecord *status) {
        *status = ServiceStatusRecord{0, fake.Next(), 0, 0, 0, 0, 0};
        return control != kServiceControlStop || fake.Fails("ControlService") ? 0 : 1;
    },
    [](ScmHandle, ServiceStatusRecord *status) {
        bool read = !fake.reads.empty();
        status->currentState = read ? fake.Next() : 0xDEAD;  // a failed read scribbles
        return read ? 1 : 0;
    },
    [](ScmHandle) { return fake.Fails("DeleteService") ? 0 : 1; },
    [](ScmHandle h) { return fake.Fails(h == 1 ? "Close manager" : "Close service") ? 0 : 1; },
    // A path that does not fit: cut, the buffer's size, ERROR_INSUFFICIENT_BUFFER.
    [](char *buffer, uint32_t size) -> uint32_t {
        if (fake.Fails("GetModuleFileName")) {
            return 0;
        }
        std::snprintf(buffer, size, "%s", fake.modulePath.c_str());
        bool cut = fake.modulePath.size() >= size;
        PlatformSetLastError(cut ? kErrorInsufficientBuffer : 0);
        return cut ? size : static_cast<uint32_t>(fake.modulePath.size());
    },
    // The same text for every code but 0.
    [](unsigned long code, char *buffer, size_t size) -> size_t {
        return code == 0 || size < 8 ? 0 : (std::memcpy(buffer, "Text.\r\n", 8), 7);
    },
};

// The engine as the host sees it: its start-up reports a second
// START_PENDING, its loop RUNNING, and the stop comes while the loop runs.
const ServiceOps kFakeEngine = {
    [] {
        fake.Fails("ServiceInit");
        UpdateServiceStatus(kServiceStartPending);
    },
    [] {
        if (!fake.Fails("rundaemon") && fake.logDirFailure == nullptr) {
            UpdateServiceStatus(kServiceRunning);
            if (fake.handler != nullptr) {
                fake.handler(kServiceControlStop);
            }
            fake.Fails("loop returned");
        }
    },
    [] {
        fake.Fails("stopdaemon");
        UpdateServiceStatus(kServiceStopPending);
    },
    nullptr,
    [] { return fake.logDirFailure; },
    [](ConsoleHandler) { return fake.Fails("console") ? -1 : 0; },
    [](unsigned ms) { fake.slept += ms; },
};

const EventLogOps kFakeEvents = {
    [](const char *name) -> EventSourceHandle { return fake.Fails("source", name) ? 0 : 77; },
    [](EventSourceHandle, uint16_t, uint16_t, uint32_t id, uint16_t, const char *const *, uint32_t,
       const void *) { return fake.Fails("event", std::to_string(id)) ? 0 : 1; },
    [](EventSourceHandle) { return fake.Fails("source closed") ? 0 : 1; },
};

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { Hook(true); }
    void TearDown() override { Hook(false); }
    void Hook(bool on) {
        ScmSetForTest(on ? &kFakeScm : nullptr);
        ServiceSetForTest(on ? &kFakeEngine : nullptr);
        EventLogSetForTest(on ? &kFakeEvents : nullptr);
        Reset("");
    }
    // A new fake (the calls named in fail fail); service and events reset.
    void Reset(const char *fail) {
        ServiceResetForTest();
        EventsResetForTest();
        fake = Fake();
        fake.fail = fail;
    }
    // The program entry's status with arg (none when empty); output in out_, err_.
    int Entry(std::string arg) {
        char name[] = "tarnwick";
        char *argv[] = {name, arg.empty() ? nullptr : arg.data(), nullptr};
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int status = ServiceEntry(arg.empty() ? 1 : 2, argv);
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return status;
    }

    std::string out_, err_;
};

TEST_F(ServiceTest, LastErrorTextCutsTheCrLfAndNeeds14BytesOfRoom) {
    char buffer[32] = "x";
    PlatformSetLastError(0xFFFFFFFF);
    EXPECT_STREQ(LastErrorText(buffer, 7 + 14), "Text. (0xffffffff)");
    EXPECT_STREQ(LastErrorText(buffer, 7 + 13), "");
    PlatformSetLastError(0);  // no text
    EXPECT_STREQ(LastErrorText(buffer, sizeof buffer), "");
}

// Only a whole path: at most 511 characters.
TEST_F(ServiceTest, InstallRegistersTheQuotedPathOrTellsWhatFailed) {
    const std::string longest = "/" + std::string(510, 'x');
    const struct {
        const char *fail;
        std::string path;
        const char *out;
    } cases[] = {
        {"", longest + "x", "Unable to install Tarnwick - Text. (0x7a)\n"},
        {"GetModuleFileName", "/t", "Unable to install Tarnwick - Text. (0x5)\n"},
        {"OpenSCManager", "/t", "OpenSCManager failed - Text. (0x5)\n"},
        {"CreateService", "/t", "CreateService failed - Text. (0x5)\n"},
        {"", longest, "Tarnwick installed.\n"},
    };
    for (const auto &c : cases) {
        Reset(c.fail);
        fake.modulePath = c.path;
        EXPECT_EQ(Entry("/InStAlL"), 0);
        EXPECT_EQ(out_, c.out);
    }
    // The last one's: quoted (a blank cannot make it a shorter path), both closed.
    EXPECT_EQ(fake.timeline, "GetModuleFileName; OpenSCManager; CreateService Tarnwick \"" +
                                 longest + "\"; Close service; Close manager; ");
}

TEST_F(ServiceTest, RemoveStopsTheServiceWaitingWhileItStopsThenDeletesIt) {
    const std::string failed = "\nTarnwick failed to stop.\nTarnwick removed.\n";
    const struct {
        const char *fail;
        std::string reads;
        std::string out;
        unsigned waited;  // seconds
    } cases[] = {
        {"OpenSCManager", "", "OpenSCManager failed - Text. (0x5)\n", 0},
        {"OpenService", "", "OpenService failed - Text. (0x5)\n", 0},
        {"ControlService", "", "Tarnwick removed.\n", 0},  // not running
        {"ControlService DeleteService", "", "DeleteService failed - Text. (0x5)\n", 0},
        {"", "PPPPS", "Stopping Tarnwick....\nTarnwick stopped.\nTarnwick removed.\n", 4},
        // A failed read ends the wait; the state last received counts.
        {"", "PP", "Stopping Tarnwick.." + failed, 2},
        // Given up after 30 seconds, deleted all the same.
        {"", std::string(99, 'P'), "Stopping Tarnwick." + std::string(30, '.') + failed, 30},
    };
    for (const auto &c : cases) {
        Reset(c.fail);
        fake.reads = c.reads;
        EXPECT_EQ(Entry("-remove"), 0);
        EXPECT_EQ(out_, c.out);
        EXPECT_EQ(fake.slept, c.waited * 1000);
    }
}

// Whole runs through the entry: no switch ("-" or "/" and the whole word, in
// any case) prints the usage and enters the dispatcher.
TEST_F(ServiceTest, RunsReportTheirStatesAndEventsInOrder) {
    const char *nowhere = "cannot enter log directory /nowhere: No such file or directory";
    const char *no_dispatcher = "dispatcher Tarnwick; source Tarnwick; event 0; source closed; ";
    const struct {
        const char *arg;
        const char *fail;
        const char *logDirFailure;
        int status;
        ServiceStatusHandle handleAfter;
        std::string timeline;
    } cases[] = {
        // The control handler's STOPPED and EventLogClose, then ServiceMain's.
        {"", "", nullptr, 0, 0,
         "dispatcher Tarnwick; source Tarnwick; register Tarnwick; event 536871912; "
         "report 2 1 5000 0; ServiceInit; report 2 2 5000 0; source Tarnwick; "
         "event 0; source closed; rundaemon; "
         "report 4 0 0 1; report 3 1 5000 1; stopdaemon; report 3 2 5000 1; "
         "report 1 0 0 1; source closed; loop returned; report 1 0 0 1; "},
        // Without the event source, STOPPED goes out with the invalid handle.
        {"", "source", nullptr, 0, kInvalidStatusHandle,
         "dispatcher Tarnwick; source Tarnwick; refused report 1 0 0 1; "},
        {"", "register", nullptr, 0, 0,
         "dispatcher Tarnwick; source Tarnwick; register Tarnwick; "},
        {"install", "dispatcher", nullptr, 1, kInvalidStatusHandle, no_dispatcher},
        // A console run reports to no manager and no event log.
        {"-Debug", "", nowhere, 1, kInvalidStatusHandle,
         "console; ServiceInit; refused report 2 1 5000 0; rundaemon; "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.arg) + " " + c.fail);
        Reset(c.fail);
        fake.logDirFailure = c.logDirFailure;
        EXPECT_EQ(Entry(c.arg), c.status);
        EXPECT_EQ(fake.timeline, c.timeline);
        EXPECT_EQ(service.statusHandle, c.handleAfter);
        EXPECT_EQ(err_, c.logDirFailure != nullptr ? nowhere + std::string("\n") : "");
        EXPECT_EQ(out_.rfind("TARNWICK -install ", 0) == 0, c.timeline[0] == 'd') << out_;
    }
}

}  // namespace
