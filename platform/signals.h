// Signals, as the runtime library's signal() gives them, delivered to a thread.
//
// A handler installed here never runs inside the platform's signal handler.
// The platform's handler only hands the signal number to one dispatch thread,
// which calls the installed handler there; so a handler may format text, write
// files and end the process.  For a fault signal (SIGSEGV, SIGFPE, SIGILL,
// SIGABRT) raised by a thread itself, that thread waits after handing the
// signal over and never returns into the fault: the handler is expected to
// end the process.  It may be unable to (it waits for a lock the faulting
// thread holds), so after kFaultExitSeconds the faulting thread ends the
// process itself with status 1, without flushing; a fault on the dispatch
// thread (inside a handler) ends it at once so.
//
// The thread that installs a handler for SIGTERM, SIGINT (or, through
// console.h, SIGQUIT) no longer takes that signal itself, so its blocking
// waits are never interrupted by it; the signal is taken by another thread.
//
// Signal numbers are the platform's own (<csignal>).  SIGPIPE is ignored from
// the first call on; SIGHUP keeps its default action.
//
// Thread-safe.
#pragma once

using SignalHandler = void (*)(int sig);

// How long a thread that raised a fault waits for the handler to end the
// process before it ends it itself.
constexpr int kFaultExitSeconds = 3;

// Installs handler for sig (one of SIGTERM, SIGINT, SIGABRT, SIGFPE, SIGILL,
// SIGSEGV).  A handler installed for SIGINT takes console interrupts
// (Ctrl+C) before any console control handler (console.h) sees them.
// Returns 0, or -1 for a signal that cannot be handled.
int SignalSet(int sig, SignalHandler handler);
