// tarnwick-sc: create, start, stop, control, query, delete and run services
// of the POSIX service database.
#include "platform/posix/scm_command.h"

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

#include "platform/errors.h"
#include "platform/posix/scm_store.h"
#include "platform/scm.h"

namespace {

// How long start and stop wait for the state they asked for, and the pause
// between two reads of the state.
constexpr auto kStateWait = std::chrono::seconds(30);
constexpr unsigned kPollMs = 50;
// How long a start waits for the process of the last run, already stopped,
// to end, and a stop for the process to end once it has reported its stop.
constexpr auto kProcessEndWait = std::chrono::seconds(10);
// run: how long a stop may take before the service process gets SIGTERM.
constexpr auto kStopGrace = std::chrono::seconds(30);
// The most arguments a binary path may carry.
constexpr int kMaxArgs = 32;

void Usage() {
    std::printf(
        "Usage:\n"
        "  tarnwick-sc create NAME binPath= PATH [DisplayName= TEXT] "
        "[start= demand|auto|disabled]\n"
        "  tarnwick-sc start NAME\n"
        "  tarnwick-sc stop NAME\n"
        "  tarnwick-sc control NAME CODE\n"
        "  tarnwick-sc query NAME\n"
        "  tarnwick-sc delete NAME\n"
        "  tarnwick-sc run NAME\n");
    std::fflush(stdout);
}

int Failed(const char *call, unsigned long code) {
    char text[512];
    size_t length = ScmErrorText(code, text, sizeof text);
    if (length >= 2) {
        text[length - 2] = '\0';  // the CR LF
    } else {
        text[0] = '\0';
    }
    std::printf("[SC] %s FAILED %lu:\n\n%s\n\n", call, code, text);
    std::fflush(stdout);
    return 1;
}

const char *StateName(uint32_t state) {
    static const char *const kNames[] = {"STOPPED", "START_PENDING",    "STOP_PENDING",
                                         "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING",
                                         "PAUSED"};
    return state >= 1 && state <= 7 ? kNames[state - 1] : "UNKNOWN";
}

// Prints the status as sc query does, under the service's name as created.
void PrintStatus(const char *name, const ServiceStatusRecord &s) {
    char folder[kScmPathSize];
    char key[kScmKeySize];
    ScmRecord record;
    if (ScmStoreFolder(folder, sizeof folder) == 0 && ScmStoreKey(name, key, sizeof key) == 0 &&
        ScmStoreReadRecord(folder, key, &record) == 0) {
        name = record.name;
    }
    std::printf("\nSERVICE_NAME: %s\n", name);
    std::printf("        TYPE : %x  %s\n", s.serviceType,
                s.serviceType == kServiceWin32OwnProcess ? "WIN32_OWN_PROCESS" : "");
    std::printf("        STATE : %u  %s\n", s.currentState, StateName(s.currentState));
    std::printf(
        "                (%s, %s, %s)\n",
        (s.controlsAccepted & kServiceAcceptStop) != 0 ? "STOPPABLE" : "NOT_STOPPABLE",
        (s.controlsAccepted & kServiceAcceptPauseContinue) != 0 ? "PAUSABLE" : "NOT_PAUSABLE",
        (s.controlsAccepted & kServiceAcceptShutdown) != 0 ? "ACCEPTS_SHUTDOWN"
                                                           : "IGNORES_SHUTDOWN");
    std::printf("        WIN32_EXIT_CODE : %u  (0x%x)\n", s.win32ExitCode, s.win32ExitCode);
    std::printf("        SERVICE_EXIT_CODE : %u  (0x%x)\n", s.serviceSpecificExitCode,
                s.serviceSpecificExitCode);
    std::printf("        CHECKPOINT : 0x%x\n", s.checkPoint);
    std::printf("        WAIT_HINT : 0x%x\n", s.waitHint);
    std::fflush(stdout);
}

// The manager and one service, opened for a command; closed on destruction.
struct Opened {
    ScmHandle manager = 0;
    ScmHandle service = 0;
    ~Opened() {
        if (service != 0) {
            ScmCloseHandle(service);
        }
        if (manager != 0) {
            ScmCloseHandle(manager);
        }
    }
    // Returns 0, or the exit status after the failure was printed.
    int Open(const char *name, uint32_t manager_access) {
        manager = ScmOpenManager(manager_access);
        if (manager == 0) {
            return Failed("OpenSCManager", LastError());
        }
        service = ScmOpenService(manager, name, kServiceAllAccess);
        if (service == 0) {
            return Failed("OpenService", LastError());
        }
        return 0;
    }
};

void SleepPoll() {
    struct timespec ts = {0, static_cast<long>(kPollMs) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Waits until the process that last reported for the service has ended (at
// most kProcessEndWait).  Returns true when it has, or when there is none.
bool WaitForProcessEnd(const char *name) {
    char folder[kScmPathSize];
    char key[kScmKeySize];
    if (ScmStoreFolder(folder, sizeof folder) != 0 || ScmStoreKey(name, key, sizeof key) != 0) {
        return true;
    }
    auto end = std::chrono::steady_clock::now() + kProcessEndWait;
    for (;;) {
        ScmStoredStatus last;
        ScmStoreReadStatus(folder, key, kServiceWin32OwnProcess, &last);
        if (!ScmStoreProcessAlive(last.pid, last.startTime)) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        SleepPoll();
    }
}

// Splits the binary path into the program and its arguments (see the
// header).  argv points into buffer.
bool SplitBinaryPath(const char *path, char *buffer, size_t size, char **argv) {
    std::snprintf(buffer, size, "%s", path);
    if (buffer[0] != '"') {
        argv[0] = buffer;
        argv[1] = nullptr;
        return true;
    }
    char *close = std::strchr(buffer + 1, '"');
    if (close == nullptr) {
        return false;
    }
    *close = '\0';
    argv[0] = buffer + 1;
    int argc = 1;
    char *save = nullptr;
    for (char *word = strtok_r(close + 1, " \t", &save); word != nullptr;
         word = strtok_r(nullptr, " \t", &save)) {
        if (argc + 1 >= kMaxArgs) {
            return false;
        }
        argv[argc++] = word;
    }
    argv[argc] = nullptr;
    return true;
}

// Launches the service's process: detached (a session of its own, output to
// <key>.out) or as a child in the foreground.  The status START_PENDING with
// the child's id is recorded before the child may run the program, so that
// its own reports always come later.  Returns 0 and the child's id, or the
// error code.
unsigned long Launch(const char *name, bool foreground, pid_t *child) {
    char folder[kScmPathSize];
    char key[kScmKeySize];
    if (unsigned long code = ScmStoreFolder(folder, sizeof folder); code != 0) {
        return code;
    }
    if (unsigned long code = ScmStoreKey(name, key, sizeof key); code != 0) {
        return code;
    }
    // A process that has reported its stop may still be ending: its last
    // reports must not overwrite the new run's.
    ScmStoredStatus last;
    ScmStoreReadStatus(folder, key, kServiceWin32OwnProcess, &last);
    if (last.status.currentState == kServiceStopped && !WaitForProcessEnd(name)) {
        return kScmErrorServiceAlreadyRunning;
    }
    int lock = ScmStoreLock(folder);
    if (lock < 0) {
        return kScmErrorAccessDenied;
    }
    struct Unlock {
        int fd;
        ~Unlock() { ScmStoreUnlock(fd); }
    } unlock{lock};

    ScmRecord record;
    if (unsigned long code = ScmStoreReadRecord(folder, key, &record); code != 0) {
        return code;
    }
    if (record.deletePending != 0) {
        return kScmErrorServiceMarkedForDelete;
    }
    if (record.startType == kServiceDisabled) {
        return kScmErrorServiceDisabled;
    }
    ScmStoredStatus current;
    ScmStoreCurrentStatus(folder, key, record.serviceType, &current, true);
    if (current.status.currentState != kServiceStopped) {
        return kScmErrorServiceAlreadyRunning;
    }
    char args[kScmPathSize];
    char *argv[kMaxArgs];
    if (!SplitBinaryPath(record.binaryPath, args, sizeof args, argv)) {
        return kScmErrorInvalidParameter;
    }
    char out[kScmPathSize];
    if (!ScmStorePath(folder, key, ".out", out, sizeof out)) {
        return kScmErrorInvalidName;
    }
    char abs_folder[kScmPathSize];
    if (realpath(folder, abs_folder) == nullptr) {
        return ScmErrnoCode(errno);
    }

    // go: the parent's word that the status is recorded; fail: the child's
    // errno when exec fails (closed by a successful exec).
    int go[2];
    int fail[2];
    if (pipe2(go, O_CLOEXEC) != 0) {
        return ScmErrnoCode(errno);
    }
    if (pipe2(fail, O_CLOEXEC) != 0) {
        close(go[0]);
        close(go[1]);
        return ScmErrnoCode(errno);
    }
    ScmStoreClearReports(folder, key);
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(go[0]);
        close(go[1]);
        close(fail[0]);
        close(fail[1]);
        return ScmErrnoCode(err);
    }
    if (pid == 0) {
        close(go[1]);
        close(fail[0]);
        char byte;
        while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!foreground) {
            setsid();
            int in = open("/dev/null", O_RDONLY);
            int log = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in >= 0) {
                dup2(in, 0);
            }
            if (log >= 0) {
                dup2(log, 1);
                dup2(log, 2);
            }
        }
        setenv(kScmFolderVariable, abs_folder, 1);
        setenv(kScmServiceVariable, record.name, 1);
        int err = 0;
        if (chdir("/") != 0) {
            err = errno;
        } else {
            execv(argv[0], argv);
            err = errno;
        }
        ssize_t rc = write(fail[1], &err, sizeof err);
        (void)rc;
        _exit(127);
    }
    close(go[0]);
    close(fail[1]);
    ScmStoredStatus starting = {};
    starting.status.serviceType = record.serviceType;
    starting.status.currentState = kServiceStartPending;
    starting.pid = pid;
    starting.startTime = ScmStoreProcessStartTime(pid);
    unsigned long code = ScmStoreWriteStatus(folder, key, &starting);
    char byte = code == 0 ? 1 : 0;
    ssize_t rc = write(go[1], &byte, 1);
    (void)rc;
    close(go[1]);
    int err = 0;
    ssize_t n;
    while ((n = read(fail[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    close(fail[0]);
    if (code == 0 && n == static_cast<ssize_t>(sizeof err)) {
        code = ScmErrnoCode(err);
    }
    if (code != 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ScmStoredStatus stopped = {};
        stopped.status.serviceType = record.serviceType;
        stopped.status.currentState = kServiceStopped;
        ScmStoreWriteStatus(folder, key, &stopped);
        return code;
    }
    *child = pid;
    return 0;
}

// Waits until the state is no longer from (or the time is up); reaps child
// when it ends meanwhile.  Returns the last status read.
ServiceStatusRecord WaitWhile(ScmHandle service, uint32_t from, pid_t child) {
    auto end = std::chrono::steady_clock::now() + kStateWait;
    ServiceStatusRecord s = {};
    for (;;) {
        if (child > 0) {
            waitpid(child, nullptr, WNOHANG);
        }
        if (ScmQueryStatus(service, &s) == 0 || s.currentState != from ||
            std::chrono::steady_clock::now() > end) {
            return s;
        }
        SleepPoll();
    }
}

int Create(int argc, char **argv) {
    const char *name = argv[2];
    const char *path = nullptr;
    const char *display = nullptr;
    uint32_t start = kServiceDemandStart;
    for (int i = 3; i < argc; ++i) {
        // "option= value" as sc.exe has it, or "option=value".
        const char *option = argv[i];
        const char *eq = std::strchr(option, '=');
        if (eq == nullptr || (eq[1] == '\0' && i + 1 >= argc)) {
            Usage();
            return 1;
        }
        size_t len = static_cast<size_t>(eq - option);
        const char *value = eq[1] != '\0' ? eq + 1 : argv[++i];
        if (len == 7 && strncasecmp(option, "binPath", len) == 0) {
            path = value;
        } else if (len == 11 && strncasecmp(option, "DisplayName", len) == 0) {
            display = value;
        } else if (len == 5 && strncasecmp(option, "start", len) == 0 &&
                   strcasecmp(value, "demand") == 0) {
            start = kServiceDemandStart;
        } else if (len == 5 && strncasecmp(option, "start", len) == 0 &&
                   strcasecmp(value, "auto") == 0) {
            start = kServiceAutoStart;
        } else if (len == 5 && strncasecmp(option, "start", len) == 0 &&
                   strcasecmp(value, "disabled") == 0) {
            start = kServiceDisabled;
        } else if (!(len == 4 && strncasecmp(option, "type", len) == 0 &&
                     strcasecmp(value, "own") == 0)) {
            Usage();
            return 1;
        }
    }
    ScmHandle manager = ScmOpenManager(kScManagerAllAccess);
    if (manager == 0) {
        return Failed("OpenSCManager", LastError());
    }
    ScmHandle service =
        ScmCreateService(manager, name, display, kServiceAllAccess, kServiceWin32OwnProcess, start,
                         kServiceErrorNormal, path, nullptr, nullptr, "", nullptr, nullptr);
    unsigned long code = LastError();
    ScmCloseHandle(manager);
    if (service == 0) {
        return Failed("CreateService", code);
    }
    ScmCloseHandle(service);
    std::printf("[SC] CreateService SUCCESS\n");
    std::fflush(stdout);
    return 0;
}

int Start(const char *name) {
    Opened o;
    if (int rc = o.Open(name, kScManagerAllAccess); rc != 0) {
        return rc;
    }
    pid_t child = 0;
    if (unsigned long code = Launch(name, false, &child); code != 0) {
        return Failed("StartService", code);
    }
    ServiceStatusRecord s = WaitWhile(o.service, kServiceStartPending, child);
    if (s.currentState == kServiceStartPending) {
        return Failed("StartService", kScmErrorServiceRequestTimeout);
    }
    if (s.currentState == kServiceStopped) {
        PrintStatus(name, s);
        return Failed("StartService",
                      s.win32ExitCode != 0 ? s.win32ExitCode : kScmErrorServiceNotActive);
    }
    PrintStatus(name, s);
    return 0;
}

int Stop(const char *name) {
    Opened o;
    if (int rc = o.Open(name, kScManagerConnect); rc != 0) {
        return rc;
    }
    ServiceStatusRecord s = {};
    if (ScmControlService(o.service, kServiceControlStop, &s) == 0) {
        return Failed("ControlService", LastError());
    }
    if (s.currentState != kServiceStopped) {
        s = WaitWhile(o.service, s.currentState, 0);
        if (s.currentState == kServiceStopPending) {
            s = WaitWhile(o.service, kServiceStopPending, 0);
        }
    }
    PrintStatus(name, s);
    if (s.currentState != kServiceStopped) {
        return Failed("ControlService", kScmErrorServiceRequestTimeout);
    }
    WaitForProcessEnd(name);
    return 0;
}

int Control(const char *name, const char *code_text) {
    char *end = nullptr;
    errno = 0;
    unsigned long code = std::strtoul(code_text, &end, 10);
    if (code_text[0] < '0' || code_text[0] > '9' || *end != '\0' || errno != 0 ||
        code > 0xFFFFFFFFul) {
        Usage();
        return 1;
    }
    Opened o;
    if (int rc = o.Open(name, kScManagerConnect); rc != 0) {
        return rc;
    }
    ServiceStatusRecord s = {};
    if (ScmControlService(o.service, static_cast<uint32_t>(code), &s) == 0) {
        return Failed("ControlService", LastError());
    }
    PrintStatus(name, s);
    return 0;
}

int Query(const char *name) {
    Opened o;
    if (int rc = o.Open(name, kScManagerConnect); rc != 0) {
        return rc;
    }
    ServiceStatusRecord s = {};
    if (ScmQueryStatus(o.service, &s) == 0) {
        return Failed("QueryService", LastError());
    }
    PrintStatus(name, s);
    return 0;
}

int Delete(const char *name) {
    Opened o;
    if (int rc = o.Open(name, kScManagerAllAccess); rc != 0) {
        return rc;
    }
    if (ScmDeleteService(o.service) == 0) {
        return Failed("DeleteService", LastError());
    }
    std::printf("[SC] DeleteService SUCCESS\n");
    std::fflush(stdout);
    return 0;
}

int Run(const char *name) {
    Opened o;
    if (int rc = o.Open(name, kScManagerAllAccess); rc != 0) {
        return rc;
    }
    // The signals are taken by sigtimedwait; the child gets them unblocked.
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        sigaddset(&set, sig);
    }
    sigset_t old_mask;
    sigprocmask(SIG_BLOCK, &set, &old_mask);
    struct Restore {
        sigset_t mask;
        ~Restore() { sigprocmask(SIG_SETMASK, &mask, nullptr); }
    } restore{old_mask};
    pid_t child = 0;
    if (unsigned long code = Launch(name, true, &child); code != 0) {
        return Failed("StartService", code);
    }
    bool stop_wanted = false;
    bool stop_sent = false;
    bool terminated = false;
    auto stop_since = std::chrono::steady_clock::now();
    for (;;) {
        struct timespec second = {1, 0};
        int sig = sigtimedwait(&set, nullptr, &second);
        if ((sig == SIGTERM || sig == SIGINT) && !stop_wanted) {
            stop_wanted = true;
            stop_since = std::chrono::steady_clock::now();
        } else if (sig == SIGHUP) {
            ServiceStatusRecord s;
            if (ScmControlService(o.service, kServiceControlUserFirst, &s) == 0) {
                std::fprintf(stderr, "tarnwick-sc: reload refused: error %lu\n", LastError());
            }
        }
        int status;
        if (waitpid(child, &status, WNOHANG) == child) {
            break;
        }
        if (stop_wanted && !stop_sent) {
            ServiceStatusRecord s;
            // A service still starting accepts no stop yet: asked again next
            // second.
            if (ScmControlService(o.service, kServiceControlStop, &s) != 0 ||
                LastError() != kScmErrorServiceCannotAcceptCtrl) {
                stop_sent = true;
            }
        }
        if (stop_wanted && !terminated &&
            std::chrono::steady_clock::now() - stop_since > kStopGrace) {
            kill(child, SIGTERM);
            terminated = true;
        }
    }
    ServiceStatusRecord s = {};
    ScmQueryStatus(o.service, &s);
    PrintStatus(name, s);
    if (s.currentState != kServiceStopped || s.win32ExitCode != 0) {
        return Failed("StartService",
                      s.win32ExitCode != 0 ? s.win32ExitCode : kScmErrorProcessAborted);
    }
    return 0;
}

}  // namespace

int ScmCommand(int argc, char **argv) {
    if (argc < 3) {
        Usage();
        return 1;
    }
    const char *verb = argv[1];
    const char *name = argv[2];
    if (strcasecmp(verb, "create") == 0) {
        return Create(argc, argv);
    }
    if (strcasecmp(verb, "control") == 0 && argc == 4) {
        return Control(name, argv[3]);
    }
    if (argc != 3) {
        Usage();
        return 1;
    }
    if (strcasecmp(verb, "start") == 0) {
        return Start(name);
    }
    if (strcasecmp(verb, "stop") == 0) {
        return Stop(name);
    }
    if (strcasecmp(verb, "query") == 0) {
        return Query(name);
    }
    if (strcasecmp(verb, "delete") == 0) {
        return Delete(name);
    }
    if (strcasecmp(verb, "run") == 0) {
        return Run(name);
    }
    Usage();
    return 1;
}
