// The service control manager, as the running service sees it: its status
// handle and status reports (SetServiceStatus).
//
// Thread-safe.
#pragma once

#include <cstdint>

using ServiceStatusHandle = uintptr_t;
// The invalid handle (INVALID_HANDLE_VALUE): a console run has no manager.
constexpr ServiceStatusHandle kInvalidStatusHandle = ~static_cast<uintptr_t>(0);

constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceAcceptStop = 1;

// The status record (SERVICE_STATUS), field for field.
struct ServiceStatusRecord {
    uint32_t serviceType;
    uint32_t currentState;
    uint32_t controlsAccepted;
    uint32_t win32ExitCode;
    uint32_t serviceSpecificExitCode;
    uint32_t checkPoint;
    uint32_t waitHint;
};

// Reports the status to the manager.  Returns nonzero on success; 0 for the
// invalid handle or none (0), with no other effect.
int ScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status);
