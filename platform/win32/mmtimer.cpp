// Multimedia timers on winmm, with a table of our own in front of it.
//
// Every event of ours is one winmm one-shot event whose callback is Fire
// below.  The table gives the header's guarantees whatever winmm does with
// a one-shot event once it has fired: ids of our own (an event cancels
// itself from its callback with kTimerNoError; a finished one is unknown),
// the capability range enforced with kTimerInvalParam, and a count of live
// events for TimerWaitIdleForTest.  Our lock is never held while winmm is
// called, nor while a callback runs, so winmm's own locks cannot deadlock
// with it.
#include "platform/mmtimer.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <atomic>
#include <mutex>

#include "platform/common/event_table.h"
#include "platform/common/mmtimer_system.h"
#include "platform/mmtimer_testing.h"

namespace {

struct EventRecord {
    uint32_t id;  // ours; 0: free
    UINT winmm;   // winmm's id; 0 until timeSetEvent has returned
    TimerEventCallback callback;
    uintptr_t user;
    bool running;    // the callback has been started
    bool cancelled;  // TimerKillEvent has been called for id
    bool fired;      // Fire has finished with this record
};

using TimerState = EventTable<EventRecord>;

// Never destroyed: a winmm thread may still be finishing while the process
// runs its exit handlers.
TimerState &State() {
    static TimerState *state = new TimerState();
    return *state;
}

// The range enforced: winmm's own unless a test set one (0, 0: winmm's).
std::atomic<uint32_t> test_min{0};
std::atomic<uint32_t> test_max{0};

// winmm's callback.  user packs our id (high half) and the record's index.
void CALLBACK Fire(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    TimerState &st = State();
    auto index = static_cast<int>(user & 0xFFFFFFFFu);
    auto id = static_cast<uint32_t>(static_cast<uint64_t>(user) >> 32);
    std::unique_lock<std::mutex> hold(st.lock);
    EventRecord &ev = st.events[index];
    if (ev.id != id) {
        return;  // cancelled and released already
    }
    if (!ev.cancelled) {
        ev.running = true;
        TimerEventCallback callback = ev.callback;
        uintptr_t arg = ev.user;
        hold.unlock();
        callback(id, 0, arg, 0, 0);
        hold.lock();
    }
    ev.fired = true;
    // Until timeSetEvent has returned, its caller still counts on the record.
    if (ev.winmm != 0) {
        st.Release(ev);
    }
}

int WinmmCaps(TimerCaps *caps) {
    TIMECAPS tc;
    if (timeGetDevCaps(&tc, sizeof tc) != TIMERR_NOERROR) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return kTimerNoCanDo;
    }
    caps->wPeriodMin = tc.wPeriodMin;
    caps->wPeriodMax = tc.wPeriodMax;
    return kTimerNoError;
}

}  // namespace

int SystemTimerGetDevCaps(TimerCaps *caps) {
    uint32_t min = test_min.load();
    uint32_t max = test_max.load();
    if (min == 0 && max == 0) {
        return WinmmCaps(caps);
    }
    caps->wPeriodMin = min;
    caps->wPeriodMax = max;
    return kTimerNoError;
}

uint32_t SystemTimerSetEvent(uint32_t delay, uint32_t resolution, TimerEventCallback callback,
                             uintptr_t user) {
    TimerCaps caps;
    if (SystemTimerGetDevCaps(&caps) != kTimerNoError) {
        return 0;
    }
    if (callback == nullptr || delay < caps.wPeriodMin || delay > caps.wPeriodMax) {
        SetLastError(kTimerInvalParam);
        return 0;
    }
    TimerState &st = State();
    int index = -1;
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> hold(st.lock);
        index = st.Claim(&id);
        if (index < 0) {
            SetLastError(kTimerNoCanDo);
            return 0;
        }
        st.events[index] = EventRecord{id, 0, callback, user, false, false, false};
    }
    DWORD_PTR packed = (static_cast<DWORD_PTR>(id) << 32) | static_cast<DWORD_PTR>(index);
    UINT winmm = timeSetEvent(delay, resolution, Fire, packed,
                              TIME_ONESHOT | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    std::lock_guard<std::mutex> hold(st.lock);
    EventRecord &ev = st.events[index];
    if (winmm == 0) {
        st.Release(ev);
        SetLastError(kTimerNoCanDo);
        return 0;
    }
    ev.winmm = winmm;
    if (ev.fired) {
        st.Release(ev);  // it has come and gone already
    }
    return id;
}

int SystemTimerKillEvent(uint32_t id) {
    if (id == 0) {
        return kTimerInvalParam;
    }
    TimerState &st = State();
    int index = -1;
    UINT winmm = 0;
    {
        std::lock_guard<std::mutex> hold(st.lock);
        for (int i = 0; i < kMaxTimerEvents; ++i) {
            EventRecord &ev = st.events[i];
            if (ev.id == id && !ev.cancelled && !ev.fired) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            return kTimerInvalParam;
        }
        EventRecord &ev = st.events[index];
        ev.cancelled = true;
        // A running callback goes on; Fire releases the record after it.
        if (ev.running || ev.winmm == 0) {
            return kTimerNoError;
        }
        winmm = ev.winmm;
    }
    // Synchronous: once this returns, winmm will not call Fire for it, and a
    // Fire already under way has finished (it saw the cancel, or released).
    MMRESULT rc = timeKillEvent(winmm);
    std::lock_guard<std::mutex> hold(st.lock);
    EventRecord &ev = st.events[index];
    if (ev.id == id && rc == TIMERR_NOERROR) {
        st.Release(ev);
    }
    return kTimerNoError;
}

int SystemTimerBeginPeriod(uint32_t period) {
    return static_cast<int>(timeBeginPeriod(period));
}

int SystemTimerEndPeriod(uint32_t period) {
    return static_cast<int>(timeEndPeriod(period));
}

void TimerSetCapsForTest(uint32_t min, uint32_t max) {
    test_min.store(min);
    test_max.store(max);
}

int TimerWaitIdleForTest(int timeout_ms) {
    return State().WaitIdle(timeout_ms);
}
