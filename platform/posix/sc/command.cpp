// tarnwick-sc: create, start, stop, control, query, delete and run services
// of the POSIX service database.
#include "platform/posix/sc/command.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/errors.h"
#include "platform/posix/errno_code.h"
#include "platform/posix/scm_store.h"
#include "platform/scm.h"

namespace {

// How long start and stop wait for the state they asked for, and a start
// for the process of the last run, already stopped, to end.
constexpr auto kStateWait = std::chrono::seconds(30);

int Usage() {
    std::printf(
        "Usage:\n  tarnwick-sc create NAME binPath= PATH\n  tarnwick-sc start NAME\n"
        "  tarnwick-sc stop NAME\n  tarnwick-sc control NAME CODE\n  tarnwick-sc query NAME\n"
        "  tarnwick-sc delete NAME\n  tarnwick-sc run NAME\n");
    std::fflush(stdout);
    return 1;
}

int Failed(const char *call, unsigned long code) {
    char text[512];
    size_t length = ScmErrorText(code, text, sizeof text);
    text[length >= 2 ? length - 2 : 0] = '\0';  // the CR LF
    std::printf("[SC] %s FAILED %lu:\n\n%s\n\n", call, code, text);
    std::fflush(stdout);
    if (ScmStoreProblem()[0] != '\0') {
        std::fprintf(stderr, "tarnwick-sc: %s\n", ScmStoreProblem());
    }
    return 1;
}

int Succeeded(const char *call) {
    std::printf("[SC] %s SUCCESS\n", call);
    std::fflush(stdout);
    return 0;
}

// Polls done() until it holds (true) or kStateWait has passed (false).
template <typename Done>
bool PollUntil(Done done) {
    for (auto end = std::chrono::steady_clock::now() + kStateWait; !done();) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

// The manager and one service, opened for a command and closed at its end,
// with the service's folder, key and record.
struct Opened {
    ScmHandle manager = 0;
    ScmHandle service = 0;
    ScmFolder folder = {};
    char key[kScmKeySize] = {};
    ScmRecord record = {};

    ~Opened() {
        ScmCloseHandle(service);  // none: refused, no harm
        ScmCloseHandle(manager);
    }
    // Returns 0, or the exit status after the failure was printed.
    int Open(const char *name, uint32_t manager_access) {
        manager = ScmOpenManager(manager_access);
        if (manager == 0) {
            return Failed("OpenSCManager", PlatformLastError());
        }
        service = ScmOpenService(manager, name, kServiceAllAccess);
        if (service == 0) {
            return Failed("OpenService", PlatformLastError());
        }
        ScmStoreFolder(false, &folder);
        ScmStoreKey(folder.path, name, key);
        ScmStoreReadRecord(folder.path, key, &record);
        return 0;
    }
    // Prints the status as sc query does, under the name as created.
    void Print(const ServiceStatusRecord &s) const {
        static const char *const kStates[] = {"STOPPED", "START_PENDING",    "STOP_PENDING",
                                              "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING",
                                              "PAUSED"};
        uint32_t accepted = s.controlsAccepted;
        std::printf(
            "\nSERVICE_NAME: %s\n        TYPE : %x  %s\n        STATE : %u  %s\n"
            "                (%s, %s, %s)\n        WIN32_EXIT_CODE : %u  (0x%x)\n"
            "        SERVICE_EXIT_CODE : %u  (0x%x)\n        CHECKPOINT : 0x%x\n"
            "        WAIT_HINT : 0x%x\n",
            record.name, s.serviceType,
            s.serviceType == kServiceWin32OwnProcess ? "WIN32_OWN_PROCESS" : "", s.currentState,
            s.currentState >= 1 && s.currentState <= 7 ? kStates[s.currentState - 1] : "UNKNOWN",
            (accepted & kServiceAcceptStop) != 0 ? "STOPPABLE" : "NOT_STOPPABLE",
            (accepted & kServiceAcceptPauseContinue) != 0 ? "PAUSABLE" : "NOT_PAUSABLE",
            (accepted & kServiceAcceptShutdown) != 0 ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN",
            s.win32ExitCode, s.win32ExitCode, s.serviceSpecificExitCode, s.serviceSpecificExitCode,
            s.checkPoint, s.waitHint);
        std::fflush(stdout);
    }
    // Waits until the process that last reported for the service has ended
    // (at most kStateWait).  Returns true when it has, or there is none.
    bool WaitForProcessEnd() const {
        return PollUntil([this] {
            ScmStoredStatus last;
            ScmStoreReadStatus(folder.path, key, &last);
            return !ScmStoreProcessAlive(last.pid, last.startTime);
        });
    }
};

// The service's process, between fork and exec: records START_PENDING with
// its own id before the program runs, so that the program's own reports come
// later, and runs the program; writes the Windows code of what failed to fail.
[[noreturn]] void RunChild(const Opened &o, const ScmRecord &record, bool foreground,
                           const char *folder, char *program, int fail) {
    if (foreground) {
        // A process group of its own: a Ctrl+C at the terminal reaches
        // tarnwick-sc only, which sends the stop control; one that came
        // before is dropped.  Writes to the terminal from the background
        // must not stop the service.
        setpgid(0, 0);
        signal(SIGINT, SIG_IGN);
        signal(SIGINT, SIG_DFL);
        signal(SIGTTOU, SIG_IGN);
    } else {
        setsid();
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        // Made afresh: the trace is the owner's only.
        int log = open(ScmStorePath(o.folder.path, o.key, ".out").text,
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        dup2(in, 0);
        dup2(log, 1);
        dup2(log, 2);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setenv(kScmFolderVariable, folder, 1);
    setenv(kScmServiceVariable, record.name, 1);
    char *argv[] = {program, nullptr};
    ScmStoredStatus starting = {{record.serviceType, kServiceStartPending, 0, 0, 0, 0, 0},
                                getpid(),
                                ScmStoreProcessStartTime(getpid())};
    unsigned long code = ScmStoreWriteStatus(o.folder.path, o.key, &starting);
    if (code == 0 && chdir("/") == 0) {
        execv(program, argv);
    }
    code = code != 0 ? code : WindowsErrorOfErrno(errno);
    [[maybe_unused]] ssize_t rc = write(fail, &code, sizeof code);
    _exit(127);
}

// Launches the service's process, detached (a session of its own, output to
// <key>.out) or as a child in the foreground.  Returns 0 and the child's id,
// or the error code.
unsigned long Launch(const Opened &o, bool foreground, pid_t *child) {
    // A process that has reported its stop may still be ending: its last
    // reports must not overwrite the new run's.
    ScmStoredStatus current;
    ScmStoreReadStatus(o.folder.path, o.key, &current);
    if (current.status.currentState == kServiceStopped && !o.WaitForProcessEnd()) {
        return kErrorServiceAlreadyRunning;
    }
    int lock = ScmStoreLock(o.folder.path);
    if (lock < 0) {
        return kErrorAccessDenied;
    }
    ScmRecord record;
    char folder[kScmPathSize];
    unsigned long code = ScmStoreReadRecord(o.folder.path, o.key, &record);
    ScmStoreCurrentStatus(o.folder.path, o.key, &current, true);
    code = code != 0                                        ? code
           : record.deletePending != 0                      ? kErrorServiceMarkedForDelete
           : current.status.currentState != kServiceStopped ? kErrorServiceAlreadyRunning
           : realpath(o.folder.path, folder) == nullptr     ? WindowsErrorOfErrno(errno)
                                                            : 0;
    if (code != 0) {
        close(lock);
        return code;
    }
    // One pair of enclosing quotes is not part of the path.
    char program[kScmPathSize];
    size_t n = std::strlen(record.binaryPath);
    bool quoted = n >= 2 && record.binaryPath[0] == '"' && record.binaryPath[n - 1] == '"';
    std::snprintf(program, sizeof program, "%.*s", static_cast<int>(quoted ? n - 2 : n),
                  record.binaryPath + (quoted ? 1 : 0));
    // The last run's output goes; the new run makes its own.
    unlink(ScmStorePath(o.folder.path, o.key, ".out").text);
    // The child's code when it fails before its program runs; a successful
    // exec closes the pipe.  The lock is held until then.
    int fail[2] = {-1, -1};
    *child = pipe2(fail, O_CLOEXEC) == 0 ? fork() : -1;
    int err = errno;
    if (*child == 0) {
        RunChild(o, record, foreground, folder, program, fail[1]);
    }
    close(fail[1]);
    code = *child < 0 ? WindowsErrorOfErrno(err) : 0;
    while (*child > 0 && read(fail[0], &code, sizeof code) < 0 && errno == EINTR) {
    }
    close(fail[0]);
    if (code != 0 && *child > 0) {
        waitpid(*child, nullptr, 0);
        ScmStoredStatus stopped = {{record.serviceType, kServiceStopped, 0, 0, 0, 0, 0}, 0, 0};
        ScmStoreWriteStatus(o.folder.path, o.key, &stopped);
    }
    close(lock);
    return code;
}

int Create(const char *name, const char *option, const char *path) {
    if (strcasecmp(option, "binPath=") != 0) {
        return Usage();
    }
    Opened o;
    o.manager = ScmOpenManager(kScManagerAllAccess);
    if (o.manager == 0) {
        return Failed("OpenSCManager", PlatformLastError());
    }
    o.service = ScmCreateService(o.manager, name, nullptr, kServiceAllAccess,
                                 kServiceWin32OwnProcess, kServiceDemandStart, kServiceErrorNormal,
                                 path, nullptr, nullptr, "", nullptr, nullptr);
    return o.service == 0 ? Failed("CreateService", PlatformLastError())
                          : Succeeded("CreateService");
}

// The verbs on an opened service; code is control's code.
int Start(Opened &o, uint32_t) {
    pid_t child = 0;
    if (unsigned long code = Launch(o, false, &child); code != 0) {
        return Failed("StartService", code);
    }
    ServiceStatusRecord s = {};
    PollUntil([&] {
        waitpid(child, nullptr, WNOHANG);
        return ScmQueryStatus(o.service, &s) == 0 || s.currentState != kServiceStartPending;
    });
    if (s.currentState == kServiceStartPending) {
        return Failed("StartService", kErrorServiceRequestTimeout);
    }
    o.Print(s);
    return s.currentState != kServiceStopped
               ? 0
               : Failed("StartService",
                        s.win32ExitCode != 0 ? s.win32ExitCode : kErrorServiceNotActive);
}

// Sends the control code; after the stop control, waits until the service's
// process has ended.
int Control(Opened &o, uint32_t code) {
    ServiceStatusRecord s = {};
    if (ScmControlService(o.service, code, &s) == 0) {
        return Failed("ControlService", PlatformLastError());
    }
    bool stop = code == kServiceControlStop;
    if (stop && o.WaitForProcessEnd()) {
        ScmQueryStatus(o.service, &s);
    }
    o.Print(s);
    return stop && s.currentState != kServiceStopped
               ? Failed("ControlService", kErrorServiceRequestTimeout)
               : 0;
}

int Query(Opened &o, uint32_t) {
    ServiceStatusRecord s = {};
    if (ScmQueryStatus(o.service, &s) == 0) {
        return Failed("QueryService", PlatformLastError());
    }
    o.Print(s);
    return 0;
}

int Delete(Opened &o, uint32_t) {
    return ScmDeleteService(o.service) == 0 ? Failed("DeleteService", PlatformLastError())
                                            : Succeeded("DeleteService");
}

int Run(Opened &o, uint32_t) {
    // The signals are taken by sigtimedwait; the child gets them unblocked.
    // SIGQUIT is Ctrl+\ (Ctrl+Break) at the terminal: a stop as well.
    sigset_t set;
    sigset_t old_mask;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGCHLD}) {
        sigaddset(&set, sig);
    }
    sigprocmask(SIG_BLOCK, &set, &old_mask);
    struct Restore {
        sigset_t mask;
        ~Restore() { sigprocmask(SIG_SETMASK, &mask, nullptr); }
    } restore{old_mask};
    pid_t child = 0;
    if (unsigned long code = Launch(o, true, &child); code != 0) {
        return Failed("StartService", code);
    }
    bool stop_wanted = false;
    bool stop_sent = false;
    ServiceStatusRecord s = {};
    for (int status; waitpid(child, &status, WNOHANG) != child;) {
        // A service still starting accepts no stop yet: asked again next
        // second.
        if (stop_wanted && !stop_sent) {
            stop_sent = ScmControlService(o.service, kServiceControlStop, &s) != 0 ||
                        PlatformLastError() != kErrorServiceCannotAcceptCtrl;
        }
        struct timespec second = {1, 0};
        int sig = sigtimedwait(&set, nullptr, &second);
        if (sig == SIGHUP && ScmControlService(o.service, kServiceControlUserFirst, &s) == 0) {
            std::fprintf(stderr, "tarnwick-sc: reload refused: error %lu\n", PlatformLastError());
        }
        stop_wanted = stop_wanted || (sig > 0 && sig != SIGHUP && sig != SIGCHLD);
    }
    ScmQueryStatus(o.service, &s);
    o.Print(s);
    return s.currentState == kServiceStopped && s.win32ExitCode == 0
               ? 0
               : Failed("StartService",
                        s.win32ExitCode != 0 ? s.win32ExitCode : kErrorProcessAborted);
}

}  // namespace

int ScmCommand(int argc, char **argv) {
    const char *verb = argc >= 3 ? argv[1] : "";
    if (argc == 5 && strcasecmp(verb, "create") == 0) {
        return Create(argv[2], argv[3], argv[4]);
    }
    // control's code: decimal, 32 bits.
    char *end = nullptr;
    errno = 0;
    unsigned long code = argc == 4 ? std::strtoul(argv[3], &end, 10) : kServiceControlStop;
    if (argc == 4 && (argv[3][0] < '0' || argv[3][0] > '9' || *end != '\0' || errno != 0 ||
                      code > 0xFFFFFFFFul)) {
        return Usage();
    }
    const struct {
        const char *verb;
        int argc;
        uint32_t access;  // of the manager
        int (*run)(Opened &o, uint32_t code);
    } verbs[] = {
        {"start", 3, kScManagerAllAccess, Start},   {"stop", 3, kScManagerConnect, Control},
        {"control", 4, kScManagerConnect, Control}, {"query", 3, kScManagerConnect, Query},
        {"delete", 3, kScManagerAllAccess, Delete}, {"run", 3, kScManagerAllAccess, Run}};
    for (const auto &v : verbs) {
        if (argc == v.argc && strcasecmp(verb, v.verb) == 0) {
            Opened o;
            int rc = o.Open(argv[2], v.access);
            return rc != 0 ? rc : v.run(o, static_cast<uint32_t>(code));
        }
    }
    return Usage();
}
