#include "platform/eventlog.h"

#include <windows.h>

#include "platform/common/eventlog_system.h"

EventSourceHandle SystemEventSourceRegister(const char *name) {
    // The local machine; the handle is the system's.
    HANDLE h = RegisterEventSourceA(nullptr, name);
    return h == nullptr ? kNoEventSource : reinterpret_cast<EventSourceHandle>(h);
}

int SystemEventSourceReport(EventSourceHandle source, uint16_t type, uint16_t category,
                            uint32_t event_id, uint16_t count, const char *const *strings,
                            uint32_t data_size, const void *data) {
    if (source == kNoEventSource) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    DWORD saved = GetLastError();
    // No user SID; the strings are only read.
    BOOL ok =
        ReportEventA(reinterpret_cast<HANDLE>(source), type, category, event_id, nullptr, count,
                     data_size, const_cast<const char **>(strings), const_cast<void *>(data));
    if (!ok) {
        return 0;
    }
    SetLastError(saved);
    return 1;
}

int SystemEventSourceDeregister(EventSourceHandle source) {
    if (source == kNoEventSource) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    return DeregisterEventSource(reinterpret_cast<HANDLE>(source)) ? 1 : 0;
}
