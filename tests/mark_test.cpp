// The mark tick: MARK every 40 quiet ticks to idle targets, timed flush of
// pending repeat counts.
#include <string>

#include "route_fixture.h"

namespace {

using routetest::CountLines;
using routetest::kT0;
using routetest::Lines;
using routetest::ReadFile;
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
    LogTarget *idle = AddFile("idle");
    LogTarget *busy = AddFile("busy");
    LogTarget *nomark = AddFile("nomark");
    nomark->levels[MARK_FACILITY] = NOLEVEL;
    idle->lastwrite = static_cast<int32_t>(kT0 - 1000);
    // At the 40th tick (kT0 + 1200) its last write is 599 seconds old.
    busy->lastwrite = static_cast<int32_t>(kT0 + 601);
    nomark->lastwrite = static_cast<int32_t>(kT0 - 1000);
    for (int i = 1; i < 40; ++i) {
        Tick();
        EXPECT_EQ(engine.markelapsed, 30 * i);
    }
    EXPECT_EQ(CountLines("logmsg: pri 6, flags c, from loghost, msg -- MARK --\n"), 0);
    Tick();
    EXPECT_EQ(engine.markelapsed, 0);
    EXPECT_EQ(CountLines("logmsg: pri 6, flags c, from loghost, msg -- MARK --\n"), 1);
    EXPECT_EQ(ReadFile(Day("idle")), "Mar 07 10:20:00 loghost -- MARK --\r\n");
    EXPECT_FALSE(std::filesystem::exists(Day("busy")));
    EXPECT_FALSE(std::filesystem::exists(Day("nomark")));

    // Not retried for the busy target: the count starts again from 0; the next
    // MARK comes 40 ticks later and reaches both.
    for (int i = 1; i < 40; ++i) {
        Tick();
    }
    EXPECT_FALSE(std::filesystem::exists(Day("busy")));
    Tick();
    EXPECT_EQ(ReadFile(Day("idle")),
              "Mar 07 10:20:00 loghost -- MARK --\r\n"
              "Mar 07 10:40:00 loghost -- MARK --\r\n");
    EXPECT_EQ(ReadFile(Day("busy")), "Mar 07 10:40:00 loghost -- MARK --\r\n");
    EXPECT_FALSE(std::filesystem::exists(Day("nomark")));
}

TEST_F(MarkTick, ElapsedIsResetWithoutAnyMarkTarget) {
    LogTarget *t = AddFile("m");
    t->levels[MARK_FACILITY] = NOLEVEL;
    engine.markelapsed = 1170;
    Tick();
    EXPECT_EQ(engine.markelapsed, 0);
    EXPECT_EQ(t->lastwrite, 0);
    EXPECT_FALSE(std::filesystem::exists(Day("m")));

    EngineResetForTest();  // no targets at all
    engine.markelapsed = 1190;
    Tick();
    EXPECT_EQ(engine.markelapsed, 0);
}

TEST_F(MarkTick, FlushesPendingCountOnceTheDelayIsReached) {
    LogTarget *t = AddFile("m");
    logmsg(13, "a", "h1", 0);  // kT0
    for (int s : {5, 10, 15}) {
        SetNow(kT0 + s);
        logmsg(13, "a", "h1", 0);
    }
    ASSERT_EQ(t->repeats, 3);
    EXPECT_EQ(t->backoff, 0u);

    now_ = kT0 - 1;
    Tick();  // 29 seconds after the last write
    EXPECT_EQ(t->repeats, 3);
    Lines().clear();
    now_ = kT0;
    Tick();  // 30 seconds
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(t->backoff, 1u);
    EXPECT_EQ(t->lastwrite, kT0 + 30);
    EXPECT_EQ(CountLines("flush FILE: repeated 3 times, 30 sec.\n"), 1);

    // The next pending count waits 60 seconds.
    SetNow(kT0 + 31);
    logmsg(13, "a", "h1", 0);
    logmsg(13, "a", "h1", 0);
    now_ = kT0 + 59;
    Tick();  // 59 seconds after the last write
    EXPECT_EQ(t->repeats, 2);
    now_ = kT0 + 60;
    Tick();  // 60 seconds
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(t->backoff, 1u);
    EXPECT_EQ(CountLines("flush FILE: repeated 2 times, 60 sec.\n"), 1);

    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 a\r\n"
              "Mar 07 10:00:15 h1 last message repeated 3 times\r\n"
              "Mar 07 10:00:31 h1 last message repeated 2 times\r\n");
}

TEST_F(MarkTick, OnePendingRepeatWritesTheKeptLineWithTheRepeatsStamp) {
    LogTarget *t = AddFile("m");
    logmsg(13, "a", "h1", 0);
    SetNow(kT0 + 10);
    logmsg(13, "a", "h1", 0);
    ASSERT_EQ(t->repeats, 1);
    Tick();  // kT0 + 30
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(CountLines("flush FILE: repeated 1 times, 30 sec.\n"), 1);
    EXPECT_EQ(ReadFile(Day("m")), "Mar 07 10:00:00 h1 a\r\nMar 07 10:00:10 h1 a\r\n");
}

TEST_F(MarkTick, TargetsWithoutPendingCountsAreLeftAlone) {
    LogTarget *t = AddFile("m");
    logmsg(13, "a", "h1", 0);
    Lines().clear();
    for (int i = 0; i < 5; ++i) {
        Tick();
    }
    EXPECT_EQ(t->lastwrite, kT0);
    EXPECT_EQ(Lines().size(), 0u);
    EXPECT_EQ(ReadFile(Day("m")), "Mar 07 10:00:00 h1 a\r\n");
}

}  // namespace
