// Console control events (SetConsoleCtrlHandler).
//
// On POSIX, Ctrl+C at a terminal (SIGINT) is kCtrlCEvent and Ctrl+\ (SIGQUIT)
// stands for Ctrl+Break, kCtrlBreakEvent.  Each event is offered, on the
// signal dispatch thread (signals.h), to the added handlers from the last
// added to the first until one returns true; when none does, the default
// handling ends the process.  A SIGINT handler installed with SignalSet comes
// before every console handler, as the runtime library's own console handler
// does on Windows.
//
// Thread-safe.
#pragma once

constexpr unsigned long kCtrlCEvent = 0;
constexpr unsigned long kCtrlBreakEvent = 1;
constexpr unsigned long kCtrlCloseEvent = 2;

// Returns nonzero when it handled the event.
using ConsoleHandler = int (*)(unsigned long ctrl_type);

// Adds a handler.  Returns 0, or -1 on failure.
int ConsoleAddHandler(ConsoleHandler handler);
