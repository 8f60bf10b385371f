// The service host through a fake service manager, event log and engine: the
// command line, installation and removal, the error texts, the reports of a
// service's life, the control handlers and the console run.
#include "service/service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "diag/EVENTS_testing.h"
#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/errors.h"
#include "platform/eventlog_testing.h"
#include "platform/scm_testing.h"
#include "service/service_testing.h"
#include "service/settings.h"
#include "test_util.h"
#include "timer/vtm_driver_testing.h"

namespace {

constexpr ScmHandle kManager = 0x100;
constexpr ScmHandle kService = 0x200;
constexpr ServiceStatusHandle kStatus = 0x300;

// Every call of the fakes lands in one timeline ("call args; "), so that tests
// see the order of reports, events and engine calls.
struct Fake {
    std::mutex mutex;
    std::string timeline;
    std::string fail;  // the calls that fail (with kErrorAccessDenied), by name
    ScmControlHandler handler = nullptr;
    bool stopInInit = false;              // ServiceInit meets Ctrl+Break or the stop control
    char stopState = 'P';                 // the state a delivered stop leaves (S, P, R)
    std::string reads;                    // the state of each status read, then failures
    std::string errorText = "Text.\r\n";  // the system's text of every code
    const char *logDirFailure = nullptr;
    std::string modulePath = "/opt/tarnwick/bin/tarnwick";

    // Notes the call; true, with the last error set, when it is to fail.
    bool Fails(const std::string &name, const std::string &args = "") {
        std::lock_guard<std::mutex> guard(mutex);
        timeline += (args.empty() ? name : name + " " + args) + "; ";
        bool fails = (" " + fail + " ").find(" " + name + " ") != std::string::npos;
        if (fails) {
            PlatformSetLastError(kErrorAccessDenied);
        }
        return fails;
    }
};
Fake *fake = nullptr;

uint32_t State(char c) {
    return c == 'S' ? kServiceStopped : c == 'P' ? kServiceStopPending : kServiceRunning;
}

// The service's main runs on the dispatcher's thread; the stop control comes
// while the engine's loop runs (FakeRundaemon).
int FakeStartDispatcher(const ScmTableEntry *table) {
    EXPECT_EQ(table[1].main, nullptr);
    if (fake->Fails("dispatcher", table[0].name)) {
        return 0;
    }
    char name[] = "Tarnwick";
    char *argv[] = {name, nullptr};
    table[0].main(1, argv);
    return 1;
}

// "report <state> <check point> <wait hint> <controls accepted>", refused
// for any handle but the registered one.
int FakeSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *s) {
    char text[80];
    std::snprintf(text, sizeof text, "%sreport %u %u %u %u", handle == kStatus ? "" : "refused ",
                  s->currentState, s->checkPoint, s->waitHint, s->controlsAccepted);
    return fake->Fails(text) || handle != kStatus ? 0 : 1;
}

int FakeQueryStatus(ScmHandle, ServiceStatusRecord *status) {
    fake->Fails("QueryServiceStatus");
    status->currentState = 0xDEAD;  // a failed read leaves it scribbled: not to be used
    if (fake->reads.empty()) {
        return 0;
    }
    status->currentState = State(fake->reads[0]);
    fake->reads.erase(0, 1);
    return 1;
}

size_t FakeErrorText(unsigned long, char *buffer, size_t size) {
    if (fake->errorText.size() >= size) {
        return 0;
    }
    std::memcpy(buffer, fake->errorText.c_str(), fake->errorText.size() + 1);
    return fake->errorText.size();
}

const ScmOps kFakeScm = {
    FakeStartDispatcher,
    [](const char *name, ScmControlHandler h) -> ServiceStatusHandle {
        return fake->Fails("register", name) ? 0 : (fake->handler = h, kStatus);
    },
    FakeSetStatus,
    [](uint32_t access) -> ScmHandle {
        return fake->Fails("OpenSCManager", std::to_string(access)) ? 0 : kManager;
    },
    // The other arguments are the stand-in's record, checked end to end.
    [](ScmHandle, const char *name, const char *, uint32_t, uint32_t, uint32_t, uint32_t,
       const char *path, const char *, uint32_t *, const char *, const char *,
       const char *) -> ScmHandle {
        return fake->Fails("CreateService", name + (" " + std::string(path))) ? 0 : kService;
    },
    [](ScmHandle, const char *name, uint32_t access) -> ScmHandle {
        return fake->Fails("OpenService", name + (" " + std::to_string(access))) ? 0 : kService;
    },
    [](ScmHandle, uint32_t control, ServiceStatusRecord *status) {
        *status = ServiceStatusRecord{};
        status->currentState = State(fake->stopState);
        return fake->Fails("ControlService", std::to_string(control)) ? 0 : 1;
    },
    FakeQueryStatus,
    [](ScmHandle) { return fake->Fails("DeleteService") ? 0 : 1; },
    [](ScmHandle h) {
        return fake->Fails(h == kManager ? "Close manager" : "Close service") ? 0 : 1;
    },
    // As GetModuleFileNameA: a path that does not fit is cut, and the
    // buffer's size returned with ERROR_INSUFFICIENT_BUFFER.
    [](char *buffer, uint32_t size) -> uint32_t {
        if (fake->Fails("GetModuleFileName", std::to_string(size))) {
            return 0;
        }
        std::snprintf(buffer, size, "%s", fake->modulePath.c_str());
        if (fake->modulePath.size() >= size) {
            PlatformSetLastError(kErrorInsufficientBuffer);
            return size;
        }
        return static_cast<uint32_t>(fake->modulePath.size());
    },
    FakeErrorText,
};

// The engine as the service host sees it: its start-up reports a second
// START_PENDING, its loop reports RUNNING and runs until the stop.
void FakeServiceInit() {
    fake->Fails("ServiceInit");
    UpdateServiceStatus(kServiceStartPending);
    PlatformSetLastError(0);
}

void FakeRundaemon() {
    if (!fake->Fails("rundaemon") && fake->logDirFailure == nullptr) {
        UpdateServiceStatus(kServiceRunning);
        if (fake->handler != nullptr) {
            fake->handler(kServiceControlStop);
        }
        fake->Fails("loop returned");
    }
}

const ServiceOps kFakeEngine = {
    FakeServiceInit,
    FakeRundaemon,
    [] {
        fake->Fails("stopdaemon");
        UpdateServiceStatus(kServiceStopPending);
    },
    [] { return fake->Fails("init") ? -1 : 0; },
    [] { return fake->logDirFailure; },
    [](ConsoleHandler h) {
        return fake->Fails(h == ConsoleCtrlHandler ? "console" : "?") ? -1 : 0;
    },
    [](unsigned ms) { fake->Fails("Sleep", std::to_string(ms)); },
};

const EventLogOps kFakeEvents = {
    [](const char *name) -> EventSourceHandle {
        return fake->Fails("source", name) ? kNoEventSource : 77;
    },
    [](EventSourceHandle, uint16_t type, uint16_t category, uint32_t id, uint16_t count,
       const char *const *strings, uint32_t, const void *) {
        char head[64];
        std::snprintf(head, sizeof head, "event %u 0x%04X 0x%08X", type, category, id);
        std::string entry = head;
        for (uint16_t i = 0; i < count; ++i) {
            entry += std::string(" | ") + strings[i];
        }
        return fake->Fails(entry) ? 0 : 1;
    },
    [](EventSourceHandle) { return fake->Fails("source closed") ? 0 : 1; },
};

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

const char kUsage[] =
    "TARNWICK -install          to install the service\n"
    "TARNWICK -remove           to remove the service\n"
    "TARNWICK -debug <params>   to run as a console app for debugging\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // LogInit reads the trace settings from this profile.
        testutil::WriteFile(dir_ / "win.ini", "[TARNWICK]\nDebugFlags=Trace,Warning,Error\n");
        testsupport::SetEnv("TARNWICK_PROFILE", (dir_ / "win.ini").c_str());
        ScmSetForTest(&kFakeScm);
        ServiceSetForTest(&kFakeEngine);
        EventLogSetForTest(&kFakeEvents);
        Reset();
    }
    void TearDown() override {
        testsupport::UnsetEnv("TARNWICK_PROFILE");
        EventLogSetForTest(nullptr);
        ServiceSetForTest(nullptr);
        ScmSetForTest(nullptr);
        Reset();
    }
    // A new fake; the service and the event reports as at program start.
    void Reset() {
        ServiceResetForTest();
        EventsResetForTest();
        delete fake;
        fake = new Fake();
    }

    // Runs the program entry with arg (none when empty), its output in out_
    // and err_; returns its status.
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

    std::string Captured(void (*run)()) {
        fake->timeline.clear();
        ::testing::internal::CaptureStdout();
        run();
        return ::testing::internal::GetCapturedStdout();
    }

    std::string Traced() const {
        std::string all;
        for (const std::string &t : catcher_.Texts()) {
            all += t;
        }
        return all;
    }

    testutil::TempDir dir_;
    testutil::TraceCatcher catcher_{Trace | Warning | Error};
    std::string out_, err_;
};

TEST_F(ServiceTest, FirstArgumentChoosesTheAction) {
    const struct {
        const char *arg;
        const char *first;  // the first call it leads to; the dispatcher's when empty
    } cases[] = {
        {"-install", "GetModuleFileName 512"},
        {"/InStAlL", "GetModuleFileName 512"},
        {"/REMOVE", "OpenSCManager 983103"},
        {"-Debug", "console"},
        {"", ""},
        {"install", ""},
        {"-", ""},
        {"/", ""},
        {"-installx", ""},
        {"-deb", ""},
        {"--remove", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg);
        Reset();
        fake->fail = "dispatcher";
        bool dispatched = c.first[0] == '\0';
        EXPECT_EQ(Entry(c.arg), dispatched ? 1 : 0);
        EXPECT_EQ(fake->timeline.rfind(dispatched ? "dispatcher Tarnwick;" : c.first, 0), 0u);
        EXPECT_EQ(out_.rfind(kUsage, 0) == 0, dispatched) << out_;
    }
}

TEST_F(ServiceTest, LastErrorTextCutsTheCrLfAndNeeds14BytesOfRoom) {
    const std::string a240(240, 'a');
    const struct {
        std::string text;
        unsigned long code;
        size_t size;
        std::string shown;
    } cases[] = {
        {"Text.\r\n", 0xFFFFFFFF, 7 + 14, "Text. (0xffffffff)"},
        {"Text.\r\n", 0xFFFFFFFF, 7 + 13, ""},
        {a240 + "\r\n", 5, 256, a240 + " (0x5)"},
        {a240 + "a\r\n", 5, 256, ""},
        {"", 5, 256, ""},  // no text
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        fake->errorText = c.text;
        PlatformSetLastError(c.code);
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(LastErrorText(buffer, c.size), buffer);
        EXPECT_EQ(std::string(buffer), c.shown);
    }
}

TEST_F(ServiceTest, InstallRegistersTheServiceOrTellsWhatFailed) {
    const std::string opened = "GetModuleFileName 512; OpenSCManager 983103; ";
    const std::string create = opened + "CreateService Tarnwick \"/opt/tarnwick/bin/tarnwick\"; ";
    const struct {
        const char *fail;
        const char *out;
        std::string timeline;
    } cases[] = {
        {"", "Tarnwick installed.\n", create + "Close service; Close manager; "},
        {"GetModuleFileName", "Unable to install Tarnwick - Text. (0x5)\n",
         "GetModuleFileName 512; "},
        {"OpenSCManager", "OpenSCManager failed - Text. (0x5)\n", opened},
        {"CreateService", "CreateService failed - Text. (0x5)\n", create + "Close manager; "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        fake->fail = c.fail;
        fake->timeline.clear();
        EXPECT_EQ(Captured(InstallService), c.out);
        EXPECT_EQ(fake->timeline, c.timeline);
    }
}

TEST_F(ServiceTest, InstallRegistersThePathInQuotesAndOnlyAWholeOne) {
    // In quotes, so that a blank in it cannot make the manager run a shorter
    // one; the longest that fits whole is 511 characters.
    const std::string longest = "/" + std::string(510, 'x');
    for (const std::string &path : {std::string("C:\\Program Files\\Tarnwick\\tarnwick.exe"),
                                    longest}) {
        fake->modulePath = path;
        fake->timeline.clear();
        EXPECT_EQ(Captured(InstallService), "Tarnwick installed.\n");
        EXPECT_NE(fake->timeline.find("CreateService Tarnwick \"" + path + "\"; "),
                  std::string::npos);
    }
    fake->modulePath = longest + "x";
    fake->timeline.clear();
    EXPECT_EQ(Captured(InstallService), "Unable to install Tarnwick - Text. (0x7a)\n");
    EXPECT_EQ(fake->timeline, "GetModuleFileName 512; ");
}

TEST_F(ServiceTest, RemoveStopsTheServiceWaitingWhileItStopsThenDeletesIt) {
    const std::string stopped = "\nTarnwick stopped.\nTarnwick removed.\n";
    const std::string failed = "\nTarnwick failed to stop.\nTarnwick removed.\n";
    const struct {
        const char *fail;
        char stopState;
        std::string reads;  // S stopped, P stop pending, R running
        std::string out;
        size_t sleeps;
    } cases[] = {
        {"OpenSCManager", 'P', "", "OpenSCManager failed - Text. (0x5)\n", 0},
        {"OpenService", 'P', "", "OpenService failed - Text. (0x5)\n", 0},
        {"ControlService", 'P', "", "Tarnwick removed.\n", 0},  // not running
        {"ControlService DeleteService", 'P', "", "DeleteService failed - Text. (0x5)\n", 0},
        {"", 'P', "S", "Stopping Tarnwick." + stopped, 1},
        {"", 'S', "S", "Stopping Tarnwick." + stopped, 1},
        {"", 'P', "PPPS", "Stopping Tarnwick...." + stopped, 4},
        {"", 'P', "PR", "Stopping Tarnwick.." + failed, 2},
        // A failed read ends the wait; the state last received counts.
        {"", 'P', "P", "Stopping Tarnwick.." + failed, 2},
        {"", 'S', "", "Stopping Tarnwick." + stopped, 1},
        {"", 'P', "", "Stopping Tarnwick." + failed, 1},
        // Given up after 30 seconds, deleted all the same.
        {"", 'P', std::string(100, 'P'), "Stopping Tarnwick." + std::string(30, '.') + failed, 30},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        fake->fail = c.fail;
        fake->stopState = c.stopState;
        fake->reads = c.reads;
        EXPECT_EQ(Captured(RemoveService), c.out);
        const std::string &t = fake->timeline;
        EXPECT_EQ(Count(t, "Sleep 1000"), c.sleeps);
        // The first read comes a second after the stop request.
        EXPECT_EQ(Count(t, "ControlService 1; Sleep 1000; "), c.sleeps > 0 ? 1u : 0u);
        const std::string tail = std::strcmp(c.fail, "OpenSCManager") == 0
                                     ? "OpenSCManager 983103; "
                                 : std::strcmp(c.fail, "OpenService") == 0
                                     ? "OpenService Tarnwick 983551; Close manager; "
                                     : "DeleteService; Close service; Close manager; ";
        EXPECT_EQ(t.substr(t.size() - std::min(t.size(), tail.size())), tail);
    }
}

// Whole runs through the entry: the service's life from the dispatcher to its
// STOPPED report, and the console run.
TEST_F(ServiceTest, RunsReportTheirStatesAndEventsInOrder) {
    const std::string started =
        "dispatcher Tarnwick; source Tarnwick; register Tarnwick; event 1 0x8001 0x200003E8; "
        "report 2 1 5000 0; ServiceInit; report 2 2 5000 0; source Tarnwick; "
        "event 1 0x0000 0x00000000 | Tarnwick error: 0 | Trying to start tarnwick; source closed; "
        "rundaemon; ";
    const std::string console = "console; ServiceInit; refused report 2 1 5000 0; rundaemon; ";
    const char *nowhere = "cannot enter log directory /nowhere: No such file or directory";
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
         started + "report 4 0 0 1; report 3 1 5000 1; stopdaemon; report 3 2 5000 1; "
                   "report 1 0 0 1; source closed; loop returned; report 1 0 0 1; "},
        {"", "", nowhere, 0, 0,
         started + "source Tarnwick; event 1 0x0000 0x00000000 | Tarnwick error: 0 | " + nowhere +
             "; source closed; report 1 0 0 1; "},
        {"", "dispatcher", nullptr, 1, kInvalidStatusHandle,
         "dispatcher Tarnwick; source Tarnwick; event 1 0x0000 0x00000000 | Tarnwick error: 5 | "
         "StartServiceCtrlDispatcher failed.; source closed; "},
        // Without the event source, STOPPED goes out with the invalid handle.
        {"", "source", nullptr, 0, kInvalidStatusHandle,
         "dispatcher Tarnwick; source Tarnwick; refused report 1 0 0 1; "},
        {"", "register", nullptr, 0, 0,
         "dispatcher Tarnwick; source Tarnwick; register Tarnwick; "},
        // A console run reports to no manager and no event log.
        {"-debug", "", nullptr, 0, kInvalidStatusHandle,
         console + "refused report 4 0 0 1; loop returned; "},
        {"-debug", "", nowhere, 1, kInvalidStatusHandle, console},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.timeline);
        Reset();
        fake->fail = c.fail;
        fake->logDirFailure = c.logDirFailure;
        EXPECT_EQ(Entry(c.arg), c.status);
        EXPECT_EQ(out_, c.arg[0] != '\0' ? "Debugging Tarnwick.\n" : kUsage);
        EXPECT_EQ(fake->timeline, c.timeline);
        EXPECT_EQ(service.statusHandle, c.handleAfter);
        bool told = c.arg[0] != '\0' && c.logDirFailure != nullptr;
        EXPECT_EQ(err_, told ? c.logDirFailure + std::string("\n") : "");
    }
}

TEST_F(ServiceTest, ControlCodesOfARunningService) {
    service.statusHandle = kStatus;
    const struct {
        uint32_t code;
        const char *calls;
        const char *trace;
    } cases[] = {
        {kServiceControlInterrogate, "", "interrogating service.....\n"},
        {kServiceControlUserFirst, "init; ", "re-initing service.....\n"},
        {2, "", ""},
        {129, "", ""},
        {0xFFFFFFFF, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        fake->timeline.clear();
        catcher_.Clear();
        ServiceCtrlHandler(c.code);
        EXPECT_EQ(fake->timeline, c.calls);
        EXPECT_EQ(Traced(), c.trace);
    }
}

TEST_F(ServiceTest, ReportsCountCheckPointsThroughPendingStates) {
    const struct {
        ServiceStatusHandle handle;
        uint32_t state;
        const char *report;
        const char *trace;
    } steps[] = {
        {0, kServiceRunning, "", ""},  // no handle: nothing at all
        {kStatus, kServiceStartPending, "report 2 1 5000 0; ", "START_PENDING"},
        {kStatus, kServiceStartPending, "report 2 2 5000 0; ", "START_PENDING"},
        {kStatus, kServiceStopPending, "report 3 3 5000 1; ", "STOP_PENDING"},
        {kStatus, kServiceRunning, "report 4 0 0 1; ", "RUNNING"},
        {kInvalidStatusHandle, kServiceStopPending, "refused report 3 1 5000 1; ", "STOP_PENDING"},
        {kStatus, kServiceStartPending, "report 2 2 5000 0; ", "START_PENDING"},
        {kStatus, kServiceStopped, "report 1 0 0 1; ", "STOPPED"},
        {kStatus, kServicePaused, "report 7 0 0 1; ", ""},  // sent, not traced
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.report);
        fake->timeline.clear();
        catcher_.Clear();
        service.statusHandle = s.handle;
        EXPECT_EQ(UpdateServiceStatus(s.state), s.handle == kStatus ? 1 : 0);
        EXPECT_EQ(fake->timeline, s.report);
        EXPECT_EQ(Traced(),
                  s.trace[0] ? "UpdateServiceStatus(" + std::string(s.trace) + ")\n" : "");
    }
}

TEST_F(ServiceTest, ConsoleCtrlCAndBreakStopTheEngine) {
    service.statusHandle = 0;
    for (unsigned long event : {kCtrlCEvent, kCtrlBreakEvent, kCtrlCloseEvent, 5ul}) {
        SCOPED_TRACE(event);
        bool stops = event == kCtrlCEvent || event == kCtrlBreakEvent;
        fake->timeline.clear();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(ConsoleCtrlHandler(event), stops ? 1 : 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), stops ? "Stopping Tarnwick.\n" : "");
        EXPECT_EQ(fake->timeline, stops ? "stopdaemon; " : "");
    }
}

// The real engine's start and stop.  A stop during the start-up ends the run
// in order: the timer pool never starts and the log directory (missing here)
// is never tried.  A stop flag left from before the run does not count.
TEST_F(ServiceTest, AStopDuringTheStartUpEndsTheRunInOrder) {
    ServiceOps hooks = kFakeEngine;
    hooks.rundaemon = rundaemon;
    hooks.stopdaemon = stopdaemon;
    hooks.logDirFailure = LogDirFailure;
    hooks.serviceInit = [] {
        FakeServiceInit();
        if (fake->stopInInit && service.consoleMode) {
            ConsoleCtrlHandler(kCtrlBreakEvent);
        } else if (fake->stopInInit) {
            fake->handler(kServiceControlStop);
        }
    };
    ServiceSetForTest(&hooks);
    std::snprintf(settings.logdir, sizeof settings.logdir, "%s", (dir_ / "missing").c_str());
    const struct {
        const char *arg;
        bool stop;
        int status;
        std::string out;
        size_t logDirTried;
    } cases[] = {
        {"-debug", false, 1, "Debugging Tarnwick.\n", 1},
        {"-debug", true, 0, "Debugging Tarnwick.\nStopping Tarnwick.\n", 0},
        {"", false, 0, kUsage, 1},
        {"", true, 0, kUsage, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        Reset();
        EngineResetForTest();
        catcher_.Clear();
        fake->stopInInit = c.stop;
        engine.stoprequested = 1;
        EXPECT_EQ(Entry(c.arg), c.status);
        EXPECT_EQ(out_, c.out);
        EXPECT_EQ(Count(Traced(), "cannot enter"), c.logDirTried);
        if (c.arg[0] == '\0') {
            EXPECT_EQ(fake->timeline.substr(fake->timeline.size() - 16), "report 1 0 0 1; ");
        }
    }
    EngineResetForTest();
    SettingsResetForTest();
    TimerPoolResetForTest();
}

}  // namespace
