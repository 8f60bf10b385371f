// Program entry, installation and removal, the service and console runs, and
// the status reports.
#include "service/service.h"

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "diag/EVENTS.h"
#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "service/service_testing.h"
#include "service/settings.h"

const char kServiceName[] = "Tarnwick";
ServiceState service;

namespace {

constexpr char kProgramName[] = "TARNWICK";
// The one buffer of the console messages' error texts.
constexpr size_t kErrorTextSize = 256;
// The executable's path at installation.
constexpr uint32_t kModulePathSize = 512;
// The system text is fetched whole before the 14-byte rule is applied; a
// longer text counts as none, as it would not fit the 256-byte buffer anyway.
constexpr size_t kSystemTextSize = 1024;
// A removal waits at most this many seconds for a service that stays in
// SERVICE_STOP_PENDING.
constexpr int kRemoveWaitSeconds = 30;
constexpr unsigned kRemoveWaitStepMs = 1000;
// Wait hint of the pending states.
constexpr uint32_t kPendingWaitHintMs = 5000;
// Room "%s (0x%x)" needs beyond the text: " (0x", eight hex digits, ")" and
// the terminator.
constexpr size_t kErrorTextRoom = 14;

char errortext[kErrorTextSize];

const ServiceOps kReal = {
    ServiceInit, rundaemon, stopdaemon, init, LogDirFailure, ConsoleAddHandler, SleepMs,
};
std::atomic<const ServiceOps *> ops{nullptr};

// Runs the test's replacement of a call when it has one, else the real one.
template <typename Result, typename... Params, typename... Args>
Result Run(Result (*ServiceOps::*member)(Params...), Args... args) {
    const ServiceOps *o = ops.load();
    return (o != nullptr && o->*member != nullptr ? o->*member : kReal.*member)(args...);
}

// Guards service.status and service.statusHandle.
std::mutex status_mutex;

void PrintUsage() {
    std::printf("%s -install          to install the service\n", kProgramName);
    std::printf("%s -remove           to remove the service\n", kProgramName);
    std::printf("%s -debug <params>   to run as a console app for debugging\n", kProgramName);
    std::printf("\nStartServiceCtrlDispatcher being called.\n");
    std::printf("This may take several seconds.  Please wait.\n");
    std::fflush(stdout);
}

// The switch of the first argument, after '-' or '/'; nullptr when there is
// none.
const char *Switch(int argc, char **argv) {
    if (argc < 2 || (argv[1][0] != '-' && argv[1][0] != '/')) {
        return nullptr;
    }
    return argv[1] + 1;
}

const char *StateLine(uint32_t state) {
    switch (state) {
        case kServiceStopped:
            return "UpdateServiceStatus(STOPPED)\n";
        case kServiceStartPending:
            return "UpdateServiceStatus(START_PENDING)\n";
        case kServiceStopPending:
            return "UpdateServiceStatus(STOP_PENDING)\n";
        case kServiceRunning:
            return "UpdateServiceStatus(RUNNING)\n";
        default:
            return nullptr;
    }
}

// UpdateServiceStatus with status_mutex held.
int ReportLocked(uint32_t state) {
    if (service.statusHandle == 0) {
        return 0;
    }
    ServiceStatusRecord &s = service.status;
    s.currentState = state;
    s.controlsAccepted = state == kServiceStartPending ? 0 : kServiceAcceptStop;
    if (state == kServiceStartPending || state == kServiceStopPending) {
        ++s.checkPoint;
        s.waitHint = kPendingWaitHintMs;
    } else {
        s.checkPoint = 0;
        s.waitHint = 0;
    }
    if (const char *line = StateLine(state); line != nullptr) {
        LogEvent(Trace, "%s", line);
    }
    return ScmSetStatus(service.statusHandle, &s);
}

void Say(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

}  // namespace

int ServiceEntry(int argc, char **argv) {
    LogInit(kProgramName);
    if (const char *word = Switch(argc, argv); word != nullptr) {
        if (strcasecmp(word, "install") == 0) {
            InstallService();
            return 0;
        }
        if (strcasecmp(word, "remove") == 0) {
            RemoveService();
            return 0;
        }
        if (strcasecmp(word, "debug") == 0) {
            service.consoleMode = true;
            RunConsole(argc, argv);
            if (const char *failure = Run(&ServiceOps::logDirFailure); failure != nullptr) {
                std::fprintf(stderr, "%s\n", failure);
                return 1;
            }
            return 0;
        }
    }
    PrintUsage();
    const ScmTableEntry table[] = {{kServiceName, ServiceMain}, {nullptr, nullptr}};
    if (ScmStartDispatcher(table) == 0) {
        ReportServiceError(kDispatcherFailedText);
        return 1;
    }
    return 0;
}

void InstallService() {
    // A path that does not fit comes back cut, with its buffer's size: the
    // cut path would name another program, so the install fails instead.
    char path[kModulePathSize];
    uint32_t length = ScmModuleFileName(path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        std::printf("Unable to install %s - %s\n", kServiceName,
                    LastErrorText(errortext, sizeof errortext));
        std::fflush(stdout);
        return;
    }
    // In quotes: unquoted, a path with a blank ("C:\Program Files\...") lets
    // the manager try "C:\Program.exe" first.
    char quoted[kModulePathSize + 2];
    std::snprintf(quoted, sizeof quoted, "\"%s\"", path);
    ScmHandle manager = ScmOpenManager(kScManagerAllAccess);
    if (manager == 0) {
        std::printf("OpenSCManager failed - %s\n", LastErrorText(errortext, sizeof errortext));
        std::fflush(stdout);
        return;
    }
    // Dependencies: an empty list, a text that begins with its terminator.
    ScmHandle svc = ScmCreateService(
        manager, kServiceName, kServiceName, kServiceAllAccess, kServiceWin32OwnProcess,
        kServiceDemandStart, kServiceErrorNormal, quoted, nullptr, nullptr, "", nullptr, nullptr);
    if (svc != 0) {
        std::printf("%s installed.\n", kServiceName);
        ScmCloseHandle(svc);
    } else {
        std::printf("CreateService failed - %s\n", LastErrorText(errortext, sizeof errortext));
    }
    std::fflush(stdout);
    ScmCloseHandle(manager);
}

void RemoveService() {
    ScmHandle manager = ScmOpenManager(kScManagerAllAccess);
    if (manager == 0) {
        std::printf("OpenSCManager failed - %s\n", LastErrorText(errortext, sizeof errortext));
        std::fflush(stdout);
        return;
    }
    ScmHandle svc = ScmOpenService(manager, kServiceName, kServiceAllAccess);
    if (svc == 0) {
        std::printf("OpenService failed - %s\n", LastErrorText(errortext, sizeof errortext));
        std::fflush(stdout);
        ScmCloseHandle(manager);
        return;
    }
    ServiceStatusRecord status = {};
    if (ScmControlService(svc, kServiceControlStop, &status) != 0) {
        std::printf("Stopping %s.", kServiceName);
        std::fflush(stdout);
        Run(&ServiceOps::sleepMs, kRemoveWaitStepMs);
        // One "." for each read that still finds it stopping; a service stuck
        // there is given up after kRemoveWaitSeconds.
        int waited = 1;
        ServiceStatusRecord read;
        while (ScmQueryStatus(svc, &read) != 0) {
            status = read;
            if (status.currentState != kServiceStopPending) {
                break;
            }
            Say(".");
            if (waited >= kRemoveWaitSeconds) {
                break;
            }
            Run(&ServiceOps::sleepMs, kRemoveWaitStepMs);
            ++waited;
        }
        if (status.currentState == kServiceStopped) {
            std::printf("\n%s stopped.\n", kServiceName);
        } else {
            std::printf("\n%s failed to stop.\n", kServiceName);
        }
        std::fflush(stdout);
    }
    if (ScmDeleteService(svc) != 0) {
        std::printf("%s removed.\n", kServiceName);
    } else {
        std::printf("DeleteService failed - %s\n", LastErrorText(errortext, sizeof errortext));
    }
    std::fflush(stdout);
    ScmCloseHandle(svc);
    ScmCloseHandle(manager);
}

char *LastErrorText(char *buffer, size_t size) {
    char text[kSystemTextSize];
    size_t length = ScmErrorText(PlatformLastError(), text, sizeof text);
    if (length == 0 || size < length + kErrorTextRoom) {
        if (size > 0) {
            buffer[0] = '\0';
        }
        return buffer;
    }
    // Every system text ends with CR LF.
    text[length >= 2 ? length - 2 : 0] = '\0';
    std::snprintf(buffer, size, "%s (0x%lx)", text, PlatformLastError());
    return buffer;
}

void ServiceMain(uint32_t, char **) {
    // Cleared before a control handler can set it: a stop requested during
    // the start-up stands, and the engine does not start.
    engine.stoprequested = 0;
    if (EventLogOpen() == 0) {
        LogEvent(Error, "Could not initialize event driver\n");
    } else {
        ServiceStatusHandle handle = ScmRegisterHandler(kServiceName, ServiceCtrlHandler);
        {
            std::lock_guard<std::mutex> guard(status_mutex);
            service.statusHandle = handle;
        }
        if (handle == 0) {
            return;
        }
        ReportServiceStartEvent();
        {
            std::lock_guard<std::mutex> guard(status_mutex);
            service.status.serviceType = kServiceWin32OwnProcess;
            service.status.serviceSpecificExitCode = 0;
        }
        UpdateServiceStatus(kServiceStartPending);
        Run(&ServiceOps::serviceInit);
        ReportServiceStartError();
        Run(&ServiceOps::rundaemon);
        if (const char *failure = Run(&ServiceOps::logDirFailure); failure != nullptr) {
            ReportServiceError(failure);
        }
    }
    std::lock_guard<std::mutex> guard(status_mutex);
    if (service.statusHandle != 0) {
        ReportLocked(kServiceStopped);
        if (service.statusHandle != kInvalidStatusHandle) {
            service.statusHandle = 0;
        }
    }
}

void ServiceCtrlHandler(uint32_t control) {
    switch (control) {
        case kServiceControlStop:
            UpdateServiceStatus(kServiceStopPending);
            Run(&ServiceOps::stopdaemon);
            UpdateServiceStatus(kServiceStopped);
            EventLogClose();
            break;
        case kServiceControlInterrogate:
            LogEvent(Trace, "interrogating service.....\n");
            break;
        case kServiceControlUserFirst:
            // The reload takes the engine lock: no message is routed, and no
            // tick runs, while the old targets close and the new ones load.
            LogEvent(Trace, "re-initing service.....\n");
            Run(&ServiceOps::init);
            break;
        default:
            break;
    }
}

void RunConsole(int, char **) {
    std::printf("Debugging %s.\n", kServiceName);
    std::fflush(stdout);
    LogEvent(Trace, "Debuging mode\n");
    engine.stoprequested = 0;  // as in ServiceMain
    Run(&ServiceOps::consoleAddHandler, ConsoleCtrlHandler);
    Run(&ServiceOps::serviceInit);
    Run(&ServiceOps::rundaemon);
}

int ConsoleCtrlHandler(unsigned long ctrl_type) {
    if (ctrl_type != kCtrlCEvent && ctrl_type != kCtrlBreakEvent) {
        return 0;
    }
    std::printf("Stopping %s.\n", kServiceName);
    std::fflush(stdout);
    Run(&ServiceOps::stopdaemon);
    return 1;
}

int UpdateServiceStatus(uint32_t state) {
    std::lock_guard<std::mutex> guard(status_mutex);
    return ReportLocked(state);
}

void ServiceSetForTest(const ServiceOps *replacement) {
    ops.store(replacement);
}

void ServiceResetForTest() {
    std::lock_guard<std::mutex> guard(status_mutex);
    service = ServiceState{};
}
