// The platform's own timer service behind mmtimer.h, one per platform
// (posix/: a thread per event; win32/: winmm behind a table of ours);
// platform/common/mmtimer.cpp calls it for every call a test has not
// replaced with TimerSetForTest.
//
// Thread-safe; results and last error exactly as the matching mmtimer.h call.
#pragma once

#include <cstdint>

#include "platform/mmtimer.h"

int SystemTimerGetDevCaps(TimerCaps *caps);
int SystemTimerBeginPeriod(uint32_t period);
int SystemTimerEndPeriod(uint32_t period);
uint32_t SystemTimerSetEvent(uint32_t delay, uint32_t resolution, TimerEventCallback callback,
                             uintptr_t user);
int SystemTimerKillEvent(uint32_t id);
