#include "platform/errors.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/errno_code.h"

namespace {
thread_local unsigned long last_error = 0;
}

unsigned long LastError() {
    return last_error;
}

void SetLastError(unsigned long code) {
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
            return 2;
        case ENOTDIR:
            return 3;
        case EACCES:
        case EPERM:
        case EROFS:
        case ELOOP:
            return 5;
        case ENOMEM:
            return 8;
        case ENOEXEC:
            return 11;
        case ENOSPC:
        case EDQUOT:
            return 112;
        case ENAMETOOLONG:
            return 206;
        default:
            return 31;
    }
}
