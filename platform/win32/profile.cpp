#include "platform/profile.h"

#include <windows.h>

#include <cstdlib>

size_t ProfileString(const char *section, const char *key, const char *def, char *out,
                     size_t size) {
    if (size == 0) {
        return 0;
    }
    DWORD n = static_cast<DWORD>(size > 0xFFFFFFFFu ? 0xFFFFFFFFu : size);
    // TARNWICK_PROFILE names another INI file, read by the same rules
    // (GetPrivateProfileStringA), as on POSIX.
    const char *file = std::getenv("TARNWICK_PROFILE");
    if (file != nullptr && file[0] != '\0') {
        return GetPrivateProfileStringA(section, key, def, out, n, file);
    }
    return GetProfileStringA(section, key, def, out, n);
}
