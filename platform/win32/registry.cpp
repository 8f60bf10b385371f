#include "platform/registry.h"

#include "platform/common/registry_system.h"

#include <windows.h>

#include <cstring>

namespace {

// The largest string value read whole; a larger one is only measured.
constexpr DWORD kValueMax = 4096;

}  // namespace

long SystemRegistryOpenKey(const char *subkey, RegKey *key) {
    HKEY opened = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &opened);
    if (rc != ERROR_SUCCESS) {
        return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND ? kErrorFileNotFound : rc;
    }
    *key = reinterpret_cast<RegKey>(opened);
    return kErrorSuccess;
}

long RegistryQueryValue(RegKey key, const char *name, char *data, uint32_t *size) {
    if (size == nullptr || key == 0) {
        return kErrorFileNotFound;
    }
    // Read into a buffer of our own first, so that a value too large for the
    // caller's buffer, or one that is not a string, leaves data untouched.
    HKEY h = reinterpret_cast<HKEY>(key);
    char local[kValueMax + 1];
    DWORD type = 0;
    DWORD got = kValueMax;
    LONG rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE *>(local), &got);
    if (rc == ERROR_MORE_DATA) {
        // Larger than any setting: its size is all the caller can learn.
        if (type != REG_SZ) {
            return kErrorFileNotFound;
        }
        *size = got + 1;
        return data == nullptr ? kErrorSuccess : kErrorMoreData;
    }
    if (rc != ERROR_SUCCESS) {
        return rc == ERROR_FILE_NOT_FOUND ? kErrorFileNotFound : rc;
    }
    if (type != REG_SZ) {
        return kErrorFileNotFound;
    }
    // The string ends at its first NUL; stored data without one is ended
    // here.
    local[got] = '\0';
    auto needed = static_cast<uint32_t>(std::strlen(local) + 1);
    if (data != nullptr) {
        if (needed > *size) {
            *size = needed;
            return kErrorMoreData;
        }
        std::memcpy(data, local, needed);
    }
    *size = needed;
    return kErrorSuccess;
}

void RegistryCloseKey(RegKey key) {
    if (key != 0 && key != kRegLocalMachine) {
        RegCloseKey(reinterpret_cast<HKEY>(key));
    }
}
