// Target output: daily files, devices, forwarded datagrams and failures.
#include <cerrno>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "platform/sockets.h"
#include "platform/textfile.h"
#include "route_fixture.h"

namespace {

using routetest::kT0;
using routetest::ReadFile;
using routetest::SetNow;

using Output = routetest::RouteTest;

// The lines of one hold go out when it ends, each file's in order, the day
// changing at the first line of the new one.
TEST_F(Output, AHoldAcrossMidnightAndTwoFilesKeepsEveryLineInPlace) {
    AddFile("all");
    AddFile("mail", NOLEVEL)->levels[2] = 7;  // mail.*
    {
        EngineGuard batch;
        SetNow(1709855999);  // 2024-03-07 23:59:59
        logmsg(13, "u1", "h1", 0);
        logmsg(17, "m1", "h1", 0);
        SetNow(1709856000);
        logmsg(17, "m2", "h1", 0);
        logmsg(13, "u2", "h1", 0);
        EXPECT_EQ(ReadFile(Path("all") + "_20240308.LOG"), "");
    }
    const std::string d7 = "Mar 07 23:59:59 h1 ", d8 = "Mar 08 00:00:00 h1 ";
    EXPECT_EQ(ReadFile(Day("all")), d7 + "u1\r\n" + d7 + "m1\r\n");
    EXPECT_EQ(ReadFile(Path("all") + "_20240308.LOG"), d8 + "m2\r\n" + d8 + "u2\r\n");
    EXPECT_EQ(ReadFile(Day("mail")), d7 + "m1\r\n");
}

// Moved away or replaced between two lines, the name gets a new file.
TEST_F(Output, ANameThatNoLongerLeadsToTheOpenFileIsOpenedAnew) {
    for (const std::string moved : {".1", ".old"}) {
        const std::string day = Day(moved);
        AddFile(moved);
        logmsg(13, "one", "h1", 0);
        std::filesystem::rename(day, day + moved);
        const std::string other = moved == ".old" ? "other\r\n" : "";
        testutil::WriteFile(day, other);
        logmsg(13, "two", "h1", 0);
        EXPECT_EQ(ReadFile(day), other + "Mar 07 10:00:00 h1 two\r\n") << moved;
        EXPECT_EQ(ReadFile(day + moved), "Mar 07 10:00:00 h1 one\r\n") << moved;
        EngineResetForTest();
    }
}

TEST_F(Output, TargetsThatWriteNothingStillTakeTheWrite) {
    const struct {
        TargetKind kind;
        const char *trace;
    } cases[] = {{TargetKind::WALL, "Logging to WALL"},
                 {TargetKind::CONSOLE, "Logging to CONSOLE"},
                 {static_cast<TargetKind>(99), "Logging to ?"}};
    for (const auto &c : cases) {
        LogTarget *t = Add(c.kind, NOLEVEL, Path("console"));
        t->repeats = 3;
        writetarget(t, LM_NOCONSOLE, "text");
        EXPECT_EQ(t->lastwrite, kT0);
        EXPECT_EQ(t->repeats, 0);
        EXPECT_EQ(t->kind, c.kind);
        EXPECT_TRUE(trace_.Has(c.trace)) << c.trace;
    }
    EXPECT_FALSE(std::filesystem::exists(Path("console")));
}

// A terminal not open yet: the failed write reopens it by name and writes the
// whole line.  LM_FLUSH on a device or file line flushes the buffered streams.
TEST_F(Output, DeviceLinesEndInCarriageReturnAndLineFeed) {
    std::ofstream(Path("tty")).close();
    Add(TargetKind::TTY, NOLEVEL, Path("tty"))->levels[1] = 7;  // user.*
    AddFile("m", NOLEVEL)->levels[2] = 7;                       // mail.*
    FILE *f = TextOpen(Path("stream").c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (int pri : {13, 17}) {
        std::fputs("x", f);
        logmsg(pri, "text", "h1", LM_FLUSH);
        EXPECT_EQ(ReadFile(Path("stream")), pri == 13 ? "x" : "xx");
    }
    std::fclose(f);
    EXPECT_EQ(ReadFile(Path("tty")), "Mar 07 10:00:00 h1 text\r\r\n");
}

// Disabled and reported in the other files, a long name by its head; then
// silent.  A device is never created.
TEST_F(Output, TargetThatCannotBeWrittenIsDisabledAndReported) {
    const std::string deep = "nodir/" + std::string(120, 'd');
    const struct {
        TargetKind kind;
        std::string name;
    } cases[] = {{TargetKind::FILE, deep},
                 {TargetKind::TTY, "gone"},
                 {TargetKind::FORW, "relay"}};  // logsock is not open: the send fails
    for (const auto &c : cases) {
        const std::string other = "good" + std::to_string(c.name.size());
        LogTarget *bad = Add(c.kind, 7, Path(c.name));
        LogTarget *good = AddFile(other);
        logmsg(13, "text", "h1", 0);
        logmsg(13, "more", "h1", 0);
        EXPECT_EQ(bad->kind, TargetKind::UNUSED);
        std::string shown = c.kind == TargetKind::FORW ? "sendto" : Path(c.name);
        shown = shown.size() <= 60 ? shown : shown.substr(0, 57) + "...";
        const char *why = RuntimeErrorText(c.kind == TargetKind::FORW ? EBADF : ENOENT);
        EXPECT_EQ(ReadFile(Day(other)), "Mar 07 10:00:00 loghost tarnwick: " + shown + ": " + why +
                                            "\r\nMar 07 10:00:00 h1 text\r\n"
                                            "Mar 07 10:00:00 h1 more\r\n");
        EXPECT_FALSE(std::filesystem::exists(Path("gone")));
        good->kind = TargetKind::UNUSED;  // out of the next round
    }
}

// "<" level "> " text "\n", cut to 1024 bytes (then without the line feed);
// repeats pending at the stop go out before the socket closes.
TEST_F(Output, ForwardedDatagramIsLevelBlankTextLineFeedCutTo1024) {
    engine.logsock = SockUdp();
    const SockHandle receiver = SockUdp();
    LogTarget *t = Add(TargetKind::FORW, 7);
    ASSERT_TRUE(testutil::BindLoopback(receiver, &t->dest.forw.forwaddr));
    auto receive = [receiver] {
        char buf[2048];
        SockAddrIn from;
        int truncated = 0;
        if (SockWaitReadable(receiver, 5000) != 1) {
            return std::string("(nothing)");
        }
        const int n = SockReceive(receiver, buf, sizeof buf, &from, &truncated);
        return std::string(buf, n > 0 ? n : 0);
    };
    for (size_t textlen : {0, 1019, 1020}) {
        std::string text(textlen, 'a');
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>('a' + i % 26);
        }
        logmsg(19, text.c_str(), "h1", 0);  // mail.err: the level alone is sent
        ASSERT_EQ(t->kind, TargetKind::FORW) << textlen;
        EXPECT_EQ(receive(), ("<3> " + text + "\n").substr(0, 1024));
    }
    logmsg(19, "again", "h1", 0);
    logmsg(19, "again", "h1", 0);
    logmsg(19, "again", "h1", 0);
    EXPECT_EQ(receive(), "<3> again\n");
    stopdaemon();
    EXPECT_EQ(receive(), "<3> last message repeated 2 times\n");
    SockClose(receiver);
}

}  // namespace
