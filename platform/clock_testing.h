// Test hook of clock.h: replaces the source of the current time.
#pragma once

#include <cstdint>

// Replacement clock.  A null member keeps the system's own.
struct ClockOps {
    int64_t (*millis)();  // milliseconds since the epoch
};

// Routes every clock.h call through ops (which must outlive its use);
// nullptr restores the system clock.  Set it before the threads that read
// the clock start.
void ClockSetForTest(const ClockOps *ops);
