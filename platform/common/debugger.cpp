// debugger.h on both platforms: the test sink in front of the system's
// channel (platform/common/debugger_system.h).
#include "platform/debugger.h"

#include <atomic>

#include "platform/common/debugger_system.h"
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
    SystemDebugOutput(text);
}
