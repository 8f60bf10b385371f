// Test hooks of the timer pool: the tick itself, so that tests drive the pool
// by hand, a view of the slots and a reset.
#pragma once

#include <cstdint>

#include "timer/vtm_driver.h"

// The platform timer callback: one tick.  Cancels the event that called it
// (tm_timerid), counts down, calls the expired timers' callbacks and arms the
// next tick.  Never called by the daemon directly.
void tm_tick(uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2);

// Returns the pool to its state before tm_init (no slot free, no resolution,
// no lock, no pending event, not stopped).  Call it while no tick runs.
void TimerPoolResetForTest();

// A copy of one slot.  id must lie in 0 to MAX_TIMERS - 1.
struct TimerSlotView {
    TimerCallback callback;
    uint16_t mode;
    uintptr_t arg;
    uint32_t key;
    int32_t period;
    int32_t count;
    int32_t pause;
};
TimerSlotView TimerPoolSlot(int id);

// tm_resolution (milliseconds), tm_timerid (the pending event, 0 for none),
// and whether tm_lock exists.
uint32_t TimerPoolResolution();
uint32_t TimerPoolEventId();
bool TimerPoolHasLock();
