// Error numbers on Windows: the last error is kernel32's (so Winsock's
// WSAGetLastError and GetLastError read the same value), the errno texts are
// the runtime library's table.  The Windows headers stay out of this file:
// lasterror.cpp reaches kernel32.
#include "platform/errors.h"

#include <cstdlib>

#include "platform/win32/lasterror.h"

unsigned long LastError() {
    return Win32LastError();
}

void SetLastError(unsigned long code) {
    Win32SetLastError(code);
}

const char *RuntimeErrorText(int err) {
    // The table has _sys_nerr entries; nothing is made up beyond it.
    if (err < 0 || err >= _sys_nerr) {
        return nullptr;
    }
    return _sys_errlist[err];
}
