#include "timer/vtm_driver.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "diag/debug.h"
#include "diag/errtext.h"
#include "engine/tarnwick.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/mmtimer.h"
#include "timer/vtm_driver_testing.h"

namespace {

constexpr int TIMERR_NOERROR = kTimerNoError;

// Mode values of tm_settimer.
constexpr uint16_t kModeInterval = 16;
constexpr uint16_t kModeIntervalToo = 32;
constexpr uint16_t kModeTimeOfDay = 64;

// A countdown whose time of day has already passed today starts here.
constexpr int32_t kLateStart = 1800;

// One timer.  Every field is atomic: the tick reads them without tm_lock
// while callers change them under it (or, after tm_stop, without it).
// tm_settimer stores tm_callback last (release), and the tick loads it first
// (acquire), so a slot is seen as active only once it is complete.
struct TimerSlot {
    std::atomic<TimerCallback> tm_callback;  // none: a cleared slot
    std::atomic<uint16_t> tm_mode;           // how the first countdown was set
    std::atomic<uintptr_t> tm_arg;           // handed to the callback
    std::atomic<uint32_t> tm_key;            // NULL_KEY: a free slot
    std::atomic<int32_t> tm_period;          // seconds
    std::atomic<int32_t> tm_count;           // seconds left until the next expiry
    std::atomic<int32_t> tm_pause;           // non-zero while paused
};

// Zero-filled before tm_init: key 0 is not NULL_KEY, so no slot is free yet.
TimerSlot _tm_pool[MAX_TIMERS];
static_assert(sizeof _tm_pool / sizeof _tm_pool[0] == 150, "the pool has 150 slots");

// Tick length in milliseconds, 0 before tm_init.
std::atomic<uint32_t> tm_resolution{0};
// The pending platform event, 0 for none.  Changed under tm_gate.
std::atomic<uint32_t> tm_timerid{0};

// Serialises tm_settimer, tm_setpause and tm_killtimer while it exists
// (tm_lockvalid: from tm_init to tm_stop).  Not recursive.
std::mutex tm_lock;
std::atomic<bool> tm_lockvalid{false};

// Orders the tick against tm_stop: the arming and cancelling of tm_timerid,
// and each check of a callback just before its call, happen under it, so
// once tm_stop has set tm_stopped no callback starts and no tick is armed.
// Never held while a callback runs.
std::mutex tm_gate;
bool tm_stopped = false;

// Traces name the source file without its directories.
constexpr const char *kSourceFile = BaseName(__FILE__);

// A consistency check: traced when it fails, never fatal.
void tm_assert(bool ok, const char *text, int line) {
    if (ok) {
        return;
    }
    unsigned long code = PlatformLastError();
    LogEvent(Error, "HV Assertion Error in exp. [%s] at %d in the file %s\nError Code=%d\n", text,
             line, kSourceFile, static_cast<int>(code));
}
#define TM_ASSERT(exp) tm_assert((exp), #exp, __LINE__)

// Holds tm_lock for a slot operation, when the lock exists.
class PoolHold {
  public:
    PoolHold() : held_(tm_lockvalid.load()) {
        if (held_) {
            tm_lock.lock();
        }
    }
    ~PoolHold() {
        if (held_) {
            tm_lock.unlock();
        }
    }
    PoolHold(const PoolHold &) = delete;
    PoolHold &operator=(const PoolHold &) = delete;

  private:
    bool held_;
};

// Arms the next tick and checks the result; called with tm_gate held.
void tm_arm() {
    uint32_t resolution = tm_resolution.load();
    tm_timerid = TimerSetEvent(resolution, resolution, tm_tick, 0);
    TM_ASSERT(tm_timerid != 0);
}

// Empties slot: key and pause as given, no callback, every other field 0.
void tm_clear(TimerSlot &slot, uint32_t key, int32_t pause) {
    slot.tm_key.store(key);
    slot.tm_callback.store(nullptr);
    slot.tm_mode.store(0);
    slot.tm_arg.store(0);
    slot.tm_period.store(0);
    slot.tm_pause.store(pause);
    slot.tm_count.store(0);
}

bool tm_active(const TimerSlot &slot) {
    return slot.tm_callback.load(std::memory_order_acquire) != nullptr &&
           slot.tm_key.load() != NULL_KEY && slot.tm_pause.load() == 0;
}

}  // namespace

void tm_init() {
    for (TimerSlot &slot : _tm_pool) {
        slot.tm_callback.store(nullptr);
        slot.tm_key.store(NULL_KEY);
        slot.tm_pause.store(0);
    }

    TimerCaps caps;
    if (TimerGetDevCaps(&caps) != kTimerNoError) {
        unsigned long code = PlatformLastError();
        LogEvent(Error, "tm_init: failed to call timeGetDevCaps\n");
        TraceSysError(code, kSourceFile, __LINE__);
        return;
    }
    uint32_t resolution = caps.wPeriodMin > 1000 ? caps.wPeriodMin : 1000;
    if (resolution > caps.wPeriodMax) {
        resolution = caps.wPeriodMax;
    }
    tm_resolution.store(resolution);
    TimerBeginPeriod(resolution);
    tm_lockvalid.store(true);
    LogEvent(Trace, "tm_init: ok\n");
}

void tm_start() {
    {
        std::lock_guard<std::mutex> gate(tm_gate);
        tm_arm();
    }
    LogEvent(Trace, "tm_start: started\n");
}

void tm_tick(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
    {
        // The event that called us is over: forget it.
        std::lock_guard<std::mutex> gate(tm_gate);
        if (tm_timerid != 0) {
            int x = TimerKillEvent(tm_timerid);
            TM_ASSERT(x == TIMERR_NOERROR);
            tm_timerid = 0;
        }
    }

    int32_t step = static_cast<int32_t>(tm_resolution.load() / 1000);
    if (step < 1) {
        step = 1;
    }
    for (int i = 0; i < MAX_TIMERS && engine.stoprequested.load() == 0; ++i) {
        TimerSlot &slot = _tm_pool[i];
        if (!tm_active(slot)) {
            continue;
        }
        int64_t left = static_cast<int64_t>(slot.tm_count.fetch_sub(step)) - step;
        if (left > 0) {
            continue;
        }
        TimerCallback callback;
        uintptr_t arg;
        uint32_t key;
        {
            std::lock_guard<std::mutex> gate(tm_gate);
            callback = slot.tm_callback.load(std::memory_order_acquire);
            if (callback != nullptr && (tm_stopped || engine.stoprequested.load() != 0)) {
                break;
            }
            arg = slot.tm_arg.load();
            key = slot.tm_key.load();
        }
        if (callback != nullptr) {
            callback(static_cast<uint32_t>(i), 0, arg, key, 0);
        }
        slot.tm_count.store(slot.tm_period.load());
    }

    // Armed even after a stop request, so that the pool ticks on until
    // tm_stop; a stopped pool is not armed again.
    std::lock_guard<std::mutex> gate(tm_gate);
    if (!tm_stopped) {
        tm_arm();
    }
}

int tm_settimer(int period, TimerCallback callback, uintptr_t arg, uint32_t key, uint16_t mode) {
    struct tm local;
    ClockLocal(ClockNow(), &local);

    int i;
    {
        PoolHold hold;
        i = tm_find(NULL_KEY);
        TM_ASSERT(i >= 0);
        if (i >= 0) {
            TimerSlot &slot = _tm_pool[i];
            switch (mode) {
                case kModeInterval:
                case kModeIntervalToo:
                    slot.tm_period.store(period);
                    slot.tm_count.store(period);
                    break;
                case kModeTimeOfDay: {
                    int64_t since_midnight =
                        local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
                    int64_t left = static_cast<int64_t>(period) - since_midnight;
                    slot.tm_period.store(period);
                    slot.tm_count.store(left < 0 ? kLateStart : static_cast<int32_t>(left));
                    break;
                }
                default:
                    break;
            }
            slot.tm_key.store(key);
            slot.tm_pause.store(0);
            slot.tm_mode.store(mode);
            slot.tm_arg.store(arg);
            slot.tm_callback.store(callback, std::memory_order_release);
        }
    }
    LogEvent(Trace, "tm_settimer --> returning handle %d\n", i);
    return i;
}

int tm_setpause(int id, int pause) {
    bool valid = id >= 0 && id < MAX_TIMERS;
    {
        PoolHold hold;
        if (valid) {
            TimerSlot &slot = _tm_pool[id];
            slot.tm_pause.store(pause);
            slot.tm_count.store(slot.tm_period.load());
        }
    }
    LogEvent(Trace, "tm_setpause(%d, %d) \n", id, pause);
    return valid ? id : -1;
}

int tm_find(uint32_t key) {
    for (int i = 0; i < MAX_TIMERS; ++i) {
        if (_tm_pool[i].tm_key.load() == key) {
            LogEvent(Trace, "tm_find(key=%lX)->timer_id %d\n", static_cast<unsigned long>(key), i);
            return i;
        }
    }
    LogEvent(Trace, "tm_find(key=%lX)-> NOT FOUND\n", static_cast<unsigned long>(key));
    return -1;
}

void tm_killtimer(int id) {
    PoolHold hold;
    if (!((id >= 0) && (id < MAX_TIMERS))) {
        TM_ASSERT((id >= 0) && (id < MAX_TIMERS));
        LogEvent(Error, "tm_killtimer(id=%d) - NOT FOUND\n", id);
        return;
    }
    TM_ASSERT(_tm_pool[id].tm_key != NULL_KEY);
    tm_clear(_tm_pool[id], NULL_KEY, 1);
    LogEvent(Trace, "tm_killtimer(id=%d) - ok\n", id);
}

void tm_stop() {
    {
        std::lock_guard<std::mutex> gate(tm_gate);
        tm_stopped = true;
        for (TimerSlot &slot : _tm_pool) {
            slot.tm_callback.store(nullptr);
        }
        if (tm_timerid != 0) {
            TimerKillEvent(tm_timerid);
            tm_timerid = 0;
        }
    }
    tm_lockvalid.store(false);
    LogEvent(Trace, "tm_stop: stopped\n");
    TimerEndPeriod(tm_resolution.load());
}

void TimerPoolResetForTest() {
    std::lock_guard<std::mutex> gate(tm_gate);
    for (TimerSlot &slot : _tm_pool) {
        tm_clear(slot, 0, 0);
    }
    tm_resolution.store(0);
    tm_timerid.store(0);
    tm_lockvalid.store(false);
    tm_stopped = false;
}

TimerSlotView TimerPoolSlot(int id) {
    const TimerSlot &slot = _tm_pool[id];
    return TimerSlotView{slot.tm_callback.load(), slot.tm_mode.load(),   slot.tm_arg.load(),
                         slot.tm_key.load(),      slot.tm_period.load(), slot.tm_count.load(),
                         slot.tm_pause.load()};
}

uint32_t TimerPoolResolution() {
    return tm_resolution.load();
}

uint32_t TimerPoolEventId() {
    return tm_timerid.load();
}

bool TimerPoolHasLock() {
    return tm_lockvalid.load();
}
