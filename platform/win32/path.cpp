#include "platform/path.h"

#include <cstring>

// Windows opens paths as they are written: a copy, when it fits.
int MapPath(const char *path, char *out, size_t size) {
    if (size == 0) {
        return -1;
    }
    size_t len = std::strlen(path);
    if (len + 1 > size) {
        out[0] = '\0';
        return -1;
    }
    std::memcpy(out, path, len + 1);
    return 0;
}
