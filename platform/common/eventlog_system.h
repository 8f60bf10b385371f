// The platform's own event sources behind eventlog.h, one per platform
// (posix/: the system log or the TARNWICK_EVENTLOG file; win32/: the NT event
// log); platform/common/eventlog.cpp calls them for every call a test has not
// replaced with EventLogSetForTest.
//
// Thread-safe; results and last error exactly as the matching eventlog.h call.
#pragma once

#include <cstdint>

#include "platform/eventlog.h"

EventSourceHandle SystemEventSourceRegister(const char *name);
int SystemEventSourceReport(EventSourceHandle source, uint16_t type, uint16_t category,
                            uint32_t event_id, uint16_t count, const char *const *strings,
                            uint32_t data_size, const void *data);
int SystemEventSourceDeregister(EventSourceHandle source);
