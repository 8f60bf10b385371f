#include "platform/posix/scm_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/posix/errno_code.h"

const char kScmFolderVariable[] = "TARNWICK_SCM";
const char kScmServiceVariable[] = "TARNWICK_SCM_SERVICE";

namespace {

const char kDefaultFolder[] = "/var/lib/tarnwick/scm";
constexpr size_t kRecordFileSize = 2048;  // every field at its longest
constexpr int kNoFollow = O_CLOEXEC | O_NOFOLLOW;

thread_local char problem[3 * kScmPathSize];

// Writes data to path whole: a temporary file of unpredictable name beside
// it, made afresh, then a rename, so that a reader sees the old or the new
// file, never a part.
unsigned long WriteWhole(const char *path, const char *data, size_t length) {
    char tmp[sizeof(ScmPath) + 8];
    std::snprintf(tmp, sizeof tmp, "%s.XXXXXX", path);
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        return WindowsErrorOfErrno(errno);
    }
    bool written = fchmod(fd, 0644) == 0;
    for (size_t done = 0; written && done < length;) {
        ssize_t n = write(fd, data + done, length - done);
        written = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    int err = errno;
    close(fd);
    if (written && rename(tmp, path) == 0) {
        return 0;
    }
    err = written ? errno : err;
    unlink(tmp);
    return WindowsErrorOfErrno(err);
}

// Reads at most size - 1 bytes of path and a terminator.  Returns the length,
// or -1 with errno set.
ssize_t ReadSmall(const char *path, char *buffer, size_t size) {
    int fd = open(path, O_RDONLY | kNoFollow);
    if (fd < 0) {
        return -1;
    }
    ssize_t done = 0;
    for (ssize_t n = 1; n > 0 && static_cast<size_t>(done) + 1 < size;) {
        n = read(fd, buffer + done, size - 1 - static_cast<size_t>(done));
        done += n > 0 ? n : 0;
        n = n < 0 && errno == EINTR ? 1 : n;
    }
    close(fd);
    buffer[done] = '\0';
    return done;
}

// Takes the value of "field=value" from the line of n characters, as text
// (size bytes) or as the number *number.  False when the line is not field's.
bool Take(const char *line, int n, const char *field, char *text, size_t size,
          uint32_t *number = nullptr) {
    int length = static_cast<int>(std::strlen(field));
    if (n <= length || std::strncmp(line, field, length) != 0 || line[length] != '=') {
        return false;
    }
    if (number != nullptr) {
        *number = static_cast<uint32_t>(std::strtoul(line + length + 1, nullptr, 10));
    } else {
        std::snprintf(text, size, "%.*s", n - length - 1, line + length + 1);
    }
    return true;
}

}  // namespace

bool ScmRecordParse(const char *text, ScmRecord *r) {
    *r = ScmRecord{};
    uint32_t pending = 0;
    for (const char *line = text; *line != '\0';) {
        int n = static_cast<int>(std::strcspn(line, "\n"));
        Take(line, n, "Name", r->name, sizeof r->name) ||
            Take(line, n, "DisplayName", r->displayName, sizeof r->displayName) ||
            Take(line, n, "BinaryPath", r->binaryPath, sizeof r->binaryPath) ||
            Take(line, n, "Type", nullptr, 0, &r->serviceType) ||
            Take(line, n, "StartType", nullptr, 0, &r->startType) ||
            Take(line, n, "ErrorControl", nullptr, 0, &r->errorControl) ||
            Take(line, n, "DeletePending", nullptr, 0, &pending);
        line += n + (line[n] == '\n' ? 1 : 0);
    }
    r->deletePending = pending != 0 ? 1 : 0;
    return r->name[0] != '\0';
}

size_t ScmRecordFormat(const ScmRecord *r, char *text, size_t size) {
    for (const char *field : {r->name, r->displayName, r->binaryPath}) {
        if (std::strpbrk(field, "\r\n") != nullptr) {
            return 0;
        }
    }
    int n = std::snprintf(text, size,
                          "Name=%s\nDisplayName=%s\nType=%u\nStartType=%u\nErrorControl=%u\n"
                          "BinaryPath=%s\nDeletePending=%d\n",
                          r->name, r->displayName, r->serviceType, r->startType, r->errorControl,
                          r->binaryPath, r->deletePending);
    return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

bool ScmStatusParse(const char *text, ScmStoredStatus *stored) {
    ScmStoredStatus read;
    ServiceStatusRecord &s = read.status;
    if (std::sscanf(text, "%u %u %u %u %u %u %u %ld %llu", &s.serviceType, &s.currentState,
                    &s.controlsAccepted, &s.win32ExitCode, &s.serviceSpecificExitCode,
                    &s.checkPoint, &s.waitHint, &read.pid, &read.startTime) != 9) {
        return false;
    }
    *stored = read;
    return true;
}

size_t ScmStatusFormat(const ScmStoredStatus *stored, char *text, size_t size) {
    const ServiceStatusRecord &s = stored->status;
    int n =
        std::snprintf(text, size, "%u %u %u %u %u %u %u %ld %llu\n", s.serviceType, s.currentState,
                      s.controlsAccepted, s.win32ExitCode, s.serviceSpecificExitCode, s.checkPoint,
                      s.waitHint, stored->pid, stored->startTime);
    return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

unsigned long long ScmProcStatStartTime(const char *text) {
    // "pid (comm) state ...": the command may hold blanks and parentheses,
    // so fields are counted from the last ')'.  The state is field 3, the
    // start time field 22.
    const char *p = std::strrchr(text, ')');
    if (p == nullptr || p[1] != ' ' || p[2] == 'Z' || p[2] == 'X') {
        return 0;
    }
    for (int field = 2; field < 22 && p != nullptr; ++field) {
        p = std::strchr(p + 1, ' ');
    }
    return p != nullptr ? std::strtoull(p + 1, nullptr, 10) : 0;
}

unsigned long ScmStoreFolder(bool make, ScmFolder *folder) {
    problem[0] = '\0';
    const char *env = std::getenv(kScmFolderVariable);
    const char *chosen = env != nullptr && env[0] != '\0' ? env : kDefaultFolder;
    if (std::strlen(chosen) >= sizeof folder->path) {
        return kScmErrorFilenameTooLong;
    }
    std::snprintf(folder->path, sizeof folder->path, "%s", chosen);
    // Each parent in turn, then the folder itself.
    for (char *p = folder->path + 1; make; ++p) {
        if (*p == '/' || *p == '\0') {
            char saved = *p;
            *p = '\0';
            if (mkdir(folder->path, 0755) != 0 && errno != EEXIST) {
                return WindowsErrorOfErrno(errno);
            }
            *p = saved;
            make = saved != '\0';
        }
    }
    struct stat st;
    if (stat(folder->path, &st) != 0) {
        return WindowsErrorOfErrno(errno);
    }
    // Whoever may write the folder may plant files in it.
    if (S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        std::snprintf(problem, sizeof problem,
                      "service database folder %s: others than its owner may write it (mode "
                      "%04o): refused",
                      folder->path, static_cast<unsigned>(st.st_mode & 07777));
    }
    folder->owner = st.st_uid;
    return S_ISDIR(st.st_mode) && problem[0] == '\0' ? 0 : kScmErrorAccessDenied;
}

const char *ScmStoreProblem() {
    return problem;
}

unsigned long ScmStoreKey(const char *folder, const char *name, char *key) {
    size_t n = name == nullptr ? 0 : std::strlen(name);
    if (n == 0 || n > kScmNameMax || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return kScmErrorInvalidName;
    }
    for (size_t i = 0; i <= n; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (i < n && (c == '/' || c == '\\' || c < 0x20 || c == 0x7f)) {
            return kScmErrorInvalidName;
        }
        key[i] = static_cast<char>(std::tolower(c));
    }
    ScmPath sock = ScmStorePath(folder, key, ".sock");
    if (std::strlen(sock.text) > kScmSocketPathMax) {
        std::snprintf(problem, sizeof problem,
                      "service database folder %s: the control socket path %s has %zu bytes, "
                      "more than the %zu a socket address holds (%s)",
                      folder, sock.text, std::strlen(sock.text), kScmSocketPathMax,
                      kScmFolderVariable);
        return kScmErrorFilenameTooLong;
    }
    return 0;
}

ScmPath ScmStorePath(const char *folder, const char *key, const char *ext) {
    ScmPath path;
    std::snprintf(path.text, sizeof path.text, "%s/%s%s", folder, key, ext);
    return path;
}

unsigned long ScmStoreReadRecord(const char *folder, const char *key, ScmRecord *record) {
    char text[kRecordFileSize];
    if (ReadSmall(ScmStorePath(folder, key, ".service").text, text, sizeof text) < 0) {
        return errno == ENOENT ? kScmErrorServiceDoesNotExist : WindowsErrorOfErrno(errno);
    }
    return ScmRecordParse(text, record) ? 0 : kScmErrorServiceDoesNotExist;
}

unsigned long ScmStoreWriteRecord(const char *folder, const char *key, const ScmRecord *record) {
    char text[kRecordFileSize];
    size_t n = ScmRecordFormat(record, text, sizeof text);
    return n == 0 ? kScmErrorInvalidParameter
                  : WriteWhole(ScmStorePath(folder, key, ".service").text, text, n);
}

unsigned long ScmStoreRemove(const char *folder, const char *key) {
    for (const char *ext : {".status", ".reports", ".sock", ".out"}) {
        unlink(ScmStorePath(folder, key, ext).text);
    }
    return unlink(ScmStorePath(folder, key, ".service").text) == 0 || errno == ENOENT
               ? 0
               : WindowsErrorOfErrno(errno);
}

void ScmStoreReadStatus(const char *folder, const char *key, ScmStoredStatus *stored) {
    *stored = ScmStoredStatus{{kServiceWin32OwnProcess, kServiceStopped, 0, 0, 0, 0, 0}, 0, 0};
    char text[256];
    if (ReadSmall(ScmStorePath(folder, key, ".status").text, text, sizeof text) > 0) {
        ScmStatusParse(text, stored);
    }
}

unsigned long ScmStoreWriteStatus(const char *folder, const char *key,
                                  const ScmStoredStatus *stored) {
    char text[256];
    size_t n = ScmStatusFormat(stored, text, sizeof text);
    return WriteWhole(ScmStorePath(folder, key, ".status").text, text, n);
}

void ScmStoreCurrentStatus(const char *folder, const char *key, ScmStoredStatus *stored,
                           bool have_lock) {
    ScmStoreReadStatus(folder, key, stored);
    if (stored->status.currentState == kServiceStopped ||
        ScmStoreProcessAlive(stored->pid, stored->startTime)) {
        return;
    }
    // The process ended without reporting its stop: the manager records it,
    // unless another process did meanwhile.
    int lock = have_lock ? -1 : ScmStoreLock(folder);
    ScmStoredStatus ended = *stored;
    ScmStoreReadStatus(folder, key, stored);
    if (stored->status.currentState != kServiceStopped && stored->pid == ended.pid &&
        stored->startTime == ended.startTime) {
        *stored = ScmStoredStatus{};
        stored->status.serviceType = ended.status.serviceType;
        stored->status.currentState = kServiceStopped;
        stored->status.win32ExitCode = kScmErrorProcessAborted;
        ScmRecord record;
        if (have_lock || lock >= 0) {
            ScmStoreWriteStatus(folder, key, stored);
            unlink(ScmStorePath(folder, key, ".sock").text);
            if (ScmStoreReadRecord(folder, key, &record) == 0 && record.deletePending != 0) {
                ScmStoreRemove(folder, key);
            }
        }
    }
    if (lock >= 0) {
        close(lock);
    }
}

void ScmStoreAppendReport(const char *folder, const char *key, const ServiceStatusRecord *status) {
    int fd = open(ScmStorePath(folder, key, ".reports").text,
                  O_WRONLY | O_CREAT | O_APPEND | kNoFollow, 0644);
    if (fd >= 0) {
        dprintf(fd, "%u %u %u %u %u %u %u\n", status->serviceType, status->currentState,
                status->controlsAccepted, status->win32ExitCode, status->serviceSpecificExitCode,
                status->checkPoint, status->waitHint);
        close(fd);
    }
}

unsigned long long ScmStoreProcessStartTime(long pid) {
    char path[64];
    char text[1024];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    return pid > 0 && ReadSmall(path, text, sizeof text) > 0 ? ScmProcStatStartTime(text) : 0;
}

bool ScmStoreProcessAlive(long pid, unsigned long long start_time) {
    unsigned long long now = ScmStoreProcessStartTime(pid);
    return now != 0 && (start_time == 0 || now == start_time);
}

int ScmStoreLock(const char *folder) {
    int fd = open(ScmStorePath(folder, "", ".lock").text, O_RDWR | O_CREAT | kNoFollow, 0644);
    while (fd >= 0 && flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            fd = -1;
        }
    }
    return fd;
}
