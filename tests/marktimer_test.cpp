// The mark timer in the real timer pool: routing pauses and resumes it, so
// that traffic keeps the tick from firing and marks count quiet periods.
#include <gtest/gtest.h>

#include <string>

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
};

TEST_F(MarkTimer, TrafficKeepsTheTickFromFiringAndFortyQuietPeriodsMakeAMark) {
    TimerSetForTest(&kManualTimer);
    TimerPoolResetForTest();
    tm_init();
    tm_start();
    ASSERT_EQ(engine.marktimer = tm_settimer(30, marktick, 0, 0, 16), 0);
    engine.rulesready = 1;
    LogTarget *file = AddFile("messages");
    time_t now = routetest::kT0;
    auto tick = [&now](int n) {  // n ticks of the pool, a second apart
        for (int i = 0; i < n; ++i) {
            routetest::SetNow(++now);
            tm_tick(TimerPoolEventId(), 0, 0, 0, 0);
        }
    };
    for (int i = 0; i < 20; ++i) {
        tick(29);
        logmsg(13, ("message " + std::to_string(i)).c_str(), "client", 0);
    }
    file->lastwrite = static_cast<int32_t>(now - 3600);  // idle long enough
    // The first quiet period of 30 ticks fires it; forty of them make a MARK.
    tick(29);
    EXPECT_EQ(engine.markelapsed, 0);
    tick(1);
    EXPECT_EQ(engine.markelapsed, 30);
    tick(39 * 30);
    EXPECT_NE(routetest::ReadFile(Day("messages")).find("loghost -- MARK --\r\n"),
              std::string::npos);
}

}  // namespace
