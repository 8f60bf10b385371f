#include "platform/path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
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

int PathFolderWritable(const char *path) {
    char folder[PATH_MAX];
    if (MapPath(path, folder, sizeof folder) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char *slash = std::strrchr(folder, '/');
    if (slash == nullptr) {
        std::strcpy(folder, ".");
    } else {
        slash[slash == folder ? 1 : 0] = '\0';
    }
    struct stat st;
    if (stat(folder, &st) != 0) {
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return access(folder, W_OK | X_OK);
}

int FullPath(const char *path, char *out, size_t size) {
    char mapped[PATH_MAX];
    char here[PATH_MAX];
    if (MapPath(path, mapped, sizeof mapped) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (mapped[0] != '/' && getcwd(here, sizeof here) == nullptr) {
        return -1;
    }
    int n = mapped[0] == '/' ? std::snprintf(out, size, "%s", mapped)
                             : std::snprintf(out, size, "%s/%s", here, mapped);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}
