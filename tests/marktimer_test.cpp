// The mark timer in the real timer pool: routing pauses and resumes it, so
// that traffic keeps the tick from firing and marks count quiet periods.
#include <gtest/gtest.h>

#include <string>

#include "platform/mmtimer_testing.h"
#include "route_fixture.h"
#include "timer/vtm_driver_testing.h"

namespace {

using routetest::ReadFile;
using routetest::SetNow;

// A platform timer that never fires by itself: the test calls tm_tick.
int Caps(TimerCaps *caps) {
    caps->wPeriodMin = 1;
    caps->wPeriodMax = 1000000;
    return 0;
}
int Period(uint32_t) {
    return 0;
}
uint32_t next_event = 1;
uint32_t Arm(uint32_t, uint32_t, TimerEventCallback, uintptr_t) {
    return next_event++;
}
int Cancel(uint32_t) {
    return 0;
}
const TimerOps kManualTimer = {Caps, Period, Period, Arm, Cancel};

class MarkTimer : public routetest::RouteTest {
  protected:
    void SetUp() override {
        RouteTest::SetUp();
        TimerSetForTest(&kManualTimer);
        TimerPoolResetForTest();
        tm_init();
        tm_start();
        engine.marktimer = tm_settimer(30, marktick, 0, 0, 16);
        ASSERT_EQ(engine.marktimer, 0);
        engine.rulesready = 1;
        file_ = AddFile("messages");
        file_->lastwrite = static_cast<int32_t>(now_ - 3600);
    }
    void TearDown() override {
        TimerPoolResetForTest();
        TimerSetForTest(nullptr);
        RouteTest::TearDown();
    }
    // One tick of the pool, one second later.
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            SetNow(++now_);
            tm_tick(TimerPoolEventId(), 0, 0, 0, 0);
        }
    }
    time_t now_ = routetest::kT0;
    LogTarget *file_ = nullptr;
};

TEST_F(MarkTimer, TrafficEvery29SecondsKeepsTheTickFromFiring) {
    for (int i = 0; i < 20; ++i) {
        Tick(29);
        logmsg(13, ("message " + std::to_string(i)).c_str(), "client", 0);
    }
    EXPECT_EQ(engine.markelapsed, 0);
    // The first quiet period of 30 ticks fires it.
    Tick(29);
    EXPECT_EQ(engine.markelapsed, 0);
    Tick(1);
    EXPECT_EQ(engine.markelapsed, 30);
}

TEST_F(MarkTimer, AMarkComesAfterFortyQuietPeriods) {
    logmsg(13, "last words", "client", 0);
    file_->lastwrite = static_cast<int32_t>(now_ - 3600);  // idle long enough
    Tick(40 * 30 - 1);
    EXPECT_EQ(ReadFile(Day("messages")).find("-- MARK --"), std::string::npos);
    Tick(1);
    EXPECT_NE(ReadFile(Day("messages")).find("loghost -- MARK --\r\n"), std::string::npos);
    EXPECT_EQ(engine.markelapsed, 0);
}

TEST_F(MarkTimer, APendingRepeatIsWrittenWhenTheSenderFallsSilent) {
    logmsg(13, "again", "client", 0);
    Tick(1);
    logmsg(13, "again", "client", 0);
    Tick(1);
    logmsg(13, "again", "client", 0);
    EXPECT_EQ(file_->repeats, 2);
    // Thirty quiet ticks later the tick writes the count.
    Tick(30);
    EXPECT_EQ(file_->repeats, 0);
    std::string log = ReadFile(Day("messages"));
    EXPECT_NE(log.find("client last message repeated 2 times\r\n"), std::string::npos) << log;
    EXPECT_EQ(file_->backoff, 1u);
}

}  // namespace
