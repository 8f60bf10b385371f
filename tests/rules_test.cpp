// The rule table: namecode, cfline, init's built-in rules and reload, the check.
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

#include "check/rulecheck.h"
#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/errors.h"
#include "platform/resolver_testing.h"
#include "platform/textfile.h"
#include "service/settings.h"
#include "test_util.h"

namespace {

// Answers 10.0.0.10 but fails "no..." hosts; counts look-ups, and those under the lock.
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

// A target in one line: 25 levels ("X" none, "!" beyond 9), kind, destination.
std::string Describe(const LogTarget &t) {
    std::string s;
    for (uint8_t level : t.levels) {
        s += level == NOLEVEL ? 'X' : level <= 9 ? static_cast<char>('0' + level) : '!';
    }
    s += std::string(" ") + kindnames[static_cast<int>(t.kind)];
    std::string dest =
        t.kind == TargetKind::WALL || t.kind == TargetKind::USERS ? "" : t.dest.filename;
    for (int i = 0; t.kind == TargetKind::USERS && i < MAXUSERS && t.dest.users[i][0]; ++i) {
        dest += std::string(i > 0 ? "," : "") + t.dest.users[i];
    }
    return dest.empty() ? s : s + " " + dest;
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
        engine.verbose = 0;
        // An action path begins with a separator: on Windows, the folder without its drive.
        const std::string &path = tmp_.path();
        dir_ = path.size() > 1 && path[1] == ':' ? path.substr(2) : path;
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        EngineResetForTest();
        std::error_code ec;
        if (dir_ != tmp_.path()) {
            std::filesystem::remove_all(dir_, ec);
        }
        ResolverSetForTest(nullptr);
        SettingsResetForTest();
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
    // A record parsed from line, freed with the list.
    LogTarget *Parse(const std::string &line) {
        traces_.Clear();
        LogTarget *t = new LogTarget();
        t->next = std::exchange(engine.targets, t);
        cfline(line.c_str(), t);
        return t;
    }
    // The targets init loads from the scratch folder's file name (text written unless empty).
    std::vector<LogTarget *> Load(const std::string &text, const std::string &name = "r.conf") {
        traces_.Clear();
        if (!text.empty()) {
            testutil::WriteFile(dir_ + "/" + name, text);
        }
        std::snprintf(settings.conffile, sizeof settings.conffile, "%s/%s", dir_.c_str(),
                      name.c_str());
        EXPECT_EQ(init(), 0);
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

TEST_F(RulesTest, NamecodeSaturatesNumbersAtIntMax) {
    EXPECT_EQ(namecode("105abc", prionames), 105);
    EXPECT_EQ(namecode("2147483640", prionames), 2147483640);
    EXPECT_EQ(namecode("2147483648", prionames), INT_MAX);
}

// Levels: kern user mail daemon auth syslog lpr news uucp, 9 to 15, local0-7, mark.
TEST_F(RulesTest, CflineParsesSelectorsAndActions) {
    EXPECT_EQ(Describe(*Parse("*.info\t@loghost")), kInfo + " UNUSED");  // no socket, no look-up
    engine.portbound = 1;
    const std::string missing = dir_ + "/missing/log";
    const std::string longest = dir_ + "/" + std::string(198 - dir_.size(), 'a');
    const std::string h128(128, 'h'), p65(65, 'p');
    const std::string cut_p = " | priority name too long: \"" + std::string(40, 'p') + "...\"";
    const std::pair<std::string, std::string> cases[] = {
        // The least severe level stays; none gives way to a level after it.
        {"mail.info;mail.err\t*", "XX6XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"*.info;mail.none\t*", "66X666666666666666666666X WALL"},
        // Numbers: a facility code names its facility; a level keeps 8 bits.
        {"199.err\t*", "XXXXXXXXXXXXXXXXXXXXXXXX3 WALL"},
        {"mail.263\t*", "XX7XXXXXXXXXXXXXXXXXXXXXX WALL"},
        {"mail.info;;, news.err\t*", "XX6XXXX3XXXXXXXXXXXXXXXXX WALL"},
        {"kern, user.panic;mail.emerg;daemon.alert;auth.sALert;syslog.crit;lpr.err;news.error;"
         "uucp.warn;local0.warning;local1.notice;local2.info;local3.debug;local4.none;"
         "security,local5,local6,local7,mark.debug\t*",
         "000172334XXXXXXX4567X7777 WALL"},
        {"mail.info /x", kNone + " UNUSED | unknown priority name \"info /x\""},
        {"200.err\t*", kNone + " UNUSED | unknown facility name \"200\""},
        {"mail." + p65 + "\t*", kNone + " UNUSED | unknown priority name \"" + p65 + "\""},
        {"mail." + p65 + "p\t*", kNone + " UNUSED" + cut_p},
        {std::string(66, 'f') + ".info\t*",
         kNone + " UNUSED | facility name too long: \"" + std::string(40, 'f') + "...\""},
        {"*.info\ta,  b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t,u",
         kInfo + " USERS a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t"},
        {"*.info\t" + longest, kInfo + " FILE " + longest},
        {"*.info\t" + missing,
         kInfo + " UNUSED " + missing + " | " + missing + ": " + RuntimeErrorText(ENOENT)},
        {"*.info\t/" + std::string(199, 'a'),
         kInfo + " UNUSED | file name too long: /" + std::string(39, 'a') + "..."},
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
}

TEST_F(RulesTest, MissingOrUnreadableRuleFileGivesTheBuiltInRules) {
    // A directory opens on POSIX, fails its read and is reported; on Windows: missing.
    const std::string console = "/dev/console_19990102.LOG";
    bool existed = std::filesystem::exists(console);
    std::filesystem::create_directory(dir_ + "/dir.conf");
    for (const std::string name : {"none.conf", "dir.conf"}) {
        std::vector<LogTarget *> list = Load("", name);
        const std::string path = dir_ + "/" + name;
        EXPECT_EQ(engine.rulesready, 1);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(Describe(*list[0]), std::string(24, '3') + "X FILE /dev/console");
        EXPECT_EQ(Describe(*list[1]), std::string(24, '0') + "X WALL");
        bool read = traces_.Has("Configuration<" + path + "> begins to proess\n");
        EXPECT_EQ(Reports(), read ? " | " + path + ": " + RuntimeErrorText(EISDIR) : "");
    }
    if (!existed) {
        std::remove(console.c_str());
    }
}

// A file is opened at the load, as the daily file of the local date.
TEST_F(RulesTest, ReloadClosesFilesAndReplacesTheList) {
    testsupport::SetEnv("TZ", "EST5");
    testsupport::TzSet();
    clock_.Set(946702799000);  // 2000-01-01 04:59:59 UTC
    std::vector<LogTarget *> list = Load("*.info\t" + dir_ + "/log\nmail.info\troot\n");
    ASSERT_EQ(list.size(), 2u);
    int fd = list[0]->fd;
    ASSERT_GE(fd, 0);
    list[0]->repeats = 3;  // written, with the lines gathered, before the file closes

    // Each forwarding host looked up once, before the lock; one too long never.
    engine.portbound = 1;
    list = Load("news.err\t*\n*.info\t@far\nmail.err\t \t@far\n*.info\t@" + std::string(129, 'h') +
                "\n");
    EXPECT_EQ(resolve_calls, 1);
    EXPECT_EQ(resolved_locked, 0);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(Describe(*list[2]), "XX3XXXXXXXXXXXXXXXXXXXXXX FORW far");
    EXPECT_EQ(TextClose(fd), -1);  // closed already
    const std::string text = testutil::ReadFile(dir_ + "/log_19991231.LOG");
    EXPECT_NE(text.find(" last message repeated 3 times\r\n"), std::string::npos) << text;
    // While the table loads, its errors reach no target of it.
    Load("*.info\t" + dir_ + "/log\nmail.*\t*\n");
    EXPECT_EQ(Reports(), " | unknown priority name \"*\"");
    EXPECT_EQ(testutil::ReadFile(dir_ + "/log_19991231.LOG").find("unknown"), std::string::npos);
}

// The listing's levels: 24 facilities at level, mark at none.
std::string Levels(char level) {
    std::string s;
    for (int i = 0; i < 24; ++i) {
        s = s + level + " ";
    }
    return s + "X ";
}

TEST_F(RulesTest, CheckListsTheRulesAndNamesEachRefusedLine) {
    testutil::TempDir logs;
    const std::string conf = tmp_ / "syslog.conf", none = tmp_ / "none.conf";
    // The check enters the Log Dir as the daemon does; a relative file is still found.
    testsupport::PrivateRegistry registry;
    registry.WriteSetting(kSettingsKey, "Log Dir", logs.path());
    const std::filesystem::path caller = std::filesystem::current_path();
    const std::string unused = Levels('X') + "UNUSED: \n", nofile = ": No such file or directory\n";
    const struct {
        std::vector<std::string> args;
        std::string rules;
        int status;
        std::string out, err;
    } cases[] = {
        {{"syslog.conf"},
         "# comment\r\n   # indented\r\n \t \r\n*.info\t" + dir_ +
             "/messages  \t\r\n\nmail.err;user.info\troot, op\n",
         0,
         Levels('6') + "FILE: " + dir_ + "/messages\n" + Levels('X').replace(2, 4, "6 3 ") +
             "USERS: root, op, \n",
         ""},
        // A split line keeps its number; the folder of a file must exist.
        {{conf},
         "# c\n*.err\t/tarnwick-no-such-folder/log\n" + std::string(511, 'k') + "mail.foo\t*\n",
         1,
         Levels('3') + "UNUSED: \n" + unused + unused,
         conf + ":2: tarnwick: /tarnwick-no-such-folder/log" + nofile + conf +
             ":3: tarnwick: unknown priority name \"\"\n" + conf +
             ":3: tarnwick: unknown priority name \"foo\"\n"},
        {{none}, "", 2, "", "tarnwick-check: cannot read " + none + nofile},
        {{conf, conf}, "", 2, "", "usage: tarnwick-check [FILE]\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rules);
        EngineResetForTest();
        SettingsResetForTest();
        std::filesystem::current_path(tmp_.path());
        testutil::WriteFile(conf, c.rules);
        std::vector<char *> argv = {const_cast<char *>("tarnwick-check")};
        for (const std::string &a : c.args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(RuleCheckMain(static_cast<int>(argv.size()), argv.data()), c.status);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        // Named, not created.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp_.path()), {}), 1);
    }
    std::filesystem::current_path(caller);
}

}  // namespace
