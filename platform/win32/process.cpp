#include "platform/process.h"

#include <direct.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/path.h"

unsigned long ProcessId() {
    return GetCurrentProcessId();
}

unsigned long ThreadId() {
    return GetCurrentThreadId();
}

void SleepMs(unsigned ms) {
    Sleep(ms);
}

int ChangeDirectory(const char *path) {
    char mapped[MAX_PATH];
    if (MapPath(path, mapped, sizeof mapped) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return _chdir(mapped) == 0 ? 0 : -1;
}

int LocalHostName(char *buf, size_t size) {
    // The DNS host name, as gethostname gives it, without needing Winsock.
    char name[256];
    DWORD len = sizeof name;
    if (size == 0 || !GetComputerNameExA(ComputerNameDnsHostname, name, &len)) {
        return -1;
    }
    std::snprintf(buf, size, "%s", name);
    return 0;
}

void ProcessExit(int status) {
    std::fflush(nullptr);
    // No exit handler and no DLL detach: other threads may hold the runtime's
    // locks at this point.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    _exit(status);
}
