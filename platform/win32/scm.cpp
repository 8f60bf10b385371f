// The service control manager on Windows: each call is the Windows call it
// stands for.  The dispatch table and control handlers pass through fixed
// thunks of our own, so that the program's functions keep their own types.
#include "platform/common/scm_system.h"

#include <windows.h>

#include <atomic>
#include <cstring>

namespace {

// Services one process can host: the program hosts one.
constexpr int kMaxServices = 4;
constexpr size_t kNameSize = 257;  // a service name holds at most 256 characters
constexpr DWORD kPathMax = 32768;  // the longest path Windows knows

struct ServiceSlot {
    char name[kNameSize];
    ScmServiceMain main;
    std::atomic<ScmControlHandler> handler;
};
ServiceSlot slots[kMaxServices];
std::atomic<int> slot_count{0};

// Main functions that have begun and not yet returned: the dispatcher waits
// for them before it lets the process end.  The system's own lock and
// condition, which nothing destroys at the end of the process, since a main
// function may outlive the wait.
SRWLOCK mains_lock = SRWLOCK_INIT;
CONDITION_VARIABLE mains_returned = CONDITION_VARIABLE_INIT;
int mains_running = 0;

template <int N>
void WINAPI MainThunk(DWORD argc, LPSTR *argv) {
    AcquireSRWLockExclusive(&mains_lock);
    ++mains_running;
    ReleaseSRWLockExclusive(&mains_lock);
    slots[N].main(argc, argv);
    AcquireSRWLockExclusive(&mains_lock);
    --mains_running;
    ReleaseSRWLockExclusive(&mains_lock);
    WakeAllConditionVariable(&mains_returned);
}

// Until no main function runs, at most kScmMainWaitMs.
void WaitForMains() {
    ULONGLONG end = GetTickCount64() + kScmMainWaitMs;
    AcquireSRWLockExclusive(&mains_lock);
    for (ULONGLONG now = GetTickCount64(); mains_running > 0 && now < end; now = GetTickCount64()) {
        SleepConditionVariableSRW(&mains_returned, &mains_lock, static_cast<DWORD>(end - now), 0);
    }
    ReleaseSRWLockExclusive(&mains_lock);
}

template <int N>
void WINAPI HandlerThunk(DWORD control) {
    ScmControlHandler handler = slots[N].handler.load();
    if (handler != nullptr) {
        handler(control);
    }
}

constexpr LPSERVICE_MAIN_FUNCTIONA kMainThunks[kMaxServices] = {MainThunk<0>, MainThunk<1>,
                                                                MainThunk<2>, MainThunk<3>};
constexpr LPHANDLER_FUNCTION kHandlerThunks[kMaxServices] = {HandlerThunk<0>, HandlerThunk<1>,
                                                             HandlerThunk<2>, HandlerThunk<3>};

SC_HANDLE ToSc(ScmHandle handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}

void FromStatus(const SERVICE_STATUS &in, ServiceStatusRecord *out) {
    out->serviceType = in.dwServiceType;
    out->currentState = in.dwCurrentState;
    out->controlsAccepted = in.dwControlsAccepted;
    out->win32ExitCode = in.dwWin32ExitCode;
    out->serviceSpecificExitCode = in.dwServiceSpecificExitCode;
    out->checkPoint = in.dwCheckPoint;
    out->waitHint = in.dwWaitHint;
}

}  // namespace

int SystemScmStartDispatcher(const ScmTableEntry *table) {
    int count = 0;
    while (table != nullptr && table[count].name != nullptr && table[count].main != nullptr) {
        ++count;
    }
    if (count == 0 || count > kMaxServices) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    SERVICE_TABLE_ENTRYA entries[kMaxServices + 1] = {};
    for (int i = 0; i < count; ++i) {
        ServiceSlot &slot = slots[i];
        size_t len = std::strlen(table[i].name);
        if (len >= kNameSize) {
            SetLastError(kErrorInvalidName);
            return 0;
        }
        std::memcpy(slot.name, table[i].name, len + 1);
        slot.main = table[i].main;
        slot.handler.store(nullptr);
        entries[i].lpServiceName = slot.name;
        entries[i].lpServiceProc = kMainThunks[i];
    }
    slot_count.store(count);
    if (!StartServiceCtrlDispatcherA(entries)) {
        return 0;
    }
    WaitForMains();
    return 1;
}

ServiceStatusHandle SystemScmRegisterHandler(const char *name, ScmControlHandler handler) {
    int count = slot_count.load();
    for (int i = 0; i < count; ++i) {
        if (name != nullptr && lstrcmpiA(slots[i].name, name) == 0) {
            slots[i].handler.store(handler);
            SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerA(name, kHandlerThunks[i]);
            return reinterpret_cast<ServiceStatusHandle>(h);
        }
    }
    // No dispatcher of this process runs a service of that name.
    SetLastError(kErrorServiceDoesNotExist);
    return 0;
}

int SystemScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status) {
    if (handle == 0 || handle == kInvalidStatusHandle) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    if (status->currentState < kServiceStopped || status->currentState > kServicePaused) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    SERVICE_STATUS record;
    record.dwServiceType = status->serviceType;
    record.dwCurrentState = status->currentState;
    record.dwControlsAccepted = status->controlsAccepted;
    record.dwWin32ExitCode = status->win32ExitCode;
    record.dwServiceSpecificExitCode = status->serviceSpecificExitCode;
    record.dwCheckPoint = status->checkPoint;
    record.dwWaitHint = status->waitHint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record) ? 1 : 0;
}

ScmHandle SystemScmOpenManager(uint32_t access) {
    return reinterpret_cast<ScmHandle>(OpenSCManagerA(nullptr, nullptr, access));
}

ScmHandle SystemScmCreateService(ScmHandle manager, const char *name, const char *display_name,
                                 uint32_t access, uint32_t service_type, uint32_t start_type,
                                 uint32_t error_control, const char *binary_path,
                                 const char *load_order_group, uint32_t *tag_id,
                                 const char *dependencies, const char *account,
                                 const char *password) {
    DWORD tag = 0;
    SC_HANDLE h =
        CreateServiceA(ToSc(manager), name, display_name, access, service_type, start_type,
                       error_control, binary_path, load_order_group,
                       tag_id != nullptr ? &tag : nullptr, dependencies, account, password);
    if (h != nullptr && tag_id != nullptr) {
        *tag_id = tag;
    }
    return reinterpret_cast<ScmHandle>(h);
}

ScmHandle SystemScmOpenService(ScmHandle manager, const char *name, uint32_t access) {
    return reinterpret_cast<ScmHandle>(OpenServiceA(ToSc(manager), name, access));
}

int SystemScmControlService(ScmHandle svc, uint32_t control, ServiceStatusRecord *status) {
    // Windows fills the record on success and on the refusals.
    SERVICE_STATUS record = {};
    BOOL ok = ControlService(ToSc(svc), control, &record);
    if (ok || record.dwCurrentState != 0) {
        DWORD saved = GetLastError();
        FromStatus(record, status);
        SetLastError(saved);
    }
    return ok ? 1 : 0;
}

int SystemScmQueryStatus(ScmHandle svc, ServiceStatusRecord *status) {
    SERVICE_STATUS record = {};
    if (!QueryServiceStatus(ToSc(svc), &record)) {
        return 0;
    }
    FromStatus(record, status);
    return 1;
}

int SystemScmDeleteService(ScmHandle svc) {
    return DeleteService(ToSc(svc)) ? 1 : 0;
}

int SystemScmCloseHandle(ScmHandle handle) {
    return CloseServiceHandle(ToSc(handle)) ? 1 : 0;
}

uint32_t SystemScmModuleFileName(char *buffer, uint32_t size) {
    // The whole path first, then cut here: the cut and its result are the
    // same whatever the system does with a short buffer.
    char path[kPathMax];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        if (length != 0) {
            SetLastError(kErrorInsufficientBuffer);
        }
        return 0;
    }
    if (size == 0) {
        SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    if (length >= size) {
        std::memcpy(buffer, path, size - 1);
        buffer[size - 1] = '\0';
        SetLastError(kErrorInsufficientBuffer);
        return size;
    }
    std::memcpy(buffer, path, length + 1);
    return length;
}
