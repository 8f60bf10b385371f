// The timer pool on a fake platform timer driven by hand, then on the
// platform's own one-shot events.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
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

// The fake platform timer: it records, and the calls with an error set fail.
struct FakeTimer {
    TimerCaps caps{1, 1000000};
    unsigned long capserror = 0, armerror = 0, killerror = 0;
    uint32_t nextid = 100;
    std::vector<uint32_t> delays, kills;
};
FakeTimer fake;

const TimerOps kFake = {
    [](TimerCaps *caps) {
        PlatformSetLastError(fake.capserror);
        *caps = fake.capserror != 0 ? *caps : fake.caps;
        return fake.capserror != 0 ? kTimerNoCanDo : kTimerNoError;
    },
    nullptr,  // the period calls stay the platform's own
    nullptr,
    [](uint32_t delay, uint32_t resolution, TimerEventCallback callback, uintptr_t) -> uint32_t {
        PlatformSetLastError(fake.armerror);
        if (fake.armerror != 0 || delay < fake.caps.wPeriodMin || callback != tm_tick) {
            return 0;
        }
        fake.delays.push_back(delay == resolution ? delay : 0);  // accurate to a tick
        return fake.nextid++;
    },
    [](uint32_t id) {
        fake.kills.push_back(id);
        PlatformSetLastError(fake.killerror);
        return fake.killerror != 0 ? kTimerInvalParam : kTimerNoError;
    },
};

// A callback as "id arg key", msg and reserved shown only when not 0.
std::string CallText(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    return std::to_string(id) + " " + std::to_string(arg) + " " + std::to_string(key) +
           (msg != 0 || reserved != 0 ? " bad" : "");
}
std::vector<std::string> calls;
void Record(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    calls.push_back(CallText(id, msg, arg, key, reserved));
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
        Restart();
    }
    void TearDown() override {
        TimerPoolResetForTest();
        TimerSetForTest(nullptr);
        EngineResetForTest();
    }
    // A fresh pool on a fresh fake, initialised and started; no traces.
    void Restart(TimerCaps caps = {1, 1000000}) {
        TimerPoolResetForTest();
        fake = FakeTimer{};
        fake.caps = caps;
        calls.clear();
        tm_init();
        tm_start();
        trace_.Clear();
    }
    // The Error texts traced since the last call, assertions as "exp code".
    std::vector<std::string> Errors() {
        std::vector<std::string> texts = trace_.Texts("Error   ");
        const std::regex hv(
            "HV Assertion Error in exp. \\[(.*)\\] at [0-9]+ in the file vtm_driver.cpp\nError "
            "Code=(-?[0-9]+)\n");
        for (std::string &text : texts) {
            text = std::regex_replace(text, hv, "$1 $2");
        }
        trace_.Clear();
        return texts;
    }
    testutil::TraceCatcher trace_{Trace | Error};
};

TEST_F(TimerPool, TicksCallInSlotOrderByModePeriodResolutionAndTimeOfDay) {
    testutil::UtcZone utc;
    testutil::ManualClock clock(0);
    const struct {
        uint32_t min, max, resolution;
        uint16_t mode;
        int period, since_midnight, first, next;  // ticks to the first expiry, then apart
    } cases[] = {
        {1, 1000000, 1000, 16, 30, 0, 30, 30},
        {3000, 65535, 3000, 32, 30, 0, 10, 10},
        {1, 20, 20, 16, 30, 0, 30, 30},
        {1, 1000000, 1000, 48, 30, 0, 1, 1},  // no countdown set
        {1, 1000000, 1000, 64, 86400, 86399, 1, 86400},
        {1, 1000000, 1000, 64, 3600, 43200, 1800, 3600},  // passed today: half an hour
        {1, 1000000, 1000, 64, 3600, 3600, 1, 3600},      // exactly now: the next tick
    };
    const uint32_t keys[] = {0x1234, 0xFEFFFFFF, 0};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.min << " " << c.mode << " " << c.period);
        clock.Set((testutil::UtcSeconds(2024, 5, 17, 0, 0, 0) + c.since_midnight) * 1000 + 999);
        Restart(TimerCaps{c.min, c.max});
        std::vector<std::string> expected;
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_EQ(tm_settimer(c.period, Record, 7 + i, keys[i], c.mode), int(i));
            expected.push_back(CallText(i, 0, 7 + i, keys[i], 0));
        }
        for (int ticks : {c.first, c.next}) {
            calls.clear();
            Ticks(ticks - 1);
            EXPECT_TRUE(calls.empty());
            Ticks(1);
            EXPECT_EQ(calls, expected);
        }
        // Each tick cancelled its event and armed the next.
        EXPECT_EQ(fake.delays, std::vector<uint32_t>(c.first + c.next + 1, c.resolution));
        tm_stop();
        EXPECT_EQ(fake.kills.back(), 100u + c.first + c.next);  // the armed one
    }
}

TEST_F(TimerPool, SlotsArePausedFoundKilledAndReusedLowestFirst) {
    TimerPoolResetForTest();
    EXPECT_EQ(tm_settimer(30, Record, 0, 0, 16), -1);  // no slot free before tm_init
    Restart();
    for (int i = 0; i < MAX_TIMERS; ++i) {
        ASSERT_EQ(tm_settimer(30, Record, 7, 10 + i % 2, 16), i);
    }
    PlatformSetLastError(1234);
    EXPECT_EQ(tm_settimer(30, Record, 0, 13, 16), -1);  // the 151st
    EXPECT_EQ(tm_find(11), 1);
    tm_killtimer(1);
    EXPECT_EQ(tm_find(11), 3);
    EXPECT_EQ(tm_settimer(30, Record, 0, 13, 16), 1);
    // A pause holds the countdown (resuming starts it again: the mark tick's test).
    Ticks(20);
    EXPECT_EQ(tm_setpause(0, -1), 0);
    Ticks(15);
    EXPECT_EQ(calls.size(), 149u);
    EXPECT_EQ(tm_setpause(-1, 1) + tm_setpause(MAX_TIMERS, 1), -2);

    PlatformSetLastError(5);
    tm_killtimer(0);
    tm_killtimer(0);  // already free
    tm_killtimer(-1);
    tm_killtimer(MAX_TIMERS);
    const char *range = "(id >= 0) && (id < MAX_TIMERS) 5";
    EXPECT_EQ(Errors(),
              (std::vector<std::string>{"i >= 0 1234", "_tm_pool[id].tm_key != NULL_KEY 5", range,
                                        "tm_killtimer(id=-1) - NOT FOUND\n", range,
                                        "tm_killtimer(id=150) - NOT FOUND\n"}));
}

TEST_F(TimerPool, TrafficKeepsTheMarkTickFromFiringAndFortyQuietPeriodsMakeAMark) {
    ASSERT_EQ(engine.marktimer = tm_settimer(30, marktick, 0, 0, 16), 0);
    engine.rulesready = 1;
    for (int i = 0; i < 20; ++i) {
        Ticks(29);
        logmsg(13, "message", "client", 0);
    }
    Ticks(29);
    EXPECT_EQ(engine.markelapsed, 0);
    Ticks(1);
    EXPECT_EQ(engine.markelapsed, 30);
    Ticks(39 * 30);  // the MARK is routed from within the tick
    EXPECT_TRUE(trace_.Has("logmsg: pri 6, flags c, from , msg -- MARK --\n"));
}

TEST_F(TimerPool, AStopRequestEndsTheTickAndAfterStopNothingIsCalledOrArmed) {
    const TimerCallback stop = [](uint32_t, uint32_t, uintptr_t, uint32_t, uintptr_t) {
        calls.push_back("stop");
        engine.stoprequested = 1;
    };
    ASSERT_EQ(tm_settimer(1, stop, 0, 0, 16), 0);
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 1);
    Ticks(3);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(TimerPoolSlot(1).count, 1);  // not even counted down
    EXPECT_EQ(fake.delays.size(), 4u);     // but armed again
    engine.stoprequested = 0;
    tm_stop();
    // Slots still change; a tick that comes all the same calls and arms nothing.
    EXPECT_EQ(tm_settimer(1, Record, 0, 0, 16), 2);
    Ticks(3);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(fake.delays.size(), 4u);
}

TEST_F(TimerPool, FailuresAreTracedAndThePoolGoesOn) {
    // No capabilities: no resolution, no lock, no tick; the slots are free.
    TimerPoolResetForTest();
    fake.capserror = 1234;
    tm_init();
    tm_start();
    std::vector<std::string> errors = Errors();
    EXPECT_TRUE(errors.size() == 3 && errors[1].starts_with("SYSTEM_ERROR(1234)"));
    EXPECT_EQ(errors.front() + errors.back(),
              "tm_init: failed to call timeGetDevCaps\ntm_timerid != 0 0");
    EXPECT_EQ(tm_settimer(30, Record, 0, 0, 16), 0);

    // Cancelling, then arming fail: the ticks that come anyway cancel nothing more.
    Restart();
    ASSERT_EQ(tm_settimer(1, Record, 0, 0, 16), 0);
    fake.killerror = 6;
    fake.armerror = 8;
    Ticks(2);
    EXPECT_EQ(Errors(), (std::vector<std::string>{"x == TIMERR_NOERROR 6", "tm_timerid != 0 8",
                                                  "tm_timerid != 0 8"}));
    EXPECT_EQ(fake.kills, std::vector<uint32_t>{100});
    EXPECT_EQ(calls.size(), 2u);
}

std::atomic<int> ticks{0};  // pool callbacks on the timer threads; 1000 for a stray one

void OnTick(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved) {
    tm_setpause(static_cast<int>(id), 1);  // as the mark tick does: no pool lock is held
    tm_setpause(static_cast<int>(id), 0);
    ticks += CallText(id, msg, arg, key, reserved) == "0 77 5" ? 1 : 1000;
}

TEST(MmTimer, ThePoolRunsOnThePlatformTimerThreadAndCancelledEventsNeverFire) {
    testutil::TraceCatcher errors(Error);
    // Events until the table is full; once cancelled none fires (the idle wait would wait).
    const auto never = [](uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) { ticks += 1000; };
    std::vector<uint32_t> ids;
    while (ids.size() < 65) {
        ids.push_back(TimerSetEvent(1000, 20, never, 0));
    }
    // The table keeps 64; winmm under wine takes 16 at most.
    const auto made = std::find(ids.begin(), ids.end(), 0u) - ids.begin();
    EXPECT_TRUE(made >= 16 && made <= 64 && PlatformLastError() == kTimerNoCanDo) << made;
    for (uint32_t id : ids) {
        TimerKillEvent(id);
    }
    ASSERT_EQ(TimerWaitIdleForTest(10000), 0);
    TimerPoolResetForTest();
    TimerSetCapsForTest(1, 20);  // 20 ms ticks
    tm_init();
    ASSERT_EQ(tm_settimer(2, OnTick, 77, 5, 16), 0);
    tm_start();
    // Meanwhile this thread changes other slots, as the loop thread does.
    for (int round = 0; round < 5000 && ticks < 3; ++round) {
        tm_killtimer(tm_settimer(
            1, [](uint32_t, uint32_t, uintptr_t, uint32_t, uintptr_t) {}, 0, 7, 32));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    engine.stoprequested = 1;
    tm_stop();
    ASSERT_EQ(TimerWaitIdleForTest(10000), 0);
    TimerPoolResetForTest();
    TimerSetCapsForTest(0, 0);
    EngineResetForTest();
    EXPECT_TRUE(ticks >= 3 && ticks < 1000) << ticks;
    EXPECT_TRUE(errors.Lines().empty());  // each tick cancelled its own event
}

}  // namespace
