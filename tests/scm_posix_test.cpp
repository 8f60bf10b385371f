// The POSIX service manager: the database folder, records and status, the
// Windows results of each call, the dispatcher and its control socket run
// in-process, the texts, and the tarnwick-sc commands that need no process
// of their own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/scm_command.h"
#include "platform/posix/scm_store.h"
#include "platform/scm.h"
#include "test_util.h"

namespace {

constexpr auto kPatience = std::chrono::seconds(10);

class ScmPosix : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = dir_ / "scm";
        setenv("TARNWICK_SCM", folder_.c_str(), 1);
        unsetenv("TARNWICK_SCM_SERVICE");
    }
    void TearDown() override {
        unsetenv("TARNWICK_SCM");
        unsetenv("TARNWICK_SCM_SERVICE");
    }

    // Creates a service; returns its handle (the manager is closed).
    ScmHandle Create(const char *name, const char *display = nullptr,
                     const char *path = "/usr/sbin/tarnwick") {
        ScmHandle m = ScmOpenManager(kScManagerAllAccess);
        EXPECT_NE(m, 0u);
        ScmHandle s = ScmCreateService(m, name, display, kServiceAllAccess, kServiceWin32OwnProcess,
                                       kServiceDemandStart, kServiceErrorNormal, path, nullptr,
                                       nullptr, "", nullptr, nullptr);
        unsigned long code = LastError();
        ScmCloseHandle(m);
        SetLastError(code);
        return s;
    }

    std::string File(const std::string &name) const {
        return testutil::ReadFile(folder_ + "/" + name);
    }
    bool Exists(const std::string &name) const {
        struct stat st;
        return stat((folder_ + "/" + name).c_str(), &st) == 0;
    }

    // Runs tarnwick-sc with args; returns its exit status, out its output.
    int Command(std::vector<std::string> args, std::string *out) {
        args.insert(args.begin(), "tarnwick-sc");
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        int status = ScmCommand(static_cast<int>(args.size()), argv.data());
        *out = ::testing::internal::GetCapturedStdout();
        return status;
    }

    testutil::TempDir dir_;
    std::string folder_;
};

std::string StatusText(const ServiceStatusRecord &s) {
    char text[128];
    std::snprintf(text, sizeof text, "%u %u %u %u %u %u %u", s.serviceType, s.currentState,
                  s.controlsAccepted, s.win32ExitCode, s.serviceSpecificExitCode, s.checkPoint,
                  s.waitHint);
    return text;
}

TEST_F(ScmPosix, ManagerWithCreateRightsMakesTheFolder) {
    ScmHandle m = ScmOpenManager(kScManagerAllAccess);
    ASSERT_NE(m, 0u);
    struct stat st;
    ASSERT_EQ(stat(folder_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(ScmCloseHandle(m), 1);
    EXPECT_EQ(ScmCloseHandle(m), 0);
    EXPECT_EQ(LastError(), kScmErrorInvalidHandle);
    EXPECT_EQ(ScmCloseHandle(0), 0);
}

TEST_F(ScmPosix, ConnectOnlyReadsAnEmptyDatabase) {
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    ASSERT_NE(m, 0u);
    struct stat st;
    EXPECT_NE(stat(folder_.c_str(), &st), 0);  // not made
    EXPECT_EQ(ScmOpenService(m, "Tarnwick", kServiceAllAccess), 0u);
    EXPECT_EQ(LastError(), kScmErrorServiceDoesNotExist);
    // Nor may it create services.
    EXPECT_EQ(ScmCreateService(m, "Tarnwick", nullptr, kServiceAllAccess, kServiceWin32OwnProcess,
                               kServiceDemandStart, kServiceErrorNormal, "/bin/true", nullptr,
                               nullptr, "", nullptr, nullptr),
              0u);
    EXPECT_EQ(LastError(), kScmErrorAccessDenied);
    ScmCloseHandle(m);
}

TEST_F(ScmPosix, FolderThatCannotBeMadeIsAccessDenied) {
    testutil::WriteFile(dir_ / "file", "x");
    setenv("TARNWICK_SCM", (dir_ / "file/scm").c_str(), 1);
    EXPECT_EQ(ScmOpenManager(kScManagerAllAccess), 0u);
    EXPECT_EQ(LastError(), kScmErrorAccessDenied);
}

TEST_F(ScmPosix, CreateWritesTheRecord) {
    ScmHandle s = Create("Tarnwick", "Tarnwick");
    ASSERT_NE(s, 0u);
    EXPECT_EQ(File("tarnwick.service"),
              "Name=Tarnwick\nDisplayName=Tarnwick\nType=16\nStartType=3\nErrorControl=1\n"
              "BinaryPath=/usr/sbin/tarnwick\nGroup=\nDependencies=\nAccount=LocalSystem\n"
              "DeletePending=0\n");
    ServiceStatusRecord status;
    ASSERT_EQ(ScmQueryStatus(s, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 0 0 0 0 0");
    ScmCloseHandle(s);
}

TEST_F(ScmPosix, SecondCreateOfANameOrDisplayNameFails) {
    ScmHandle s = Create("Tarnwick");
    ASSERT_NE(s, 0u);
    ScmCloseHandle(s);
    struct Case {
        const char *name;
        const char *display;
        unsigned long code;
    };
    const Case cases[] = {
        {"Tarnwick", nullptr, kScmErrorServiceExists},
        {"TARNWICK", "Other", kScmErrorServiceExists},
        {"Other", "tarnwick", kScmErrorDuplicateServiceName},
        {"Other", nullptr, 0},
        {"Third", "other", kScmErrorDuplicateServiceName},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScmHandle h = Create(c.name, c.display);
        if (c.code == 0) {
            EXPECT_NE(h, 0u);
            ScmCloseHandle(h);
        } else {
            EXPECT_EQ(h, 0u);
            EXPECT_EQ(LastError(), c.code);
        }
    }
}

TEST_F(ScmPosix, CreateRefusesBadNamesAndParameters) {
    ScmHandle m = ScmOpenManager(kScManagerAllAccess);
    ASSERT_NE(m, 0u);
    struct Case {
        std::string name;
        const char *path;
        uint32_t type;
        uint32_t start;
        unsigned long code;
    };
    const Case cases[] = {
        {"", "/bin/x", kServiceWin32OwnProcess, kServiceDemandStart, kScmErrorInvalidName},
        {"a/b", "/bin/x", kServiceWin32OwnProcess, kServiceDemandStart, kScmErrorInvalidName},
        {"a\\b", "/bin/x", kServiceWin32OwnProcess, kServiceDemandStart, kScmErrorInvalidName},
        {"a\nb", "/bin/x", kServiceWin32OwnProcess, kServiceDemandStart, kScmErrorInvalidName},
        {"..", "/bin/x", kServiceWin32OwnProcess, kServiceDemandStart, kScmErrorInvalidName},
        {std::string(201, 'n'), "/bin/x", kServiceWin32OwnProcess, kServiceDemandStart,
         kScmErrorInvalidName},
        {"ok", nullptr, kServiceWin32OwnProcess, kServiceDemandStart, kScmErrorInvalidParameter},
        {"ok", "", kServiceWin32OwnProcess, kServiceDemandStart, kScmErrorInvalidParameter},
        {"ok", "/bin/x\n", kServiceWin32OwnProcess, kServiceDemandStart, kScmErrorInvalidParameter},
        {"ok", "/bin/x", 0x20, kServiceDemandStart, kScmErrorInvalidParameter},
        {"ok", "/bin/x", kServiceWin32OwnProcess, 0, kScmErrorInvalidParameter},
        {"ok", "/bin/x", kServiceWin32OwnProcess, 5, kScmErrorInvalidParameter},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(
            ScmCreateService(m, c.name.c_str(), nullptr, kServiceAllAccess, c.type, c.start,
                             kServiceErrorNormal, c.path, nullptr, nullptr, "", nullptr, nullptr),
            0u);
        EXPECT_EQ(LastError(), c.code);
    }
    // A name of 200 characters is the longest.
    std::string longest(200, 'n');
    ScmHandle s = ScmCreateService(
        m, longest.c_str(), nullptr, kServiceAllAccess, kServiceWin32OwnProcess,
        kServiceDemandStart, kServiceErrorNormal, "/bin/x", nullptr, nullptr, "", nullptr, nullptr);
    EXPECT_NE(s, 0u);
    ScmCloseHandle(s);
    EXPECT_EQ(ScmCreateService(0x1234, "x", nullptr, kServiceAllAccess, kServiceWin32OwnProcess,
                               kServiceDemandStart, kServiceErrorNormal, "/bin/x", nullptr, nullptr,
                               "", nullptr, nullptr),
              0u);
    EXPECT_EQ(LastError(), kScmErrorInvalidHandle);
    ScmCloseHandle(m);
}

TEST_F(ScmPosix, StoppedServiceRefusesControlsAndIsDeletedAtOnce) {
    ScmHandle s = Create("Tarnwick");
    ASSERT_NE(s, 0u);
    ServiceStatusRecord status = {};
    EXPECT_EQ(ScmControlService(s, kServiceControlStop, &status), 0);
    EXPECT_EQ(LastError(), kScmErrorServiceNotActive);
    EXPECT_EQ(status.currentState, kServiceStopped);
    EXPECT_EQ(ScmDeleteService(s), 1);
    EXPECT_FALSE(Exists("tarnwick.service"));
    EXPECT_EQ(ScmDeleteService(s), 0);
    EXPECT_EQ(LastError(), kScmErrorServiceMarkedForDelete);
    ScmCloseHandle(s);
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    EXPECT_EQ(ScmOpenService(m, "tarnwick", kServiceAllAccess), 0u);
    EXPECT_EQ(LastError(), kScmErrorServiceDoesNotExist);
    ScmCloseHandle(m);
}

TEST_F(ScmPosix, BadHandles) {
    ServiceStatusRecord status;
    for (ScmHandle h : {ScmHandle{0}, ScmHandle{0x1234}, ~ScmHandle{0}}) {
        EXPECT_EQ(ScmQueryStatus(h, &status), 0);
        EXPECT_EQ(LastError(), kScmErrorInvalidHandle);
        EXPECT_EQ(ScmControlService(h, 1, &status), 0);
        EXPECT_EQ(LastError(), kScmErrorInvalidHandle);
        EXPECT_EQ(ScmDeleteService(h), 0);
        EXPECT_EQ(LastError(), kScmErrorInvalidHandle);
        EXPECT_EQ(ScmOpenService(h, "x", kServiceAllAccess), 0u);
        EXPECT_EQ(LastError(), kScmErrorInvalidHandle);
    }
    // A manager handle is no service handle.
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    EXPECT_EQ(ScmQueryStatus(m, &status), 0);
    EXPECT_EQ(LastError(), kScmErrorInvalidHandle);
    ScmCloseHandle(m);
}

TEST_F(ScmPosix, DispatcherOutsideTheManagerFailsWith1063) {
    auto main_function = [](uint32_t, char **) {};
    const ScmTableEntry table[] = {{"Tarnwick", main_function}, {nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(LastError(), kScmErrorFailedServiceControllerConnect);
    // Named by the environment, but not installed.
    setenv("TARNWICK_SCM_SERVICE", "Tarnwick", 1);
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(LastError(), kScmErrorFailedServiceControllerConnect);
    const ScmTableEntry empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(empty), 0);
    EXPECT_EQ(LastError(), kScmErrorInvalidParameter);
}

TEST_F(ScmPosix, NoDispatcherNoHandler) {
    EXPECT_EQ(ScmRegisterHandler("Tarnwick", [](uint32_t) {}), 0u);
    EXPECT_EQ(LastError(), kScmErrorServiceDoesNotExist);
    ServiceStatusRecord status = {kServiceWin32OwnProcess, kServiceRunning, 1, 0, 0, 0, 0};
    for (ServiceStatusHandle h : {ServiceStatusHandle{0}, kInvalidStatusHandle,
                                  ServiceStatusHandle{0x5C5C}, ServiceStatusHandle{7}}) {
        EXPECT_EQ(ScmSetStatus(h, &status), 0);
        EXPECT_EQ(LastError(), kScmErrorInvalidHandle);
    }
}

// A service run in-process: its main function, its handler and the test's
// view of them.
struct Service {
    std::mutex mutex;
    std::condition_variable changed;
    ServiceStatusHandle handle = 0;
    std::vector<uint32_t> controls;
    bool starting = false;  // reported START_PENDING
    bool go = false;        // the test lets it report RUNNING
    bool stopped = false;   // the stop control was handled
    bool reportOnReturn = true;
    uint32_t argc = 0;
    std::string argv0;

    void Report(uint32_t state, uint32_t checkpoint, uint32_t accepted) {
        ServiceStatusRecord s = {
            kServiceWin32OwnProcess,
            state,
            accepted,
            0,
            0,
            checkpoint,
            state == kServiceStartPending || state == kServiceStopPending ? 5000u : 0u};
        EXPECT_EQ(ScmSetStatus(handle, &s), 1);
    }
    template <typename Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, pred);
    }
    void Set(bool Service::*flag) {
        std::lock_guard<std::mutex> guard(mutex);
        this->*flag = true;
        changed.notify_all();
    }
};
Service *running = nullptr;

void ServiceHandler(uint32_t control) {
    {
        std::lock_guard<std::mutex> guard(running->mutex);
        running->controls.push_back(control);
    }
    if (control == kServiceControlStop) {
        running->Report(kServiceStopPending, 1, kServiceAcceptStop);
        running->Report(kServiceStopped, 0, kServiceAcceptStop);
        running->Set(&Service::stopped);
    }
}

void ServiceMainFunction(uint32_t argc, char **argv) {
    running->argc = argc;
    running->argv0 = argv[0];
    running->handle = ScmRegisterHandler("Tarnwick", ServiceHandler);
    ASSERT_NE(running->handle, 0u);
    running->Report(kServiceStartPending, 1, 0);
    running->Set(&Service::starting);
    running->WaitFor([] { return running->go; });
    running->Report(kServiceRunning, 0, kServiceAcceptStop);
    running->WaitFor([] { return running->stopped; });
    if (running->reportOnReturn) {
        running->Report(kServiceStopped, 0, kServiceAcceptStop);
    }
}

class ScmDispatcher : public ScmPosix {
  protected:
    void SetUp() override {
        ScmPosix::SetUp();
        running = new Service();
        ScmHandle s = Create("Tarnwick");
        ASSERT_NE(s, 0u);
        service_ = s;
        setenv("TARNWICK_SCM_SERVICE", "Tarnwick", 1);
    }
    void TearDown() override {
        if (dispatcher_.joinable()) {
            running->Set(&Service::go);
            running->Set(&Service::stopped);
            dispatcher_.join();
        }
        ScmCloseHandle(service_);
        delete running;
        running = nullptr;
        ScmPosix::TearDown();
    }
    void StartDispatcher() {
        dispatcher_ = std::thread([this] {
            static const ScmTableEntry table[] = {{"Tarnwick", ServiceMainFunction},
                                                  {nullptr, nullptr}};
            result_ = ScmStartDispatcher(table);
        });
    }
    int Join() {
        dispatcher_.join();
        return result_;
    }

    ScmHandle service_ = 0;
    std::thread dispatcher_;
    int result_ = -1;
};

TEST_F(ScmDispatcher, ControlsReachTheHandlerAsTheManagerAdmitsThem) {
    StartDispatcher();
    ASSERT_TRUE(running->WaitFor([] { return running->starting; }));
    EXPECT_EQ(running->argc, 1u);
    EXPECT_EQ(running->argv0, "Tarnwick");

    // Starting: no control is accepted; the channel is the owner's only.
    ServiceStatusRecord status = {};
    EXPECT_EQ(ScmControlService(service_, kServiceControlInterrogate, &status), 0);
    EXPECT_EQ(LastError(), kScmErrorServiceCannotAcceptCtrl);
    EXPECT_EQ(StatusText(status), "16 2 0 0 0 1 5000");
    struct stat st;
    ASSERT_EQ(stat((folder_ + "/tarnwick.sock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(ScmQueryStatus(service_, &status), 1);
    EXPECT_EQ(StatusText(status), "16 2 0 0 0 1 5000");

    running->Set(&Service::go);
    ASSERT_TRUE(running->WaitFor([] { return running->go; }));
    // Wait for the RUNNING report through the manager's view.
    for (auto end = std::chrono::steady_clock::now() + kPatience;
         ScmQueryStatus(service_, &status) == 1 && status.currentState != kServiceRunning &&
         std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(status.currentState, kServiceRunning);

    struct Case {
        uint32_t control;
        unsigned long code;  // 0: delivered
    };
    const Case cases[] = {
        {kServiceControlInterrogate, 0},
        {128, 0},
        {200, 0},
        {255, 0},
        {kServiceControlPause, kScmErrorInvalidServiceControl},
        {kServiceControlContinue, kScmErrorInvalidServiceControl},
        {6, kScmErrorInvalidServiceControl},
        {7, kScmErrorInvalidServiceControl},
        {0, kScmErrorInvalidParameter},
        {kServiceControlShutdown, kScmErrorInvalidParameter},
        {11, kScmErrorInvalidParameter},
        {127, kScmErrorInvalidParameter},
        {256, kScmErrorInvalidParameter},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.control);
        status = {};
        EXPECT_EQ(ScmControlService(service_, c.control, &status), c.code == 0 ? 1 : 0);
        if (c.code != 0) {
            EXPECT_EQ(LastError(), c.code);
        }
        EXPECT_EQ(StatusText(status), "16 4 1 0 0 0 0");
    }
    EXPECT_EQ(running->controls, (std::vector<uint32_t>{4, 128, 200, 255}));

    // The stop: the reply carries the state the handler left.
    EXPECT_EQ(ScmControlService(service_, kServiceControlStop, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 1 0 0 0 0");
    EXPECT_EQ(Join(), 1);
    EXPECT_FALSE(Exists("tarnwick.sock"));
    EXPECT_EQ(File("tarnwick.reports"),
              "16 2 0 0 0 1 5000\n16 4 1 0 0 0 0\n16 3 1 0 0 1 5000\n16 1 1 0 0 0 0\n"
              "16 1 1 0 0 0 0\n");
    ASSERT_EQ(ScmQueryStatus(service_, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 1 0 0 0 0");
    EXPECT_EQ(ScmControlService(service_, kServiceControlInterrogate, &status), 0);
    EXPECT_EQ(LastError(), kScmErrorServiceNotActive);
}

TEST_F(ScmDispatcher, RunningServiceIsMarkedForDeletionAndGoesWhenItStops) {
    StartDispatcher();
    ASSERT_TRUE(running->WaitFor([] { return running->starting; }));
    EXPECT_EQ(ScmDeleteService(service_), 1);
    EXPECT_NE(File("tarnwick.service").find("DeletePending=1\n"), std::string::npos);
    EXPECT_EQ(ScmDeleteService(service_), 0);
    EXPECT_EQ(LastError(), kScmErrorServiceMarkedForDelete);
    EXPECT_EQ(Create("Tarnwick"), 0u);
    EXPECT_EQ(LastError(), kScmErrorServiceMarkedForDelete);

    running->Set(&Service::go);
    ServiceStatusRecord status = {};
    for (auto end = std::chrono::steady_clock::now() + kPatience;
         ScmControlService(service_, kServiceControlStop, &status) == 0 &&
         std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Join(), 1);
    EXPECT_FALSE(Exists("tarnwick.service"));
    EXPECT_FALSE(Exists("tarnwick.status"));
    EXPECT_FALSE(Exists("tarnwick.sock"));
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    EXPECT_EQ(ScmOpenService(m, "Tarnwick", kServiceAllAccess), 0u);
    EXPECT_EQ(LastError(), kScmErrorServiceDoesNotExist);
    ScmCloseHandle(m);
}

TEST_F(ScmDispatcher, MainFunctionThatReturnsWithoutItsStopIsRecordedAborted) {
    running->reportOnReturn = false;
    running->go = true;
    running->stopped = true;
    StartDispatcher();
    EXPECT_EQ(Join(), 1);
    ServiceStatusRecord status;
    ASSERT_EQ(ScmQueryStatus(service_, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 0 1067 0 0 0");
}

TEST_F(ScmDispatcher, SecondDispatcherOfARunningServiceIsRefused) {
    StartDispatcher();
    ASSERT_TRUE(running->WaitFor([] { return running->starting; }));
    const ScmTableEntry table[] = {{"Tarnwick", ServiceMainFunction}, {nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(LastError(), kScmErrorServiceAlreadyRunning);
}

TEST_F(ScmPosix, ProcessThatEndedWithoutItsStopReadsAsStopped) {
    ScmHandle s = Create("Tarnwick");
    ASSERT_NE(s, 0u);
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    testutil::WriteFile(folder_ + "/tarnwick.status",
                        "16 4 1 0 0 0 0 " + std::to_string(child) + " 12345\n");
    testutil::WriteFile(folder_ + "/tarnwick.sock", "");
    ServiceStatusRecord status;
    ASSERT_EQ(ScmQueryStatus(s, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 0 1067 0 0 0");
    EXPECT_EQ(File("tarnwick.status"), "16 1 0 1067 0 0 0 0 0\n");
    EXPECT_FALSE(Exists("tarnwick.sock"));
    // A live process with another start time is not the service either.
    testutil::WriteFile(folder_ + "/tarnwick.status",
                        "16 4 1 0 0 0 0 " + std::to_string(getpid()) + " 1\n");
    ASSERT_EQ(ScmQueryStatus(s, &status), 1);
    EXPECT_EQ(status.currentState, kServiceStopped);
    // This process, with its own start time, is.
    testutil::WriteFile(folder_ + "/tarnwick.status",
                        "16 4 1 0 0 0 0 " + std::to_string(getpid()) + " " +
                            std::to_string(ScmStoreProcessStartTime(getpid())) + "\n");
    ASSERT_EQ(ScmQueryStatus(s, &status), 1);
    EXPECT_EQ(status.currentState, kServiceRunning);
    ScmCloseHandle(s);
}

TEST_F(ScmPosix, ModuleFileNameIsTheRunningExecutable) {
    char expected[4096];
    ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
    ASSERT_GT(n, 4);
    expected[n] = '\0';
    char path[512];
    EXPECT_EQ(ScmModuleFileName(path, sizeof path), static_cast<uint32_t>(n));
    EXPECT_STREQ(path, expected);
    // Too small: cut, terminated, the size returned and the error set.
    SetLastError(0);
    char small[5];
    EXPECT_EQ(ScmModuleFileName(small, sizeof small), 5u);
    EXPECT_EQ(std::string(small), std::string(expected, 4));
    EXPECT_EQ(LastError(), kScmErrorInsufficientBuffer);
}

TEST_F(ScmPosix, ErrorTextsAreTheWindowsTexts) {
    struct Case {
        unsigned long code;
        const char *text;
    };
    const Case cases[] = {
        {5, "Access is denied.\r\n"},
        {6, "The handle is invalid.\r\n"},
        {87, "The parameter is incorrect.\r\n"},
        {1052, "The requested control is not valid for this service.\r\n"},
        {1056, "An instance of the service is already running.\r\n"},
        {1060, "The specified service does not exist as an installed service.\r\n"},
        {1061, "The service cannot accept control messages at this time.\r\n"},
        {1062, "The service has not been started.\r\n"},
        {1063, "The service process could not connect to the service controller.\r\n"},
        {1072, "The specified service has been marked for deletion.\r\n"},
        {1073, "The specified service already exists.\r\n"},
    };
    for (const Case &c : cases) {
        char buffer[256];
        EXPECT_EQ(ScmErrorText(c.code, buffer, sizeof buffer), std::strlen(c.text));
        EXPECT_STREQ(buffer, c.text);
        // Never cut: one byte short gives nothing, the buffer untouched.
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(ScmErrorText(c.code, buffer, std::strlen(c.text)), 0u);
        EXPECT_EQ(buffer[0], 'x');
    }
    char buffer[64];
    EXPECT_EQ(ScmErrorText(0xE0001234, buffer, sizeof buffer), 0u);
    EXPECT_EQ(ScmErrorText(4, buffer, sizeof buffer), 0u);
}

// ------------------------------------------------------------ tarnwick-sc

TEST_F(ScmPosix, CommandsCreateQueryDelete) {
    const std::string not_started =
        "[SC] ControlService FAILED 1062:\n\nThe service has not been started.\n\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } steps[] = {
        {{"create", "Tarnwick", "binPath=", "/usr/sbin/tarnwick"},
         0,
         "[SC] CreateService SUCCESS\n"},
        {{"create", "Tarnwick", "binPath=", "/usr/sbin/tarnwick"},
         1,
         "[SC] CreateService FAILED 1073:\n\nThe specified service already exists.\n\n"},
        {{"query", "tarnwick"},
         0,
         "\nSERVICE_NAME: Tarnwick\n"
         "        TYPE : 10  WIN32_OWN_PROCESS\n"
         "        STATE : 1  STOPPED\n"
         "                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
         "        WIN32_EXIT_CODE : 0  (0x0)\n"
         "        SERVICE_EXIT_CODE : 0  (0x0)\n"
         "        CHECKPOINT : 0x0\n"
         "        WAIT_HINT : 0x0\n"},
        {{"stop", "Tarnwick"}, 1, not_started},
        {{"control", "Tarnwick", "128"}, 1, not_started},
        {{"delete", "Tarnwick"}, 0, "[SC] DeleteService SUCCESS\n"},
        {{"query", "Tarnwick"},
         1,
         "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an "
         "installed service.\n\n"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.args[0]);
        std::string out;
        EXPECT_EQ(Command(step.args, &out), step.status);
        EXPECT_EQ(out, step.out);
    }
}

TEST_F(ScmPosix, CreateOptions) {
    std::string out;
    EXPECT_EQ(Command({"create", "Svc", "binPath=/bin/x", "DisplayName=", "My Service",
                       "start=", "disabled", "type=", "own"},
                      &out),
              0);
    std::string record = File("svc.service");
    EXPECT_NE(record.find("DisplayName=My Service\n"), std::string::npos) << record;
    EXPECT_NE(record.find("StartType=4\n"), std::string::npos);
    EXPECT_NE(record.find("BinaryPath=/bin/x\n"), std::string::npos);
    // A disabled service does not start.
    EXPECT_EQ(Command({"start", "Svc"}, &out), 1);
    EXPECT_EQ(out,
              "[SC] StartService FAILED 1058:\n\nThe service cannot be started, either because "
              "it is disabled or because it has no enabled devices associated with it.\n\n");
    EXPECT_EQ(Command({"create", "Auto", "binPath=", "/bin/x", "start=", "auto"}, &out), 0);
    EXPECT_NE(File("auto.service").find("StartType=2\n"), std::string::npos);
}

TEST_F(ScmPosix, StartOfAServiceThatRunsIsRefused) {
    std::string out;
    ASSERT_EQ(Command({"create", "Tarnwick", "binPath=", "/bin/x"}, &out), 0);
    // This process stands for the running service.
    testutil::WriteFile(folder_ + "/tarnwick.status",
                        "16 4 1 0 0 0 0 " + std::to_string(getpid()) + " " +
                            std::to_string(ScmStoreProcessStartTime(getpid())) + "\n");
    for (const char *command : {"start", "run"}) {
        EXPECT_EQ(Command({command, "Tarnwick"}, &out), 1) << command;
        EXPECT_EQ(out,
                  "[SC] StartService FAILED 1056:\n\nAn instance of the service is already "
                  "running.\n\n")
            << command;
    }
}

TEST_F(ScmPosix, CommandLinesThatAreNotCommands) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"query"},
        {"query", "a", "b"},
        {"frobnicate", "Tarnwick"},
        {"control", "Tarnwick"},
        {"control", "Tarnwick", "x"},
        {"control", "Tarnwick", "-1"},
        {"control", "Tarnwick", "12x"},
        {"control", "Tarnwick", "99999999999"},
        {"create", "Tarnwick", "binPath="},
        {"create", "Tarnwick", "binPath"},
        {"create", "Tarnwick", "colour=", "blue"},
        {"create", "Tarnwick", "start=", "sometimes"},
    };
    for (const auto &args : cases) {
        std::string out;
        EXPECT_EQ(Command(args, &out), 1);
        EXPECT_EQ(out.compare(0, 7, "Usage:\n"), 0) << out;
    }
    EXPECT_FALSE(Exists("tarnwick.service"));
}

}  // namespace
