#include "platform/mmtimer.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/common/event_table.h"
#include "platform/common/mmtimer_system.h"
#include "platform/errors.h"
#include "platform/mmtimer_testing.h"
#include "platform/posix/errno_code.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDefaultMin = 1;
constexpr uint32_t kDefaultMax = 1000000;

// One event.  The record belongs to its thread from TimerSetEvent until the
// thread frees it (id = 0) as its last step, so a record is never reused
// while a thread may still look at it.
struct EventRecord {
    uint32_t id;  // 0: free
    TimerEventCallback callback;
    uintptr_t user;
    Clock::time_point due;
    bool running;    // the callback has been started
    bool cancelled;  // TimerKillEvent has been called for id
};

struct TimerState : EventTable<EventRecord> {
    std::condition_variable wake;  // a pending event was cancelled
};

// Never destroyed: a detached event thread may still be finishing while the
// process runs its exit handlers.
TimerState &State() {
    static TimerState *state = new TimerState();
    return *state;
}

std::atomic<uint32_t> caps_min{kDefaultMin};
std::atomic<uint32_t> caps_max{kDefaultMax};

void *RunEvent(void *param) {
    TimerState &st = State();
    EventRecord &ev = *static_cast<EventRecord *>(param);
    std::unique_lock<std::mutex> hold(st.lock);
    while (!ev.cancelled && Clock::now() < ev.due) {
        st.wake.wait_until(hold, ev.due);
    }
    if (!ev.cancelled) {
        ev.running = true;
        TimerEventCallback callback = ev.callback;
        uint32_t id = ev.id;
        uintptr_t user = ev.user;
        hold.unlock();
        callback(id, 0, user, 0, 0);
        hold.lock();
    }
    st.Release(ev);
    return nullptr;
}

}  // namespace

int SystemTimerGetDevCaps(TimerCaps *caps) {
    caps->wPeriodMin = caps_min.load();
    caps->wPeriodMax = caps_max.load();
    return kTimerNoError;
}

uint32_t SystemTimerSetEvent(uint32_t delay, uint32_t, TimerEventCallback callback,
                             uintptr_t user) {
    if (callback == nullptr || delay < caps_min.load() || delay > caps_max.load()) {
        PlatformSetLastError(kTimerInvalParam);
        return 0;
    }
    TimerState &st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    uint32_t id;
    int index = st.Claim(&id);
    if (index < 0) {
        PlatformSetLastError(kTimerNoCanDo);
        return 0;
    }
    EventRecord *ev = &st.events[index];
    *ev = EventRecord{id,    callback, user, Clock::now() + std::chrono::milliseconds(delay),
                      false, false};

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    // The new thread waits for the lock held here before it looks at *ev.
    int err = pthread_create(&thread, &attr, RunEvent, ev);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        st.Release(*ev);
        PlatformSetLastError(WindowsErrorOfErrno(err));
        return 0;
    }
    return id;
}

int SystemTimerKillEvent(uint32_t id) {
    if (id == 0) {
        return kTimerInvalParam;
    }
    TimerState &st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    for (EventRecord &ev : st.events) {
        if (ev.id == id && !ev.cancelled) {
            // A running callback goes on; a pending one is woken to quit.
            ev.cancelled = true;
            st.wake.notify_all();
            return kTimerNoError;
        }
    }
    return kTimerInvalParam;
}

int SystemTimerBeginPeriod(uint32_t) {
    return kTimerNoError;
}

int SystemTimerEndPeriod(uint32_t) {
    return kTimerNoError;
}

void TimerSetCapsForTest(uint32_t min, uint32_t max) {
    bool restore = min == 0 && max == 0;
    caps_min.store(restore ? kDefaultMin : min);
    caps_max.store(restore ? kDefaultMax : max);
}

int TimerWaitIdleForTest(int timeout_ms) {
    return State().WaitIdle(timeout_ms);
}
