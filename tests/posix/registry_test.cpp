// The POSIX registry: a registry editor export file, read anew by every call.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "test_util.h"

namespace {

constexpr char kKey[] = "SOFTWARE\\Halvane\\TARNWICK";
const std::string kHead = "Windows Registry Editor Version 5.00\n\n";
const std::string kKeyLine = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n";
const std::string kDeleted = "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n";
std::string K(const std::string &body) {
    return kHead + kKeyLine + body;
}
// UTF-16LE with a byte-order mark; every byte of text becomes one unit.
std::string Utf16(const std::string &text) {
    std::string out = "\xFF\xFE";
    for (char c : text) {
        out += std::string(1, c) + '\0';
    }
    return out;
}
const char kNoKey[] = "(no key)";  // the open fails
template <size_t N>
std::string Bytes(const char (&s)[N]) {  // NULs included
    return std::string(s, N - 1);
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::SetEnv("TARNWICK_REGISTRY", file_.c_str()); }
    void TearDown() override { testsupport::UnsetEnv("TARNWICK_REGISTRY"); }
    // Opens key, reads name into a buffer of size bytes, closes the key: the
    // result, the size given back and the buffer.
    long Query(const char *name, std::string *text, uint32_t size = 256, const char *key = kKey) {
        RegKey k = 99;
        long rc = RegistryOpenKey(kRegLocalMachine, key, &k);
        if (rc != kErrorSuccess) {
            EXPECT_EQ(rc, kErrorFileNotFound);
            EXPECT_EQ(k, 0u);
            return -1;
        }
        std::vector<char> buf(size + 1, 'x');
        buf[size] = '\0';
        size_ = size;
        rc = RegistryQueryValue(k, name, buf.data(), &size_);
        RegistryCloseKey(k);
        *text = buf.data();
        return rc;
    }

    testutil::TempDir dir_;
    std::string file_ = dir_ / "registry.reg";
    uint32_t size_ = 0;
    testutil::TraceCatcher trace_{Trace | Warning};
};

TEST_F(RegistryTest, ReadsStringValuesOnly) {
    const struct {
        std::string file;
        const char *name;
        const char *value;  // nullptr: not found, kNoKey: no such key
        const char *key = kKey;
    } cases[] = {
        {"", "A", kNoKey},  // no file: no trace
        {K("\"Log Dir\"=\"/var/log\"\n"), "Log Dir", "/var/log"},
        {"REGEDIT4\r\n\r\n" + kKeyLine.substr(0, kKeyLine.size() - 1) + "\r\n\"A\"=\"b c\"", "A",
         "b c"},
        {K("\"A\"=\"c:\\\\say \\\"hi\\\"\"\n"), "A", "c:\\say \"hi\""},
        {K("\"A \\\"q\\\" \\\\\"=\"\"\n"), "a \"Q\" \\", ""},
        {kHead + "[hkey_local_machine\\software\\HALVANE\\tarnwick]\n\"A\"=\"k\"\n", "A", "k"},
        {kHead + "; c\n \t\n" + kKeyLine + "  ; c\n  \"A\" = \"v\"  \n", "A", "v"},
        {K("\"A\"=\"one\"\n\"a\"=\"two\"\n"), "A", "two"},
        {K("\"A\"=\"one\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"A\"=\"x\"\n" + kKeyLine), "A", "one"},
        {K("\"H\"=hex:01,\\\n  "
           "03\n\"E\"=hex(2):41,00\n\"A\"=dword:1\n\"A\"=\"s\"\n"),
         "A", "s"},
        {K("@=\"dflt\"\n"), "", "dflt"},
        {K("@=\"dflt\"\n"), nullptr, "dflt"},
        {K("\"A\"=\"s\"\n" + kDeleted + kKeyLine + "\"B\"=\"t\"\n"), "B", "t"},
        {kHead + ";" + std::string(5000, 'c') + "\n" + kKeyLine + "\"A\"=\"caf\xE9\"\n", "A",
         "caf\xE9"},
        {Utf16(K("\"A\"=\"caf\xE9\"\r\n")), "A", "caf\xE9"},
        {Utf16(K("")) + Bytes(";\0\x3A\x04\n\0") + Utf16("\"A\"=\"v\"\n").substr(2), "A", "v"},
        {K("\"A\"=hex:2f,00\n"), "A", nullptr},
        {K("\"A\"=\"s\"\n\"A\"=dword:1\n"), "A", nullptr},
        {K("\"A\"=\"s\"\n\"A\"=-\n"), "A", nullptr},
        {K("\"A\"=\"s\"\n" + kDeleted + kKeyLine), "A", nullptr},
        {K("\"AB\"=\"s\"\n"), "A", nullptr},
        {K("\"A\"=\"s\"\n"), "", nullptr},
        {K("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\X]\n\"A\"=\"s\"\n"), "A", nullptr},
        // Keys: one exists when a key line names it or a key below it.
        {K(""), "A", nullptr, "SOFTWARE\\Halvane"},
        {K(""), "A", nullptr, "software\\halvane"},
        {K("@=\"x\"\n"), "", kNoKey, "SOFTWARE\\Halv"},
        {K(""), "", kNoKey, "SOFTWARE\\Halvane\\TARNWICK\\Sub"},
        {kHead + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICKS]\n", "", kNoKey},
        {kHead + "[HKEY_CURRENT_USER\\SOFTWARE\\Halvane\\TARNWICK]\n", "", kNoKey},
        {K("") + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane]\n", "", kNoKey},
        {K("") + kDeleted, "", kNoKey},
        {kHead + "; nothing\n", "", kNoKey},
        {K("@=\"x\"\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\S]\n"), "", "x"},
        {kHead + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\S]\n", "", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 120));
        testutil::WriteFile(file_, c.file);
        if (c.file.empty()) {
            std::remove(file_.c_str());
        }
        std::string text;
        long rc = Query(c.name, &text, 256, c.key);
        EXPECT_EQ(rc, c.value == kNoKey ? -1 : c.value ? kErrorSuccess : kErrorFileNotFound);
        if (c.value != nullptr && c.value != kNoKey) {
            EXPECT_EQ(text, c.value);
            EXPECT_EQ(size_, std::strlen(c.value) + 1);
        }
        EXPECT_EQ(trace_.Lines(), std::vector<std::string>());
    }
}

// Nothing of a malformed file is read (each case has a good value first), and
// each read traces one Warning.
TEST_F(RegistryTest, MalformedFilesAreMissingWithOneWarning) {
    const std::string good = K("\"Log Dir\"=\"/good\"\n");
    const struct {
        std::string file;
        const char *warning;  // behind "Registry file <file> line "
    } cases[] = {
        {"", "1: wrong first line"},
        {"\n" + good, "1: wrong first line"},
        {"REGEDIT4 \n" + kKeyLine, "1: wrong first line"},
        {"\xEF\xBB\xBFREGEDIT4\n" + kKeyLine, "1: wrong first line"},
        {Bytes("\xFE\xFF\0R"), "1: wrong first line"},
        {good + "\"A\"=\"x\\\"\n", "5: unterminated string"},
        {good + "\"PID File=\"/run/x\"\n", "5: '=' missing after the value name"},
        {good + "\"A\" \"x\"\n", "5: '=' missing after the value name"},
        {kHead + "@=\"/x\"\n" + kKeyLine, "3: value line before any key line"},
        {good + "\"A\"=\"c:\\syslog\"\n",
         "5: unknown escape in a string (only \\\\ and \\\" are known)"},
        {good + "\"A\"=\"x\" y\n", "5: text after the closing quote"},
        {good + "\"A\"=qword:1\n", "5: unknown value type"},
        {good + "\"A\"=\n", "5: unknown value type"},
        {good + "\"A\"=dword:123456789\n", "5: bad dword data"},
        {good + "\"A\"=dword:\n", "5: bad dword data"},
        {good + "\"A\"=hex(z):00\n", "5: bad hex data"},
        {good + "\"A\"=hex:00,\\\n  0g\n", "6: bad hex data"},
        {good + "\"A\"=hex:00,\\\n", "5: hex data go on past the end of the file"},
        {good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n", "5: key line without ']'"},
        {good + "[]\n", "5: empty key name"},
        {good + "Log Dir=/x\n", "5: unparsable line"},
        {good + Bytes("\"A\"=\"a\0b\"\n"), "5: NUL character"},
        {good + "\"A\"=\"" + std::string(4090, 'a') + "\"\n",
         "5: line longer than 4095 characters"},
        {Utf16(good) + Bytes("\"\0=\0\"\0\x3A\x04\"\0\n\0"),
         "5: character U+043A is not 8-bit text"},
        {Utf16(good) + Bytes("\"\0=\0\x3D\xD8\x00\xDE\n\0"),
         "5: character U+1F600 is not 8-bit text"},
        {Utf16(good) + "x", "5: odd number of bytes in UTF-16 text"},
    };
    for (const auto &c : cases) {
        testutil::WriteFile(file_, c.file);
        trace_.Clear();
        std::string text;
        EXPECT_EQ(Query("Log Dir", &text), -1) << c.warning;
        EXPECT_EQ(trace_.Lines().size(), 1u);
        EXPECT_EQ(trace_.Texts("Warning "),
                  std::vector<std::string>{"Registry file " + file_ + " line " + c.warning +
                                           " - file ignored\n"});
    }
    // A file that cannot be read (a directory opens, but does not read).
    testsupport::SetEnv("TARNWICK_REGISTRY", dir_.path().c_str());
    trace_.Clear();
    RegKey k = 99;
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &k), kErrorFileNotFound);
    EXPECT_EQ(trace_.Texts("Warning "),
              std::vector<std::string>{"Registry file " + dir_.path() +
                                       " cannot be read: Is a directory - file ignored\n"});
}

// The buffer: kErrorMoreData and the size needed when it does not fit; a
// query sees the file as it is now; 16 key handles; a key of another root or
// one closed is none.
TEST_F(RegistryTest, BuffersFileChangesAndKeyHandles) {
    const std::string longest(4089, 'd');  // "A"="..." makes a line of 4095
    testutil::WriteFile(file_, K("\"L\"=\"" + longest + "\"\n\"A\"=\"12345\"\n"));
    std::string text;
    EXPECT_EQ(Query("L", &text, 5000), kErrorSuccess);
    EXPECT_EQ(text, longest);
    const struct {
        uint32_t size;
        long rc;
        const char *text;
    } cases[] = {
        {0, kErrorMoreData, ""}, {5, kErrorMoreData, "xxxxx"}, {6, kErrorSuccess, "12345"}};
    for (const auto &c : cases) {
        EXPECT_EQ(Query("A", &text, c.size), c.rc) << c.size;
        EXPECT_EQ(size_, 6u) << c.size;
        EXPECT_EQ(text, c.text) << c.size;  // untouched on kErrorMoreData
    }
    RegKey keys[17];
    for (RegKey &k : keys) {
        k = 99;
        RegistryOpenKey(kRegLocalMachine, kKey, &k);
    }
    EXPECT_EQ(keys[16], 0u);
    EXPECT_EQ(trace_.Texts(),
              std::vector<std::string>{"RegistryOpenKey: all 16 key handles are in use\n"});
    uint32_t size = 0;
    EXPECT_EQ(RegistryQueryValue(keys[0], "A", nullptr, &size), kErrorSuccess);
    EXPECT_EQ(size, 6u);
    char buf[8];
    EXPECT_EQ(RegistryQueryValue(keys[0], "A", buf, nullptr), kErrorFileNotFound);
    testutil::WriteFile(file_, K("\"A\"=\"two\"\n"));
    size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(keys[0], "A", buf, &size), kErrorSuccess);
    EXPECT_STREQ(buf, "two");
    RegistryCloseKey(keys[3]);
    RegistryCloseKey(12345);  // ignored
    for (RegKey k : {keys[3], RegKey{0}, kRegLocalMachine}) {
        size = sizeof buf;
        EXPECT_EQ(RegistryQueryValue(k, "A", buf, &size), kErrorFileNotFound) << k;
    }
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &keys[3]), kErrorSuccess);
    EXPECT_EQ(RegistryOpenKey(0x80000001u, kKey, &keys[16]),
              kErrorFileNotFound);  // HKCU
    std::remove(file_.c_str());
    size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(keys[0], "A", buf, &size), kErrorFileNotFound);
    for (RegKey k : keys) {
        RegistryCloseKey(k);
    }
}

TEST_F(RegistryTest, ThreadsReadAtTheSameTime) {
    testutil::WriteFile(file_, K("\"A\"=\"shared\"\n"));
    std::vector<std::thread> threads;
    std::atomic<int> reads{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&reads] {
            for (int i = 0; i < 50; ++i) {
                RegKey k = 0;
                char buf[16] = "";
                uint32_t size = sizeof buf;
                RegistryOpenKey(kRegLocalMachine, kKey, &k);
                reads += RegistryQueryValue(k, "A", buf, &size) == kErrorSuccess &&
                         std::strcmp(buf, "shared") == 0;
                RegistryCloseKey(k);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(reads.load(), 200);
}

}  // namespace
