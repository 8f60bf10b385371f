// tarnwick-check in-process: the listing, refused lines by number, unreadable, usage.
#include "check/rulecheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "service/settings.h"
#include "test_util.h"

namespace {

// The listing's levels: 24 facilities at level, mark at none.
std::string Levels(char level) {
    std::string s;
    for (int i = 0; i < 24; ++i) {
        s = s + level + " ";
    }
    return s + "X ";
}

TEST(RuleCheck, ListsTheRulesAndNamesEachRefusedLine) {
    testutil::TempDir tmp, logs;
    std::string dir =
        tmp.path().size() > 1 && tmp.path()[1] == ':' ? tmp.path().substr(2) : tmp.path();
    const std::string conf = tmp / "syslog.conf", none = tmp / "none.conf";
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
        {{conf},
         "# comment\r\n   # indented\r\n \t \r\n*.info\t" + dir +
             "/messages  \t\r\n\nmail.err;user.info\troot, op\n",
         0,
         Levels('6') + "FILE: " + dir + "/messages\n" + Levels('X').replace(2, 4, "6 3 ") +
             "USERS: root, op, \n",
         ""},
        // A split line keeps its number; the folder of a file must exist.
        {{conf},
         "mail.foo\t*\n# c\n*.err\t/tarnwick-no-such-folder/log\n" + std::string(511, 'k') +
             "mail.foo\t*\n",
         1,
         unused + Levels('3') + "UNUSED: \n" + unused + unused,
         conf + ":1: tarnwick: unknown priority name \"foo\"\n" + conf +
             ":3: tarnwick: /tarnwick-no-such-folder/log" + nofile + conf +
             ":4: tarnwick: unknown priority name \"\"\n" + conf +
             ":4: tarnwick: unknown priority name \"foo\"\n"},
        {{"syslog.conf"}, "*.info\t*\n", 0, Levels('6') + "WALL: \n", ""},
        {{none}, "", 2, "", "tarnwick-check: cannot read " + none + nofile},
        {{conf, conf}, "", 2, "", "usage: tarnwick-check [FILE]\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rules);
        EngineResetForTest();
        SettingsResetForTest();
        std::filesystem::current_path(tmp.path());
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
        // Named, not created; nothing routed.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1);
        EXPECT_EQ(engine.check, nullptr);
    }
    std::filesystem::current_path(caller);
    EngineResetForTest();
    SettingsResetForTest();
}

}  // namespace
