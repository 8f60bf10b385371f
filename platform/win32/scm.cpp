#include "platform/scm.h"

#include <windows.h>

int ScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status) {
    if (handle == 0 || handle == kInvalidStatusHandle) {
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
