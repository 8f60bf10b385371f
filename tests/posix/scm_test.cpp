// The POSIX service manager and the tarnwick-sc commands.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

// Expects call to fail (0) with code as the last error.
#define EXPECT_FAILS(call, code) EXPECT_EQ((call) == 0 ? PlatformLastError() : ~0ul, (code))

class ScmPosix : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TARNWICK_SCM", folder_.c_str(), 1);
        unsetenv("TARNWICK_SCM_SERVICE");
    }
    void TearDown() override { unsetenv("TARNWICK_SCM"); }
    ScmHandle Create(const char *name) {
        ScmHandle m = ScmOpenManager(kScManagerAllAccess);
        ScmHandle s = ScmCreateService(
            m, name, nullptr, kServiceAllAccess, kServiceWin32OwnProcess, kServiceDemandStart,
            kServiceErrorNormal, "/usr/sbin/tarnwick", nullptr, nullptr, "", nullptr, nullptr);
        ScmCloseHandle(m);  // leaves the last error alone
        return s;
    }
    std::string Path(const std::string &name) const { return folder_ + "/" + name; }
    // Runs tarnwick-sc with args, output in out_ and err_.  Returns its status.
    int Command(std::vector<std::string> args) {
        args.insert(args.begin(), "tarnwick-sc");
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int status = ScmCommand(static_cast<int>(args.size()), argv.data());
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return status;
    }

    testutil::TempDir dir_;
    std::string folder_ = dir_ / "scm";
    std::string out_, err_;
};

// Made with create rights only; refused when others than its owner may write
// it (they could plant files in it), or when it is no folder.
TEST_F(ScmPosix, TheFolderAndWhomItTrusts) {
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    EXPECT_EQ(Mode(folder_), "none");
    EXPECT_FAILS(ScmOpenService(m, "Tarnwick", kServiceAllAccess), kErrorServiceDoesNotExist);
    ScmCloseHandle(m);
    for (mode_t mode : {0755, 0775, 0757}) {
        ScmCloseHandle(ScmOpenManager(kScManagerAllAccess));
        ASSERT_EQ(chmod(folder_.c_str(), mode), 0);
        m = ScmOpenManager(kScManagerAllAccess);
        EXPECT_EQ(m == 0 ? PlatformLastError() : 0, mode == 0755 ? 0 : kErrorAccessDenied);
        ScmCloseHandle(m);
    }
    EXPECT_EQ(Command({"query", "Tarnwick"}), 1);
    EXPECT_EQ(err_, "tarnwick-sc: service database folder " + folder_ +
                        ": others than its owner may write it (mode 0757): refused\n");
    testutil::WriteFile(dir_ / "file", "x");
    setenv("TARNWICK_SCM", (dir_ / "file").c_str(), 1);
    EXPECT_FAILS(ScmOpenManager(kScManagerAllAccess), kErrorAccessDenied);
}

// A planted symlink is replaced, never followed; the output is the owner's
// only; a lock file that is a symlink refuses every change.
TEST_F(ScmPosix, FilesAreNeverOpenedThroughASymlink) {
    ScmCloseHandle(ScmOpenManager(kScManagerAllAccess));
    const std::string victim = dir_ / "victim";
    testutil::WriteFile(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), Path("tarnwick.out").c_str()), 0);
    EXPECT_EQ(Command({"create", "Tarnwick", "binPath=", "\"/bin/true\""}), 0) << out_;
    EXPECT_EQ(Command({"start", "Tarnwick"}), 1);  // it runs, and ends without reporting
    EXPECT_NE(out_.find("FAILED 1067:"), std::string::npos) << out_;
    EXPECT_EQ(testutil::ReadFile(victim), "precious\n");
    EXPECT_EQ(Mode(Path("tarnwick.out")), std::to_string(S_IFREG | 0600));
    ASSERT_EQ(unlink(Path(".lock").c_str()) + symlink(victim.c_str(), Path(".lock").c_str()), 0);
    EXPECT_FAILS(Create("Other"), kErrorAccessDenied);
}

// A service run in-process: RUNNING once the test lets it (go); stops on stop.
std::binary_semaphore starting{0}, go{0}, runs{0}, stop{0};
std::atomic<uint32_t> handled{0};  // the last control its handler ran
ServiceStatusHandle status_handle = 0;

void Report(uint32_t state, uint32_t checkpoint, uint32_t accepted) {
    ServiceStatusRecord s = {kServiceWin32OwnProcess,     state, accepted, 0, 0, checkpoint,
                             checkpoint != 0 ? 5000u : 0u};
    EXPECT_EQ(ScmSetStatus(status_handle, &s), 1);
}

void Main(uint32_t argc, char **argv) {
    EXPECT_EQ(std::string(argc == 1 ? argv[0] : ""), "Tarnwick");
    status_handle = ScmRegisterHandler("Tarnwick", [](uint32_t control) {
        handled = control;
        if (control == kServiceControlStop) {
            Report(kServiceStopped, 0, kServiceAcceptStop);
            stop.release();
        }
    });
    Report(kServiceStartPending, 1, 0);
    starting.release();
    if (go.try_acquire_for(kPatience)) {
        Report(kServiceRunning, 0, kServiceAcceptStop);
        runs.release();
        stop.try_acquire_for(kPatience);
    }
}

// Controls reach the handler as the manager admits them, from the owner and
// root only; one dispatcher; a deleted service goes once stopped.
TEST_F(ScmPosix, AServiceRunInProcess) {
    EXPECT_FAILS(Create("a/b"), kErrorInvalidName);
    EXPECT_FAILS(Create(".."), kErrorInvalidName);
    ScmHandle s = Create("Tarnwick");
    ScmHandle m = ScmOpenManager(kScManagerConnect);
    ServiceStatusRecord status = {};
    EXPECT_FAILS(ScmQueryStatus(m, &status), kErrorInvalidHandle);  // no service handle
    EXPECT_FAILS(ScmSetStatus(kInvalidStatusHandle, &status), kErrorInvalidHandle);
    EXPECT_EQ(ScmCloseHandle(m) + ScmCloseHandle(m), 1);
    setenv("TARNWICK_SCM_SERVICE", "Tarnwick", 1);
    const ScmTableEntry table[] = {{"Tarnwick", Main}, {nullptr, nullptr}};
    int result = -1;
    std::thread dispatcher([&] { result = ScmStartDispatcher(table); });
    ASSERT_TRUE(starting.try_acquire_for(kPatience));
    EXPECT_FAILS(ScmControlService(s, kServiceControlInterrogate, &status),
                 kErrorServiceCannotAcceptCtrl);
    EXPECT_EQ(StatusText(status), "16 2 0 0 0 1 5000");
    EXPECT_EQ(Mode(Path("tarnwick.sock")), std::to_string(S_IFSOCK | 0600));
    go.release();
    ASSERT_TRUE(runs.try_acquire_for(kPatience));
    EXPECT_FAILS(ScmControlService(s, kServiceControlPause, &status), kErrorInvalidServiceControl);
    EXPECT_EQ(StatusText(status), "16 4 1 0 0 0 0");
    EXPECT_FAILS(ScmControlService(s, 256, &status), kErrorInvalidParameter);
    EXPECT_EQ(handled, 0u);
    EXPECT_EQ(ScmControlService(s, kServiceControlUserFirst, &status), 1);
    EXPECT_EQ(handled.exchange(0), kServiceControlUserFirst);
    ASSERT_EQ(chmod(Path("tarnwick.sock").c_str(), 0666), 0);
    ASSERT_EQ(syscall(SYS_setresuid, -1, 4321, -1), 0);  // a plain user, this thread only
    EXPECT_FAILS(ScmControlService(s, 128, &status), kErrorAccessDenied);
    ASSERT_EQ(syscall(SYS_setresuid, -1, 0, -1), 0);
    EXPECT_FAILS(ScmStartDispatcher(table), kErrorServiceAlreadyRunning);
    EXPECT_EQ(ScmDeleteService(s), 1);
    EXPECT_FAILS(ScmDeleteService(s), kErrorServiceMarkedForDelete);
    EXPECT_FAILS(Create("Tarnwick"), kErrorServiceMarkedForDelete);
    EXPECT_EQ(ScmControlService(s, kServiceControlStop, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 1 0 0 0 0");  // as the handler left it
    dispatcher.join();
    EXPECT_EQ(result, 1);
    for (const char *file : {"tarnwick.service", "tarnwick.status", "tarnwick.sock"}) {
        EXPECT_EQ(Mode(Path(file)), "none") << file;
    }
    ScmCloseHandle(s);
}

// A status whose process id is now another process's (its start time differs)
// reads as stopped with 1067 (one that has ended: the start of /bin/true).
TEST_F(ScmPosix, AProcessThatEndedWithoutItsStopReadsAsStopped) {
    ScmHandle s = Create("Tarnwick");
    testutil::WriteFile(Path("tarnwick.status"),
                        "16 4 1 0 0 0 0 " + std::to_string(getpid()) + " 1\n");
    testutil::WriteFile(Path("tarnwick.sock"), "");
    ServiceStatusRecord status;
    ASSERT_EQ(ScmQueryStatus(s, &status), 1);
    EXPECT_EQ(StatusText(status), "16 1 0 1067 0 0 0");
    EXPECT_EQ(Mode(Path("tarnwick.sock")), "none");
    EXPECT_EQ(testutil::ReadFile(Path("tarnwick.status")), "16 1 0 1067 0 0 0 0 0\n");
    ScmCloseHandle(s);
}

TEST_F(ScmPosix, Commands) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // what the output holds
    } steps[] = {
        {{"create", "Tarnwick", "binPath=", "/usr/sbin/tarnwick"}, 0, "CreateService SUCCESS\n"},
        {{"create", "tarnwick", "binPath=", "/bin/x"},
         1,
         "[SC] CreateService FAILED 1073:\n\nThe specified service already exists.\n\n"},
        {{"stop", "Tarnwick"}, 1, "FAILED 1062:\n\nThe service has not been started.\n\n"},
        {{"control", "Tarnwick", "12x"}, 1, "Usage:\n"},
        {{"frobnicate", "Tarnwick"}, 1, "Usage:\n"},
        {{"delete", "Tarnwick"}, 0, "[SC] DeleteService SUCCESS\n"},
        {{"query", "Tarnwick"},
         1,
         "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an installed "
         "service.\n\n"},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(Command(step.args), step.status) << step.args[0];
        EXPECT_NE(out_.find(step.out), std::string::npos) << out_;
    }
}

}  // namespace
