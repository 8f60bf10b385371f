// Test hooks of EVENTS.h: a fake event log in place of platform/eventlog.h.
#pragma once

#include <cstdint>

#include "platform/eventlog.h"

// The event-source calls, with the contracts of platform/eventlog.h.
struct EventBackend {
    EventSourceHandle (*registerSource)(const char *name);
    int (*report)(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
                  uint16_t count, const char *const *strings, uint32_t data_size, const void *data);
    int (*deregister)(EventSourceHandle source);
};

// Every event-source call goes to backend (which must outlive its use);
// nullptr restores the platform's.
void EventsSetBackendForTest(const EventBackend *backend);

// Forgets the standing source without deregistering it: the state at
// program start.
void EventsResetForTest();
