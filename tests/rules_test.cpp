// The rule table: namecode, cfline's selectors and actions, the refusals of
// what does not fit, and init's load, listing and reload.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/errors.h"
#include "platform/resolver_testing.h"
#include "platform/textfile.h"
#include "service/settings.h"
#include "test_util.h"

namespace {

// A name service that answers 10.0.0.10, or fails with resolve_why; it counts
// the look-ups, and those asked while the engine lock was held.
int resolve_calls = 0, resolved_locked = 0;
const char *resolve_why = nullptr;
int FakeResolveHost(const char *, uint32_t *addr, char *why, size_t size) {
    ++resolve_calls;
    std::thread([] {
        engine.lock.try_lock() ? engine.lock.unlock() : void(++resolved_locked);
    }).join();
    if (resolve_why != nullptr) {
        errno = ENOENT;  // not the resolver's answer: never shown
        std::snprintf(why, size, "%s", resolve_why);
        return -1;
    }
    *addr = 0x0a00000a;
    return 0;
}
const ResolverOps kFakeResolver = {nullptr, FakeResolveHost};

// The 25 entries: NOLEVEL but for star given to entries 0 to 23 (unless
// negative) and the listed {index, level} pairs.
std::vector<int> Levels(int star, std::vector<std::pair<int, int>> set) {
    std::vector<int> v(LOG_NFACILITIES, NOLEVEL);
    for (int i = 0; star >= 0 && i < 24; ++i) {
        v[i] = star;
    }
    for (auto [index, level] : set) {
        v[index] = level;
    }
    return v;
}
std::vector<int> LevelsOf(const LogTarget &t) {
    return std::vector<int>(t.levels, t.levels + LOG_NFACILITIES);
}
// The entries as the listing shows them.
std::string Shown(const std::vector<int> &levels) {
    std::string s;
    for (int level : levels) {
        s += level == NOLEVEL ? std::string("X ") : std::to_string(level) + " ";
    }
    return s;
}

class RulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        SettingsResetForTest();
        ResolverSetForTest(&kFakeResolver);
        resolve_calls = resolved_locked = 0;
        resolve_why = nullptr;
        // An action path must begin with a separator: drop a drive.
        dir_ =
            tmp_.path().size() > 1 && tmp_.path()[1] == ':' ? tmp_.path().substr(2) : tmp_.path();
        ::testing::internal::CaptureStdout();
    }
    void TearDown() override {
        ::testing::internal::GetCapturedStdout();
        for (LogTarget *t : loose_) {
            if (t->kind == TargetKind::FILE && t->fd >= 0) {
                TextClose(t->fd);
            }
            delete t;
        }
        EngineResetForTest();
        ResolverSetForTest(nullptr);
        SettingsResetForTest();
    }

    // Standard output since the last call.
    std::string Stdout() {
        std::string out = ::testing::internal::GetCapturedStdout();
        ::testing::internal::CaptureStdout();
        return out;
    }
    // The engine's own messages (reporterr's), in order.
    std::vector<std::string> Reports() const {
        std::vector<std::string> out;
        for (const std::string &line : traces_.Texts()) {
            if (line.rfind("tarnwick: ", 0) == 0 && line != "tarnwick: restarted\n") {
                out.push_back(line.substr(0, line.size() - 1));
            }
        }
        return out;
    }
    // A heap record, as init makes them, parsed from line.
    LogTarget *Parse(const std::string &line) {
        traces_.Clear();
        loose_.push_back(new LogTarget());
        cfline(line.c_str(), loose_.back());
        return loose_.back();
    }
    void WriteConf(const std::string &text) {
        testutil::WriteFile(dir_ + "/syslog.conf", text);
        std::snprintf(settings.conffile, sizeof settings.conffile, "%s/syslog.conf", dir_.c_str());
    }
    std::vector<LogTarget *> Targets() const {
        std::vector<LogTarget *> out;
        for (LogTarget *t = engine.targets; t != nullptr; t = t->next) {
            out.push_back(t);
        }
        return out;
    }

    testutil::UtcZone utc_;
    testutil::ManualClock clock_{915278400000};  // 1999-01-02 12:00:00 UTC
    testutil::TraceCatcher traces_{Trace};
    testutil::TempDir tmp_;
    std::string dir_;
    std::vector<LogTarget *> loose_;
};

TEST_F(RulesTest, NamecodeLooksNamesAndNumbersUp) {
    struct Case {
        const char *name;
        const CodeName *table;
        int value;
    } const cases[] = {
        {"sALert", prionames, 1},
        {"MARK", facnames, 192},
        {"none", prionames, 16},
        {"info", facnames, -1},
        {"inf", prionames, -1},
        {"info ", prionames, -1},
        {"", prionames, -1},
        {"0", facnames, 0},
        {"105abc", facnames, 105},
        {"2147483640", facnames, 2147483640},
        // Beyond the int range the value stays at its largest.
        {"99999999999999999999", facnames, INT_MAX},
        {"2147483648", facnames, INT_MAX},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(namecode(c.name, c.table), c.value) << c.name;
    }
}

TEST_F(RulesTest, SelectorsSetTheLevelsOfTheirFacilities) {
    struct Case {
        const char *line;
        std::vector<int> levels;
        TargetKind kind;
        const char *report;  // reporterr's line, or nullptr
    } const cases[] = {
        {"mail.7\t*", Levels(-1, {{2, 7}}), TargetKind::WALL, nullptr},
        {"*.ERR\t*", Levels(3, {}), TargetKind::WALL, nullptr},
        {"*.info;mark.info\t*", Levels(6, {{24, 6}}), TargetKind::WALL, nullptr},
        // The least severe level stays; none gives way to a level after it.
        {"mail.err;mail.info\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        {"mail.info;mail.err\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        {"*.info;mail.none\t*", Levels(6, {{2, NOLEVEL}}), TargetKind::WALL, nullptr},
        {"mail.none;mail.info\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        // Numbers: a facility code names its facility, a level keeps 8 bits.
        {"17.err\t*", Levels(-1, {{2, 3}}), TargetKind::WALL, nullptr},
        {"199.err\t*", Levels(-1, {{24, 3}}), TargetKind::WALL, nullptr},
        {"mail.272\t*", Levels(-1, {{2, 16}}), TargetKind::WALL, nullptr},
        {"mail.99999999999\t*", Levels(-1, {{2, 255}}), TargetKind::WALL, nullptr},
        {"mail;news.info\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        {"mail.info;;, news.err\t*", Levels(-1, {{2, 6}, {7, 3}}), TargetKind::WALL, nullptr},
        {"mail, news.info\t*", Levels(-1, {{2, 6}, {7, 6}}), TargetKind::WALL, nullptr},
        {"\t*", Levels(-1, {}), TargetKind::WALL, nullptr},
        {"kern,user.panic;mail.emerg;daemon.alert;auth.salert;syslog.crit;lpr.err;news.error;"
         "uucp.warn;local0.warning;local1.notice;local2.info;local3.debug;local4.none;"
         "security,local5,local6,local7,mark.debug\t*",
         Levels(-1, {{0, 0},
                     {1, 0},
                     {2, 0},
                     {3, 1},
                     {4, 7},
                     {5, 2},
                     {6, 3},
                     {7, 3},
                     {8, 4},
                     {16, 4},
                     {17, 5},
                     {18, 6},
                     {19, 7},
                     {21, 7},
                     {22, 7},
                     {23, 7},
                     {24, 7}}),
         TargetKind::WALL, nullptr},
        {"mail.*\t*", Levels(-1, {}), TargetKind::UNUSED, "unknown priority name \"*\""},
        {"mail\t*", Levels(-1, {}), TargetKind::UNUSED, "unknown priority name \"\""},
        {"mail ,news.info\t*", Levels(-1, {}), TargetKind::UNUSED,
         "unknown facility name \"mail \""},
        {" mail.info\t*", Levels(-1, {}), TargetKind::UNUSED, "unknown facility name \" mail\""},
        {"mail.info /var/log/x", Levels(-1, {}), TargetKind::UNUSED,
         "unknown priority name \"info /var/log/x\""},
        {"mail.err;news.bogus\t*", Levels(-1, {{2, 3}}), TargetKind::UNUSED,
         "unknown priority name \"bogus\""},
        {"mail.err;bogus.info\t*", Levels(-1, {{2, 3}}), TargetKind::UNUSED,
         "unknown facility name \"bogus\""},
        {"200.err\t*", Levels(-1, {}), TargetKind::UNUSED, "unknown facility name \"200\""},
        {"2147483647.err\t*", Levels(-1, {}), TargetKind::UNUSED,
         "unknown facility name \"2147483647\""},
    };
    for (const Case &c : cases) {
        LogTarget *t = Parse(c.line);
        EXPECT_EQ(LevelsOf(*t), c.levels) << c.line;
        EXPECT_EQ(t->kind, c.kind) << c.line;
        std::vector<std::string> expected;
        if (c.report != nullptr) {
            expected.push_back(std::string("tarnwick: ") + c.report);
        }
        EXPECT_EQ(Reports(), expected) << c.line;
    }
}

TEST_F(RulesTest, UserListsAndWriteAll) {
    std::string many = "*.info\t";
    std::vector<std::string> twenty;
    for (int i = 1; i <= 22; ++i) {
        std::string user = std::string(1, 'u').append(std::to_string(i));
        many.append(user).append(",");
        if (i <= MAXUSERS) {
            twenty.push_back(user);
        }
    }
    struct Case {
        std::string line;
        TargetKind kind;
        std::vector<std::string> users;
    } const cases[] = {
        {"*.info\t*", TargetKind::WALL, {}},
        {"*.info\t\t \t* ignored", TargetKind::WALL, {}},
        {"*.info\troot,  operator", TargetKind::USERS, {"root", "operator"}},
        {"*.info\tabcdefghijklm", TargetKind::USERS, {"abcdefgh"}},
        {"*.info\tc:\\syslog\\x.log", TargetKind::USERS, {"c:\\syslo"}},
        {"*.info\troot ,op", TargetKind::USERS, {"root ", "op"}},
        {"*.info\t,,root", TargetKind::USERS, {"", "root"}},
        {"*.info", TargetKind::USERS, {}},
        {many, TargetKind::USERS, twenty},
    };
    for (const Case &c : cases) {
        LogTarget *t = Parse(c.line);
        EXPECT_EQ(t->kind, c.kind) << c.line;
        std::vector<std::string> want = c.users;
        want.resize(MAXUSERS);
        EXPECT_EQ(std::vector<std::string>(t->dest.users, t->dest.users + MAXUSERS), want);
        EXPECT_TRUE(Reports().empty()) << c.line;
    }
}

TEST_F(RulesTest, VerboseLinesOfTheParser) {
    const std::pair<std::string, std::string> cases[] = {
        {"mail.info\t*", "symbolic name: info ==> 6\nsymbolic name: mail ==> 16\nwrite-all\n"},
        {"mail.7;16.err\troot, op",
         "symbolic name: 7symbolic name: mail ==> 16\nsymbolic name: err ==> 3\n"
         "symbolic name: 16users: root, op\n"},
        {"mail.*\t*", "symbolic name: *"},
        {"*.info\t" + dir_ + "/f", "symbolic name: info ==> 6\nfilename: " + dir_ + "/f\n"},
    };
    for (const auto &[line, printed] : cases) {
        Stdout();
        Parse(line);
        EXPECT_EQ(Stdout(), printed) << line;
    }
    engine.verbose = 0;
    Parse("mail.info\troot");
    Parse("*.info\t*");
    Parse("*.info\t" + dir_ + "/g");
    EXPECT_EQ(Stdout(), "");
}

TEST_F(RulesTest, FileActionOpensTheDailyFileOfTheLocalDate) {
    const std::string missing = dir_ + "/missing/log";
    const std::string longest = dir_ + "/" + std::string(198 - dir_.size(), 'a');
    struct Case {
        const char *tz;
        int64_t seconds;
        std::string path;
        const char *suffix;  // nullptr: none opened
    } const cases[] = {
        {"UTC", 915278400, dir_ + "/messages", "_19990102.LOG"},
        {"UTC", 946684799, dir_ + "/d", "_19991231.LOG"},
        {"EST5", 946702800, dir_ + "/d", "_20000101.LOG"},  // 05:00 UTC: midnight in EST5
        {"EST5", 946702799, dir_ + "/d", "_19991231.LOG"},
        {"JST-9", 946652400, dir_ + "/d", "_20000101.LOG"},  // 15:00 UTC the day before
        {"UTC", 915278400, dir_ + "/log#1", "_19990102.LOG"},
        {"UTC", 915278400, longest, "_19990102.LOG"},
        {"UTC", 915278400, missing, nullptr},
    };
    for (const Case &c : cases) {
        testsupport::SetEnv("TZ", c.tz);
        testsupport::TzSet();
        clock_.Set(c.seconds * 1000);
        LogTarget *t = Parse("*.info\t" + c.path);
        if (c.suffix == nullptr) {
            EXPECT_EQ(t->kind, TargetKind::UNUSED);
            EXPECT_EQ(Reports(), std::vector<std::string>{"tarnwick: " + c.path + ": " +
                                                          RuntimeErrorText(ENOENT)});
            continue;
        }
        EXPECT_EQ(t->kind, TargetKind::FILE) << c.path;
        EXPECT_GE(t->fd, 0) << c.path;
        EXPECT_EQ(t->dest.filename, c.path);
        EXPECT_TRUE(std::filesystem::exists(c.path + c.suffix)) << c.tz << " " << c.seconds;
        EXPECT_TRUE(traces_.Has("Log<" + c.path + c.suffix + "> opened\n")) << c.path;
        EXPECT_TRUE(Reports().empty()) << c.path;
    }
}

TEST_F(RulesTest, ForwardingTakesTheAddressWhileTheSocketIsBound) {
    struct Case {
        int bound;
        const char *why;  // the name service's failure, or nullptr
        std::string host;
        TargetKind kind;
        std::string report;
    } const cases[] = {
        {0, nullptr, "loghost", TargetKind::UNUSED, ""},
        {1, nullptr, "loghost", TargetKind::FORW, ""},
        {1, nullptr, std::string(128, 'h'), TargetKind::FORW, ""},
        {1, "Name or service not known", "far", TargetKind::UNUSED,
         "tarnwick: far: Name or service not known"},
        {1, "", "far", TargetKind::UNUSED, "tarnwick: far: Unknown error"},
    };
    engine.syslogport = 0x0202;
    for (const Case &c : cases) {
        engine.portbound = c.bound;
        resolve_why = c.why;
        resolve_calls = 0;
        LogTarget *t = Parse("*.info\t@" + c.host);
        EXPECT_EQ(t->kind, c.kind) << c.host;
        EXPECT_EQ(t->dest.forw.forwhost, c.bound != 0 ? c.host : "") << c.host;
        EXPECT_EQ(resolve_calls, c.bound) << c.host;
        EXPECT_EQ(Reports(), c.report.empty() ? std::vector<std::string>{}
                                              : std::vector<std::string>{c.report});
        if (c.kind == TargetKind::FORW) {
            const SockAddrIn &to = t->dest.forw.forwaddr;
            EXPECT_EQ(to.family, kAfInet);
            EXPECT_EQ(to.port, 0x0202);
            EXPECT_EQ(to.addr, 0x0a00000au);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(to.zero), sizeof to.zero),
                      std::string(sizeof to.zero, '\0'));
        }
    }
}

TEST_F(RulesTest, RefusesWhatDoesNotFit) {
    engine.portbound = 1;
    const std::string p65(65, 'p'), f65(65, 'f'), cut_p = std::string(40, 'p') + "...\"";
    const std::pair<std::string, std::string> cases[] = {
        {"*.info\t/" + std::string(199, 'a'),
         "tarnwick: file name too long: /" + std::string(39, 'a') + "..."},
        {"*.info\t@" + std::string(129, 'h'),
         "tarnwick: host name too long: " + std::string(40, 'h') + "..."},
        {"mail." + p65 + "\t*", "tarnwick: unknown priority name \"" + p65 + "\""},
        {"mail." + p65 + "p\t*", "tarnwick: priority name too long: \"" + cut_p},
        {f65 + ".info\t*", "tarnwick: unknown facility name \"" + f65 + "\""},
        {f65 + "f.info\t*",
         "tarnwick: facility name too long: \"" + std::string(40, 'f') + "...\""},
        {"mail." + std::string(505, 'p'), "tarnwick: priority name too long: \"" + cut_p},
    };
    for (const auto &[line, report] : cases) {
        LogTarget *t = Parse(line);
        EXPECT_EQ(t->kind, TargetKind::UNUSED) << line;
        EXPECT_STREQ(t->dest.filename, "") << line;
        EXPECT_EQ(resolve_calls, 0) << line;
        EXPECT_EQ(Reports(), std::vector<std::string>{report});
    }
}

TEST_F(RulesTest, MissingOrUnreadableRuleFileGivesTheBuiltInRules) {
    // A directory opens on POSIX and fails its first read: unreadable, and
    // so reported.  (On Windows it does not open: missing.)
    const std::string unread = dir_ + "/dir.conf";
    std::filesystem::create_directory(unread);
    const std::string console = "/dev/console_19990102.LOG";
    bool existed = std::filesystem::exists(console);
    for (const std::string &path : {dir_ + "/none.conf", unread}) {
        traces_.Clear();
        std::snprintf(settings.conffile, sizeof settings.conffile, "%s", path.c_str());
        EXPECT_EQ(init(), 0);
        EXPECT_EQ(engine.rulesready, 1);
        EXPECT_TRUE(traces_.Has("cannot open " + path + "\n")) << path;
        std::vector<LogTarget *> list = Targets();
        ASSERT_EQ(list.size(), 2u) << path;
        EXPECT_EQ(LevelsOf(*list[0]), Levels(3, {}));
        EXPECT_STREQ(list[0]->dest.filename, "/dev/console");
        EXPECT_EQ(LevelsOf(*list[1]), Levels(0, {}));
        EXPECT_EQ(list[1]->kind, TargetKind::WALL);
        std::vector<std::string> reports = Reports();
        if (list[0]->kind != TargetKind::FILE && !reports.empty()) {
            EXPECT_EQ(reports[0].rfind("tarnwick: /dev/console: ", 0), 0u) << reports[0];
            reports.erase(reports.begin());
        }
        std::vector<std::string> expected;
        if (traces_.Has("Configuration<" + path + "> begins to proess\n")) {
            expected.push_back("tarnwick: " + path + ": " + RuntimeErrorText(EISDIR));
        }
        EXPECT_EQ(reports, expected);
        // No listing, no restart message.
        EXPECT_EQ(Stdout().find("WALL: "), std::string::npos);
        EXPECT_FALSE(traces_.Has("tarnwick: restarted\n"));
    }
    if (!existed) {
        std::remove(console.c_str());
    }
}

// The load, seen through the listing: comments and blank lines skipped,
// trailing white space cut, a physical line longer than 511 characters read
// as two lines, a line that fails kept as UNUSED.
TEST_F(RulesTest, LoadListsEveryTarget) {
    engine.portbound = 1;
    const std::string first = "mail.info\t" + std::string(501, 'u');  // 511 characters
    WriteConf(
        "# comment\n   # indented comment\n\n \t \r\n\v\f\n"
        "syslog.info;news.err\t" +
        dir_ +
        "/log  \t\r\n"
        "*.crit;mark.info\t@loghost\n"
        "kern.debug\troot #x\x0b\x0c\n"
        "news.crit\t\t  op,  # not a comment\n"
        "local7.none;user.272\t*\n"
        "mail.*\t*\n"
        "lpr.info\t\n" +
        first + "news.err\tvvvvvvvvvv\r\n*.debug\t*");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(engine.rulesready, 1);
    const std::string listing =
        Shown(Levels(-1, {{5, 6}, {7, 3}})) + "FILE: " + dir_ + "/log\n" +
        Shown(Levels(2, {{24, 6}})) + "FORW: loghost\n" + Shown(Levels(-1, {{0, 7}})) +
        "USERS: root #x, \n" + Shown(Levels(-1, {{7, 2}})) + "USERS: op, # not a , \n" +
        Shown(Levels(-1, {})) + "WALL: \n" + Shown(Levels(-1, {})) + "UNUSED: \n" +
        Shown(Levels(-1, {{6, 6}})) + "USERS: \n" + Shown(Levels(-1, {{2, 6}})) +
        "USERS: uuuuuuuu, \n" + Shown(Levels(-1, {{7, 3}})) + "USERS: vvvvvvvv, \n" +
        Shown(Levels(7, {})) + "WALL: \n";
    std::string out = Stdout();
    ASSERT_GE(out.size(), listing.size()) << out;
    EXPECT_EQ(out.substr(out.size() - listing.size()), listing) << out;
    EXPECT_EQ(Reports(), std::vector<std::string>{"tarnwick: unknown priority name \"*\""});
    // While the table loads, the error reaches no target of it.
    std::string logged = testutil::ReadFile(dir_ + "/log_19990102.LOG");
    EXPECT_NE(logged.find("tarnwick: restart"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("unknown"), std::string::npos) << logged;

    engine.verbose = 0;
    init();
    EXPECT_EQ(Stdout(), "");
}

TEST_F(RulesTest, ReloadClosesFilesAndReplacesTheList) {
    WriteConf("*.info\t" + dir_ + "/log\nmail.info\troot\n");
    init();
    std::vector<LogTarget *> first = Targets();
    ASSERT_EQ(first.size(), 2u);
    int fd = first[0]->fd;
    ASSERT_GE(fd, 0);

    // Each forwarding host is looked up once, before the lock is taken; one
    // too long for a target never.
    engine.portbound = 1;
    WriteConf("news.err\t*\n*.info\t@far\nmail.err\t \t@far\n*.info\t@" + std::string(129, 'h') +
              "\n");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(resolve_calls, 1);
    EXPECT_EQ(resolved_locked, 0);
    std::vector<LogTarget *> second = Targets();
    ASSERT_EQ(second.size(), 4u);
    EXPECT_EQ(LevelsOf(*second[0]), Levels(-1, {{7, 3}}));
    EXPECT_STREQ(second[1]->dest.forw.forwhost, "far");
    EXPECT_EQ(second[2]->kind, TargetKind::FORW);
    // The old descriptor is closed: closing it again fails.
    EXPECT_EQ(TextClose(fd), -1);
}

}  // namespace
