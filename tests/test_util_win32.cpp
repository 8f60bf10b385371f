#include "test_util.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <string>
#include <thread>

namespace testsupport {

void SetEnv(const char *name, const char *value) {
    _putenv_s(name, value);
}

void UnsetEnv(const char *name) {
    // An empty value removes the variable from the runtime's environment.
    _putenv_s(name, "");
}

void TzSet() {
    _tzset();
}

int64_t TimeGm(struct tm *tm) {
    return static_cast<int64_t>(_mkgmtime(tm));
}

bool WaitUntilThreadSleeps(unsigned long, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}

TimerCaps PlatformTimerCaps() {
    // Asked of winmm directly, not through the layer under test.
    TIMECAPS tc = {};
    timeGetDevCaps(&tc, sizeof tc);
    return TimerCaps{tc.wPeriodMin, tc.wPeriodMax};
}

namespace {

HKEY machine = nullptr;

// One scratch key per process: CTest runs test processes side by side.
std::string Scratch() {
    return "Software\\Halvane\\TarnwickTests\\" + std::to_string(GetCurrentProcessId());
}

void Set(const char *key, const char *name, DWORD type, const void *data, DWORD size) {
    HKEY h;
    if (RegCreateKeyExA(machine, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExA(h, name, 0, type, static_cast<const BYTE *>(data), size);
        RegCloseKey(h);
    }
}

}  // namespace

PrivateRegistry::PrivateRegistry() {
    RegDeleteTreeA(HKEY_CURRENT_USER, Scratch().c_str());
    RegCreateKeyExA(HKEY_CURRENT_USER, Scratch().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &machine, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine);
}

PrivateRegistry::~PrivateRegistry() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(machine);
    machine = nullptr;
    RegDeleteTreeA(HKEY_CURRENT_USER, Scratch().c_str());
}

void PrivateRegistry::MakeKey(const char *key) {
    HKEY h;
    if (RegCreateKeyExA(machine, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) ==
        ERROR_SUCCESS) {
        RegCloseKey(h);
    }
}

void PrivateRegistry::WriteSetting(const char *key, const char *name, const std::string &text) {
    Set(key, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void PrivateRegistry::WriteNumber(const char *key, const char *name, uint32_t value) {
    DWORD data = value;
    Set(key, name, REG_DWORD, &data, sizeof data);
}

void PrivateRegistry::Clear() {
    RegDeleteTreeA(machine, nullptr);
}

unsigned long OpenHandles() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

}  // namespace testsupport
