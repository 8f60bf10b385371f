#include "service/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/tarnwick.h"
#include "posix/registry_fixture.h"

namespace {

using namespace regtest;

const std::string kLogDirMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\Log Dir) - not found\n";
const std::string kConfMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\Config File) - not found\n";
const std::string kPidMissing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\PID File) - not found\n";

std::vector<std::string> Warnings() {
    std::vector<std::string> out;
    for (const std::string &line : lines) {
        if (Label(line) == "Warning ") {
            out.push_back(Text(line));
        }
    }
    return out;
}

class SettingsTest : public RegistryFileTest {
  protected:
    void SetUp() override {
        RegistryFileTest::SetUp();
        SettingsResetForTest();
    }
    void TearDown() override {
        RegistryFileTest::TearDown();
        SettingsResetForTest();
        engine.stoprequested = 0;
    }
    // The Warning line of a malformed registry file.
    std::string Malformed(int line, const char *what) {
        return "Registry file " + file_ + " line " + std::to_string(line) + ": " + what +
               " - file ignored\n";
    }
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

TEST_F(SettingsTest, NoRegistryFileGivesFallbacksAndThreeWarnings) {
    engine.stoprequested = 1;
    ServiceInit();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(Label(lines[0]), "Trace   ");
    EXPECT_EQ(Text(lines[0]), "Entering ServiceInit");  // no line end of its own
    EXPECT_EQ(Warnings(), (std::vector<std::string>{kLogDirMissing, kConfMissing, kPidMissing}));
    EXPECT_STREQ(settings.logdir, "c:\\syslog");
    EXPECT_STREQ(settings.conffile, "syslog.conf");
    EXPECT_STREQ(settings.pidfile, "syslog.pid");
    EXPECT_EQ(engine.stoprequested.load(), 1);  // a stop requested meanwhile stands
}

struct InitCase {
    const char *what;
    std::string file;
    const char *logdir;
    const char *conffile;
    const char *pidfile;
    std::vector<std::string> warnings;
};

TEST_F(SettingsTest, ServiceInitReadsTheThreeValues) {
    const std::string head = kHead;
    const std::string key = kKeyLine;
    const std::string chars255(255, 'a');
    const std::string chars256(256, 'b');
    const InitCase cases[] = {
        {"no settings key",
         head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane]\n\"Log Dir\"=\"/x\"\n",
         "c:\\syslog",
         "syslog.conf",
         "syslog.pid",
         {kLogDirMissing, kConfMissing, kPidMissing}},
        {"key without values",
         head + key,
         "c:\\syslog",
         "syslog.conf",
         "syslog.pid",
         {kLogDirMissing, kConfMissing, kPidMissing}},
        {"only Log Dir",
         head + key + "\"Log Dir\"=\"/var/log/tarnwick\"\n",
         "/var/log/tarnwick",
         "syslog.conf",
         "syslog.pid",
         {kConfMissing, kPidMissing}},
        {"all three",
         head + key +
             "\"Log Dir\"=\"/var/log/tw\"\n\"Config File\"=\"/etc/tw/syslog.conf\"\n"
             "\"PID File\"=\"/run/tw.pid\"\n",
         "/var/log/tw",
         "/etc/tw/syslog.conf",
         "/run/tw.pid",
         {}},
        {"Config File, full path",
         head + key + "\"Config File\"=\"/etc/tarnwick/rules.conf\"\n",
         "c:\\syslog",
         "/etc/tarnwick/rules.conf",
         "syslog.pid",
         {kLogDirMissing, kPidMissing}},
        {"Config File, relative path",
         head + key + "\"Config File\"=\"conf/rules.conf\"\n",
         "c:\\syslog",
         "conf/rules.conf",
         "syslog.pid",
         {kLogDirMissing, kPidMissing}},
        {"Windows paths with escapes",
         head + key + "\"Log Dir\"=\"d:\\\\logs\"\n\"PID File\"=\"d:\\\\run\\\\tw.pid\"\n",
         "d:\\logs",
         "syslog.conf",
         "d:\\run\\tw.pid",
         {kConfMissing}},
        {"quotes in a value",
         head + key + "\"PID File\"=\"say \\\"pid\\\"\"\n",
         "c:\\syslog",
         "syslog.conf",
         "say \"pid\"",
         {kLogDirMissing, kConfMissing}},
        {"names in other case",
         head + "[hkey_local_machine\\Software\\halvane\\Tarnwick]\n\"LOG DIR\"=\"/l\"\n"
                "\"config file\"=\"/c\"\n\"Pid File\"=\"/p\"\n",
         "/l",
         "/c",
         "/p",
         {}},
        {"CR LF",
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\r\n"
         "\"Log Dir\"=\"/crlf\"\r\n\"PID File\"=\"/crlf.pid\"\r\n",
         "/crlf",
         "syslog.conf",
         "/crlf.pid",
         {kConfMissing}},
        {"UTF-16LE with BOM",
         Utf16(head + key +
               "\"Log Dir\"=\"/u16\"\r\n\"Config File\"=\"/u16.conf\"\r\n"
               "\"PID File\"=\"/u16.pid\"\r\n"),
         "/u16",
         "/u16.conf",
         "/u16.pid",
         {}},
        {"dword Log Dir",
         head + key + "\"Log Dir\"=dword:00000001\n\"PID File\"=\"/p\"\n",
         "c:\\syslog",
         "syslog.conf",
         "/p",
         {kLogDirMissing, kConfMissing}},
        {"hex Config File",
         head + key + "\"Config File\"=hex:2f,00\n\"Log Dir\"=\"/l\"\n",
         "/l",
         "syslog.conf",
         "syslog.pid",
         {kConfMissing, kPidMissing}},
        {"255 characters are read",
         head + key + "\"Log Dir\"=\"" + chars255 + "\"\n",
         chars255.c_str(),
         "syslog.conf",
         "syslog.pid",
         {kConfMissing, kPidMissing}},
        {"256 characters are not read",
         head + key + "\"Log Dir\"=\"" + chars256 + "\"\n\"PID File\"=\"" + chars256 + "\"\n",
         "c:\\syslog",
         "syslog.conf",
         "syslog.pid",
         {kLogDirMissing, kConfMissing, kPidMissing}},
    };
    for (const InitCase &c : cases) {
        Write(c.file);
        SettingsResetForTest();
        lines.clear();
        engine.stoprequested = 1;
        ServiceInit();
        EXPECT_EQ(engine.stoprequested.load(), 1) << c.what;
        EXPECT_STREQ(settings.logdir, c.logdir) << c.what;
        EXPECT_STREQ(settings.conffile, c.conffile) << c.what;
        EXPECT_STREQ(settings.pidfile, c.pidfile) << c.what;
        EXPECT_EQ(Warnings(), c.warnings) << c.what;
    }
}

struct MalformedCase {
    const char *what;
    std::string file;
    int line;
    const char *problem;
};

TEST_F(SettingsTest, MalformedRegistryFileGivesFallbacks) {
    const std::string head = kHead;
    const std::string key = kKeyLine;
    const std::string good = head + key + "\"Log Dir\"=\"/good\"\n";
    const MalformedCase cases[] = {
        {"wrong first line", "Windows Registry Editor\n" + key + "\"Log Dir\"=\"/good\"\n", 1,
         "wrong first line"},
        {"unterminated string", good + "\"PID File\"=\"/run/tw.pid\n", 5, "unterminated string"},
        {"value before key", head + "\"Log Dir\"=\"/good\"\n" + key, 3,
         "value line before any key line"},
    };
    for (const MalformedCase &c : cases) {
        Write(c.file);
        SettingsResetForTest();
        lines.clear();
        engine.stoprequested = 1;
        ServiceInit();
        // The file is read (and found wrong) once for each of the three values.
        const std::string bad = Malformed(c.line, c.problem);
        EXPECT_EQ(Warnings(), (std::vector<std::string>{bad, kLogDirMissing, bad, kConfMissing, bad,
                                                        kPidMissing}))
            << c.what;
        EXPECT_STREQ(settings.logdir, "c:\\syslog") << c.what;
        EXPECT_STREQ(settings.conffile, "syslog.conf") << c.what;
        EXPECT_STREQ(settings.pidfile, "syslog.pid") << c.what;
        EXPECT_EQ(engine.stoprequested.load(), 1) << c.what;
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
        WriteKey("\"Log Dir\"=\"" + value + "\"\n");
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

    WriteKey("\"Other\"=\"x\"\n");
    EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "Log Dir", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "unchanged");
    EXPECT_FALSE(
        ReadRegValue(kRegLocalMachine, "SOFTWARE\\Nobody", "Other", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "unchanged");
    EXPECT_TRUE(ReadRegValue(kRegLocalMachine, kSettingsKey, "other", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "x");
    EXPECT_TRUE(lines.empty());
}

TEST_F(SettingsTest, ReadRegValueClosesTheKeyOnEveryPath) {
    // More reads than there are key handles: a handle kept open on any path
    // would make the later opens fail.
    WriteKey("\"A\"=\"a\"\n\"L\"=\"" + std::string(300, 'l') + "\"\n\"D\"=dword:1\n");
    char buffer[256];
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(ReadRegValue(kRegLocalMachine, kSettingsKey, "A", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "L", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "D", buffer, sizeof buffer)) << i;
        EXPECT_FALSE(ReadRegValue(kRegLocalMachine, kSettingsKey, "X", buffer, sizeof buffer)) << i;
    }
    EXPECT_TRUE(lines.empty());
}

}  // namespace
