#include "platform/posix/scm_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kScmDefaultFolder[] = "/var/lib/tarnwick/scm";
const char kScmFolderVariable[] = "TARNWICK_SCM";
const char kScmServiceVariable[] = "TARNWICK_SCM_SERVICE";

namespace {

// The record file's size: every field at its longest, with its label.
constexpr size_t kRecordFileSize = 4096;

// Writes data to path whole: a temporary file beside it, then a rename, so a
// reader sees the old or the new file, never a part.
unsigned long WriteWhole(const char *path, const char *data, size_t length) {
    static std::atomic<unsigned> serial{0};
    char tmp[kScmPathSize + 48];
    std::snprintf(tmp, sizeof tmp, "%s.%ld.%u.tmp", path, static_cast<long>(getpid()), ++serial);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return ScmErrnoCode(errno);
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            unsigned long code = ScmErrnoCode(errno);
            close(fd);
            unlink(tmp);
            return code;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (rename(tmp, path) != 0) {
        unsigned long code = ScmErrnoCode(errno);
        unlink(tmp);
        return code;
    }
    return 0;
}

// Reads at most size - 1 bytes of path and a terminator.  Returns the length,
// or -1 with errno set.
ssize_t ReadSmall(const char *path, char *buffer, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t done = 0;
    while (done + 1 < size) {
        ssize_t n = read(fd, buffer + done, size - 1 - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    buffer[done] = '\0';
    return static_cast<ssize_t>(done);
}

// Copies the value of "Field=value" into out when line holds field.
bool TakeField(const char *line, const char *field, char *out, size_t size) {
    size_t n = std::strlen(field);
    if (std::strncmp(line, field, n) != 0 || line[n] != '=') {
        return false;
    }
    std::snprintf(out, size, "%s", line + n + 1);
    return true;
}

bool TakeNumber(const char *line, const char *field, uint32_t *out) {
    char text[32];
    if (!TakeField(line, field, text, sizeof text)) {
        return false;
    }
    *out = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    return true;
}

bool HasSuffix(const char *name, const char *suffix) {
    size_t n = std::strlen(name);
    size_t s = std::strlen(suffix);
    return n > s && std::strcmp(name + n - s, suffix) == 0;
}

}  // namespace

unsigned long ScmErrnoCode(int err) {
    switch (err) {
        case ENOENT:
            return kScmErrorFileNotFound;
        case ENOTDIR:
            return kScmErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kScmErrorAccessDenied;
        case ENOMEM:
            return kScmErrorNotEnoughMemory;
        case ENAMETOOLONG:
            return kScmErrorInvalidName;
        case ENOEXEC:
            return kScmErrorBadFormat;
        case ENOSPC:
            return 112;  // ERROR_DISK_FULL
        default:
            return 31;  // ERROR_GEN_FAILURE
    }
}

unsigned long ScmStoreFolder(char *folder, size_t size) {
    const char *env = std::getenv(kScmFolderVariable);
    const char *chosen = env != nullptr && env[0] != '\0' ? env : kScmDefaultFolder;
    if (std::strlen(chosen) + 1 > size) {
        return kScmErrorInvalidName;
    }
    std::snprintf(folder, size, "%s", chosen);
    return 0;
}

unsigned long ScmStoreMakeFolder(const char *folder) {
    char path[kScmPathSize];
    std::snprintf(path, sizeof path, "%s", folder);
    // Each parent in turn, then the folder itself.
    for (char *p = path + 1;; ++p) {
        bool end = *p == '\0';
        if (*p == '/' || end) {
            char saved = *p;
            *p = '\0';
            if (mkdir(path, 0755) != 0 && errno != EEXIST) {
                return ScmErrnoCode(errno);
            }
            *p = saved;
        }
        if (end) {
            break;
        }
    }
    struct stat st;
    if (stat(folder, &st) != 0) {
        return ScmErrnoCode(errno);
    }
    return S_ISDIR(st.st_mode) ? 0 : kScmErrorPathNotFound;
}

unsigned long ScmStoreKey(const char *name, char *key, size_t size) {
    size_t n = name == nullptr ? 0 : std::strlen(name);
    if (n == 0 || n > kScmNameMax || n + 1 > size) {
        return kScmErrorInvalidName;
    }
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) {
            return kScmErrorInvalidName;
        }
        key[i] = static_cast<char>(std::tolower(c));
    }
    key[n] = '\0';
    // "." and ".." would name the folder itself once a suffix is added to
    // nothing else; keep them out all the same.
    if (std::strcmp(key, ".") == 0 || std::strcmp(key, "..") == 0) {
        return kScmErrorInvalidName;
    }
    return 0;
}

bool ScmStorePath(const char *folder, const char *key, const char *ext, char *path, size_t size) {
    int n = std::snprintf(path, size, "%s/%s%s", folder, key, ext);
    return n > 0 && static_cast<size_t>(n) < size;
}

unsigned long ScmStoreReadRecord(const char *folder, const char *key, ScmRecord *record) {
    char path[kScmPathSize];
    if (!ScmStorePath(folder, key, ".service", path, sizeof path)) {
        return kScmErrorInvalidName;
    }
    char text[kRecordFileSize];
    if (ReadSmall(path, text, sizeof text) < 0) {
        return errno == ENOENT || errno == ENOTDIR ? kScmErrorServiceDoesNotExist
                                                   : ScmErrnoCode(errno);
    }
    *record = ScmRecord{};
    char *save = nullptr;
    for (char *line = strtok_r(text, "\n", &save); line != nullptr;
         line = strtok_r(nullptr, "\n", &save)) {
        uint32_t pending = 0;
        if (TakeField(line, "Name", record->name, sizeof record->name) ||
            TakeField(line, "DisplayName", record->displayName, sizeof record->displayName) ||
            TakeNumber(line, "Type", &record->serviceType) ||
            TakeNumber(line, "StartType", &record->startType) ||
            TakeNumber(line, "ErrorControl", &record->errorControl) ||
            TakeField(line, "BinaryPath", record->binaryPath, sizeof record->binaryPath) ||
            TakeField(line, "Group", record->group, sizeof record->group) ||
            TakeField(line, "Dependencies", record->dependencies, sizeof record->dependencies) ||
            TakeField(line, "Account", record->account, sizeof record->account)) {
            continue;
        }
        if (TakeNumber(line, "DeletePending", &pending)) {
            record->deletePending = pending != 0 ? 1 : 0;
        }
    }
    return record->name[0] == '\0' ? kScmErrorServiceDoesNotExist : 0;
}

unsigned long ScmStoreWriteRecord(const char *folder, const char *key, const ScmRecord *record) {
    char path[kScmPathSize];
    if (!ScmStorePath(folder, key, ".service", path, sizeof path)) {
        return kScmErrorInvalidName;
    }
    char text[kRecordFileSize];
    int n = std::snprintf(text, sizeof text,
                          "Name=%s\nDisplayName=%s\nType=%u\nStartType=%u\nErrorControl=%u\n"
                          "BinaryPath=%s\nGroup=%s\nDependencies=%s\nAccount=%s\n"
                          "DeletePending=%d\n",
                          record->name, record->displayName, record->serviceType, record->startType,
                          record->errorControl, record->binaryPath, record->group,
                          record->dependencies, record->account, record->deletePending);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) {
        return kScmErrorInvalidParameter;
    }
    return WriteWhole(path, text, static_cast<size_t>(n));
}

void ScmStoreEachRecord(const char *folder, bool (*visit)(const ScmRecord &record, void *arg),
                        void *arg) {
    DIR *dir = opendir(folder);
    if (dir == nullptr) {
        return;
    }
    while (struct dirent *entry = readdir(dir)) {
        if (!HasSuffix(entry->d_name, ".service")) {
            continue;
        }
        char key[kScmKeySize + 16];
        std::snprintf(key, sizeof key, "%.*s", static_cast<int>(std::strlen(entry->d_name) - 8),
                      entry->d_name);
        ScmRecord record;
        if (ScmStoreReadRecord(folder, key, &record) == 0 && !visit(record, arg)) {
            break;
        }
    }
    closedir(dir);
}

unsigned long ScmStoreRemove(const char *folder, const char *key) {
    char path[kScmPathSize];
    for (const char *ext : {".status", ".reports", ".sock", ".out"}) {
        if (ScmStorePath(folder, key, ext, path, sizeof path)) {
            unlink(path);
        }
    }
    if (!ScmStorePath(folder, key, ".service", path, sizeof path)) {
        return kScmErrorInvalidName;
    }
    return unlink(path) == 0 || errno == ENOENT ? 0 : ScmErrnoCode(errno);
}

void ScmStoreReadStatus(const char *folder, const char *key, uint32_t service_type,
                        ScmStoredStatus *stored) {
    *stored = ScmStoredStatus{};
    stored->status.serviceType = service_type;
    stored->status.currentState = kServiceStopped;
    char path[kScmPathSize];
    char text[256];
    if (!ScmStorePath(folder, key, ".status", path, sizeof path) ||
        ReadSmall(path, text, sizeof text) <= 0) {
        return;
    }
    ServiceStatusRecord s;
    long pid = 0;
    unsigned long long start = 0;
    if (std::sscanf(text, "%u %u %u %u %u %u %u %ld %llu", &s.serviceType, &s.currentState,
                    &s.controlsAccepted, &s.win32ExitCode, &s.serviceSpecificExitCode,
                    &s.checkPoint, &s.waitHint, &pid, &start) == 9) {
        stored->status = s;
        stored->pid = pid;
        stored->startTime = start;
    }
}

unsigned long ScmStoreWriteStatus(const char *folder, const char *key,
                                  const ScmStoredStatus *stored) {
    char path[kScmPathSize];
    if (!ScmStorePath(folder, key, ".status", path, sizeof path)) {
        return kScmErrorInvalidName;
    }
    const ServiceStatusRecord &s = stored->status;
    char text[256];
    int n = std::snprintf(text, sizeof text, "%u %u %u %u %u %u %u %ld %llu\n", s.serviceType,
                          s.currentState, s.controlsAccepted, s.win32ExitCode,
                          s.serviceSpecificExitCode, s.checkPoint, s.waitHint, stored->pid,
                          stored->startTime);
    return WriteWhole(path, text, static_cast<size_t>(n));
}

void ScmStoreCurrentStatus(const char *folder, const char *key, uint32_t service_type,
                           ScmStoredStatus *stored, bool have_lock) {
    ScmStoreReadStatus(folder, key, service_type, stored);
    if (stored->status.currentState == kServiceStopped ||
        ScmStoreProcessAlive(stored->pid, stored->startTime)) {
        return;
    }
    // The process ended without reporting its stop: the manager records it.
    int lock = have_lock ? -1 : ScmStoreLock(folder);
    bool may_write = have_lock || lock >= 0;
    ScmStoredStatus again;
    ScmStoreReadStatus(folder, key, service_type, &again);
    if (again.status.currentState != kServiceStopped && again.pid == stored->pid &&
        again.startTime == stored->startTime) {
        ScmStoredStatus ended = {};
        ended.status.serviceType = again.status.serviceType;
        ended.status.currentState = kServiceStopped;
        ended.status.win32ExitCode = kScmErrorProcessAborted;
        *stored = ended;
        if (may_write) {
            ScmStoreWriteStatus(folder, key, &ended);
            char sock[kScmPathSize];
            if (ScmStorePath(folder, key, ".sock", sock, sizeof sock)) {
                unlink(sock);
            }
            ScmRecord record;
            if (ScmStoreReadRecord(folder, key, &record) == 0 && record.deletePending != 0) {
                ScmStoreRemove(folder, key);
            }
        }
    } else {
        *stored = again;
    }
    ScmStoreUnlock(lock);
}

void ScmStoreAppendReport(const char *folder, const char *key, const ServiceStatusRecord *status) {
    char path[kScmPathSize];
    if (!ScmStorePath(folder, key, ".reports", path, sizeof path)) {
        return;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    char line[128];
    int n = std::snprintf(line, sizeof line, "%u %u %u %u %u %u %u\n", status->serviceType,
                          status->currentState, status->controlsAccepted, status->win32ExitCode,
                          status->serviceSpecificExitCode, status->checkPoint, status->waitHint);
    ssize_t rc = write(fd, line, static_cast<size_t>(n));
    (void)rc;
    close(fd);
}

void ScmStoreClearReports(const char *folder, const char *key) {
    char path[kScmPathSize];
    if (ScmStorePath(folder, key, ".reports", path, sizeof path)) {
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
        }
    }
}

unsigned long long ScmStoreProcessStartTime(long pid) {
    if (pid <= 0) {
        return 0;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    char text[1024];
    if (ReadSmall(path, text, sizeof text) <= 0) {
        return 0;
    }
    // "pid (comm) state ..." : the command may hold blanks and parentheses,
    // so fields are counted from the last ')'.  The state is field 3, the
    // start time field 22.
    const char *p = std::strrchr(text, ')');
    if (p == nullptr || p[1] != ' ') {
        return 0;
    }
    p += 2;
    if (*p == 'Z' || *p == 'X') {
        return 0;  // ended, not yet reaped
    }
    for (int field = 3; field < 22; ++field) {
        p = std::strchr(p, ' ');
        if (p == nullptr) {
            return 0;
        }
        ++p;
    }
    return std::strtoull(p, nullptr, 10);
}

bool ScmStoreProcessAlive(long pid, unsigned long long start_time) {
    unsigned long long now = ScmStoreProcessStartTime(pid);
    return now != 0 && (start_time == 0 || now == start_time);
}

int ScmStoreLock(const char *folder) {
    char path[kScmPathSize];
    std::snprintf(path, sizeof path, "%s/.lock", folder);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

void ScmStoreUnlock(int fd) {
    if (fd >= 0) {
        flock(fd, LOCK_UN);
        close(fd);
    }
}
