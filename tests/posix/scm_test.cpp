// The POSIX service manager: the database folder and whom it trusts, records
// and status, the Windows results of each call, the dispatcher and its
// control socket run in-process, the texts, and the tarnwick-sc commands that
// need no service process of their own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
#include "platform/posix/sc/command.h"
#include "platform/posix/scm_store.h"
#include "platform/scm.h"
#include "test_util.h"

namespace {

constexpr auto kPatience = std::chrono::seconds(10);
constexpr uid_t kPlainUid = 4321;  // a user who is not root

// A child process run as the plain user: body(out) writes what the test
// reads back; the child is killed at the end.
struct PlainUser {
    pid_t pid = -1;
    int fd = -1;
    template <typename Body>
    explicit PlainUser(Body body) {
        int p[2];
        if (pipe(p) == 0 && (pid = fork()) == 0) {
            if (setresgid(kPlainUid, kPlainUid, kPlainUid) == 0 &&
                setresuid(kPlainUid, kPlainUid, kPlainUid) == 0) {
                body(p[1]);
            }
            _exit(0);
        }
        close(p[1]);
        fd = p[0];
    }
    std::string Line() {
        std::string text;
        for (char c = 0; c != '\n' && read(fd, &c, 1) == 1;) {
            text += c;
        }
        return text;
    }
    ~PlainUser() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(fd);
    }
};

std::string StatusText(const ServiceStatusRecord &s) {
    char text[128];
    std::snprintf(text, sizeof text, "%u %u %u %u %u %u %u", s.serviceType, s.currentState,
                  s.controlsAccepted, s.win32ExitCode, s.serviceSpecificExitCode, s.checkPoint,
                  s.waitHint);
    return text;
}

class ScmPosix : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TARNWICK_SCM", folder_.c_str(), 1);
        unsetenv("TARNWICK_SCM_SERVICE");
    }
    void TearDown() override {
        unsetenv("TARNWICK_SCM");
        unsetenv("TARNWICK_SCM_SERVICE");
    }
    // Creates a service; returns its handle (the manager is closed).
    ScmHandle Create(const char *name, const char *path = "/usr/sbin/tarnwick") {
        ScmHandle m = ScmOpenManager(kScManagerAllAccess);
        ScmHandle s = ScmCreateService(m, name, nullptr, kServiceAllAccess, kServiceWin32OwnProcess,
                                       kServiceDemandStart, kServiceErrorNormal, path, nullptr,
                                       nullptr, "", nullptr, nullptr);
        unsigned long code = PlatformLastError();
        ScmCloseHandle(m);
        PlatformSetLastError(code);
        return s;
    }
    std::string File(const std::string &name) const {
        return testutil::ReadFile(folder_ + "/" + name);
    }
    bool Exists(const std::string &name) const {
        struct stat st;
        return lstat((folder_ + "/" + name).c_str(), &st) == 0;
    }
    // Runs tarnwick-sc with args; returns its exit status, out and err its
    // output.
    int Command(std::vector<std::string> args, std::string *out, std::string *err = nullptr) {
        args.insert(args.begin(), "tarnwick-sc");
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int status = ScmCommand(static_cast<int>(args.size()), argv.data());
        *out = ::testing::internal::GetCapturedStdout();
        std::string error = ::testing::internal::GetCapturedStderr();
        if (err != nullptr) {
            *err = error;
        }
        return status;
    }

    testutil::TempDir dir_;
    std::string folder_ = dir_ / "scm";
};

// Made only with create rights; refused when in the way of a file, or when
// others than its owner may write it (they could plant files in it).
TEST_F(ScmPosix, TheFolderAndWhomItTrusts) {
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    EXPECT_FALSE(Exists(""));
    EXPECT_EQ(ScmOpenService(m, "Tarnwick", kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    EXPECT_EQ(ScmCloseHandle(m), 1);
    EXPECT_EQ(ScmCloseHandle(m), 0);
    const struct {
        mode_t mode;
        uid_t owner;
        bool refused;
    } cases[] = {{0755, 0, false}, {0700, 0, false}, {0755, kPlainUid, false}, {0775, 0, true},
                 {0757, 0, true},  {01777, 0, true}, {0770, kPlainUid, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        ScmCloseHandle(ScmOpenManager(kScManagerAllAccess));
        ASSERT_EQ(chmod(folder_.c_str(), c.mode), 0);
        ASSERT_EQ(chown(folder_.c_str(), c.owner, 0), 0);
        m = ScmOpenManager(kScManagerAllAccess);
        EXPECT_EQ(m == 0 ? PlatformLastError() : 0, c.refused ? kErrorAccessDenied : 0);
        ScmCloseHandle(m);
    }
    std::string out;
    std::string err;
    EXPECT_EQ(Command({"query", "Tarnwick"}, &out, &err), 1);
    EXPECT_EQ(out, "[SC] OpenSCManager FAILED 5:\n\nAccess is denied.\n\n");
    EXPECT_EQ(err, "tarnwick-sc: service database folder " + folder_ +
                       ": others than its owner may write it (mode 0770): refused\n");
    testutil::WriteFile(dir_ / "file", "x");
    setenv("TARNWICK_SCM", (dir_ / "file/scm").c_str(), 1);
    EXPECT_EQ(ScmOpenManager(kScManagerAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorAccessDenied);
}

// Files planted as symlinks are replaced, never followed: the files they
// point to keep their contents.
TEST_F(ScmPosix, SymlinksInTheFolderAreNotFollowed) {
    ScmCloseHandle(ScmOpenManager(kScManagerAllAccess));
    const std::string victim = dir_ / "victim";
    testutil::WriteFile(victim, "precious\n");
    std::vector<std::string> names = {"tarnwick.out"};
    // Where temporary files were named after the process id and a count.
    for (int n = 1; n <= 64; ++n) {
        for (const char *file : {"tarnwick.service", "tarnwick.status"}) {
            names.push_back(std::string(file) + "." + std::to_string(getpid()) + "." +
                            std::to_string(n) + ".tmp");
        }
    }
    for (const std::string &name : names) {
        ASSERT_EQ(symlink(victim.c_str(), (folder_ + "/" + name).c_str()), 0);
    }
    std::string out;
    EXPECT_EQ(Command({"create", "Tarnwick", "binPath=", "/bin/true"}, &out), 0) << out;
    // It runs, and ends without reporting.
    EXPECT_EQ(Command({"start", "Tarnwick"}, &out), 1);
    EXPECT_NE(out.find("FAILED 1067:"), std::string::npos) << out;
    EXPECT_EQ(testutil::ReadFile(victim), "precious\n");
    // The output holds the trace: the owner's only.
    struct stat st;
    ASSERT_EQ(lstat((folder_ + "/tarnwick.out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFREG | 0600u);
    // A lock file that is a symlink refuses every change.
    ASSERT_EQ(unlink((folder_ + "/.lock").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (folder_ + "/.lock").c_str()), 0);
    EXPECT_EQ(Create("Other"), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorAccessDenied);
}

TEST_F(ScmPosix, AFolderTooLongForTheControlSocketIsNamed) {
    // "<folder>/tarnwick.sock" of 107 bytes is the longest a socket address
    // holds.
    for (size_t length : {107u, 108u}) {
        std::string folder = dir_ / std::string(length - dir_.path().size() - 15, 'f');
        setenv("TARNWICK_SCM", folder.c_str(), 1);
        std::string out;
        std::string err;
        int status = Command({"create", "Tarnwick", "binPath=", "/bin/x"}, &out, &err);
        EXPECT_EQ(status, length == 107 ? 0 : 1) << out;
        if (length == 108) {
            EXPECT_EQ(out,
                      "[SC] CreateService FAILED 206:\n\nThe filename or extension is too "
                      "long.\n\n");
            EXPECT_EQ(err, "tarnwick-sc: service database folder " + folder +
                               ": the control socket path " + folder +
                               "/tarnwick.sock has 108 bytes, more than the 107 a socket "
                               "address holds (TARNWICK_SCM)\n");
        }
    }
}

TEST_F(ScmPosix, ASocketPlantedByAnotherUserIsNotTalkedTo) {
    ScmHandle s = Create("Tarnwick");
    const std::string plant = dir_ / "plant";
    ASSERT_EQ(mkdir(plant.c_str(), 0700), 0);
    ASSERT_EQ(chown(plant.c_str(), kPlainUid, kPlainUid), 0);
    PlainUser user([&](int out) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/s", plant.c_str());
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(fd, 1) == 0) {
            dprintf(out, "listening\n");
            pause();
        }
    });
    ASSERT_EQ(user.Line(), "listening\n");
    ASSERT_EQ(rename((plant + "/s").c_str(), (folder_ + "/tarnwick.sock").c_str()), 0);
    ServiceStatusRecord status;
    EXPECT_EQ(ScmControlService(s, 128, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorAccessDenied);
    ScmCloseHandle(s);
}

TEST_F(ScmPosix, CreateRecordsTheParametersAndRefusesBadOnes) {
    ScmHandle s = Create("Tarnwick");
    ASSERT_NE(s, 0u);
    EXPECT_EQ(File("tarnwick.service"),
              "Name=Tarnwick\nDisplayName=Tarnwick\nType=16\nStartType=3\nErrorControl=1\n"
              "BinaryPath=/usr/sbin/tarnwick\nDeletePending=0\n");
    ServiceStatusRecord status;
    ASSERT_EQ(ScmQueryStatus(s, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 0 0 0 0 0");
    ScmCloseHandle(s);
    ScmHandle m = ScmOpenManager(kScManagerAllAccess);
    const struct {
        std::string name;
        const char *path;
        uint32_t type;
        unsigned long code;
    } cases[] = {
        {"TARNWICK", "/bin/x", kServiceWin32OwnProcess, kErrorServiceExists},
        {"", "/bin/x", kServiceWin32OwnProcess, kErrorInvalidName},
        {"a/b", "/bin/x", kServiceWin32OwnProcess, kErrorInvalidName},
        {"a\\b", "/bin/x", kServiceWin32OwnProcess, kErrorInvalidName},
        {"a\nb", "/bin/x", kServiceWin32OwnProcess, kErrorInvalidName},
        {"..", "/bin/x", kServiceWin32OwnProcess, kErrorInvalidName},
        {std::string(201, 'n'), "/bin/x", kServiceWin32OwnProcess, kErrorInvalidName},
        // 200 characters: too long for its control socket's path.
        {std::string(200, 'n'), "/bin/x", kServiceWin32OwnProcess, kErrorFilenameTooLong},
        {"ok", nullptr, kServiceWin32OwnProcess, kErrorInvalidParameter},
        {"ok", "", kServiceWin32OwnProcess, kErrorInvalidParameter},
        {"ok", "/bin/x\n", kServiceWin32OwnProcess, kErrorInvalidParameter},
        {"ok", "/bin/x", 0x20, kErrorInvalidParameter},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ScmCreateService(m, c.name.c_str(), nullptr, kServiceAllAccess, c.type,
                                   kServiceDemandStart, kServiceErrorNormal, c.path, nullptr,
                                   nullptr, "", nullptr, nullptr),
                  0u);
        EXPECT_EQ(PlatformLastError(), c.code);
    }
    ScmCloseHandle(m);
}

TEST_F(ScmPosix, BadHandlesAndAStoppedService) {
    ScmHandle s = Create("Tarnwick");
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    ServiceStatusRecord status = {};
    // A manager handle is no service handle, nor the reverse.
    for (ScmHandle h : {ScmHandle{0}, ScmHandle{0x1234}, ~ScmHandle{0}, m}) {
        EXPECT_EQ(
            ScmQueryStatus(h, &status) + ScmControlService(h, 1, &status) + ScmDeleteService(h), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    }
    EXPECT_EQ(ScmOpenService(s, "Tarnwick", kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    EXPECT_EQ(ScmControlService(s, kServiceControlStop, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    // Stopped: no control; deleted at once.
    EXPECT_EQ(ScmControlService(s, kServiceControlStop, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceNotActive);
    EXPECT_EQ(status.currentState, kServiceStopped);
    EXPECT_EQ(ScmDeleteService(s), 1);
    EXPECT_FALSE(Exists("tarnwick.service"));
    EXPECT_EQ(ScmDeleteService(s), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceMarkedForDelete);
    EXPECT_EQ(ScmOpenService(m, "tarnwick", kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    ScmCloseHandle(s);
    ScmCloseHandle(m);
}

TEST_F(ScmPosix, DispatcherOutsideTheManagerFailsWith1063) {
    auto main_function = [](uint32_t, char **) {};
    const ScmTableEntry table[] = {{"Tarnwick", main_function}, {nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
    // Named by the environment, but not installed.
    setenv("TARNWICK_SCM_SERVICE", "Tarnwick", 1);
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
    const ScmTableEntry empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(empty), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    // Without a dispatcher there is no handler and no status to set.
    EXPECT_EQ(ScmRegisterHandler("Tarnwick", [](uint32_t) {}), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    ServiceStatusRecord status = {kServiceWin32OwnProcess, kServiceRunning, 1, 0, 0, 0, 0};
    for (ServiceStatusHandle h : {ServiceStatusHandle{0}, kInvalidStatusHandle,
                                  ServiceStatusHandle{0x5C5C}, ServiceStatusHandle{7}}) {
        EXPECT_EQ(ScmSetStatus(h, &status), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
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
    std::string argv0;

    void Report(uint32_t state, uint32_t checkpoint, uint32_t accepted) {
        uint32_t hint = state == kServiceStartPending || state == kServiceStopPending ? 5000 : 0;
        ServiceStatusRecord s = {kServiceWin32OwnProcess, state, accepted, 0, 0, checkpoint, hint};
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
    running->argv0 = argc == 1 ? argv[0] : "";
    running->handle = ScmRegisterHandler("Tarnwick", ServiceHandler);
    running->Report(kServiceStartPending, 1, 0);
    running->Set(&Service::starting);
    running->WaitFor([] { return running->go; });
    running->Report(kServiceRunning, 0, kServiceAcceptStop);
    running->WaitFor([] { return running->stopped; });
    running->Report(kServiceStopped, 0, kServiceAcceptStop);
}

class ScmDispatcher : public ScmPosix {
  protected:
    void SetUp() override {
        ScmPosix::SetUp();
        running = new Service();
        service_ = Create("Tarnwick");
        setenv("TARNWICK_SCM_SERVICE", "Tarnwick", 1);
        dispatcher_ = std::thread([this] {
            static const ScmTableEntry table[] = {{"Tarnwick", ServiceMainFunction},
                                                  {nullptr, nullptr}};
            result_ = ScmStartDispatcher(table);
        });
        ASSERT_TRUE(running->WaitFor([] { return running->starting; }));
    }
    void TearDown() override {
        running->Set(&Service::go);
        running->Set(&Service::stopped);
        if (dispatcher_.joinable()) {
            dispatcher_.join();
        }
        ScmCloseHandle(service_);
        delete running;
        ScmPosix::TearDown();
    }
    // Lets the service report RUNNING and waits for the manager to see it.
    bool Running() {
        running->Set(&Service::go);
        ServiceStatusRecord status = {};
        for (auto end = std::chrono::steady_clock::now() + kPatience;
             ScmQueryStatus(service_, &status) == 1 && status.currentState != kServiceRunning &&
             std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return status.currentState == kServiceRunning;
    }

    ScmHandle service_ = 0;
    std::thread dispatcher_;
    int result_ = -1;
};

TEST_F(ScmDispatcher, ControlsReachTheHandlerAsTheManagerAdmitsThem) {
    EXPECT_EQ(running->argv0, "Tarnwick");
    // Starting: no control is accepted; the channel is the owner's only.
    ServiceStatusRecord status = {};
    EXPECT_EQ(ScmControlService(service_, kServiceControlInterrogate, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceCannotAcceptCtrl);
    EXPECT_EQ(StatusText(status), "16 2 0 0 0 1 5000");
    struct stat st;
    ASSERT_EQ(stat((folder_ + "/tarnwick.sock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFSOCK | 0600u);
    ASSERT_TRUE(Running());

    const struct {
        uint32_t control;
        unsigned long code;  // 0: delivered
    } cases[] = {
        {kServiceControlInterrogate, 0},
        {128, 0},
        {255, 0},
        {kServiceControlPause, kErrorInvalidServiceControl},
        {kServiceControlContinue, kErrorInvalidServiceControl},
        {10, kErrorInvalidServiceControl},
        {0, kErrorInvalidParameter},
        {kServiceControlShutdown, kErrorInvalidParameter},
        {11, kErrorInvalidParameter},
        {127, kErrorInvalidParameter},
        {256, kErrorInvalidParameter},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.control);
        status = {};
        PlatformSetLastError(0);
        EXPECT_EQ(ScmControlService(service_, c.control, &status), c.code == 0 ? 1 : 0);
        EXPECT_EQ(PlatformLastError(), c.code);
        EXPECT_EQ(StatusText(status), "16 4 1 0 0 0 0");
    }
    EXPECT_EQ(running->controls, (std::vector<uint32_t>{4, 128, 255}));

    // The stop: the status is the one the handler left.
    EXPECT_EQ(ScmControlService(service_, kServiceControlStop, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 1 0 0 0 0");
    dispatcher_.join();
    EXPECT_EQ(result_, 1);
    EXPECT_FALSE(Exists("tarnwick.sock"));
    EXPECT_EQ(ScmControlService(service_, kServiceControlInterrogate, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceNotActive);
}

// Even through a socket opened wide by mistake, only the owner and root
// control the service.  A second dispatcher of it is refused.
TEST_F(ScmDispatcher, APlainUserMayNotControlRootsService) {
    ASSERT_TRUE(Running());
    ASSERT_EQ(chmod((folder_ + "/tarnwick.sock").c_str(), 0666), 0);
    PlainUser user([this](int out) {
        ServiceStatusRecord status;
        int done = ScmControlService(service_, 128, &status);
        dprintf(out, "%d %lu\n", done, PlatformLastError());
    });
    EXPECT_EQ(user.Line(), "0 5\n");
    ServiceStatusRecord status;
    EXPECT_EQ(ScmControlService(service_, 129, &status), 1);
    EXPECT_EQ(running->controls, (std::vector<uint32_t>{129}));
    const ScmTableEntry table[] = {{"Tarnwick", ServiceMainFunction}, {nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceAlreadyRunning);
}

TEST_F(ScmDispatcher, RunningServiceIsMarkedForDeletionAndGoesWhenItStops) {
    EXPECT_EQ(ScmDeleteService(service_), 1);
    EXPECT_NE(File("tarnwick.service").find("DeletePending=1\n"), std::string::npos);
    EXPECT_EQ(ScmDeleteService(service_), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceMarkedForDelete);
    EXPECT_EQ(Create("Tarnwick"), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceMarkedForDelete);
    ASSERT_TRUE(Running());
    ServiceStatusRecord status = {};
    EXPECT_EQ(ScmControlService(service_, kServiceControlStop, &status), 1);
    dispatcher_.join();
    for (const char *file : {"tarnwick.service", "tarnwick.status", "tarnwick.sock"}) {
        EXPECT_FALSE(Exists(file)) << file;
    }
}

TEST_F(ScmPosix, AProcessThatEndedWithoutItsStopReadsAsStopped) {
    ScmHandle s = Create("Tarnwick");
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    const std::string self = std::to_string(getpid());
    const std::string started = std::to_string(ScmStoreProcessStartTime(getpid()));
    const struct {
        std::string status;
        uint32_t state;
    } cases[] = {
        {"16 4 1 0 0 0 0 " + std::to_string(child) + " 12345\n", kServiceStopped},
        // A live process with another start time is not the service either.
        {"16 4 1 0 0 0 0 " + self + " 1\n", kServiceStopped},
        // This process, with its own start time, is.
        {"16 4 1 0 0 0 0 " + self + " " + started + "\n", kServiceRunning},
    };
    for (const auto &c : cases) {
        testutil::WriteFile(folder_ + "/tarnwick.status", c.status);
        testutil::WriteFile(folder_ + "/tarnwick.sock", "");
        ServiceStatusRecord status;
        ASSERT_EQ(ScmQueryStatus(s, &status), 1);
        EXPECT_EQ(StatusText(status),
                  c.state == kServiceRunning ? "16 4 1 0 0 0 0" : "16 1 0 1067 0 0 0")
            << c.status;
        EXPECT_EQ(Exists("tarnwick.sock"), c.state == kServiceRunning);
        EXPECT_EQ(File("tarnwick.status"),
                  c.state == kServiceRunning ? c.status : "16 1 0 1067 0 0 0 0 0\n");
    }
    ScmCloseHandle(s);
}

TEST(ScmProcStat, TheStartTimeIsField22CountedFromTheLastParenthesis) {
    const std::string tail = " 1 1 1 0 -1 0 0 0 0 0 0 0 0 20 0 1 0 0 987654 123 45";
    EXPECT_EQ(ScmProcStatStartTime(("7 (tarnwick) S" + tail).c_str()), 987654u);
    EXPECT_EQ(ScmProcStatStartTime(("7 (a) b) S" + tail).c_str()), 987654u);
    EXPECT_EQ(ScmProcStatStartTime(("7 (tarnwick) Z" + tail).c_str()), 0u);
    EXPECT_EQ(ScmProcStatStartTime("7 (tarnwick) S 1 1"), 0u);
    EXPECT_EQ(ScmProcStatStartTime(""), 0u);
}

TEST_F(ScmPosix, ModuleFileNameIsTheRunningExecutable) {
    char expected[4096];
    ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
    ASSERT_GT(n, 4);
    expected[n] = '\0';
    char path[512];
    EXPECT_EQ(ScmModuleFileName(path, sizeof path), static_cast<uint32_t>(n));
    EXPECT_STREQ(path, expected);
    // No room for the terminator: cut, terminated, size returned, error set.
    PlatformSetLastError(0);
    EXPECT_EQ(ScmModuleFileName(path, static_cast<uint32_t>(n)), static_cast<uint32_t>(n));
    EXPECT_EQ(std::string(path), std::string(expected, n - 1));
    EXPECT_EQ(PlatformLastError(), kErrorInsufficientBuffer);
}

TEST(ScmErrorText, TheWindowsTextsNeverCut) {
    const struct {
        unsigned long code;
        const char *text;
    } cases[] = {
        {2, "The system cannot find the file specified.\r\n"},
        {1052, "The requested control is not valid for this service.\r\n"},
        {1072, "The specified service has been marked for deletion.\r\n"},
        {1078,
         "The name is already in use as either a service name or a service display name.\r\n"},
    };
    for (const auto &c : cases) {
        char buffer[256];
        EXPECT_EQ(ScmErrorText(c.code, buffer, sizeof buffer), std::strlen(c.text));
        EXPECT_STREQ(buffer, c.text);
        // One byte short gives nothing, the buffer untouched.
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
    // Records of an earlier version also kept a group, dependencies and an
    // account: they still read.
    testutil::WriteFile(folder_ + "/tarnwick.service",
                        "Name=Tarnwick\nDisplayName=Tarnwick\nType=16\nStartType=3\n"
                        "ErrorControl=1\nBinaryPath=/bin/x\nGroup=\nDependencies=\n"
                        "Account=LocalSystem\nDeletePending=0\n");
    std::string out;
    EXPECT_EQ(Command({"query", "TARNWICK"}, &out), 0);
    EXPECT_EQ(out.find("\nSERVICE_NAME: Tarnwick\n"), 0u) << out;
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
        {"create", "Tarnwick", "binPath", "/bin/x"},
        {"create", "Tarnwick", "binPath=", "/bin/x", "start=", "auto"},
    };
    for (const auto &args : cases) {
        std::string out;
        EXPECT_EQ(Command(args, &out), 1);
        EXPECT_EQ(out.compare(0, 7, "Usage:\n"), 0) << out;
    }
    EXPECT_FALSE(Exists("tarnwick.service"));
}

}  // namespace
