// The service host: program entry and command line, installation and removal
// of the service, the two run modes (service and console) and the status
// reports to the service control manager (platform/scm.h).
//
// Service mode: the entry hands the main thread to the dispatcher, which runs
// ServiceMain on a thread of its own (the service thread: start-up and the
// engine) and every control request on the main thread through
// ServiceCtrlHandler: stop (1), interrogate (4) and 128, which reloads the
// rule file.  Console mode (-debug): RunConsole runs the engine on the main
// thread; Ctrl+Break (and Ctrl+C until the engine takes the interrupt signal)
// stops it through ConsoleCtrlHandler, on the console event thread.
//
// Thread-safety: the status record and the status handle are shared by the
// service thread and the control thread; UpdateServiceStatus and ServiceMain
// change them under one lock, so every report carries a consistent record.
// consoleMode is set once, before any other thread starts.  InstallService,
// RemoveService and LastErrorText run on the main thread only (they share one
// error text buffer).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/scm.h"

extern const char kServiceName[];  // "Tarnwick"

struct ServiceState {
    ServiceStatusRecord status = {};
    ServiceStatusHandle statusHandle = kInvalidStatusHandle;
    bool consoleMode = false;
};
extern ServiceState service;

// The program entry: LogInit, then, by the first argument after '-' or '/'
// (any case, the whole rest of the argument): "install" runs InstallService,
// "remove" RemoveService, each ending with status 0; "debug" runs RunConsole
// (status 0, or 1 when the log directory could not be entered).  Anything
// else prints the usage lines and enters the dispatcher: status 0 once the
// service has stopped, 1 when the dispatcher could not be started (reported
// with ReportServiceError "StartServiceCtrlDispatcher failed.").
int ServiceEntry(int argc, char **argv);

// Registers the service "Tarnwick" (own process, started on demand,
// LocalSystem, the executable's path in double quotes) and prints "Tarnwick
// installed.\n", or what failed: "Unable to install %s - %s\n" (also for a
// path that does not fit 511 characters), "OpenSCManager failed - %s\n",
// "CreateService failed - %s\n" with LastErrorText.
void InstallService();

// Stops the service when it runs ("Stopping Tarnwick.", then one "." for
// each second it is still stopping, at most 30, then "\nTarnwick stopped.\n"
// or "\nTarnwick failed to stop.\n") and deletes it ("Tarnwick removed.\n").
// Failures: "OpenSCManager failed - %s\n", "OpenService failed - %s\n",
// "DeleteService failed - %s\n" with LastErrorText.
void RemoveService();

// The text of the calling thread's last system error as "%s (0x%x)": the
// system's text without its closing CR LF, and the code in lower-case hex.
// The empty text when there is none, or when size is less than the text's
// length (CR LF included) plus 14.  Returns buffer.
char *LastErrorText(char *buffer, size_t size);

// The service's main function, on the service thread: stoprequested
// cleared, event source, control handler, start event, SERVICE_START_PENDING,
// ServiceInit, the "Trying to start tarnwick" report, rundaemon, and
// SERVICE_STOPPED once the engine has returned.  When the log directory cannot be entered, a
// ReportServiceError names it.
void ServiceMain(uint32_t argc, char **argv);

// The control handler, on the main thread: 1 stops the engine (reports
// SERVICE_STOP_PENDING, stopdaemon, SERVICE_STOPPED, closes the event
// source) without waiting for the receive loop; 4 traces
// "interrogating service.....\n"; 128 traces "re-initing service.....\n" and
// reloads the rule file (init, under the engine lock).  Other codes: nothing.
void ServiceCtrlHandler(uint32_t control);

// The console run: prints "Debugging Tarnwick.\n", clears stoprequested,
// adds ConsoleCtrlHandler, runs ServiceInit and rundaemon.  Returns once the
// engine has stopped (at once when a stop came during the start-up).
void RunConsole(int argc, char **argv);

// Ctrl+C / Ctrl+Break: prints "Stopping Tarnwick.\n" and stops the engine;
// returns 1.  Any other event: returns 0 at once.
int ConsoleCtrlHandler(unsigned long ctrl_type);

// Reports state: sets the current state, the controls accepted (none while
// starting, stop otherwise), the check point (one more at each pending
// report, 0 otherwise) and the wait hint (5000 ms while pending), traces
// "UpdateServiceStatus(<STATE>)\n" and calls ScmSetStatus.  Returns 0 when
// the status handle is none (nothing else happens), otherwise ScmSetStatus's
// result (0 for the invalid handle of a console run).
int UpdateServiceStatus(uint32_t state);
