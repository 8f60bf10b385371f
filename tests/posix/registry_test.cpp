// The POSIX registry: a registry editor export file, read anew by every call.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "test_util.h"

namespace {

using namespace std::string_literals;  // "\0"s keeps its NULs

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
const char kNoKey[] = "(no key)";

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::SetEnv("TARNWICK_REGISTRY", file_.c_str()); }
    void TearDown() override { testsupport::UnsetEnv("TARNWICK_REGISTRY"); }
    // Opens key, reads name, closes the key: the value, nullptr when missing,
    // or kNoKey when the open fails.
    const char *Query(const char *name, const char *key = kKey) {
        RegKey k = 99;
        if (RegistryOpenKey(kRegLocalMachine, key, &k) != kErrorSuccess) {
            EXPECT_EQ(k, 0u);
            return kNoKey;
        }
        uint32_t size = sizeof buf_;
        long rc = RegistryQueryValue(k, name, buf_, &size);
        RegistryCloseKey(k);
        EXPECT_EQ(size, rc == kErrorSuccess ? std::strlen(buf_) + 1 : sizeof buf_);
        return rc == kErrorSuccess ? buf_ : nullptr;
    }

    testutil::TempDir dir_;
    std::string file_ = dir_ / "registry.reg";
    char buf_[5000];
    testutil::TraceCatcher trace_{Trace | Warning};
};

TEST_F(RegistryTest, ReadsStringValuesOnly) {
    const struct {
        std::string file;
        const char *name;
        const char *value;  // nullptr: not found
        const char *key = kKey;
    } cases[] = {
        {"", "A", kNoKey},  // no file: no trace
        {"REGEDIT4\r\n\r\n" + kKeyLine.substr(0, kKeyLine.size() - 1) + "\r\n\"A\"=\"b c\"", "A",
         "b c"},
        {K("\"A\\\\\\\"\"=\"c:\\\\say \\\"hi\\\"\"\n"), "a\\\"", "c:\\say \"hi\""},
        {kHead + "; c\n \t\n[hkey_local_machine\\software\\HALVANE\\tarnwick]\n  \"A\" = \"v\"  \n",
         "A", "v"},
        {K("\"A\"=\"one\"\n\"a\"=\"two\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"A\"=\"x\"\n" +
           kKeyLine),
         "A", "two"},
        {K("\"H\"=hex:01,\\\n  03\n\"E\"=hex(2):41,00\n\"A\"=dword:1\n\"A\"=\"s\"\n"), "A", "s"},
        {K("@=\"dflt\"\n"), nullptr, "dflt"},
        {kHead + ";" + std::string(5000, 'c') + "\n" + kKeyLine + "\"A\"=\"caf\xE9\"\n", "A",
         "caf\xE9"},
        {Utf16(K("\"A\"=\"caf\xE9\"\r\n")) + ";\0\x3A\x04\n\0"s, "A", "caf\xE9"},
        {K("\"A\"=\"s\"\n\"A\"=dword:1\n"), "A", nullptr},
        {K("\"A\"=\"s\"\n\"A\"=-\n"), "A", nullptr},
        {K("\"A\"=\"s\"\n" + kDeleted + kKeyLine), "A", nullptr},
        {K("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\X]\n\"A\"=\"s\"\n"), "A", nullptr},
        // A key exists when a key line names it or a key below it.
        {K(""), "A", nullptr, "software\\halvane"},
        {K("@=\"x\"\n"), "", kNoKey, "SOFTWARE\\Halv"},
        {K(""), "", kNoKey, "SOFTWARE\\Halvane\\TARNWICK\\Sub"},
        {K("") + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane]\n", "", kNoKey},
        {K("@=\"x\"\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK\\S]\n"), "", "x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 120));
        testutil::WriteFile(file_, c.file);
        if (c.file.empty()) {
            std::remove(file_.c_str());
        }
        EXPECT_STREQ(Query(c.name, c.key), c.value);
        EXPECT_EQ(trace_.Lines(), std::vector<std::string>());
    }
}

// Nothing of a malformed file is read, and each read traces one Warning.
TEST_F(RegistryTest, MalformedFilesAreMissingWithOneWarning) {
    const std::string good = K("\"Log Dir\"=\"/good\"\n");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "1: wrong first line"},
        {"\xFE\xFF\0R"s, "1: wrong first line"},
        {good + "\"A\"=\"x\\\"\n", "5: unterminated string"},
        {good + "\"A\" \"x\"\n", "5: '=' missing after the value name"},
        {kHead + "@=\"/x\"\n" + kKeyLine, "3: value line before any key line"},
        {good + "\"A\"=\"c:\\syslog\"\n",
         "5: unknown escape in a string (only \\\\ and \\\" are known)"},
        {good + "\"A\"=\"x\" y\n", "5: text after the closing quote"},
        {good + "\"A\"=qword:1\n", "5: unknown value type"},
        {good + "\"A\"=dword:123456789\n", "5: bad dword data"},
        {good + "\"A\"=hex(z):00\n", "5: bad hex data"},
        {good + "\"A\"=hex:00,\\\n  0g\n", "6: bad hex data"},
        {good + "\"A\"=hex:00,\\\n", "5: hex data go on past the end of the file"},
        {good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n", "5: key line without ']'"},
        {good + "[]\n", "5: empty key name"},
        {good + "Log Dir=/x\n", "5: unparsable line"},
        {good + "\"A\"=\"a\0b\"\n"s, "5: NUL character"},
        {good + "\"A\"=\"" + std::string(4090, 'a') + "\"\n",
         "5: line longer than 4095 characters"},
        {Utf16(good) + "\"\0=\0\x3D\xD8\x00\xDE\n\0"s, "5: character U+1F600 is not 8-bit text"},
        {Utf16(good) + "x", "5: odd number of bytes in UTF-16 text"},
        {"dir", "cannot be read: Is a directory"},  // a directory opens, but does not read
    };
    for (const auto &[file, warning] : cases) {
        std::string name = file == "dir" ? dir_.path() : file_;
        testsupport::SetEnv("TARNWICK_REGISTRY", name.c_str());
        testutil::WriteFile(file_, file);
        trace_.Clear();
        EXPECT_STREQ(Query("Log Dir"), kNoKey) << warning;
        EXPECT_EQ(trace_.Lines().size(), 1u);
        std::string where = file == "dir" ? " " : " line ";
        EXPECT_EQ(trace_.Texts("Warning "),
                  std::vector<std::string>{"Registry file " + name + where + warning +
                                           " - file ignored\n"});
    }
}

// A query sees the file as it is now; kErrorMoreData and the size needed
// when it does not fit; 16 key handles; a closed key is none.
TEST_F(RegistryTest, BuffersFileChangesAndKeyHandles) {
    const std::string longest(4089, 'd');  // "L"="..." makes a line of 4095
    testutil::WriteFile(file_, K("\"L\"=\"" + longest + "\"\n"));
    EXPECT_EQ(Query("L"), longest);
    RegKey keys[17];
    for (RegKey &k : keys) {
        k = 99;
        RegistryOpenKey(kRegLocalMachine, kKey, &k);
    }
    EXPECT_EQ(keys[16], 0u);
    EXPECT_EQ(trace_.Texts(),
              std::vector<std::string>{"RegistryOpenKey: all 16 key handles are in use\n"});
    testutil::WriteFile(file_, K("\"A\"=\"12345\"\n"));
    char buf[8] = "xxxxxxx";
    uint32_t size = 5;
    EXPECT_EQ(RegistryQueryValue(keys[0], "A", buf, &size), kErrorMoreData);
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(buf, "xxxxxxx");  // untouched
    RegistryCloseKey(keys[3]);
    EXPECT_EQ(RegistryQueryValue(keys[3], "A", buf, &size), kErrorFileNotFound);
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &keys[3]), kErrorSuccess);
    std::remove(file_.c_str());
    EXPECT_EQ(RegistryQueryValue(keys[0], "A", buf, &size), kErrorFileNotFound);
    for (RegKey k : keys) {
        RegistryCloseKey(k);
    }
}

}  // namespace
