#include "test_util.h"

#include <windows.h>

#include <stdlib.h>
#include <time.h>

#include <string>

namespace testsupport {

void SetEnv(const char *name, const char *value) {
    _putenv_s(name, value);
}

void UnsetEnv(const char *name) {
    _putenv_s(name, "");  // an empty value removes the variable
}

void TzSet() {
    _tzset();
}

namespace {

HKEY machine = nullptr;

// One scratch key per process: CTest runs test processes side by side.
std::string Scratch() {
    return "Software\\Halvane\\TarnwickTests\\" + std::to_string(GetCurrentProcessId());
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

void PrivateRegistry::WriteSetting(const char *key, const char *name, const std::string &text) {
    HKEY h;
    if (RegCreateKeyExA(machine, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
        RegCloseKey(h);
    }
}

void PrivateRegistry::Clear() {
    RegDeleteTreeA(machine, nullptr);
}

}  // namespace testsupport
