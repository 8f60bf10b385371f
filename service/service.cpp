// Program entry, the console run and the status reports.
#include "service/service.h"

#include <strings.h>

#include <cstdio>
#include <mutex>

#include "diag/EVENTS.h"
#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "service/settings.h"

const char kServiceName[] = "Tarnwick";
ServiceState service;

namespace {

constexpr char kProgramName[] = "TARNWICK";
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT: the process was not started by the
// service manager.
constexpr unsigned long kErrorNotStartedByManager = 1063;

void PrintUsage() {
    std::printf("%s -install          to install the service\n", kProgramName);
    std::printf("%s -remove           to remove the service\n", kProgramName);
    std::printf("%s -debug <params>   to run as a console app for debugging\n", kProgramName);
    std::printf("\nStartServiceCtrlDispatcher being called.\n");
    std::printf("This may take several seconds.  Please wait.\n");
    std::fflush(stdout);
}

// The switch of the first argument, after '-' or '/', any case; nullptr when
// there is none.
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

}  // namespace

int ServiceEntry(int argc, char **argv) {
    LogInit(kProgramName);
    if (const char *word = Switch(argc, argv); word != nullptr) {
        if (strcasecmp(word, "install") == 0 || strcasecmp(word, "remove") == 0) {
            std::printf("Installation is not available in this build.\n");
            return 1;
        }
        if (strcasecmp(word, "debug") == 0) {
            service.consoleMode = true;
            RunConsole(argc, argv);
            if (const char *failure = LogDirFailure(); failure != nullptr) {
                std::fprintf(stderr, "%s\n", failure);
                return 1;
            }
            return 0;
        }
    }
    PrintUsage();
    // No service manager started this process: the dispatcher fails at once.
    SetLastError(kErrorNotStartedByManager);
    ReportServiceError(kDispatcherFailedText);
    return 1;
}

void RunConsole(int, char **) {
    std::printf("Debugging %s.\n", kServiceName);
    std::fflush(stdout);
    LogEvent(Trace, "Debuging mode\n");
    ConsoleAddHandler(ConsoleCtrlHandler);
    ServiceInit();
    rundaemon();
}

int ConsoleCtrlHandler(unsigned long ctrl_type) {
    if (ctrl_type != kCtrlCEvent && ctrl_type != kCtrlBreakEvent) {
        return 0;
    }
    std::printf("Stopping %s.\n", kServiceName);
    std::fflush(stdout);
    stopdaemon();
    return 1;
}

int UpdateServiceStatus(uint32_t state) {
    // Reports come from the service thread and the control thread.
    static std::mutex status_mutex;
    std::lock_guard<std::mutex> guard(status_mutex);
    if (service.statusHandle == 0) {
        return 0;
    }
    service.status.currentState = state;
    service.status.controlsAccepted = state == kServiceStartPending ? 0 : kServiceAcceptStop;
    if (state == kServiceStartPending || state == kServiceStopPending) {
        ++service.status.checkPoint;
        service.status.waitHint = 5000;
    } else {
        service.status.checkPoint = 0;
        service.status.waitHint = 0;
    }
    if (const char *line = StateLine(state); line != nullptr) {
        LogEvent(Trace, "%s", line);
    }
    return ScmSetStatus(service.statusHandle, &service.status);
}
