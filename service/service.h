// The service host: program entry, run modes (service and console), and the
// status reports to the service control manager.
//
// Service mode: the dispatcher runs ServiceMain on a thread of its own and
// control requests (stop, interrogate, 128 = reload the rule file) on the main
// thread.  Console mode (-debug): RunConsole runs the engine on the main
// thread; Ctrl+Break (and Ctrl+C until the engine takes the interrupt signal)
// stops it through ConsoleCtrlHandler.
#pragma once

#include <cstdint>

#include "platform/scm.h"

extern const char kServiceName[];  // "Tarnwick"

struct ServiceState {
    ServiceStatusRecord status = {};
    ServiceStatusHandle statusHandle = kInvalidStatusHandle;
    bool consoleMode = false;
};
extern ServiceState service;

// The program entry: LogInit, then -install, -remove, -debug (after '-' or
// '/', any case), or the usage lines and the dispatcher.  Returns the exit
// status.
int ServiceEntry(int argc, char **argv);

// The console run: prints "Debugging Tarnwick.\n", adds ConsoleCtrlHandler,
// runs ServiceInit and rundaemon.  Returns once the engine has stopped.
void RunConsole(int argc, char **argv);

// Ctrl+C / Ctrl+Break: prints "Stopping Tarnwick.\n" and stops the engine;
// returns 1.  Any other event: returns 0 at once.
int ConsoleCtrlHandler(unsigned long ctrl_type);

// Reports state.  Returns 0 when the status handle is none, otherwise the
// platform's result (0 for the invalid handle of a console run).
int UpdateServiceStatus(uint32_t state);
