// The Windows error code of an errno value: how the POSIX layer reports a
// failed system call through the Windows results of the seam (scm.h,
// eventlog.h, mmtimer.h).  The only such mapping: every POSIX file of the
// seam uses it (sockets.cpp maps to the Winsock numbers instead).
//
// Thread-safe: no state.
#pragma once

// ENOENT is ERROR_FILE_NOT_FOUND (2), ENOTDIR ERROR_PATH_NOT_FOUND (3),
// EACCES, EPERM, EROFS and ELOOP (a symlink where none is followed)
// ERROR_ACCESS_DENIED (5), ENOMEM and EAGAIN ERROR_NOT_ENOUGH_MEMORY (8),
// ENOEXEC ERROR_BAD_FORMAT (11), ENOSPC and EDQUOT ERROR_DISK_FULL (112),
// ENAMETOOLONG ERROR_FILENAME_EXCED_RANGE (206); any other value
// ERROR_GEN_FAILURE (31).
unsigned long WindowsErrorOfErrno(int err);
