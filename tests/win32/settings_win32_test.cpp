// Start-up settings from the live registry on Windows: the three path values
// of SOFTWARE\Halvane\TARNWICK, their fall-backs and the buffer limits.
#include <mutex>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "engine/tarnwick.h"
#include "platform/debugger_testing.h"
#include "service/settings.h"
#include "win32/registry_fixture.h"

namespace {

const std::string kLogDirMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\Log Dir) - not found\n";
const std::string kConfMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\Config File) - not found\n";
const std::string kPidMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\PID File) - not found\n";

std::mutex lines_lock;
std::vector<std::string> warnings;

void CatchLine(const char *text) {
    std::string line(text);
    size_t at = line.find("> ");
    if (at != std::string::npos && line.compare(at + 2, 8, "Warning ") == 0) {
        std::lock_guard<std::mutex> guard(lines_lock);
        warnings.push_back(line.substr(at + 2 + 8 + 2));
    }
}

class SettingsWin32 : public registrytest::PrivateMachineKey {
  protected:
    void SetUp() override {
        PrivateMachineKey::SetUp();
        SettingsResetForTest();
        warnings.clear();
        DebugOutputSetSink(CatchLine);
        LogSetMaskForTest(Trace | Warning);
    }
    void TearDown() override {
        LogResetForTest();
        DebugOutputSetSink(nullptr);
        SettingsResetForTest();
        engine.stoprequested = 0;
        PrivateMachineKey::TearDown();
    }
};

TEST_F(SettingsWin32, NoKeyGivesFallbacksAndThreeWarnings) {
    engine.stoprequested = 1;
    ServiceInit();
    EXPECT_EQ(warnings, (std::vector<std::string>{kLogDirMissing, kConfMissing, kPidMissing}));
    EXPECT_STREQ(settings.logdir, "c:\\syslog");
    EXPECT_STREQ(settings.conffile, "syslog.conf");
    EXPECT_STREQ(settings.pidfile, "syslog.pid");
    EXPECT_EQ(engine.stoprequested.load(), 1);  // a stop requested meanwhile stands
}

TEST_F(SettingsWin32, ServiceInitReadsTheThreeValues) {
    SetString(kSettingsKey, "Log Dir", "d:\\logs");
    SetString(kSettingsKey, "config file", "d:\\etc\\syslog.conf");
    SetString(kSettingsKey, "PID File", std::string(255, 'p'));
    ServiceInit();
    EXPECT_TRUE(warnings.empty());
    EXPECT_STREQ(settings.logdir, "d:\\logs");
    EXPECT_STREQ(settings.conffile, "d:\\etc\\syslog.conf");
    EXPECT_EQ(std::string(settings.pidfile), std::string(255, 'p'));
}

TEST_F(SettingsWin32, ValuesThatCannotBeReadTakeTheirFallbacks) {
    const DWORD one = 1;
    Set(kSettingsKey, "Log Dir", REG_DWORD, &one, sizeof one);
    Set(kSettingsKey, "Config File", REG_BINARY, "/c", 3);
    SetString(kSettingsKey, "PID File", std::string(256, 'p'));
    ServiceInit();
    EXPECT_EQ(warnings, (std::vector<std::string>{kLogDirMissing, kConfMissing, kPidMissing}));
    EXPECT_STREQ(settings.logdir, "c:\\syslog");
    EXPECT_STREQ(settings.conffile, "syslog.conf");
    EXPECT_STREQ(settings.pidfile, "syslog.pid");
}

struct ReadCase {
    size_t chars;  // of the value's data
    size_t size;   // of the buffer
    bool read;
};

TEST_F(SettingsWin32, ReadRegValueFitsTheBufferWithTheTerminator) {
    const ReadCase cases[] = {
        {0, 1, true},      {0, 0, false},    {1, 1, false},     {1, 2, true},     {255, 256, true},
        {256, 256, false}, {256, 257, true}, {300, 256, false}, {254, 256, true}, {255, 255, false},
    };
    for (const ReadCase &c : cases) {
        const std::string value(c.chars, 'v');
        SetString(kSettingsKey, "Log Dir", value);
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

TEST_F(SettingsWin32, ReadRegValueClosesTheKeyOnEveryPath) {
    SetString(kSettingsKey, "A", "a");
    SetString(kSettingsKey, "L", std::string(300, 'l'));
    const DWORD one = 1;
    Set(kSettingsKey, "D", REG_DWORD, &one, sizeof one);
    char buffer[256];
    // No key handle is left behind on any path.
    DWORD before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(ReadRegValue(kRegLocalMachine, kSettingsKey, "A", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "L", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "D", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "X", buffer, sizeof buffer)) << i;
    }
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
    EXPECT_TRUE(warnings.empty());
}

}  // namespace
