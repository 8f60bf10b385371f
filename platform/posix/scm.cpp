// The service control manager on POSIX: the service database of scm_store.h,
// the dispatcher of a service process and the manager's operations.
#include "platform/common/scm_system.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "platform/errors.h"
#include "platform/posix/errno_code.h"
#include "platform/posix/scm_store.h"

const char kScmFolderVariable[] = "TARNWICK_SCM";
const char kScmServiceVariable[] = "TARNWICK_SCM_SERVICE";

namespace {

const char kDefaultFolder[] = "/var/lib/tarnwick/scm";
constexpr size_t kRecordFileSize = 2048;  // every field at its longest
constexpr int kNoFollow = O_CLOEXEC | O_NOFOLLOW;

thread_local char problem[3 * kScmPathSize];

// Writes data to path whole: a temporary file of unpredictable name beside
// it, made afresh, then a rename, so that a reader sees the old or the new
// file, never a part.  (A write of a small file is whole or has failed.)
unsigned long WriteWhole(const char *path, const char *data, size_t length) {
    char tmp[sizeof(ScmPath) + 8];
    std::snprintf(tmp, sizeof tmp, "%s.XXXXXX", path);
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        return WindowsErrorOfErrno(errno);
    }
    errno = ENOSPC;  // what a short write means
    bool written = fchmod(fd, 0644) == 0 && write(fd, data, length) == static_cast<ssize_t>(length);
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
    ssize_t n = fd >= 0 ? read(fd, buffer, size - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    buffer[n > 0 ? n : 0] = '\0';
    return n;
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

unsigned long WriteRecord(const char *folder, const char *key, const ScmRecord *record) {
    char text[kRecordFileSize];
    size_t n = ScmRecordFormat(record, text, sizeof text);
    return n == 0 ? kErrorInvalidParameter
                  : WriteWhole(ScmStorePath(folder, key, ".service").text, text, n);
}

unsigned long RemoveService(const char *folder, const char *key) {
    for (const char *ext : {".status", ".sock", ".out"}) {
        unlink(ScmStorePath(folder, key, ext).text);
    }
    return unlink(ScmStorePath(folder, key, ".service").text) == 0 || errno == ENOENT
               ? 0
               : WindowsErrorOfErrno(errno);
}

// A service marked for deletion goes once it has stopped.  With the folder
// lock held.
void RemoveIfMarked(const char *folder, const char *key) {
    ScmRecord record;
    if (ScmStoreReadRecord(folder, key, &record) == 0 && record.deletePending != 0) {
        RemoveService(folder, key);
    }
}

// The calls' own: handles, the control channel, the dispatcher's state.
int Fail(unsigned long code) {
    PlatformSetLastError(code);
    return 0;
}

constexpr size_t kMaxHandles = 32;
constexpr ScmHandle kHandleBase = 0x5C000;

enum class HandleKind { kFree, kManager, kService };

struct HandleSlot {
    HandleKind kind;
    ScmFolder folder;
    char key[kScmKeySize];
};

std::mutex handle_mutex;
HandleSlot handles[kMaxHandles];

ScmHandle NewHandle(HandleKind kind, const ScmFolder &folder, const char *key) {
    std::lock_guard<std::mutex> guard(handle_mutex);
    for (size_t i = 0; i < kMaxHandles; ++i) {
        if (handles[i].kind == HandleKind::kFree) {
            handles[i] = {kind, folder, {}};
            std::snprintf(handles[i].key, sizeof handles[i].key, "%s", key);
            return kHandleBase + static_cast<ScmHandle>(i);
        }
    }
    return Fail(kErrorNotEnoughMemory);
}

// Copies the slot of handle when it is one of kind.
bool FindHandle(ScmHandle handle, HandleKind kind, HandleSlot *copy) {
    std::lock_guard<std::mutex> guard(handle_mutex);
    ScmHandle i = handle - kHandleBase;  // below the base: far above the table
    if (i >= kMaxHandles || handles[i].kind != kind) {
        return false;
    }
    *copy = handles[i];
    return true;
}

// A control request is the 32-bit control code, the reply the 32-bit result
// (0: the handler ran; the status it left is in the status file by then).
// How long the dispatcher waits for the request of a caller that connected,
// and how long a caller waits for the handler:
constexpr int kRequestWaitMs = 2000;
constexpr int kReplyWaitMs = 30000;

// Sends or receives exactly size bytes within timeout_ms.
bool Transfer(int fd, void *data, size_t size, bool out, int timeout_ms) {
    struct timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, out ? SO_SNDTIMEO : SO_RCVTIMEO, &limit, sizeof limit);
    ssize_t n;
    while ((n = out ? send(fd, data, size, MSG_NOSIGNAL) : recv(fd, data, size, MSG_WAITALL)) < 0 &&
           errno == EINTR) {
    }
    return n == static_cast<ssize_t>(size);
}

// The user at the other end of a connected socket; -1 when unknown.
long PeerUid(int fd) {
    struct ucred cred;
    socklen_t size = sizeof cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 ? cred.uid : -1;
}

sockaddr_un SocketAddress(const ScmPath &path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.text);  // fits: ScmStoreKey
    return addr;
}

// The status handle that ScmRegisterHandler gives: nonzero and not the
// invalid value.
constexpr ServiceStatusHandle kStatusHandle = 0x5C5C;
// How long the dispatcher waits for the main function once the service has
// reported itself stopped.
constexpr auto kMainGrace = std::chrono::milliseconds(kScmMainWaitMs);

struct Dispatcher {
    std::mutex mutex;
    std::condition_variable mainEnded;
    bool active = false;  // a dispatcher runs in this process
    char folder[kScmPathSize] = {};
    char key[kScmKeySize] = {};
    ScmControlHandler handler = nullptr;
    ServiceStatusRecord status = {};
    bool stopped = false;  // kServiceStopped reported
    bool mainReturned = false;
    int listener = -1;  // the control socket while the dispatcher serves it
};

Dispatcher dispatcher;

// The service's name as its main function receives it; static because the
// main function's thread may outlive the dispatcher.
char main_argv0[kScmNameMax + 1];
char *main_argv[2] = {main_argv0, nullptr};
ScmServiceMain main_function = nullptr;

// Ends the serving of controls: a listening socket shut down wakes its poll
// and takes no more callers.  With dispatcher.mutex held.
void StopServing() {
    if (dispatcher.listener >= 0) {
        shutdown(dispatcher.listener, SHUT_RD);
    }
}

void *RunMain(void *) {
    main_function(1, main_argv);
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    dispatcher.mainReturned = true;
    dispatcher.mainEnded.notify_all();
    StopServing();
    return nullptr;
}

// Whether control may reach the handler now: 0, or the manager's refusal.
// The service accepts stop (when it says so), interrogate and its own codes
// 128 to 255; pause, continue and the other system controls it never
// accepts.  With dispatcher.mutex held.
uint32_t Admit(uint32_t control) {
    const ServiceStatusRecord &s = dispatcher.status;
    bool own = control >= kServiceControlUserFirst && control <= kServiceControlUserLast;
    if (!own && (control == 0 || control == kServiceControlShutdown || control > 10)) {
        return kErrorInvalidParameter;
    }
    if (s.currentState != kServiceRunning || dispatcher.handler == nullptr) {
        return s.currentState == kServiceStopped ? kErrorServiceNotActive
                                                 : kErrorServiceCannotAcceptCtrl;
    }
    bool stop = control == kServiceControlStop && (s.controlsAccepted & kServiceAcceptStop) != 0;
    return stop || own || control == kServiceControlInterrogate ? 0 : kErrorInvalidServiceControl;
}

// One caller: its control code, the handler (on this thread), the reply.
// Only the service's own user and root are served.
void ServeOne(int fd) {
    uint32_t control = 0;
    if (!Transfer(fd, &control, sizeof control, false, kRequestWaitMs)) {
        return;
    }
    long peer = PeerUid(fd);
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    uint32_t result = peer == 0 || peer == geteuid() ? Admit(control) : kErrorAccessDenied;
    ScmControlHandler handler = dispatcher.handler;
    lock.unlock();
    if (result == 0) {
        handler(control);
    }
    Transfer(fd, &result, sizeof result, true, kRequestWaitMs);
}

// The owner-only control socket at path (non-blocking).  Returns its
// descriptor or -1.
int OpenControlSocket(const ScmPath &path) {
    sockaddr_un addr = SocketAddress(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    unlink(path.text);
    // The file bind makes takes the socket's mode: no one else may connect at
    // any time, and no path is changed after the bind.
    if (fd >= 0 &&
        (fchmod(fd, 0600) != 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
         listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The Windows texts of the codes the service host and tarnwick-sc tell, as
// FormatMessageA gives them (en-US), each ending with CR LF.
constexpr struct {
    unsigned long code;
    const char *text;
} kErrorTexts[] = {
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {11, "An attempt was made to load a program with an incorrect format.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {1052, "The requested control is not valid for this service.\r\n"},
    {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1056, "An instance of the service is already running.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1061, "The service cannot accept control messages at this time.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1067, "The process terminated unexpectedly.\r\n"},
    {1072, "The specified service has been marked for deletion.\r\n"},
    {1073, "The specified service already exists.\r\n"},
    {1078, "The name is already in use as either a service name or a service display name.\r\n"},
};

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
    bool one_line = std::strpbrk(r->name, "\r\n") == nullptr &&
                    std::strpbrk(r->displayName, "\r\n") == nullptr &&
                    std::strpbrk(r->binaryPath, "\r\n") == nullptr;
    int n = std::snprintf(text, size,
                          "Name=%s\nDisplayName=%s\nType=%u\nStartType=%u\nErrorControl=%u\n"
                          "BinaryPath=%s\nDeletePending=%d\n",
                          r->name, r->displayName, r->serviceType, r->startType, r->errorControl,
                          r->binaryPath, r->deletePending);
    return one_line && n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
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
    int n = std::snprintf(folder->path, sizeof folder->path, "%s",
                          env != nullptr && env[0] != '\0' ? env : kDefaultFolder);
    if (static_cast<size_t>(n) >= sizeof folder->path) {
        return kErrorFilenameTooLong;
    }
    // Each parent in turn, then the folder itself.
    for (char *p = folder->path + 1; make; ++p) {
        char c = *p;
        if (c == '/' || c == '\0') {
            *p = '\0';
            if (mkdir(folder->path, 0755) != 0 && errno != EEXIST) {
                return WindowsErrorOfErrno(errno);
            }
            *p = c;
            make = c != '\0';
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
    return S_ISDIR(st.st_mode) && problem[0] == '\0' ? 0 : kErrorAccessDenied;
}

const char *ScmStoreProblem() {
    return problem;
}

unsigned long ScmStoreKey(const char *folder, const char *name, char *key) {
    size_t n = name == nullptr ? 0 : std::strlen(name);
    if (n == 0 || n > kScmNameMax || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return kErrorInvalidName;
    }
    for (size_t i = 0; i <= n; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (i < n && (c == '/' || c == '\\' || c < 0x20 || c == 0x7f)) {
            return kErrorInvalidName;
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
        return kErrorFilenameTooLong;
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
        return errno == ENOENT ? kErrorServiceDoesNotExist : WindowsErrorOfErrno(errno);
    }
    return ScmRecordParse(text, record) ? 0 : kErrorServiceDoesNotExist;
}

// The status file: the seven words of the record, the process id, its start
// time, in decimal.
void ScmStoreReadStatus(const char *folder, const char *key, ScmStoredStatus *stored) {
    ScmStoredStatus read;
    ServiceStatusRecord &s = read.status;
    char text[256];
    *stored = {{kServiceWin32OwnProcess, kServiceStopped, 0, 0, 0, 0, 0}, 0, 0};
    if (ReadSmall(ScmStorePath(folder, key, ".status").text, text, sizeof text) > 0 &&
        std::sscanf(text, "%u %u %u %u %u %u %u %ld %llu", &s.serviceType, &s.currentState,
                    &s.controlsAccepted, &s.win32ExitCode, &s.serviceSpecificExitCode,
                    &s.checkPoint, &s.waitHint, &read.pid, &read.startTime) == 9) {
        *stored = read;
    }
}

unsigned long ScmStoreWriteStatus(const char *folder, const char *key,
                                  const ScmStoredStatus *stored) {
    const ServiceStatusRecord &s = stored->status;
    char text[256];
    int n = std::snprintf(text, sizeof text, "%u %u %u %u %u %u %u %ld %llu\n", s.serviceType,
                          s.currentState, s.controlsAccepted, s.win32ExitCode,
                          s.serviceSpecificExitCode, s.checkPoint, s.waitHint, stored->pid,
                          stored->startTime);
    return WriteWhole(ScmStorePath(folder, key, ".status").text, text, static_cast<size_t>(n));
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
    ScmStoredStatus seen = *stored;
    ScmStoreReadStatus(folder, key, stored);
    if (stored->status.currentState != kServiceStopped && stored->pid == seen.pid &&
        stored->startTime == seen.startTime) {
        *stored = {
            {seen.status.serviceType, kServiceStopped, 0, kErrorProcessAborted, 0, 0, 0}, 0, 0};
        if (have_lock || lock >= 0) {
            ScmStoreWriteStatus(folder, key, stored);
            unlink(ScmStorePath(folder, key, ".sock").text);
            RemoveIfMarked(folder, key);
        }
    }
    if (lock >= 0) {
        close(lock);
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

// The calls of platform/scm.h.
int SystemScmStartDispatcher(const ScmTableEntry *table) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) {
        return Fail(kErrorInvalidParameter);
    }
    const char *name = std::getenv(kScmServiceVariable);
    ScmFolder folder;
    char key[kScmKeySize];
    ScmRecord record;
    if (name == nullptr || ScmStoreFolder(false, &folder) != 0 ||
        ScmStoreKey(folder.path, name, key) != 0 ||
        ScmStoreReadRecord(folder.path, key, &record) != 0) {
        return Fail(kErrorFailedServiceControllerConnect);
    }
    ScmPath sock = ScmStorePath(folder.path, key, ".sock");
    // Another process of this service that still runs keeps its channel.
    ScmStoredStatus current;
    ScmStoreCurrentStatus(folder.path, key, &current, false);
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    if (dispatcher.active ||
        (current.status.currentState != kServiceStopped && current.pid != getpid())) {
        return Fail(kErrorServiceAlreadyRunning);
    }
    int listener = OpenControlSocket(sock);
    if (listener < 0) {
        return Fail(kErrorFailedServiceControllerConnect);
    }
    std::snprintf(dispatcher.folder, sizeof dispatcher.folder, "%s", folder.path);
    std::snprintf(dispatcher.key, sizeof dispatcher.key, "%s", key);
    dispatcher.active = true;
    dispatcher.handler = nullptr;
    dispatcher.status = {record.serviceType, kServiceStartPending, 0, 0, 0, 0, 0};
    dispatcher.stopped = dispatcher.mainReturned = false;
    dispatcher.listener = listener;
    std::snprintf(main_argv0, sizeof main_argv0, "%s", record.name);
    main_function = table[0].main;
    pthread_t thread;
    bool started = pthread_create(&thread, nullptr, RunMain, nullptr) == 0;
    // Controls until the service has reported itself stopped or its main
    // function has returned.
    while (started && !dispatcher.stopped && !dispatcher.mainReturned) {
        lock.unlock();
        struct pollfd pfd = {listener, POLLIN, 0};
        int fd = poll(&pfd, 1, -1) > 0 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (fd >= 0) {
            ServeOne(fd);
            close(fd);
        }
        lock.lock();
    }
    // No later run of the service starts before this process has ended.
    close(listener);
    unlink(sock.text);
    dispatcher.listener = -1;
    if (started &&
        dispatcher.mainEnded.wait_for(lock, kMainGrace, [] { return dispatcher.mainReturned; })) {
        pthread_join(thread, nullptr);
    } else if (started) {
        pthread_detach(thread);
    }
    if (int fd = ScmStoreLock(folder.path); fd >= 0) {
        RemoveIfMarked(folder.path, key);
        close(fd);
    }
    dispatcher.active = false;
    return started ? 1 : Fail(kErrorServiceNoThread);
}

// An own-process service: the dispatcher runs one service, whatever the name.
ServiceStatusHandle SystemScmRegisterHandler(const char * /*name*/, ScmControlHandler handler) {
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    if (!dispatcher.active || handler == nullptr) {
        return Fail(dispatcher.active ? kErrorInvalidParameter : kErrorServiceDoesNotExist);
    }
    dispatcher.handler = handler;
    return kStatusHandle;
}

int SystemScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status) {
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    if (handle != kStatusHandle || !dispatcher.active || dispatcher.handler == nullptr) {
        return Fail(kErrorInvalidHandle);
    }
    if (status == nullptr || status->currentState < kServiceStopped ||
        status->currentState > kServicePaused) {
        return Fail(kErrorInvalidParameter);
    }
    dispatcher.status = *status;
    ScmStoredStatus stored = {*status, getpid(), ScmStoreProcessStartTime(getpid())};
    ScmStoreWriteStatus(dispatcher.folder, dispatcher.key, &stored);
    if (status->currentState == kServiceStopped) {
        dispatcher.stopped = true;
        StopServing();
    }
    return 1;
}

ScmHandle SystemScmOpenManager(uint32_t access) {
    ScmFolder folder = {};
    bool make = (access & kScManagerCreateService) != 0;
    unsigned long code = ScmStoreFolder(make, &folder);
    code = code == kErrorFileNotFound && !make ? 0 : code;  // no database yet: no service
    if (code != 0) {
        return Fail(code == kErrorFilenameTooLong ? code : kErrorAccessDenied);
    }
    return NewHandle(HandleKind::kManager, folder, "");
}

// One service, run as the user that starts it: no access rights, group, tag,
// dependencies or account are kept.
ScmHandle SystemScmCreateService(ScmHandle manager, const char *name, const char *display_name,
                                 uint32_t /*access*/, uint32_t service_type, uint32_t start_type,
                                 uint32_t error_control, const char *binary_path,
                                 const char * /*load_order_group*/, uint32_t * /*tag_id*/,
                                 const char * /*dependencies*/, const char * /*account*/,
                                 const char * /*password*/) {
    HandleSlot m;
    char key[kScmKeySize];
    if (!FindHandle(manager, HandleKind::kManager, &m)) {
        return Fail(kErrorInvalidHandle);
    }
    if (unsigned long code = ScmStoreKey(m.folder.path, name, key); code != 0) {
        return Fail(code);
    }
    const char *display = display_name != nullptr && display_name[0] != '\0' ? display_name : name;
    ScmRecord record = {};
    if (binary_path == nullptr || binary_path[0] == '\0' ||
        service_type != kServiceWin32OwnProcess ||
        std::strlen(binary_path) >= sizeof record.binaryPath ||
        std::strlen(display) >= sizeof record.displayName) {
        return Fail(kErrorInvalidParameter);
    }
    std::snprintf(record.name, sizeof record.name, "%s", name);
    std::snprintf(record.displayName, sizeof record.displayName, "%s", display);
    record.serviceType = service_type;
    record.startType = start_type;
    record.errorControl = error_control;
    std::snprintf(record.binaryPath, sizeof record.binaryPath, "%s", binary_path);
    int lock = ScmStoreLock(m.folder.path);
    if (lock < 0) {
        return Fail(kErrorAccessDenied);
    }
    ScmRecord existing;
    unsigned long code = kErrorServiceExists;
    if (ScmStoreReadRecord(m.folder.path, key, &existing) == 0) {
        code = existing.deletePending != 0 ? kErrorServiceMarkedForDelete : code;
    } else {
        RemoveService(m.folder.path, key);  // leftovers of an earlier service
        code = WriteRecord(m.folder.path, key, &record);
    }
    close(lock);
    return code != 0 ? Fail(code) : NewHandle(HandleKind::kService, m.folder, key);
}

ScmHandle SystemScmOpenService(ScmHandle manager, const char *name, uint32_t /*access*/) {
    HandleSlot m;
    char key[kScmKeySize];
    ScmRecord record;
    if (!FindHandle(manager, HandleKind::kManager, &m)) {
        return Fail(kErrorInvalidHandle);
    }
    unsigned long code = ScmStoreKey(m.folder.path, name, key);
    code = code != 0 ? code : ScmStoreReadRecord(m.folder.path, key, &record);
    return code != 0 ? Fail(code) : NewHandle(HandleKind::kService, m.folder, key);
}

int SystemScmControlService(ScmHandle service, uint32_t control, ServiceStatusRecord *status) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s) || status == nullptr) {
        return Fail(status == nullptr ? kErrorInvalidParameter : kErrorInvalidHandle);
    }
    // What the manager knows when the service cannot be asked.
    auto refuse = [&](unsigned long code) {
        SystemScmQueryStatus(service, status);
        return Fail(status->currentState == kServiceStopped ? kErrorServiceNotActive : code);
    };
    sockaddr_un addr = SocketAddress(ScmStorePath(s.folder.path, s.key, ".sock"));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Fail(WindowsErrorOfErrno(errno));
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int err = errno;
        close(fd);
        // No channel yet (a start under way) or none any more.
        return err == EACCES || err == EPERM ? Fail(kErrorAccessDenied)
                                             : refuse(kErrorServiceCannotAcceptCtrl);
    }
    // Only a service run by the folder's owner or root is told anything.
    long peer = PeerUid(fd);
    uint32_t result = 0;
    bool trusted = peer == 0 || peer == static_cast<long>(s.folder.owner);
    bool answered = trusted && Transfer(fd, &control, sizeof control, true, kRequestWaitMs) &&
                    Transfer(fd, &result, sizeof result, false, kReplyWaitMs);
    close(fd);
    if (!answered) {
        return trusted ? refuse(kErrorServiceRequestTimeout) : Fail(kErrorAccessDenied);
    }
    SystemScmQueryStatus(service, status);
    return result != 0 ? Fail(result) : 1;
}

int SystemScmQueryStatus(ScmHandle service, ServiceStatusRecord *status) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s) || status == nullptr) {
        return Fail(status == nullptr ? kErrorInvalidParameter : kErrorInvalidHandle);
    }
    ScmStoredStatus current;
    ScmStoreCurrentStatus(s.folder.path, s.key, &current, false);
    *status = current.status;
    return 1;
}

int SystemScmDeleteService(ScmHandle service) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s)) {
        return Fail(kErrorInvalidHandle);
    }
    int lock = ScmStoreLock(s.folder.path);
    if (lock < 0) {
        return Fail(kErrorAccessDenied);
    }
    // Gone already (deleted through another handle) or marked.
    unsigned long code = kErrorServiceMarkedForDelete;
    ScmRecord record;
    ScmStoredStatus current;
    if (ScmStoreReadRecord(s.folder.path, s.key, &record) == 0 && record.deletePending == 0) {
        ScmStoreCurrentStatus(s.folder.path, s.key, &current, true);
        record.deletePending = 1;
        code = current.status.currentState == kServiceStopped
                   ? RemoveService(s.folder.path, s.key)
                   : WriteRecord(s.folder.path, s.key, &record);
    }
    close(lock);
    return code != 0 ? Fail(code) : 1;
}

int SystemScmCloseHandle(ScmHandle handle) {
    std::lock_guard<std::mutex> guard(handle_mutex);
    ScmHandle i = handle - kHandleBase;
    if (i >= kMaxHandles || handles[i].kind == HandleKind::kFree) {
        return Fail(kErrorInvalidHandle);
    }
    handles[i].kind = HandleKind::kFree;
    return 1;
}

uint32_t SystemScmModuleFileName(char *buffer, uint32_t size) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0 || size == 0) {
        return Fail(n < 0 ? WindowsErrorOfErrno(errno) : kErrorInsufficientBuffer);
    }
    std::snprintf(buffer, size, "%.*s", static_cast<int>(n), path);
    if (static_cast<uint32_t>(n) >= size) {
        PlatformSetLastError(kErrorInsufficientBuffer);
        return size;
    }
    return static_cast<uint32_t>(n);
}

size_t SystemScmErrorText(unsigned long code, char *buffer, size_t size) {
    for (const auto &e : kErrorTexts) {
        size_t length = std::strlen(e.text);
        if (e.code == code && length < size) {
            std::memcpy(buffer, e.text, length + 1);
            return length;
        }
    }
    return 0;
}
