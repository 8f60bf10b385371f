// The service control manager on POSIX: the dispatcher of a service process
// and the manager's operations, over the service database of scm_store.h.
#include "platform/scm.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/errors.h"
#include "platform/posix/scm_store.h"

namespace {

// ---------------------------------------------------------------- handles --

constexpr int kMaxHandles = 32;
constexpr ScmHandle kHandleBase = 0x5C000;

enum class HandleKind { kFree, kManager, kService };

struct HandleSlot {
    HandleKind kind;
    uint32_t access;
    char folder[kScmPathSize];
    char key[kScmKeySize];
};

std::mutex handle_mutex;
HandleSlot handles[kMaxHandles];

ScmHandle NewHandle(HandleKind kind, const char *folder, const char *key, uint32_t access) {
    std::lock_guard<std::mutex> guard(handle_mutex);
    for (int i = 0; i < kMaxHandles; ++i) {
        HandleSlot &slot = handles[i];
        if (slot.kind == HandleKind::kFree) {
            slot.kind = kind;
            slot.access = access;
            std::snprintf(slot.folder, sizeof slot.folder, "%s", folder);
            std::snprintf(slot.key, sizeof slot.key, "%s", key);
            return kHandleBase + static_cast<ScmHandle>(i);
        }
    }
    SetLastError(kScmErrorNotEnoughMemory);
    return 0;
}

// Copies the slot of handle when it is one of kind.
bool FindHandle(ScmHandle handle, HandleKind kind, HandleSlot *copy) {
    std::lock_guard<std::mutex> guard(handle_mutex);
    if (handle < kHandleBase || handle >= kHandleBase + kMaxHandles) {
        return false;
    }
    const HandleSlot &slot = handles[handle - kHandleBase];
    if (slot.kind != kind) {
        return false;
    }
    *copy = slot;
    return true;
}

int Fail(unsigned long code) {
    SetLastError(code);
    return 0;
}

// -------------------------------------------------------- control channel --

// A control request is the 32-bit control code; the reply is the result (0
// when the handler ran, else the refusal's error code) and the status record
// as it stands afterwards.
struct ControlReply {
    uint32_t result;
    ServiceStatusRecord status;
};
static_assert(sizeof(ControlReply) == 32, "a control reply is 32 bytes");

// How long the dispatcher waits for the request of a caller that connected,
// and how long a caller waits for the handler.
constexpr int kRequestWaitMs = 2000;
constexpr int kReplyWaitMs = 30000;

// Reads or writes exactly size bytes within timeout_ms.  Returns false on
// time-out, end of stream or error.
bool Transfer(int fd, void *data, size_t size, bool out, int timeout_ms) {
    auto *p = static_cast<char *>(data);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t done = 0;
    while (done < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return false;
        }
        struct pollfd pfd = {fd, static_cast<short>(out ? POLLOUT : POLLIN), 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        ssize_t n = out ? send(fd, p + done, size - done, MSG_NOSIGNAL)
                        : recv(fd, p + done, size - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SocketAddress(const char *path, struct sockaddr_un *addr) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr->sun_path) {
        return false;
    }
    std::memcpy(addr->sun_path, path, std::strlen(path) + 1);
    return true;
}

// ------------------------------------------------------------- dispatcher --

// The status handle that ScmRegisterHandler gives: nonzero and not the
// invalid value.
constexpr ServiceStatusHandle kStatusHandle = 0x5C5C;
// How long the dispatcher waits for the main function once the service has
// reported itself stopped.
constexpr auto kMainGrace = std::chrono::milliseconds(kScmMainWaitMs);

struct Dispatcher {
    std::mutex mutex;
    bool active = false;  // a dispatcher runs in this process
    char folder[kScmPathSize] = {};
    char key[kScmKeySize] = {};
    ScmControlHandler handler = nullptr;
    ServiceStatusRecord status = {};
    unsigned long long startTime = 0;  // of this process
    bool stopped = false;              // kServiceStopped reported
    bool mainReturned = false;
    int wake[2] = {-1, -1};  // written when stopped or mainReturned is set
};

Dispatcher dispatcher;

// The service's name as its main function receives it; static because the
// main function's thread may outlive the dispatcher.
char main_argv0[kScmNameMax + 1];
char *main_argv[2] = {main_argv0, nullptr};
ScmServiceMain main_function = nullptr;

// With dispatcher.mutex held.
void Wake() {
    if (dispatcher.wake[1] >= 0) {
        char byte = 1;
        ssize_t rc = write(dispatcher.wake[1], &byte, 1);
        (void)rc;
    }
}

void *RunMain(void *) {
    main_function(1, main_argv);
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    dispatcher.mainReturned = true;
    Wake();
    return nullptr;
}

// Whether control may reach the handler now: 0, or the manager's refusal.
// With dispatcher.mutex held.
uint32_t Admit(uint32_t control) {
    if (control == 0 || control == kServiceControlShutdown || (control > 10 && control < 128) ||
        control > kServiceControlUserLast) {
        return kScmErrorInvalidParameter;
    }
    if (dispatcher.handler == nullptr) {
        return kScmErrorServiceCannotAcceptCtrl;
    }
    uint32_t accepted = dispatcher.status.controlsAccepted;
    switch (dispatcher.status.currentState) {
        case kServiceStopped:
            return kScmErrorServiceNotActive;
        case kServiceStartPending:
        case kServiceStopPending:
        case kServiceContinuePending:
        case kServicePausePending:
            return kScmErrorServiceCannotAcceptCtrl;
        default:
            break;
    }
    uint32_t needed = 0;
    if (control == kServiceControlStop) {
        needed = kServiceAcceptStop;
    } else if (control == kServiceControlPause || control == kServiceControlContinue) {
        needed = kServiceAcceptPauseContinue;
    } else if (control == 6) {
        needed = 0x8;  // SERVICE_ACCEPT_PARAMCHANGE
    } else if (control >= 7 && control <= 10) {
        needed = 0x10;  // SERVICE_ACCEPT_NETBINDCHANGE
    }
    return (accepted & needed) == needed ? 0 : kScmErrorInvalidServiceControl;
}

// One caller: its control code, the handler (on this thread), the reply.
void ServeOne(int fd) {
    uint32_t control = 0;
    if (!Transfer(fd, &control, sizeof control, false, kRequestWaitMs)) {
        return;
    }
    ScmControlHandler handler;
    ControlReply reply = {};
    {
        std::lock_guard<std::mutex> guard(dispatcher.mutex);
        reply.result = Admit(control);
        handler = dispatcher.handler;
    }
    if (reply.result == 0) {
        handler(control);
    }
    {
        std::lock_guard<std::mutex> guard(dispatcher.mutex);
        reply.status = dispatcher.status;
    }
    Transfer(fd, &reply, sizeof reply, true, kRequestWaitMs);
}

void DrainWake() {
    char bytes[16];
    while (read(dispatcher.wake[0], bytes, sizeof bytes) > 0) {
    }
}

// Serves control requests until the service has reported itself stopped or
// its main function has returned.
void ServeControls(int listener) {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(dispatcher.mutex);
            if (dispatcher.stopped || dispatcher.mainReturned) {
                return;
            }
        }
        struct pollfd fds[2] = {{listener, POLLIN, 0}, {dispatcher.wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            DrainWake();
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                ServeOne(fd);
                close(fd);
            }
        }
    }
}

// Waits until the main function has returned, at most kMainGrace.
bool WaitForMain() {
    auto end = std::chrono::steady_clock::now() + kMainGrace;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(dispatcher.mutex);
            if (dispatcher.mainReturned) {
                return true;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return false;
        }
        struct pollfd pfd = {dispatcher.wake[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) > 0) {
            DrainWake();
        }
    }
}

// The owner-only control socket at path.  Returns its descriptor or -1.
int OpenControlSocket(const char *path) {
    struct sockaddr_un addr;
    if (!SocketAddress(path, &addr)) {
        return -1;
    }
    unlink(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    // Nobody can connect before listen: the mode is set in between.
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || chmod(path, 0600) != 0 ||
        listen(fd, 8) != 0) {
        close(fd);
        unlink(path);
        return -1;
    }
    return fd;
}

// Removes the socket file unless a later run of the service has put its own
// in its place.
void UnlinkIfOurs(const char *path, const struct stat &ours) {
    struct stat now;
    if (stat(path, &now) == 0 && now.st_dev == ours.st_dev && now.st_ino == ours.st_ino) {
        unlink(path);
    }
}

// ------------------------------------------------------------ error texts --

struct ErrorText {
    unsigned long code;
    const char *text;
};

// The Windows texts of the codes the stand-in gives, as FormatMessageA gives
// them (en-US), each ending with CR LF.
constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully.\r\n"},
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
    {1052, "The requested control is not valid for this service.\r\n"},
    {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1054, "A thread could not be created for the service.\r\n"},
    {1056, "An instance of the service is already running.\r\n"},
    {1058,
     "The service cannot be started, either because it is disabled or because it has no enabled "
     "devices associated with it.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1061, "The service cannot accept control messages at this time.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1063, "The service process could not connect to the service controller.\r\n"},
    {1067, "The process terminated unexpectedly.\r\n"},
    {1072, "The specified service has been marked for deletion.\r\n"},
    {1073, "The specified service already exists.\r\n"},
    {1078, "The name is already in use as either a service name or a service display name.\r\n"},
};

}  // namespace

// ------------------------------------------------------- running service --

int ScmStartDispatcher(const ScmTableEntry *table) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) {
        return Fail(kScmErrorInvalidParameter);
    }
    const char *name = std::getenv(kScmServiceVariable);
    char folder[kScmPathSize];
    char key[kScmKeySize];
    char sock[kScmPathSize];
    ScmRecord record;
    if (name == nullptr || ScmStoreFolder(folder, sizeof folder) != 0 ||
        ScmStoreKey(name, key, sizeof key) != 0 || ScmStoreReadRecord(folder, key, &record) != 0 ||
        !ScmStorePath(folder, key, ".sock", sock, sizeof sock)) {
        return Fail(kScmErrorFailedServiceControllerConnect);
    }
    // Another process of this service that still runs keeps its channel.
    ScmStoredStatus current;
    ScmStoreCurrentStatus(folder, key, record.serviceType, &current, false);
    if (current.status.currentState != kServiceStopped && current.pid != getpid()) {
        return Fail(kScmErrorServiceAlreadyRunning);
    }
    {
        std::lock_guard<std::mutex> guard(dispatcher.mutex);
        if (dispatcher.active) {
            return Fail(kScmErrorServiceAlreadyRunning);
        }
    }
    int listener = OpenControlSocket(sock);
    struct stat ours;
    if (listener < 0 || stat(sock, &ours) != 0) {
        if (listener >= 0) {
            close(listener);
        }
        return Fail(kScmErrorFailedServiceControllerConnect);
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(listener);
        UnlinkIfOurs(sock, ours);
        return Fail(kScmErrorNotEnoughMemory);
    }
    {
        std::lock_guard<std::mutex> guard(dispatcher.mutex);
        dispatcher.active = true;
        std::snprintf(dispatcher.folder, sizeof dispatcher.folder, "%s", folder);
        std::snprintf(dispatcher.key, sizeof dispatcher.key, "%s", key);
        dispatcher.handler = nullptr;
        dispatcher.status = ServiceStatusRecord{};
        dispatcher.status.serviceType = record.serviceType;
        dispatcher.status.currentState = kServiceStartPending;
        dispatcher.startTime = ScmStoreProcessStartTime(getpid());
        dispatcher.stopped = false;
        dispatcher.mainReturned = false;
        dispatcher.wake[0] = wake[0];
        dispatcher.wake[1] = wake[1];
    }
    std::snprintf(main_argv0, sizeof main_argv0, "%s", record.name);
    main_function = table[0].main;
    pthread_t thread;
    bool started = pthread_create(&thread, nullptr, RunMain, nullptr) == 0;
    if (started) {
        ServeControls(listener);
    }
    close(listener);
    UnlinkIfOurs(sock, ours);
    bool returned = started && WaitForMain();
    if (returned) {
        pthread_join(thread, nullptr);
    } else if (started) {
        pthread_detach(thread);
    }

    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    if (!dispatcher.stopped) {
        // The main function ended (or never ran) without reporting its stop.
        ScmStoredStatus ended = {};
        ended.status.serviceType = record.serviceType;
        ended.status.currentState = kServiceStopped;
        ended.status.win32ExitCode = started ? kScmErrorProcessAborted : kScmErrorServiceNoThread;
        ScmStoreWriteStatus(folder, key, &ended);
    }
    int lock = ScmStoreLock(folder);
    ScmRecord latest;
    if (ScmStoreReadRecord(folder, key, &latest) == 0 && latest.deletePending != 0) {
        ScmStoreRemove(folder, key);
    }
    ScmStoreUnlock(lock);
    dispatcher.active = false;
    dispatcher.handler = nullptr;
    close(dispatcher.wake[0]);
    close(dispatcher.wake[1]);
    dispatcher.wake[0] = dispatcher.wake[1] = -1;
    if (!started) {
        return Fail(kScmErrorServiceNoThread);
    }
    return 1;
}

ServiceStatusHandle ScmRegisterHandler(const char *name, ScmControlHandler handler) {
    (void)name;  // an own-process service: the dispatcher runs one service
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    if (!dispatcher.active) {
        SetLastError(kScmErrorServiceDoesNotExist);
        return 0;
    }
    if (handler == nullptr) {
        SetLastError(kScmErrorInvalidParameter);
        return 0;
    }
    dispatcher.handler = handler;
    return kStatusHandle;
}

int ScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status) {
    if (handle == 0 || handle == kInvalidStatusHandle || handle != kStatusHandle) {
        return Fail(kScmErrorInvalidHandle);
    }
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    if (!dispatcher.active || dispatcher.handler == nullptr) {
        return Fail(kScmErrorInvalidHandle);
    }
    if (status == nullptr || status->currentState < kServiceStopped ||
        status->currentState > kServicePaused) {
        return Fail(kScmErrorInvalidParameter);
    }
    dispatcher.status = *status;
    ScmStoredStatus stored = {*status, static_cast<long>(getpid()), dispatcher.startTime};
    ScmStoreWriteStatus(dispatcher.folder, dispatcher.key, &stored);
    ScmStoreAppendReport(dispatcher.folder, dispatcher.key, status);
    if (status->currentState == kServiceStopped) {
        dispatcher.stopped = true;
        Wake();
    }
    return 1;
}

// ------------------------------------------------------------ the manager --

ScmHandle ScmOpenManager(uint32_t access) {
    char folder[kScmPathSize];
    if (unsigned long code = ScmStoreFolder(folder, sizeof folder); code != 0) {
        return Fail(code);
    }
    if ((access & kScManagerCreateService) != 0) {
        if (ScmStoreMakeFolder(folder) != 0 || ::access(folder, W_OK | X_OK) != 0) {
            return Fail(kScmErrorAccessDenied);
        }
    } else if (::access(folder, R_OK | X_OK) != 0 && errno != ENOENT) {
        return Fail(kScmErrorAccessDenied);
    }
    return NewHandle(HandleKind::kManager, folder, "", access);
}

ScmHandle ScmCreateService(ScmHandle manager, const char *name, const char *display_name,
                           uint32_t access, uint32_t service_type, uint32_t start_type,
                           uint32_t error_control, const char *binary_path,
                           const char *load_order_group, uint32_t *tag_id, const char *dependencies,
                           const char *account, const char *password) {
    (void)password;  // the stand-in runs every service as its starter
    HandleSlot m;
    if (!FindHandle(manager, HandleKind::kManager, &m)) {
        return Fail(kScmErrorInvalidHandle);
    }
    if ((m.access & kScManagerCreateService) == 0) {
        return Fail(kScmErrorAccessDenied);
    }
    char key[kScmKeySize];
    if (unsigned long code = ScmStoreKey(name, key, sizeof key); code != 0) {
        return Fail(code);
    }
    const char *display = display_name != nullptr && display_name[0] != '\0' ? display_name : name;
    auto one_line = [](const char *text, size_t size) {
        return text == nullptr ||
               (std::strlen(text) < size && std::strpbrk(text, "\r\n") == nullptr);
    };
    if (binary_path == nullptr || binary_path[0] == '\0' || !one_line(binary_path, kScmPathSize) ||
        !one_line(display, kScmTextSize) || !one_line(load_order_group, kScmTextSize) ||
        !one_line(account, kScmTextSize) || service_type != kServiceWin32OwnProcess ||
        start_type < kServiceAutoStart || start_type > kServiceDisabled || error_control > 3) {
        return Fail(kScmErrorInvalidParameter);
    }
    ScmRecord record = {};
    std::snprintf(record.name, sizeof record.name, "%s", name);
    std::snprintf(record.displayName, sizeof record.displayName, "%s", display);
    record.serviceType = service_type;
    record.startType = start_type;
    record.errorControl = error_control;
    std::snprintf(record.binaryPath, sizeof record.binaryPath, "%s", binary_path);
    std::snprintf(record.group, sizeof record.group, "%s",
                  load_order_group != nullptr ? load_order_group : "");
    // The double-NUL list, its names joined by '/'.
    size_t at = 0;
    for (const char *d = dependencies; d != nullptr && *d != '\0'; d += std::strlen(d) + 1) {
        int n = std::snprintf(record.dependencies + at, sizeof record.dependencies - at, "%s%s",
                              at == 0 ? "" : "/", d);
        if (n < 0 || at + static_cast<size_t>(n) >= sizeof record.dependencies ||
            std::strpbrk(d, "\r\n") != nullptr) {
            return Fail(kScmErrorInvalidParameter);
        }
        at += static_cast<size_t>(n);
    }
    std::snprintf(record.account, sizeof record.account, "%s",
                  account != nullptr ? account : "LocalSystem");

    int lock = ScmStoreLock(m.folder);
    if (lock < 0) {
        return Fail(kScmErrorAccessDenied);
    }
    unsigned long code = 0;
    ScmRecord existing;
    if (ScmStoreReadRecord(m.folder, key, &existing) == 0) {
        code =
            existing.deletePending != 0 ? kScmErrorServiceMarkedForDelete : kScmErrorServiceExists;
    } else {
        struct Clash {
            const char *name;
            const char *display;
            bool found;
        } clash = {name, display, false};
        ScmStoreEachRecord(
            m.folder,
            [](const ScmRecord &other, void *arg) {
                auto *c = static_cast<Clash *>(arg);
                c->found = strcasecmp(other.displayName, c->display) == 0 ||
                           strcasecmp(other.displayName, c->name) == 0 ||
                           strcasecmp(other.name, c->display) == 0;
                return !c->found;
            },
            &clash);
        if (clash.found) {
            code = kScmErrorDuplicateServiceName;
        } else {
            ScmStoreRemove(m.folder, key);  // leftovers of an earlier service
            code = ScmStoreWriteRecord(m.folder, key, &record);
        }
    }
    ScmStoreUnlock(lock);
    if (code != 0) {
        return Fail(code);
    }
    if (tag_id != nullptr) {
        *tag_id = 0;
    }
    return NewHandle(HandleKind::kService, m.folder, key, access);
}

ScmHandle ScmOpenService(ScmHandle manager, const char *name, uint32_t access) {
    HandleSlot m;
    if (!FindHandle(manager, HandleKind::kManager, &m)) {
        return Fail(kScmErrorInvalidHandle);
    }
    char key[kScmKeySize];
    if (unsigned long code = ScmStoreKey(name, key, sizeof key); code != 0) {
        return Fail(code);
    }
    ScmRecord record;
    if (unsigned long code = ScmStoreReadRecord(m.folder, key, &record); code != 0) {
        return Fail(code);
    }
    return NewHandle(HandleKind::kService, m.folder, key, access);
}

int ScmControlService(ScmHandle service, uint32_t control, ServiceStatusRecord *status) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s)) {
        return Fail(kScmErrorInvalidHandle);
    }
    ServiceStatusRecord ignored;
    if (status == nullptr) {
        status = &ignored;
    }
    ScmRecord record;
    if (unsigned long code = ScmStoreReadRecord(s.folder, s.key, &record); code != 0) {
        return Fail(code);
    }
    // What the manager knows when the service cannot be asked.
    auto refuse = [&](unsigned long fallback) {
        ScmStoredStatus current;
        ScmStoreCurrentStatus(s.folder, s.key, record.serviceType, &current, false);
        *status = current.status;
        return Fail(current.status.currentState == kServiceStopped ? kScmErrorServiceNotActive
                                                                   : fallback);
    };
    char path[kScmPathSize];
    struct sockaddr_un addr;
    if (!ScmStorePath(s.folder, s.key, ".sock", path, sizeof path) || !SocketAddress(path, &addr)) {
        return refuse(kScmErrorServiceCannotAcceptCtrl);
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Fail(ScmErrnoCode(errno));
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int err = errno;
        close(fd);
        if (err == EACCES || err == EPERM) {
            return Fail(kScmErrorAccessDenied);
        }
        // No channel yet (a start under way) or none any more.
        return refuse(kScmErrorServiceCannotAcceptCtrl);
    }
    ControlReply reply;
    bool sent = Transfer(fd, &control, sizeof control, true, kRequestWaitMs);
    bool answered = sent && Transfer(fd, &reply, sizeof reply, false, kReplyWaitMs);
    close(fd);
    if (!answered) {
        return refuse(kScmErrorServiceRequestTimeout);
    }
    *status = reply.status;
    if (reply.result != 0) {
        return Fail(reply.result);
    }
    return 1;
}

int ScmQueryStatus(ScmHandle service, ServiceStatusRecord *status) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s)) {
        return Fail(kScmErrorInvalidHandle);
    }
    if (status == nullptr) {
        return Fail(kScmErrorInvalidParameter);
    }
    ScmRecord record;
    uint32_t type = ScmStoreReadRecord(s.folder, s.key, &record) == 0 ? record.serviceType
                                                                      : kServiceWin32OwnProcess;
    ScmStoredStatus current;
    ScmStoreCurrentStatus(s.folder, s.key, type, &current, false);
    *status = current.status;
    return 1;
}

int ScmDeleteService(ScmHandle service) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s)) {
        return Fail(kScmErrorInvalidHandle);
    }
    int lock = ScmStoreLock(s.folder);
    if (lock < 0) {
        return Fail(kScmErrorAccessDenied);
    }
    unsigned long code = 0;
    ScmRecord record;
    if (ScmStoreReadRecord(s.folder, s.key, &record) != 0 || record.deletePending != 0) {
        // Gone already (deleted through another handle) or marked.
        code = kScmErrorServiceMarkedForDelete;
    } else {
        ScmStoredStatus current;
        ScmStoreCurrentStatus(s.folder, s.key, record.serviceType, &current, true);
        if (current.status.currentState == kServiceStopped) {
            code = ScmStoreRemove(s.folder, s.key);
        } else {
            record.deletePending = 1;
            code = ScmStoreWriteRecord(s.folder, s.key, &record);
        }
    }
    ScmStoreUnlock(lock);
    return code != 0 ? Fail(code) : 1;
}

int ScmCloseHandle(ScmHandle handle) {
    std::lock_guard<std::mutex> guard(handle_mutex);
    if (handle < kHandleBase || handle >= kHandleBase + kMaxHandles ||
        handles[handle - kHandleBase].kind == HandleKind::kFree) {
        return Fail(kScmErrorInvalidHandle);
    }
    handles[handle - kHandleBase].kind = HandleKind::kFree;
    return 1;
}

// -------------------------------------------------- executable and texts --

uint32_t ScmModuleFileName(char *buffer, uint32_t size) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) {
        return Fail(ScmErrnoCode(errno));
    }
    if (size == 0) {
        return Fail(kScmErrorInsufficientBuffer);
    }
    auto length = static_cast<uint32_t>(n);
    if (length >= size) {
        std::memcpy(buffer, path, size - 1);
        buffer[size - 1] = '\0';
        SetLastError(kScmErrorInsufficientBuffer);
        return size;
    }
    std::memcpy(buffer, path, length);
    buffer[length] = '\0';
    return length;
}

size_t ScmErrorText(unsigned long code, char *buffer, size_t size) {
    for (const ErrorText &e : kErrorTexts) {
        if (e.code == code) {
            size_t length = std::strlen(e.text);
            if (length + 1 > size) {
                return 0;
            }
            std::memcpy(buffer, e.text, length + 1);
            return length;
        }
    }
    return 0;
}
