// Test hooks of mmtimer.h: a fake timer service, the capabilities the
// platform's own service reports, and a wait for its event threads.
#pragma once

#include <cstdint>

#include "platform/mmtimer.h"

// Replacement services.  A null member keeps the platform's own call.
struct TimerOps {
    int (*getdevcaps)(TimerCaps *caps);
    int (*beginperiod)(uint32_t period);
    int (*endperiod)(uint32_t period);
    uint32_t (*setevent)(uint32_t delay, uint32_t resolution, TimerEventCallback callback,
                         uintptr_t user);
    int (*killevent)(uint32_t id);
};

// Routes every mmtimer.h call through services (which must outlive its use);
// nullptr restores the platform's own.
void TimerSetForTest(const TimerOps *services);

// Makes the platform's own service report (and enforce) the range min to max
// milliseconds; (0, 0) restores the built-in range.
void TimerSetCapsForTest(uint32_t min, uint32_t max);

// Waits until no event of the platform's own service is pending or running
// (every event thread has finished its work).  Returns 0, or -1 when that
// has not happened within timeout_ms milliseconds.
int TimerWaitIdleForTest(int timeout_ms);
