// The debugger output channel on Windows: OutputDebugStringA.
#include "platform/common/debugger_system.h"

#include <windows.h>

void SystemDebugOutput(const char *text) {
    // A trace line never disturbs the error its caller is about to report.
    DWORD saved = GetLastError();
    OutputDebugStringA(text);
    SetLastError(saved);
}
