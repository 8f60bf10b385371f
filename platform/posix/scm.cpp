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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/errors.h"
#include "platform/posix/errno_code.h"
#include "platform/posix/scm_store.h"

static_assert(sizeof(sockaddr_un::sun_path) == kScmSocketPathMax + 1,
              "a control socket path fills a socket address");

namespace {

int Fail(unsigned long code) {
    SetLastError(code);
    return 0;
}

// ---------------------------------------------------------------- handles --

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
    return Fail(kScmErrorNotEnoughMemory);
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

// Sends or receives exactly size bytes within timeout_ms.
bool Transfer(int fd, void *data, size_t size, bool out, int timeout_ms) {
    struct timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, out ? SO_SNDTIMEO : SO_RCVTIMEO, &limit, sizeof limit);
    ssize_t n;
    do {
        n = out ? send(fd, data, size, MSG_NOSIGNAL) : recv(fd, data, size, MSG_WAITALL);
    } while (n < 0 && errno == EINTR);
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

// ------------------------------------------------------------- dispatcher --

// The status handle that ScmRegisterHandler gives: nonzero and not the
// invalid value.
constexpr ServiceStatusHandle kStatusHandle = 0x5C5C;
// How long the dispatcher waits for the main function once the service has
// reported itself stopped.
constexpr auto kMainGrace = std::chrono::seconds(10);

struct Dispatcher {
    std::mutex mutex;
    std::condition_variable mainEnded;
    bool active = false;  // a dispatcher runs in this process
    char folder[kScmPathSize] = {};
    char key[kScmKeySize] = {};
    ScmControlHandler handler = nullptr;
    ServiceStatusRecord status = {};
    unsigned long long startTime = 0;  // of this process
    bool stopped = false;              // kServiceStopped reported
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
    if (control == 0 || control == kServiceControlShutdown || (control > 10 && control < 128) ||
        control > kServiceControlUserLast) {
        return kScmErrorInvalidParameter;
    }
    uint32_t state = dispatcher.status.currentState;
    if (state == kServiceStopped) {
        return kScmErrorServiceNotActive;
    }
    if (dispatcher.handler == nullptr || state != kServiceRunning) {
        return kScmErrorServiceCannotAcceptCtrl;
    }
    bool stop = control == kServiceControlStop;
    return (stop && (dispatcher.status.controlsAccepted & kServiceAcceptStop) != 0) ||
                   control == kServiceControlInterrogate || control >= kServiceControlUserFirst
               ? 0
               : kScmErrorInvalidServiceControl;
}

// One caller: its control code, the handler (on this thread), the reply.
// Only the service's own user and root are served.
void ServeOne(int fd) {
    uint32_t control = 0;
    if (!Transfer(fd, &control, sizeof control, false, kRequestWaitMs)) {
        return;
    }
    long peer = PeerUid(fd);
    ControlReply reply = {};
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    bool allowed = peer == 0 || peer == static_cast<long>(geteuid());
    reply.result = allowed ? Admit(control) : kScmErrorAccessDenied;
    ScmControlHandler handler = dispatcher.handler;
    lock.unlock();
    if (reply.result == 0) {
        handler(control);
    }
    lock.lock();
    reply.status = dispatcher.status;
    lock.unlock();
    Transfer(fd, &reply, sizeof reply, true, kRequestWaitMs);
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

// The Windows texts of the codes the stand-in and the service host meet, as
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
    {1054, "A thread could not be created for the service.\r\n"},
    {1056, "An instance of the service is already running.\r\n"},
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
    ScmFolder folder;
    char key[kScmKeySize];
    ScmRecord record;
    if (name == nullptr || ScmStoreFolder(false, &folder) != 0 ||
        ScmStoreKey(folder.path, name, key) != 0 ||
        ScmStoreReadRecord(folder.path, key, &record) != 0) {
        return Fail(kScmErrorFailedServiceControllerConnect);
    }
    ScmPath sock = ScmStorePath(folder.path, key, ".sock");
    // Another process of this service that still runs keeps its channel.
    ScmStoredStatus current;
    ScmStoreCurrentStatus(folder.path, key, &current, false);
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    if (dispatcher.active ||
        (current.status.currentState != kServiceStopped && current.pid != getpid())) {
        return Fail(kScmErrorServiceAlreadyRunning);
    }
    int listener = OpenControlSocket(sock);
    if (listener < 0) {
        return Fail(kScmErrorFailedServiceControllerConnect);
    }
    std::snprintf(dispatcher.folder, sizeof dispatcher.folder, "%s", folder.path);
    std::snprintf(dispatcher.key, sizeof dispatcher.key, "%s", key);
    dispatcher.active = true;
    dispatcher.handler = nullptr;
    dispatcher.status = {record.serviceType, kServiceStartPending, 0, 0, 0, 0, 0};
    dispatcher.startTime = ScmStoreProcessStartTime(getpid());
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
    if (!dispatcher.stopped) {
        // The main function ended (or never ran) without reporting its stop.
        uint32_t code = started ? kScmErrorProcessAborted : kScmErrorServiceNoThread;
        ScmStoredStatus ended = {{record.serviceType, kServiceStopped, 0, code, 0, 0, 0}, 0, 0};
        ScmStoreWriteStatus(folder.path, key, &ended);
    }
    // A service marked for deletion goes once it has stopped.
    if (int fd = ScmStoreLock(folder.path); fd >= 0) {
        if (ScmStoreReadRecord(folder.path, key, &record) == 0 && record.deletePending != 0) {
            ScmStoreRemove(folder.path, key);
        }
        close(fd);
    }
    dispatcher.active = false;
    dispatcher.handler = nullptr;
    return started ? 1 : Fail(kScmErrorServiceNoThread);
}

ServiceStatusHandle ScmRegisterHandler(const char *name, ScmControlHandler handler) {
    (void)name;  // an own-process service: the dispatcher runs one service
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    if (!dispatcher.active || handler == nullptr) {
        return Fail(dispatcher.active ? kScmErrorInvalidParameter : kScmErrorServiceDoesNotExist);
    }
    dispatcher.handler = handler;
    return kStatusHandle;
}

int ScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status) {
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    if (handle != kStatusHandle || !dispatcher.active || dispatcher.handler == nullptr) {
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
        StopServing();
    }
    return 1;
}

// ------------------------------------------------------------ the manager --

ScmHandle ScmOpenManager(uint32_t access) {
    ScmFolder folder = {};
    bool make = (access & kScManagerCreateService) != 0;
    unsigned long code = ScmStoreFolder(make, &folder);
    if (code == kScmErrorFileNotFound && !make) {
        code = 0;  // no database yet: no service
    } else if (code == 0 && make && ::access(folder.path, W_OK | X_OK) != 0) {
        code = kScmErrorAccessDenied;
    }
    if (code != 0) {
        return Fail(code == kScmErrorFilenameTooLong ? code : kScmErrorAccessDenied);
    }
    return NewHandle(HandleKind::kManager, folder, "");
}

ScmHandle ScmCreateService(ScmHandle manager, const char *name, const char *display_name,
                           uint32_t access, uint32_t service_type, uint32_t start_type,
                           uint32_t error_control, const char *binary_path,
                           const char *load_order_group, uint32_t *tag_id, const char *dependencies,
                           const char *account, const char *password) {
    // One service, run as the user that starts it: no access rights, group,
    // dependencies or account are kept.
    (void)access, (void)load_order_group, (void)dependencies, (void)account, (void)password;
    HandleSlot m;
    char key[kScmKeySize];
    if (!FindHandle(manager, HandleKind::kManager, &m)) {
        return Fail(kScmErrorInvalidHandle);
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
        return Fail(kScmErrorInvalidParameter);
    }
    std::snprintf(record.name, sizeof record.name, "%s", name);
    std::snprintf(record.displayName, sizeof record.displayName, "%s", display);
    record.serviceType = service_type;
    record.startType = start_type;
    record.errorControl = error_control;
    std::snprintf(record.binaryPath, sizeof record.binaryPath, "%s", binary_path);
    int lock = ScmStoreLock(m.folder.path);
    if (lock < 0) {
        return Fail(kScmErrorAccessDenied);
    }
    ScmRecord existing;
    unsigned long code = kScmErrorServiceExists;
    if (ScmStoreReadRecord(m.folder.path, key, &existing) == 0) {
        code = existing.deletePending != 0 ? kScmErrorServiceMarkedForDelete : code;
    } else {
        ScmStoreRemove(m.folder.path, key);  // leftovers of an earlier service
        code = ScmStoreWriteRecord(m.folder.path, key, &record);
    }
    close(lock);
    if (code != 0) {
        return Fail(code);
    }
    if (tag_id != nullptr) {
        *tag_id = 0;
    }
    return NewHandle(HandleKind::kService, m.folder, key);
}

ScmHandle ScmOpenService(ScmHandle manager, const char *name, uint32_t access) {
    (void)access;
    HandleSlot m;
    char key[kScmKeySize];
    ScmRecord record;
    if (!FindHandle(manager, HandleKind::kManager, &m)) {
        return Fail(kScmErrorInvalidHandle);
    }
    unsigned long code = ScmStoreKey(m.folder.path, name, key);
    code = code != 0 ? code : ScmStoreReadRecord(m.folder.path, key, &record);
    return code != 0 ? Fail(code) : NewHandle(HandleKind::kService, m.folder, key);
}

int ScmControlService(ScmHandle service, uint32_t control, ServiceStatusRecord *status) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s)) {
        return Fail(kScmErrorInvalidHandle);
    }
    ServiceStatusRecord ignored;
    status = status != nullptr ? status : &ignored;
    // What the manager knows when the service cannot be asked.
    auto refuse = [&](unsigned long code) {
        ScmStoredStatus current;
        ScmStoreCurrentStatus(s.folder.path, s.key, &current, false);
        *status = current.status;
        return Fail(current.status.currentState == kServiceStopped ? kScmErrorServiceNotActive
                                                                   : code);
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
        return err == EACCES || err == EPERM ? Fail(kScmErrorAccessDenied)
                                             : refuse(kScmErrorServiceCannotAcceptCtrl);
    }
    // Only a service run by the folder's owner or root is told anything.
    long peer = PeerUid(fd);
    ControlReply reply;
    bool trusted = peer == 0 || peer == static_cast<long>(s.folder.owner);
    bool answered = trusted && Transfer(fd, &control, sizeof control, true, kRequestWaitMs) &&
                    Transfer(fd, &reply, sizeof reply, false, kReplyWaitMs);
    close(fd);
    if (!answered) {
        return trusted ? refuse(kScmErrorServiceRequestTimeout) : Fail(kScmErrorAccessDenied);
    }
    *status = reply.status;
    return reply.result != 0 ? Fail(reply.result) : 1;
}

int ScmQueryStatus(ScmHandle service, ServiceStatusRecord *status) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s) || status == nullptr) {
        return Fail(status == nullptr ? kScmErrorInvalidParameter : kScmErrorInvalidHandle);
    }
    ScmStoredStatus current;
    ScmStoreCurrentStatus(s.folder.path, s.key, &current, false);
    *status = current.status;
    return 1;
}

int ScmDeleteService(ScmHandle service) {
    HandleSlot s;
    if (!FindHandle(service, HandleKind::kService, &s)) {
        return Fail(kScmErrorInvalidHandle);
    }
    int lock = ScmStoreLock(s.folder.path);
    if (lock < 0) {
        return Fail(kScmErrorAccessDenied);
    }
    // Gone already (deleted through another handle) or marked.
    unsigned long code = kScmErrorServiceMarkedForDelete;
    ScmRecord record;
    ScmStoredStatus current;
    if (ScmStoreReadRecord(s.folder.path, s.key, &record) == 0 && record.deletePending == 0) {
        ScmStoreCurrentStatus(s.folder.path, s.key, &current, true);
        record.deletePending = 1;
        code = current.status.currentState == kServiceStopped
                   ? ScmStoreRemove(s.folder.path, s.key)
                   : ScmStoreWriteRecord(s.folder.path, s.key, &record);
    }
    close(lock);
    return code != 0 ? Fail(code) : 1;
}

int ScmCloseHandle(ScmHandle handle) {
    std::lock_guard<std::mutex> guard(handle_mutex);
    ScmHandle i = handle - kHandleBase;
    if (i >= kMaxHandles || handles[i].kind == HandleKind::kFree) {
        return Fail(kScmErrorInvalidHandle);
    }
    handles[i].kind = HandleKind::kFree;
    return 1;
}

// -------------------------------------------------- executable and texts --

uint32_t ScmModuleFileName(char *buffer, uint32_t size) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0 || size == 0) {
        return Fail(n < 0 ? WindowsErrorOfErrno(errno) : kScmErrorInsufficientBuffer);
    }
    auto length = static_cast<uint32_t>(n);
    uint32_t copied = length < size ? length : size - 1;
    std::memcpy(buffer, path, copied);
    buffer[copied] = '\0';
    if (copied < length) {
        SetLastError(kScmErrorInsufficientBuffer);
        return size;
    }
    return length;
}

size_t ScmErrorText(unsigned long code, char *buffer, size_t size) {
    for (const auto &e : kErrorTexts) {
        size_t length = std::strlen(e.text);
        if (e.code == code && length < size) {
            std::memcpy(buffer, e.text, length + 1);
            return length;
        }
    }
    return 0;
}
