// The registry on Windows: string values under HKEY_LOCAL_MACHINE with the
// header's results, read from the live registry.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "test_util.h"

namespace {

constexpr char kKey[] = "SOFTWARE\\Halvane\\TARNWICK";

class RegistryWin32 : public ::testing::Test {
  protected:
    // Sets value name of key to size bytes of data of the given type.
    void Set(const char *key, const char *name, DWORD type, const void *data, DWORD size) {
        HKEY h;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &h, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(h, name, 0, type, static_cast<const BYTE *>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }
    // Reads name of kKey into a buffer of size bytes filled with '#'.
    long Read(const char *name, uint32_t size, std::string *data, uint32_t *got) {
        RegKey key = 0;
        long rc = RegistryOpenKey(kRegLocalMachine, kKey, &key);
        EXPECT_EQ(rc, kErrorSuccess);
        std::string buffer(size, '#');
        *got = size;
        rc = RegistryQueryValue(key, name, buffer.data(), got);
        RegistryCloseKey(key);
        *data = buffer;
        return rc;
    }

    testsupport::PrivateRegistry registry_;
};

TEST_F(RegistryWin32, MissingKeysAreNotFound) {
    RegKey key = 77;
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &key), kErrorFileNotFound);
    EXPECT_EQ(key, 0u);
    registry_.MakeKey("SOFTWARE\\Halvane");
    key = 77;
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &key), kErrorFileNotFound);
    EXPECT_EQ(key, 0u);
    registry_.MakeKey(kKey);
    // Only HKEY_LOCAL_MACHINE is a root.
    key = 77;
    EXPECT_EQ(RegistryOpenKey(0x80000001u, kKey, &key), kErrorFileNotFound);
    EXPECT_EQ(key, 0u);
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, "software\\halvane\\tarnwick", &key),
              kErrorSuccess);
    EXPECT_NE(key, 0u);
    RegistryCloseKey(key);
}

TEST_F(RegistryWin32, StringValuesFitWithTheirTerminator) {
    registry_.WriteSetting(kKey, "Log Dir", "c:\\logs");
    std::string data;
    uint32_t got = 0;
    EXPECT_EQ(Read("log dir", 9, &data, &got), kErrorSuccess);
    EXPECT_EQ(got, 8u);
    EXPECT_EQ(data, std::string("c:\\logs\0#", 9));

    EXPECT_EQ(Read("Log Dir", 8, &data, &got), kErrorSuccess);
    EXPECT_EQ(data, std::string("c:\\logs\0", 8));

    // One byte short: nothing written, the size needed given back.
    EXPECT_EQ(Read("Log Dir", 7, &data, &got), kErrorMoreData);
    EXPECT_EQ(got, 8u);
    EXPECT_EQ(data, std::string(7, '#'));
}

TEST_F(RegistryWin32, OnlyStringsAreSettings) {
    const DWORD one = 1;
    Set(kKey, "Dword", REG_DWORD, &one, sizeof one);
    Set(kKey, "Binary", REG_BINARY, "/x", 3);
    Set(kKey, "Expand", REG_EXPAND_SZ, "%TEMP%", 7);
    Set(kKey, "Multi", REG_MULTI_SZ, "a\0b\0", 5);
    for (const char *name : {"Dword", "Binary", "Expand", "Multi", "Missing"}) {
        std::string data;
        uint32_t got = 0;
        EXPECT_EQ(Read(name, 16, &data, &got), kErrorFileNotFound) << name;
        EXPECT_EQ(data, std::string(16, '#')) << name;
    }
}

TEST_F(RegistryWin32, StringsAreAlwaysTerminatedAndHoldNoNul) {
    // Stored without a terminator: one is counted and written.
    Set(kKey, "Bare", REG_SZ, "abc", 3);
    std::string data;
    uint32_t got = 0;
    EXPECT_EQ(Read("Bare", 3, &data, &got), kErrorMoreData);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(data, "###");
    EXPECT_EQ(Read("Bare", 4, &data, &got), kErrorSuccess);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(data, std::string("abc\0", 4));

    // A NUL inside the data ends the string.
    Set(kKey, "Inner", REG_SZ, "ab\0cd", 6);
    EXPECT_EQ(Read("Inner", 8, &data, &got), kErrorSuccess);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(data.substr(0, 3), std::string("ab\0", 3));
}

TEST_F(RegistryWin32, NullDataAsksForTheSize) {
    registry_.WriteSetting(kKey, "", "default");
    registry_.WriteSetting(kKey, "Name", "twelve chars");
    RegKey key = 0;
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &key), kErrorSuccess);
    uint32_t size = 1;
    EXPECT_EQ(RegistryQueryValue(key, "Name", nullptr, &size), kErrorSuccess);
    EXPECT_EQ(size, 13u);
    size = 0;
    EXPECT_EQ(RegistryQueryValue(key, nullptr, nullptr, &size), kErrorSuccess);
    EXPECT_EQ(size, 8u);
    char buf[16];
    size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(key, "", buf, &size), kErrorSuccess);
    EXPECT_STREQ(buf, "default");
    RegistryCloseKey(key);
    // A key that is not open finds nothing.
    size = sizeof buf;
    EXPECT_EQ(RegistryQueryValue(0, "Name", buf, &size), kErrorFileNotFound);
    RegistryCloseKey(0);
}

TEST_F(RegistryWin32, LargeValuesAreMeasuredNotRead) {
    registry_.WriteSetting(kKey, "Huge", std::string(10000, 'h'));
    std::string data;
    uint32_t got = 0;
    EXPECT_EQ(Read("Huge", 256, &data, &got), kErrorMoreData);
    EXPECT_GE(got, 10001u);
    EXPECT_EQ(data, std::string(256, '#'));
}

}  // namespace
