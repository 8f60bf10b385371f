#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/errors.h"
#include "platform/mmtimer.h"
#include "platform/mmtimer_testing.h"
#include "test_util.h"
#include "timer/vtm_driver.h"
#include "timer/vtm_driver_testing.h"

namespace {

using testutil::TraceLine;

// An assertion trace for exp with the given error code; the line number is
// whatever the check's source line is.
::testing::AssertionResult IsAssertion(const std::string &text, const std::string &exp, int code) {
    const std::string head = "HV Assertion Error in exp. [" + exp + "] at ";
    const std::string tail =
        " in the file vtm_driver.cpp\nError Code=" + std::to_string(code) + "\n";
    if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0) {
        return ::testing::AssertionFailure() << "not the assertion [" << exp << "]: " << text;
    }
    std::string line = text.substr(head.size(), text.size() - head.size() - tail.size());
    if (line.find_first_not_of("0123456789") != std::string::npos) {
        return ::testing::AssertionFailure() << "line number '" << line << "' in " << text;
    }
    return ::testing::AssertionSuccess();
}

// --- fake platform timer ---

struct Arm {
    uint32_t delay;
    uint32_t resolution;
    TimerEventCallback callback;
    uintptr_t user;
};

struct FakeTimer {
    TimerCaps caps{1, 1000000};
    int capsresult = kTimerNoError;
    unsigned long capserror = 0;
    bool armfails = false;
    unsigned long armerror = 0;
    int killresult = kTimerNoError;
    unsigned long killerror = 0;
    uint32_t nextid = 100;
    std::vector<uint32_t> begins;
    std::vector<uint32_t> ends;
    std::vector<Arm> arms;
    std::vector<uint32_t> kills;
};
FakeTimer fake;

int FakeGetDevCaps(TimerCaps *caps) {
    if (fake.capsresult != kTimerNoError) {
        PlatformSetLastError(fake.capserror);
        return fake.capsresult;
    }
    *caps = fake.caps;
    return kTimerNoError;
}
int FakeBeginPeriod(uint32_t period) {
    fake.begins.push_back(period);
    return kTimerNoError;
}
int FakeEndPeriod(uint32_t period) {
    fake.ends.push_back(period);
    return kTimerNoError;
}
uint32_t FakeSetEvent(uint32_t delay, uint32_t resolution, TimerEventCallback callback,
                      uintptr_t user) {
    // Like the platform's: a delay outside the capabilities is refused.
    if (fake.armfails || delay < fake.caps.wPeriodMin || delay > fake.caps.wPeriodMax) {
        PlatformSetLastError(fake.armerror);
        return 0;
    }
    fake.arms.push_back(Arm{delay, resolution, callback, user});
    return fake.nextid++;
}
int FakeKillEvent(uint32_t id) {
    fake.kills.push_back(id);
    if (fake.killresult != kTimerNoError) {
        PlatformSetLastError(fake.killerror);
    }
    return fake.killresult;
}
const TimerOps kFakeServices = {FakeGetDevCaps, FakeBeginPeriod, FakeEndPeriod, FakeSetEvent,
                                FakeKillEvent};

// --- callbacks ---

struct Call {
    uint32_t id;
    uint32_t msg;
    uintptr_t arg;
    uint32_t key;
    uintptr_t reserved;
};
std::vector<Call> calls;  // test thread only

void Record(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    calls.push_back(Call{id, msg, arg, key, reserved});
}

void Ticks(int n) {
    for (int i = 0; i < n; ++i) {
        tm_tick(TimerPoolEventId(), 0, 0, 0, 0);
    }
}

// A day boundary in UTC (2024-05-17 00:00:00).
constexpr int64_t kMidnight = 19860LL * 86400;

class TimerPool : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        fake = FakeTimer{};
        calls.clear();
        TimerSetForTest(&kFakeServices);
        TimerPoolResetForTest();
        PlatformSetLastError(0);
    }
    void TearDown() override {
        TimerPoolResetForTest();
        TimerSetForTest(nullptr);
        TimerSetCapsForTest(0, 0);
        EngineResetForTest();
    }
    std::vector<TraceLine> TakeTraces() { return trace_.Take(); }
    std::vector<std::string> TakeTexts() {
        std::vector<std::string> out;
        for (const TraceLine &t : TakeTraces()) {
            out.push_back(t.text);
        }
        return out;
    }
    // A fresh pool, started: for each row of a table.
    void Restart() {
        TimerPoolResetForTest();
        calls.clear();
        Start();
    }
    // tm_init and tm_start on the fake, traces dropped.
    void Start() {
        tm_init();
        tm_start();
        TakeTraces();
    }

    testutil::TraceCatcher trace_{Trace | Warning | Error | Network | InOut | Database};
};

TEST_F(TimerPool, TracesInitStartAndCreate) {
    tm_init();
    tm_start();
    EXPECT_EQ(tm_settimer(30, Record, 0, 0, 16), 0);
    std::vector<TraceLine> got = TakeTraces();
    const char *want[] = {"tm_init: ok\n", "tm_start: started\n",
                          "tm_find(key=FF000000)->timer_id 0\n",
                          "tm_settimer --> returning handle 0\n"};
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i].label, "Trace   ");
        EXPECT_EQ(got[i].text, want[i]);
    }
    EXPECT_TRUE(TimerPoolHasLock());
}

TEST_F(TimerPool, CallbackGetsItsIdArgumentAndKey) {
    struct Case {
        uint16_t mode;
        uintptr_t arg;
        uint32_t key;
    };
    const Case cases[] = {{16, 0xDEADBEEF, 0x1234}, {32, 1, 0xFEFFFFFF}, {16, 0, 0}};
    Start();
    for (const Case &c : cases) {
        calls.clear();
        int id = tm_settimer(2, Record, c.arg, c.key, c.mode);
        ASSERT_GE(id, 0);
        Ticks(2);
        // Earlier timers (period 2) expire at the same ticks; take ours.
        ASSERT_FALSE(calls.empty());
        const Call &last = calls.back();
        EXPECT_EQ(last.id, static_cast<uint32_t>(id));
        EXPECT_EQ(last.msg, 0u);
        EXPECT_EQ(last.arg, c.arg);
        EXPECT_EQ(last.key, c.key);
        EXPECT_EQ(last.reserved, 0u);
        TimerSlotView v = TimerPoolSlot(id);
        EXPECT_EQ(v.mode, c.mode);
        EXPECT_EQ(v.count, 2);  // restarted at the period
    }
}

TEST_F(TimerPool, CallbacksRunInSlotOrder) {
    Start();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(tm_settimer(1, Record, static_cast<uintptr_t>(i), 0, 16), i);
    }
    Ticks(1);
    ASSERT_EQ(calls.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(calls[i].id, i);
    }
}

TEST_F(TimerPool, EachTickCancelsItsEventAndArmsTheNext) {
    tm_init();
    EXPECT_EQ(fake.begins, std::vector<uint32_t>{1000});
    tm_start();
    ASSERT_EQ(fake.arms.size(), 1u);
    EXPECT_EQ(fake.arms[0].delay, 1000u);
    EXPECT_EQ(fake.arms[0].resolution, 1000u);
    EXPECT_EQ(fake.arms[0].callback, &tm_tick);
    EXPECT_EQ(fake.arms[0].user, 0u);
    EXPECT_EQ(TimerPoolEventId(), 100u);
    Ticks(3);
    EXPECT_EQ(fake.kills, (std::vector<uint32_t>{100, 101, 102}));
    EXPECT_EQ(fake.arms.size(), 4u);
    EXPECT_EQ(TimerPoolEventId(), 103u);
}

TEST_F(TimerPool, RefusesThe151stTimer) {
    Start();
    for (int i = 0; i < MAX_TIMERS; ++i) {
        ASSERT_EQ(tm_settimer(30, Record, 0, static_cast<uint32_t>(i + 1), 16), i);
    }
    TakeTraces();
    PlatformSetLastError(1234);
    EXPECT_EQ(tm_settimer(30, Record, 0, 999, 16), -1);
    std::vector<TraceLine> got = TakeTraces();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].text, "tm_find(key=FF000000)-> NOT FOUND\n");
    EXPECT_EQ(got[1].label, "Error   ");
    EXPECT_TRUE(IsAssertion(got[1].text, "i >= 0", 1234));
    EXPECT_EQ(got[2].label, "Trace   ");
    EXPECT_EQ(got[2].text, "tm_settimer --> returning handle -1\n");
    EXPECT_EQ(tm_find(999), -1);
}

TEST_F(TimerPool, NoSlotIsFreeBeforeInit) {
    EXPECT_EQ(tm_settimer(30, Record, 0, 0, 16), -1);
}

TEST_F(TimerPool, PauseStopsTheCountdownAndResumeRestartsIt) {
    const int pauses[] = {1, 7, -1};  // any non-zero value pauses
    for (int pause : pauses) {
        Restart();
        int id = tm_settimer(30, Record, 0, 0, 16);
        ASSERT_EQ(id, 0);
        Ticks(20);
        TakeTraces();
        EXPECT_EQ(tm_setpause(id, pause), id);
        EXPECT_EQ(TakeTexts(),
                  std::vector<std::string>{"tm_setpause(0, " + std::to_string(pause) + ") \n"});
        EXPECT_EQ(TimerPoolSlot(id).count, 30);
        Ticks(100);
        EXPECT_TRUE(calls.empty()) << pause;
        EXPECT_EQ(tm_setpause(id, 0), id);
        Ticks(29);  // from the full period, not the 10 left before the pause
        EXPECT_TRUE(calls.empty()) << pause;
        Ticks(1);
        EXPECT_EQ(calls.size(), 1u) << pause;
    }
}

TEST_F(TimerPool, ResumeEveryTenTicksKeepsA30SecondTimerFromExpiring) {
    Start();
    int id = tm_settimer(30, Record, 0, 0, 16);
    ASSERT_EQ(id, 0);
    for (int round = 0; round < 100; ++round) {
        Ticks(10);
        ASSERT_EQ(tm_setpause(id, 0), id);
    }
    EXPECT_TRUE(calls.empty());
    Ticks(30);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(TimerPool, IdsOutOfRangeChangeNothing) {
    Start();
    ASSERT_EQ(tm_settimer(30, Record, 0, 5, 16), 0);
    Ticks(5);
    const int ids[] = {-1, MAX_TIMERS, 1000, INT_MIN, INT_MAX};
    for (int id : ids) {
        TakeTraces();
        EXPECT_EQ(tm_setpause(id, 1), -1) << id;
        EXPECT_EQ(TakeTexts(),
                  std::vector<std::string>{"tm_setpause(" + std::to_string(id) + ", 1) \n"});

        PlatformSetLastError(42);
        tm_killtimer(id);
        std::vector<TraceLine> got = TakeTraces();
        ASSERT_EQ(got.size(), 2u) << id;
        EXPECT_EQ(got[0].label, "Error   ");
        EXPECT_TRUE(IsAssertion(got[0].text, "(id >= 0) && (id < MAX_TIMERS)", 42));
        EXPECT_EQ(got[1].label, "Error   ");
        EXPECT_EQ(got[1].text, "tm_killtimer(id=" + std::to_string(id) + ") - NOT FOUND\n");

        TimerSlotView v = TimerPoolSlot(0);
        EXPECT_EQ(v.count, 25);
        EXPECT_EQ(v.pause, 0);
        EXPECT_EQ(v.key, 5u);
        EXPECT_EQ(v.callback, &Record);
    }
    Ticks(25);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(TimerPool, SetPauseDoesNotLookWhetherTheSlotIsInUse) {
    Start();
    EXPECT_EQ(tm_setpause(149, 1), 149);
    TimerSlotView v = TimerPoolSlot(149);
    EXPECT_EQ(v.pause, 1);
    EXPECT_EQ(v.key, NULL_KEY);
}

TEST_F(TimerPool, ExpiriesPerPeriod) {
    struct Case {
        int period;
        int ticks;
        size_t expiries;
    };
    const Case cases[] = {
        {0, 5, 5},    // period 0 expires at every tick
        {1, 5, 5},    //
        {-4, 3, 3},   // so does a negative one
        {2, 7, 3},    //
        {30, 29, 0},  // the first expiry after a full period
        {30, 30, 1},  //
        {30, 59, 1},  // then every period
        {30, 60, 2},  //
        {30, 89, 2},  //
        {30, 90, 3},  //
    };
    for (const Case &c : cases) {
        Restart();
        ASSERT_EQ(tm_settimer(c.period, Record, 0, 0, 16), 0);
        Ticks(c.ticks);
        EXPECT_EQ(calls.size(), c.expiries) << "period " << c.period << ", " << c.ticks << " ticks";
    }
}

TEST_F(TimerPool, ResolutionFollowsTheCapabilities) {
    struct Case {
        uint32_t min;
        uint32_t max;
        uint32_t resolution;
        int ticks;  // until a 30-second timer expires
    };
    const Case cases[] = {
        {1, 1000000, 1000, 30},     // the usual system
        {1, 65535, 1000, 30},       //
        {2000, 1000000, 2000, 15},  // two seconds a tick
        {3000, 65535, 3000, 10},    //
        {1500, 65535, 1500, 30},    // whole seconds: 1 a tick
        {1, 20, 20, 30},            // below a second the period counts ticks
        {0, 999, 999, 30},          //
    };
    for (const Case &c : cases) {
        TimerPoolResetForTest();
        fake = FakeTimer{};
        fake.caps = TimerCaps{c.min, c.max};
        calls.clear();
        tm_init();
        tm_start();
        EXPECT_EQ(TimerPoolResolution(), c.resolution);
        EXPECT_EQ(fake.begins, std::vector<uint32_t>{c.resolution});
        ASSERT_EQ(fake.arms.size(), 1u);
        EXPECT_EQ(fake.arms[0].delay, c.resolution);
        EXPECT_EQ(fake.arms[0].resolution, c.resolution);

        ASSERT_EQ(tm_settimer(30, Record, 0, 0, 16), 0);
        Ticks(c.ticks - 1);
        EXPECT_TRUE(calls.empty()) << c.min << ".." << c.max;
        Ticks(1);
        EXPECT_EQ(calls.size(), 1u) << c.min << ".." << c.max;

        tm_stop();
        EXPECT_EQ(fake.ends, std::vector<uint32_t>{c.resolution});
    }
}

class TimerPoolLocalTime : public TimerPool {
  protected:
    testutil::UtcZone utc_;
    testutil::ManualClock clock_{0};
};

TEST_F(TimerPoolLocalTime, Mode64AlignsTheFirstExpiryWithTheTimeOfDay) {
    struct Case {
        int hour, minute, second;
        int period;
        int32_t count;  // ticks until the first expiry
    };
    const Case cases[] = {
        {23, 0, 0, 86400, 3600},    // an hour before midnight
        {12, 0, 0, 3600, 1800},     // 01:00 has passed: half an hour
        {0, 0, 0, 3600, 3600},      //
        {1, 0, 0, 3600, 0},         // exactly now: at the next tick
        {6, 30, 15, 86400, 62985},  //
        {23, 59, 59, 86400, 1},     //
        {0, 0, 1, 0, 1800},         //
    };
    for (const Case &c : cases) {
        Restart();
        clock_.Set((kMidnight + c.hour * 3600 + c.minute * 60 + c.second) * 1000 + 999);
        ASSERT_EQ(tm_settimer(c.period, Record, 0, 0, 64), 0);
        TimerSlotView v = TimerPoolSlot(0);
        EXPECT_EQ(v.period, c.period);
        EXPECT_EQ(v.count, c.count) << c.hour << ":" << c.minute << ":" << c.second;
        EXPECT_EQ(v.mode, 64);
        int first = c.count < 1 ? 1 : c.count;
        Ticks(first - 1);
        EXPECT_TRUE(calls.empty());
        Ticks(1);
        EXPECT_EQ(calls.size(), 1u) << c.hour << ":" << c.minute << ":" << c.second;
        if (c.period > 1) {
            Ticks(c.period - 1);  // later expiries a period apart
            EXPECT_EQ(calls.size(), 1u);
            Ticks(1);
            EXPECT_EQ(calls.size(), 2u);
        }
    }
}

TEST_F(TimerPool, OtherModesLeaveThePeriodAndCountdownAsTheyWere) {
    const uint16_t modes[] = {0, 1, 48, 0xFFFF};
    for (uint16_t mode : modes) {
        Restart();
        // Slot 0 held a 30-second timer that was killed: period and count 0.
        ASSERT_EQ(tm_settimer(30, Record, 0, 1, 16), 0);
        tm_killtimer(0);
        ASSERT_EQ(tm_settimer(30, Record, 0, 2, mode), 0);
        TimerSlotView v = TimerPoolSlot(0);
        EXPECT_EQ(v.period, 0) << mode;
        EXPECT_EQ(v.count, 0) << mode;
        EXPECT_EQ(v.mode, mode);
        EXPECT_EQ(v.key, 2u);
        EXPECT_EQ(v.pause, 0);
        Ticks(1);
        EXPECT_EQ(calls.size(), 1u) << mode;
    }
}

TEST_F(TimerPool, KillFreesTheSlotAndTheLowestIdIsReused) {
    Start();
    ASSERT_EQ(tm_settimer(30, Record, 7, 10, 16), 0);
    ASSERT_EQ(tm_settimer(30, Record, 7, 11, 16), 1);
    ASSERT_EQ(tm_settimer(30, Record, 7, 12, 16), 2);
    TakeTraces();
    tm_killtimer(1);
    std::vector<TraceLine> got = TakeTraces();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].label, "Trace   ");
    EXPECT_EQ(got[0].text, "tm_killtimer(id=1) - ok\n");

    TimerSlotView v = TimerPoolSlot(1);
    EXPECT_EQ(v.key, NULL_KEY);
    EXPECT_EQ(v.callback, nullptr);
    EXPECT_EQ(v.mode, 0);
    EXPECT_EQ(v.arg, 0u);
    EXPECT_EQ(v.period, 0);
    EXPECT_EQ(v.pause, 1);
    EXPECT_EQ(v.count, 0);

    EXPECT_EQ(tm_find(11), -1);
    EXPECT_EQ(TakeTexts(), std::vector<std::string>{"tm_find(key=B)-> NOT FOUND\n"});
    EXPECT_EQ(tm_settimer(30, Record, 0, 13, 16), 1);
    EXPECT_EQ(tm_find(13), 1);
    Ticks(30);
    EXPECT_EQ(calls.size(), 3u);
}

TEST_F(TimerPool, KillingAFreeSlotIsTracedAndFreesItAgain) {
    Start();
    ASSERT_EQ(tm_settimer(30, Record, 0, 10, 16), 0);
    tm_killtimer(0);
    TakeTraces();
    PlatformSetLastError(5);
    tm_killtimer(0);
    std::vector<TraceLine> got = TakeTraces();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].label, "Error   ");
    EXPECT_TRUE(IsAssertion(got[0].text, "_tm_pool[id].tm_key != NULL_KEY", 5));
    EXPECT_EQ(got[1].text, "tm_killtimer(id=0) - ok\n");
    EXPECT_EQ(TimerPoolSlot(0).key, NULL_KEY);
    EXPECT_EQ(TimerPoolSlot(0).pause, 1);
}

TEST_F(TimerPool, FindGivesTheFirstSlotWithTheKey) {
    Start();
    ASSERT_EQ(tm_settimer(30, Record, 0, 0xABCDEF, 16), 0);
    ASSERT_EQ(tm_settimer(30, Record, 0, 0xABCDEF, 16), 1);
    TakeTraces();
    EXPECT_EQ(tm_find(0xABCDEF), 0);
    EXPECT_EQ(TakeTexts(), std::vector<std::string>{"tm_find(key=ABCDEF)->timer_id 0\n"});
    tm_killtimer(0);
    EXPECT_EQ(tm_find(0xABCDEF), 1);
}

TEST_F(TimerPool, NoCallbackAfterStopEvenWithATickArmed) {
    Start();
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 0);
    ASSERT_EQ(tm_settimer(2, Record, 0, 0, 16), 1);
    Ticks(1);
    ASSERT_EQ(calls.size(), 1u);
    uint32_t armed = TimerPoolEventId();
    size_t arms = fake.arms.size();
    TakeTraces();

    tm_stop();
    EXPECT_EQ(fake.kills.back(), armed);
    EXPECT_EQ(fake.ends, std::vector<uint32_t>{1000});
    EXPECT_EQ(TakeTexts(), std::vector<std::string>{"tm_stop: stopped\n"});
    EXPECT_FALSE(TimerPoolHasLock());
    EXPECT_EQ(TimerPoolEventId(), 0u);
    EXPECT_EQ(TimerPoolSlot(0).callback, nullptr);
    EXPECT_EQ(TimerPoolSlot(1).callback, nullptr);

    // The armed event fires all the same.
    tm_tick(armed, 0, 0, 0, 0);
    Ticks(5);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(fake.arms.size(), arms);  // a stopped pool is not armed again

    // The slot operations go on without the lock; still nothing is called.
    EXPECT_EQ(tm_settimer(1, Record, 0, 0, 16), 2);
    EXPECT_EQ(tm_setpause(2, 1), 2);
    EXPECT_EQ(tm_setpause(2, 0), 2);
    Ticks(3);
    EXPECT_EQ(calls.size(), 1u);
    tm_killtimer(2);
    EXPECT_EQ(TimerPoolSlot(2).key, NULL_KEY);
}

TEST_F(TimerPool, AStopRequestEndsTheTickButTheTickIsArmedAgain) {
    Start();
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 0);
    engine.stoprequested = 1;
    size_t arms = fake.arms.size();
    Ticks(3);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(fake.arms.size(), arms + 3);
    EXPECT_EQ(TimerPoolSlot(0).count, 1);  // not even counted down
}

void StopFromCallback(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    Record(id, msg, arg, key, reserved);
    engine.stoprequested = 1;
}

TEST_F(TimerPool, AStopRequestSeenMidTickCallsNoFurtherCallback) {
    Start();
    ASSERT_EQ(tm_settimer(1, StopFromCallback, 0, 0, 16), 0);
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 1);
    Ticks(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].id, 0u);
}

void PauseAndResumeSelf(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key,
                        uintptr_t reserved) {
    // As the mark tick does: the pool lock is free during a callback.
    tm_setpause(static_cast<int>(id), 1);
    Record(id, msg, arg, key, reserved);
    tm_setpause(static_cast<int>(id), 0);
}

TEST_F(TimerPool, ACallbackMayPauseAndResumeItsOwnTimer) {
    Start();
    ASSERT_EQ(tm_settimer(3, PauseAndResumeSelf, 0, 0, 16), 0);
    Ticks(9);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(TimerPoolSlot(0).count, 3);
}

TEST_F(TimerPool, FailureToArmTheTickIsTracedAndLeavesThePoolIdle) {
    fake.armfails = true;
    fake.armerror = 8;
    tm_init();
    TakeTraces();
    tm_start();
    std::vector<TraceLine> got = TakeTraces();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].label, "Error   ");
    EXPECT_TRUE(IsAssertion(got[0].text, "tm_timerid != 0", 8));
    EXPECT_EQ(got[1].text, "tm_start: started\n");
    EXPECT_EQ(TimerPoolEventId(), 0u);

    // A tick that comes anyway cancels nothing and fails to arm again.
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 0);
    TakeTraces();
    Ticks(1);
    EXPECT_TRUE(fake.kills.empty());
    EXPECT_EQ(calls.size(), 1u);
    got = TakeTraces();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(IsAssertion(got[0].text, "tm_timerid != 0", 8));
    EXPECT_EQ(TimerPoolEventId(), 0u);
}

TEST_F(TimerPool, FailureToCancelTheEventIsTracedAndTheTickGoesOn) {
    Start();
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 0);
    fake.killresult = kTimerInvalParam;
    fake.killerror = 6;
    TakeTraces();
    Ticks(1);
    std::vector<TraceLine> got = TakeTraces();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].label, "Error   ");
    EXPECT_TRUE(IsAssertion(got[0].text, "x == TIMERR_NOERROR", 6));
    EXPECT_EQ(fake.kills, std::vector<uint32_t>{100});
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(TimerPoolEventId(), 101u);
}

TEST_F(TimerPool, FailureToReadTheCapabilitiesLeavesThePoolWithoutTicks) {
    fake.capsresult = kTimerNoCanDo;
    fake.capserror = 1234;
    tm_init();
    std::vector<TraceLine> got = TakeTraces();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].label, "Error   ");
    EXPECT_EQ(got[0].text, "tm_init: failed to call timeGetDevCaps\n");
    EXPECT_EQ(got[1].label, "Error   ");
    EXPECT_EQ(got[1].text.rfind("SYSTEM_ERROR(1234)", 0), 0u) << got[1].text;
    EXPECT_NE(got[1].text.find("(vtm_driver.cpp : L'"), std::string::npos) << got[1].text;
    EXPECT_EQ(TimerPoolResolution(), 0u);
    EXPECT_FALSE(TimerPoolHasLock());
    EXPECT_TRUE(fake.begins.empty());

    fake.armerror = kTimerInvalParam;
    tm_start();
    got = TakeTraces();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(IsAssertion(got[0].text, "tm_timerid != 0", kTimerInvalParam));
    EXPECT_TRUE(fake.arms.empty());
    // The slots were freed all the same; the daemon runs on without ticks.
    EXPECT_EQ(tm_settimer(30, Record, 0, 0, 16), 0);
}

// --- the pool on the platform's own timer thread ---

struct ThreadCalls {
    std::mutex lock;
    std::condition_variable done;
    int count = 0;
    bool overlap = false;
    bool wrongthread = false;
    bool wrongargs = false;
    std::thread::id tester;
};
ThreadCalls *thread_calls = nullptr;
std::atomic<int> inside{0};

void OnThreadTick(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    bool overlap = inside.fetch_add(1) != 0;
    tm_setpause(static_cast<int>(id), 1);
    tm_setpause(static_cast<int>(id), 0);
    {
        std::lock_guard<std::mutex> hold(thread_calls->lock);
        thread_calls->overlap = thread_calls->overlap || overlap;
        thread_calls->wrongthread =
            thread_calls->wrongthread || std::this_thread::get_id() == thread_calls->tester;
        thread_calls->wrongargs = thread_calls->wrongargs || id != 0 || msg != 0 || arg != 77 ||
                                  key != 5 || reserved != 0;
        ++thread_calls->count;
    }
    thread_calls->done.notify_all();
    inside.fetch_sub(1);
}

std::atomic<int> busy_calls{0};
void CountBusy(uint32_t, uint32_t, uintptr_t, uint32_t, uintptr_t) {
    busy_calls.fetch_add(1);
}

TEST_F(TimerPool, RunsOnThePlatformTimerThread) {
    TimerSetForTest(nullptr);
    TimerSetCapsForTest(1, 20);  // 20 ms ticks
    ThreadCalls record;
    record.tester = std::this_thread::get_id();
    thread_calls = &record;

    tm_init();
    ASSERT_EQ(TimerPoolResolution(), 20u);
    ASSERT_EQ(tm_settimer(2, OnThreadTick, 77, 5, 16), 0);
    ASSERT_EQ(tm_settimer(1, CountBusy, 0, 6, 16), 1);
    tm_start();
    // While the ticks run, this thread keeps changing other slots, as the
    // loop thread does when it pauses the mark timer.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool reached = false;
    for (int round = 0; !reached && std::chrono::steady_clock::now() < deadline; ++round) {
        tm_setpause(1, round & 1);
        int id = tm_settimer(1, CountBusy, 0, 7, 32);
        if (id >= 0) {
            tm_killtimer(id);
        }
        std::unique_lock<std::mutex> hold(record.lock);
        reached = record.done.wait_for(hold, std::chrono::milliseconds(2),
                                       [&record] { return record.count >= 5; });
    }
    engine.stoprequested = 1;
    tm_stop();
    ASSERT_EQ(TimerWaitIdleForTest(10000), 0);
    EXPECT_TRUE(reached);
    EXPECT_EQ(TimerPoolEventId(), 0u);
    std::lock_guard<std::mutex> hold(record.lock);
    EXPECT_FALSE(record.overlap);
    EXPECT_FALSE(record.wrongthread);
    EXPECT_FALSE(record.wrongargs);
    thread_calls = nullptr;
}

// --- the platform's own one-shot events ---

struct EventCalls {
    std::mutex lock;
    std::condition_variable done;
    std::vector<Call> calls;
    std::vector<int> selfkills;
};
EventCalls *event_calls = nullptr;

void OnEvent(uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2) {
    std::lock_guard<std::mutex> hold(event_calls->lock);
    event_calls->calls.push_back(Call{id, msg, user, static_cast<uint32_t>(dw1), dw2});
    event_calls->done.notify_all();
}

void KillSelf(uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2) {
    int first = TimerKillEvent(id);
    int second = TimerKillEvent(id);
    {
        std::lock_guard<std::mutex> hold(event_calls->lock);
        event_calls->selfkills.push_back(first);
        event_calls->selfkills.push_back(second);
    }
    OnEvent(id, msg, user, dw1, dw2);
}

class MmTimer : public ::testing::Test {
  protected:
    void SetUp() override {
        TimerSetForTest(nullptr);
        TimerSetCapsForTest(0, 0);
        event_calls = &calls_;
    }
    void TearDown() override {
        EXPECT_EQ(TimerWaitIdleForTest(10000), 0);
        TimerSetCapsForTest(0, 0);
        event_calls = nullptr;
    }
    bool WaitForCalls(size_t n) {
        std::unique_lock<std::mutex> hold(calls_.lock);
        return calls_.done.wait_for(hold, std::chrono::seconds(10),
                                    [this, n] { return calls_.calls.size() >= n; });
    }
    EventCalls calls_;
    // The platform's own range: 1 to 1,000,000 ms on POSIX, winmm's on
    // Windows.
    const TimerCaps builtin_ = testsupport::PlatformTimerCaps();
};

TEST_F(MmTimer, ReportsItsCapabilities) {
    EXPECT_GE(builtin_.wPeriodMin, 1u);
    EXPECT_GE(builtin_.wPeriodMax, 65535u);
    TimerCaps caps{0, 0};
    EXPECT_EQ(TimerGetDevCaps(&caps), kTimerNoError);
    EXPECT_EQ(caps.wPeriodMin, builtin_.wPeriodMin);
    EXPECT_EQ(caps.wPeriodMax, builtin_.wPeriodMax);
    TimerSetCapsForTest(2000, 65535);
    EXPECT_EQ(TimerGetDevCaps(&caps), kTimerNoError);
    EXPECT_EQ(caps.wPeriodMin, 2000u);
    EXPECT_EQ(caps.wPeriodMax, 65535u);
    EXPECT_EQ(TimerBeginPeriod(1000), kTimerNoError);
    EXPECT_EQ(TimerEndPeriod(1000), kTimerNoError);
}

TEST_F(MmTimer, AnEventFiresOnceWithItsArguments) {
    uint32_t id = TimerSetEvent(5, 5, OnEvent, 99);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(WaitForCalls(1));
    ASSERT_EQ(TimerWaitIdleForTest(10000), 0);
    std::lock_guard<std::mutex> hold(calls_.lock);
    ASSERT_EQ(calls_.calls.size(), 1u);
    EXPECT_EQ(calls_.calls[0].id, id);
    EXPECT_EQ(calls_.calls[0].msg, 0u);
    EXPECT_EQ(calls_.calls[0].arg, 99u);
    EXPECT_EQ(calls_.calls[0].key, 0u);
    EXPECT_EQ(calls_.calls[0].reserved, 0u);
    EXPECT_EQ(TimerKillEvent(id), kTimerInvalParam);  // over once the callback returned
}

TEST_F(MmTimer, CancelledEventsWithDistinctIdsNeverFire) {
    uint32_t id = TimerSetEvent(builtin_.wPeriodMax, 1000, OnEvent, 0);
    uint32_t other = TimerSetEvent(builtin_.wPeriodMax, 1000, OnEvent, 0);
    ASSERT_NE(id, 0u);
    EXPECT_NE(other, 0u);
    EXPECT_NE(id, other);
    EXPECT_EQ(TimerKillEvent(id), kTimerNoError);
    EXPECT_EQ(TimerKillEvent(id), kTimerInvalParam);
    EXPECT_EQ(TimerKillEvent(other), kTimerNoError);
    // The event's thread quits at once rather than after its delay.
    ASSERT_EQ(TimerWaitIdleForTest(10000), 0);
    std::lock_guard<std::mutex> hold(calls_.lock);
    EXPECT_TRUE(calls_.calls.empty());
}

TEST_F(MmTimer, AnEventCancelsItselfFromItsCallback) {
    uint32_t id = TimerSetEvent(1, 1, KillSelf, 0);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(WaitForCalls(1));
    std::lock_guard<std::mutex> hold(calls_.lock);
    EXPECT_EQ(calls_.selfkills, (std::vector<int>{kTimerNoError, kTimerInvalParam}));
}

TEST_F(MmTimer, RefusesWhatItCannotDo) {
    struct Case {
        uint32_t min, max;  // (0, 0): the built-in range
        uint32_t delay;
        bool armed;
    };
    const uint32_t max = builtin_.wPeriodMax;
    const Case cases[] = {
        {0, 0, builtin_.wPeriodMin - 1, false},
        {0, 0, max + 1, false},
        {0, 0, max, true},
        {10000, 20000, 9999, false},
        {10000, 20000, 20001, false},
        // Far enough ahead that the cancel comes first.
        {10000, 20000, 10000, true},
        {10000, 20000, 20000, true},
    };
    for (const Case &c : cases) {
        TimerSetCapsForTest(c.min, c.max);
        uint32_t id = TimerSetEvent(c.delay, c.delay, OnEvent, 0);
        EXPECT_EQ(id != 0, c.armed) << c.delay << " in " << c.min << ".." << c.max;
        if (id != 0) {
            EXPECT_EQ(TimerKillEvent(id), kTimerNoError);
        } else {
            EXPECT_EQ(PlatformLastError(), static_cast<unsigned long>(kTimerInvalParam));
        }
    }
    TimerSetCapsForTest(0, 0);
    EXPECT_EQ(TimerSetEvent(10, 10, nullptr, 0), 0u);
    EXPECT_EQ(TimerKillEvent(0), kTimerInvalParam);
    EXPECT_EQ(TimerKillEvent(0xFFFFFFFF), kTimerInvalParam);
}

}  // namespace
