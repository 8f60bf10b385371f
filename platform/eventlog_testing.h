// Test hook of eventlog.h: fake event sources in place of the platform's.
#pragma once

#include <cstdint>

#include "platform/eventlog.h"

// Replacement calls, with the contracts of eventlog.h.  A null member keeps
// the platform's own call.
struct EventLogOps {
    EventSourceHandle (*registerSource)(const char *name);
    int (*report)(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
                  uint16_t count, const char *const *strings, uint32_t data_size, const void *data);
    int (*deregister)(EventSourceHandle source);
};

// Routes every eventlog.h call through ops (which must outlive its use);
// nullptr restores the platform's own.
void EventLogSetForTest(const EventLogOps *ops);
