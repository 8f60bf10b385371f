// The debugger output channel on POSIX: standard error.
#include "platform/common/debugger_system.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

void SystemDebugOutput(const char *text) {
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
