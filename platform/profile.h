// The profile: named strings by section (WIN.INI, GetProfileStringA).
//
// Windows: GetProfileStringA, or GetPrivateProfileStringA on the file named
// by TARNWICK_PROFILE when it is set (tests use it).  POSIX: an INI file,
// /etc/tarnwick/win.ini or the file named by TARNWICK_PROFILE, read as
// Windows reads WIN.INI: section and key names match without regard to case,
// lines beginning with ';' are comments, LF or CR LF, the first of two equal
// keys wins, blanks around a value are trimmed (inner blanks kept), one pair
// of enclosing quotes is removed.
//
// Thread-safe.
#pragma once

#include <cstddef>

// Copies the value of key in section, or def when there is none, into out
// (size bytes; cut to size - 1 characters and terminated).  Returns the number
// of characters copied.
size_t ProfileString(const char *section, const char *key, const char *def, char *out, size_t size);
