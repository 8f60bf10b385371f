#include "platform/process.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/path.h"

unsigned long ProcessId() {
    return static_cast<unsigned long>(getpid());
}

unsigned long ThreadId() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}

void SleepMs(unsigned ms) {
    struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int ChangeDirectory(const char *path) {
    char mapped[4096];
    if (MapPath(path, mapped, sizeof mapped) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return chdir(mapped) == 0 ? 0 : -1;
}

int LocalHostName(char *buf, size_t size) {
    char name[256];
    if (size == 0 || gethostname(name, sizeof name) != 0) {
        return -1;
    }
    name[sizeof name - 1] = '\0';
    std::snprintf(buf, size, "%s", name);
    return 0;
}

void ProcessExit(int status) {
    std::fflush(nullptr);
    _exit(status);
}
