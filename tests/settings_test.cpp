// The three path settings, read from the registry at start-up.
#include "service/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "test_util.h"

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { SettingsResetForTest(); }
    void TearDown() override {
        SettingsResetForTest();
        engine.stoprequested = 0;
    }
    bool Read(const char *name, char *buffer, size_t size, const char *key = kSettingsKey) {
        return ReadRegValue(kRegLocalMachine, key, name, buffer, size);
    }

    testsupport::PrivateRegistry registry_;
    testutil::TraceCatcher trace_{Trace | Warning};
};

// A value that cannot be read takes its fall-back, with a Warning; a stop
// requested meanwhile stands.
TEST_F(SettingsTest, ServiceInitReadsTheThreeValues) {
    const std::string chars255(255, 'a'), chars256(256, 'b');
    const struct {
        const char *key;
        std::vector<std::pair<const char *, std::string>> values;
        std::string paths;   // Log Dir|Config File|PID File
        std::string warned;  // L, C, P: the values warned about
    } cases[] = {
        {"SOFTWARE\\Halvane", {{"Log Dir", "/x"}}, "c:\\syslog|syslog.conf|syslog.pid", "LCP"},
        {kSettingsKey, {{"Log Dir", "/var/log/tw"}}, "/var/log/tw|syslog.conf|syslog.pid", "CP"},
        {kSettingsKey,
         {{"Config File", "conf/r.conf"}, {"PID File", "/run/tw.pid"}},
         "c:\\syslog|conf/r.conf|/run/tw.pid",
         "L"},
        {"Software\\halvane\\Tarnwick",
         {{"LOG DIR", "/l"}, {"config file", "/c"}, {"Pid File", "/p"}},
         "/l|/c|/p",
         ""},
        {kSettingsKey,
         {{"Log Dir", "d:\\logs"}, {"PID File", "say \"pid\""}},
         "d:\\logs|syslog.conf|say \"pid\"",
         "C"},
        {kSettingsKey,
         {{"Log Dir", chars255}, {"PID File", chars256}},
         chars255 + "|syslog.conf|syslog.pid",
         "CP"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.paths);
        registry_.Clear();
        for (const auto &[name, text] : c.values) {
            registry_.WriteSetting(c.key, name, text);
        }
        SettingsResetForTest();
        trace_.Clear();
        engine.stoprequested = 1;
        ServiceInit();
        EXPECT_EQ(engine.stoprequested.load(), 1);
        EXPECT_EQ(std::string(settings.logdir) + "|" + settings.conffile + "|" + settings.pidfile,
                  c.paths);
        std::vector<std::string> warnings;
        for (const char *name : {"Log Dir", "Config File", "PID File"}) {
            if (c.warned.find(name[0]) != std::string::npos) {
                warnings.push_back("reg_key(SOFTWARE\\Halvane\\TARNWICK\\" + std::string(name) +
                                   ") - not found\n");
            }
        }
        EXPECT_EQ(trace_.Texts("Warning "), warnings);
        ASSERT_FALSE(trace_.Split().empty());
        EXPECT_EQ(trace_.Split()[0].label + trace_.Split()[0].text,
                  "Trace   Entering ServiceInit");  // no line end of its own
    }
}

// The value with its terminator must fit, else (or when the key or value is
// missing) the buffer is untouched; every path closes the key: the POSIX
// registry has 16 key handles.
TEST_F(SettingsTest, ReadRegValueFitsTheBufferAndClosesTheKey) {
    const struct {
        size_t chars, size;
        bool read;
    } cases[] = {{0, 1, true}, {0, 0, false}, {1, 1, false}, {1, 2, true}, {255, 256, true}};
    for (int round = 0; round < 6; ++round) {
        for (const auto &c : cases) {
            const std::string value(c.chars, 'v');
            registry_.WriteSetting(kSettingsKey, "Log Dir", value);
            std::string buffer(c.size + 1, '#');
            EXPECT_EQ(Read("Log Dir", buffer.data(), c.size), c.read)
                << c.chars << " in " << c.size;
            EXPECT_EQ(buffer, c.read ? value + '\0' + std::string(c.size - c.chars, '#')
                                     : std::string(c.size + 1, '#'));
        }
    }
    char buffer[16] = "unchanged";
    EXPECT_FALSE(Read("Other", buffer, sizeof buffer));
    EXPECT_FALSE(Read("Log Dir", buffer, sizeof buffer, "SOFTWARE\\Nobody"));
    EXPECT_STREQ(buffer, "unchanged");
    EXPECT_TRUE(trace_.Lines().empty());
}

}  // namespace
