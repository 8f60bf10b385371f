// Routing: time stamps, matching, repeat suppression and MARK selection.
#include <string>

#include "engine/output.h"
#include "route_fixture.h"
#include "test_util.h"

namespace {

using routetest::kT0;
using routetest::Lines;
using routetest::ReadFile;
using routetest::SetNow;

class Routing : public routetest::RouteTest {};

struct StampCase {
    const char *msg;
    const char *stamp;  // kept stamp, or the local one
    const char *text;   // text routed
};

TEST_F(Routing, TakesTheMessagesStampOrMakesTheLocalOne) {
    SetNow(1714892589);  // 2024-05-05 07:03:09 UTC
    const StampCase cases[] = {
        {"Mar 07 10:00:00 hello", "Mar 07 10:00:00", "hello"},
        {"Mar 07 10:00:01 ", "Mar 07 10:00:01", ""},  // exactly 16 characters
        {"abc de fg:hi:jk x", "abc de fg:hi:jk", "x"},
        {"Mar 07 10:00:02", "May 05 07:03:09", "Mar 07 10:00:02"},  // 15 characters
        {"Mar_07 10:00:03 a", "May 05 07:03:09", "Mar_07 10:00:03 a"},
        {"Mar 07_10:00:04 b", "May 05 07:03:09", "Mar 07_10:00:04 b"},
        {"Mar 07 10_00:05 c", "May 05 07:03:09", "Mar 07 10_00:05 c"},
        {"Mar 07 10:00_06 d", "May 05 07:03:09", "Mar 07 10:00_06 d"},
        {"Mar 07 10:00:07_e", "May 05 07:03:09", "Mar 07 10:00:07_e"},
        {"short", "May 05 07:03:09", "short"},
    };
    LogTarget *t = AddFile("m");
    std::string expected;
    for (const StampCase &c : cases) {
        logmsg(13, c.msg, "h1", 0);
        EXPECT_STREQ(t->savedstamp, c.stamp) << c.msg;
        EXPECT_STREQ(t->savedline, c.text) << c.msg;
        EXPECT_EQ(t->savedlen, static_cast<int>(std::strlen(c.text))) << c.msg;
        EXPECT_EQ(t->repeats, 0) << c.msg;
        expected += std::string(c.stamp) + " h1 " + c.text + "\r\n";
    }
    EXPECT_EQ(ReadFile(Path("m") + "_20240505.LOG"), expected);
}

TEST_F(Routing, LocalStampIsZeroPaddedWithEnglishMonths) {
    const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m) {
        struct tm tm = {};
        tm.tm_year = 99;
        tm.tm_mon = m;
        tm.tm_mday = 5;
        tm.tm_hour = 7;
        tm.tm_min = 3;
        tm.tm_sec = 9;
        char stamp[STAMP_SIZE];
        MakeStamp(static_cast<time_t>(testsupport::TimeGm(&tm)), stamp);
        EXPECT_EQ(std::string(stamp), std::string(months[m]) + " 05 07:03:09");
    }
}

TEST_F(Routing, TracesEveryMessageFirst) {
    logmsg(13, "hello", "h1", 1);
    ASSERT_FALSE(Lines().empty());
    EXPECT_EQ(Lines()[0], "logmsg: pri 15, flags 1, from h1, msg hello\n");
}

struct LevelCase {
    uint8_t entry;
    int pri;
    bool matches;
};

TEST_F(Routing, MatchesEntriesNotBelowTheLevel) {
    const LevelCase cases[] = {
        {5, 6, false},       {6, 6, true},  {7, 6, true},
        {NOLEVEL, 6, false}, {0, 0, true},  {NOLEVEL, 0, false},
        {7, 7, true},        {6, 7, false}, {6, 8 + 6, true /* user.info */},
        {5, 8 + 6, false},
    };
    for (const LevelCase &c : cases) {
        EngineResetForTest();
        LogTarget *t = Add(TargetKind::WALL);
        t->levels[c.pri >> 3] = c.entry;
        logmsg(c.pri, "text", "h1", 0);
        EXPECT_EQ(std::string(t->savedline) == "text", c.matches)
            << "entry " << int(c.entry) << " pri " << c.pri;
    }
}

TEST_F(Routing, FacilitiesBeyondTheTableMatchNothing) {
    // The record's bytes behind levels are zero: read as entries, they would
    // select every level.
    for (int fac = 25; fac <= 127; ++fac) {
        EngineResetForTest();
        LogTarget *t = Add(TargetKind::WALL);
        std::memset(t->levels, 7, sizeof t->levels);
        logmsg(fac * 8, "text", "h1", 0);
        EXPECT_EQ(t->savedstamp[0], '\0') << "facility " << fac;
        EXPECT_EQ(t->lastwrite, 0) << "facility " << fac;
    }
}

TEST_F(Routing, MarkFacilityFromPriorityOrFlag) {
    LogTarget *t = Add(TargetKind::WALL);
    t->levels[MARK_FACILITY] = 6;
    logmsg(24 * 8 + 6, "received mark.info", "h1", 0);
    EXPECT_STREQ(t->savedline, "received mark.info");
    SetNow(kT0 + 600);
    logmsg(6, "-- MARK --", "loghost", LM_STAMP | LM_MARK);  // kern.info, filed under mark
    EXPECT_STREQ(t->savedline, "-- MARK --");
}

TEST_F(Routing, NoConsoleFlagSkipsConsoleTargets) {
    LogTarget *c = Add(TargetKind::CONSOLE);
    std::memset(c->levels, 7, sizeof c->levels);
    LogTarget *w = Add(TargetKind::WALL);
    std::memset(w->levels, 7, sizeof w->levels);
    logmsg(13, "text", "h1", LM_NOCONSOLE);
    EXPECT_EQ(c->savedstamp[0], '\0');
    EXPECT_STREQ(w->savedline, "text");
}

TEST_F(Routing, WithoutRulesTheMessageIsDropped) {
    LogTarget *t = AddFile("m");
    engine.rulesready = 0;
    engine.constarget.kind = TargetKind::CONSOLE;  // filename: consdev, empty
    logmsg(13, "text", "h1", 0);
    EXPECT_EQ(t->savedstamp[0], '\0');
    EXPECT_EQ(engine.constarget.fd, -1);
    EXPECT_EQ(engine.constarget.lastwrite, 0);
    EXPECT_FALSE(std::filesystem::exists(Day("m")));
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0], "logmsg: pri 15, flags 0, from h1, msg text\n");
}

// The same text from the same host every 10 seconds, 0 to 110.
TEST_F(Routing, RepeatsFollowTheWorkedTiming) {
    LogTarget *t = AddFile("m");
    for (int s = 0; s <= 110; s += 10) {
        SetNow(kT0 + s);
        logmsg(13, "hello", "h1", 0);
        if (s == 40) {
            EXPECT_EQ(t->repeats, 0);
            EXPECT_EQ(t->backoff, 1u);
            EXPECT_EQ(t->lastwrite, kT0 + 40);
        } else if (s > 0 && s < 40) {
            EXPECT_EQ(t->repeats, s / 10);
            EXPECT_EQ(t->backoff, 0u);
        } else if (s > 40 && s < 110) {
            EXPECT_EQ(t->repeats, (s - 40) / 10) << s;
            EXPECT_EQ(t->lastwrite, kT0 + 40);
        }
    }
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(t->lastwrite, kT0 + 110);
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 hello\r\n"
              "Mar 07 10:00:40 h1 last message repeated 4 times\r\n"
              "Mar 07 10:01:50 h1 last message repeated 7 times\r\n");
    EXPECT_EQ(routetest::CountLines("msg repeated 4 times, 40 sec of 30\n"), 1);
    EXPECT_EQ(routetest::CountLines("msg repeated 6 times, 60 sec of 60\n"), 1);
    EXPECT_EQ(routetest::CountLines("msg repeated 7 times, 70 sec of 60\n"), 1);
}

TEST_F(Routing, DifferentTextWritesThePendingCountFirst) {
    LogTarget *t = AddFile("m");
    for (int s : {0, 10, 20}) {
        SetNow(kT0 + s);
        logmsg(13, "a", "h1", 0);
    }
    SetNow(kT0 + 25);
    logmsg(13, "b", "h1", 0);
    // One pending repeat writes the kept line again, with the repeat's stamp.
    SetNow(kT0 + 26);
    logmsg(13, "b", "h1", 0);
    SetNow(kT0 + 27);
    logmsg(13, "c", "h1", 0);
    EXPECT_EQ(t->backoff, 0u);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 a\r\n"
              "Mar 07 10:00:20 h1 last message repeated 2 times\r\n"
              "Mar 07 10:00:25 h1 b\r\n"
              "Mar 07 10:00:26 h1 b\r\n"
              "Mar 07 10:00:27 h1 c\r\n");
}

TEST_F(Routing, RepeatAtTheDelayIsCountedOneSecondLaterWritten) {
    LogTarget *t = AddFile("m");
    logmsg(13, "a", "h1", 0);
    SetNow(kT0 + 30);
    logmsg(13, "a", "h1", 0);
    EXPECT_EQ(t->repeats, 1);
    EXPECT_EQ(t->lastwrite, kT0);
    EXPECT_EQ(ReadFile(Day("m")), "Mar 07 10:00:00 h1 a\r\n");

    LogTarget *u = AddFile("n");
    SetNow(kT0);
    logmsg(14, "x", "h1", 0);
    SetNow(kT0 + 31);
    logmsg(14, "x", "h1", 0);
    EXPECT_EQ(u->repeats, 0);
    EXPECT_EQ(u->backoff, 1u);
    EXPECT_EQ(u->lastwrite, kT0 + 31);
    EXPECT_EQ(ReadFile(Day("n")), "Mar 07 10:00:00 h1 x\r\nMar 07 10:00:31 h1 x\r\n");
}

TEST_F(Routing, SameTextFromTwoHostsIsNeverARepeat) {
    LogTarget *t = AddFile("m");
    logmsg(13, "a", "h1", 0);
    logmsg(13, "a", "h2", 0);
    logmsg(13, "a", "H2", 0);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 a\r\nMar 07 10:00:00 h2 a\r\nMar 07 10:00:00 H2 a\r\n");
}

TEST_F(Routing, LongTextsAreWrittenButNotKept) {
    LogTarget *t = AddFile("m");
    const std::string kept(239, 'k');
    const std::string longer(240, 'l');
    logmsg(13, kept.c_str(), "h1", 0);
    logmsg(13, kept.c_str(), "h1", 0);
    EXPECT_EQ(t->repeats, 1);
    EXPECT_EQ(t->savedlen, 239);

    logmsg(13, longer.c_str(), "h1", 0);  // writes the pending 239 first
    logmsg(13, longer.c_str(), "h1", 0);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_STREQ(t->savedline, "");
    EXPECT_EQ(t->savedlen, SAVEDLEN_NOTKEPT);

    // Nothing was kept: an empty text is a message of its own.
    logmsg(13, "", "h1", 0);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(t->savedlen, 0);
    // A kept empty text is repeated by the next one.
    logmsg(13, "", "h1", 0);
    EXPECT_EQ(t->repeats, 1);

    const std::string s = "Mar 07 10:00:00 h1 ";
    EXPECT_EQ(ReadFile(Day("m")), s + kept + "\r\n" + s + kept + "\r\n" + s + longer + "\r\n" + s +
                                      longer + "\r\n" + s + "\r\n");
}

TEST_F(Routing, FreshTargetKeepsNothingToRepeat) {
    LogTarget *t = Add(TargetKind::WALL);
    std::memset(t->levels, 7, sizeof t->levels);
    logmsg(13, "", "", 0);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(t->backoff, 0u);
    EXPECT_EQ(t->lastwrite, kT0);
    EXPECT_STREQ(t->savedstamp, "Mar 07 10:00:00");
    for (const std::string &line : Lines()) {
        EXPECT_NE(line.rfind("msg repeated", 0), 0u) << line;
    }
    logmsg(13, "", "", 0);
    EXPECT_EQ(t->repeats, 1);
    EXPECT_EQ(routetest::CountLines("msg repeated 1 times, 0 sec of 30\n"), 1);
}

TEST_F(Routing, MarkReachesOnlyTargetsIdleFor600Seconds) {
    LogTarget *recent = AddFile("recent");
    LogTarget *idle = AddFile("idle");
    SetNow(kT0 + 1000);
    recent->lastwrite = static_cast<int32_t>(kT0 + 1000 - 599);
    idle->lastwrite = static_cast<int32_t>(kT0 + 1000 - 600);
    logmsg(6, "-- MARK --", "loghost", LM_STAMP | LM_MARK);
    EXPECT_FALSE(std::filesystem::exists(Day("recent")));
    EXPECT_EQ(ReadFile(Day("idle")), "Mar 07 10:16:40 loghost -- MARK --\r\n");
    EXPECT_EQ(recent->lastwrite, kT0 + 401);
}

TEST_F(Routing, MarkIsNeverARepeatAndReplacesTheKeptText) {
    LogTarget *t = AddFile("m");
    logmsg(13, "a", "loghost", 0);
    SetNow(kT0 + 600);
    logmsg(6, "-- MARK --", "loghost", LM_STAMP | LM_MARK);
    SetNow(kT0 + 1200);
    logmsg(6, "-- MARK --", "loghost", LM_STAMP | LM_MARK);
    logmsg(13, "a", "loghost", 0);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 loghost a\r\n"
              "Mar 07 10:10:00 loghost -- MARK --\r\n"
              "Mar 07 10:20:00 loghost -- MARK --\r\n"
              "Mar 07 10:20:00 loghost a\r\n");
}

}  // namespace
