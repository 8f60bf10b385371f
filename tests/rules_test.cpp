// The rule table: namecode, cfline's selectors and actions, the refusals of
// what does not fit, and init's load, listing and reload.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
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

// A name service that answers 10.0.0.10, but fails for "no..." hosts; it
// counts the look-ups, and those asked while the engine lock was held.
int resolve_calls = 0, resolved_locked = 0;
int FakeResolveHost(const char *host, uint32_t *addr, char *why, size_t size) {
    ++resolve_calls;
    std::thread([] {
        engine.lock.try_lock() ? engine.lock.unlock() : void(++resolved_locked);
    }).join();
    if (std::strncmp(host, "no", 2) == 0) {
        errno = ENOENT;  // not the resolver's answer: never shown
        std::snprintf(why, size, "%s", host[2] == 'w' ? "Name or service not known" : "");
        return -1;
    }
    *addr = 0x0a00000a;
    return 0;
}
const ResolverOps kFakeResolver = {nullptr, FakeResolveHost};

// A target in one line: its 25 levels ("X" none, "!" beyond 9), kind and
// destination.
std::string Describe(const LogTarget &t) {
    std::string s;
    for (uint8_t level : t.levels) {
        s += level == NOLEVEL ? 'X' : level <= 9 ? static_cast<char>('0' + level) : '!';
    }
    s += std::string(" ") + kindnames[static_cast<int>(t.kind)];
    std::string users;
    for (int i = 0; t.kind == TargetKind::USERS && i < MAXUSERS; ++i) {
        users += std::string(i > 0 ? "," : "") + t.dest.users[i];
    }
    users.erase(users.find_last_not_of(',') + 1);
    std::string dest = t.kind == TargetKind::USERS ? users : t.dest.filename;
    return dest.empty() || t.kind == TargetKind::WALL ? s : s + " " + dest;
}
// Levels as the listing shows them.
std::string Spaced(const std::string &levels) {
    std::string s;
    for (char c : levels) {
        s = s + c + " ";
    }
    return s;
}
const std::string kNone(25, 'X');
const std::string kInfo = std::string(24, '6') + "X";  // "*.info"

class RulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        SettingsResetForTest();
        ResolverSetForTest(&kFakeResolver);
        resolve_calls = resolved_locked = 0;
        // An action path must begin with a separator: without its drive the
        // scratch folder is made on the current one.
        const std::string &path = tmp_.path();
        dir_ = path.size() > 1 && path[1] == ':' ? path.substr(2) : path;
        std::filesystem::create_directories(dir_);
        ::testing::internal::CaptureStdout();
    }
    void TearDown() override {
        ::testing::internal::GetCapturedStdout();
        EngineResetForTest();
        std::error_code ec;
        if (dir_ != tmp_.path()) {
            std::filesystem::remove_all(dir_, ec);
        }
        ResolverSetForTest(nullptr);
        SettingsResetForTest();
    }

    // Standard output since the last call.
    std::string Stdout() {
        std::string out = ::testing::internal::GetCapturedStdout();
        ::testing::internal::CaptureStdout();
        return out;
    }
    // The engine's own messages (reporterr's) since the last Parse, behind " | ".
    std::string Reports() const {
        std::string out;
        for (const std::string &line : traces_.Texts()) {
            if (line.rfind("tarnwick: ", 0) == 0 && line != "tarnwick: restarted\n") {
                out += " | " + line.substr(10, line.size() - 11);
            }
        }
        return out;
    }
    // A heap record, as init makes them, parsed from line (and freed with
    // the list).
    LogTarget *Parse(const std::string &line) {
        traces_.Clear();
        LogTarget *t = new LogTarget();
        t->next = std::exchange(engine.targets, t);
        cfline(line.c_str(), t);
        return t;
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

// Levels by facility: kern user mail daemon auth syslog lpr news uucp, the
// unnamed 9 to 15, local0 to local7, mark.
TEST_F(RulesTest, CflineParsesSelectorsAndActions) {
    engine.portbound = 1;
    const std::string missing = dir_ + "/missing/log";
    const std::string longest = dir_ + "/" + std::string(198 - dir_.size(), 'a');
    const std::string h128(128, 'h'), p65(65, 'p'), f65(65, 'f');
    const std::string cut_p = " | priority name too long: \"" + std::string(40, 'p') + "...\"";
    std::string many = "*.info\t", twenty;
    for (int i = 1; i <= 22; ++i) {
        std::string user = std::string(1, 'u').append(std::to_string(i));
        many.append(user).append(",");
        twenty.append(i <= MAXUSERS ? user + (i < MAXUSERS ? "," : "") : "");
    }
    const std::pair<std::string, std::string> cases[] = {
        {"mail.7\t*", "XX7XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"*.ERR\t*", "333333333333333333333333X WALL"},
        {"*.info;mark.info\t*", "6666666666666666666666666 WALL"},
        // The least severe level stays; none gives way to a level after it.
        {"mail.err;mail.info\t*", "XX6XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"mail.info;mail.err\t*", "XX6XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"*.info;mail.none\t*", "66X666666666666666666666X WALL"},
        {"mail.none;mail.info\t*", "XX6XXXXXXXXXXXXXXXXXXXXXX WALL"},
        // Numbers: a facility code names its facility; a level keeps 8 bits.
        {"17.err\t*", "XX3XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"199.err\t*", "XXXXXXXXXXXXXXXXXXXXXXXX3 WALL"},
        {"mail.263\t*", "XX7XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"mail.99999999999\t*", "XX!XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"mail;news.info\t*", "XX6XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"mail.info;;, news.err\t*", "XX6XXXX3XXXXXXXXXXXXXXXXX WALL"},
        {"mail, news.info\t*", "XX6XXXX6XXXXXXXXXXXXXXXXX WALL"},
        {"\t*", kNone + " WALL"},
        {"kern,user.panic;mail.emerg;daemon.alert;auth.salert;syslog.crit;lpr.err;news.error;"
         "uucp.warn;local0.warning;local1.notice;local2.info;local3.debug;local4.none;"
         "security,local5,local6,local7,mark.debug\t*",
         "000172334XXXXXXX4567X7777 WALL"},
        {"mail.*\t*", kNone + " UNUSED | unknown priority name \"*\""},
        {"mail\t*", kNone + " UNUSED | unknown priority name \"\""},
        {"mail ,news.info\t*", kNone + " UNUSED | unknown facility name \"mail \""},
        {" mail.info\t*", kNone + " UNUSED | unknown facility name \" mail\""},
        {"mail.info /x", kNone + " UNUSED | unknown priority name \"info /x\""},
        {"mail.err;news.bogus\t*",
         "XX3XXXXXXXXXXXXXXXXXXXXXX UNUSED | unknown priority name \"bogus\""},
        {"mail.err;bogus.info\t*",
         "XX3XXXXXXXXXXXXXXXXXXXXXX UNUSED | unknown facility name \"bogus\""},
        {"200.err\t*", kNone + " UNUSED | unknown facility name \"200\""},
        {"2147483647.err\t*", kNone + " UNUSED | unknown facility name \"2147483647\""},
        {"mail." + p65 + "\t*", kNone + " UNUSED | unknown priority name \"" + p65 + "\""},
        {"mail." + p65 + "p\t*", kNone + " UNUSED" + cut_p},
        {"mail." + std::string(505, 'p'), kNone + " UNUSED" + cut_p},
        {f65 + ".info\t*", kNone + " UNUSED | unknown facility name \"" + f65 + "\""},
        {f65 + "f.info\t*",
         kNone + " UNUSED | facility name too long: \"" + std::string(40, 'f') + "...\""},
        // Users: up to 20 names of up to 8 characters.
        {"*.info\t\t \t* ignored", kInfo + " WALL"},
        {"*.info\troot,  operator", kInfo + " USERS root,operator"},
        {"*.info\tabcdefghijklm", kInfo + " USERS abcdefgh"},
        {"*.info\tc:\\syslog\\x.log", kInfo + " USERS c:\\syslo"},
        {"*.info\troot ,op", kInfo + " USERS root ,op"},
        {"*.info\t,,root", kInfo + " USERS ,root"},
        {"*.info", kInfo + " USERS"},
        {many, kInfo + " USERS " + twenty},
        // Files and forwarding.
        {"*.info\t" + dir_ + "/log#1", kInfo + " FILE " + dir_ + "/log#1"},
        {"*.info\t" + longest, kInfo + " FILE " + longest},
        {"*.info\t" + missing,
         kInfo + " UNUSED " + missing + " | " + missing + ": " + RuntimeErrorText(ENOENT)},
        {"*.info\t/" + std::string(199, 'a'),
         kInfo + " UNUSED | file name too long: /" + std::string(39, 'a') + "..."},
        {"*.info\t@loghost", kInfo + " FORW loghost"},
        {"*.info\t@" + h128, kInfo + " FORW " + h128},
        {"*.info\t@nowhere", kInfo + " UNUSED nowhere | nowhere: Name or service not known"},
        {"*.info\t@nothing", kInfo + " UNUSED nothing | nothing: Unknown error"},
        {"*.info\t@h" + h128,
         kInfo + " UNUSED | host name too long: " + h128.substr(0, 40) + "..."},
    };
    for (const auto &[line, target] : cases) {
        LogTarget *t = Parse(line);
        EXPECT_EQ(Describe(*t) + Reports(), target) << line;
    }
    EXPECT_EQ(resolve_calls, 4);
}

TEST_F(RulesTest, ForwardingTakesTheAddressWhileTheSocketIsBound) {
    EXPECT_EQ(Describe(*Parse("*.info\t@loghost")), kInfo + " UNUSED");
    EXPECT_EQ(resolve_calls, 0);
    engine.portbound = 1;
    engine.syslogport = 0x0202;
    const SockAddrIn &to = Parse("*.info\t@loghost")->dest.forw.forwaddr;
    EXPECT_EQ(to.family, kAfInet);
    EXPECT_EQ(to.port, 0x0202);
    EXPECT_EQ(to.addr, 0x0a00000au);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(to.zero), sizeof to.zero),
              std::string(sizeof to.zero, '\0'));
}

TEST_F(RulesTest, VerboseLinesOfTheParser) {
    const std::pair<std::string, std::string> cases[] = {
        {"mail.info\t*", "symbolic name: info ==> 6\nsymbolic name: mail ==> 16\nwrite-all\n"},
        {"mail.7;16.err\troot, op",
         "symbolic name: 7symbolic name: mail ==> 16\nsymbolic name: err ==> 3\n"
         "symbolic name: 16users: root, op\n"},
        {"*.info\t" + dir_ + "/f", "symbolic name: info ==> 6\nfilename: " + dir_ + "/f\n"},
    };
    for (const auto &[line, printed] : cases) {
        Stdout();
        Parse(line);
        EXPECT_EQ(Stdout(), printed) << line;
    }
}

TEST_F(RulesTest, FileActionOpensTheDailyFileOfTheLocalDate) {
    struct Case {
        const char *tz;
        int64_t seconds;
        const char *suffix;
    } const cases[] = {
        {"UTC", 915278400, "_19990102.LOG"},
        {"UTC", 946684799, "_19991231.LOG"},
        {"EST5", 946702800, "_20000101.LOG"},  // 05:00 UTC: midnight in EST5
        {"EST5", 946702799, "_19991231.LOG"},
        {"JST-9", 946652400, "_20000101.LOG"},  // 15:00 UTC the day before
    };
    for (const Case &c : cases) {
        testsupport::SetEnv("TZ", c.tz);
        testsupport::TzSet();
        clock_.Set(c.seconds * 1000);
        EXPECT_EQ(Describe(*Parse("*.info\t" + dir_ + "/d")), kInfo + " FILE " + dir_ + "/d");
        EXPECT_TRUE(std::filesystem::exists(dir_ + "/d" + c.suffix)) << c.tz << " " << c.seconds;
        EXPECT_TRUE(traces_.Has("Log<" + dir_ + "/d" + c.suffix + "> opened\n")) << c.suffix;
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
        EXPECT_EQ(Describe(*list[0]).substr(0, 25), std::string(24, '3') + "X");
        EXPECT_STREQ(list[0]->dest.filename, "/dev/console");
        EXPECT_EQ(Describe(*list[1]), std::string(24, '0') + "X WALL");
        bool read = traces_.Has("Configuration<" + path + "> begins to proess\n");
        std::string unreadable = " | " + path + ": " + RuntimeErrorText(EISDIR);
        EXPECT_EQ(Reports().find(unreadable) != std::string::npos, read) << Reports();
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
    WriteConf(
        "# comment\n   # indented comment\n\n \t \r\n\v\f\n"
        "syslog.info;news.err\t" +
        dir_ +
        "/log  \t\r\n"
        "*.crit;mark.info\t@loghost\n"
        "kern.debug\troot #x\x0b\x0c\n"
        "news.crit\t\t  op,  # not a comment\n"
        "local7.none;user.272\t*\nmail.*\t*\nlpr.info\t\n"
        "mail.info\t" +
        std::string(501, 'u') + "news.err\tvvvvvvvvvv\r\n*.debug\t*");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(engine.rulesready, 1);
    const std::string listing = Spaced("XXXXX6X3XXXXXXXXXXXXXXXXX") + "FILE: " + dir_ + "/log\n" +
                                Spaced(std::string(24, '2') + "6") + "FORW: loghost\n" +
                                Spaced("7XXXXXXXXXXXXXXXXXXXXXXXX") + "USERS: root #x, \n" +
                                Spaced("XXXXXXX2XXXXXXXXXXXXXXXXX") + "USERS: op, # not a , \n" +
                                Spaced(kNone) + "WALL: \n" + Spaced(kNone) + "UNUSED: \n" +
                                Spaced("XXXXXX6XXXXXXXXXXXXXXXXXX") + "USERS: \n" +
                                Spaced("XX6XXXXXXXXXXXXXXXXXXXXXX") + "USERS: uuuuuuuu, \n" +
                                Spaced("XXXXXXX3XXXXXXXXXXXXXXXXX") + "USERS: vvvvvvvv, \n" +
                                Spaced(std::string(24, '7') + "X") + "WALL: \n";
    std::string out = Stdout();
    ASSERT_GE(out.size(), listing.size()) << out;
    EXPECT_EQ(out.substr(out.size() - listing.size()), listing) << out;
    EXPECT_EQ(Reports(), " | unknown priority name \"*\"");
    // While the table loads, the error reaches no target of it.
    std::string logged = testutil::ReadFile(dir_ + "/log_19990102.LOG");
    EXPECT_NE(logged.find("tarnwick: restart"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("unknown"), std::string::npos) << logged;

    engine.verbose = 0;  // neither the parser's lines nor the listing
    init();
    EXPECT_EQ(Stdout(), "");
}

TEST_F(RulesTest, ReloadClosesFilesAndReplacesTheList) {
    WriteConf("*.info\t" + dir_ + "/log\nmail.info\troot\n");
    init();
    ASSERT_EQ(Targets().size(), 2u);
    int fd = Targets()[0]->fd;
    ASSERT_GE(fd, 0);
    Targets()[0]->repeats = 3;  // written, with the lines gathered, before the file closes

    // Each forwarding host is looked up once, before the lock is taken; one
    // too long for a target never.
    engine.portbound = 1;
    WriteConf("news.err\t*\n*.info\t@far\nmail.err\t \t@far\n*.info\t@" + std::string(129, 'h') +
              "\n");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(resolve_calls, 1);
    EXPECT_EQ(resolved_locked, 0);
    std::vector<LogTarget *> list = Targets();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(Describe(*list[0]), "XXXXXXX3XXXXXXXXXXXXXXXXX WALL");
    EXPECT_EQ(Describe(*list[2]), "XX3XXXXXXXXXXXXXXXXXXXXXX FORW far");
    // The old descriptor is closed: closing it again fails.
    EXPECT_EQ(TextClose(fd), -1);
    for (const auto &e : std::filesystem::directory_iterator(dir_)) {
        if (e.path().filename().string().rfind("log_", 0) == 0) {
            const std::string text = testutil::ReadFile(e.path().string());
            EXPECT_NE(text.find(" last message repeated 3 times\r\n"), std::string::npos) << text;
        }
    }
}

}  // namespace
