// tarnwick-sc: the POSIX stand-in of sc.exe, over the service database of
// platform/posix/scm_store.h and the calls of platform/scm.h, with sc.exe's
// word order: create NAME binPath= PATH, start NAME (detached; waits at most
// 30 s until it runs or has stopped), stop NAME (the stop control, then waits
// at most 30 s until it has stopped), control NAME CODE (decimal), query
// NAME, delete NAME, and run NAME (runs the service in the foreground as its
// manager, for systemd, and ends when it stops).  The state prints as sc
// query prints it ("STATE : 4  RUNNING").  Exit status 0 on success;
// otherwise "[SC] <call> FAILED <code>:" with the Windows error text, status
// 1, and a line on standard error when the database folder was refused.
//
// A started service inherits the caller's environment with TARNWICK_SCM (the
// database folder) and TARNWICK_SCM_SERVICE (its name), and runs in "/" as
// the caller's user; detached, its output goes to <key>.out (mode 0600).  The
// binary path is the program's path as it stands ("/usr/bin/my prog" is one
// path), less one pair of enclosing double quotes, as Windows reads a quoted
// image path.  run: the service gets a process group of its own, so that a
// Ctrl+C at the terminal reaches tarnwick-sc only; SIGTERM, SIGINT and
// SIGQUIT send the stop control (again while the service is still
// starting), SIGHUP control 128; the exit status is 0 when the service
// reported itself stopped with exit code 0.
//
// Not thread-safe: the whole program runs on one thread.
#pragma once

// Runs one command.  Returns the exit status.
int ScmCommand(int argc, char **argv);
