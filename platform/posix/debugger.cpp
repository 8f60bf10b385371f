#include "platform/debugger.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

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
    // One write per line, so that lines of several threads do not mix.
    size_t len = std::strlen(text);
    while (len > 0) {
        ssize_t n = write(STDERR_FILENO, text, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}
