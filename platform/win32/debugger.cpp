#include "platform/debugger.h"

#include <windows.h>

#include <atomic>

#include "platform/debugger_testing.h"

namespace {
std::atomic<DebugSink> sink{nullptr};
}

void DebugOutputSetSink(DebugSink s) {
    sink.store(s);
}

void DebugOutput(const char *text) {
    DebugSink s = sink.load();
    if (s != nullptr) {
        s(text);
        return;
    }
    // A trace line never disturbs the error its caller is about to report.
    DWORD saved = GetLastError();
    OutputDebugStringA(text);
    SetLastError(saved);
}
