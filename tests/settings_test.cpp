#include "service/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "test_util.h"

namespace {

const std::string kLogDirMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\Log Dir) - not found\n";
const std::string kConfMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\Config File) - not found\n";
const std::string kPidMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\PID File) - not found\n";

// A value to write: a string, or a dword when number is set.
struct Value {
    const char *name;
    std::string text;
    bool number = false;
};

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { SettingsResetForTest(); }
    void TearDown() override {
        SettingsResetForTest();
        engine.stoprequested = 0;
    }
    void Write(const char *key, const std::vector<Value> &values) {
        for (const Value &v : values) {
            if (v.number) {
                registry_.WriteNumber(key, v.name, 1);
            } else {
                registry_.WriteSetting(key, v.name, v.text);
            }
        }
    }
    std::vector<std::string> Warnings() const { return trace_.Texts("Warning "); }

    testsupport::PrivateRegistry registry_;
    testutil::TraceCatcher trace_{Trace | Warning};
};

TEST_F(SettingsTest, InitialValuesAreFullPathsAndResetRestoresThem) {
    EXPECT_STREQ(kSettingsKey, "SOFTWARE\\Halvane\\TARNWICK");
    for (int round = 0; round < 2; ++round) {
        EXPECT_STREQ(settings.logdir, "c:\\syslog") << round;
        EXPECT_STREQ(settings.conffile, "c:\\syslog\\syslog.conf") << round;
        EXPECT_STREQ(settings.pidfile, "c:\\syslog\\syslog.pid") << round;
        ServiceInit();
        EXPECT_STREQ(settings.conffile, "syslog.conf");
        SettingsResetForTest();
    }
}

TEST_F(SettingsTest, NoRegistryGivesFallbacksAndThreeWarnings) {
    engine.stoprequested = 1;
    ServiceInit();
    std::vector<testutil::TraceLine> lines = trace_.Split();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].label, "Trace   ");
    EXPECT_EQ(lines[0].text, "Entering ServiceInit");  // no line end of its own
    EXPECT_EQ(Warnings(), (std::vector<std::string>{kLogDirMissing, kConfMissing, kPidMissing}));
    EXPECT_STREQ(settings.logdir, "c:\\syslog");
    EXPECT_STREQ(settings.conffile, "syslog.conf");
    EXPECT_STREQ(settings.pidfile, "syslog.pid");
    EXPECT_EQ(engine.stoprequested.load(), 1);  // a stop requested meanwhile stands
}

struct InitCase {
    const char *what;
    const char *key;
    std::vector<Value> values;
    const char *logdir;
    const char *conffile;
    const char *pidfile;
    std::vector<std::string> warnings;
};

TEST_F(SettingsTest, ServiceInitReadsTheThreeValues) {
    const std::string chars255(255, 'a');
    const std::string chars256(256, 'b');
    const InitCase cases[] = {
        {"no settings key",
         "SOFTWARE\\Halvane",
         {{"Log Dir", "/x"}},
         "c:\\syslog",
         "syslog.conf",
         "syslog.pid",
         {kLogDirMissing, kConfMissing, kPidMissing}},
        {"key without values",
         kSettingsKey,
         {},
         "c:\\syslog",
         "syslog.conf",
         "syslog.pid",
         {kLogDirMissing, kConfMissing, kPidMissing}},
        {"only Log Dir",
         kSettingsKey,
         {{"Log Dir", "/var/log/tarnwick"}},
         "/var/log/tarnwick",
         "syslog.conf",
         "syslog.pid",
         {kConfMissing, kPidMissing}},
        {"all three",
         kSettingsKey,
         {{"Log Dir", "/var/log/tw"},
          {"Config File", "/etc/tw/syslog.conf"},
          {"PID File", "/run/tw.pid"}},
         "/var/log/tw",
         "/etc/tw/syslog.conf",
         "/run/tw.pid",
         {}},
        {"Config File, full path",
         kSettingsKey,
         {{"Config File", "/etc/tarnwick/rules.conf"}},
         "c:\\syslog",
         "/etc/tarnwick/rules.conf",
         "syslog.pid",
         {kLogDirMissing, kPidMissing}},
        {"Config File, relative path",
         kSettingsKey,
         {{"Config File", "conf/rules.conf"}},
         "c:\\syslog",
         "conf/rules.conf",
         "syslog.pid",
         {kLogDirMissing, kPidMissing}},
        {"Windows paths",
         kSettingsKey,
         {{"Log Dir", "d:\\logs"}, {"PID File", "d:\\run\\tw.pid"}},
         "d:\\logs",
         "syslog.conf",
         "d:\\run\\tw.pid",
         {kConfMissing}},
        {"quotes in a value",
         kSettingsKey,
         {{"PID File", "say \"pid\""}},
         "c:\\syslog",
         "syslog.conf",
         "say \"pid\"",
         {kLogDirMissing, kConfMissing}},
        {"names in other case",
         "Software\\halvane\\Tarnwick",
         {{"LOG DIR", "/l"}, {"config file", "/c"}, {"Pid File", "/p"}},
         "/l",
         "/c",
         "/p",
         {}},
        {"dword Log Dir",
         kSettingsKey,
         {{"Log Dir", "", true}, {"PID File", "/p"}},
         "c:\\syslog",
         "syslog.conf",
         "/p",
         {kLogDirMissing, kConfMissing}},
        {"255 characters are read",
         kSettingsKey,
         {{"Log Dir", chars255}},
         chars255.c_str(),
         "syslog.conf",
         "syslog.pid",
         {kConfMissing, kPidMissing}},
        {"256 characters are not read",
         kSettingsKey,
         {{"Log Dir", chars256}, {"PID File", chars256}},
         "c:\\syslog",
         "syslog.conf",
         "syslog.pid",
         {kLogDirMissing, kConfMissing, kPidMissing}},
    };
    for (const InitCase &c : cases) {
        registry_.Clear();
        registry_.MakeKey(c.key);
        Write(c.key, c.values);
        SettingsResetForTest();
        trace_.Clear();
        engine.stoprequested = 1;
        ServiceInit();
        EXPECT_EQ(engine.stoprequested.load(), 1) << c.what;
        EXPECT_STREQ(settings.logdir, c.logdir) << c.what;
        EXPECT_STREQ(settings.conffile, c.conffile) << c.what;
        EXPECT_STREQ(settings.pidfile, c.pidfile) << c.what;
        EXPECT_EQ(Warnings(), c.warnings) << c.what;
    }
}

struct ReadCase {
    size_t chars;  // of the value's data
    size_t size;   // of the buffer
    bool read;
};

TEST_F(SettingsTest, ReadRegValueFitsTheBufferWithTheTerminator) {
    const ReadCase cases[] = {
        {0, 1, true},      {0, 0, false},    {1, 1, false},     {1, 2, true},     {255, 256, true},
        {256, 256, false}, {256, 257, true}, {300, 256, false}, {254, 256, true}, {255, 255, false},
    };
    for (const ReadCase &c : cases) {
        const std::string value(c.chars, 'v');
        registry_.WriteSetting(kSettingsKey, "Log Dir", value);
        std::vector<char> buffer(c.size + 1, '#');
        EXPECT_EQ(ReadRegValue(kRegLocalMachine, kSettingsKey, "Log Dir", buffer.data(), c.size),
                  c.read)
            << c.chars << " in " << c.size;
        if (c.read) {
            EXPECT_EQ(std::string(buffer.data()), value) << c.chars << " in " << c.size;
        } else {
            EXPECT_EQ(std::string(buffer.data(), c.size + 1), std::string(c.size + 1, '#'))
                << "untouched: " << c.chars << " in " << c.size;
        }
    }
}

TEST_F(SettingsTest, ReadRegValueLeavesTheBufferAloneWhenNothingIsThere) {
    char buffer[16] = "unchanged";
    EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "Log Dir", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "unchanged");

    registry_.WriteSetting(kSettingsKey, "Other", "x");
    EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "Log Dir", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "unchanged");
    EXPECT_FALSE(
        ReadRegValue(kRegLocalMachine, "SOFTWARE\\Nobody", "Other", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "unchanged");
    EXPECT_TRUE(ReadRegValue(kRegLocalMachine, kSettingsKey, "other", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "x");
    EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(SettingsTest, ReadRegValueClosesTheKeyOnEveryPath) {
    // More reads than the POSIX stand-in has key handles: a handle kept open
    // on any path would make the later opens fail (and, on Windows, the
    // process's handle count grow).
    registry_.WriteSetting(kSettingsKey, "A", "a");
    registry_.WriteSetting(kSettingsKey, "L", std::string(300, 'l'));
    registry_.WriteNumber(kSettingsKey, "D", 1);
    char buffer[256];
    const unsigned long before = testsupport::OpenHandles();
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(ReadRegValue(kRegLocalMachine, kSettingsKey, "A", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "L", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "D", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "X", buffer, sizeof buffer)) << i;
    }
    EXPECT_EQ(testsupport::OpenHandles(), before);
    EXPECT_TRUE(trace_.Lines().empty());
}

}  // namespace
