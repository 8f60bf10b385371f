// vtm_driver, the virtual timer driver: the timer pool, software ("virtual")
// timers of one-second resolution all driven by one re-armed platform timer
// (platform/mmtimer.h).
//
// _tm_pool holds MAX_TIMERS slots; a timer's id is its slot index, 0 to
// MAX_TIMERS - 1, and -1 stands for none.  Once a tick (tm_resolution
// milliseconds, normally 1000) the tick function runs on the platform timer's
// thread, takes the tick's length in whole seconds (at least 1) off every
// active timer and calls the callbacks of those that reach 0, one after
// another in slot order; the next tick is armed only when this one is done,
// so callbacks never overlap one another, and the delays add up: a period of
// 30 seconds is 30 ticks.  Timers are periodic.  Pausing and resuming a timer
// both restart its countdown at the full period.  Timing is best effort: a
// tick may come up to one tick length late.
//
// Lifecycle: tm_init once, tm_start, any number of timers, tm_stop; the pool
// is not restarted within the process.  Before tm_init no slot is free.
//
// Thread-safety: tm_settimer, tm_setpause and tm_killtimer serialise on
// tm_lock and may be called from any thread, also from inside a callback (no
// lock is held while a callback runs).  After tm_stop they go on working
// without the lock.  tm_find takes no lock.  The tick reads the slots while
// callers change them; a slot's fields are atomic, and a new timer becomes
// active only once it is complete.  The tick stops calling callbacks as soon
// as the engine's stoprequested is set.
//
// Every step is traced (category Trace); consistency checks that fail are
// traced as "HV Assertion Error in exp. [...] at <line> in the file <file>"
// (category Error) and the operation goes on.
#pragma once

#include <cstdint>

constexpr int MAX_TIMERS = 150;
// The key of a free slot.  It cannot be given to a timer: the slot would
// count as free.
constexpr uint32_t NULL_KEY = 0xFF000000u;

// Callback: (timer id, message = 0, argument, key, reserved = 0), the shape of
// a platform timer callback.  Runs on the timer thread.
using TimerCallback = void (*)(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key,
                               uintptr_t reserved);

// Frees every slot, reads the platform timer's capabilities and chooses the
// resolution: min(max(wPeriodMin, 1000), wPeriodMax) milliseconds.  When the
// capabilities cannot be read the failure is traced and the pool never ticks
// (the resolution stays 0, tm_start's arming fails).  Called once, before any
// other operation.
void tm_init();
// Arms the first tick.  A failure is traced; the pool then never ticks.
void tm_start();
// Clears every callback, cancels the pending tick and closes tm_lock.  No
// callback starts after it returns (one that has started may still run), and
// the tick is not armed again.
void tm_stop();
// Creates a timer in the lowest free slot.  mode 16 or 32: first expiry a
// full period from now; 64: at the time of day that period names in seconds
// after local midnight (1800 seconds from now when that time has passed
// today), later ones a period apart; any other mode leaves the slot's period
// and countdown as they were.  Returns the id, or -1 when all slots are taken.
int tm_settimer(int period, TimerCallback callback, uintptr_t arg, uint32_t key, uint16_t mode);
// Pauses (pause != 0) or resumes (0) timer id; both restart its countdown at
// the full period.  The slot need not be in use.  Returns id, or -1 (nothing
// changed) for an id outside 0 to MAX_TIMERS - 1.
int tm_setpause(int id, int pause);
// The id of the first slot, in slot order, whose key equals key, or -1.
int tm_find(uint32_t key);
// Frees slot id (it is left paused).  An id out of range or a slot already
// free is traced.
void tm_killtimer(int id);
