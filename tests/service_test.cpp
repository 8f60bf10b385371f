// The service host through a fake service manager and a fake engine: the
// command line, installation and removal with their console messages, the
// error texts, the status reports of a service's life, the control handler
// and the console run.
#include "service/service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/EVENTS.h"
#include "diag/EVENTS_testing.h"
#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/errors.h"
#include "platform/eventlog_testing.h"
#include "platform/process.h"
#include "platform/scm_testing.h"
#include "service/service_testing.h"
#include "service/settings.h"
#include "test_util.h"
#include "timer/vtm_driver_testing.h"

namespace {

constexpr ScmHandle kManager = 0x100;
constexpr ScmHandle kService = 0x200;
constexpr ServiceStatusHandle kStatus = 0x300;
constexpr auto kPatience = std::chrono::seconds(10);

// A fake service manager and engine.  Every call lands in one timeline, so
// that tests can check the order of reports, events and engine calls.
struct Fake {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> timeline;
    std::vector<ServiceStatusRecord> reports;        // accepted by setStatus
    std::vector<ServiceStatusHandle> statusHandles;  // every setStatus call's handle

    // Dispatcher.
    unsigned long dispatcherError = 0;  // nonzero: the dispatcher fails with it
    std::vector<uint32_t> controls;     // delivered once the service runs
    ScmControlHandler handler = nullptr;
    std::string handlerName;
    unsigned long registerError = 0;
    bool running = false;
    bool mainDone = false;
    bool stopInInit = false;  // ServiceInit meets Ctrl+Break or the stop control

    // Installation and removal.
    std::string modulePath = "/opt/tarnwick/bin/tarnwick";
    unsigned long moduleError = 0;
    unsigned long managerError = 0;
    unsigned long createError = 0;
    unsigned long openError = 0;
    unsigned long controlError = 0;
    uint32_t controlState = kServiceStopPending;  // the state a delivered stop leaves
    std::vector<uint32_t> queryStates;            // one per read; then queryError
    unsigned long queryError = kErrorInvalidHandle;
    unsigned long deleteError = 0;
    std::vector<unsigned> sleeps;
    // Arguments of the last createService.
    struct {
        std::string name, display, path;
        uint32_t access, type, start, errorControl;
        bool groupNull, tagNull, dependenciesEmpty, accountNull, passwordNull;
    } created = {};
    // Error texts: the platform's, or this one for every code when set.
    std::string errorText;

    // Engine.
    const char *logDirFailure = nullptr;
    bool engineRuns = true;  // rundaemon reports RUNNING and waits for the release
    // Set by the dispatcher once every control has been handled: the loop
    // returns only then, so that the order of the reports is fixed.
    bool released = false;

    void Note(const std::string &entry) {
        std::lock_guard<std::mutex> guard(mutex);
        timeline.push_back(entry);
        changed.notify_all();
    }
};
Fake *fake = nullptr;

std::string ReportText(const ServiceStatusRecord &s) {
    char text[96];
    std::snprintf(text, sizeof text, "report %u cp %u hint %u accepts %u", s.currentState,
                  s.checkPoint, s.waitHint, s.controlsAccepted);
    return text;
}

int FakeStartDispatcher(const ScmTableEntry *table) {
    fake->Note(std::string("dispatcher ") + table[0].name);
    EXPECT_EQ(table[1].name, nullptr);
    EXPECT_EQ(table[1].main, nullptr);
    if (fake->dispatcherError != 0) {
        PlatformSetLastError(fake->dispatcherError);
        return 0;
    }
    char name[] = "Tarnwick";
    char *argv[] = {name, nullptr};
    ScmServiceMain main_function = table[0].main;
    std::thread service_thread([&] {
        main_function(1, argv);
        std::lock_guard<std::mutex> guard(fake->mutex);
        fake->mainDone = true;
        fake->changed.notify_all();
    });
    ScmControlHandler handler = nullptr;
    {
        std::unique_lock<std::mutex> lock(fake->mutex);
        fake->changed.wait_for(lock, kPatience, [] { return fake->running || fake->mainDone; });
        handler = fake->running ? fake->handler : nullptr;
    }
    for (uint32_t control : fake->controls) {
        if (handler != nullptr) {
            handler(control);
        }
    }
    {
        std::lock_guard<std::mutex> guard(fake->mutex);
        fake->released = true;
        fake->changed.notify_all();
    }
    service_thread.join();
    return 1;
}

ServiceStatusHandle FakeRegisterHandler(const char *name, ScmControlHandler handler) {
    fake->Note(std::string("register ") + name);
    if (fake->registerError != 0) {
        PlatformSetLastError(fake->registerError);
        return 0;
    }
    std::lock_guard<std::mutex> guard(fake->mutex);
    fake->handler = handler;
    fake->handlerName = name;
    return kStatus;
}

int FakeSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status) {
    std::lock_guard<std::mutex> guard(fake->mutex);
    fake->statusHandles.push_back(handle);
    if (handle != kStatus) {
        PlatformSetLastError(kErrorInvalidHandle);
        return 0;
    }
    fake->reports.push_back(*status);
    fake->timeline.push_back(ReportText(*status));
    if (status->currentState == kServiceRunning) {
        fake->running = true;
    }
    fake->changed.notify_all();
    return 1;
}

ScmHandle FakeOpenManager(uint32_t access) {
    fake->Note("OpenSCManager " + std::to_string(access));
    if (fake->managerError != 0) {
        PlatformSetLastError(fake->managerError);
        return 0;
    }
    return kManager;
}

ScmHandle FakeCreateService(ScmHandle manager, const char *name, const char *display,
                            uint32_t access, uint32_t type, uint32_t start, uint32_t error_control,
                            const char *path, const char *group, uint32_t *tag,
                            const char *dependencies, const char *account, const char *password) {
    fake->Note("CreateService");
    EXPECT_EQ(manager, kManager);
    fake->created = {name,
                     display,
                     path,
                     access,
                     type,
                     start,
                     error_control,
                     group == nullptr,
                     tag == nullptr,
                     dependencies != nullptr && dependencies[0] == '\0',
                     account == nullptr,
                     password == nullptr};
    if (fake->createError != 0) {
        PlatformSetLastError(fake->createError);
        return 0;
    }
    return kService;
}

ScmHandle FakeOpenService(ScmHandle manager, const char *name, uint32_t access) {
    fake->Note(std::string("OpenService ") + name + " " + std::to_string(access));
    EXPECT_EQ(manager, kManager);
    if (fake->openError != 0) {
        PlatformSetLastError(fake->openError);
        return 0;
    }
    return kService;
}

int FakeControlService(ScmHandle svc, uint32_t control, ServiceStatusRecord *status) {
    fake->Note("ControlService " + std::to_string(control));
    EXPECT_EQ(svc, kService);
    if (fake->controlError != 0) {
        PlatformSetLastError(fake->controlError);
        return 0;
    }
    *status = ServiceStatusRecord{};
    status->currentState = fake->controlState;
    return 1;
}

int FakeQueryStatus(ScmHandle svc, ServiceStatusRecord *status) {
    fake->Note("QueryServiceStatus");
    EXPECT_EQ(svc, kService);
    if (fake->queryStates.empty()) {
        // A failed read leaves the record scribbled: the caller must not use it.
        status->currentState = 0xDEAD;
        PlatformSetLastError(fake->queryError);
        return 0;
    }
    *status = ServiceStatusRecord{};
    status->currentState = fake->queryStates.front();
    fake->queryStates.erase(fake->queryStates.begin());
    return 1;
}

int FakeDeleteService(ScmHandle svc) {
    fake->Note("DeleteService");
    EXPECT_EQ(svc, kService);
    if (fake->deleteError != 0) {
        PlatformSetLastError(fake->deleteError);
        return 0;
    }
    return 1;
}

int FakeCloseHandle(ScmHandle handle) {
    fake->Note(handle == kManager   ? "Close manager"
               : handle == kService ? "Close service"
                                    : "Close ?");
    return 1;
}

uint32_t FakeModuleFileName(char *buffer, uint32_t size) {
    fake->Note("GetModuleFileName " + std::to_string(size));
    if (fake->moduleError != 0) {
        PlatformSetLastError(fake->moduleError);
        return 0;
    }
    // As GetModuleFileNameA: a path that does not fit is cut, and the
    // buffer's size returned with ERROR_INSUFFICIENT_BUFFER.
    std::snprintf(buffer, size, "%s", fake->modulePath.c_str());
    if (fake->modulePath.size() >= size) {
        PlatformSetLastError(kErrorInsufficientBuffer);
        return size;
    }
    return static_cast<uint32_t>(fake->modulePath.size());
}

size_t FakeErrorText(unsigned long, char *buffer, size_t size) {
    if (fake->errorText.size() + 1 > size) {
        return 0;
    }
    std::memcpy(buffer, fake->errorText.c_str(), fake->errorText.size() + 1);
    return fake->errorText.size();
}

void FakeSleep(unsigned ms) {
    fake->sleeps.push_back(ms);
    fake->Note("Sleep " + std::to_string(ms));
}

const ScmOps kFakeScm = {
    FakeStartDispatcher, FakeRegisterHandler, FakeSetStatus,      FakeOpenManager,
    FakeCreateService,   FakeOpenService,     FakeControlService, FakeQueryStatus,
    FakeDeleteService,   FakeCloseHandle,     FakeModuleFileName, nullptr,  // the system's texts
};

// The engine, as the service host sees it: start-up reports its second
// start-pending state, the engine reports RUNNING and runs until stopped.
void FakeServiceInit() {
    fake->Note("ServiceInit");
    UpdateServiceStatus(kServiceStartPending);
    PlatformSetLastError(0);
}

void FakeRundaemon() {
    fake->Note("rundaemon");
    if (!fake->engineRuns) {
        return;
    }
    UpdateServiceStatus(kServiceRunning);
    std::unique_lock<std::mutex> lock(fake->mutex);
    fake->changed.wait_for(lock, kPatience, [] { return fake->released; });
    fake->timeline.push_back("loop returned");
}

void FakeStopdaemon() {
    fake->Note("stopdaemon");
    UpdateServiceStatus(kServiceStopPending);
}

int FakeInit() {
    fake->Note("init");
    return 0;
}

const char *FakeLogDirFailure() {
    return fake->logDirFailure;
}

int FakeConsoleAddHandler(ConsoleHandler handler) {
    fake->Note(handler == ConsoleCtrlHandler ? "ConsoleAddHandler" : "ConsoleAddHandler ?");
    return 0;
}

const ServiceOps kFakeEngine = {FakeServiceInit,   FakeRundaemon,         FakeStopdaemon, FakeInit,
                                FakeLogDirFailure, FakeConsoleAddHandler, FakeSleep};

// The event log, into the same timeline.
EventSourceHandle FakeRegisterSource(const char *name) {
    fake->Note(std::string("event source ") + name);
    return 77;
}

int FakeReportEvent(EventSourceHandle, uint16_t type, uint16_t category, uint32_t event_id,
                    uint16_t count, const char *const *strings, uint32_t, const void *) {
    char head[64];
    std::snprintf(head, sizeof head, "event %u 0x%04X 0x%08X", type, category, event_id);
    std::string entry = head;
    for (uint16_t i = 0; i < count; ++i) {
        entry += std::string(" | ") + strings[i];
    }
    fake->Note(entry);
    return 1;
}

int FakeDeregisterSource(EventSourceHandle) {
    fake->Note("event source closed");
    return 1;
}

const EventLogOps kFakeEvents = {FakeRegisterSource, FakeReportEvent, FakeDeregisterSource};

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = new Fake();
        ServiceResetForTest();
        ScmSetForTest(&kFakeScm);
        ServiceSetForTest(&kFakeEngine);
        EventsResetForTest();
        EventLogSetForTest(&kFakeEvents);
        // LogInit reads the trace settings from this profile.
        testutil::WriteFile(dir_ / "win.ini", "[TARNWICK]\nDebugFlags=Trace,Warning,Error\n");
        testsupport::SetEnv("TARNWICK_PROFILE", (dir_ / "win.ini").c_str());
        catcher_ = new testutil::TraceCatcher(Trace | Warning | Error);
    }
    void TearDown() override {
        delete catcher_;
        LogResetForTest();
        testsupport::UnsetEnv("TARNWICK_PROFILE");
        EventLogSetForTest(nullptr);
        EventsResetForTest();
        ServiceSetForTest(nullptr);
        ScmSetForTest(nullptr);
        ServiceResetForTest();
        delete fake;
        fake = nullptr;
    }

    // Runs the program entry with args, returns its exit status; out gets
    // the standard output.
    int Entry(std::vector<std::string> args, std::string *out) {
        args.insert(args.begin(), "tarnwick");
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        int status = ServiceEntry(static_cast<int>(args.size()), argv.data());
        *out = ::testing::internal::GetCapturedStdout();
        return status;
    }

    std::string Captured(void (*run)()) {
        ::testing::internal::CaptureStdout();
        run();
        return ::testing::internal::GetCapturedStdout();
    }

    // The trace texts that one of the given strings begins.
    std::vector<std::string> Traced(const std::vector<std::string> &prefixes) const {
        std::vector<std::string> out;
        for (const std::string &t : catcher_->Texts()) {
            for (const std::string &p : prefixes) {
                if (t.compare(0, p.size(), p) == 0) {
                    out.push_back(t);
                    break;
                }
            }
        }
        return out;
    }

    testutil::TempDir dir_;
    testutil::TraceCatcher *catcher_ = nullptr;
};

const char kUsage[] =
    "TARNWICK -install          to install the service\n"
    "TARNWICK -remove           to remove the service\n"
    "TARNWICK -debug <params>   to run as a console app for debugging\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

// ------------------------------------------------------------ command line

struct SwitchCase {
    std::vector<std::string> args;
    const char *action;  // the first call it leads to
};

TEST_F(ServiceTest, FirstArgumentChoosesTheAction) {
    const SwitchCase cases[] = {
        {{"-install"}, "GetModuleFileName 512"},
        {{"/install"}, "GetModuleFileName 512"},
        {{"-INSTALL"}, "GetModuleFileName 512"},
        {{"/InStAlL", "-remove"}, "GetModuleFileName 512"},
        {{"-remove"}, "OpenSCManager 983103"},
        {{"/REMOVE", "extra"}, "OpenSCManager 983103"},
        {{"-debug"}, "ConsoleAddHandler"},
        {{"/Debug", "more", "args"}, "ConsoleAddHandler"},
        {{}, "dispatcher Tarnwick"},
        {{"install"}, "dispatcher Tarnwick"},
        {{"debug"}, "dispatcher Tarnwick"},
        {{"-"}, "dispatcher Tarnwick"},
        {{"/"}, "dispatcher Tarnwick"},
        {{""}, "dispatcher Tarnwick"},
        {{"-installx"}, "dispatcher Tarnwick"},
        {{"-removed"}, "dispatcher Tarnwick"},
        {{"-debugger"}, "dispatcher Tarnwick"},
        {{"-deb"}, "dispatcher Tarnwick"},
        {{"--install"}, "dispatcher Tarnwick"},
        {{"- install"}, "dispatcher Tarnwick"},
        {{"-start"}, "dispatcher Tarnwick"},
        {{"x", "-install"}, "dispatcher Tarnwick"},
    };
    for (const SwitchCase &c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        fake->timeline.clear();
        fake->engineRuns = false;
        fake->dispatcherError = kErrorFailedServiceControllerConnect;
        std::string out;
        Entry(c.args, &out);
        ASSERT_FALSE(fake->timeline.empty());
        EXPECT_EQ(fake->timeline.front(), c.action);
        bool dispatched = std::string(c.action) == "dispatcher Tarnwick";
        EXPECT_EQ(out.compare(0, sizeof kUsage - 1, kUsage) == 0, dispatched) << out;
        service.consoleMode = false;
    }
}

TEST_F(ServiceTest, FailedDispatcherIsReportedAndEndsWithFailure) {
    fake->dispatcherError = kErrorFailedServiceControllerConnect;
    std::string out;
    EXPECT_EQ(Entry({"-nothing"}, &out), 1);
    EXPECT_EQ(out, kUsage);
    const std::vector<std::string> expected = {
        "dispatcher Tarnwick",
        "event source Tarnwick",
        "event 1 0x0000 0x00000000 | Tarnwick error: 1063 | StartServiceCtrlDispatcher failed.",
        "event source closed",
    };
    EXPECT_EQ(fake->timeline, expected);
}

TEST_F(ServiceTest, DebugRunsTheConsoleWithoutTheManager) {
    fake->engineRuns = false;
    std::string out;
    EXPECT_EQ(Entry({"-debug", "a", "b"}, &out), 0);
    EXPECT_EQ(out, "Debugging Tarnwick.\n");
    EXPECT_TRUE(service.consoleMode);
    const std::vector<std::string> expected = {"ConsoleAddHandler", "ServiceInit", "rundaemon"};
    EXPECT_EQ(fake->timeline, expected);
    // The start-pending report is traced; no manager receives it.
    EXPECT_TRUE(fake->reports.empty());
    ASSERT_EQ(fake->statusHandles.size(), 1u);
    EXPECT_EQ(fake->statusHandles[0], kInvalidStatusHandle);
    EXPECT_TRUE(catcher_->Has("Debuging mode\n"));
    EXPECT_TRUE(catcher_->Has("UpdateServiceStatus(START_PENDING)\n"));
}

TEST_F(ServiceTest, DebugEndsWithFailureWhenTheLogDirectoryCannotBeEntered) {
    fake->engineRuns = false;
    fake->logDirFailure = "cannot enter log directory /nowhere: No such file or directory";
    std::string out;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Entry({"-debug"}, &out), 1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot enter log directory /nowhere: No such file or directory\n"),
              std::string::npos);
    // A console run reports nothing to the event log.
    for (const std::string &entry : fake->timeline) {
        EXPECT_EQ(entry.find("event"), std::string::npos) << entry;
    }
}

// ------------------------------------------------------------ installation

TEST_F(ServiceTest, InstallRegistersTheServiceWithItsParameters) {
    // The path in quotes, so that a blank in it cannot make the manager run
    // a shorter one; the longest that fits whole is 511 characters.
    const std::string longest = "/" + std::string(510, 'x');
    for (const std::string &path : {std::string("C:\\Program Files\\Tarnwick\\tarnwick.exe"),
                                    std::string("/opt/tarnwick/bin/tarnwick"), longest}) {
        fake->modulePath = path;
        EXPECT_EQ(Captured(InstallService), "Tarnwick installed.\n");
        EXPECT_EQ(fake->created.path, "\"" + path + "\"");
    }
    fake->timeline.clear();
    EXPECT_EQ(Captured(InstallService), "Tarnwick installed.\n");
    EXPECT_EQ(fake->created.name, "Tarnwick");
    EXPECT_EQ(fake->created.display, "Tarnwick");
    EXPECT_EQ(fake->created.access, kServiceAllAccess);
    EXPECT_EQ(fake->created.type, kServiceWin32OwnProcess);
    EXPECT_EQ(fake->created.start, kServiceDemandStart);
    EXPECT_EQ(fake->created.errorControl, kServiceErrorNormal);
    EXPECT_TRUE(fake->created.groupNull);
    EXPECT_TRUE(fake->created.tagNull);
    EXPECT_TRUE(fake->created.dependenciesEmpty);
    EXPECT_TRUE(fake->created.accountNull);  // LocalSystem
    EXPECT_TRUE(fake->created.passwordNull);
    const std::vector<std::string> expected = {"GetModuleFileName 512", "OpenSCManager 983103",
                                               "CreateService", "Close service", "Close manager"};
    EXPECT_EQ(fake->timeline, expected);
}

// The system's text of code as the messages show it, without its CR LF:
// Windows' own texts on both platforms (the POSIX stand-in's are pinned in
// posix/scm_test.cpp), whatever wording the system in use gives them.
std::string SystemText(unsigned long code) {
    char text[1024];
    size_t length = ScmErrorText(code, text, sizeof text);
    EXPECT_GT(length, 2u) << code;
    return length > 2 ? std::string(text, length - 2) : std::string();
}

struct InstallFailure {
    unsigned long Fake::*field;
    unsigned long code;
    std::string out;
    std::vector<std::string> calls;
    std::string modulePath = "/opt/tarnwick/bin/tarnwick";
};

TEST_F(ServiceTest, InstallFailuresAreToldWithTheSystemText) {
    const InstallFailure cases[] = {
        {&Fake::moduleError,
         kErrorInsufficientBuffer,
         "Unable to install Tarnwick - " + SystemText(kErrorInsufficientBuffer) + " (0x7a)\n",
         {"GetModuleFileName 512"}},
        // A path of 512 characters comes back cut: nothing is registered.
        {&Fake::moduleError,
         0,
         "Unable to install Tarnwick - " + SystemText(kErrorInsufficientBuffer) + " (0x7a)\n",
         {"GetModuleFileName 512"},
         "/" + std::string(511, 'x')},
        {&Fake::managerError,
         kErrorAccessDenied,
         "OpenSCManager failed - " + SystemText(kErrorAccessDenied) + " (0x5)\n",
         {"GetModuleFileName 512", "OpenSCManager 983103"}},
        {&Fake::createError,
         kErrorServiceExists,
         "CreateService failed - " + SystemText(kErrorServiceExists) + " (0x431)\n",
         {"GetModuleFileName 512", "OpenSCManager 983103", "CreateService", "Close manager"}},
        {&Fake::createError,
         kErrorDuplicateServiceName,
         "CreateService failed - " + SystemText(kErrorDuplicateServiceName) + " (0x436)\n",
         {"GetModuleFileName 512", "OpenSCManager 983103", "CreateService", "Close manager"}},
    };
    for (const InstallFailure &c : cases) {
        SCOPED_TRACE(c.out);
        fake->timeline.clear();
        fake->moduleError = fake->managerError = fake->createError = 0;
        fake->*c.field = c.code;
        fake->modulePath = c.modulePath;
        EXPECT_EQ(Captured(InstallService), c.out);
        EXPECT_EQ(fake->timeline, c.calls);
    }
}

TEST_F(ServiceTest, InstallFailureWithoutTextLeavesTheTextEmpty) {
    fake->createError = 0xE0001234;  // no system text
    EXPECT_EQ(Captured(InstallService), "CreateService failed - \n");
}

// ----------------------------------------------------------------- removal

TEST_F(ServiceTest, RemoveWithoutAWait) {
    const std::vector<std::string> deleted = {"OpenSCManager 983103", "OpenService Tarnwick 983551",
                                              "ControlService 1",     "DeleteService",
                                              "Close service",        "Close manager"};
    const struct {
        unsigned long managerError, openError, controlError, deleteError;
        std::string out;
        std::vector<std::string> calls;
    } cases[] = {
        {kErrorAccessDenied,
         0,
         0,
         0,
         "OpenSCManager failed - " + SystemText(kErrorAccessDenied) + " (0x5)\n",
         {"OpenSCManager 983103"}},
        {0,
         kErrorServiceDoesNotExist,
         0,
         0,
         "OpenService failed - " + SystemText(kErrorServiceDoesNotExist) + " (0x424)\n",
         {"OpenSCManager 983103", "OpenService Tarnwick 983551", "Close manager"}},
        // A stopped service is deleted at once.
        {0, 0, kErrorServiceNotActive, 0, "Tarnwick removed.\n", deleted},
        {0, 0, kErrorServiceNotActive, kErrorServiceMarkedForDelete,
         "DeleteService failed - " + SystemText(kErrorServiceMarkedForDelete) + " (0x430)\n",
         deleted},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        fake->timeline.clear();
        fake->managerError = c.managerError;
        fake->openError = c.openError;
        fake->controlError = c.controlError;
        fake->deleteError = c.deleteError;
        EXPECT_EQ(Captured(RemoveService), c.out);
        EXPECT_EQ(fake->timeline, c.calls);
        EXPECT_TRUE(fake->sleeps.empty());
    }
}

struct RemoveCase {
    const char *name;
    uint32_t controlState;
    std::vector<uint32_t> reads;
    const char *out;
    size_t sleeps;
};

TEST_F(ServiceTest, RemoveOfARunningServiceWaitsWhileItStops) {
    const std::string thirty_dots(30, '.');
    const std::string stuck =
        "Stopping Tarnwick." + thirty_dots + "\nTarnwick failed to stop.\nTarnwick removed.\n";
    const RemoveCase cases[] = {
        {"stopped within the first second",
         kServiceStopPending,
         {kServiceStopped},
         "Stopping Tarnwick.\nTarnwick stopped.\nTarnwick removed.\n",
         1},
        {"stopped when asked",
         kServiceStopped,
         {kServiceStopped},
         "Stopping Tarnwick.\nTarnwick stopped.\nTarnwick removed.\n",
         1},
        {"three seconds stopping",
         kServiceStopPending,
         {kServiceStopPending, kServiceStopPending, kServiceStopPending, kServiceStopped},
         "Stopping Tarnwick....\nTarnwick stopped.\nTarnwick removed.\n",
         4},
        {"back to running",
         kServiceStopPending,
         {kServiceStopPending, kServiceRunning},
         "Stopping Tarnwick..\nTarnwick failed to stop.\nTarnwick removed.\n",
         2},
        // A failed read ends the wait; the state last received counts.
        {"read fails, last stopping",
         kServiceStopPending,
         {kServiceStopPending},
         "Stopping Tarnwick..\nTarnwick failed to stop.\nTarnwick removed.\n",
         2},
        {"read fails at once, stopped when asked",
         kServiceStopped,
         {},
         "Stopping Tarnwick.\nTarnwick stopped.\nTarnwick removed.\n",
         1},
        {"read fails at once, stopping when asked",
         kServiceStopPending,
         {},
         "Stopping Tarnwick.\nTarnwick failed to stop.\nTarnwick removed.\n",
         1},
        // Stuck in STOP_PENDING: given up after 30 seconds, deleted all the same.
        {"stuck", kServiceStopPending, std::vector<uint32_t>(100, kServiceStopPending),
         stuck.c_str(), 30},
    };
    for (const RemoveCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake->timeline.clear();
        fake->sleeps.clear();
        fake->controlState = c.controlState;
        fake->queryStates = c.reads;
        EXPECT_EQ(Captured(RemoveService), c.out);
        EXPECT_EQ(fake->sleeps, std::vector<unsigned>(c.sleeps, 1000u));
        // The first read comes a second after the stop request.
        auto control = std::find(fake->timeline.begin(), fake->timeline.end(), "ControlService 1");
        ASSERT_NE(control, fake->timeline.end());
        EXPECT_EQ(*(control + 1), "Sleep 1000");
        EXPECT_EQ(fake->timeline.back(), "Close manager");
    }
}

// ------------------------------------------------------------- error texts

TEST_F(ServiceTest, LastErrorTextFormAndThe14ByteRule) {
    char buffer[256];
    // The text with its CR LF is length bytes (39 on Windows): length + 14
    // bytes of room are needed.
    const std::string text = SystemText(kErrorServiceExists);
    const size_t length = text.size() + 2;
    const std::string shown = text + " (0x431)";
    PlatformSetLastError(kErrorServiceExists);
    EXPECT_EQ(LastErrorText(buffer, sizeof buffer), shown);
    std::memset(buffer, 'x', sizeof buffer);
    PlatformSetLastError(kErrorServiceExists);
    EXPECT_EQ(LastErrorText(buffer, length + 14), shown);
    std::memset(buffer, 'x', sizeof buffer);
    PlatformSetLastError(kErrorServiceExists);
    EXPECT_STREQ(LastErrorText(buffer, length + 13), "");
    // No text at all.
    PlatformSetLastError(0xE0001234);
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_STREQ(LastErrorText(buffer, sizeof buffer), "");
    EXPECT_EQ(LastErrorText(buffer, sizeof buffer), buffer);
}

TEST_F(ServiceTest, LastErrorTextRoomCoversEightHexDigits) {
    // The longest code: " (0xffffffff)" and the terminator fill the 14 bytes.
    ScmOps scm = kFakeScm;
    scm.errorText = FakeErrorText;
    ScmSetForTest(&scm);
    fake->errorText = "Text.\r\n";
    PlatformSetLastError(0xFFFFFFFFul);
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_STREQ(LastErrorText(buffer, 7 + 14), "Text. (0xffffffff)");
    EXPECT_STREQ(LastErrorText(buffer, 7 + 13), "");
    // A text that fills the 256-byte buffer but for the room: 242 bytes.
    fake->errorText = std::string(240, 'a') + "\r\n";
    PlatformSetLastError(5);
    char big[256];
    EXPECT_EQ(std::string(LastErrorText(big, sizeof big)), std::string(240, 'a') + " (0x5)");
    fake->errorText = std::string(241, 'a') + "\r\n";
    EXPECT_STREQ(LastErrorText(big, sizeof big), "");
}

// ------------------------------------------------------- service lifecycle

TEST_F(ServiceTest, AWholeStartStopCycleSendsReportsOneToSeven) {
    fake->controls = {kServiceControlStop};
    std::string out;
    ASSERT_EQ(Entry({}, &out), 0);
    std::vector<std::string> reports;
    for (const ServiceStatusRecord &r : fake->reports) {
        EXPECT_EQ(r.serviceType, kServiceWin32OwnProcess);
        EXPECT_EQ(r.win32ExitCode, 0u);
        EXPECT_EQ(r.serviceSpecificExitCode, 0u);
        reports.push_back(ReportText(r));
    }
    const std::vector<std::string> expected_reports = {
        "report 2 cp 1 hint 5000 accepts 0", "report 2 cp 2 hint 5000 accepts 0",
        "report 4 cp 0 hint 0 accepts 1",    "report 3 cp 1 hint 5000 accepts 1",
        "report 3 cp 2 hint 5000 accepts 1", "report 1 cp 0 hint 0 accepts 1",
        "report 1 cp 0 hint 0 accepts 1",
    };
    EXPECT_EQ(reports, expected_reports);

    // Where the events and engine calls fall between the reports.
    const std::vector<std::string> expected = {
        "dispatcher Tarnwick",
        "event source Tarnwick",  // the standing source
        "register Tarnwick",
        "event 1 0x8001 0x200003E8",
        "report 2 cp 1 hint 5000 accepts 0",
        "ServiceInit",
        "report 2 cp 2 hint 5000 accepts 0",
        "event source Tarnwick",
        "event 1 0x0000 0x00000000 | Tarnwick error: 0 | Trying to start tarnwick",
        "event source closed",
        "rundaemon",
        "report 4 cp 0 hint 0 accepts 1",
        "report 3 cp 1 hint 5000 accepts 1",
        "stopdaemon",
        "report 3 cp 2 hint 5000 accepts 1",
        "report 1 cp 0 hint 0 accepts 1",
        "event source closed",  // EventLogClose, by the control handler
        "loop returned",
        "report 1 cp 0 hint 0 accepts 1",
    };
    EXPECT_EQ(fake->timeline, expected);

    const std::vector<std::string> trace = {
        "UpdateServiceStatus(START_PENDING)\n", "UpdateServiceStatus(START_PENDING)\n",
        "UpdateServiceStatus(RUNNING)\n",       "UpdateServiceStatus(STOP_PENDING)\n",
        "UpdateServiceStatus(STOP_PENDING)\n",  "UpdateServiceStatus(STOPPED)\n",
        "UpdateServiceStatus(STOPPED)\n",
    };
    EXPECT_EQ(Traced({"UpdateServiceStatus("}), trace);
    // Once the service thread has finished the handle is none: later reports
    // are not sent, and not traced.
    EXPECT_EQ(service.statusHandle, 0u);
    catcher_->Clear();
    EXPECT_EQ(UpdateServiceStatus(kServiceRunning), 0);
    EXPECT_TRUE(catcher_->Texts().empty());
    EXPECT_EQ(fake->reports.size(), 7u);
}

TEST_F(ServiceTest, ControlHandlerCodesOneByOne) {
    // A running service, as ServiceMain leaves it.
    service.statusHandle = kStatus;
    service.status.serviceType = kServiceWin32OwnProcess;
    UpdateServiceStatus(kServiceRunning);
    fake->timeline.clear();
    catcher_->Clear();

    ServiceCtrlHandler(kServiceControlInterrogate);
    EXPECT_TRUE(fake->timeline.empty());
    EXPECT_EQ(catcher_->Texts(), std::vector<std::string>{"interrogating service.....\n"});

    catcher_->Clear();
    ServiceCtrlHandler(128);
    EXPECT_EQ(fake->timeline, std::vector<std::string>{"init"});
    EXPECT_EQ(catcher_->Texts(), std::vector<std::string>{"re-initing service.....\n"});
    EXPECT_EQ(service.status.currentState, kServiceRunning);

    for (uint32_t code : {0u, 2u, 3u, 5u, 6u, 10u, 127u, 129u, 200u, 255u, 256u, 0xFFFFFFFFu}) {
        fake->timeline.clear();
        catcher_->Clear();
        ServiceCtrlHandler(code);
        EXPECT_TRUE(fake->timeline.empty()) << code;
        EXPECT_TRUE(catcher_->Texts().empty()) << code;
    }
    EXPECT_EQ(fake->reports.size(), 1u);

    fake->timeline.clear();
    ServiceCtrlHandler(kServiceControlStop);
    const std::vector<std::string> expected = {"report 3 cp 1 hint 5000 accepts 1", "stopdaemon",
                                               "report 3 cp 2 hint 5000 accepts 1",
                                               "report 1 cp 0 hint 0 accepts 1"};
    EXPECT_EQ(fake->timeline, expected);  // no event source was open: nothing to close
}

TEST_F(ServiceTest, LogDirectoryThatCannotBeEnteredGivesReportsOneTwoSeven) {
    fake->engineRuns = false;
    fake->logDirFailure = "cannot enter log directory /nowhere: No such file or directory";
    std::string out;
    ASSERT_EQ(Entry({}, &out), 0);
    const std::vector<std::string> expected = {
        "dispatcher Tarnwick",
        "event source Tarnwick",
        "register Tarnwick",
        "event 1 0x8001 0x200003E8",
        "report 2 cp 1 hint 5000 accepts 0",
        "ServiceInit",
        "report 2 cp 2 hint 5000 accepts 0",
        "event source Tarnwick",
        "event 1 0x0000 0x00000000 | Tarnwick error: 0 | Trying to start tarnwick",
        "event source closed",
        "rundaemon",
        "event source Tarnwick",
        "event 1 0x0000 0x00000000 | Tarnwick error: 0 | cannot enter log directory /nowhere: "
        "No such file or directory",
        "event source closed",
        "report 1 cp 0 hint 0 accepts 1",
    };
    EXPECT_EQ(fake->timeline, expected);
}

TEST_F(ServiceTest, RealEngineTracesTheLogDirectoryFailure) {
    ServiceOps hooks = kFakeEngine;
    hooks.rundaemon = rundaemon;
    hooks.logDirFailure = LogDirFailure;
    ServiceSetForTest(&hooks);
    std::string missing = dir_ / "missing";
    std::snprintf(settings.logdir, sizeof settings.logdir, "%s", missing.c_str());
    // The report carries the last error the failed change of directory left:
    // none on POSIX, the system's code on Windows.
    PlatformSetLastError(0);
    ASSERT_NE(ChangeDirectory(missing.c_str()), 0);
    const std::string code = std::to_string(PlatformLastError());
    PlatformSetLastError(0);
    std::string out;
    ASSERT_EQ(Entry({}, &out), 0);
    SettingsResetForTest();
    std::string sentence = "cannot enter log directory " + missing + ": No such file or directory";
    EXPECT_EQ(Traced({"cannot enter"}), std::vector<std::string>{sentence + "\n"});
    EXPECT_EQ(fake->reports.size(), 3u);
    EXPECT_NE(std::find(fake->timeline.begin(), fake->timeline.end(),
                        "event 1 0x0000 0x00000000 | Tarnwick error: " + code + " | " + sentence),
              fake->timeline.end());
}

// The real engine's start and stop.  A stop during the start-up ends the run
// in order: the timer pool never starts and the log directory (missing here)
// is never tried.  A stop flag left from before the run does not count.
struct EarlyStopCase {
    std::vector<std::string> args;
    bool stop;
    int status;
    std::string out;
    size_t logDirTried;
};

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
    const EarlyStopCase cases[] = {
        {{"-debug"}, false, 1, "Debugging Tarnwick.\n", 1},
        {{"-debug"}, true, 0, "Debugging Tarnwick.\nStopping Tarnwick.\n", 0},
        {{}, true, 0, kUsage, 0},
    };
    for (const EarlyStopCase &c : cases) {
        SCOPED_TRACE(c.out);
        fake->stopInInit = c.stop;
        engine.stoprequested = 1;
        std::string out;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(Entry(c.args, &out), c.status);
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(Traced({"cannot enter"}).size(), c.logDirTried);
        ServiceResetForTest();
        catcher_->Clear();
        EngineResetForTest();
    }
    EXPECT_EQ(ReportText(fake->reports.back()), "report 1 cp 0 hint 0 accepts 1");
    SettingsResetForTest();
    TimerPoolResetForTest();
}

TEST_F(ServiceTest, EventSourceThatCannotBeOpenedEndsTheServiceAtOnce) {
    EventLogOps failing = kFakeEvents;
    failing.registerSource = [](const char *) -> EventSourceHandle {
        fake->Note("event source refused");
        PlatformSetLastError(kErrorAccessDenied);
        return kNoEventSource;
    };
    EventLogSetForTest(&failing);
    std::string out;
    ASSERT_EQ(Entry({}, &out), 0);
    const std::vector<std::string> expected = {"dispatcher Tarnwick", "event source refused"};
    EXPECT_EQ(fake->timeline, expected);
    EXPECT_TRUE(catcher_->Has("Could not initialize event driver\n"));
    // The STOPPED report goes out with the invalid handle, and fails.
    EXPECT_EQ(fake->statusHandles, std::vector<ServiceStatusHandle>{kInvalidStatusHandle});
    EXPECT_EQ(Traced({"UpdateServiceStatus("}),
              std::vector<std::string>{"UpdateServiceStatus(STOPPED)\n"});
}

TEST_F(ServiceTest, FailedRegistrationEndsTheServiceWithoutReports) {
    fake->registerError = kErrorServiceDoesNotExist;
    std::string out;
    ASSERT_EQ(Entry({}, &out), 0);
    const std::vector<std::string> expected = {"dispatcher Tarnwick", "event source Tarnwick",
                                               "register Tarnwick"};
    EXPECT_EQ(fake->timeline, expected);
    EXPECT_TRUE(fake->statusHandles.empty());
    EXPECT_TRUE(Traced({"UpdateServiceStatus("}).empty());
    EXPECT_EQ(service.statusHandle, 0u);
}

// ---------------------------------------------------------- status reports

TEST_F(ServiceTest, CheckPointsRunOnThroughPendingStates) {
    service.statusHandle = kStatus;
    struct Step {
        uint32_t state;
        const char *report;
    };
    const Step steps[] = {
        {kServiceStartPending, "report 2 cp 1 hint 5000 accepts 0"},
        {kServiceStartPending, "report 2 cp 2 hint 5000 accepts 0"},
        {kServiceStopPending, "report 3 cp 3 hint 5000 accepts 1"},
        {kServiceRunning, "report 4 cp 0 hint 0 accepts 1"},
        {kServiceStopPending, "report 3 cp 1 hint 5000 accepts 1"},
        {kServiceStartPending, "report 2 cp 2 hint 5000 accepts 0"},
        {kServiceStopped, "report 1 cp 0 hint 0 accepts 1"},
        {kServicePaused, "report 7 cp 0 hint 0 accepts 1"},
    };
    for (const Step &s : steps) {
        EXPECT_EQ(UpdateServiceStatus(s.state), 1);
        EXPECT_EQ(ReportText(fake->reports.back()), s.report);
    }
    // A state outside the four is sent without a trace line.
    EXPECT_EQ(Traced({"UpdateServiceStatus("}).size(), 7u);
}

TEST_F(ServiceTest, ReportsWithNoHandleOrTheInvalidOne) {
    service.statusHandle = 0;
    EXPECT_EQ(UpdateServiceStatus(kServiceRunning), 0);
    EXPECT_TRUE(fake->statusHandles.empty());
    EXPECT_TRUE(catcher_->Texts().empty());
    EXPECT_EQ(service.status.currentState, 0u);

    service.statusHandle = kInvalidStatusHandle;
    EXPECT_EQ(UpdateServiceStatus(kServiceStopPending), 0);
    EXPECT_EQ(fake->statusHandles, std::vector<ServiceStatusHandle>{kInvalidStatusHandle});
    EXPECT_EQ(catcher_->Texts(), std::vector<std::string>{"UpdateServiceStatus(STOP_PENDING)\n"});
    EXPECT_EQ(service.status.checkPoint, 1u);
}

// ------------------------------------------------------------- console run

TEST_F(ServiceTest, ConsoleEventsStopTheEngine) {
    for (unsigned long event : {kCtrlCEvent, kCtrlBreakEvent}) {
        fake->timeline.clear();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(ConsoleCtrlHandler(event), 1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Stopping Tarnwick.\n");
        EXPECT_EQ(fake->timeline.front(), "stopdaemon");
    }
    for (unsigned long event : {kCtrlCloseEvent, 5ul, 6ul}) {
        fake->timeline.clear();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(ConsoleCtrlHandler(event), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(fake->timeline.empty());
    }
}

}  // namespace
