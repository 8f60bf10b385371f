// Routing: time stamps, matching, repeat suppression and MARK selection.
#include <string>

#include "route_fixture.h"

namespace {

using routetest::kT0;
using routetest::ReadFile;
using routetest::SetNow;

using Routing = routetest::RouteTest;

// The same text from the same host at each of the seconds after kT0.
void Send(std::initializer_list<int> seconds, const char *text) {
    for (int s : seconds) {
        SetNow(kT0 + s);
        logmsg(13, text, "h1", 0);
    }
}

TEST_F(Routing, TakesTheMessagesStampOrMakesTheLocalOne) {
    SetNow(1714892589);  // 2024-05-05 07:03:09 UTC
    const struct {
        const char *msg;
        const char *line;  // as written
    } cases[] = {
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
    } cases[] = {
        {5, 6, false}, {6, 6, true}, {NOLEVEL, 0, false}, {6, 8 + 6, true}, {6, 198, true}};
    for (const auto &c : cases) {
        EngineResetForTest();
        LogTarget *t = Add(TargetKind::WALL);
        t->levels[c.pri >> 3] = c.entry;
        logmsg(c.pri, "text", "h1", 0);
        EXPECT_EQ(t->lastwrite == kT0, c.matches) << "entry " << int(c.entry) << " pri " << c.pri;
    }
    // Facilities 25 to 127 match nothing (not the zero bytes behind levels).
    LogTarget *all = Add(TargetKind::WALL, 7);
    for (int fac = 25; fac <= 127; ++fac) {
        logmsg(fac * 8, "text", "h1", 0);
    }
    EXPECT_EQ(all->lastwrite, 0);
    // LM_MARK files under mark, to targets idle for 600 seconds, never as a
    // repeat; LM_NOCONSOLE skips the consoles.
    LogTarget *mark = Add(TargetKind::WALL);
    mark->levels[MARK_FACILITY] = 6;
    LogTarget *console = Add(TargetKind::CONSOLE, 7);
    for (int s : {0, 599, 600}) {
        SetNow(kT0 + s);
        logmsg(6, "-- MARK --", "loghost", LM_STAMP | LM_MARK | LM_NOCONSOLE);
    }
    EXPECT_EQ(mark->lastwrite, kT0 + 600);
    EXPECT_EQ(mark->backoff, 0u);  // no repeat count was written
    EXPECT_EQ(console->lastwrite, 0);
    // Without a rule table in force only the console device (none) may take it.
    engine.rulesready = 0;
    logmsg(13, "text", "h1", 0);
    EXPECT_EQ(console->lastwrite, 0);
    EXPECT_EQ(engine.constarget.lastwrite, 0);
}

// The same text every 10 seconds, 0 to 110; then new texts write the pending
// count first, one pending repeat as the kept line with the repeat's stamp.
TEST_F(Routing, RepeatsFollowTheWorkedTiming) {
    LogTarget *t = AddFile("m");
    Send({0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110}, "hello");
    Send({120, 121, 122}, "a");
    Send({123, 124}, "b");
    Send({125}, "c");
    EXPECT_EQ(t->backoff, 0u);
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 10:00:00 h1 hello\r\n"
              "Mar 07 10:00:40 h1 last message repeated 4 times\r\n"
              "Mar 07 10:01:50 h1 last message repeated 7 times\r\n"
              "Mar 07 10:02:00 h1 a\r\n"
              "Mar 07 10:02:02 h1 last message repeated 2 times\r\n"
              "Mar 07 10:02:03 h1 b\r\n"
              "Mar 07 10:02:04 h1 b\r\n"
              "Mar 07 10:02:05 h1 c\r\n");
}

// A repeat: the same kept text (under 240 bytes) and sender; a fresh record keeps nothing.
TEST_F(Routing, ARepeatIsTheKeptTextFromTheSameHost) {
    LogTarget *t = AddFile("m");
    const std::string longhost(HOSTNAME_SIZE, 'x'), kept(239, 'k'), longer(240, 'l');
    const struct {
        std::string text, host;
        int repeats;
    } cases[] = {{"", "", 0},     {"a", "h1", 0},  {"a", "H1", 0},    {"a", longhost, 0},
                 {kept, "h1", 0}, {kept, "h1", 1}, {longer, "h1", 0}, {longer, "h1", 0},
                 {"", "h1", 0},   {"", "h1", 1}};
    for (const auto &c : cases) {
        logmsg(13, c.text.c_str(), c.host.c_str(), 0);
        EXPECT_EQ(t->repeats, c.repeats) << c.text << " from " << c.host;
        EXPECT_EQ(t->backoff, 0u);  // no count was written
    }
    const std::string s = "Mar 07 10:00:00 ";
    EXPECT_EQ(ReadFile(Day("m")), s + " \r\n" + s + "h1 a\r\n" + s + "H1 a\r\n" + s +
                                      longhost.substr(1) + " a\r\n" + s + "h1 " + kept + "\r\n" +
                                      s + "h1 " + kept + "\r\n" + s + "h1 " + longer + "\r\n" + s +
                                      "h1 " + longer + "\r\n" + s + "h1 \r\n");
}

}  // namespace
