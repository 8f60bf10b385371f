// Test hook of clock.h: replaces the source of the current time.
#pragma once

#include <cstdint>

// A clock source gives milliseconds since the epoch.  nullptr restores the
// system clock.  Set it before the threads that read the clock start.
using ClockSource = int64_t (*)();
void ClockSetSource(ClockSource source);
