// The registry on Windows: string values under HKEY_LOCAL_MACHINE.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "test_util.h"

namespace {

constexpr char kKey[] = "SOFTWARE\\Halvane\\TARNWICK";

// Only existing keys of the machine open, in any case; strings only, always
// terminated, with the size needed when they do not fit.
TEST(RegistryWin32, ReadsTerminatedStringsOfExistingKeysOnly) {
    testsupport::PrivateRegistry registry;
    RegKey key = 77;
    registry.WriteSetting("SOFTWARE\\Halvane", "x", "y");
    EXPECT_EQ(RegistryOpenKey(kRegLocalMachine, kKey, &key), kErrorFileNotFound);
    EXPECT_EQ(key, 0u);
    const DWORD one = 1;
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKey, "Dword", REG_DWORD, &one, sizeof one);
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKey, "Bare", REG_SZ, "abc", 3);      // no terminator
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKey, "Inner", REG_SZ, "ab\0cd", 6);  // a NUL ends it
    registry.WriteSetting(kKey, "Huge", std::string(10000, 'h'));
    EXPECT_EQ(RegistryOpenKey(0x80000001u, kKey, &key), kErrorFileNotFound);  // HKCU
    ASSERT_EQ(RegistryOpenKey(kRegLocalMachine, "software\\halvane\\tarnwick", &key),
              kErrorSuccess);
    const struct {
        const char *name;
        uint32_t size;
        long rc;
        std::string data;  // the buffer after, '#' where untouched
        uint32_t got;      // the size after; the least needed on kErrorMoreData
    } cases[] = {
        {"Dword", 16, kErrorFileNotFound, std::string(16, '#'), 16},
        {"Missing", 16, kErrorFileNotFound, std::string(16, '#'), 16},
        {"bare", 3, kErrorMoreData, "###", 4},
        {"Bare", 4, kErrorSuccess, std::string("abc\0", 4), 4},
        {"Inner", 4, kErrorSuccess, std::string("ab\0#", 4), 3},
        {"Huge", 256, kErrorMoreData, std::string(256, '#'), 10001},
    };
    for (const auto &c : cases) {
        std::string buffer(c.size, '#');
        uint32_t got = c.size;
        EXPECT_EQ(RegistryQueryValue(key, c.name, buffer.data(), &got), c.rc) << c.name;
        EXPECT_EQ(buffer, c.data) << c.name;
        EXPECT_GE(got, c.got) << c.name;  // enough, if not exact
        EXPECT_LE(got, c.rc == kErrorMoreData ? UINT32_MAX : c.got) << c.name;
    }
    uint32_t size = 0;
    EXPECT_EQ(RegistryQueryValue(key, "Bare", nullptr, &size), kErrorSuccess);
    EXPECT_EQ(size, 4u);
    RegistryCloseKey(key);
    EXPECT_EQ(RegistryQueryValue(0, "Bare", nullptr, &size), kErrorFileNotFound);  // not open
}

}  // namespace
