// Target output: daily files, devices, forwarded datagrams and failures.
#include <cerrno>
#include <string>

#include "engine/output.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "route_fixture.h"
#include "test_util.h"

namespace {

using routetest::CountLines;
using routetest::kT0;
using routetest::Lines;
using routetest::ReadFile;
using routetest::SetNow;

constexpr uint32_t kLoopback = 0x0100007f;  // 127.0.0.1, network byte order

class Output : public routetest::RouteTest {
  protected:
    void TearDown() override {
        if (receiver_ != kInvalidSocket) {
            SockClose(receiver_);
        }
        RouteTest::TearDown();
    }

    // A FORW target sending to a UDP socket of this process on 127.0.0.1.
    LogTarget *AddForwarder() {
        engine.logsock = SockUdp();
        receiver_ = SockUdp();
        EXPECT_NE(engine.logsock.load(), kInvalidSocket);
        EXPECT_NE(receiver_, kInvalidSocket);
        SockAddrIn addr;
        EXPECT_TRUE(testutil::BindLoopback(receiver_, &addr));
        LogTarget *t = Add(TargetKind::FORW);
        std::memset(t->levels, 7, sizeof t->levels);
        std::snprintf(t->dest.forw.forwhost, sizeof t->dest.forw.forwhost, "relay");
        t->dest.forw.forwaddr = addr;
        return t;
    }

    // The next datagram on the receiver; call only after a send succeeded.
    std::string Receive() {
        char buf[2048];
        SockAddrIn from;
        int truncated = 0;
        int n = SockReceive(receiver_, buf, sizeof buf, &from, &truncated);
        return n < 0 ? std::string("<receive failed>") : std::string(buf, n);
    }

    SockHandle receiver_ = kInvalidSocket;
};

TEST_F(Output, DailyFilesEitherSideOfLocalMidnight) {
    LogTarget *t = AddFile("messages");
    SetNow(1709855999);  // 2024-03-07 23:59:59
    logmsg(13, "one", "h1", 0);
    SetNow(1709856000);  // 2024-03-08 00:00:00
    EXPECT_FALSE(std::filesystem::exists(Path("messages") + "_20240308.LOG"));
    logmsg(13, "two", "h1", 0);
    EXPECT_EQ(ReadFile(Path("messages") + "_20240307.LOG"), "Mar 07 23:59:59 h1 one\r\n");
    EXPECT_EQ(ReadFile(Path("messages") + "_20240308.LOG"), "Mar 08 00:00:00 h1 two\r\n");
    EXPECT_GE(t->fd, 0);  // the file of the last write stays open
    EXPECT_EQ(t->kind, TargetKind::FILE);
    EXPECT_EQ(CountLines("Log<" + Path("messages") + "_20240308.LOG> opened\n"), 1);
    EXPECT_EQ(CountLines("Logging to FILE"), 2);
    EXPECT_EQ(CountLines(" " + Path("messages") + "\n"), 2);
}

// The open file serves while its name leads to it: moved away, deleted or
// replaced between two datagrams, the second goes to a new file of the name.
TEST_F(Output, ANameThatNoLongerLeadsToTheOpenFileIsOpenedAnew) {
    const struct {
        const char *what;
        std::string moved;  // where the first line is found afterwards ("" for nowhere)
    } cases[] = {{"moved", ".1"}, {"deleted", ""}, {"replaced", ".old"}};
    for (const auto &c : cases) {
        const std::string day = Day(c.what);
        LogTarget *t = AddFile(c.what);
        logmsg(13, "one", "h1", 0);
        if (c.moved == ".1") {
            std::filesystem::rename(day, day + ".1");
        } else if (c.moved.empty()) {
            std::filesystem::remove(day);
            if (std::filesystem::exists(day)) {
                // A system that keeps a deleted file's name while it is open
                // (wine) tells nothing of the delete: nothing to check there.
                std::memset(t->levels, NOLEVEL, sizeof t->levels);
                continue;
            }
        } else {
            std::filesystem::rename(day, day + ".old");
            std::ofstream(day, std::ios::binary) << "other\r\n";
        }
        logmsg(13, "two", "h1", 0);
        const std::string extra = c.moved == ".old" ? "other\r\n" : "";
        EXPECT_EQ(ReadFile(day), extra + "Mar 07 10:00:00 h1 two\r\n") << c.what;
        if (!c.moved.empty()) {
            EXPECT_EQ(ReadFile(day + c.moved), "Mar 07 10:00:00 h1 one\r\n") << c.what;
        }
        std::memset(t->levels, NOLEVEL, sizeof t->levels);  // out of the next round
    }
}

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
        logmsg(13, "u2", "h1", 0);
        SetNow(1709856000);
        logmsg(17, "m2", "h1", 0);
        logmsg(13, "u3", "h1", 0);
        EXPECT_EQ(ReadFile(Path("all") + "_20240308.LOG"), "");
    }
    EXPECT_EQ(ReadFile(Path("all") + "_20240307.LOG"),
              "Mar 07 23:59:59 h1 u1\r\nMar 07 23:59:59 h1 m1\r\nMar 07 23:59:59 h1 u2\r\n");
    EXPECT_EQ(ReadFile(Path("all") + "_20240308.LOG"),
              "Mar 08 00:00:00 h1 m2\r\nMar 08 00:00:00 h1 u3\r\n");
    EXPECT_EQ(ReadFile(Path("mail") + "_20240307.LOG"), "Mar 07 23:59:59 h1 m1\r\n");
    EXPECT_EQ(ReadFile(Path("mail") + "_20240308.LOG"), "Mar 08 00:00:00 h1 m2\r\n");
}

TEST_F(Output, LongTextWrittenWholeToAFile) {
    AddFile("m");
    const std::string text(300, 'x');
    logmsg(13, text.c_str(), "h1", 0);
    EXPECT_EQ(ReadFile(Day("m")), "Mar 07 10:00:00 h1 " + text + "\r\n");
}

TEST_F(Output, RepeatsOneWritesTheKeptLineAndFiveTheCount) {
    LogTarget *t = AddFile("m");
    std::snprintf(t->savedstamp, sizeof t->savedstamp, "Mar 07 09:59:59");
    std::snprintf(t->savedhost, sizeof t->savedhost, "h1");
    std::snprintf(t->savedline, sizeof t->savedline, "kept");
    t->savedlen = 4;
    t->repeats = 1;
    {
        EngineGuard hold;
        writetarget(t, 0, nullptr);
        EXPECT_EQ(t->repeats, 0);
        EXPECT_EQ(t->lastwrite, kT0);
        SetNow(kT0 + 5);
        t->repeats = 5;
        writetarget(t, 0, nullptr);
        EXPECT_EQ(t->repeats, 0);
        EXPECT_EQ(t->lastwrite, kT0 + 5);
    }
    EXPECT_EQ(ReadFile(Day("m")),
              "Mar 07 09:59:59 h1 kept\r\n"
              "Mar 07 09:59:59 h1 last message repeated 5 times\r\n");
}

TEST_F(Output, TargetsThatWriteNothingStillTakeTheWrite) {
    const struct {
        TargetKind kind;
        const char *trace;
    } cases[] = {
        {TargetKind::USERS, "Logging to USERS"},
        {TargetKind::WALL, "Logging to WALL"},
        {TargetKind::UNUSED, "Logging to UNUSED"},
    };
    for (const auto &c : cases) {
        Lines().clear();
        LogTarget *t = Add(c.kind);
        t->repeats = 3;
        writetarget(t, 0, "text");
        EXPECT_EQ(t->lastwrite, kT0);
        EXPECT_EQ(t->repeats, 0);
        ASSERT_EQ(Lines().size(), 2u);
        EXPECT_EQ(Lines()[0], c.trace);
        EXPECT_EQ(Lines()[1], "\n");
    }
}

TEST_F(Output, ConsoleIgnoredWithNoConsoleFlag) {
    LogTarget *t = Add(TargetKind::CONSOLE);
    std::snprintf(t->dest.filename, sizeof t->dest.filename, "%s", Path("console").c_str());
    t->repeats = 2;
    writetarget(t, LM_NOCONSOLE, "text");
    EXPECT_EQ(t->lastwrite, kT0);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_EQ(t->kind, TargetKind::CONSOLE);
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines()[0], "Logging to CONSOLE");
    EXPECT_EQ(Lines()[1], " (ignored)\n");
    EXPECT_FALSE(std::filesystem::exists(Path("console")));
}

TEST_F(Output, DeviceLinesEndInCarriageReturnAndLineFeed) {
    // A terminal whose descriptor is not open: the failed write reopens it by
    // name, and the second attempt writes the whole line.
    std::ofstream(Path("tty")).close();
    LogTarget *t = Add(TargetKind::TTY);
    std::snprintf(t->dest.filename, sizeof t->dest.filename, "%s", Path("tty").c_str());
    std::memset(t->levels, 7, sizeof t->levels);
    logmsg(13, "text", "h1", 0);
    EXPECT_EQ(t->kind, TargetKind::TTY);
    EXPECT_GE(t->fd, 0);
    EXPECT_EQ(ReadFile(Path("tty")), "Mar 07 10:00:00 h1 text\r\r\n");
    EXPECT_EQ(CountLines("Logging to TTY"), 2);
}

TEST_F(Output, FlushFlagFlushesBufferedStreams) {
    AddFile("m");
    FILE *f = TextOpen(Path("stream").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("buffered", f);
    logmsg(13, "one", "h1", 0);
    EXPECT_EQ(ReadFile(Path("stream")), "");
    logmsg(13, "two", "h1", LM_FLUSH);
    EXPECT_EQ(ReadFile(Path("stream")), "buffered");
    std::fclose(f);
}

TEST_F(Output, FileThatCannotBeOpenedIsDisabledAndReported) {
    // A long path is shown by its head, so that the error text still fits.
    const std::string deep = "nodir/" + std::string(120, 'd');
    for (const std::string &name : {std::string("nodir/m"), deep}) {
        Lines().clear();
        const std::string other = "good" + std::to_string(name.size());
        LogTarget *bad = AddFile(name);
        LogTarget *good = AddFile(other);
        logmsg(13, "text", "h1", 0);
        EXPECT_EQ(bad->kind, TargetKind::UNUSED);
        EXPECT_EQ(bad->fd, -1);
        EXPECT_EQ(good->kind, TargetKind::FILE);
        std::string shown = Path(name);
        shown = shown.size() <= 60 ? shown : shown.substr(0, 57) + "...";
        const std::string report = "tarnwick: " + shown + ": No such file or directory";
        EXPECT_EQ(ReadFile(Day(other)), "Mar 07 10:00:00 loghost " + report +
                                            "\r\n"
                                            "Mar 07 10:00:00 h1 text\r\n");
        EXPECT_EQ(CountLines("Log<" + Path(name) + "_20240307.LOG> opened\n"), 1);
        EXPECT_EQ(CountLines(report + "\n"), 1);
        EXPECT_EQ(errno, 0);

        // Disabled, it writes nothing and reports nothing again.
        Lines().clear();
        logmsg(13, "more", "h1", 0);
        EXPECT_EQ(CountLines("Logging to UNUSED"), 1);
        EXPECT_EQ(CountLines(report + "\n"), 0);
        for (LogTarget *t : {bad, good}) {
            std::memset(t->levels, NOLEVEL, sizeof t->levels);  // out of the next round
        }
    }
}

TEST_F(Output, DeviceThatCannotBeReopenedIsDisabledAndReported) {
    LogTarget *tty = Add(TargetKind::TTY);
    std::memset(tty->levels, 7, sizeof tty->levels);
    std::snprintf(tty->dest.filename, sizeof tty->dest.filename, "%s", Path("gone").c_str());
    AddFile("good");
    logmsg(13, "text", "h1", 0);
    EXPECT_EQ(tty->kind, TargetKind::UNUSED);
    EXPECT_FALSE(std::filesystem::exists(Path("gone")));  // a device is never created
    EXPECT_EQ(ReadFile(Day("good")), "Mar 07 10:00:00 loghost tarnwick: " + Path("gone") +
                                         ": No such file or directory\r\n"
                                         "Mar 07 10:00:00 h1 text\r\n");
}

TEST_F(Output, WritepiecesReturnsTheCountOrFails) {
    const TextPiece pieces[] = {{"ab", 2}, {"\n", 1}, {"", 0}};
    int fd = TextOpenAppend(Path("w").c_str(), true);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(writepieces(fd, pieces, 3), 3);
    TextClose(fd);
    EXPECT_EQ(ReadFile(Path("w")), "ab\r\n");
    errno = 0;
    EXPECT_EQ(writepieces(-1, pieces, 3), -1);
    EXPECT_EQ(errno, EBADF);
}

struct DatagramCase {
    size_t textlen;
    size_t expectedlen;
    bool linefeed;
};

TEST_F(Output, ForwardedDatagramIsLevelBlankTextLineFeedCutTo1024) {
    LogTarget *t = AddForwarder();
    t->savedpri = 19;  // mail.err: the level alone is sent
    const DatagramCase cases[] = {
        {0, 5, true},       {300, 305, true},    {1018, 1023, true},
        {1019, 1024, true}, {1020, 1024, false}, {1500, 1024, false},
    };
    for (const DatagramCase &c : cases) {
        std::string text(c.textlen, 'a');
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>('a' + i % 26);
        }
        writetarget(t, 0, text.c_str());
        ASSERT_EQ(t->kind, TargetKind::FORW) << c.textlen;
        std::string expected = "<3> " + text + "\n";
        expected.resize(c.expectedlen);
        std::string got = Receive();
        EXPECT_EQ(got.size(), c.expectedlen) << c.textlen;
        EXPECT_EQ(got, expected) << c.textlen;
        EXPECT_EQ(got.back() == '\n', c.linefeed) << c.textlen;
    }
    EXPECT_EQ(CountLines("Logging to FORW"), 6);
    EXPECT_EQ(CountLines(" relay\n"), 6);
}

TEST_F(Output, RoutedMessagesAndRepeatCountsAreForwarded) {
    AddForwarder();
    logmsg(19, "mail trouble", "h1", 0);  // mail.err
    ASSERT_EQ(engine.targets->kind, TargetKind::FORW);
    EXPECT_EQ(Receive(), "<3> mail trouble\n");
    logmsg(19, "mail trouble", "h1", 0);
    logmsg(19, "mail trouble", "h1", 0);
    SetNow(kT0 + 31);
    logmsg(19, "mail trouble", "h1", 0);
    ASSERT_EQ(engine.targets->kind, TargetKind::FORW);
    EXPECT_EQ(Receive(), "<3> last message repeated 3 times\n");
    const std::string text(300, 'y');
    logmsg(8 + 6, text.c_str(), "h1", 0);  // user.info
    EXPECT_EQ(Receive(), "<6> " + text + "\n");
}

TEST_F(Output, FailedSendIsDisabledAndReported) {
    LogTarget *t = Add(TargetKind::FORW);
    std::memset(t->levels, 7, sizeof t->levels);
    std::snprintf(t->dest.forw.forwhost, sizeof t->dest.forw.forwhost, "relay");
    t->dest.forw.forwaddr.family = kAfInet;
    t->dest.forw.forwaddr.addr = kLoopback;
    t->dest.forw.forwaddr.port = 0x0202;
    LogTarget *good = AddFile("good");
    engine.logsock = kInvalidSocket;  // every send fails
    logmsg(13, "text", "h1", 0);
    EXPECT_EQ(t->kind, TargetKind::UNUSED);
    EXPECT_EQ(good->kind, TargetKind::FILE);
    EXPECT_EQ(ReadFile(Day("good")), std::string("Mar 07 10:00:00 loghost tarnwick: sendto: ") +
                                         RuntimeErrorText(EBADF) +
                                         "\r\n"
                                         "Mar 07 10:00:00 h1 text\r\n");
}

}  // namespace
