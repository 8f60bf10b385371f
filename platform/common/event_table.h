// The table of timer events both platforms' timer services keep: fixed
// records, ids of our own and a count of live records for
// TimerWaitIdleForTest.  Record is the platform's own; it must have an `id`
// (0: free) and be reset by value-initialising it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Events pending or running at once.  The timer pool keeps at most two (the
// tick that runs and the one it has armed).
inline constexpr int kMaxTimerEvents = 64;

template <typename Record>
struct EventTable {
    std::mutex lock;
    std::condition_variable idle;  // live dropped to 0
    Record events[kMaxTimerEvents];
    uint32_t nextid = 1;
    int live = 0;  // records in use

    // Takes a free record for a new id, or -1 when all are in use; call with
    // the lock held.  Ids count up from 1; after a wrap, 0 and any id still
    // in use are skipped.
    int Claim(uint32_t *id) {
        int index = 0;
        while (index < kMaxTimerEvents && events[index].id != 0) {
            ++index;
        }
        if (index == kMaxTimerEvents) {
            return -1;
        }
        bool taken;
        do {
            *id = nextid++;
            taken = *id == 0;
            for (const Record &other : events) {
                taken = taken || other.id == *id;
            }
        } while (taken);
        ++live;
        return index;
    }

    // Frees a record; call with the lock held.
    void Release(Record &ev) {
        ev = Record{};
        if (--live == 0) {
            idle.notify_all();
        }
    }

    // 0 once no record is in use, -1 when timeout_ms passes first.
    int WaitIdle(int timeout_ms) {
        std::unique_lock<std::mutex> hold(lock);
        bool done = idle.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                  [this] { return live == 0; });
        return done ? 0 : -1;
    }
};
