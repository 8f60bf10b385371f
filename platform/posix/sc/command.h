// tarnwick-sc: the POSIX stand-in of sc.exe over platform/scm.h and the
// service database (platform/posix/scm_store.h; platform/README.md), in
// sc.exe's word order: create NAME binPath= PATH, start NAME (detached;
// waits at most 30 s until it runs or has stopped), stop NAME (waits at most
// 30 s until its process has ended), control NAME CODE, query NAME, delete
// NAME, and run NAME (in the foreground as its manager, for systemd; ends
// when it stops).  The state prints as sc query prints it; exit status 0 on
// success, else "[SC] <call> FAILED <code>:", the Windows text and status 1
// (and on standard error why the database folder was refused).
//
// A service runs in "/" as the caller, with the caller's environment and
// TARNWICK_SCM and TARNWICK_SCM_SERVICE; detached, its output goes to
// <key>.out.  One pair of enclosing quotes around the binary path is not
// part of it.  run gives the service a process group of its own (a Ctrl+C at
// the terminal reaches tarnwick-sc only) and turns SIGTERM, SIGINT and
// SIGQUIT into the stop control, SIGHUP into control 128.
//
// Not thread-safe: the whole program runs on one thread.
#pragma once

// Runs one command.  Returns the exit status.
int ScmCommand(int argc, char **argv);
