// The POSIX service manager: whom the database folder trusts, the refusals of
// each call, the dispatcher run in-process over its control socket, liveness,
// and the tarnwick-sc commands.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <semaphore>
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

// Runs body with this thread's effective user a plain one: the raw call
// changes the calling thread only, the dispatcher's thread stays root.
template <typename Body>
void AsPlainUser(Body body) {
    ASSERT_EQ(syscall(SYS_setresuid, -1, kPlainUid, -1), 0);
    body();
    ASSERT_EQ(syscall(SYS_setresuid, -1, 0, -1), 0);
}

std::string StatusText(const ServiceStatusRecord &s) {
    char text[128];
    std::snprintf(text, sizeof text, "%u %u %u %u %u %u %u", s.serviceType, s.currentState,
                  s.controlsAccepted, s.win32ExitCode, s.serviceSpecificExitCode, s.checkPoint,
                  s.waitHint);
    return text;
}

std::string Mode(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) != 0 ? "none" : std::to_string(st.st_mode & (S_IFMT | 0777));
}

class ScmPosix : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TARNWICK_SCM", folder_.c_str(), 1);
        unsetenv("TARNWICK_SCM_SERVICE");
    }
    void TearDown() override { unsetenv("TARNWICK_SCM"); }
    ScmHandle Create(const char *name, const char *path = "/usr/sbin/tarnwick",
                     uint32_t type = kServiceWin32OwnProcess) {
        ScmHandle m = ScmOpenManager(kScManagerAllAccess);
        ScmHandle s =
            ScmCreateService(m, name, nullptr, kServiceAllAccess, type, kServiceDemandStart,
                             kServiceErrorNormal, path, nullptr, nullptr, "", nullptr, nullptr);
        unsigned long code = PlatformLastError();
        ScmCloseHandle(m);
        PlatformSetLastError(code);
        return s;
    }
    std::string Path(const std::string &name) const { return folder_ + "/" + name; }
    // Runs tarnwick-sc with args: its exit status, and its output in out
    // (and err).
    int Command(std::vector<std::string> args, std::string *out, std::string *err = nullptr) {
        args.insert(args.begin(), "tarnwick-sc");
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
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

// Made only with create rights; refused in the way of a file, or when others
// than its owner may write it (they could plant files in it).
TEST_F(ScmPosix, TheFolderAndWhomItTrusts) {
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    EXPECT_EQ(Mode(folder_), "none");
    EXPECT_EQ(ScmOpenService(m, "Tarnwick", kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    EXPECT_EQ(ScmCloseHandle(m) + ScmCloseHandle(m), 1);
    const struct {
        mode_t mode;
        uid_t owner;
        bool refused;
    } cases[] = {{0755, 0, false}, {0755, kPlainUid, false}, {0775, 0, true},
                 {0757, 0, true},  {01777, 0, true},         {0770, kPlainUid, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        ScmCloseHandle(ScmOpenManager(kScManagerAllAccess));
        ASSERT_EQ(chmod(folder_.c_str(), c.mode) + chown(folder_.c_str(), c.owner, 0), 0);
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

// A planted symlink is replaced, never followed; the output is the owner's
// only; a lock file that is a symlink refuses every change.
TEST_F(ScmPosix, FilesAreNeverOpenedThroughASymlink) {
    ScmCloseHandle(ScmOpenManager(kScManagerAllAccess));
    const std::string victim = dir_ / "victim";
    testutil::WriteFile(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), Path("tarnwick.out").c_str()), 0);
    std::string out;
    EXPECT_EQ(Command({"create", "Tarnwick", "binPath=", "\"/bin/true\""}, &out), 0) << out;
    // It runs, and ends without reporting.
    EXPECT_EQ(Command({"start", "Tarnwick"}, &out), 1);
    EXPECT_NE(out.find("FAILED 1067:"), std::string::npos) << out;
    EXPECT_EQ(testutil::ReadFile(victim), "precious\n");
    EXPECT_EQ(Mode(Path("tarnwick.out")), std::to_string(S_IFREG | 0600));
    ASSERT_EQ(unlink(Path(".lock").c_str()) + symlink(victim.c_str(), Path(".lock").c_str()), 0);
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
        EXPECT_EQ(Command({"create", "Tarnwick", "binPath=", "/bin/x"}, &out, &err),
                  length == 107 ? 0 : 1);
        EXPECT_EQ(err, length == 107 ? ""
                                     : "tarnwick-sc: service database folder " + folder +
                                           ": the control socket path " + folder +
                                           "/tarnwick.sock has 108 bytes, more than the 107 a "
                                           "socket address holds (TARNWICK_SCM)\n");
    }
}

TEST_F(ScmPosix, TheCallsRefuseWhatWindowsRefuses) {
    ScmHandle s = Create("Tarnwick");
    ASSERT_NE(s, 0u);
    EXPECT_EQ(testutil::ReadFile(Path("tarnwick.service")),
              "Name=Tarnwick\nDisplayName=Tarnwick\nType=16\nStartType=3\nErrorControl=1\n"
              "BinaryPath=/usr/sbin/tarnwick\nDeletePending=0\n");
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
        EXPECT_EQ(Create(c.name.c_str(), c.path, c.type), 0u);
        EXPECT_EQ(PlatformLastError(), c.code);
    }
    // A manager handle is no service handle, nor the reverse.
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    ServiceStatusRecord status = {};
    for (ScmHandle h : {ScmHandle{0}, ~ScmHandle{0}, m}) {
        EXPECT_EQ(
            ScmQueryStatus(h, &status) + ScmControlService(h, 1, &status) + ScmDeleteService(h), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    }
    EXPECT_EQ(ScmOpenService(s, "Tarnwick", kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    EXPECT_EQ(ScmControlService(s, kServiceControlStop, nullptr), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    // Only a socket served by the folder's owner or root is talked to.
    sockaddr_un addr = {AF_UNIX, {}};
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", Path("tarnwick.sock").c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    AsPlainUser([&] { ASSERT_EQ(listen(fd, 1), 0); });
    EXPECT_EQ(ScmControlService(s, 128, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorAccessDenied);
    close(fd);
    unlink(Path("tarnwick.sock").c_str());
    // Stopped: no control; deleted at once.
    EXPECT_EQ(ScmControlService(s, kServiceControlStop, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceNotActive);
    EXPECT_EQ(StatusText(status), "16 1 0 0 0 0 0");
    EXPECT_EQ(ScmDeleteService(s), 1);
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
    const ScmTableEntry empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
    // Named by the environment, but not installed.
    setenv("TARNWICK_SCM_SERVICE", "Tarnwick", 1);
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
    EXPECT_EQ(ScmStartDispatcher(empty), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    EXPECT_EQ(ScmRegisterHandler("Tarnwick", [](uint32_t) {}), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    ServiceStatusRecord status = {kServiceWin32OwnProcess, kServiceRunning, 1, 0, 0, 0, 0};
    for (ServiceStatusHandle h :
         {ServiceStatusHandle{0}, kInvalidStatusHandle, ServiceStatusHandle{0x5C5C}}) {
        EXPECT_EQ(ScmSetStatus(h, &status), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    }
}

// A service run in-process: it reports START_PENDING, RUNNING once the test
// lets it (go), and stops on the stop control.
std::binary_semaphore starting{0}, go{0}, runs{0}, stop{0};
std::atomic<uint32_t> handled{0};  // the last control its handler ran
ServiceStatusHandle status_handle = 0;

void Report(uint32_t state, uint32_t checkpoint, uint32_t accepted) {
    ServiceStatusRecord s = {kServiceWin32OwnProcess,     state, accepted, 0, 0, checkpoint,
                             checkpoint != 0 ? 5000u : 0u};
    EXPECT_EQ(ScmSetStatus(status_handle, &s), 1);
}

void Handler(uint32_t control) {
    handled = control;
    if (control == kServiceControlStop) {
        Report(kServiceStopPending, 1, kServiceAcceptStop);
        Report(kServiceStopped, 0, kServiceAcceptStop);
        stop.release();
    }
}

void Main(uint32_t argc, char **argv) {
    EXPECT_EQ(std::string(argc == 1 ? argv[0] : ""), "Tarnwick");
    status_handle = ScmRegisterHandler("Tarnwick", Handler);
    Report(kServiceStartPending, 1, 0);
    starting.release();
    if (go.try_acquire_for(kPatience)) {
        Report(kServiceRunning, 0, kServiceAcceptStop);
        runs.release();
        stop.try_acquire_for(kPatience);
    }
}

const ScmTableEntry kTable[] = {{"Tarnwick", Main}, {nullptr, nullptr}};

class ScmDispatcher : public ScmPosix {
  protected:
    void SetUp() override {
        ScmPosix::SetUp();
        service_ = Create("Tarnwick");
        setenv("TARNWICK_SCM_SERVICE", "Tarnwick", 1);
        dispatcher_ = std::thread([this] { result_ = ScmStartDispatcher(kTable); });
        ASSERT_TRUE(starting.try_acquire_for(kPatience));
    }
    void TearDown() override {
        ServiceStatusRecord status;
        ScmControlService(service_, kServiceControlStop, &status);
        if (dispatcher_.joinable()) {
            dispatcher_.join();
        }
        ScmCloseHandle(service_);
        ScmPosix::TearDown();
    }
    bool Running() {
        go.release();
        return runs.try_acquire_for(kPatience);
    }

    ScmHandle service_ = 0;
    std::thread dispatcher_;
    int result_ = -1;
};

// Controls reach the handler as the manager admits them, from the owner and
// root only (even through a socket opened wide by mistake); a service that
// runs has one dispatcher, and goes only once it has stopped.
TEST_F(ScmDispatcher, AServiceRunInProcess) {
    ServiceStatusRecord status = {};
    EXPECT_EQ(ScmControlService(service_, kServiceControlInterrogate, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceCannotAcceptCtrl);
    EXPECT_EQ(StatusText(status), "16 2 0 0 0 1 5000");
    EXPECT_EQ(Mode(Path("tarnwick.sock")), std::to_string(S_IFSOCK | 0600));
    ASSERT_TRUE(Running());
    const struct {
        uint32_t control;
        unsigned long code;  // 0: delivered
    } cases[] = {
        {kServiceControlInterrogate, 0},
        {128, 0},
        {255, 0},
        {kServiceControlPause, kErrorInvalidServiceControl},
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
        handled = 0;
        PlatformSetLastError(0);
        EXPECT_EQ(ScmControlService(service_, c.control, &status), c.code == 0 ? 1 : 0);
        EXPECT_EQ(PlatformLastError(), c.code);
        EXPECT_EQ(handled, c.code == 0 ? c.control : 0);
        EXPECT_EQ(StatusText(status), "16 4 1 0 0 0 0");
    }
    ASSERT_EQ(chmod(Path("tarnwick.sock").c_str(), 0666), 0);
    AsPlainUser([&] {
        EXPECT_EQ(ScmControlService(service_, 128, &status), 0);
        EXPECT_EQ(PlatformLastError(), kErrorAccessDenied);
    });
    EXPECT_EQ(ScmStartDispatcher(kTable), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceAlreadyRunning);
    EXPECT_EQ(ScmDeleteService(service_), 1);
    EXPECT_EQ(ScmDeleteService(service_), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceMarkedForDelete);
    EXPECT_EQ(Create("Tarnwick"), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceMarkedForDelete);
    // The stop: the status is the one the handler left.
    EXPECT_EQ(ScmControlService(service_, kServiceControlStop, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 1 0 0 0 0");
    dispatcher_.join();
    EXPECT_EQ(result_, 1);
    for (const char *file : {"tarnwick.service", "tarnwick.status", "tarnwick.sock"}) {
        EXPECT_EQ(Mode(Path(file)), "none") << file;
    }
    EXPECT_EQ(ScmControlService(service_, kServiceControlInterrogate, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceNotActive);
}

TEST_F(ScmPosix, AProcessThatEndedWithoutItsStopReadsAsStopped) {
    ScmHandle s = Create("Tarnwick");
    const std::string self = std::to_string(getpid());
    const std::string started = std::to_string(ScmStoreProcessStartTime(getpid()));
    const struct {
        std::string status;
        bool runs;
    } cases[] = {
        {"16 4 1 0 0 0 0 999999999 12345\n", false},
        // A live process with another start time is not the service either.
        {"16 4 1 0 0 0 0 " + self + " 1\n", false},
        {"16 4 1 0 0 0 0 " + self + " " + started + "\n", true},
    };
    for (const auto &c : cases) {
        testutil::WriteFile(Path("tarnwick.status"), c.status);
        testutil::WriteFile(Path("tarnwick.sock"), "");
        ServiceStatusRecord status;
        ASSERT_EQ(ScmQueryStatus(s, &status), 1);
        EXPECT_EQ(StatusText(status), c.runs ? "16 4 1 0 0 0 0" : "16 1 0 1067 0 0 0") << c.status;
        EXPECT_EQ(Mode(Path("tarnwick.sock")) != "none", c.runs);
        EXPECT_EQ(testutil::ReadFile(Path("tarnwick.status")),
                  c.runs ? c.status : "16 1 0 1067 0 0 0 0 0\n");
    }
    ScmCloseHandle(s);
}

TEST(ScmProcStat, TheStartTimeIsField22CountedFromTheLastParenthesis) {
    const std::string tail = " 1 1 1 0 -1 0 0 0 0 0 0 0 0 20 0 1 0 0 987654 123 45";
    const struct {
        std::string text;
        unsigned long long start;
    } cases[] = {{"7 (tarnwick) S" + tail, 987654},
                 {"7 (a) b) S" + tail, 987654},
                 {"7 (tarnwick) Z" + tail, 0},
                 {"7 (tarnwick) S 1 1", 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(ScmProcStatStartTime(c.text.c_str()), c.start) << c.text;
    }
}

TEST(ScmTexts, ModuleFileNameAndWindowsTextsAreNeverCutSilently) {
    char expected[4096];
    ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
    ASSERT_GT(n, 4);
    char path[512];
    EXPECT_EQ(ScmModuleFileName(path, sizeof path), static_cast<uint32_t>(n));
    EXPECT_EQ(std::string(path), std::string(expected, n));
    // No room for the terminator: cut, terminated, size returned, error set.
    PlatformSetLastError(0);
    EXPECT_EQ(ScmModuleFileName(path, static_cast<uint32_t>(n)), static_cast<uint32_t>(n));
    EXPECT_EQ(std::string(path), std::string(expected, n - 1));
    EXPECT_EQ(PlatformLastError(), kErrorInsufficientBuffer);
    // A text that does not fit is not given at all.
    const char kText[] = "The requested control is not valid for this service.\r\n";
    char text[sizeof kText] = "x";
    EXPECT_EQ(ScmErrorText(1052, text, sizeof text - 1), 0u);
    EXPECT_STREQ(text, "x");
    EXPECT_EQ(ScmErrorText(1052, text, sizeof text), sizeof kText - 1);
    EXPECT_STREQ(text, kText);
    EXPECT_EQ(ScmErrorText(4, text, sizeof text), 0u);
}

TEST_F(ScmPosix, Commands) {
    const std::string not_started =
        "[SC] ControlService FAILED 1062:\n\nThe service has not been started.\n\n";
    const std::string usage = "Usage:\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } steps[] = {
        {{"create", "Tarnwick", "binPath=", "/usr/sbin/tarnwick"},
         0,
         "[SC] CreateService SUCCESS\n"},
        {{"create", "Tarnwick", "binPath=", "/bin/x"},
         1,
         "[SC] CreateService FAILED 1073:\n\nThe specified service already exists.\n\n"},
        {{"query", "tarnwick"},
         0,
         "\nSERVICE_NAME: Tarnwick\n        TYPE : 10  WIN32_OWN_PROCESS\n"
         "        STATE : 1  STOPPED\n"
         "                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
         "        WIN32_EXIT_CODE : 0  (0x0)\n        SERVICE_EXIT_CODE : 0  (0x0)\n"
         "        CHECKPOINT : 0x0\n        WAIT_HINT : 0x0\n"},
        {{"stop", "Tarnwick"}, 1, not_started},
        {{"control", "Tarnwick", "128"}, 1, not_started},
        {{}, 1, usage},
        {{"query", "a", "b"}, 1, usage},
        {{"frobnicate", "Tarnwick"}, 1, usage},
        {{"control", "Tarnwick"}, 1, usage},
        {{"control", "Tarnwick", "-1"}, 1, usage},
        {{"control", "Tarnwick", "12x"}, 1, usage},
        {{"control", "Tarnwick", "99999999999"}, 1, usage},
        {{"create", "Tarnwick", "binPath", "/bin/x"}, 1, usage},
        {{"delete", "Tarnwick"}, 0, "[SC] DeleteService SUCCESS\n"},
        {{"query", "Tarnwick"},
         1,
         "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an "
         "installed service.\n\n"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.args.empty() ? "" : step.args[0]);
        std::string out;
        EXPECT_EQ(Command(step.args, &out), step.status);
        EXPECT_EQ(step.out == usage ? out.substr(0, usage.size()) : out, step.out);
    }
}

}  // namespace
