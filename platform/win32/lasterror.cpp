#include "platform/win32/lasterror.h"

#include <windows.h>

unsigned long Win32LastError() {
    return GetLastError();
}

void Win32SetLastError(unsigned long code) {
    SetLastError(code);
}
