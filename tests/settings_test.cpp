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
    testsupport::PrivateRegistry registry_;
    testutil::TraceCatcher trace_{Trace | Warning};
};

// A value that cannot be read (or does not fit with its terminator) takes its
// fall-back, with a Warning; a stop requested meanwhile stands.  Every read
// closes its key: the POSIX registry has 16 key handles.
TEST_F(SettingsTest, ServiceInitReadsTheThreeValues) {
    const std::string chars255(255, 'a'), chars256(256, 'b');
    const struct {
        const char *key;
        std::vector<std::pair<const char *, std::string>> values;
        std::string paths;   // Log Dir|Config File|PID File
        std::string warned;  // L, C, P: the values warned about
    } cases[] = {
        {"SOFTWARE\\Halvane", {{"Log Dir", "/x"}}, "c:\\syslog|syslog.conf|syslog.pid", "LCP"},
        {kSettingsKey,
         {{"Config File", "conf/r.conf"}, {"PID File", "/run/tw.pid"}},
         "c:\\syslog|conf/r.conf|/run/tw.pid",
         "L"},
        {kSettingsKey,
         {{"Log Dir", chars255}, {"PID File", chars256}},
         chars255 + "|syslog.conf|syslog.pid",
         "CP"},
    };
    for (int round = 0; round < 6; ++round) {
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
            EXPECT_EQ(
                std::string(settings.logdir) + "|" + settings.conffile + "|" + settings.pidfile,
                c.paths);
            std::vector<std::string> warnings;
            for (const char *name : {"Log Dir", "Config File", "PID File"}) {
                if (c.warned.find(name[0]) != std::string::npos) {
                    warnings.push_back("reg_key(SOFTWARE\\Halvane\\TARNWICK\\" + std::string(name) +
                                       ") - not found\n");
                }
            }
            EXPECT_EQ(trace_.Texts("Warning "), warnings);
        }
    }
}

}  // namespace
