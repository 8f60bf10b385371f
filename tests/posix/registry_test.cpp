#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "engine/tarnwick.h"
#include "service/settings.h"
#include "test_util.h"

namespace {

constexpr char kKey[] = "SOFTWARE\\Halvane\\TARNWICK";
constexpr char kHead[] = "Windows Registry Editor Version 5.00\n\n";
constexpr char kKeyLine[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n";

// UTF-16LE with a byte-order mark; every byte of text becomes one unit.
std::string Utf16(const std::string &text) {
    std::string out = "\xFF\xFE";
    for (unsigned char c : text) {
        out += static_cast<char>(c);
        out += '\0';
    }
    return out;
}

// The bytes of a literal, NULs included.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

// The registry file named by TARNWICK_REGISTRY in a scratch directory, and
// the trace lines caught while a test runs.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = dir_ / "registry.reg";
        testsupport::SetEnv("TARNWICK_REGISTRY", file_.c_str());
    }
    void TearDown() override { testsupport::UnsetEnv("TARNWICK_REGISTRY"); }

    void Write(const std::string &bytes) {
        FILE *f = std::fopen(file_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
    }
    // The registry file with the settings key line and body behind it.
    void WriteKey(const std::string &body) { Write(std::string(kHead) + kKeyLine + body); }

    struct Result {
        long rc;
        uint32_t size;
        std::string text;
    };
    // Opens the key, reads name into a buffer of size bytes, closes the key.
    Result Query(const char *name, uint32_t size = 256, const char *key = kKey) {
        RegKey k = 0;
        long rc = RegistryOpenKey(kRegLocalMachine, key, &k);
        if (rc != kErrorSuccess) {
            return {rc, 0, ""};
        }
        std::vector<char> buf(size + 1, 'x');
        buf[size] = '\0';
        uint32_t got = size;
        rc = RegistryQueryValue(k, name, buf.data(), &got);
        RegistryCloseKey(k);
        return {rc, got, std::string(buf.data())};
    }

    testutil::TempDir dir_;
    std::string file_;
    testutil::TraceCatcher trace_{Trace | Warning};
};

TEST_F(RegistryTest, MissingFileIsNotFoundWithoutTrace) {
    RegKey k = 99;
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &k), kErrorFileNotFound);
    EXPECT_EQ(k, 0u);
    EXPECT_TRUE(trace_.Lines().empty());
}

struct ReadCase {
    const char *what;
    std::string file;
    const char *name;
    const char *value;
};

const std::string deleted = "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n";

TEST_F(RegistryTest, ReadsStringValues) {
    const std::string head = kHead;
    const std::string key = kKeyLine;
    const ReadCase cases[] = {
        {"plain", head + key + "\"Log Dir\"=\"/var/log/tarnwick\"\n", "Log Dir",
         "/var/log/tarnwick"},
        {"REGEDIT4", "REGEDIT4\n" + key + "\"Log Dir\"=\"/x\"\n", "Log Dir", "/x"},
        {"CR LF",
         "REGEDIT4\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\r\n\"A\"=\"b c\"\r\n",
         "A", "b c"},
        {"no line end at the end", head + key + "\"A\"=\"b\"", "A", "b"},
        {"escapes", head + key + "\"A\"=\"c:\\\\syslog\\\\say \\\"hi\\\"\"\n", "A",
         "c:\\syslog\\say \"hi\""},
        {"escaped name", head + key + "\"A \\\"q\\\" \\\\\"=\"v\"\n", "A \"q\" \\", "v"},
        {"empty string", head + key + "\"A\"=\"\"\n", "A", ""},
        {"value name case", head + key + "\"LOG DIR\"=\"/y\"\n", "log dir", "/y"},
        {"key name case", head + "[hkey_local_machine\\software\\HALVANE\\tarnwick]\n\"A\"=\"k\"\n",
         "A", "k"},
        {"comments, blanks and blank lines",
         head + "; a comment\n   \n\t\n" + key + "  ; indented comment\n  \"A\" = \"v\"  \n", "A",
         "v"},
        {"last definition wins", head + key + "\"A\"=\"one\"\n\"a\"=\"two\"\n", "A", "two"},
        {"key given twice",
         head + key + "\"A\"=\"one\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n" + key + "\"B\"=\"two\"\n",
         "A", "one"},
        {"other keys around",
         head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane]\n\"A\"=\"no\"\n" + key +
             "\"A\"=\"yes\"\n" + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\Sub]\n" +
             "\"A\"=\"no\"\n",
         "A", "yes"},
        {"string after a dword", head + key + "\"A\"=dword:00000001\n\"A\"=\"s\"\n", "A", "s"},
        {"hex lines skipped",
         head + key + "\"H\"=hex:01,02,\\\n  03,04\n\"A\"=\"after\"\n\"E\"=hex(2):41,00\n", "A",
         "after"},
        {"default value", head + key + "@=\"dflt\"\n", "", "dflt"},
        {"default value, null name", head + key + "@=\"dflt\"\n", nullptr, "dflt"},
        {"key deleted and made anew",
         head + key + "\"A\"=\"s\"\n" + deleted + key + "\"B\"=\"t\"\n", "B", "t"},
        {"long comment line", head + ";" + std::string(5000, 'c') + "\n" + key + "\"A\"=\"v\"\n",
         "A", "v"},
        {"8-bit character", head + key + "\"A\"=\"caf\xE9\"\n", "A", "caf\xE9"},
        {"utf-16", Utf16(head + key + "\"A\"=\"/w\"\n"), "A", "/w"},
        {"utf-16 CR LF",
         Utf16("Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\r\n"
               "\"A\"=\"/w\\\\x\"\r\n"),
         "A", "/w\\x"},
        {"utf-16 Latin-1 character", Utf16(head + key + "\"A\"=\"caf\xE9\"\n"), "A", "caf\xE9"},
        {"utf-16 wide character in a comment",
         Utf16(head + key) + Bytes(";\0\x3A\x04\n\0") + Utf16("\"A\"=\"v\"\n").substr(2), "A", "v"},
    };
    for (const ReadCase &c : cases) {
        Write(c.file);
        trace_.Clear();
        Result r = Query(c.name);
        EXPECT_EQ(r.rc, kErrorSuccess) << c.what;
        EXPECT_EQ(r.text, c.value) << c.what;
        EXPECT_EQ(r.size, std::strlen(c.value) + 1) << c.what;
        EXPECT_TRUE(trace_.Lines().empty())
            << c.what << ": " << (trace_.Lines().empty() ? "" : trace_.Lines()[0]);
    }
}

TEST_F(RegistryTest, ValuesThatAreNotStringsOrNotThereAreNotFound) {
    const std::string head = kHead;
    const std::string key = kKeyLine;
    const ReadCase cases[] = {
        {"dword", head + key + "\"A\"=dword:0000002a\n", "A", nullptr},
        {"hex", head + key + "\"A\"=hex:2f,00\n", "A", nullptr},
        {"hex(2)", head + key + "\"A\"=hex(2):2f,00,00,00\n", "A", nullptr},
        {"hex over lines", head + key + "\"A\"=hex:2f,\\\n  00\n", "A", nullptr},
        {"dword after a string", head + key + "\"A\"=\"s\"\n\"A\"=dword:1\n", "A", nullptr},
        {"deleted", head + key + "\"A\"=\"s\"\n\"A\"=-\n", "A", nullptr},
        {"key deleted", head + key + "\"A\"=\"s\"\n" + deleted + key, "A", nullptr},
        {"other name", head + key + "\"AB\"=\"s\"\n", "A", nullptr},
        {"no default", head + key + "\"A\"=\"s\"\n", "", nullptr},
        {"in another key", head + key + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"A\"=\"s\"\n", "A",
         nullptr},
        {"in a key below",
         head + key + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\X]\n" + "\"A\"=\"s\"\n",
         "A", nullptr},
    };
    for (const ReadCase &c : cases) {
        Write(c.file);
        trace_.Clear();
        Result r = Query(c.name);
        EXPECT_EQ(r.rc, kErrorFileNotFound) << c.what;
        EXPECT_TRUE(trace_.Lines().empty()) << c.what;
    }
}

struct KeyCase {
    const char *what;
    std::string file;
    const char *subkey;
    long rc;
};

TEST_F(RegistryTest, OpensKeysThatExist) {
    const std::string head = kHead;
    const std::string key = kKeyLine;
    const KeyCase cases[] = {
        {"the key", head + key, kKey, kErrorSuccess},
        {"no key lines", head + "; nothing\n", kKey, kErrorFileNotFound},
        {"other key only", head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n", kKey,
         kErrorFileNotFound},
        {"longer name", head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICKS]\n", kKey,
         kErrorFileNotFound},
        {"other root", head + "[HKEY_CURRENT_USER\\SOFTWARE\\Halvane\\TARNWICK]\n", kKey,
         kErrorFileNotFound},
        {"parent of a key", head + key, "SOFTWARE\\Halvane", kErrorSuccess},
        {"parent, other case", head + key, "software\\halvane", kErrorSuccess},
        {"part of a name", head + key, "SOFTWARE\\Halv", kErrorFileNotFound},
        {"below the key", head + key, "SOFTWARE\\Halvane\\TARNWICK\\Sub", kErrorFileNotFound},
        {"made by a key below", head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\S]\n",
         kKey, kErrorSuccess},
        {"deleted", head + key + deleted, kKey, kErrorFileNotFound},
        {"parent deleted", head + key + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane]\n", kKey,
         kErrorFileNotFound},
        {"deleted and made anew",
         head + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n" + key, kKey, kErrorSuccess},
        {"child deleted", head + key + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\S]\n",
         kKey, kErrorSuccess},
    };
    for (const KeyCase &c : cases) {
        Write(c.file);
        RegKey k = 0;
        EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, c.subkey, &k), c.rc) << c.what;
        if (c.rc == kErrorSuccess) {
            EXPECT_NE(k, 0u) << c.what;
            RegistryCloseKey(k);
        }
    }
    RegKey k = 0;
    EXPECT_EQ(RegistryOpenKey(0x80000001u, kKey, &k), kErrorFileNotFound);  // HKEY_CURRENT_USER
}

struct MalformedCase {
    const char *what;
    std::string file;
    const char *warning;  // behind "Registry file <file> "
};

TEST_F(RegistryTest, MalformedFilesAreMissingWithOneWarning) {
    const std::string head = kHead;
    const std::string key = kKeyLine;
    // Every case has a good "Log Dir" value first: nothing is half-read.
    const std::string good = head + key + "\"Log Dir\"=\"/good\"\n";
    const MalformedCase cases[] = {
        {"empty file", "", "line 1: wrong first line - file ignored\n"},
        {"wrong first line", "Windows Registry Editor Version 4.00\n" + key,
         "line 1: wrong first line - file ignored\n"},
        {"blank before the first line", "\n" + head + key,
         "line 1: wrong first line - file ignored\n"},
        {"first line with blanks", "REGEDIT4 \n" + key,
         "line 1: wrong first line - file ignored\n"},
        {"utf-8 byte-order mark", "\xEF\xBB\xBFREGEDIT4\n" + key,
         "line 1: wrong first line - file ignored\n"},
        {"unterminated string", good + "\"PID File\"=\"/run/x\n",
         "line 5: unterminated string - file ignored\n"},
        {"unterminated name", good + "\"PID File=\"/run/x\"\n",
         "line 5: '=' missing after the value name - file ignored\n"},
        {"escaped closing quote", good + "\"A\"=\"x\\\"\n",
         "line 5: unterminated string - file ignored\n"},
        {"value before key", head + "\"Log Dir\"=\"/x\"\n" + key,
         "line 3: value line before any key line - file ignored\n"},
        {"default before key", head + "@=\"/x\"\n" + key,
         "line 3: value line before any key line - file ignored\n"},
        {"unknown escape", good + "\"A\"=\"c:\\syslog\"\n",
         "line 5: unknown escape in a string (only \\\\ and \\\" are known) - file ignored\n"},
        {"text after the string", good + "\"A\"=\"x\" y\n",
         "line 5: text after the closing quote - file ignored\n"},
        {"no equals sign", good + "\"A\" \"x\"\n",
         "line 5: '=' missing after the value name - file ignored\n"},
        {"unknown type", good + "\"A\"=qword:1\n", "line 5: unknown value type - file ignored\n"},
        {"bare data", good + "\"A\"=x\n", "line 5: unknown value type - file ignored\n"},
        {"no data", good + "\"A\"=\n", "line 5: unknown value type - file ignored\n"},
        {"bad dword", good + "\"A\"=dword:123456789\n", "line 5: bad dword data - file ignored\n"},
        {"empty dword", good + "\"A\"=dword:\n", "line 5: bad dword data - file ignored\n"},
        {"bad hex", good + "\"A\"=hex:1,xyz\n", "line 5: bad hex data - file ignored\n"},
        {"bad hex type", good + "\"A\"=hex(z):00\n", "line 5: bad hex data - file ignored\n"},
        {"bad hex line", good + "\"A\"=hex:00,\\\n  0g\n", "line 6: bad hex data - file ignored\n"},
        {"hex past the end", good + "\"A\"=hex:00,\\\n",
         "line 5: hex data go on past the end of the file - file ignored\n"},
        {"key without bracket", good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n",
         "line 5: key line without ']' - file ignored\n"},
        {"empty key", good + "[]\n", "line 5: empty key name - file ignored\n"},
        {"unparsable line", good + "Log Dir=/x\n", "line 5: unparsable line - file ignored\n"},
        {"NUL byte", good + Bytes("\"A\"=\"a\0b\"\n"), "line 5: NUL character - file ignored\n"},
        {"line too long", good + "\"A\"=\"" + std::string(4100, 'a') + "\"\n",
         "line 5: line longer than 4095 characters - file ignored\n"},
        {"utf-16 wide character", Utf16(good) + Bytes("\"\0A\0\"\0=\0\"\0\x3A\x04\"\0\n\0"),
         "line 5: character U+043A is not 8-bit text - file ignored\n"},
        {"utf-16 surrogate pair", Utf16(good) + Bytes("\"\0A\0\"\0=\0\"\0\x3D\xD8\x00\xDE\"\0\n\0"),
         "line 5: character U+1F600 is not 8-bit text - file ignored\n"},
        {"utf-16 odd byte", Utf16(good) + "x",
         "line 5: odd number of bytes in UTF-16 text - file "
         "ignored\n"},
        {"utf-16 big-endian", Bytes("\xFE\xFF\0R"), "line 1: wrong first line - file ignored\n"},
    };
    for (const MalformedCase &c : cases) {
        Write(c.file);
        trace_.Clear();
        RegKey k = 99;
        EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &k), kErrorFileNotFound) << c.what;
        EXPECT_EQ(k, 0u) << c.what;
        ASSERT_EQ(trace_.Lines().size(), 1u) << c.what;
        EXPECT_EQ(trace_.Split()[0].label, "Warning ") << c.what;
        EXPECT_EQ(trace_.Split()[0].text, "Registry file " + file_ + " " + c.warning) << c.what;
    }
}

TEST_F(RegistryTest, LongestLineIsRead) {
    // "A"="..." is 6 characters around the data: 4089 characters of data fit.
    std::string data(4089, 'd');
    WriteKey("\"A\"=\"" + data + "\"\n");
    Result r = Query("A", 5000);
    EXPECT_EQ(r.rc, kErrorSuccess);
    EXPECT_EQ(r.text, data);

    WriteKey("\"A\"=\"" + data + "d\"\n");
    EXPECT_EQ(Query("A", 5000).rc, kErrorFileNotFound);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(
        trace_.Split()[0].text,
        "Registry file " + file_ + " line 4: line longer than 4095 characters - file ignored\n");
}

TEST_F(RegistryTest, QueryKeepsTheBufferContract) {
    WriteKey("\"A\"=\"12345\"\n");
    const struct {
        uint32_t size;
        long rc;
        uint32_t after;
        const char *text;
    } cases[] = {
        {0, kErrorMoreData, 6, ""},      {1, kErrorMoreData, 6, "x"},
        {5, kErrorMoreData, 6, "xxxxx"}, {6, kErrorSuccess, 6, "12345"},
        {7, kErrorSuccess, 6, "12345"},
    };
    for (const auto &c : cases) {
        Result r = Query("A", c.size);
        EXPECT_EQ(r.rc, c.rc) << c.size;
        EXPECT_EQ(r.size, c.after) << c.size;
        EXPECT_EQ(r.text, c.text) << c.size;  // untouched on kErrorMoreData
    }

    RegKey k = 0;
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &k), kErrorSuccess);
    uint32_t size = 0;
    EXPECT_EQ(RegistryQueryValue(k, "A", nullptr, &size), kErrorSuccess);
    EXPECT_EQ(size, 6u);
    char buf[8];
    EXPECT_EQ(RegistryQueryValue(k, "A", buf, nullptr), kErrorFileNotFound);
    RegistryCloseKey(k);
}

TEST_F(RegistryTest, EveryOpenAndQueryReadsTheFileAnew) {
    WriteKey("\"A\"=\"one\"\n");
    EXPECT_EQ(Query("A").text, "one");
    WriteKey("\"A\"=\"two\"\n");
    EXPECT_EQ(Query("A").text, "two");

    RegKey k = 0;
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &k), kErrorSuccess);
    WriteKey("\"A\"=\"three\"\n");
    char buf[16];
    uint32_t size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(k, "A", buf, &size), kErrorSuccess);
    EXPECT_STREQ(buf, "three");
    std::remove(file_.c_str());
    size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(k, "A", buf, &size), kErrorFileNotFound);
    RegistryCloseKey(k);
}

TEST_F(RegistryTest, KeyHandles) {
    WriteKey("\"A\"=\"v\"\n");
    char buf[8];
    uint32_t size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(0, "A", buf, &size), kErrorFileNotFound);
    EXPECT_EQ(RegistryQueryValue(kRegLocalMachine, "A", buf, &size), kErrorFileNotFound);
    RegistryCloseKey(12345);  // ignored

    RegKey keys[16];
    for (RegKey &k : keys) {
        ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &k), kErrorSuccess);
    }
    RegKey extra = 99;
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &extra), kErrorFileNotFound);
    EXPECT_EQ(extra, 0u);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Split()[0].text, "RegistryOpenKey: all 16 key handles are in use\n");

    RegistryCloseKey(keys[3]);
    size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(keys[3], "A", buf, &size), kErrorFileNotFound);
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &extra), kErrorSuccess);
    size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(extra, "A", buf, &size), kErrorSuccess);
    RegistryCloseKey(extra);
    for (int i = 0; i < 16; ++i) {
        if (i != 3) {
            RegistryCloseKey(keys[i]);
        }
    }
}

TEST_F(RegistryTest, UnreadableFileIsMissingWithAWarning) {
    // A directory opens but cannot be read.
    testsupport::SetEnv("TARNWICK_REGISTRY", dir_.path().c_str());
    RegKey k = 99;
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &k), kErrorFileNotFound);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Split()[0].text,
              "Registry file " + dir_.path() + " cannot be read: Is a directory - file ignored\n");
}

TEST_F(RegistryTest, ThreadsReadAtTheSameTime) {
    WriteKey("\"A\"=\"shared\"\n");
    std::vector<std::thread> threads;
    int failures[4] = {};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 50; ++i) {
                RegKey k = 0;
                if (RegistryOpenKey(kRegLocalMachine, kKey, &k) != kErrorSuccess) {
                    ++failures[t];
                    continue;
                }
                char buf[16];
                uint32_t size = sizeof buf;
                if (RegistryQueryValue(k, "A", buf, &size) != kErrorSuccess ||
                    std::strcmp(buf, "shared") != 0) {
                    ++failures[t];
                }
                RegistryCloseKey(k);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (int f : failures) {
        EXPECT_EQ(f, 0);
    }
}

// A malformed file is read, and found wrong, once for each of the three
// settings: each takes its fall-back.
TEST_F(RegistryTest, MalformedFileGivesTheSettingsTheirFallbacks) {
    const std::string head = kHead;
    const std::string key = kKeyLine;
    const std::string good = head + key + "\"Log Dir\"=\"/good\"\n";
    const MalformedCase cases[] = {
        {"wrong first line", "Windows Registry Editor\n" + key + "\"Log Dir\"=\"/good\"\n",
         "line 1: wrong first line - file ignored\n"},
        {"unterminated string", good + "\"PID File\"=\"/run/tw.pid\n",
         "line 5: unterminated string - file ignored\n"},
        {"value before key", head + "\"Log Dir\"=\"/good\"\n" + key,
         "line 3: value line before any key line - file ignored\n"},
    };
    const std::string missing = "reg_key(SOFTWARE\\Halvane\\TARNWICK\\";
    for (const MalformedCase &c : cases) {
        Write(c.file);
        SettingsResetForTest();
        trace_.Clear();
        engine.stoprequested = 1;
        ServiceInit();
        const std::string bad = "Registry file " + file_ + " " + c.warning;
        EXPECT_EQ(trace_.Texts("Warning "),
                  (std::vector<std::string>{bad, missing + "Log Dir) - not found\n", bad,
                                            missing + "Config File) - not found\n", bad,
                                            missing + "PID File) - not found\n"}))
            << c.what;
        EXPECT_STREQ(settings.logdir, "c:\\syslog") << c.what;
        EXPECT_STREQ(settings.conffile, "syslog.conf") << c.what;
        EXPECT_STREQ(settings.pidfile, "syslog.pid") << c.what;
        EXPECT_EQ(engine.stoprequested.load(), 1) << c.what;
    }
    SettingsResetForTest();
    engine.stoprequested = 0;
}

}  // namespace
