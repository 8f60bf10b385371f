// Error numbers on Windows: the last error is kernel32's (so Winsock's
// WSAGetLastError and GetLastError read the same value), the errno texts are
// the runtime library's table.
#include "platform/errors.h"

#include <windows.h>

#include <cstdlib>

unsigned long PlatformLastError() {
    return GetLastError();
}

void PlatformSetLastError(unsigned long code) {
    SetLastError(code);
}

const char *RuntimeErrorText(int err) {
    // The table has _sys_nerr entries; nothing is made up beyond it.
    if (err < 0 || err >= _sys_nerr) {
        return nullptr;
    }
    return _sys_errlist[err];
}
