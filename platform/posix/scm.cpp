#include "platform/scm.h"

int ScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status) {
    (void)status;
    if (handle == 0 || handle == kInvalidStatusHandle) {
        return 0;
    }
    // No service manager stands behind a handle yet on this platform.
    return 0;
}
