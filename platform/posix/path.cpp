#include "platform/path.h"

#include <cctype>
#include <cstring>

int MapPath(const char *path, char *out, size_t size) {
    if (size == 0) {
        return -1;
    }
    // A drive is a letter and a colon before the first separator.
    if (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
        path += 2;
    }
    size_t n = 0;
    for (; path[n] != '\0'; ++n) {
        if (n + 1 >= size) {
            out[0] = '\0';
            return -1;
        }
        out[n] = path[n] == '\\' ? '/' : path[n];
    }
    out[n] = '\0';
    return 0;
}
