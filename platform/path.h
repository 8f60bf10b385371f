// Paths as the user writes them, mapped to what the platform opens.
//
// Settings and rules are written with Windows paths ("c:\syslog",
// "\syslog\messages").  Every path the program opens or enters passes through
// MapPath just before the call.  On POSIX each backslash becomes a slash and
// a leading drive (a letter and a colon before the first separator) is
// dropped: "c:\syslog" is "/syslog", "c:foo" is "foo", "/var/log" is
// unchanged.  On Windows the path passes unchanged.  Messages and traces show
// the path as the user wrote it, never the mapped one.
//
// Thread-safe: no state.
#pragma once

#include <cstddef>

// Writes the mapped form of path into out (size bytes, terminator included).
// Returns 0 on success; -1 when the mapped path does not fit, and then out
// holds an empty string.
int MapPath(const char *path, char *out, size_t size);

// Whether the folder that holds path (mapped with MapPath; the current folder
// for a bare name) exists and files may be made in it, without making one.
// Returns 0, or -1 with errno set (ENOENT, ENOTDIR, EACCES, ENAMETOOLONG).
int PathFolderWritable(const char *path);

// The full form of path (mapped with MapPath) into out (size bytes): a path
// that is not absolute is taken from the current folder.  Returns 0, or -1
// with errno set (ENAMETOOLONG when it does not fit).
int FullPath(const char *path, char *out, size_t size);
