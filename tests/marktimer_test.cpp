// The mark timer in the real timer pool: routing pauses and resumes it, so
// that traffic keeps the tick from firing and marks count quiet periods.
#include <gtest/gtest.h>

#include "platform/mmtimer_testing.h"
#include "route_fixture.h"
#include "timer/vtm_driver_testing.h"

namespace {

// A platform timer whose events never fire by themselves: the test calls tm_tick.
const TimerOps kManualTimer = {
    nullptr, nullptr, nullptr,
    [](uint32_t, uint32_t, TimerEventCallback, uintptr_t) -> uint32_t { return 1; },
    [](uint32_t) { return 0; }};

class MarkTimer : public routetest::RouteTest {
  protected:
    void TearDown() override {
        TimerPoolResetForTest();
        TimerSetForTest(nullptr);
        RouteTest::TearDown();
    }
    void Tick(int n) {  // n ticks of the pool, a second apart
        for (int i = 0; i < n; ++i) {
            routetest::SetNow(++now_);
            tm_tick(TimerPoolEventId(), 0, 0, 0, 0);
        }
    }
    time_t now_ = routetest::kT0;
};

TEST_F(MarkTimer, TrafficKeepsTheTickFromFiringAndFortyQuietPeriodsMakeAMark) {
    TimerSetForTest(&kManualTimer);
    TimerPoolResetForTest();
    tm_init();
    tm_start();
    ASSERT_EQ(engine.marktimer = tm_settimer(30, marktick, 0, 0, 16), 0);
    engine.rulesready = 1;
    for (int i = 0; i < 20; ++i) {
        Tick(29);
        logmsg(13, "message", "client", 0);
    }
    Tick(29);
    EXPECT_EQ(engine.markelapsed, 0);
    Tick(1);
    EXPECT_EQ(engine.markelapsed, 30);
    Tick(39 * 30);  // the MARK is routed from within the tick
    EXPECT_EQ(routetest::CountLines("logmsg: pri 6, flags c, from loghost, msg -- MARK --\n"), 1);
}

}  // namespace
