// The mark tick: MARK every 40 quiet ticks to idle targets, timed flush of
// pending repeat counts.
#include <string>

#include "route_fixture.h"

namespace {

using routetest::kT0;
using routetest::SetNow;

class MarkTick : public routetest::RouteTest {
  protected:
    // One quiet period: the clock moves 30 seconds, then the timer fires.
    void Tick() {
        now_ += 30;
        SetNow(now_);
        marktick(0, 0, 0, 0, 0);
    }
    time_t now_ = kT0;
};

TEST_F(MarkTick, FortiethQuietTickRoutesMarkToIdleTargets) {
    AddFile("idle");
    for (int i = 1; i < 40; ++i) {
        Tick();
    }
    EXPECT_FALSE(std::filesystem::exists(Day("idle")));
    Tick();
    EXPECT_EQ(engine.markelapsed, 0);
    EXPECT_EQ(routetest::ReadFile(Day("idle")), "Mar 07 10:20:00 loghost -- MARK --\r\n");
}

// Written by the first tick 30 seconds after the last write, then 60.
TEST_F(MarkTick, FlushesPendingCountOnceTheDelayIsReached) {
    LogTarget *t = AddFile("m");
    for (int s : {0, 5, 10, 15}) {
        SetNow(kT0 + s);
        logmsg(13, "a", "h1", 0);
    }
    Tick();  // 30 seconds after the first
    SetNow(kT0 + 31);
    logmsg(13, "a", "h1", 0);
    logmsg(13, "a", "h1", 0);
    now_ = kT0 + 59;
    Tick();  // 59 seconds after the last write
    EXPECT_EQ(t->repeats, 2);
    now_ = kT0 + 60;
    Tick();
    EXPECT_EQ(routetest::ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 a\r\n"
              "Mar 07 10:00:15 h1 last message repeated 3 times\r\n"
              "Mar 07 10:00:31 h1 last message repeated 2 times\r\n");
}

}  // namespace
