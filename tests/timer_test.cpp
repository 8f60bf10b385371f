// The timer pool on a fake platform timer driven by hand, then on the
// platform's own one-shot events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/errors.h"
#include "platform/mmtimer_testing.h"
#include "test_util.h"
#include "timer/vtm_driver_testing.h"

namespace {

// The assertion trace of exp with error code, whatever its line number.
bool IsAssertion(const std::string &text, const std::string &exp, int code) {
    const std::string tail =
        " in the file vtm_driver.cpp\nError Code=" + std::to_string(code) + "\n";
    return text.rfind("HV Assertion Error in exp. [" + exp + "] at ", 0) == 0 &&
           text.size() > tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The fake platform timer: it records, and fails on demand.
struct FakeTimer {
    TimerCaps caps{1, 1000000};
    unsigned long capserror = 0, armerror = 0, killerror = 0;  // nonzero: that call fails
    uint32_t nextid = 100;
    std::vector<uint32_t> begins, ends, delays, kills;
};
FakeTimer fake;

const TimerOps kFake = {
    [](TimerCaps *caps) {
        PlatformSetLastError(fake.capserror);
        *caps = fake.capserror != 0 ? *caps : fake.caps;
        return fake.capserror != 0 ? kTimerNoCanDo : kTimerNoError;
    },
    [](uint32_t period) { return fake.begins.push_back(period), kTimerNoError; },
    [](uint32_t period) { return fake.ends.push_back(period), kTimerNoError; },
    [](uint32_t delay, uint32_t resolution, TimerEventCallback callback, uintptr_t) -> uint32_t {
        // Like the platform's: a delay outside the capabilities is refused.
        if (fake.armerror != 0 || delay < fake.caps.wPeriodMin || callback != tm_tick) {
            PlatformSetLastError(fake.armerror);
            return 0;
        }
        fake.delays.push_back(delay == resolution ? delay : 0);  // accurate to a tick
        return fake.nextid++;
    },
    [](uint32_t id) {
        fake.kills.push_back(id);
        return fake.killerror != 0 ? (PlatformSetLastError(fake.killerror), kTimerInvalParam)
                                   : kTimerNoError;
    },
};

struct Call {
    uint32_t id, msg;
    uintptr_t arg;
    uint32_t key;
    uintptr_t reserved;
};
std::vector<Call> calls;

void Record(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    calls.push_back(Call{id, msg, arg, key, reserved});
}

void Ticks(int n) {
    for (int i = 0; i < n; ++i) {
        tm_tick(TimerPoolEventId(), 0, 0, 0, 0);
    }
}

class TimerPool : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        TimerSetForTest(&kFake);
        Restart(false);
    }
    void TearDown() override {
        TimerPoolResetForTest();
        TimerSetForTest(nullptr);
        TimerSetCapsForTest(0, 0);
        EngineResetForTest();
    }
    // A fresh pool on a fresh fake (tm_init and tm_start when start), traces
    // dropped.
    void Restart(bool start = true, TimerCaps caps = {1, 1000000}) {
        TimerPoolResetForTest();
        fake = FakeTimer{};
        fake.caps = caps;
        calls.clear();
        PlatformSetLastError(0);
        if (start) {
            tm_init();
            tm_start();
        }
        trace_.Clear();
    }
    testutil::TraceCatcher trace_{Trace | Error};
};

TEST_F(TimerPool, EachTickCancelsItsEventCallsInSlotOrderAndArmsTheNext) {
    Restart();
    EXPECT_EQ(fake.begins, std::vector<uint32_t>{1000});
    const uint32_t keys[] = {0x1234, 0xFEFFFFFF, 0};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(tm_settimer(1, Record, keys[i] + 7, keys[i], i == 1 ? 32 : 16), i);
    }
    Ticks(2);
    EXPECT_EQ(fake.kills, (std::vector<uint32_t>{100, 101}));
    EXPECT_EQ(fake.delays, (std::vector<uint32_t>{1000, 1000, 1000}));
    EXPECT_EQ(TimerPoolEventId(), 102u);
    ASSERT_EQ(calls.size(), 6u);
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(calls[i].id, i % 3);
        EXPECT_EQ(calls[i].key, keys[i % 3]);
        EXPECT_EQ(calls[i].arg, keys[i % 3] + 7);
        EXPECT_EQ(calls[i].msg + calls[i].reserved, 0u);
    }
}

TEST_F(TimerPool, ExpiriesFollowModePeriodAndCapabilities) {
    const struct {
        uint32_t min, max, resolution;
        uint16_t mode;
        int period, ticks;  // ticks from one expiry to the next
    } cases[] = {
        {1, 1000000, 1000, 16, 30, 30},  {2000, 1000000, 2000, 16, 30, 15},  // two seconds a tick
        {3000, 65535, 3000, 32, 30, 10}, {1500, 65535, 1500, 16, 30, 30},    // whole seconds
        {1, 20, 20, 16, 30, 30},         {0, 999, 999, 16, 30, 30},          // 1 s a tick
        {1, 1000000, 1000, 16, 0, 1},    {1, 1000000, 1000, 16, -4, 1},
        {1, 1000000, 1000, 32, 2, 2},    {1, 1000000, 1000, 0, 30, 1},  // no countdown set
        {1, 1000000, 1000, 48, 30, 1},   {1, 1000000, 1000, 0xFFFF, 9, 1},
    };
    for (const auto &c : cases) {
        Restart(true, TimerCaps{c.min, c.max});
        EXPECT_EQ(fake.begins, std::vector<uint32_t>{c.resolution});
        EXPECT_EQ(fake.delays, std::vector<uint32_t>{c.resolution});
        ASSERT_EQ(tm_settimer(c.period, Record, 0, 0, c.mode), 0);
        EXPECT_EQ(TimerPoolSlot(0).mode, c.mode);
        for (size_t expiry = 1; expiry <= 2; ++expiry) {
            Ticks(c.ticks - 1);
            EXPECT_EQ(calls.size(), expiry - 1) << c.min << " " << c.mode << " " << c.period;
            Ticks(1);
            EXPECT_EQ(calls.size(), expiry) << c.min << " " << c.mode << " " << c.period;
        }
        tm_stop();
        EXPECT_EQ(fake.ends, std::vector<uint32_t>{c.resolution});
    }
}

TEST_F(TimerPool, Mode64AlignsTheFirstExpiryWithTheTimeOfDay) {
    testutil::UtcZone utc;
    testutil::ManualClock clock(0);
    const struct {
        int since_midnight, period, count;
    } cases[] = {
        {23 * 3600, 86400, 3600}, {12 * 3600, 3600, 1800},  // passed today: half an hour
        {0, 3600, 3600},          {3600, 3600, 0},          // exactly now: the next tick
        {86399, 86400, 1},
    };
    for (const auto &c : cases) {
        Restart();
        clock.Set((testutil::UtcSeconds(2024, 5, 17, 0, 0, 0) + c.since_midnight) * 1000 + 999);
        ASSERT_EQ(tm_settimer(c.period, Record, 0, 0, 64), 0);
        EXPECT_EQ(TimerPoolSlot(0).count, c.count) << c.since_midnight;
        Ticks(c.count < 1 ? 1 : c.count);
        EXPECT_EQ(calls.size(), 1u) << c.since_midnight;
        Ticks(c.period);  // later ones a period apart
        EXPECT_EQ(calls.size(), 2u);
    }
}

TEST_F(TimerPool, PauseStopsTheCountdownAndResumeRestartsItAtTheFullPeriod) {
    for (int pause : {1, -1}) {
        Restart();
        ASSERT_EQ(tm_settimer(30, Record, 0, 0, 16), 0);
        Ticks(20);
        EXPECT_EQ(tm_setpause(0, pause), 0);
        Ticks(100);
        EXPECT_EQ(tm_setpause(0, 0), 0);
        Ticks(29);
        EXPECT_TRUE(calls.empty()) << pause;
        Ticks(1);
        EXPECT_EQ(calls.size(), 1u) << pause;
    }
    // Ids out of range change nothing; a free slot may be paused.
    for (int id : {-1, MAX_TIMERS}) {
        EXPECT_EQ(tm_setpause(id, 1), -1);
    }
    EXPECT_EQ(tm_setpause(MAX_TIMERS - 1, 1), MAX_TIMERS - 1);
    EXPECT_EQ(TimerPoolSlot(MAX_TIMERS - 1).pause, 1);
    EXPECT_EQ(TimerPoolSlot(MAX_TIMERS - 1).key, NULL_KEY);
}

TEST_F(TimerPool, KillFreesTheSlotFindGivesTheFirstKeyAndTheLowestIdIsReused) {
    EXPECT_EQ(tm_settimer(30, Record, 0, 0, 16), -1);  // no slot free before tm_init
    Restart();
    for (int i = 0; i < MAX_TIMERS; ++i) {
        ASSERT_EQ(tm_settimer(30, Record, 7, 10 + i % 2, 16), i);
    }
    trace_.Clear();
    PlatformSetLastError(1234);
    EXPECT_EQ(tm_settimer(30, Record, 0, 13, 16), -1);  // the 151st
    EXPECT_EQ(tm_find(11), 1);
    tm_killtimer(1);
    TimerSlotView v = TimerPoolSlot(1);
    EXPECT_EQ(v.key, NULL_KEY);
    EXPECT_EQ(v.callback, nullptr);
    EXPECT_EQ(v.arg + v.period + v.count + v.mode, 0u);
    EXPECT_EQ(v.pause, 1);
    EXPECT_EQ(tm_find(11), 3);
    EXPECT_EQ(tm_settimer(30, Record, 0, 13, 16), 1);
    Ticks(30);
    EXPECT_EQ(calls.size(), 150u);

    PlatformSetLastError(5);
    tm_killtimer(0);
    tm_killtimer(0);  // already free
    tm_killtimer(-1);
    tm_killtimer(MAX_TIMERS);
    std::vector<std::string> errors = trace_.Texts("Error   ");
    ASSERT_EQ(errors.size(), 6u);
    EXPECT_TRUE(IsAssertion(errors[0], "i >= 0", 1234)) << errors[0];
    EXPECT_TRUE(IsAssertion(errors[1], "_tm_pool[id].tm_key != NULL_KEY", 5)) << errors[1];
    EXPECT_TRUE(IsAssertion(errors[2], "(id >= 0) && (id < MAX_TIMERS)", 5)) << errors[2];
    EXPECT_EQ(errors[3], "tm_killtimer(id=-1) - NOT FOUND\n");
    EXPECT_EQ(errors[5], "tm_killtimer(id=150) - NOT FOUND\n");
}

void StopFromCallback(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    Record(id, msg, arg, key, reserved);
    engine.stoprequested = 1;
}

TEST_F(TimerPool, AStopRequestEndsTheTickAndAfterStopNothingIsCalledOrArmed) {
    Restart();
    ASSERT_EQ(tm_settimer(1, StopFromCallback, 0, 0, 16), 0);
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 1);
    Ticks(3);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(TimerPoolSlot(1).count, 1);  // not even counted down
    EXPECT_EQ(fake.delays.size(), 4u);     // but armed again
    engine.stoprequested = 0;
    uint32_t armed = TimerPoolEventId();
    tm_stop();
    EXPECT_EQ(fake.kills.back(), armed);
    EXPECT_EQ(TimerPoolEventId(), 0u);
    EXPECT_FALSE(TimerPoolHasLock());
    // The armed event fires all the same; the slot operations go on without
    // the lock; still nothing is called, nothing armed.
    tm_tick(armed, 0, 0, 0, 0);
    EXPECT_EQ(tm_settimer(1, Record, 0, 0, 16), 2);
    EXPECT_EQ(tm_setpause(2, 0), 2);
    Ticks(3);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(fake.delays.size(), 4u);
}

TEST_F(TimerPool, FailuresAreTracedAndThePoolGoesOn) {
    // No capabilities: no resolution, no lock, no tick; the slots are free.
    fake.capserror = 1234;
    tm_init();
    tm_start();
    std::vector<std::string> errors = trace_.Texts("Error   ");
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], "tm_init: failed to call timeGetDevCaps\n");
    EXPECT_EQ(errors[1].rfind("SYSTEM_ERROR(1234)", 0), 0u) << errors[1];
    EXPECT_TRUE(IsAssertion(errors[2], "tm_timerid != 0", 0)) << errors[2];
    EXPECT_EQ(TimerPoolResolution(), 0u);
    EXPECT_FALSE(TimerPoolHasLock());
    EXPECT_TRUE(fake.begins.empty() && fake.delays.empty());
    EXPECT_EQ(tm_settimer(30, Record, 0, 0, 16), 0);

    // Arming fails: a tick that comes anyway cancels nothing, calls back, and
    // fails to arm again.
    Restart(false);
    fake.armerror = 8;
    tm_init();
    tm_start();
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 0);
    Ticks(1);
    errors = trace_.Texts("Error   ");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(IsAssertion(errors[1], "tm_timerid != 0", 8)) << errors[1];
    EXPECT_TRUE(fake.kills.empty());
    EXPECT_EQ(calls.size(), 1u);

    // Cancelling fails: the tick goes on.
    Restart();
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 0);
    fake.killerror = 6;
    Ticks(1);
    errors = trace_.Texts("Error   ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(IsAssertion(errors[0], "x == TIMERR_NOERROR", 6)) << errors[0];
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(TimerPoolEventId(), 101u);
}

// --- the pool and the events on the platform's own timer threads ---

std::mutex lock;
std::condition_variable done;
std::vector<Call> events;  // from the other threads
std::vector<int> selfkills;
bool bad = false;  // a tick overlapped, ran on the test's thread or got wrong arguments
std::thread::id tester;
std::atomic<int> inside{0};

void OnEvent(uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2) {
    std::lock_guard<std::mutex> hold(lock);
    events.push_back(Call{id, msg, user, static_cast<uint32_t>(dw1), dw2});
    done.notify_all();
}

void OnThreadTick(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    bool overlap = inside.fetch_add(1) != 0;
    // As the mark tick does: the pool lock is free during a callback.
    tm_setpause(static_cast<int>(id), 1);
    tm_setpause(static_cast<int>(id), 0);
    bool wrong =
        overlap || std::this_thread::get_id() == tester || id != 0 || arg != 77 || key != 5;
    OnEvent(id, msg, arg, key, reserved);
    std::lock_guard<std::mutex> hold(lock);
    bad = bad || wrong || msg != 0 || reserved != 0;
    inside.fetch_sub(1);
}

void Nothing(uint32_t, uint32_t, uintptr_t, uint32_t, uintptr_t) {}

// Waits until n events have come, at most ms milliseconds.
bool WaitForEvents(size_t n, int ms = 10000) {
    std::unique_lock<std::mutex> hold(lock);
    return done.wait_for(hold, std::chrono::milliseconds(ms), [n] { return events.size() >= n; });
}

class MmTimer : public ::testing::Test {
  protected:
    void SetUp() override {
        TimerSetForTest(nullptr);
        events.clear();
    }
    void TearDown() override {
        EXPECT_EQ(TimerWaitIdleForTest(10000), 0);
        TimerSetCapsForTest(0, 0);
        EngineResetForTest();
    }
    const TimerCaps builtin_ = testsupport::PlatformTimerCaps();
};

TEST_F(MmTimer, ThePoolRunsOnThePlatformTimerThread) {
    TimerPoolResetForTest();
    TimerSetCapsForTest(1, 20);  // 20 ms ticks
    tester = std::this_thread::get_id();
    tm_init();
    ASSERT_EQ(tm_settimer(2, OnThreadTick, 77, 5, 16), 0);
    ASSERT_EQ(tm_settimer(1, Nothing, 0, 6, 16), 1);
    tm_start();
    // Meanwhile this thread changes other slots, as the loop thread does.
    for (int round = 0; round < 5000 && !WaitForEvents(5, 2); ++round) {
        tm_setpause(1, round & 1);
        tm_killtimer(tm_settimer(1, Nothing, 0, 7, 32));
    }
    engine.stoprequested = 1;
    tm_stop();
    ASSERT_EQ(TimerWaitIdleForTest(10000), 0);
    TimerPoolResetForTest();
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_GE(events.size(), 5u);
    EXPECT_FALSE(bad);
}

TEST_F(MmTimer, AnEventFiresOnceWithItsArgumentsAndMayCancelItself) {
    uint32_t id = TimerSetEvent(1, 1, OnEvent, 99);
    ASSERT_TRUE(WaitForEvents(1));
    ASSERT_EQ(TimerWaitIdleForTest(10000), 0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, id);
    EXPECT_EQ(events[0].arg, 99u);
    EXPECT_EQ(events[0].msg + events[0].key + events[0].reserved, 0u);
    EXPECT_EQ(TimerKillEvent(id), kTimerInvalParam);  // over once the callback returned
    TimerSetEvent(
        1, 1,
        [](uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2) {
            selfkills = {TimerKillEvent(id), TimerKillEvent(id)};
            OnEvent(id, msg, user, dw1, dw2);
        },
        0);
    ASSERT_TRUE(WaitForEvents(2));
    EXPECT_EQ(selfkills, (std::vector<int>{kTimerNoError, kTimerInvalParam}));
}

TEST_F(MmTimer, ReportsAndEnforcesItsCapabilitiesAndCancelledEventsNeverFire) {
    EXPECT_GE(builtin_.wPeriodMin, 1u);
    EXPECT_GE(builtin_.wPeriodMax, 65535u);
    const struct {
        uint32_t min, max, delay;  // (0, 0): the built-in range
        bool armed;
    } cases[] = {
        {0, 0, builtin_.wPeriodMin - 1, false},
        {0, 0, builtin_.wPeriodMax + 1, false},
        {0, 0, builtin_.wPeriodMax, true},
        {10000, 20000, 9999, false},
        {10000, 20000, 20001, false},
        {10000, 20000, 10000, true},
        {10000, 20000, 20000, true},
    };
    uint32_t last = 0;
    for (const auto &c : cases) {
        TimerSetCapsForTest(c.min, c.max);
        TimerCaps caps{0, 0};
        EXPECT_EQ(TimerGetDevCaps(&caps), kTimerNoError);
        EXPECT_EQ(caps.wPeriodMin, c.min != 0 ? c.min : builtin_.wPeriodMin);
        EXPECT_EQ(caps.wPeriodMax, c.max != 0 ? c.max : builtin_.wPeriodMax);
        uint32_t id = TimerSetEvent(c.delay, c.delay, OnEvent, 0);
        EXPECT_EQ(id != 0, c.armed) << c.delay << " in " << c.min << ".." << c.max;
        if (id == 0) {
            EXPECT_EQ(PlatformLastError(), static_cast<unsigned long>(kTimerInvalParam));
            continue;
        }
        EXPECT_NE(id, last);
        EXPECT_EQ(TimerKillEvent(id), kTimerNoError);
        EXPECT_EQ(TimerKillEvent(id), kTimerInvalParam);
        last = id;
    }
    EXPECT_EQ(TimerSetEvent(10, 10, nullptr, 0), 0u);
    EXPECT_EQ(TimerKillEvent(0), kTimerInvalParam);
    EXPECT_EQ(TimerBeginPeriod(1000), kTimerNoError);
    EXPECT_EQ(TimerEndPeriod(1000), kTimerNoError);
    ASSERT_EQ(TimerWaitIdleForTest(10000), 0);  // at once, not after the delays
    EXPECT_TRUE(events.empty());
}

}  // namespace
