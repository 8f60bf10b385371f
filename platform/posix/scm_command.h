// tarnwick-sc: the POSIX stand-in of sc.exe, over the service database of
// scm_store.h and the calls of platform/scm.h.  Same word order as sc.exe:
//
//   tarnwick-sc create NAME binPath= PATH [DisplayName= TEXT]
//                                          [start= demand|auto|disabled]
//   tarnwick-sc start NAME      launch the service detached and wait (at most
//                               30 s) until it runs or has stopped
//   tarnwick-sc stop NAME       send the stop control and wait (at most 30 s)
//                               until it has stopped
//   tarnwick-sc control NAME CODE   send control CODE (decimal)
//   tarnwick-sc query NAME
//   tarnwick-sc delete NAME
//   tarnwick-sc run NAME        run the service in the foreground as its
//                               manager (for systemd): exits when it stops
//
// The service's state prints as sc query prints it ("STATE : 4  RUNNING").
// Exit status 0 on success; otherwise "[SC] <call> FAILED <code>:" with the
// Windows error text, and status 1.
//
// A started service inherits the caller's environment, with TARNWICK_SCM
// (the database folder) and TARNWICK_SCM_SERVICE (its name) added, and runs
// in "/" as the caller's user.  Detached, its standard output and error go to
// <key>.out in the database; under run they stay those of tarnwick-sc.  The
// binary path is the program's path as it stands ("/usr/bin/my prog" is one
// path); only a path that begins with a double quote carries arguments after
// the closing quote, separated by blanks.
//
// run: SIGTERM and SIGINT send the stop control (retried while the service is
// still starting); SIGHUP sends control 128.  It exits 0 when the service has
// reported itself stopped with exit code 0, 1 otherwise.
//
// Not thread-safe: the whole program runs on one thread.
#pragma once

// Runs one command.  Returns the exit status.
int ScmCommand(int argc, char **argv);
