// The system's time of day behind clock.h, one per platform (posix/,
// win32/); platform/common/clock.cpp reads it unless a test clock is set.
//
// Thread-safe.
#pragma once

#include <cstdint>

// Milliseconds since the epoch (1970-01-01 00:00:00 UTC).
int64_t SystemClockMillis();
