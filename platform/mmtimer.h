// Multimedia timers: the capability query, the timer period and one-shot
// timer events (timeGetDevCaps, timeBeginPeriod, timeEndPeriod, timeSetEvent,
// timeKillEvent).
//
// A one-shot event calls its callback once, on a thread of the timer service
// (never the caller's), after about delay milliseconds.  Timing is best
// effort: the callback may come late, never early.  Events are independent of
// one another: two pending events may fire concurrently, so a user that must
// not overlap itself arms its next event only at the end of its callback.
//
// Windows: winmm.  POSIX: each event is a thread of its own that waits for
// the delay and runs the callback; the capability query reports 1 to
// 1,000,000 ms; the period calls do nothing.
//
// Thread-safe: every call may come from any thread, the callback of an event
// included (an event may cancel itself from its own callback).
#pragma once

#include <cstdint>

// Results (MMRESULT values).
constexpr int kTimerNoError = 0;      // TIMERR_NOERROR
constexpr int kTimerInvalParam = 11;  // MMSYSERR_INVALPARAM: no such event
constexpr int kTimerNoCanDo = 97;     // TIMERR_NOCANDO: the query failed

// The supported range of delays and periods, in milliseconds (TIMECAPS).
struct TimerCaps {
    uint32_t wPeriodMin;
    uint32_t wPeriodMax;
};

// An event callback: (event id, message = 0, user data, 0, 0).
using TimerEventCallback = void (*)(uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1,
                                    uintptr_t dw2);

// Fills *caps.  Returns kTimerNoError, or another value (kTimerNoCanDo) with
// PlatformLastError set and *caps untouched.
int TimerGetDevCaps(TimerCaps *caps);

// Asks for (begin) and gives back (end) a timer resolution of period
// milliseconds; calls are made in pairs with the same period.  Returns
// kTimerNoError or an error; callers may ignore it.
int TimerBeginPeriod(uint32_t period);
int TimerEndPeriod(uint32_t period);

// Arms a one-shot event: callback(id, 0, user, 0, 0) runs once, about delay
// milliseconds from now, with an accuracy of resolution milliseconds.
// Returns the event's id (never 0), or 0 when the event cannot be created: a
// delay outside the capability range, no callback, or no resources (then
// PlatformLastError tells why).
uint32_t TimerSetEvent(uint32_t delay, uint32_t resolution, TimerEventCallback callback,
                       uintptr_t user);

// Cancels event id.  A pending event never calls its callback after this
// returns kTimerNoError.  An event whose callback is running can still be
// cancelled (kTimerNoError), also from inside that callback; the cancel does
// not wait for the callback to return.  Returns kTimerInvalParam for 0, an
// unknown id, an event already cancelled or one whose callback has returned.
int TimerKillEvent(uint32_t id);
