#include "platform/registry.h"

#include <windows.h>

#include <cstring>

namespace {

// Our root keys are the 32-bit values; Windows' predefined handles are those
// values sign-extended.
HKEY ToHkey(RegKey key) {
    if (key == kRegLocalMachine) {
        return HKEY_LOCAL_MACHINE;
    }
    return reinterpret_cast<HKEY>(key);
}

}  // namespace

long RegistryOpenKey(RegKey root, const char *subkey, RegKey *key) {
    HKEY opened = nullptr;
    LONG rc = RegOpenKeyExA(ToHkey(root), subkey, 0, KEY_READ, &opened);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    *key = reinterpret_cast<RegKey>(opened);
    return kRegSuccess;
}

long RegistryQueryValue(RegKey key, const char *name, char *data, uint32_t *size) {
    // Read into a buffer of our own first, so that a value too large for the
    // caller's buffer, or one that is not a string, leaves data untouched.
    HKEY h = ToHkey(key);
    char local[4096];
    DWORD type = 0;
    DWORD got = sizeof local - 1;
    LONG rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE *>(local), &got);
    if (rc == ERROR_MORE_DATA) {
        // Larger than any setting: its size is all the caller can learn.
        if (type != REG_SZ) {
            return kRegNotFound;
        }
        *size = got;
        return kRegMoreData;
    }
    if (rc != ERROR_SUCCESS) {
        return rc == ERROR_FILE_NOT_FOUND ? kRegNotFound : rc;
    }
    if (type != REG_SZ) {
        return kRegNotFound;
    }
    // Stored data may lack its terminator: it counts as if it were there.
    if (got == 0 || local[got - 1] != '\0') {
        local[got++] = '\0';
    }
    if (got > *size) {
        *size = got;
        return kRegMoreData;
    }
    std::memcpy(data, local, got);
    *size = got;
    return kRegSuccess;
}

void RegistryCloseKey(RegKey key) {
    if (key != kRegLocalMachine) {
        RegCloseKey(ToHkey(key));
    }
}
