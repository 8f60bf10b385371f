// Routing: time stamps, matching, repeat suppression and MARK selection.
#include <string>

#include "route_fixture.h"

namespace {

using routetest::kT0;
using routetest::ReadFile;
using routetest::SetNow;

class Routing : public routetest::RouteTest {
  protected:
    // The same text from the same host at each of the seconds after kT0.
    void Send(std::initializer_list<int> seconds, const char *text) {
        for (int s : seconds) {
            SetNow(kT0 + s);
            logmsg(13, text, "h1", 0);
        }
    }
};

TEST_F(Routing, TakesTheMessagesStampOrMakesTheLocalOne) {
    SetNow(1714892589);  // 2024-05-05 07:03:09 UTC
    const struct {
        const char *msg;
        const char *line;  // as written
    } cases[] = {
        {"Mar 07 10:00:00 hello", "Mar 07 10:00:00 h1 hello"},
        {"Mar 07 10:00:01 ", "Mar 07 10:00:01 h1 "},  // exactly 16 characters
        {"abc de fg:hi:jk x", "abc de fg:hi:jk h1 x"},
        {"Mar 07 10:00:02", "May 05 07:03:09 h1 Mar 07 10:00:02"},  // 15 characters
        {"Mar_07 10:00:03 a", "May 05 07:03:09 h1 Mar_07 10:00:03 a"},
        {"Mar 07_10:00:04 b", "May 05 07:03:09 h1 Mar 07_10:00:04 b"},
        {"Mar 07 10_00:05 c", "May 05 07:03:09 h1 Mar 07 10_00:05 c"},
        {"Mar 07 10:00_06 d", "May 05 07:03:09 h1 Mar 07 10:00_06 d"},
        {"Mar 07 10:00:07_e", "May 05 07:03:09 h1 Mar 07 10:00:07_e"},
    };
    AddFile("m");
    std::string expected;
    for (const auto &c : cases) {
        logmsg(13, c.msg, "h1", 0);
        expected += std::string(c.line) + "\r\n";
    }
    EXPECT_EQ(ReadFile(Path("m") + "_20240505.LOG"), expected);
}

TEST_F(Routing, MatchesEntriesNotBelowTheLevelOfTheFacility) {
    const struct {
        uint8_t entry;
        int pri;
        bool matches;
    } cases[] = {{5, 6, false},         {6, 6, true},
                 {7, 6, true},          {NOLEVEL, 6, false},
                 {0, 0, true},          {NOLEVEL, 0, false},
                 {6, 8 + 6, true},      {5, 8 + 6, false},
                 {6, 24 * 8 + 6, true}, {NOLEVEL, 24 * 8 + 6, false}};
    for (const auto &c : cases) {
        EngineResetForTest();
        LogTarget *t = Add(TargetKind::WALL);
        t->levels[c.pri >> 3] = c.entry;
        logmsg(c.pri, "text", "h1", 0);
        EXPECT_EQ(t->lastwrite == kT0, c.matches) << "entry " << int(c.entry) << " pri " << c.pri;
    }
    // The record's bytes behind levels are zero: read as entries, they would
    // select every level of facilities 25 to 127.
    for (int fac = 25; fac <= 127; ++fac) {
        EngineResetForTest();
        LogTarget *t = Add(TargetKind::WALL, 7);
        logmsg(fac * 8, "text", "h1", 0);
        EXPECT_EQ(t->lastwrite, 0) << "facility " << fac;
    }
    // LM_MARK files a message under mark, LM_NOCONSOLE skips the consoles.
    LogTarget *mark = Add(TargetKind::WALL);
    mark->levels[MARK_FACILITY] = 6;
    LogTarget *console = Add(TargetKind::CONSOLE, 7);
    logmsg(6, "-- MARK --", "loghost", LM_STAMP | LM_MARK | LM_NOCONSOLE);
    EXPECT_EQ(mark->lastwrite, kT0);
    EXPECT_EQ(console->lastwrite, 0);
}

TEST_F(Routing, WithoutRulesOnlyTheConsoleDeviceTakesTheMessage) {
    AddFile("m");
    engine.rulesready = 0;
    engine.constarget.kind = TargetKind::CONSOLE;  // filename: consdev, empty
    logmsg(13, "text", "h1", 0);
    EXPECT_EQ(engine.constarget.fd, -1);
    EXPECT_EQ(engine.constarget.lastwrite, 0);
    EXPECT_FALSE(std::filesystem::exists(Day("m")));
}

// The same text from the same host every 10 seconds, 0 to 110.
TEST_F(Routing, RepeatsFollowTheWorkedTiming) {
    LogTarget *t = AddFile("m");
    for (int s = 0; s <= 110; s += 10) {
        Send({s}, "hello");
        // Counted up to 30 seconds after the last write, then 60.
        EXPECT_EQ(t->repeats, s <= 30 ? s / 10 : s == 40 || s == 110 ? 0 : (s - 40) / 10) << s;
        EXPECT_EQ(t->backoff, s < 40 ? 0u : 1u) << s;
    }
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 hello\r\n"
              "Mar 07 10:00:40 h1 last message repeated 4 times\r\n"
              "Mar 07 10:01:50 h1 last message repeated 7 times\r\n");
}

// One pending repeat writes the kept line again, with the repeat's stamp.
TEST_F(Routing, DifferentTextWritesThePendingCountFirst) {
    LogTarget *t = AddFile("m");
    Send({0, 10, 20}, "a");
    Send({25, 26}, "b");
    Send({27}, "c");
    EXPECT_EQ(t->backoff, 0u);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 a\r\n"
              "Mar 07 10:00:20 h1 last message repeated 2 times\r\n"
              "Mar 07 10:00:25 h1 b\r\n"
              "Mar 07 10:00:26 h1 b\r\n"
              "Mar 07 10:00:27 h1 c\r\n");
}

// A host longer than the record holds is cut to it.
TEST_F(Routing, SameTextFromTwoHostsIsNeverARepeat) {
    LogTarget *t = AddFile("m");
    const std::string longhost(HOSTNAME_SIZE, 'x');
    for (const std::string &host : {std::string("h1"), std::string("H1"), longhost}) {
        logmsg(13, "a", host.c_str(), 0);
    }
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 a\r\nMar 07 10:00:00 H1 a\r\nMar 07 10:00:00 " +
                  longhost.substr(1) + " a\r\n");
}

TEST_F(Routing, LongTextsAreWrittenButNotKept) {
    LogTarget *t = AddFile("m");
    const std::string kept(239, 'k');
    const std::string longer(240, 'l');
    Send({0, 0}, kept.c_str());
    EXPECT_EQ(t->repeats, 1);
    Send({0, 0}, longer.c_str());  // writes the pending 239 first
    EXPECT_EQ(t->repeats, 0);
    // Nothing was kept: an empty text is a message of its own; kept, the next
    // one repeats it.
    Send({0, 0}, "");
    EXPECT_EQ(t->repeats, 1);
    const std::string s = "Mar 07 10:00:00 h1 ";
    EXPECT_EQ(ReadFile(Day("m")), s + kept + "\r\n" + s + kept + "\r\n" + s + longer + "\r\n" + s +
                                      longer + "\r\n" + s + "\r\n");
}

// A fresh record keeps an empty text from an empty host: no repeat of it.
TEST_F(Routing, FreshTargetKeepsNothingToRepeat) {
    LogTarget *t = Add(TargetKind::WALL, 7);
    logmsg(13, "", "", 0);
    EXPECT_EQ(t->repeats, 0);
    logmsg(13, "", "", 0);
    EXPECT_EQ(t->repeats, 1);
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
}

TEST_F(Routing, MarkIsNeverARepeatAndReplacesTheKeptText) {
    LogTarget *t = AddFile("m");
    logmsg(13, "a", "loghost", 0);
    for (int s : {600, 1200}) {
        SetNow(kT0 + s);
        logmsg(6, "-- MARK --", "loghost", LM_STAMP | LM_MARK);
    }
    logmsg(13, "a", "loghost", 0);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 loghost a\r\n"
              "Mar 07 10:10:00 loghost -- MARK --\r\n"
              "Mar 07 10:20:00 loghost -- MARK --\r\n"
              "Mar 07 10:20:00 loghost a\r\n");
}

}  // namespace
