// The rule table: name tables, namecode, cfline's selectors and actions, the
// refusals of what does not fit, and init's load, listing and reload.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/clock_testing.h"
#include "platform/debugger_testing.h"
#include "platform/errors.h"
#include "platform/resolver_testing.h"
#include "platform/textfile.h"
#include "service/settings.h"
#include "test_util.h"

namespace {

// 1999-01-02 12:00:00 UTC.
constexpr int64_t kNoonJan2 = 915278400;
int64_t clock_ms = kNoonJan2 * 1000;
int64_t TestClock() {
    return clock_ms;
}

// Trace lines without their "TID> Label   : " prefix, and the rulesready
// flag at the time of each.
std::vector<std::string> traces;
std::vector<int> ready_at_trace;
void CatchTrace(const char *text) {
    std::string line(text);
    size_t gt = line.find("> ");
    size_t colon = gt == std::string::npos ? gt : line.find(": ", gt + 2);
    traces.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
    ready_at_trace.push_back(engine.rulesready);
}

// A resolver whose answer the test chooses.
int resolve_calls = 0;
int resolve_result = 0;
const char *resolve_why = "";
uint32_t resolve_addr = 0;
std::string resolved_name;
int resolved_locked = 0;  // look-ups asked while the engine lock was held
int FakeResolveHost(const char *host, uint32_t *addr, char *why, size_t size) {
    ++resolve_calls;
    std::thread([] {
        if (!engine.lock.try_lock()) {
            ++resolved_locked;
            return;
        }
        engine.lock.unlock();
    }).join();
    resolved_name = host;
    if (resolve_result != 0) {
        errno = ENOENT;  // not the resolver's answer: never shown
        std::snprintf(why, size, "%s", resolve_why);
        return -1;
    }
    *addr = resolve_addr;
    return 0;
}
const ResolverOps kFakeResolver = {nullptr, FakeResolveHost};

// The 25 entries, NOLEVEL but for a level given to entries 0 to 23 (star,
// unless negative) and the listed {index, level} pairs.
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

// n listing entries of one text.
std::string Repeat(const char *entry, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += entry;
    }
    return s;
}
std::string Xs(int n) {
    return Repeat("X ", n);
}

class RulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        SettingsResetForTest();
        LogResetForTest();
        LogSetMaskForTest(Trace);
        traces.clear();
        ready_at_trace.clear();
        DebugOutputSetSink(CatchTrace);
        const char *tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        saved_tz_ = had_tz_ ? tz : "";
        testsupport::SetEnv("TZ", "UTC");
        testsupport::TzSet();
        clock_ms = kNoonJan2 * 1000;
        static const ClockOps kTestClockOps = {TestClock};
        ClockSetForTest(&kTestClockOps);
        resolve_calls = 0;
        resolved_locked = 0;
        resolve_result = 0;
        resolve_why = "";
        resolve_addr = 0;
        resolved_name.clear();
        ResolverSetForTest(&kFakeResolver);
        static int serial = 0;
        dir_ = std::filesystem::temp_directory_path().string();
        dir_ += "/rules_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + std::to_string(++serial);
        // An action path must begin with a separator: drop a drive.
        if (dir_.size() > 1 && dir_[1] == ':') {
            dir_ = dir_.substr(2);
        }
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
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
        DebugOutputSetSink(nullptr);
        LogResetForTest();
        ClockSetForTest(nullptr);
        ResolverSetForTest(nullptr);
        SettingsResetForTest();
        if (had_tz_) {
            testsupport::SetEnv("TZ", saved_tz_.c_str());
        } else {
            testsupport::UnsetEnv("TZ");
        }
        testsupport::TzSet();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Standard output since the last call.
    std::string Stdout() {
        std::string out = ::testing::internal::GetCapturedStdout();
        ::testing::internal::CaptureStdout();
        return out;
    }

    // The engine's own messages traced by reporterr, in order.
    std::vector<std::string> Reports() const {
        std::vector<std::string> out;
        for (const std::string &line : traces) {
            if (line.rfind("tarnwick: ", 0) == 0 && line != "tarnwick: restarted\n") {
                out.push_back(line.substr(0, line.size() - 1));
            }
        }
        return out;
    }

    bool Traced(const std::string &line) const {
        for (const std::string &t : traces) {
            if (t == line) {
                return true;
            }
        }
        return false;
    }

    // A heap record, as init makes them, parsed from line.
    LogTarget *Parse(const std::string &line) {
        LogTarget *t = new LogTarget();
        loose_.push_back(t);
        cfline(line.c_str(), t);
        return t;
    }

    void WriteConf(const std::string &text) {
        std::string path = dir_ + "/syslog.conf";
        std::ofstream(path, std::ios::binary) << text;
        std::snprintf(settings.conffile, sizeof settings.conffile, "%s", path.c_str());
    }

    std::vector<LogTarget *> Targets() const {
        std::vector<LogTarget *> out;
        for (LogTarget *t = engine.targets; t != nullptr; t = t->next) {
            out.push_back(t);
        }
        return out;
    }

    std::string dir_;
    std::vector<LogTarget *> loose_;
    bool had_tz_ = false;
    std::string saved_tz_;
};

// --- name tables and namecode ---

TEST_F(RulesTest, NameTablesHoldTheirRowsInOrder) {
    const CodeName levels[] = {
        {"panic", 0}, {"emerg", 0}, {"alert", 1}, {"salert", 1},  {"crit", 2},
        {"err", 3},   {"error", 3}, {"warn", 4},  {"warning", 4}, {"notice", 5},
        {"info", 6},  {"debug", 7}, {"none", 16},
    };
    const CodeName facilities[] = {
        {"kern", 0},      {"user", 8},     {"mail", 16},    {"daemon", 24},  {"auth", 32},
        {"security", 32}, {"mark", 192},   {"syslog", 40},  {"lpr", 48},     {"news", 56},
        {"uucp", 64},     {"local0", 128}, {"local1", 136}, {"local2", 144}, {"local3", 152},
        {"local4", 160},  {"local5", 168}, {"local6", 176}, {"local7", 184},
    };
    size_t i = 0;
    for (const CodeName &row : levels) {
        EXPECT_STREQ(prionames[i].name, row.name) << i;
        EXPECT_EQ(prionames[i].value, row.value) << row.name;
        ++i;
    }
    EXPECT_EQ(prionames[i].name, nullptr);
    EXPECT_EQ(prionames[i].value, -1);
    i = 0;
    for (const CodeName &row : facilities) {
        EXPECT_STREQ(facnames[i].name, row.name) << i;
        EXPECT_EQ(facnames[i].value, row.value) << row.name;
        ++i;
    }
    EXPECT_EQ(facnames[i].name, nullptr);
    EXPECT_EQ(facnames[i].value, -1);
    const char *kinds[] = {"UNUSED", "FILE", "TTY", "CONSOLE", "FORW", "USERS", "WALL"};
    for (int k = 0; k < 7; ++k) {
        EXPECT_STREQ(kindnames[k], kinds[k]);
    }
}

TEST_F(RulesTest, NamecodeLooksNamesAndNumbersUp) {
    struct Case {
        const char *name;
        const CodeName *table;
        int value;
        const char *printed;
    };
    const Case cases[] = {
        {"info", prionames, 6, "symbolic name: info ==> 6\n"},
        {"INFO", prionames, 6, "symbolic name: INFO ==> 6\n"},
        {"Warning", prionames, 4, "symbolic name: Warning ==> 4\n"},
        {"none", prionames, 16, "symbolic name: none ==> 16\n"},
        {"emerg", prionames, 0, "symbolic name: emerg ==> 0\n"},
        {"security", facnames, 32, "symbolic name: security ==> 32\n"},
        {"MARK", facnames, 192, "symbolic name: MARK ==> 192\n"},
        {"info", facnames, -1, "symbolic name: info"},
        {"*", prionames, -1, "symbolic name: *"},
        {"", prionames, -1, "symbolic name: "},
        {"inf", prionames, -1, "symbolic name: inf"},
        {"info ", prionames, -1, "symbolic name: info "},
        {"7", prionames, 7, "symbolic name: 7"},
        {"272", prionames, 272, "symbolic name: 272"},
        {"16abc", facnames, 16, "symbolic name: 16abc"},
        {"0", facnames, 0, "symbolic name: 0"},
        {"2147483647", facnames, 2147483647, "symbolic name: 2147483647"},
        // Beyond the int range the value stays at its largest.
        {"99999999999999999999", facnames, 2147483647, "symbolic name: 99999999999999999999"},
        {"2147483648", facnames, 2147483647, "symbolic name: 2147483648"},
        // 39 characters can still be compared, 40 never are.
        {"mailxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", facnames, -1,
         "symbolic name: mailxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
        {"mailxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", facnames, -1,
         "symbolic name: mailxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
    };
    for (const Case &c : cases) {
        Stdout();
        EXPECT_EQ(namecode(c.name, c.table), c.value) << c.name;
        EXPECT_EQ(Stdout(), c.printed) << c.name;
    }
    engine.verbose = 0;
    EXPECT_EQ(namecode("debug", prionames), 7);
    EXPECT_EQ(Stdout(), "");
}

// --- selectors ---

struct SelectorCase {
    const char *line;
    std::vector<int> levels;
    TargetKind kind;
    const char *report;  // the reporterr line, or nullptr
};

TEST_F(RulesTest, SelectorsSetTheLevelsOfTheirFacilities) {
    const SelectorCase cases[] = {
        {"mail.*\t*", Levels(-1, {}), TargetKind::UNUSED, "tarnwick: unknown priority name \"*\""},
        {"mail.7\t*", Levels(-1, {{2, 7}}), TargetKind::WALL, nullptr},
        {"*.info\t*", Levels(6, {}), TargetKind::WALL, nullptr},
        {"mark.info\t*", Levels(-1, {{24, 6}}), TargetKind::WALL, nullptr},
        {"*.info;mark.info\t*", Levels(6, {{24, 6}}), TargetKind::WALL, nullptr},
        {"mail.err;mail.info\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        {"mail.info;mail.err\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        {"*.info;mail.none\t*", Levels(6, {{2, NOLEVEL}}), TargetKind::WALL, nullptr},
        {"mail.none;mail.info\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        {"16.err\t*", Levels(-1, {{2, 3}}), TargetKind::WALL, nullptr},
        {"17.err\t*", Levels(-1, {{2, 3}}), TargetKind::WALL, nullptr},
        {"mail.272\t*", Levels(-1, {{2, 16}}), TargetKind::WALL, nullptr},
        {"mail.99999999999\t*", Levels(-1, {{2, 255}}), TargetKind::WALL, nullptr},
        {"mail;news.info\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        {"mail.info,news.err\t*", Levels(-1, {{2, 6}, {7, 3}}), TargetKind::WALL, nullptr},
        {"mail.info;;, news.err\t*", Levels(-1, {{2, 6}, {7, 3}}), TargetKind::WALL, nullptr},
        {"mail, news.info\t*", Levels(-1, {{2, 6}, {7, 6}}), TargetKind::WALL, nullptr},
        {"mail ,news.info\t*", Levels(-1, {}), TargetKind::UNUSED,
         "tarnwick: unknown facility name \"mail \""},
        {"mail.info /var/log/x", Levels(-1, {}), TargetKind::UNUSED,
         "tarnwick: unknown priority name \"info /var/log/x\""},
        {" mail.info\t*", Levels(-1, {}), TargetKind::UNUSED,
         "tarnwick: unknown facility name \" mail\""},
        {"\t*", Levels(-1, {}), TargetKind::WALL, nullptr},
        {"MAIL.INFO\t*", Levels(-1, {{2, 6}}), TargetKind::WALL, nullptr},
        {"*.ERR\t*", Levels(3, {}), TargetKind::WALL, nullptr},
        {"mail\t*", Levels(-1, {}), TargetKind::UNUSED, "tarnwick: unknown priority name \"\""},
        {"mail.err;news.bogus\t*", Levels(-1, {{2, 3}}), TargetKind::UNUSED,
         "tarnwick: unknown priority name \"bogus\""},
        {"mail.err;bogus.info\t*", Levels(-1, {{2, 3}}), TargetKind::UNUSED,
         "tarnwick: unknown facility name \"bogus\""},
        {"kern.emerg;user.panic;local7.debug\t*", Levels(-1, {{0, 0}, {1, 0}, {23, 7}}),
         TargetKind::WALL, nullptr},
        {"auth.alert;security.crit;syslog.warning;uucp.notice\t*",
         Levels(-1, {{4, 2}, {5, 4}, {8, 5}}), TargetKind::WALL, nullptr},
        {"lpr,daemon,local0.notice\t*", Levels(-1, {{6, 5}, {3, 5}, {16, 5}}), TargetKind::WALL,
         nullptr},
        // Facilities by number: 72 to 127 reach the unnamed 9 to 15; 192 to
        // 199 reach mark; 200 and beyond name no facility.
        {"72,127.info\t*", Levels(-1, {{9, 6}, {15, 6}}), TargetKind::WALL, nullptr},
        {"192.err\t*", Levels(-1, {{24, 3}}), TargetKind::WALL, nullptr},
        {"199.err\t*", Levels(-1, {{24, 3}}), TargetKind::WALL, nullptr},
        {"200.err\t*", Levels(-1, {}), TargetKind::UNUSED,
         "tarnwick: unknown facility name \"200\""},
        {"mail.info;2147483647.err\t*", Levels(-1, {{2, 6}}), TargetKind::UNUSED,
         "tarnwick: unknown facility name \"2147483647\""},
        {"99999999999999999999.err\t*", Levels(-1, {}), TargetKind::UNUSED,
         "tarnwick: unknown facility name \"99999999999999999999\""},
    };
    for (const SelectorCase &c : cases) {
        traces.clear();
        LogTarget *t = Parse(c.line);
        EXPECT_EQ(LevelsOf(*t), c.levels) << c.line;
        EXPECT_EQ(t->kind, c.kind) << c.line;
        std::vector<std::string> expected;
        if (c.report != nullptr) {
            expected.push_back(c.report);
        }
        EXPECT_EQ(Reports(), expected) << c.line;
        EXPECT_TRUE(Traced(std::string("cfline(") + c.line + ")\n")) << c.line;
    }
}

TEST_F(RulesTest, FacilityBeyondTheTableTouchesNothing) {
    // Heap records, so that a write far out of the record is caught.
    const char *lines[] = {"200.err\t*", "255.err\t*", "2147483647.err\t*", "4294967296.err\t*"};
    for (const char *line : lines) {
        LogTarget *t = Parse(line);
        EXPECT_EQ(LevelsOf(*t), Levels(-1, {})) << line;
        EXPECT_EQ(t->kind, TargetKind::UNUSED) << line;
        // Everything behind the entries is still zero.
        const unsigned char *after = reinterpret_cast<const unsigned char *>(&t->dest);
        const unsigned char *end = reinterpret_cast<const unsigned char *>(t + 1);
        size_t nonzero = 0;
        for (const unsigned char *p = after; p < end; ++p) {
            nonzero += *p != 0;
        }
        EXPECT_EQ(nonzero, 0u) << line;
    }
}

TEST_F(RulesTest, CflineStartsFromAClearedRecordAndKeepsTheLink) {
    LogTarget *t = Parse("mail.info\troot");
    LogTarget other{};
    t->next = &other;
    t->repeats = 5;
    std::snprintf(t->savedline, sizeof t->savedline, "old");
    cfline("news.err\t*", t);
    EXPECT_EQ(t->next, &other);
    EXPECT_EQ(t->repeats, 0);
    EXPECT_STREQ(t->savedline, "");
    EXPECT_EQ(t->dest.users[0][0], '\0');
    EXPECT_EQ(LevelsOf(*t), Levels(-1, {{7, 3}}));
    t->next = nullptr;
}

// --- actions ---

TEST_F(RulesTest, UserListsAndWriteAll) {
    struct Case {
        const char *line;
        TargetKind kind;
        std::vector<std::string> users;
        const char *leading;
    };
    const Case cases[] = {
        {"*.info\t*", TargetKind::WALL, {}, "*"},
        {"*.info\t\t \t*", TargetKind::WALL, {}, "*"},
        {"*.info\t* ignored", TargetKind::WALL, {}, "*"},
        {"*.info\troot", TargetKind::USERS, {"root"}, "r"},
        {"*.info\troot,  operator", TargetKind::USERS, {"root", "operator"}, "r"},
        {"*.info\tabcdefghijklm", TargetKind::USERS, {"abcdefgh"}, "a"},
        {"*.info\tc:\\syslog\\x.log", TargetKind::USERS, {"c:\\syslo"}, "c"},
        {"*.info\troot#x", TargetKind::USERS, {"root#x"}, "r"},
        {"*.info\troot ,op", TargetKind::USERS, {"root ", "op"}, "r"},
        {"*.info\t,,root", TargetKind::USERS, {"", "root"}, ","},
        {"*.info", TargetKind::USERS, {}, ""},
    };
    for (const Case &c : cases) {
        traces.clear();
        LogTarget *t = Parse(c.line);
        EXPECT_EQ(t->kind, c.kind) << c.line;
        for (size_t i = 0; i < MAXUSERS; ++i) {
            EXPECT_STREQ(t->dest.users[i], i < c.users.size() ? c.users[i].c_str() : "")
                << c.line << " row " << i;
        }
        EXPECT_TRUE(Traced(std::string("leading char in action: ") + c.leading + "\n")) << c.line;
        EXPECT_TRUE(Reports().empty()) << c.line;
    }
}

TEST_F(RulesTest, TwentyUsersAtMost) {
    std::string line = "*.info\t";
    for (int i = 1; i <= 22; ++i) {
        line += 'u';
        line += std::to_string(i);
        if (i < 22) {
            line += ',';
        }
    }
    LogTarget *t = Parse(line);
    ASSERT_EQ(t->kind, TargetKind::USERS);
    for (int i = 0; i < MAXUSERS; ++i) {
        std::string name(1, 'u');
        name += std::to_string(i + 1);
        EXPECT_EQ(t->dest.users[i], name);
    }
}

TEST_F(RulesTest, VerboseLinesOfTheParser) {
    struct Case {
        std::string line;
        std::string printed;
    };
    const Case cases[] = {
        {"mail.info\t*", "symbolic name: info ==> 6\nsymbolic name: mail ==> 16\nwrite-all\n"},
        {"mail.7;16.err\troot, op",
         "symbolic name: 7symbolic name: mail ==> 16\nsymbolic name: err ==> 3\n"
         "symbolic name: 16users: root, op\n"},
        {"mail.*\t*", "symbolic name: *"},
        {"*.info\t" + dir_ + "/f", "symbolic name: info ==> 6\nfilename: " + dir_ + "/f\n"},
        {"*.info\t@loghost", "symbolic name: info ==> 6\n"},
    };
    for (const Case &c : cases) {
        Stdout();
        Parse(c.line);
        EXPECT_EQ(Stdout(), c.printed) << c.line;
    }
    engine.verbose = 0;
    Parse("mail.info\troot");
    Parse("*.info\t*");
    Parse("*.info\t" + dir_ + "/g");
    EXPECT_EQ(Stdout(), "");
}

TEST_F(RulesTest, FileRuleOpensTodaysDailyFile) {
    std::string path = dir_ + "/messages";
    LogTarget *t = Parse("*.info\t" + path);
    ASSERT_EQ(t->kind, TargetKind::FILE);
    EXPECT_GE(t->fd, 0);
    EXPECT_EQ(std::string(t->dest.filename), path);
    EXPECT_TRUE(std::filesystem::exists(path + "_19990102.LOG"));
    EXPECT_TRUE(Traced("Log<" + path + "_19990102.LOG> opened\n"));
    EXPECT_TRUE(Reports().empty());
}

TEST_F(RulesTest, DailyFileNameCarriesTheLocalDate) {
    struct Case {
        const char *tz;
        int64_t seconds;
        const char *suffix;
    };
    const Case cases[] = {
        {"UTC", 946684799, "_19991231.LOG"},  // 1999-12-31 23:59:59
        {"UTC", 946684800, "_20000101.LOG"},
        {"UTC", 951782400, "_20000229.LOG"},
        {"UTC", 1709251199, "_20240229.LOG"},
        {"EST5", 946702800, "_20000101.LOG"},  // 05:00 UTC is midnight in EST5
        {"EST5", 946702799, "_19991231.LOG"},
        {"JST-9", 946652400, "_20000101.LOG"},  // 15:00 UTC the day before
    };
    int n = 0;
    for (const Case &c : cases) {
        testsupport::SetEnv("TZ", c.tz);
        testsupport::TzSet();
        clock_ms = c.seconds * 1000;
        std::string path = dir_ + "/d" + std::to_string(++n);
        LogTarget *t = Parse("*.info\t" + path);
        EXPECT_EQ(t->kind, TargetKind::FILE) << c.tz << " " << c.seconds;
        EXPECT_TRUE(std::filesystem::exists(path + c.suffix)) << c.tz << " " << c.seconds;
    }
}

TEST_F(RulesTest, HashInAFileActionIsPartOfThePath) {
    std::string path = dir_ + "/log#1";
    LogTarget *t = Parse("*.info\t" + path);
    ASSERT_EQ(t->kind, TargetKind::FILE);
    EXPECT_EQ(std::string(t->dest.filename), path);
    EXPECT_TRUE(std::filesystem::exists(path + "_19990102.LOG"));
}

TEST_F(RulesTest, FileThatCannotBeOpenedStaysUnused) {
    std::string path = dir_ + "/missing/log";
    ASSERT_LE(path.size(), 60u);
    LogTarget *t = Parse("*.info\t" + path);
    EXPECT_EQ(t->kind, TargetKind::UNUSED);
    EXPECT_EQ(Reports(),
              std::vector<std::string>{"tarnwick: " + path + ": " + RuntimeErrorText(ENOENT)});
    EXPECT_FALSE(Traced("Log<" + path + "_19990102.LOG> opened\n"));
}

TEST_F(RulesTest, ForwardingWithoutABoundSocketIsSilent) {
    LogTarget *t = Parse("*.info\t@loghost");
    EXPECT_EQ(t->kind, TargetKind::UNUSED);
    EXPECT_STREQ(t->dest.forw.forwhost, "");
    EXPECT_EQ(resolve_calls, 0);
    EXPECT_TRUE(Reports().empty());
    EXPECT_FALSE(Traced("forwarding host: loghost\n"));
}

TEST_F(RulesTest, ForwardingFillsTheAddress) {
    engine.portbound = 1;
    engine.syslogport = 0x0202;
    resolve_addr = 0x0a00000a;
    LogTarget *t = Parse("*.info\t@loghost");
    ASSERT_EQ(t->kind, TargetKind::FORW);
    EXPECT_EQ(resolved_name, "loghost");
    EXPECT_STREQ(t->dest.forw.forwhost, "loghost");
    EXPECT_EQ(t->dest.forw.forwaddr.family, kAfInet);
    EXPECT_EQ(t->dest.forw.forwaddr.port, 0x0202);
    EXPECT_EQ(t->dest.forw.forwaddr.addr, 0x0a00000au);
    for (uint8_t b : t->dest.forw.forwaddr.zero) {
        EXPECT_EQ(b, 0);
    }
    EXPECT_TRUE(Traced("forwarding host: loghost\n"));
    EXPECT_TRUE(Traced("leading char in action: @\n"));
    EXPECT_TRUE(Reports().empty());
}

TEST_F(RulesTest, UnknownForwardingHostIsReportedWithTheResolversText) {
    engine.portbound = 1;
    resolve_result = -1;
    const std::pair<const char *, const char *> cases[] = {
        {"Name or service not known", "tarnwick: nowhere: Name or service not known"},
        {"", "tarnwick: nowhere: Unknown error"},
    };
    for (const auto &[why, report] : cases) {
        traces.clear();
        resolve_why = why;
        LogTarget *t = Parse("*.info\t@nowhere");
        EXPECT_EQ(t->kind, TargetKind::UNUSED);
        EXPECT_STREQ(t->dest.forw.forwhost, "nowhere");
        EXPECT_EQ(Reports(), std::vector<std::string>{report});
    }
}

// --- what does not fit ---

TEST_F(RulesTest, RefusesWhatDoesNotFit) {
    engine.portbound = 1;
    const std::string long_path = "/" + std::string(199, 'a');  // 200 characters
    const std::string long_host(129, 'h');
    const std::string prio65(65, 'p'), prio66(66, 'p');
    const std::string fac65(65, 'f'), fac66(66, 'f');
    struct Case {
        std::string line;
        std::string report;
    };
    const Case cases[] = {
        {"*.info\t" + long_path, "tarnwick: file name too long: /" + std::string(39, 'a') + "..."},
        {"*.info\t@" + long_host, "tarnwick: host name too long: " + std::string(40, 'h') + "..."},
        {"mail." + prio65 + "\t*", "tarnwick: unknown priority name \"" + prio65 + "\""},
        {"mail." + prio66 + "\t*",
         "tarnwick: priority name too long: \"" + std::string(40, 'p') + "...\""},
        {fac65 + ".info\t*", "tarnwick: unknown facility name \"" + fac65 + "\""},
        {fac66 + ".info\t*",
         "tarnwick: facility name too long: \"" + std::string(40, 'f') + "...\""},
        {"mail." + std::string(505, 'p'),
         "tarnwick: priority name too long: \"" + std::string(40, 'p') + "...\""},
    };
    for (const Case &c : cases) {
        traces.clear();
        LogTarget *t = Parse(c.line);
        EXPECT_EQ(t->kind, TargetKind::UNUSED) << c.line;
        EXPECT_STREQ(t->dest.filename, "") << c.line;
        EXPECT_EQ(resolve_calls, 0) << c.line;
        ASSERT_EQ(Reports().size(), 1u) << c.line;
        EXPECT_EQ(Reports()[0], c.report);
        EXPECT_LT(c.report.size(), static_cast<size_t>(ERRBUF_SIZE)) << c.report;
    }
}

TEST_F(RulesTest, LongestThatFitsIsTaken) {
    engine.portbound = 1;
    std::string path = dir_ + "/";
    path += std::string(199 - path.size(), 'a');
    LogTarget *t = Parse("*.info\t" + path);
    EXPECT_EQ(t->kind, TargetKind::FILE);
    EXPECT_EQ(std::string(t->dest.filename), path);
    EXPECT_TRUE(std::filesystem::exists(path + "_19990102.LOG"));

    std::string host(128, 'h');
    t = Parse("*.info\t@" + host);
    EXPECT_EQ(t->kind, TargetKind::FORW);
    EXPECT_EQ(std::string(t->dest.forw.forwhost), host);
    EXPECT_TRUE(Reports().empty());
}

// --- init ---

TEST_F(RulesTest, MissingOrUnreadableRuleFileGivesTheBuiltInRules) {
    // A directory opens on POSIX and fails its first read: unreadable, and
    // so reported.  (On Windows it does not open: missing.)
    const std::string unread = dir_ + "/dir.conf";
    std::filesystem::create_directory(unread);
    const std::string console = "/dev/console_19990102.LOG";
    bool existed = std::filesystem::exists(console);
    for (const std::string &path : {dir_ + "/none.conf", unread}) {
        traces.clear();
        std::snprintf(settings.conffile, sizeof settings.conffile, "%s", path.c_str());
        EXPECT_EQ(init(), 0);
        EXPECT_EQ(engine.rulesready, 1);
        EXPECT_TRUE(Traced("init\n"));
        EXPECT_TRUE(Traced("cannot open " + path + "\n")) << path;
        EXPECT_TRUE(Traced("cfline(*.ERR\t/dev/console)\n"));
        EXPECT_TRUE(Traced("cfline(*.PANIC\t*)\n"));
        std::vector<LogTarget *> list = Targets();
        ASSERT_EQ(list.size(), 2u) << path;
        EXPECT_EQ(LevelsOf(*list[0]), Levels(3, {}));
        EXPECT_STREQ(list[0]->dest.filename, "/dev/console");
        std::vector<std::string> reports = Reports();
        if (list[0]->kind != TargetKind::FILE) {
            EXPECT_EQ(list[0]->kind, TargetKind::UNUSED);
            ASSERT_FALSE(reports.empty());
            EXPECT_EQ(reports[0].rfind("tarnwick: /dev/console: ", 0), 0u) << reports[0];
            reports.erase(reports.begin());
        }
        std::vector<std::string> expected;
        if (Traced("Configuration<" + path + "> begins to proess\n")) {
            expected.push_back("tarnwick: " + path + ": " + RuntimeErrorText(EISDIR));
        }
        EXPECT_EQ(reports, expected);
        EXPECT_EQ(LevelsOf(*list[1]), Levels(0, {}));
        EXPECT_EQ(list[1]->kind, TargetKind::WALL);
        // No listing, no restart message.
        std::string out = Stdout();
        EXPECT_EQ(out.find("WALL: "), std::string::npos) << out;
        EXPECT_FALSE(Traced("tarnwick: restarted\n"));
    }
    if (!existed) {
        std::remove(console.c_str());
    }
}

TEST_F(RulesTest, LoadSkipsCommentsAndCutsTrailingWhiteSpace) {
    WriteConf(
        "# comment\n"
        "   # indented comment\n"
        "\n"
        " \t \r\n"
        "\v\f\n"
        "mail.info\t*  \t\r\n"
        "kern.err\troot #x\x0b\x0c\n"
        "news.crit\t\t  op,  # not a comment\n"
        "bogus.info\t*\n"
        "*.debug\t*");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(engine.rulesready, 1);
    EXPECT_TRUE(Traced(std::string("Configuration<") + settings.conffile + "> begins to proess\n"));
    EXPECT_TRUE(Traced("cfline(mail.info\t*)\n"));
    EXPECT_TRUE(Traced("cfline(kern.err\troot #x)\n"));
    std::vector<LogTarget *> list = Targets();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0]->kind, TargetKind::WALL);
    EXPECT_EQ(LevelsOf(*list[0]), Levels(-1, {{2, 6}}));
    EXPECT_EQ(list[1]->kind, TargetKind::USERS);
    EXPECT_STREQ(list[1]->dest.users[0], "root #x");
    EXPECT_EQ(list[2]->kind, TargetKind::USERS);
    EXPECT_STREQ(list[2]->dest.users[0], "op");
    EXPECT_STREQ(list[2]->dest.users[1], "# not a ");
    EXPECT_EQ(list[3]->kind, TargetKind::UNUSED);
    EXPECT_EQ(LevelsOf(*list[3]), Levels(-1, {}));
    EXPECT_EQ(list[4]->kind, TargetKind::WALL);
    EXPECT_EQ(list[4]->next, nullptr);
    EXPECT_EQ(Reports(), std::vector<std::string>{"tarnwick: unknown facility name \"bogus\""});
    EXPECT_TRUE(Traced("tarnwick: restarted\n"));
}

TEST_F(RulesTest, ParseErrorsAreReportedWhileTheTableIsNotReady) {
    WriteConf("mail.*\t*\nmail.info\t*\n");
    init();
    ASSERT_EQ(traces.size(), ready_at_trace.size());
    bool seen = false;
    for (size_t i = 0; i < traces.size(); ++i) {
        if (traces[i] == "tarnwick: unknown priority name \"*\"\n") {
            seen = true;
            EXPECT_EQ(ready_at_trace[i], 0);
        }
        if (traces[i] == "tarnwick: restarted\n") {
            EXPECT_EQ(ready_at_trace[i], 1);
        }
    }
    EXPECT_TRUE(seen);
}

TEST_F(RulesTest, LongPhysicalLineIsReadAsTwoLines) {
    std::string first = "mail.info\t" + std::string(501, 'u');  // 511 characters
    std::string second = "news.err\t" + std::string(80, 'v');   // 89 characters
    ASSERT_EQ(first.size() + second.size(), 600u);
    WriteConf("kern.info\t*\n" + first + second + "\r\nuser.info\t*\n");
    init();
    std::vector<LogTarget *> list = Targets();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_TRUE(Traced("cfline(" + first + ")\n"));
    EXPECT_TRUE(Traced("cfline(" + second + ")\n"));
    EXPECT_EQ(LevelsOf(*list[1]), Levels(-1, {{2, 6}}));
    EXPECT_STREQ(list[1]->dest.users[0], "uuuuuuuu");
    EXPECT_EQ(LevelsOf(*list[2]), Levels(-1, {{7, 3}}));
    EXPECT_STREQ(list[2]->dest.users[0], "vvvvvvvv");
    EXPECT_EQ(LevelsOf(*list[3]), Levels(-1, {{1, 6}}));
    EXPECT_TRUE(Reports().empty());
}

TEST_F(RulesTest, ListingShowsEveryTarget) {
    engine.portbound = 1;
    engine.syslogport = 0x0202;
    resolve_addr = 0x0100007f;
    std::string path = dir_ + "/log";
    WriteConf("mail.info;news.err\t" + path +
              "\n"
              "*.crit;mark.info\t@loghost\n"
              "kern.debug\troot,  operator\n"
              "local7.none;user.272\t*\n"
              "mail.*\t*\n"
              "lpr.info\t\n");
    init();
    std::string out = Stdout();
    std::string listing = "X X 6 X X X X 3 " + Xs(17) + "FILE: " + path + "\n" + Repeat("2 ", 24) +
                          "6 FORW: loghost\n" + "7 " + Xs(24) + "USERS: root, operator, \n" +
                          Xs(25) + "WALL: \n" + Xs(25) + "UNUSED: \n" + Xs(6) + "6 " + Xs(18) +
                          "USERS: \n";
    ASSERT_GE(out.size(), listing.size()) << out;
    EXPECT_EQ(out.substr(out.size() - listing.size()), listing) << out;
    EXPECT_TRUE(Traced("tarnwick: restarted\n"));

    engine.verbose = 0;
    init();
    EXPECT_EQ(Stdout(), "");
}

TEST_F(RulesTest, ReloadClosesFilesAndReplacesTheList) {
    std::string path = dir_ + "/log";
    WriteConf("*.info\t" + path + "\nmail.info\troot\n");
    init();
    std::vector<LogTarget *> first = Targets();
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(first[0]->kind, TargetKind::FILE);
    int fd = first[0]->fd;
    ASSERT_GE(fd, 0);
    first[1]->repeats = 2;
    first[0]->repeats = 3;  // written, with the lines gathered, before the file closes

    // The forwarding host is looked up once, before the lock is taken.
    engine.portbound = 1;
    WriteConf("news.err\t*\n*.info\t@far\nmail.err\t \t@far\n");
    traces.clear();
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(engine.rulesready, 1);
    EXPECT_EQ(resolve_calls, 1);
    EXPECT_EQ(resolved_locked, 0);
    std::vector<LogTarget *> second = Targets();
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[0]->kind, TargetKind::WALL);
    EXPECT_EQ(second[2]->kind, TargetKind::FORW);
    EXPECT_EQ(LevelsOf(*second[0]), Levels(-1, {{7, 3}}));
    // The old descriptor is closed: closing it again fails.
    EXPECT_EQ(TextClose(fd), -1);
    for (const auto &e : std::filesystem::directory_iterator(dir_)) {
        if (e.path().filename().string().rfind("log_", 0) == 0) {
            const std::string text = testutil::ReadFile(e.path().string());
            EXPECT_NE(text.find(" last message repeated 3 times\r\n"), std::string::npos) << text;
        }
    }
    EXPECT_TRUE(Traced("init\n"));
    EXPECT_TRUE(Traced("tarnwick: restarted\n"));
}

}  // namespace
