#include "platform/errors.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/errno_code.h"

namespace {
thread_local unsigned long last_error = 0;
}

unsigned long PlatformLastError() {
    return last_error;
}

void PlatformSetLastError(unsigned long code) {
    last_error = code;
}

const char *RuntimeErrorText(int err) {
    // strerrordesc_np gives nullptr beyond the table, without "Unknown error"
    // texts made up for the caller.
    return err < 0 ? nullptr : strerrordesc_np(err);
}

unsigned long WindowsErrorOfErrno(int err) {
    switch (err) {
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case ELOOP:
            return kErrorAccessDenied;
        case ENOMEM:
        case EAGAIN:
            return kErrorNotEnoughMemory;
        case ENOEXEC:
            return kErrorBadFormat;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        case ENAMETOOLONG:
            return kErrorFilenameTooLong;
        default:
            return kErrorGenFailure;
    }
}
