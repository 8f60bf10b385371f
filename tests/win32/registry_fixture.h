// A private HKEY_LOCAL_MACHINE for the registry tests on Windows: for this
// process, HKLM is mapped onto a scratch key under HKEY_CURRENT_USER
// (RegOverridePredefKey), so that no test touches the machine's settings
// and none needs an administrator.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace registrytest {

// One scratch key per process: CTest runs test processes side by side.
inline std::string Scratch() {
    return "Software\\Halvane\\TarnwickTests\\" + std::to_string(GetCurrentProcessId());
}

class PrivateMachineKey : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, Scratch().c_str());
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, Scratch().c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &machine_, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_), ERROR_SUCCESS);
    }
    void TearDown() override {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegCloseKey(machine_);
        RegDeleteTreeA(HKEY_CURRENT_USER, Scratch().c_str());
    }

    // Sets value name of key (below the private HKLM) to size bytes of data.
    void Set(const char *key, const char *name, DWORD type, const void *data, DWORD size) {
        HKEY h;
        ASSERT_EQ(
            RegCreateKeyExA(machine_, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(h, name, 0, type, static_cast<const BYTE *>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }
    // A string value with its terminator.
    void SetString(const char *key, const char *name, const std::string &text) {
        Set(key, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    void MakeKey(const char *key) {
        HKEY h;
        ASSERT_EQ(
            RegCreateKeyExA(machine_, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_SUCCESS);
        RegCloseKey(h);
    }

    HKEY machine_ = nullptr;
};

}  // namespace registrytest
