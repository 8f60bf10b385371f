// The timer pool: software timers of one-second resolution driven by one
// re-armed platform timer.
//
// _tm_pool holds MAX_TIMERS slots; a timer's id is its slot index.  tm_tick
// runs once per tick on the platform timer's thread, counts every active timer
// down and calls the callbacks of those that expire, one after another in slot
// order; the next tick is armed only when this one is done, so callbacks never
// overlap one another.  Timers are periodic.  Pausing and resuming a timer both
// restart its countdown at the full period.  Timing is best effort: a tick may
// come up to one tick length late, and the delays add up.
//
// Thread-safety: tm_settimer, tm_setpause and tm_killtimer serialise on
// tm_lock and may be called from any thread, also from inside a callback.  No
// lock is held while a callback runs.
#pragma once

#include <cstdint>

constexpr int MAX_TIMERS = 150;
constexpr uint32_t NULL_KEY = 0xFF000000u;

// Callback: (timer id, message = 0, argument, key, reserved = 0).
using TimerCallback = void (*)(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key,
                               uintptr_t reserved);

// Frees every slot and chooses the resolution.  Called once, before any other
// operation.
void tm_init();
// Arms the first tick.
void tm_start();
// Clears every callback and cancels the pending tick; no callback starts
// after it.
void tm_stop();
// Creates a timer.  mode 16 or 32: first expiry a full period from now; 64:
// aligned with the time of day period seconds after local midnight.  Returns
// the id, or -1 when all slots are taken.
int tm_settimer(int period, TimerCallback callback, uintptr_t arg, uint32_t key, uint16_t mode);
// Pauses (pause != 0) or resumes a timer; both restart its countdown.  Returns
// id, or -1 for an id outside 0 to MAX_TIMERS - 1.
int tm_setpause(int id, int pause);
// The id of the first slot whose key equals key, or -1.
int tm_find(uint32_t key);
// Frees a slot.
void tm_killtimer(int id);
