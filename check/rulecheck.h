// tarnwick-check: a rule file read by the daemon's own parser, in its check
// mode (RuleCheck in engine/tarnwick.h), without a daemon.
//
//   tarnwick-check [FILE]
//
// FILE defaults to the Config File setting, read as the daemon reads it and
// taken relative to the Log Dir; a FILE named here is taken from the current
// folder.  The check runs in the Log Dir, as the daemon does, so that file
// actions without a drive name the daemon's files (it stays in the current
// folder when a FILE is named and the Log Dir cannot be entered).  Prints the listing the daemon
// prints at a load (one line per rule) on standard output, and each refused line on standard error
// as "<file>:<line>: <the daemon's text>", for example syslog.conf:3: tarnwick: unknown priority
// name "foo".  Opens no log file and sends nothing.  Exit status: 0 when every line was accepted, 1
// when any was refused, 2 when the file (or the log directory) cannot be read.
#pragma once

int RuleCheckMain(int argc, char **argv);
