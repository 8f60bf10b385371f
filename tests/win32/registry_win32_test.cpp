// The registry on Windows: string values under HKEY_LOCAL_MACHINE.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "test_util.h"

namespace {

constexpr char kKey[] = "SOFTWARE\\Halvane\\TARNWICK";

// Sets value name of kKey to size bytes of data of the given type.
void Set(const char *name, DWORD type, const void *data, DWORD size) {
    HKEY h;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(h, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(h);
}

// Missing keys and other roots are not found; names match in any case.
TEST(RegistryWin32, OpensOnlyExistingKeysOfTheMachine) {
    testsupport::PrivateRegistry registry;
    RegKey key = 77;
    registry.WriteSetting("SOFTWARE\\Halvane", "x", "y");
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &key), kErrorFileNotFound);
    EXPECT_EQ(key, 0u);
    registry.WriteSetting(kKey, "x", "y");
    EXPECT_EQ(RegistryOpenKey(0x80000001u, kKey, &key), kErrorFileNotFound);
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, "software\\halvane\\tarnwick", &key),
              kErrorSuccess);
    uint32_t size = 8;
    char buf[8];
    EXPECT_EQ(RegistryQueryValue(key, nullptr, buf, &size), kErrorFileNotFound);  // no default
    RegistryCloseKey(key);
    EXPECT_EQ(RegistryQueryValue(0, "x", buf, &size), kErrorFileNotFound);  // not open
}

// Strings only, always terminated, with the size needed when they do not fit.
TEST(RegistryWin32, ReadsTerminatedStringsOnly) {
    testsupport::PrivateRegistry registry;
    const DWORD one = 1;
    Set("Dword", REG_DWORD, &one, sizeof one);
    Set("Expand", REG_EXPAND_SZ, "%TEMP%", 7);
    Set("Multi", REG_MULTI_SZ, "a\0b\0", 5);
    Set("Bare", REG_SZ, "abc", 3);      // stored without a terminator
    Set("Inner", REG_SZ, "ab\0cd", 6);  // a NUL ends the string
    Set("", REG_SZ, "dflt", 5);
    registry.WriteSetting(kKey, "Huge", std::string(10000, 'h'));
    const struct {
        const char *name;
        uint32_t size;
        long rc;
        std::string data;  // the buffer after, '#' where untouched
        uint32_t got;      // 0: not checked; the least needed on kErrorMoreData
    } cases[] = {
        {"Dword", 16, kErrorFileNotFound, std::string(16, '#'), 0},
        {"Expand", 16, kErrorFileNotFound, std::string(16, '#'), 0},
        {"Multi", 16, kErrorFileNotFound, std::string(16, '#'), 0},
        {"Missing", 16, kErrorFileNotFound, std::string(16, '#'), 0},
        {"bare", 3, kErrorMoreData, "###", 4},
        {"Bare", 4, kErrorSuccess, std::string("abc\0", 4), 4},
        {"Inner", 4, kErrorSuccess, std::string("ab\0#", 4), 3},
        {"", 5, kErrorSuccess, std::string("dflt\0", 5), 5},
        {"Huge", 256, kErrorMoreData, std::string(256, '#'), 10001},
    };
    RegKey key = 0;
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &key), kErrorSuccess);
    for (const auto &c : cases) {
        std::string buffer(c.size, '#');
        uint32_t got = c.size;
        EXPECT_EQ(RegistryQueryValue(key, c.name, buffer.data(), &got), c.rc) << c.name;
        EXPECT_EQ(buffer, c.data) << c.name;
        if (c.rc == kErrorMoreData) {
            EXPECT_GE(got, c.got) << c.name;  // enough, if not exact
        } else {
            EXPECT_EQ(c.got == 0 ? 0 : got, c.got) << c.name;
        }
    }
    uint32_t size = 0;
    EXPECT_EQ(RegistryQueryValue(key, "Bare", nullptr, &size), kErrorSuccess);
    EXPECT_EQ(size, 4u);
    RegistryCloseKey(key);
}

}  // namespace
